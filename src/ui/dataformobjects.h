#pragma once

#include "ui/dataformunits.h"

#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QString>

#include <functional>
#include <utility>

class QPainter;

namespace garvina {

class DataForm;

/// A display property computed from the form's row, for example
/// `[](const DataForm &f) { return f.itemIn(u"name"_s, {u"rr_ok"_s, u"t_ok"_s}) ? 700 : 400; }`.
/// Expressions are evaluated whenever the form is drawn or a property is read, so they must only read
/// the form, never change it.
template <typename T> using FormExpr = std::function<T(const DataForm &)>;

/// \brief A property that holds either a constant or an expression over the form's row.
///
/// Setting a constant drops the expression, as assigning a value to a display property does in any
/// form designer; binding an expression (or an empty one to go back to the constant) keeps the constant.
template <typename T> class FormBindable
{
public:
    FormBindable() = default;
    explicit FormBindable(T value) : m_value(std::move(value)) {}

    void set(T value)
    {
        m_value = std::move(value);
        m_expr = nullptr;
    }
    void bind(FormExpr<T> expr) { m_expr = std::move(expr); }
    T value(const DataForm &form) const { return m_expr ? m_expr(form) : m_value; }
    T constant() const { return m_value; }
    bool isBound() const { return static_cast<bool>(m_expr); }

private:
    T m_value{};
    FormExpr<T> m_expr;
};

/// \brief One named object of a DataForm: the common part of texts, pictures, lines, group boxes,
/// rounded rectangles and column fields.
///
/// Objects are made by the DataForm::add... functions and belong to the form; the references those
/// return stay valid as long as the form lives (unless an object of the same name replaces it).
/// Positions and sizes are in form units (see dataformunits.h). Every setter redraws the form.
class FormObject
{
public:
    enum class Kind
    {
        Text,
        Picture,
        Line,
        GroupBox,
        RoundRect,
        Field
    };

    virtual ~FormObject();
    FormObject(const FormObject &) = delete;
    FormObject &operator=(const FormObject &) = delete;

    QString name() const { return m_name; }
    Kind kind() const { return m_kind; }

    /// Position and size in form units, with bound x and y evaluated.
    QRect geometry() const;
    /// Sets position and size in form units; drops x and y expressions.
    void setGeometry(const QRect &units);
    int x() const;
    int y() const;
    /// Left edge in form units computed from the row.
    void bindX(FormExpr<int> unitsX);
    /// Top edge in form units computed from the row, e.g. a caption that rises while hovered.
    void bindY(FormExpr<int> unitsY);

    /// The area the object covers now, in pixels relative to the form.
    virtual QRect pixelRect() const;

    bool isVisible() const;
    void setVisible(bool visible);
    void bindVisible(FormExpr<bool> visible);

    /// The pointer shape while the pointer is over this object (the form's own shape otherwise).
    Qt::CursorShape cursorShape() const { return m_cursor; }
    void setCursorShape(Qt::CursorShape shape);

protected:
    FormObject(DataForm &form, const QString &name, Kind kind, const QRect &units);

    const DataForm &form() const { return m_form; }
    DataForm &form() { return m_form; }
    /// The geometry as last set, without expressions.
    QRect baseGeometry() const { return m_base; }
    /// Tells the form that something it shows has changed.
    void changed();

    virtual void paint(QPainter &painter) const;
    /// True when \a pixel (form coordinates) lies on the object; only asked of visible objects.
    virtual bool hitTest(const QPoint &pixel) const;
    /// Brings child widgets in line with the row; drawn objects have none.
    virtual void sync() {}

private:
    friend class DataForm;

    DataForm &m_form;
    QString m_name;
    Kind m_kind;
    QRect m_base;
    FormBindable<int> m_x;
    FormBindable<int> m_y;
    FormBindable<bool> m_visible{true};
    Qt::CursorShape m_cursor = Qt::ArrowCursor;
};

/// \brief Font settings shared by texts, group boxes and fields.
///
/// Sizes are in points as a form designer gives them, drawn at 96 dpi like the pictures of the skin
/// (9 pt is 12 px whatever the desktop's dpi), so that type fits the picture it is drawn on.
struct FormFont
{
    QString family;
    int pointSize = 9;
    bool underline = false;

