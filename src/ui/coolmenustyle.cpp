#include "coolmenustyle.h"

#include <QApplication>
#include <QAtomicInt>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLinearGradient>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPointer>
#include <QResource>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

// Stock desktop colours for the system colour indexes 0..28 (0x00BBGGRR, as GetSysColor answers).
// Index 25 has no colour of its own on Windows either.
constexpr quint32 winRgb(int r, int g, int b) { return quint32(r) | (quint32(g) << 8) | (quint32(b) << 16); }

constexpr quint32 kSysColors[29] = {
    winRgb(200, 200, 200), // 0 scrollbar
    winRgb(0, 0, 0),       // 1 background (desktop)
    winRgb(153, 180, 209), // 2 active caption
    winRgb(191, 205, 219), // 3 inactive caption
    winRgb(240, 240, 240), // 4 menu
    winRgb(255, 255, 255), // 5 window
    winRgb(100, 100, 100), // 6 window frame
    winRgb(0, 0, 0),       // 7 menu text
    winRgb(0, 0, 0),       // 8 window text
    winRgb(0, 0, 0),       // 9 caption text
    winRgb(180, 180, 180), // 10 active border
    winRgb(244, 247, 252), // 11 inactive border
    winRgb(171, 171, 171), // 12 application workspace
    winRgb(51, 153, 255),  // 13 highlight
    winRgb(255, 255, 255), // 14 highlight text
    winRgb(240, 240, 240), // 15 button face
    winRgb(160, 160, 160), // 16 button shadow
    winRgb(109, 109, 109), // 17 grey text
    winRgb(0, 0, 0),       // 18 button text
    winRgb(67, 78, 84),    // 19 inactive caption text
    winRgb(255, 255, 255), // 20 button highlight
    winRgb(105, 105, 105), // 21 3D dark shadow
    winRgb(227, 227, 227), // 22 3D light
    winRgb(0, 0, 0),       // 23 info text
    winRgb(255, 255, 225), // 24 info background
    0,                     // 25 (none)
    winRgb(0, 102, 204),   // 26 hot light
    winRgb(185, 209, 234), // 27 gradient active caption
    winRgb(215, 228, 242), // 28 gradient inactive caption
};

constexpr int kSysMenu = 4;
constexpr int kSysMenuText = 7;
constexpr int kSysHighlight = 13;
constexpr int kSysHighlightText = 14;
constexpr int kSysBtnShadow = 16;
constexpr int kSysGrayText = 17;
constexpr int kSysBtnHighlight = 20;
constexpr int kSysDkShadow = 21;
constexpr int kSysLight = 22;

QColor sys(int index) { return colorFromWinRgb(sysColor(index)); }

/// Property on a menu whose contents margins make room for the drop shadow.
constexpr char kShadowMarginsProperty[] = "garvina_coolmenu_shadowmargins";

/// The text a picture is bound to: the item text without a shortcut after a tab.
QString bindingKey(const QString &optionText)
{
    const qsizetype tab = optionText.indexOf(u'\t');
    return tab < 0 ? optionText : optionText.left(tab);
}

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

const QMenu *asMenu(const QWidget *widget) { return qobject_cast<const QMenu *>(widget); }

bool hasShadowMargins(const QWidget *widget)
{
    return widget && widget->property(kShadowMarginsProperty).toBool();
}

/// Gives \a menu room for the shadow at its right and bottom, or takes that room away again.
void applyShadowMargins(QMenu *menu, bool shadow)
{
    if (shadow == hasShadowMargins(menu))
        return;
    if (shadow) {
        // A shadow over the desktop needs a window with an alpha channel, which can only be asked
        // for before the native window exists; later the shadow is drawn opaque.
        if (!menu->testAttribute(Qt::WA_WState_Created))
            menu->setAttribute(Qt::WA_TranslucentBackground, true);
        menu->setContentsMargins(0, 0, CoolMenuStyle::ShadowWidth, CoolMenuStyle::ShadowWidth);
    } else {
        menu->setContentsMargins(0, 0, 0, 0);
    }
    menu->setProperty(kShadowMarginsProperty, shadow);
}

