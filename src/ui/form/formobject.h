#pragma once

#include "ui/form/dataformunits.h"
#include "ui/form/formbindable.h"

#include <QRect>
#include <QString>

class QPainter;

namespace garvina {

class DataForm;

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

} // namespace garvina
