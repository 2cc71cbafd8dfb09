#include "ui/menu/coolmenulibrary.h"

#include "ui/menu/coolmenustyle.h"
#include "ui/menu/syscolors.h"

#include <QApplication>
#include <QAtomicInt>
#include <QEvent>
#include <QFileInfo>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QResource>
#include <QStyleFactory>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// Makes the pixels of one colour transparent. The colour is \a key when given; otherwise it is
/// the colour of \a pixel, unless that pixel lies outside the picture or is not fully opaque (a
/// picture with its own transparency needs no background colour).
QImage withTransparentColor(const QImage &source, std::optional<QRgb> key)
{
    QImage img = source.convertToFormat(QImage::Format_ARGB32);
    if (!key)
        return img;
    const QRgb wanted = *key & 0xFFFFFFu;
    for (int y = 0; y < img.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            if (qAlpha(line[x]) == 255 && (line[x] & 0xFFFFFFu) == wanted)
                line[x] = 0;
        }
    }
    return img;
}

std::optional<QRgb> transparentKey(const QImage &img, std::optional<quint32> color, QPoint pixel)
{
    if (color)
        return colorFromWinRgb(*color).rgb();
    if (!img.valid(pixel))
        return std::nullopt;
    const QRgb p = img.pixel(pixel);
    if (qAlpha(p) != 255)
        return std::nullopt;
    return p;
}

struct StockEntry
{
    const char16_t *name;
    QStyle::StandardPixmap pixmap;
};

// Stock pictures by the names menus use for them.
const StockEntry kStock[] = {
    {u"save!", QStyle::SP_DialogSaveButton},
    {u"open!", QStyle::SP_DialogOpenButton},
    {u"close!", QStyle::SP_DialogCloseButton},
    {u"exit!", QStyle::SP_DialogCloseButton},
    {u"cancel!", QStyle::SP_DialogCancelButton},
    {u"apply!", QStyle::SP_DialogApplyButton},
    {u"ok!", QStyle::SP_DialogOkButton},
    {u"help!", QStyle::SP_DialogHelpButton},
    {u"delete!", QStyle::SP_TrashIcon},
    {u"clear!", QStyle::SP_DialogResetButton},
    {u"new!", QStyle::SP_FileIcon},
    {u"folder!", QStyle::SP_DirIcon},
    {u"computer!", QStyle::SP_ComputerIcon},
    {u"home!", QStyle::SP_DirHomeIcon},
    {u"refresh!", QStyle::SP_BrowserReload},
    {u"run!", QStyle::SP_MediaPlay},
    {u"stop!", QStyle::SP_MediaStop},
    {u"undo!", QStyle::SP_ArrowBack},
    {u"redo!", QStyle::SP_ArrowForward},
    {u"information!", QStyle::SP_MessageBoxInformation},
    {u"question!", QStyle::SP_MessageBoxQuestion},
    {u"exclamation!", QStyle::SP_MessageBoxWarning},
    {u"stopsign!", QStyle::SP_MessageBoxCritical},
    {u"find!", QStyle::SP_FileDialogContentsView},
    {u"properties!", QStyle::SP_FileDialogDetailedView},
};

} // namespace

CoolMenuLibrary::CoolMenuLibrary() = default;

CoolMenuLibrary::~CoolMenuLibrary()
{
    if (!m_resourceRoot.isEmpty())
        QResource::unregisterResource(m_resourceFile, m_resourceRoot);
}

bool CoolMenuLibrary::installCoolMenu(QWidget *window)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return false;

    auto baseFor = [](QStyle *current) -> QStyle * {
        if (auto *cool = qobject_cast<CoolMenuStyle *>(current))
            current = cool->baseStyle();
        return current ? QStyleFactory::create(current->name()) : nullptr;
    };

    if (!window) {
        if (installedForApplication())
            return true;
        QApplication::setStyle(new CoolMenuStyle(shared_from_this(), baseFor(QApplication::style())));
        return true;
    }

    // One window: its menus get a style of their own, owned by the window (one per library).
    CoolMenuStyle *style = nullptr;
    for (CoolMenuStyle *own : window->findChildren<CoolMenuStyle *>(Qt::FindDirectChildrenOnly))
        if (&own->library() == this)
            style = own;
    if (!style) {
        style = new CoolMenuStyle(shared_from_this(), baseFor(window->style()));
        style->setParent(window);
    }
    for (QMenu *menu : window->findChildren<QMenu *>())
        menu->setStyle(style);
    if (auto *menuBar = window->findChild<QMenuBar *>())
        menuBar->setStyle(style);
    return true;
}