QString withoutMnemonics(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size())
            ++i;
        out.append(text[i]);
    }
    return out;
}

struct StockEntry
{
    const char16_t *name;
    QStyle::StandardPixmap pixmap;
};

// Stock pictures by the names menus use for them.
const StockEntry kStock[] = {
    {u"save!", QStyle::SP_DialogSaveButton},     {u"open!", QStyle::SP_DialogOpenButton},
    {u"close!", QStyle::SP_DialogCloseButton},   {u"exit!", QStyle::SP_DialogCloseButton},
    {u"cancel!", QStyle::SP_DialogCancelButton}, {u"apply!", QStyle::SP_DialogApplyButton},
    {u"ok!", QStyle::SP_DialogOkButton},         {u"help!", QStyle::SP_DialogHelpButton},
    {u"delete!", QStyle::SP_TrashIcon},          {u"clear!", QStyle::SP_DialogResetButton},
    {u"new!", QStyle::SP_FileIcon},              {u"folder!", QStyle::SP_DirIcon},
    {u"computer!", QStyle::SP_ComputerIcon},     {u"home!", QStyle::SP_DirHomeIcon},
    {u"refresh!", QStyle::SP_BrowserReload},     {u"run!", QStyle::SP_MediaPlay},
    {u"stop!", QStyle::SP_MediaStop},            {u"undo!", QStyle::SP_ArrowBack},
    {u"redo!", QStyle::SP_ArrowForward},         {u"information!", QStyle::SP_MessageBoxInformation},
    {u"question!", QStyle::SP_MessageBoxQuestion}, {u"exclamation!", QStyle::SP_MessageBoxWarning},
    {u"stopsign!", QStyle::SP_MessageBoxCritical}, {u"find!", QStyle::SP_FileDialogContentsView},
    {u"properties!", QStyle::SP_FileDialogDetailedView},
};

} // namespace

QColor colorFromWinRgb(quint32 rgb)
{
    return QColor(int(rgb & 0xFF), int((rgb >> 8) & 0xFF), int((rgb >> 16) & 0xFF));
}

quint32 winRgbFromColor(const QColor &color)
{
    return winRgb(color.red(), color.green(), color.blue());
}

quint32 sysColor(int index)
{
    if (index < 0 || index >= int(std::size(kSysColors)))
        return 0;
    return kSysColors[index];
}

