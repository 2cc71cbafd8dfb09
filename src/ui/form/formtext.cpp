#include "ui/form/formtext.h"

#include "ui/form/dataform.h"

#include <QPainter>

namespace garvina {

FormText::FormText(DataForm &form, const QString &name, const QRect &units, const QString &text)
    : FormObject(form, name, Kind::Text, units), m_text(text)
{}

QString FormText::text() const
{
    return m_text.value(form());
}

void FormText::setText(const QString &text)
{
    m_text.set(text);
    changed();
}

void FormText::bindText(FormExpr<QString> text)
{
    m_text.bind(std::move(text));
    changed();
}

void FormText::setFont(const QString &family, int pointSize, int weight)
{
    m_font.family = family;
    m_font.pointSize = pointSize;
    m_weight.set(weight);
    changed();
}

void FormText::setUnderline(bool underline)
{
    m_font.underline = underline;
    changed();
}

QFont FormText::font() const
{
    return m_font.toFont(fontWeight());
}

int FormText::fontWeight() const
{
    return m_weight.value(form());
}

void FormText::setFontWeight(int weight)
{
    m_weight.set(weight);
    changed();
}

void FormText::bindFontWeight(FormExpr<int> weight)
{
    m_weight.bind(std::move(weight));
    changed();
}

QColor FormText::textColor() const
{
    return m_color.value(form());
}

void FormText::setTextColor(const QColor &color)
{
    m_color.set(color);
    changed();
}

void FormText::bindTextColor(FormExpr<QColor> color)
{
    m_color.bind(std::move(color));
    changed();
}

QColor FormText::backgroundColor() const
{
    return m_background.value(form());
}

void FormText::setBackgroundColor(const QColor &color)
{
    m_background.set(color);
    changed();
}

void FormText::bindBackgroundColor(FormExpr<QColor> color)
{
    m_background.bind(std::move(color));
    changed();
}

void FormText::setAlignment(Qt::Alignment alignment)
{
    m_alignment = alignment;
    changed();
}

void FormText::setWordWrap(bool wrap)
{
    m_wordWrap = wrap;
    changed();
}

void FormText::paint(QPainter &painter) const
{
    const QRect r = pixelRect();
    const QColor background = backgroundColor();
    if (background.isValid())
        painter.fillRect(r, background);
    const QString caption = text();
    if (caption.isEmpty())
        return;
    painter.setFont(font());
    painter.setPen(textColor());
    const int flags = int(m_alignment) | (m_wordWrap ? int(Qt::TextWordWrap) : 0);
    painter.drawText(r, flags, caption);
}

} // namespace garvina
