#include "ui/form/formline.h"

#include "ui/form/dataform.h"

#include <QLineF>
#include <QPainter>

#include <algorithm>

namespace garvina {

namespace {
QRect boundingUnits(const QPoint &a, const QPoint &b)
{
    return QRect(a, b).normalized();
}
} // namespace

FormLine::FormLine(DataForm &form, const QString &name, const QPoint &fromUnits, const QPoint &toUnits)
    : FormObject(form, name, Kind::Line, boundingUnits(fromUnits, toUnits)), m_from(fromUnits), m_to(toUnits)
{}

QPoint FormLine::from() const
{
    return m_from + (geometry().topLeft() - baseGeometry().topLeft());
}
QPoint FormLine::to() const
{
    return m_to + (geometry().topLeft() - baseGeometry().topLeft());
}

void FormLine::setPoints(const QPoint &fromUnits, const QPoint &toUnits)
{
    m_from = fromUnits;
    m_to = toUnits;
    setGeometry(boundingUnits(fromUnits, toUnits));
}

QColor FormLine::color() const
{
    return m_color.value(form());
}

void FormLine::setColor(const QColor &color)
{
    m_color.set(color);
    changed();
}

void FormLine::bindColor(FormExpr<QColor> color)
{
    m_color.bind(std::move(color));
    changed();
}

void FormLine::setWidth(int pixels)
{
    m_width = std::max(1, pixels);
    changed();
}

QRect FormLine::pixelRect() const
{
    const int pad = (m_width + 1) / 2;
    return QRect(formUnitsToPixels(from()), formUnitsToPixels(to()))
        .normalized()
        .adjusted(-pad, -pad, pad, pad);
}

void FormLine::paint(QPainter &painter) const
{
    painter.setPen(QPen(color(), m_width, Qt::SolidLine, Qt::FlatCap));
    painter.drawLine(formUnitsToPixels(from()), formUnitsToPixels(to()));
}

bool FormLine::hitTest(const QPoint &pixel) const
{
    // Within the pen and a little slack either side, so that a one-pixel line can be hit at all.
    const QPointF a = formUnitsToPixels(from());
    const QPointF b = formUnitsToPixels(to());
    const QPointF p = pixel;
    const QPointF ab = b - a;
    const double length2 = QPointF::dotProduct(ab, ab);
    double t = length2 > 0 ? QPointF::dotProduct(p - a, ab) / length2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    const QPointF nearest = a + t * ab;
    return QLineF(nearest, p).length() <= m_width / 2.0 + 2.0;
}

} // namespace garvina
