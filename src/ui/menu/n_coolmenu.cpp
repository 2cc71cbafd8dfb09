#include "ui/menu/n_coolmenu.h"

#include "ui/menu/coolmenustyle.h"
#include "ui/menu/syscolors.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

static_assert(n_coolmenu::menustyleoffice2k3 == CoolMenuLibrary::LookOffice2k3);
static_assert(n_coolmenu::menubarcolor == CoolMenuLibrary::MenuBarColor);
static_assert(n_coolmenu::gradientendcolor == CoolMenuLibrary::GradientEndColor);

namespace {

/// The text after \a key in \a tag up to the next ";" or the end; nothing when the tag lacks the key.
std::optional<QString> tagValue(const QString &tag, QStringView key)
{
    const qsizetype at = tag.indexOf(key);
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + key.size();
    qsizetype end = tag.indexOf(u';', start);
    if (end < 0)
        end = tag.size();
    return tag.mid(start, end - start);
}

int toNumber(const QString &text)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    return ok ? n : 0;
}

} // namespace

n_coolmenu::n_coolmenu() : m_library(std::make_shared<CoolMenuLibrary>()) {}

n_coolmenu::~n_coolmenu() = default;

void n_coolmenu::of_initialize()
{
    m_library->installCoolMenu(nullptr);
}

void n_coolmenu::of_setrequestor(QWidget *aw_requestor)
{
    iw_requestor = aw_requestor;
    // The handle as it is; asking for winId() would create a native window behind the owner's back.
    iul_hwnd = aw_requestor ? aw_requestor->internalWinId() : 0;
    if (aw_requestor)
        m_library->installCoolMenu(aw_requestor);
}

void n_coolmenu::of_uninitialize()
{
    m_library->uninstall();
}

bool n_coolmenu::of_setresourcefile(const QString &as_resourcefile)
{
    return m_library->setResourceFile(as_resourcefile);
}

void n_coolmenu::of_setnormalstyle()
{
    m_library->setMenuStyle(menustylenormal);
    ii_style = menustylenormal;
}

void n_coolmenu::of_set2kstyle()
{
    m_library->setMenuStyle(menustyleoffice2k);
    ii_style = menustyleoffice2k;
}

void n_coolmenu::of_setxpstyle()
{
    m_library->setMenuStyle(menustyleofficexp);
    ii_style = menustyleofficexp;
}

void n_coolmenu::of_set2k3style()
{
    m_library->setMenuStyle(menustyleoffice2k3);
    ii_style = menustyleoffice2k3;
}

int n_coolmenu::of_getmenustyle() const
{
    return ii_style;
}

void n_coolmenu::of_setxpselectedcolor(quint32 al_color)
{
    m_library->setMenuColor(selectedcolor, al_color);
}
void n_coolmenu::of_setxpmenucolor(quint32 al_color)
{
    m_library->setMenuColor(menubckcolor, al_color);
}
void n_coolmenu::of_setxpbmpbkcolor(quint32 al_color)
{
    m_library->setMenuColor(bitmapbckcolor, al_color);
}
void n_coolmenu::of_setxpcheckedselectedcolor(quint32 al_color)
{
    m_library->setMenuColor(checkedselectedcolor, al_color);
}
void n_coolmenu::of_setxpcheckedcolor(quint32 al_color)
{
    m_library->setMenuColor(checkedcolor, al_color);
}
void n_coolmenu::of_setxppencolor(quint32 al_color)
{
    m_library->setMenuColor(pencolor, al_color);
}
void n_coolmenu::of_setxptextcolor(quint32 al_color)
{
    m_library->setMenuColor(textcolor, al_color);
}
void n_coolmenu::of_setxphightextcolor(quint32 al_color)
{
    m_library->setMenuColor(highlighttextcolor, al_color);
}
void n_coolmenu::of_setxpdisabledtextcolor(quint32 al_color)
{
    m_library->setMenuColor(disabledtextcolor, al_color);
}
void n_coolmenu::of_setmenubarcolor(quint32 al_color)
{
    m_library->setMenuColor(menubarcolor, al_color);
}

void n_coolmenu::of_set2k3gradient(quint32 al_colorstart, quint32 al_colorend)
{
    m_library->setMenuColor(gradientstartcolor, al_colorstart);
    m_library->setMenuColor(gradientendcolor, al_colorend);
}