// ------------------------------------------------------------------------------------- library

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
        case SelectedColor: return QColor(193, 210, 238);
        case MenuBackColor: return QColor(252, 252, 249);
        case BitmapBackColor: return QColor(233, 231, 227);
        case CheckedSelectedColor: return QColor(152, 181, 226);
        case CheckedColor: return QColor(225, 230, 232);
        case PenColor: return QColor(49, 106, 197);
        case TextColor: return QColor(0, 0, 0);
        case HighlightTextColor: return QColor(0, 0, 0);
        case DisabledTextColor: return QColor(141, 141, 141);
        case GradientStartColor: return QColor(254, 254, 254);
        case GradientEndColor: return QColor(196, 195, 189);
        case MenuBarColor: return QColor(236, 233, 216);
        }
    } else if (m_look == LookOffice2k3) {
        switch (slot) {
        case SelectedColor: return QColor(255, 238, 194);
        case MenuBackColor: return QColor(246, 246, 246);
        case BitmapBackColor: return QColor(227, 239, 255);
        case CheckedSelectedColor: return QColor(254, 128, 62);
        case CheckedColor: return QColor(255, 192, 111);
        case PenColor: return QColor(0, 0, 128);
        case TextColor: return QColor(0, 0, 0);
        case HighlightTextColor: return QColor(0, 0, 0);
        case DisabledTextColor: return QColor(141, 141, 141);
        case GradientStartColor: return QColor(227, 239, 255);
        case GradientEndColor: return QColor(135, 173, 228);
        case MenuBarColor: return QColor(158, 190, 245);
        }
    }

    // The plain looks use the desktop's colours: the stock table, or the live palette when they
    // are to follow theme changes.
    if (m_reactOnThemeChange) {
        const QPalette pal = QGuiApplication::palette();
        switch (slot) {
        case SelectedColor:
        case CheckedSelectedColor: return pal.color(QPalette::Active, QPalette::Highlight);
        case MenuBackColor:
        case BitmapBackColor:
        case GradientStartColor:
        case MenuBarColor: return pal.color(QPalette::Active, QPalette::Window);
        case CheckedColor: return pal.color(QPalette::Active, QPalette::Midlight);
        case PenColor:
        case GradientEndColor: return pal.color(QPalette::Active, QPalette::Dark);
        case TextColor: return pal.color(QPalette::Active, QPalette::WindowText);
        case HighlightTextColor: return pal.color(QPalette::Active, QPalette::HighlightedText);
        case DisabledTextColor: return pal.color(QPalette::Disabled, QPalette::WindowText);
        }
    }
    switch (slot) {
    case SelectedColor:
    case CheckedSelectedColor: return sys(kSysHighlight);
    case MenuBackColor:
    case BitmapBackColor:
    case GradientStartColor:
    case MenuBarColor: return sys(kSysMenu);
    case CheckedColor: return sys(kSysLight);
    case PenColor:
    case GradientEndColor: return sys(kSysBtnShadow);
    case TextColor: return sys(kSysMenuText);
    case HighlightTextColor: return sys(kSysHighlightText);
    case DisabledTextColor: return sys(kSysGrayText);
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
            applyShadowMargins(menu, cool->library().shadowEnabled());
        // A style change makes a menu measure its items again.
        QEvent change(QEvent::StyleChange);
        QCoreApplication::sendEvent(w, &change);
        w->update();
    }
}

// --------------------------------------------------------------------------------------- style

CoolMenuStyle::CoolMenuStyle(std::shared_ptr<const CoolMenuLibrary> library, QStyle *baseStyle)
    : QProxyStyle(baseStyle), m_library(std::move(library))
{
}

int CoolMenuStyle::frameWidth() const { return m_library->flatMenu() ? 1 : 2; }

int CoolMenuStyle::pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const
{
    switch (metric) {
    case PM_MenuPanelWidth: return frameWidth();
    case PM_MenuHMargin: return 0;
    case PM_MenuVMargin: return 1;
    case PM_SmallIconSize:
        if (asMenu(widget))
            return PictureSize;
        break;
    default: break;
    }
    return QProxyStyle::pixelMetric(metric, option, widget);
}

void CoolMenuStyle::polish(QWidget *widget)
{
    QProxyStyle::polish(widget);
    if (auto *menu = qobject_cast<QMenu *>(widget))
        applyShadowMargins(menu, m_library->shadowEnabled());
}

void CoolMenuStyle::unpolish(QWidget *widget)
{
    if (auto *menu = qobject_cast<QMenu *>(widget))
        applyShadowMargins(menu, false);
    QProxyStyle::unpolish(widget);
}

