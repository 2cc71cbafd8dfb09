#include "ui/form/formroundrect.h"

#include "ui/form/dataform.h"

#include <QPainter>

namespace garvina {

FormRoundRect::FormRoundRect(DataForm &form, const QString &name, const QRect &units)
    : FormObject(form, name, Kind::RoundRect, units)
{}

QColor FormRoundRect::fillColor() const
{
    return m_fill.value(form());
}

void FormRoundRect::setFillColor(const QColor &color)
{
    m_fill.set(color);
    changed();
}

void FormRoundRect::bindFillColor(FormExpr<QColor> color)
{
    m_fill.bind(std::move(color));
    changed();
}

void FormRoundRect::setBorderColor(const QColor &color)
{
    m_border = color;
    changed();
}

void FormRoundRect::setRadius(int pixels)
{
    m_radius = std::max(0, pixels);
    changed();
}

void FormRoundRect::paint(QPainter &painter) const
{
    const QRectF r = QRectF(pixelRect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(m_border.isValid() ? QPen(m_border) : QPen(Qt::NoPen));
    painter.setBrush(fillColor());
    painter.drawRoundedRect(r, m_radius, m_radius);
    painter.restore();
}

} // namespace garvina