void n_coolmenu::of_setxpdefaults()
{
    m_library->setDefaults();
}

void n_coolmenu::of_setshadow(bool ab_switch)
{
    m_library->setShadowEnabled(ab_switch);
}
void n_coolmenu::of_setflatmenu(bool ab_flatmenu)
{
    m_library->setFlatMenu(ab_flatmenu);
}
void n_coolmenu::of_setcoolmenubar(bool ab_switch)
{
    m_library->setCoolMenubar(ab_switch);
}
bool n_coolmenu::of_getcoolmenubar() const
{
    return m_library->coolMenubar();
}

void n_coolmenu::of_setreactonthemechange(bool ab_switch)
{
    m_library->setReactOnThemeChange(ab_switch);
    ib_reactonthemechanges = ab_switch;
}

bool n_coolmenu::of_getreactonthemechange() const
{
    return ib_reactonthemechanges;
}
void n_coolmenu::of_settoolbarvisibleonly(bool ab_switch)
{
    ib_showtoolbarvisibleonly = ab_switch;
}
bool n_coolmenu::of_gettoolbarvisibleonly() const
{
    return ib_showtoolbarvisibleonly;
}

bool n_coolmenu::of_changemenutext(const QString &as_old, const QString &as_new)
{
    return m_library->changeMenuText(as_old, as_new);
}

int n_coolmenu::of_changemenutext(const QString &as_newmenutext, const QString &as_oldmenutext,
                                  const QString &as_image, const QString &as_tag)
{
    Q_UNUSED(as_oldmenutext)
    if (as_image.isEmpty() && !as_tag.contains(u"id="_s))
        return -1;
    const QString firstPart = as_tag.section(u';', 0, 0);
    const QString key = as_image.isEmpty() ? firstPart : as_image;
    return bindPicture(key, as_image, as_newmenutext, firstPart) >= 0 ? 1 : -1;
}

int n_coolmenu::of_addmenubitmap(const QString &as_menutext, const QIcon &aul_icon)
{
    return m_library->addMenuImage(as_menutext, aul_icon);
}

void n_coolmenu::of_setmenuitemprops(const QString &as_menuname, bool ab_bold, bool ab_italic,
                                     bool ab_underline, quint32 aul_color)
{
    m_library->setMenuItemProps(as_menuname, ab_bold, ab_italic, ab_underline, aul_color);
}

bool n_coolmenu::of_setmenuitemprops(const QString &as_menuname, const QString &as_tag)
{
    const bool bold = as_tag.contains(u"bt=1"_s);
    const bool italic = as_tag.contains(u"it=1"_s);
    const bool underline = as_tag.contains(u"ut=1"_s);
    const std::optional<QString> color = tagValue(as_tag, u"tc=");
    if (!bold && !italic && !underline && !color)
        return false;
    const quint32 value = color ? quint32(color->trimmed().toUInt()) : 0;
    of_setmenuitemprops(as_menuname, bold, italic, underline, value);
    return true;
}

int n_coolmenu::of_loadimagesfrommenu(QWidget *amnu_menu)
{
    if (!amnu_menu)
        return -1;
    QList<const QWidget *> walked{amnu_menu};
    loadActions(amnu_menu->actions(), walked);
    return 1;
}

void n_coolmenu::loadActions(const QList<QAction *> &actions, QList<const QWidget *> &walked)
{
    for (QAction *action : actions) {
        const QString text = action->isSeparator() ? u"-"_s : action->text();
        const QString tag = action->property(kMenuTagProperty).toString();
        const QString name = action->property(kMenuPictureNameProperty).toString();

        of_setmenuitemprops(text, tag);
        if (text == u"-"_s)
            continue;

        bool takesPart = !name.isEmpty() || tag.contains(u"id="_s);
        if (takesPart && ib_showtoolbarvisibleonly) {
            const QVariant visible = action->property(kMenuToolbarVisibleProperty);
            takesPart = !visible.isValid() || visible.toBool();
        }
        if (takesPart) {
            // Only the tag's first part reaches the loader. An item without a picture name is
            // remembered under that part, so that items with different pictures never share one.
            const QString firstPart = tag.section(u';', 0, 0);
            bindPicture(name.isEmpty() ? firstPart : name, name, text, firstPart);
        }

        // Sub-menus are walked whether or not their item has a picture of its own; a menu reached
        // twice (a menu that contains itself somewhere below) is walked once.
        QMenu *sub = action->menu();
        if (sub && !walked.contains(sub)) {
            walked.append(sub);
            loadActions(sub->actions(), walked);
        }
    }
}