void CoolMenuStyle::drawMenuBackground(QPainter *painter, const QRect &menuRect, const QWidget *widget) const
{
    const int look = m_library->menuStyle();
    const int fw = frameWidth();
    QRect body = menuRect;
    painter->save();
    // Source mode: every call paints the same pixels, whichever clip a caller sets.
    painter->setCompositionMode(QPainter::CompositionMode_Source);

    if (hasShadowMargins(widget)) {
        body.adjust(0, 0, -ShadowWidth, -ShadowWidth);
        painter->fillRect(QRect(body.right() + 1, menuRect.top(), ShadowWidth, menuRect.height()),
                          Qt::transparent);
        painter->fillRect(QRect(menuRect.left(), body.bottom() + 1, menuRect.width(), ShadowWidth),
                          Qt::transparent);
        for (int k = 0; k < ShadowWidth; ++k) {
            const QColor shade(0, 0, 0, 90 - k * 20);
            painter->fillRect(QRect(body.right() + 1 + k, body.top() + ShadowWidth, 1,
                                    body.height() - ShadowWidth + 1 + k),
                              shade);
            painter->fillRect(QRect(body.left() + ShadowWidth, body.bottom() + 1 + k,
                                    body.width() - ShadowWidth + 1 + k, 1),
                              shade);
        }
    }

    painter->fillRect(body, color(CoolMenuLibrary::MenuBackColor));

    const QRect strip(body.left() + fw, body.top() + fw, PictureColumn, body.height() - 2 * fw);
    if (look == CoolMenuLibrary::LookOfficeXp) {
        painter->fillRect(strip, color(CoolMenuLibrary::BitmapBackColor));
    } else if (look == CoolMenuLibrary::LookOffice2k3) {
        QLinearGradient gradient(strip.left(), 0, strip.right() + 1, 0);
        gradient.setColorAt(0.0, color(CoolMenuLibrary::GradientStartColor));
        gradient.setColorAt(1.0, color(CoolMenuLibrary::GradientEndColor));
        painter->fillRect(strip, gradient);
    }

    const QRect outer = body.adjusted(0, 0, -1, -1);
    if (m_library->flatMenu()) {
        painter->setPen(color(CoolMenuLibrary::PenColor));
        painter->drawRect(outer);
    } else if (look == CoolMenuLibrary::LookOfficeXp || look == CoolMenuLibrary::LookOffice2k3) {
        painter->setPen(color(CoolMenuLibrary::PenColor));
        painter->drawRect(outer);
        painter->setPen(color(CoolMenuLibrary::MenuBackColor));
        painter->drawRect(outer.adjusted(1, 1, -1, -1));
    } else {
        // Raised frame of the classic desktop.
        const QRect inner = outer.adjusted(1, 1, -1, -1);
        painter->setPen(sys(kSysLight));
        painter->drawLine(outer.topLeft(), outer.topRight());
        painter->drawLine(outer.topLeft(), outer.bottomLeft());
        painter->setPen(sys(kSysDkShadow));
        painter->drawLine(outer.bottomLeft(), outer.bottomRight());
        painter->drawLine(outer.topRight(), outer.bottomRight());
        painter->setPen(sys(kSysBtnHighlight));
        painter->drawLine(inner.topLeft(), inner.topRight());
        painter->drawLine(inner.topLeft(), inner.bottomLeft());
        painter->setPen(sys(kSysBtnShadow));
        painter->drawLine(inner.bottomLeft(), inner.bottomRight());
        painter->drawLine(inner.topRight(), inner.bottomRight());
    }
    painter->restore();
}

void CoolMenuStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                                  const QWidget *widget) const
{
    if ((element == PE_PanelMenu || element == PE_FrameMenu) && asMenu(widget)) {
        drawMenuBackground(painter, widget->rect(), widget);
        return;
    }
    if (element == PE_PanelMenuBar && m_library->coolMenubar() && option) {
        painter->fillRect(option->rect, color(CoolMenuLibrary::MenuBarColor));
        return;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void CoolMenuStyle::drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                                const QWidget *widget) const
{
    const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
    if (item && asMenu(widget)) {
        if (element == CE_MenuItem) {
            drawMenuItem(item, painter, widget);
            return;
        }
        if (element == CE_MenuEmptyArea) {
            drawMenuBackground(painter, widget->rect(), widget);
            return;
        }
    }
    if (m_library->coolMenubar() && qobject_cast<const QMenuBar *>(widget)) {
        if (element == CE_MenuBarEmptyArea && option) {
            painter->fillRect(option->rect, color(CoolMenuLibrary::MenuBarColor));
            return;
        }
        if (element == CE_MenuBarItem && item) {
            drawMenuBarItem(item, painter, widget);
            return;
        }
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

void CoolMenuStyle::drawMenuItem(const QStyleOptionMenuItem *item, QPainter *painter, const QWidget *widget) const
{
    const int look = m_library->menuStyle();
    const bool office = look == CoolMenuLibrary::LookOfficeXp || look == CoolMenuLibrary::LookOffice2k3;
    const QRect r = item->rect;
    const bool enabled = item->state & State_Enabled;
    const bool selected = enabled && (item->state & State_Selected);

    // Ground and picture column: the same as the menu's background behind the item.
    painter->save();
    painter->setClipRect(r, Qt::IntersectClip);
    drawMenuBackground(painter, widget->rect(), widget);
    painter->restore();

    if (item->menuItemType == QStyleOptionMenuItem::Separator) {
        const int y = r.center().y();
        if (office) {
            painter->setPen(color(CoolMenuLibrary::DisabledTextColor));
            painter->drawLine(r.left() + PictureColumn + 6, y, r.right() - 2, y);
        } else {
            painter->setPen(sys(kSysBtnShadow));
            painter->drawLine(r.left() + 2, y, r.right() - 2, y);
            painter->setPen(sys(kSysBtnHighlight));
            painter->drawLine(r.left() + 2, y + 1, r.right() - 2, y + 1);
        }
        return;
    }

    QIcon icon = m_library->iconForItem(item->text);
    if (icon.isNull())
        icon = item->icon;
    const bool checked = item->checkType != QStyleOptionMenuItem::NotCheckable && item->checked;
    const QRect pictureBox(r.left() + (PictureColumn - PictureSize) / 2 - 2, r.top() + (r.height() - PictureSize) / 2 - 2,
                           PictureSize + 4, PictureSize + 4);

    // Highlight.
    if (selected) {
        if (office) {
            const QRect h = r.adjusted(1, 0, -2, -1);
            painter->fillRect(h, color(CoolMenuLibrary::SelectedColor));
            painter->setPen(color(CoolMenuLibrary::PenColor));
            painter->drawRect(h);
        } else if (look == CoolMenuLibrary::LookOffice2k && !icon.isNull()) {
            // The 2000 look raises the picture and highlights the text part only.
            painter->fillRect(r.adjusted(PictureColumn, 0, 0, 0), color(CoolMenuLibrary::SelectedColor));
        } else {
            painter->fillRect(r, color(CoolMenuLibrary::SelectedColor));
        }
    }

    if (checked) {
        painter->fillRect(pictureBox, color(selected ? CoolMenuLibrary::CheckedSelectedColor
                                                     : CoolMenuLibrary::CheckedColor));
        painter->setPen(color(CoolMenuLibrary::PenColor));
        painter->drawRect(pictureBox.adjusted(0, 0, -1, -1));
    } else if (selected && look == CoolMenuLibrary::LookOffice2k && !icon.isNull()) {
        const QRect b = pictureBox.adjusted(0, 0, -1, -1);
        painter->setPen(sys(kSysBtnHighlight));
        painter->drawLine(b.topLeft(), b.topRight());
        painter->drawLine(b.topLeft(), b.bottomLeft());
        painter->setPen(sys(kSysBtnShadow));
        painter->drawLine(b.bottomLeft(), b.bottomRight());
        painter->drawLine(b.topRight(), b.bottomRight());
    }

    QColor textColor;
    if (!enabled)
        textColor = color(CoolMenuLibrary::DisabledTextColor);
    else if (selected)
        textColor = color(CoolMenuLibrary::HighlightTextColor);
    else
        textColor = color(CoolMenuLibrary::TextColor);

    QFont font = item->font;
    if (const auto props = m_library->propsForItem(item->text)) {
        font.setBold(props->bold);
        font.setItalic(props->italic);
        font.setUnderline(props->underline);
        if (enabled && !selected && props->color != 0)
            textColor = colorFromWinRgb(props->color);
    }

    const QRect pictureRect(r.left() + (PictureColumn - PictureSize) / 2, r.top() + (r.height() - PictureSize) / 2,
                            PictureSize, PictureSize);
    if (!icon.isNull()) {
        icon.paint(painter, pictureRect, Qt::AlignCenter, enabled ? QIcon::Normal : QIcon::Disabled,
                   checked ? QIcon::On : QIcon::Off);
    } else if (checked) {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(textColor);
        if (item->checkType == QStyleOptionMenuItem::Exclusive) {
            painter->drawEllipse(QRectF(pictureRect).center(), 3.0, 3.0);
        } else {
            QPainterPath tick;
            const QRectF b = QRectF(pictureRect).adjusted(3, 4, -3, -4);
            tick.moveTo(b.left(), b.center().y());
            tick.lineTo(b.left() + b.width() * 0.4, b.bottom());
            tick.lineTo(b.right(), b.top());
            painter->setBrush(Qt::NoBrush);
            painter->setPen(QPen(textColor, 2.0));
            painter->drawPath(tick);
        }
        painter->restore();
    }

    const int arrowArea = 18;
    const QRect textRect = r.adjusted(PictureColumn + 8, 0, -arrowArea, 0);
    int flags = Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip;
    flags |= proxy()->styleHint(SH_UnderlineShortcut, item, widget) ? Qt::TextShowMnemonic : Qt::TextHideMnemonic;
    QString label = item->text;
    QString shortcut;
    if (const qsizetype tab = label.indexOf(u'\t'); tab >= 0) {
        shortcut = label.mid(tab + 1);
        label.truncate(tab);
    }
    painter->save();
    painter->setFont(font);
    painter->setPen(textColor);
    painter->drawText(textRect, flags | Qt::AlignLeft, label);
    if (!shortcut.isEmpty()) {
        painter->setFont(item->font);
        painter->drawText(textRect, flags | Qt::AlignRight, shortcut);
    }
    if (item->menuItemType == QStyleOptionMenuItem::SubMenu) {
        const int cx = r.right() - arrowArea / 2;
        const int cy = r.center().y();
        QPolygon arrow;
        arrow << QPoint(cx - 2, cy - 4) << QPoint(cx + 2, cy) << QPoint(cx - 2, cy + 4);
        painter->setPen(Qt::NoPen);
        painter->setBrush(textColor);
        painter->drawPolygon(arrow);
    }
    painter->restore();
}

void CoolMenuStyle::drawMenuBarItem(const QStyleOptionMenuItem *item, QPainter *painter, const QWidget *widget) const
{
    painter->fillRect(item->rect, color(CoolMenuLibrary::MenuBarColor));
    const bool enabled = item->state & State_Enabled;
    const bool active = enabled && (item->state & (State_Selected | State_Sunken));
    if (active) {
        const QRect h = item->rect.adjusted(0, 0, -1, -1);
        painter->fillRect(h, color(CoolMenuLibrary::SelectedColor));
        painter->setPen(color(CoolMenuLibrary::PenColor));
        painter->drawRect(h);
    }
    int flags = Qt::AlignCenter | Qt::TextSingleLine;
    flags |= proxy()->styleHint(SH_UnderlineShortcut, item, widget) ? Qt::TextShowMnemonic : Qt::TextHideMnemonic;
    painter->setPen(color(!enabled ? CoolMenuLibrary::DisabledTextColor
                                   : active ? CoolMenuLibrary::HighlightTextColor : CoolMenuLibrary::TextColor));
    painter->drawText(item->rect, flags, item->text);
}

QSize CoolMenuStyle::sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                                      const QWidget *widget) const
{
    const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
    if (type != CT_MenuItem || !item || !asMenu(widget))
        return QProxyStyle::sizeFromContents(type, option, size, widget);

    if (item->menuItemType == QStyleOptionMenuItem::Separator)
        return QSize(PictureColumn + 16, 7);

    QFont font = item->font;
    if (const auto props = m_library->propsForItem(item->text)) {
        font.setBold(props->bold);
        font.setItalic(props->italic);
        font.setUnderline(props->underline);
    }
    const QFontMetrics fm(font);
    const int textWidth = fm.horizontalAdvance(withoutMnemonics(bindingKey(item->text)));
    const int height = qMax(fm.height(), PictureSize) + 6;
    // Picture column, gap, text, room before a shortcut column and for a sub-menu arrow.
    return QSize(PictureColumn + 8 + textWidth + 12 + 18, height);
}

} // namespace garvina