void CoolMenuLibrary::uninstall()
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    const QList<QWidget *> widgets = QApplication::allWidgets();
    QList<CoolMenuStyle *> ownStyles;
    for (QWidget *w : widgets) {
        auto *style = qobject_cast<CoolMenuStyle *>(w->style());
        if (style && &style->library() == this && style != QApplication::style()) {
            w->setStyle(nullptr);
            if (!ownStyles.contains(style))
                ownStyles.append(style);
        }
    }
    for (CoolMenuStyle *style : ownStyles)
        if (style->parent() && style->parent()->isWidgetType())
            style->deleteLater();

    if (installedForApplication()) {
        auto *cool = qobject_cast<CoolMenuStyle *>(QApplication::style());
        QStyle *plain = cool->baseStyle() ? QStyleFactory::create(cool->baseStyle()->name()) : nullptr;
        if (!plain)
            plain = QStyleFactory::create(u"Fusion"_s);
        QApplication::setStyle(plain);
    }
}

bool CoolMenuLibrary::installedForApplication() const
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return false;
    auto *cool = qobject_cast<CoolMenuStyle *>(QApplication::style());
    return cool && &cool->library() == this;
}

bool CoolMenuLibrary::setResourceFile(const QString &file)
{
    if (!m_resourceRoot.isEmpty() && file == m_resourceFile)
        return true;
    if (!m_resourceRoot.isEmpty()) {
        QResource::unregisterResource(m_resourceFile, m_resourceRoot);
        m_resourceRoot.clear();
    }
    m_resourceFile = file;
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return false;

    // Each library maps its file under a root of its own, so that two files with the same inner
    // paths never shadow each other.
    static QAtomicInt serial;
    const QString root = u"/garvina-coolmenu-%1"_s.arg(serial.fetchAndAddRelaxed(1));
    if (!QResource::registerResource(file, root))
        return false;
    m_resourceRoot = root;
    return true;
}

void CoolMenuLibrary::setMenuStyle(int look)
{
    if (look < LookNormal || look > LookOffice2k3)
        return;
    m_look = look;
    refreshMenus();
}

void CoolMenuLibrary::setMenuColor(int slot, quint32 color)
{
    if (slot < 0 || slot >= ColorSlotCount)
        return;
    m_colors[slot] = color & 0xFFFFFFu;
    refreshMenus();
}

QColor CoolMenuLibrary::menuColor(int slot) const
{
    if (slot < 0 || slot >= ColorSlotCount)
        return QColor();
    if (m_colors[slot])
        return colorFromWinRgb(*m_colors[slot]);
    return defaultColor(slot);
}

void CoolMenuLibrary::setDefaults()
{
    for (auto &c : m_colors)
        c.reset();
    refreshMenus();
}

