#include "ui/menu/coolmenustyle.h"

#include "ui/menu/syscolors.h"

#include <QLinearGradient>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionMenuItem>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// Property on a menu whose contents margins make room for the drop shadow.
constexpr char kShadowMarginsProperty[] = "garvina_coolmenu_shadowmargins";

const QMenu *asMenu(const QWidget *widget)
{
    return qobject_cast<const QMenu *>(widget);
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

} // namespace

bool CoolMenuStyle::hasShadowMargins(const QWidget *widget)
{
    return widget && widget->property(kShadowMarginsProperty).toBool();
}

/// Gives \a menu room for the shadow at its right and bottom, or takes that room away again.
void CoolMenuStyle::applyShadowMargins(QMenu *menu, bool shadow)
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

CoolMenuStyle::CoolMenuStyle(std::shared_ptr<const CoolMenuLibrary> library, QStyle *baseStyle)
    : QProxyStyle(baseStyle), m_library(std::move(library))
{}

int CoolMenuStyle::frameWidth() const
{
    return m_library->flatMenu() ? 1 : 2;
}

int CoolMenuStyle::pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const
{
    switch (metric) {
    case PM_MenuPanelWidth:
        return frameWidth();
    case PM_MenuHMargin:
        return 0;
    case PM_MenuVMargin:
        return 1;
    case PM_SmallIconSize:
        if (asMenu(widget))
            return PictureSize;
        break;
    default:
        break;
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
            painter->fillRect(
                QRect(body.right() + 1 + k, body.top() + ShadowWidth, 1, body.height() - ShadowWidth + 1 + k),
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
        painter->setPen(sysQColor(SysLight));
        painter->drawLine(outer.topLeft(), outer.topRight());
        painter->drawLine(outer.topLeft(), outer.bottomLeft());
        painter->setPen(sysQColor(SysDkShadow));
        painter->drawLine(outer.bottomLeft(), outer.bottomRight());
        painter->drawLine(outer.topRight(), outer.bottomRight());
        painter->setPen(sysQColor(SysBtnHighlight));
        painter->drawLine(inner.topLeft(), inner.topRight());
        painter->drawLine(inner.topLeft(), inner.bottomLeft());
        painter->setPen(sysQColor(SysBtnShadow));
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

void CoolMenuStyle::drawMenuItem(const QStyleOptionMenuItem *item, QPainter *painter,
                                 const QWidget *widget) const
{
    const QRect r = item->rect;
    const bool enabled = item->state & State_Enabled;
    const bool selected = enabled && (item->state & State_Selected);

    paintItemGround(r, painter, widget);
    if (item->menuItemType == QStyleOptionMenuItem::Separator) {
        paintSeparator(r, painter);
        return;
    }

    QIcon icon = m_library->iconForItem(item->text);
    if (icon.isNull())
        icon = item->icon;
    const bool hasPicture = !icon.isNull();
    const bool checked = item->checkType != QStyleOptionMenuItem::NotCheckable && item->checked;

    if (selected)
        paintSelection(r, hasPicture, painter);
    paintPictureFrame(r, checked, selected, hasPicture, painter);

    const ItemLook look = itemLook(item, enabled, selected);
    const QRect pictureRect(r.left() + (PictureColumn - PictureSize) / 2,
                            r.top() + (r.height() - PictureSize) / 2, PictureSize, PictureSize);
    if (hasPicture)
        icon.paint(painter, pictureRect, Qt::AlignCenter, enabled ? QIcon::Normal : QIcon::Disabled,
                   checked ? QIcon::On : QIcon::Off);
    else if (checked)
        paintCheckMark(pictureRect, item->checkType == QStyleOptionMenuItem::Exclusive, look.textColor,
                       painter);

    paintItemText(item, look, painter, widget);
    if (item->menuItemType == QStyleOptionMenuItem::SubMenu)
        paintSubMenuArrow(r, look.textColor, painter);
}

void CoolMenuStyle::paintItemGround(const QRect &r, QPainter *painter, const QWidget *widget) const
{
    // The same as the menu's background behind the item, picture column included.
    painter->save();
    painter->setClipRect(r, Qt::IntersectClip);
    drawMenuBackground(painter, widget->rect(), widget);
    painter->restore();
}

bool CoolMenuStyle::officeLook() const
{
    const int look = m_library->menuStyle();
    return look == CoolMenuLibrary::LookOfficeXp || look == CoolMenuLibrary::LookOffice2k3;
}

void CoolMenuStyle::paintSeparator(const QRect &r, QPainter *painter) const
{
    const int y = r.center().y();
    if (officeLook()) {
        painter->setPen(color(CoolMenuLibrary::DisabledTextColor));
        painter->drawLine(r.left() + PictureColumn + 6, y, r.right() - 2, y);
    } else {
        // An etched line: shadow over highlight.
        painter->setPen(sysQColor(SysBtnShadow));
        painter->drawLine(r.left() + 2, y, r.right() - 2, y);
        painter->setPen(sysQColor(SysBtnHighlight));
        painter->drawLine(r.left() + 2, y + 1, r.right() - 2, y + 1);
    }
}

void CoolMenuStyle::paintSelection(const QRect &r, bool hasPicture, QPainter *painter) const
{
    if (officeLook()) {
        const QRect h = r.adjusted(1, 0, -2, -1);
        painter->fillRect(h, color(CoolMenuLibrary::SelectedColor));
        painter->setPen(color(CoolMenuLibrary::PenColor));
        painter->drawRect(h);
    } else if (m_library->menuStyle() == CoolMenuLibrary::LookOffice2k && hasPicture) {
        // The 2000 look raises the picture and highlights the text part only.
        painter->fillRect(r.adjusted(PictureColumn, 0, 0, 0), color(CoolMenuLibrary::SelectedColor));
    } else {
        painter->fillRect(r, color(CoolMenuLibrary::SelectedColor));
    }
}

void CoolMenuStyle::paintPictureFrame(const QRect &r, bool checked, bool selected, bool hasPicture,
                                      QPainter *painter) const
{
    const QRect pictureBox(r.left() + (PictureColumn - PictureSize) / 2 - 2,
                           r.top() + (r.height() - PictureSize) / 2 - 2, PictureSize + 4, PictureSize + 4);
    if (checked) {
        painter->fillRect(pictureBox, color(selected ? CoolMenuLibrary::CheckedSelectedColor
                                                     : CoolMenuLibrary::CheckedColor));
        painter->setPen(color(CoolMenuLibrary::PenColor));
        painter->drawRect(pictureBox.adjusted(0, 0, -1, -1));
    } else if (selected && m_library->menuStyle() == CoolMenuLibrary::LookOffice2k && hasPicture) {
        // The raised button of the 2000 look under the selected item's picture.
        const QRect b = pictureBox.adjusted(0, 0, -1, -1);
        painter->setPen(sysQColor(SysBtnHighlight));
        painter->drawLine(b.topLeft(), b.topRight());
        painter->drawLine(b.topLeft(), b.bottomLeft());
        painter->setPen(sysQColor(SysBtnShadow));
        painter->drawLine(b.bottomLeft(), b.bottomRight());
        painter->drawLine(b.topRight(), b.bottomRight());
    }
}

CoolMenuStyle::ItemLook CoolMenuStyle::itemLook(const QStyleOptionMenuItem *item, bool enabled,
                                                bool selected) const
{
    ItemLook look;
    if (!enabled)
        look.textColor = color(CoolMenuLibrary::DisabledTextColor);
    else if (selected)
        look.textColor = color(CoolMenuLibrary::HighlightTextColor);
    else
        look.textColor = color(CoolMenuLibrary::TextColor);

    look.font = item->font;
    if (const auto props = m_library->propsForItem(item->text)) {
        look.font.setBold(props->bold);
        look.font.setItalic(props->italic);
        look.font.setUnderline(props->underline);
        if (enabled && !selected && props->color != 0)
            look.textColor = colorFromWinRgb(props->color);
    }
    return look;
}

void CoolMenuStyle::paintCheckMark(const QRect &pictureRect, bool exclusive, const QColor &textColor,
                                   QPainter *painter) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(textColor);
    if (exclusive) {
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

void CoolMenuStyle::paintItemText(const QStyleOptionMenuItem *item, const ItemLook &look, QPainter *painter,
                                  const QWidget *widget) const
{
    const QRect textRect = item->rect.adjusted(PictureColumn + TextGap, 0, -SubMenuArrowWidth, 0);
    int flags = Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip;
    flags |=
        proxy()->styleHint(SH_UnderlineShortcut, item, widget) ? Qt::TextShowMnemonic : Qt::TextHideMnemonic;
    QString label = item->text;
    QString shortcut;
    if (const qsizetype tab = label.indexOf(u'\t'); tab >= 0) {
        shortcut = label.mid(tab + 1);
        label.truncate(tab);
    }
    painter->save();
    painter->setFont(look.font);
    painter->setPen(look.textColor);
    painter->drawText(textRect, flags | Qt::AlignLeft, label);
    if (!shortcut.isEmpty()) {
        painter->setFont(item->font);
        painter->drawText(textRect, flags | Qt::AlignRight, shortcut);
    }
    painter->restore();
}

void CoolMenuStyle::paintSubMenuArrow(const QRect &r, const QColor &textColor, QPainter *painter) const
{
    const int cx = r.right() - SubMenuArrowWidth / 2;
    const int cy = r.center().y();
    QPolygon arrow;
    arrow << QPoint(cx - 2, cy - 4) << QPoint(cx + 2, cy) << QPoint(cx - 2, cy + 4);
    painter->save();
    painter->setPen(Qt::NoPen);
    painter->setBrush(textColor);
    painter->drawPolygon(arrow);
    painter->restore();
}

void CoolMenuStyle::drawMenuBarItem(const QStyleOptionMenuItem *item, QPainter *painter,
                                    const QWidget *widget) const
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
    flags |=
        proxy()->styleHint(SH_UnderlineShortcut, item, widget) ? Qt::TextShowMnemonic : Qt::TextHideMnemonic;
    painter->setPen(color(!enabled ? CoolMenuLibrary::DisabledTextColor
                          : active ? CoolMenuLibrary::HighlightTextColor
                                   : CoolMenuLibrary::TextColor));
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
    const int textWidth = fm.horizontalAdvance(withoutMnemonics(CoolMenuLibrary::bindingKey(item->text)));
    const int height = qMax(fm.height(), PictureSize) + 6;
    // Picture column, gap, text, room before a shortcut column and for a sub-menu arrow.
    return QSize(PictureColumn + TextGap + textWidth + 12 + SubMenuArrowWidth, height);
}

} // namespace garvina