    QFont toFont(int weight) const;
};

/// \brief A text: a caption, a label, a filled box or a transparent hotspot.
class FormText final : public FormObject
{
public:
    QString text() const;
    void setText(const QString &text);
    void bindText(FormExpr<QString> text);

    /// Type face (empty for the application's), size in points and weight (400 normal, 700 bold).
    void setFont(const QString &family, int pointSize, int weight = 400);
    void setUnderline(bool underline);
    /// The font as drawn now, with the evaluated weight.
    QFont font() const;

    int fontWeight() const;
    void setFontWeight(int weight);
    void bindFontWeight(FormExpr<int> weight);

    QColor textColor() const;
    void setTextColor(const QColor &color);
    void bindTextColor(FormExpr<QColor> color);

    /// The fill behind the text; an invalid colour (the default) leaves the text transparent.
    QColor backgroundColor() const;
    void setBackgroundColor(const QColor &color);
    void bindBackgroundColor(FormExpr<QColor> color);
    bool isTransparent() const { return !backgroundColor().isValid(); }

    /// Left and vertically centred unless set.
    Qt::Alignment alignment() const { return m_alignment; }
    void setAlignment(Qt::Alignment alignment);
    void setWordWrap(bool wrap);

protected:
    void paint(QPainter &painter) const override;

private:
    friend class DataForm;
    FormText(DataForm &form, const QString &name, const QRect &units, const QString &text);

    FormBindable<QString> m_text;
    FormFont m_font;
    FormBindable<int> m_weight{400};
    FormBindable<QColor> m_color{QColor(0, 0, 0)};
    FormBindable<QColor> m_background;
    Qt::Alignment m_alignment = Qt::AlignLeft | Qt::AlignVCenter;
    bool m_wordWrap = false;
};

/// \brief A picture from a file, drawn at its own size unless the object was given one.
///
/// A file that cannot be read leaves the picture empty: nothing is drawn, and with no size given the
/// object covers nothing.
class FormPicture final : public FormObject
{
public:
    QString fileName() const { return m_fileName; }
    /// Loads the picture; false when the file cannot be read.
    bool setFileName(const QString &fileName);
    bool isLoaded() const { return !m_pixmap.isNull(); }
    QPixmap pixmap() const { return m_pixmap; }

    QRect pixelRect() const override;

protected:
    void paint(QPainter &painter) const override;

private:
    friend class DataForm;
    FormPicture(DataForm &form, const QString &name, const QRect &units, const QString &fileName);

    QString m_fileName;
    QPixmap m_pixmap;
};

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

/// \brief A frame with a title in its top edge, drawn behind the fields it groups.
class FormGroupBox final : public FormObject
{
public:
    QString title() const { return m_title; }
    void setTitle(const QString &title);
    void setFont(const QString &family, int pointSize, int weight = 400);

    QColor textColor() const;
    void setTextColor(const QColor &color);
    void bindTextColor(FormExpr<QColor> color);
    QColor frameColor() const { return m_frameColor; }
    void setFrameColor(const QColor &color);

protected:
    void paint(QPainter &painter) const override;

private:
    friend class DataForm;
    FormGroupBox(DataForm &form, const QString &name, const QRect &units, const QString &title);

    QString m_title;
    FormFont m_font;
    int m_weight = 400;
    FormBindable<QColor> m_color{QColor(0, 0, 0)};
    QColor m_frameColor{160, 160, 160};
};

/// \brief A filled rectangle with rounded corners, the body of a drawn button.
class FormRoundRect final : public FormObject
{
public:
    QColor fillColor() const;
    void setFillColor(const QColor &color);
    void bindFillColor(FormExpr<QColor> color);
    /// Outline colour; invalid (the default) draws none.
    QColor borderColor() const { return m_border; }
    void setBorderColor(const QColor &color);
    /// Corner radius in pixels.
    int radius() const { return m_radius; }
    void setRadius(int pixels);

protected:
    void paint(QPainter &painter) const override;

private:
    friend class DataForm;
    FormRoundRect(DataForm &form, const QString &name, const QRect &units);

    FormBindable<QColor> m_fill{QColor(255, 255, 255)};
    QColor m_border;
    int m_radius = 4;
};

} // namespace garvina