QColor CoolMenuLibrary::defaultColor(int slot) const
{
    if (m_look == LookOfficeXp) {
        switch (slot) {
        case SelectedColor:
            return QColor(193, 210, 238);
        case MenuBackColor:
            return QColor(252, 252, 249);
        case BitmapBackColor:
            return QColor(233, 231, 227);
        case CheckedSelectedColor:
            return QColor(152, 181, 226);
        case CheckedColor:
            return QColor(225, 230, 232);
        case PenColor:
            return QColor(49, 106, 197);
        case TextColor:
            return QColor(0, 0, 0);
        case HighlightTextColor:
            return QColor(0, 0, 0);
        case DisabledTextColor:
            return QColor(141, 141, 141);
        case GradientStartColor:
            return QColor(254, 254, 254);
        case GradientEndColor:
            return QColor(196, 195, 189);
        case MenuBarColor:
            return QColor(236, 233, 216);
        }
    } else if (m_look == LookOffice2k3) {
        switch (slot) {
        case SelectedColor:
            return QColor(255, 238, 194);
        case MenuBackColor:
            return QColor(246, 246, 246);
        case BitmapBackColor:
            return QColor(227, 239, 255);
        case CheckedSelectedColor:
            return QColor(254, 128, 62);
        case CheckedColor:
            return QColor(255, 192, 111);
        case PenColor:
            return QColor(0, 0, 128);
        case TextColor:
            return QColor(0, 0, 0);
        case HighlightTextColor:
            return QColor(0, 0, 0);
        case DisabledTextColor:
            return QColor(141, 141, 141);
        case GradientStartColor:
            return QColor(227, 239, 255);
        case GradientEndColor:
            return QColor(135, 173, 228);
        case MenuBarColor:
            return QColor(158, 190, 245);
        }
    }

    // The plain looks use the desktop's colours: the stock table, or the live palette when they
    // are to follow theme changes.
    if (m_reactOnThemeChange) {
        const QPalette pal = QGuiApplication::palette();
        switch (slot) {
        case SelectedColor:
        case CheckedSelectedColor:
            return pal.color(QPalette::Active, QPalette::Highlight);
        case MenuBackColor:
        case BitmapBackColor:
        case GradientStartColor:
        case MenuBarColor:
            return pal.color(QPalette::Active, QPalette::Window);
        case CheckedColor:
            return pal.color(QPalette::Active, QPalette::Midlight);
        case PenColor:
        case GradientEndColor:
            return pal.color(QPalette::Active, QPalette::Dark);
        case TextColor:
            return pal.color(QPalette::Active, QPalette::WindowText);
        case HighlightTextColor:
            return pal.color(QPalette::Active, QPalette::HighlightedText);
        case DisabledTextColor:
            return pal.color(QPalette::Disabled, QPalette::WindowText);
        }
    }
    switch (slot) {
    case SelectedColor:
    case CheckedSelectedColor:
        return sysQColor(SysHighlight);
    case MenuBackColor:
    case BitmapBackColor:
    case GradientStartColor:
    case MenuBarColor:
        return sysQColor(SysMenu);
    case CheckedColor:
        return sysQColor(SysLight);
    case PenColor:
    case GradientEndColor:
        return sysQColor(SysBtnShadow);
    case TextColor:
        return sysQColor(SysMenuText);
    case HighlightTextColor:
        return sysQColor(SysHighlightText);
    case DisabledTextColor:
        return sysQColor(SysGrayText);
    }
    return QColor();
}

void CoolMenuLibrary::setShadowEnabled(bool on)
{
    m_shadow = on;
    refreshMenus();
}

void CoolMenuLibrary::setFlatMenu(bool on)
{
    m_flat = on;
    refreshMenus();
}

void CoolMenuLibrary::setCoolMenubar(bool on)
{
    m_coolMenubar = on;
    refreshMenus();
}

void CoolMenuLibrary::setReactOnThemeChange(bool on)
{
    m_reactOnThemeChange = on;
    refreshMenus();
}

bool CoolMenuLibrary::changeMenuText(const QString &oldText, const QString &newText)
{
    bool found = false;
    if (const auto it = m_imageByText.constFind(oldText); it != m_imageByText.constEnd()) {
        const int index = *it;
        m_imageByText.remove(oldText);
        m_imageByText.insert(newText, index);
        found = true;
    }
    if (const auto it = m_propsByText.constFind(oldText); it != m_propsByText.constEnd()) {
        const ItemProps props = *it;
        m_propsByText.remove(oldText);
        m_propsByText.insert(newText, props);
        found = true;
    }
    if (found)
        refreshMenus();
    return found;
}

int CoolMenuLibrary::addMenuImage(const QString &menuText, const QIcon &icon)
{
    if (icon.isNull())
        return -1;
    Image image;
    image.icon = icon;
    m_images.append(image);
    const int index = int(m_images.size()) - 1;
    setImageNameId(menuText, index);
    return index;
}

void CoolMenuLibrary::setMenuItemProps(const QString &menuText, bool bold, bool italic, bool underline,
                                       quint32 color)
{
    m_propsByText.insert(menuText, ItemProps{bold, italic, underline, color & 0xFFFFFFu});
    refreshMenus();
}

std::optional<CoolMenuLibrary::ItemProps> CoolMenuLibrary::menuItemProps(const QString &menuText) const
{
    const auto it = m_propsByText.constFind(menuText);
    if (it == m_propsByText.constEnd())
        return std::nullopt;
    return *it;
}

int CoolMenuLibrary::addLoaded(QIcon icon, int number, const QString &source, std::optional<quint32> color,
                               int x, int y)
{
    Image image;
    image.icon = std::move(icon);
    image.number = number;
    image.source = source;
    image.transparentColor = color;
    image.transparentPixel = QPoint(x, y);
    m_images.append(image);
    return int(m_images.size()) - 1;
}

