#include "ui/form/formobject.h"

#include "ui/form/dataform.h"

namespace garvina {

FormObject::FormObject(DataForm &form, const QString &name, Kind kind, const QRect &units)
    : m_form(form), m_name(name), m_kind(kind), m_base(units), m_x(units.x()), m_y(units.y())
{}

FormObject::~FormObject() = default;

QRect FormObject::geometry() const
{
    return {x(), y(), m_base.width(), m_base.height()};
}

void FormObject::setGeometry(const QRect &units)
{
    m_base = units;
    m_x.set(units.x());
    m_y.set(units.y());
    changed();
}

int FormObject::x() const
{
    return m_x.value(m_form);
}
int FormObject::y() const
{
    return m_y.value(m_form);
}

void FormObject::bindX(FormExpr<int> unitsX)
{
    m_x.bind(std::move(unitsX));
    changed();
}

void FormObject::bindY(FormExpr<int> unitsY)
{
    m_y.bind(std::move(unitsY));
    changed();
}

QRect FormObject::pixelRect() const
{
    return formUnitsToPixels(geometry());
}

bool FormObject::isVisible() const
{
    return m_visible.value(m_form);
}

void FormObject::setVisible(bool visible)
{
    m_visible.set(visible);
    changed();
}

void FormObject::bindVisible(FormExpr<bool> visible)
{
    m_visible.bind(std::move(visible));
    changed();
}

void FormObject::setCursorShape(Qt::CursorShape shape)
{
    m_cursor = shape;
    changed();
}

void FormObject::changed()
{
    m_form.objectChanged(this);
}

void FormObject::paint(QPainter &) const {}

bool FormObject::hitTest(const QPoint &pixel) const
{
    return pixelRect().contains(pixel);
}

} // namespace garvina
