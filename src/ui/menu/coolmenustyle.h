#pragma once

#include "ui/menu/coolmenulibrary.h"

#include <QFont>
#include <QProxyStyle>

#include <memory>

class QMenu;
class QStyleOptionMenuItem;

namespace garvina {

/// \brief Draws QMenu (and, when asked, QMenuBar) items the library's way: a picture column at the
/// left, the look's colours, flat or raised frame, optional drop shadow. Everything else is left to
/// the base style.
class CoolMenuStyle : public QProxyStyle
{
    Q_OBJECT
public:
    CoolMenuStyle(std::shared_ptr<const CoolMenuLibrary> library, QStyle *baseStyle = nullptr);

    const CoolMenuLibrary &library() const { return *m_library; }

    /// Size of a picture in a menu item, in device-independent pixels.
    static constexpr int PictureSize = 16;
    /// Width of the picture column at the left of every item.
    static constexpr int PictureColumn = PictureSize + 8;
    /// Width of the drop shadow at the right and bottom of a menu.
    static constexpr int ShadowWidth = 4;
    /// Space between the picture column and an item's text.
    static constexpr int TextGap = 8;
    /// Room at the right of every item for a sub-menu's arrow.
    static constexpr int SubMenuArrowWidth = 18;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget = nullptr) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                           const QWidget *widget) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption *option = nullptr,
                    const QWidget *widget = nullptr) const override;
    void polish(QWidget *widget) override;
    void unpolish(QWidget *widget) override;
    using QProxyStyle::polish;
    using QProxyStyle::unpolish;

    /// True when \a widget is a menu with room for the drop shadow at its right and bottom.
    static bool hasShadowMargins(const QWidget *widget);
    /// Gives \a menu room for the shadow at its right and bottom, or takes that room away again.
    static void applyShadowMargins(QMenu *menu, bool shadow);

private:
    void drawMenuBackground(QPainter *painter, const QRect &menuRect, const QWidget *widget) const;
    void drawMenuItem(const QStyleOptionMenuItem *item, QPainter *painter, const QWidget *widget) const;

    /// What an item's text is drawn with: the look's colour for its state and the library's style.
    struct ItemLook
    {
        QColor textColor;
        QFont font;
    };
    ItemLook itemLook(const QStyleOptionMenuItem *item, bool enabled, bool selected) const;
    bool officeLook() const;
    // The painters of one item, in the order they draw.
    void paintItemGround(const QRect &r, QPainter *painter, const QWidget *widget) const;
    void paintSeparator(const QRect &r, QPainter *painter) const;
    void paintSelection(const QRect &r, bool hasPicture, QPainter *painter) const;
    void paintPictureFrame(const QRect &r, bool checked, bool selected, bool hasPicture,
                           QPainter *painter) const;
    void paintCheckMark(const QRect &pictureRect, bool exclusive, const QColor &textColor,
                        QPainter *painter) const;
    void paintItemText(const QStyleOptionMenuItem *item, const ItemLook &look, QPainter *painter,
                       const QWidget *widget) const;
    void paintSubMenuArrow(const QRect &r, const QColor &textColor, QPainter *painter) const;
    void drawMenuBarItem(const QStyleOptionMenuItem *item, QPainter *painter, const QWidget *widget) const;
    QColor color(int slot) const { return m_library->menuColor(slot); }
    int frameWidth() const;

    std::shared_ptr<const CoolMenuLibrary> m_library;
};

} // namespace garvina
