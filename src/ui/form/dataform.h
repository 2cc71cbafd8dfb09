#pragma once

#include "ui/form/formfield.h"
#include "ui/form/formgroupbox.h"
#include "ui/form/formline.h"
#include "ui/form/formobject.h"
#include "ui/form/formpicture.h"
#include "ui/form/formroundrect.h"
#include "ui/form/formtext.h"

#include <QHash>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <vector>

namespace garvina {

/// \brief A form: one row of named text columns drawn together with named objects.
///
/// The main, settings and restore windows each show one. A window builds its form in code: it declares
/// the columns, adds texts, pictures, lines, group boxes, rounded rectangles and column fields at
/// positions in form units, and binds display properties (visibility, colours, font weight, position,
/// read-only, text) to expressions over the row. Whenever a column changes the form re-evaluates them
/// and redraws.
///
/// \code
/// auto *form = new DataForm(this);
/// form->addColumn(u"name"_s);
/// form->addPicture(u"p_1"_s, {0, 0, 2761, 1664}, gs_path + u"skin/bg.jpg"_s);
/// FormText &server = form->addText(u"t_server"_s, {192, 1044, 768, 88}, u"开启服务"_s);
/// server.setCursorShape(Qt::PointingHandCursor);
/// server.bindY([](const DataForm &f) { return f.itemIn(u"name"_s, {u"t_13"_s, u"t_server"_s}) ? 1040 : 1044;
/// }); form->setHoverColumn(u"name"_s); connect(form, &DataForm::clicked, this, &w_main::onFormClicked);
/// \endcode
///
/// Pointer answers follow the form designer's convention: "object name, a tab, the row number" for
/// the topmost visible object under the pointer (the row is always 1), or the empty text over empty
/// space. Column fields answer with their column name.
class DataForm : public QWidget
{
    Q_OBJECT

public:
    /// How setHoverColumn() treats the empty answer (the pointer over no object).
    enum class HoverRule
    {
        SkipEmpty,   ///< keep the last object name (settings and restore windows)
        IncludeEmpty ///< write the empty text (main window)
    };

    explicit DataForm(QWidget *parent = nullptr);
    ~DataForm() override;

    // The row ---------------------------------------------------------------------------------------

    /// Declares a column; declaring one that exists keeps its value.
    void addColumn(const QString &column, const QString &initialValue = {});
    bool hasColumn(const QString &column) const { return m_row.contains(column); }
    /// Writes a column, updates its field and redraws; false (and nothing changes) for an unknown
    /// column. itemChanged() is emitted when the stored value changed.
    bool setItem(const QString &column, const QString &value);
    /// The column's value; the null text for an unknown column.
    QString getItem(const QString &column) const;
    /// True when the column holds one of \a values: the usual test of a hover expression.
    bool itemIn(const QString &column, const QStringList &values) const;

    // Objects (names are unique across all kinds; adding a name again replaces the old object) -----

    FormText &addText(const QString &name, const QRect &units, const QString &text = {});
    /// A size of 0 x 0 in \a units draws the picture at its own size.
    FormPicture &addPicture(const QString &name, const QRect &units, const QString &fileName);
    FormLine &addLine(const QString &name, const QPoint &fromUnits, const QPoint &toUnits);
    FormGroupBox &addGroupBox(const QString &name, const QRect &units, const QString &title);
    FormRoundRect &addRoundRect(const QString &name, const QRect &units);

    /// Column fields; each declares its column when it does not exist yet.
    FormField &addLineEdit(const QString &column, const QRect &units);
    FormField &addPasswordEdit(const QString &column, const QRect &units);
    FormField &addCheckBox(const QString &column, const QRect &units, const QString &label,
                           const QString &onValue = QStringLiteral("1"),
                           const QString &offValue = QStringLiteral("0"));
    FormField &addRadioGroup(const QString &column, const QRect &units, const QList<FormChoice> &choices);
    FormField &addTimeField(const QString &column, const QRect &units);
    /// \a spinMinimum and \a spinMaximum bound the spin arrows (see FormField).
    FormField &addIntegerField(const QString &column, const QRect &units, int spinMinimum, int spinMaximum);

