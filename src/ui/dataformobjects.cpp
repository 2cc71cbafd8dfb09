#include "ui/dataformobjects.h"

#include "ui/dataform.h"

#include <QFontMetrics>
#include <QLineF>
#include <QPainter>

#include <algorithm>

namespace garvina {

// FormObject ---------------------------------------------------------------------------------------

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

// FormFont -----------------------------------------------------------------------------------------

QFont FormFont::toFont(int weight) const
{
    QFont font;
    if (!family.isEmpty())
        font.setFamily(family);
    font.setPixelSize(std::max(1, qRound(pointSize * 96.0 / 72.0)));
    font.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 1, 1000)));
    font.setUnderline(underline);
    return font;
}

// FormText -----------------------------------------------------------------------------------------

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

// FormPicture --------------------------------------------------------------------------------------

FormPicture::FormPicture(DataForm &form, const QString &name, const QRect &units, const QString &fileName)
    : FormObject(form, name, Kind::Picture, units)
{
    m_fileName = fileName;
    m_pixmap = QPixmap(fileName);
}

bool FormPicture::setFileName(const QString &fileName)
{
    m_fileName = fileName;
    m_pixmap = QPixmap(fileName);
    changed();
    return !m_pixmap.isNull();
}

QRect FormPicture::pixelRect() const
{
    const QRect r = FormObject::pixelRect();
    if (!r.isEmpty())
        return r;
    // No size given: the picture's own, or nothing at all when it could not be read.
    return {r.topLeft(), m_pixmap.isNull() ? QSize() : m_pixmap.deviceIndependentSize().toSize()};
}

void FormPicture::paint(QPainter &painter) const
{
    if (m_pixmap.isNull())
        return;
    painter.drawPixmap(pixelRect(), m_pixmap);
}

// FormLine -----------------------------------------------------------------------------------------

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

// FormGroupBox -------------------------------------------------------------------------------------

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

// FormRoundRect ------------------------------------------------------------------------------------

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