int CoolMenuLibrary::addImageId(int number, std::optional<quint32> color, int x, int y)
{
    if (m_resourceRoot.isEmpty() || number < 1)
        return -1;
    const QString base = u":"_s + m_resourceRoot + u"/menu/%1"_s.arg(number);
    const QImage normal(base + u".png"_s);
    if (normal.isNull())
        return -1;
    const std::optional<QRgb> key = transparentKey(normal, color, QPoint(x, y));

    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(withTransparentColor(normal, key)));
    const QImage large(base + u"@2x.png"_s);
    if (!large.isNull()) {
        QPixmap pixmap = QPixmap::fromImage(withTransparentColor(large, key));
        pixmap.setDevicePixelRatio(2.0);
        icon.addPixmap(pixmap);
    }
    return addLoaded(icon, number, QString(), color, x, y);
}

int CoolMenuLibrary::addImage(const QString &file, std::optional<quint32> color, int x, int y)
{
    if (file.isEmpty())
        return -1;
    const QImage picture(file);
    if (picture.isNull())
        return -1;
    const QImage img = withTransparentColor(picture, transparentKey(picture, color, QPoint(x, y)));
    return addLoaded(QIcon(QPixmap::fromImage(img)), 0, file, color, x, y);
}

int CoolMenuLibrary::addStockImage(const QString &name, std::optional<quint32> color, int x, int y)
{
    const QIcon stock = stockIcon(name);
    if (stock.isNull())
        return -1;
    QIcon icon;
    std::optional<QRgb> key;
    for (const qreal ratio : {1.0, 2.0}) {
        const int px = int(CoolMenuStyle::PictureSize * ratio);
        QImage img = stock.pixmap(QSize(px, px), 1.0).toImage();
        if (img.isNull())
            continue;
        if (ratio == 1.0)
            key = transparentKey(img, color, QPoint(x, y));
        QPixmap pixmap = QPixmap::fromImage(withTransparentColor(img, key));
        pixmap.setDevicePixelRatio(ratio);
        icon.addPixmap(pixmap);
    }
    if (icon.isNull())
        return -1;
    return addLoaded(icon, 0, name, color, x, y);
}

QIcon CoolMenuLibrary::stockIcon(const QString &name)
{
    if (!name.endsWith(u'!') || !qobject_cast<QApplication *>(QCoreApplication::instance()))
        return QIcon();
    const QString lower = name.toLower();
    for (const StockEntry &entry : kStock) {
        if (lower == QStringView(entry.name))
            return QApplication::style()->standardIcon(entry.pixmap);
    }
    return QIcon::fromTheme(lower.chopped(1));
}

bool CoolMenuLibrary::setImageNameId(const QString &menuText, int index)
{
    if (index < 0 || index >= imageCount())
        return false;
    m_imageByText.insert(menuText, index);
    refreshMenus();
    return true;
}

int CoolMenuLibrary::imageIdForText(const QString &menuText) const
{
    return m_imageByText.value(menuText, -1);
}

QString CoolMenuLibrary::bindingKey(const QString &optionText)
{
    const qsizetype tab = optionText.indexOf(u'\t');
    return tab < 0 ? optionText : optionText.left(tab);
}

QIcon CoolMenuLibrary::iconForItem(const QString &optionText) const
{
    const int index = imageIdForText(bindingKey(optionText));
    return index < 0 ? QIcon() : m_images.at(index).icon;
}

std::optional<CoolMenuLibrary::ItemProps> CoolMenuLibrary::propsForItem(const QString &optionText) const
{
    return menuItemProps(bindingKey(optionText));
}

void CoolMenuLibrary::refreshMenus()
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    const QList<QWidget *> widgets = QApplication::allWidgets();
    for (QWidget *w : widgets) {
        auto *menu = qobject_cast<QMenu *>(w);
        if (!menu && !qobject_cast<QMenuBar *>(w))
            continue;
        if (auto *cool = qobject_cast<CoolMenuStyle *>(w->style()); cool && menu)
            CoolMenuStyle::applyShadowMargins(menu, cool->library().shadowEnabled());
        // A style change makes a menu measure its items again.
        QEvent change(QEvent::StyleChange);
        QCoreApplication::sendEvent(w, &change);
        w->update();
    }
}

} // namespace garvina