    /// Look-ups by name; nullptr when there is no such object or it is of another kind.
    FormObject *object(const QString &name) const;
    FormText *text(const QString &name) const;
    FormPicture *picture(const QString &name) const;
    FormLine *line(const QString &name) const;
    FormGroupBox *groupBox(const QString &name) const;
    FormRoundRect *roundRect(const QString &name) const;
    FormField *field(const QString &column) const;

    /// Object names from back to front.
    QStringList objectNames() const;
    /// Z-order; false for an unknown name.
    bool sendToBack(const QString &name);
    bool bringToFront(const QString &name);

    // Size -----------------------------------------------------------------------------------------

    /// The form's area in form units; without one, the area reaches to the furthest object.
    void setFormSize(const QSize &units);
    /// The form's area in pixels: the size its window takes.
    QSize formSize() const;
    QSize sizeHint() const override;

    // Pointer --------------------------------------------------------------------------------------

    /// Name of the topmost visible object at \a pixel (form coordinates), or the empty text.
    QString objectAt(const QPoint &pixel) const;
    /// "name\t1" for the topmost visible object under the mouse pointer, or the empty text.
    QString getObjectAtPointer() const;
    /// Where an object is drawn now, in pixels relative to the form; empty for an unknown name.
    QRect objectRect(const QString &name) const;

    /// Keeps \a column up to date with the object under the pointer: on each mouse move whose answer
    /// differs from the previous one (and, under SkipEmpty, is not empty) the name part of the answer
    /// is written into the column, which redraws the hover highlights. An empty \a column turns it off.
    void setHoverColumn(const QString &column, HoverRule rule = HoverRule::SkipEmpty);
    /// Empties the hover column and forgets the previous answer, so that the highlight comes back as
    /// soon as the pointer moves over an object again (for windows that hide and show).
    void clearHover();

Q_SIGNALS:
    /// A column's value changed, by setItem() or by the user in a field.
    void itemChanged(const QString &column);
    /// The pointer moved over the form (or one of its fields); \a objectAtPointer as getObjectAtPointer().
    void pointerMoved(const QString &objectAtPointer);
    /// A mouse button went down on the form's painted area (not on a field).
    void pressed();
    /// The left button was pressed on the painted area and the pointer then moved by the drag distance:
    /// the moment for a borderless window to call QWindow::startSystemMove(). Starting the move here
    /// rather than on pressed() lets a plain click reach clicked(), since a system move takes over the
    /// pointer and its release.
    void dragRequested();
    /// The left button was pressed on the painted area and released over the object \a objectName
    /// without a drag in between.
    void clicked(const QString &objectName);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    friend class FormObject;
    friend class FormField;

    template <typename T> T &adopt(T *object);
    template <typename T> T *objectOfKind(const QString &name, FormObject::Kind kind) const;
    FormField &adoptField(FormField *field);
    std::vector<std::unique_ptr<FormObject>>::iterator find(const QString &name);
    std::vector<std::unique_ptr<FormObject>>::const_iterator find(const QString &name) const;
    FormObject *topmostAt(const QPoint &pixel) const;

    void objectChanged(FormObject *object);
    void fieldEdited(FormField *field, const QString &value);
    void storeItem(const QString &column, const QString &value);
    void refresh();
    void restackFields();
    void watchFieldWidgets(FormField *field);
    void pointerAt(const QMouseEvent *event, const QPoint &pixel);

    QHash<QString, QString> m_row;
    std::vector<std::unique_ptr<FormObject>> m_objects; // back to front
    QHash<QObject *, FormField *> m_fieldWidgets;
    QSize m_formSizeUnits;

    QString m_hoverColumn;
    HoverRule m_hoverRule = HoverRule::SkipEmpty;
    QString m_lastHoverAnswer;
    const FormObject *m_cursorObject = nullptr;

    bool m_pressedOnForm = false;
    bool m_dragRequested = false;
    QPoint m_pressPos;
    quint64 m_lastMoveTimestamp = 0;
    QPointF m_lastMoveGlobal;
    bool m_destroying = false;
};

} // namespace garvina
