#include "ui/form/formgroupbox.h"

#include "ui/form/dataform.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace garvina {

FormGroupBox::FormGroupBox(DataForm &form, const QString &name, const QRect &units, const QString &title)
    : FormObject(form, name, Kind::GroupBox, units), m_title(title)
{}

void FormGroupBox::setTitle(const QString &title)
{
    m_title = title;
    changed();
}

void FormGroupBox::setFont(const QString &family, int pointSize, int weight)
{
    m_font.family = family;
    m_font.pointSize = pointSize;
    m_weight = weight;
    changed();
}

QColor FormGroupBox::textColor() const
{
    return m_color.value(form());
}

void FormGroupBox::setTextColor(const QColor &color)
{
    m_color.set(color);
    changed();
}

void FormGroupBox::bindTextColor(FormExpr<QColor> color)
{
    m_color.bind(std::move(color));
    changed();
}

void FormGroupBox::setFrameColor(const QColor &color)
{
    m_frameColor = color;
    changed();
}

void FormGroupBox::paint(QPainter &painter) const
{
    const QRect r = pixelRect();
    const QFont font = m_font.toFont(m_weight);
    const QFontMetrics metrics(font);
    const int titleHeight = metrics.height();
    // The frame's top edge runs through the middle of the title, with a gap where the title sits.
    const QRect frame = r.adjusted(0, titleHeight / 2, -1, -1);
    const int titleLeft = r.left() + 8;
    const int titleWidth = m_title.isEmpty() ? 0 : metrics.horizontalAdvance(m_title) + 4;

    painter.setPen(m_frameColor);
    if (titleWidth > 0) {
        painter.drawLine(frame.left(), frame.top(), titleLeft, frame.top());
        painter.drawLine(std::min(titleLeft + titleWidth, frame.right()), frame.top(), frame.right(),
                         frame.top());
    } else {
        painter.drawLine(frame.topLeft(), frame.topRight());
    }
    painter.drawLine(frame.topRight(), frame.bottomRight());
    painter.drawLine(frame.bottomRight(), frame.bottomLeft());
    painter.drawLine(frame.bottomLeft(), frame.topLeft());

    if (titleWidth > 0) {
        painter.setFont(font);
        painter.setPen(textColor());
        painter.drawText(QRect(titleLeft, r.top(), titleWidth, titleHeight), Qt::AlignCenter, m_title);
    }
}

} // namespace garvina
