#pragma once

#include "ui/form/formobject.h"

#include <QColor>
#include <QPoint>

namespace garvina {

/// \brief A straight line between two points.
class FormLine final : public FormObject
{
public:
    /// End points in form units; bound x and y move both.
    QPoint from() const;
    QPoint to() const;
    void setPoints(const QPoint &fromUnits, const QPoint &toUnits);

    QColor color() const;
    void setColor(const QColor &color);
    void bindColor(FormExpr<QColor> color);
    /// Pen width in pixels.
    int width() const { return m_width; }
    void setWidth(int pixels);

    QRect pixelRect() const override;

protected:
    void paint(QPainter &painter) const override;
    bool hitTest(const QPoint &pixel) const override;

private:
    friend class DataForm;
    FormLine(DataForm &form, const QString &name, const QPoint &fromUnits, const QPoint &toUnits);

    QPoint m_from;
    QPoint m_to;
    FormBindable<QColor> m_color{QColor(0, 0, 0)};
    int m_width = 1;
};

} // namespace garvina