int n_coolmenu::bindPicture(const QString &pictureKey, const QString &pictureName, const QString &menuText,
                            const QString &tag)
{
    int index = -1;
    if (of_isloaded(pictureKey, menuText, index))
        return m_library->imageIdForText(menuText);
    if (index >= 0)
        return of_setimagenameid(menuText, pictureKey, index) ? index : -1;
    index = of_addimage(pictureName, tag);
    if (index < 0)
        return -1;
    return of_setimagenameid(menuText, pictureKey, index) ? index : -1;
}

int n_coolmenu::of_setmenu(const QString &as_menu)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return -1;
    auto named = [&as_menu](QWidget *w) {
        return (qobject_cast<QMenu *>(w) || qobject_cast<QMenuBar *>(w)) && w->objectName() == as_menu;
    };
    QWidget *menu = nullptr;
    if (iw_requestor) {
        const QList<QWidget *> children = iw_requestor->findChildren<QWidget *>();
        for (QWidget *w : children) {
            if (named(w)) {
                menu = w;
                break;
            }
        }
    }
    if (!menu) {
        const QList<QWidget *> widgets = QApplication::allWidgets();
        for (QWidget *w : widgets) {
            if (named(w)) {
                menu = w;
                break;
            }
        }
    }
    if (!menu) {
        auto own = std::make_unique<QMenu>();
        own->setObjectName(as_menu);
        menu = own.get();
        m_ownMenus.push_back(std::move(own));
    }
    return of_loadimagesfrommenu(menu);
}

n_coolmenu::Background n_coolmenu::backgroundFromTag(const QString &as_tag)
{
    Background bg;
    const std::optional<QString> value = tagValue(as_tag, u"bc=");
    if (!value)
        return bg;
    const qsizetype dash = value->indexOf(u'-');
    if (dash >= 0) {
        bg.x = toNumber(value->left(dash));
        bg.y = toNumber(value->mid(dash + 1));
        return bg;
    }
    bool ok = false;
    const qlonglong n = value->trimmed().toLongLong(&ok);
    // A value that is no number gives no colour rather than a made-up one.
    if (!ok)
        return bg;
    if (n >= color_min && n <= color_max)
        bg.color = sysColor(int(n));
    else
        bg.color = quint32(n) & 0xFFFFFFu;
    return bg;
}

int n_coolmenu::of_addimage(const QString &as_image, const QString &as_tag)
{
    if (as_image.endsWith(u'!'))
        return of_loadstockimage(as_image, as_tag);
    const std::optional<QString> id = tagValue(as_tag, u"id=");
    const int number = id ? toNumber(*id) : 0;
    const Background bg = backgroundFromTag(as_tag);
    if (number >= 1)
        return m_library->addImageId(number, bg.color, bg.x, bg.y);
    return m_library->addImage(as_image, bg.color, bg.x, bg.y);
}

int n_coolmenu::of_loadstockimage(const QString &as_stockimage, const QString &as_tag)
{
    const Background bg = backgroundFromTag(as_tag);
    return m_library->addStockImage(as_stockimage, bg.color, bg.x, bg.y);
}

bool n_coolmenu::of_isloaded(const QString &as_image, const QString &as_menutext, int &ai_index) const
{
    ai_index = -1;
    int first = -1;
    for (const s_menudata &record : istr_menudata) {
        if (record.as_toolbaritemname != as_image)
            continue;
        if (record.as_menutext == as_menutext)
            return true;
        if (first < 0)
            first = record.ai_imageid;
    }
    ai_index = first;
    return false;
}

bool n_coolmenu::of_setimagenameid(const QString &as_menuname, const QString &as_image, int ai_index)
{
    istr_menudata.append(s_menudata{as_image, as_menuname, ai_index});
    ii_index = int(istr_menudata.size());
    return m_library->setImageNameId(as_menuname, ai_index);
}

} // namespace garvina
