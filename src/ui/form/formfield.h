#pragma once

#include "ui/form/formfont.h"
#include "ui/form/formobject.h"

#include <QColor>
#include <QList>
#include <QMetaObject>

class QAbstractButton;
class QButtonGroup;
class QWidget;

namespace garvina {

/// One button of a radio group: its label, the code it writes into the column, and optionally its
/// own place in form units (by default the buttons share the field's area side by side).
struct FormChoice
{
    QString label;
    QString code;
    QRect units = {};
};

/// \brief An editable field of a DataForm: a real child widget that edits the column of its own name.
///
/// The row always holds what the editor shows: every keystroke or click is written into the column at
/// once (there is no pending edit to accept), and DataForm::setItem() updates the editor. The editors:
///
/// - line edit and password edit (shown as asterisks): the column is the text;
/// - check box: the column is the on value ("1") when ticked and the off value ("0") when not; any
///   other value shows unticked and is kept until the user ticks the box;
/// - radio group: the column is the code of the chosen button; an unknown code checks none;
/// - time: shown and edited as "hh:mm"; the column holds "hh:mm:ss", and a value that is not a time
///   (or empty) is kept as the empty text and shows 00:00;
/// - integer: the column holds the number as decimal text, or the empty text (shown blank) when it is
///   not a number. The spin range bounds the arrows only, so a number typed outside it is kept, for
///   the window's own check to refuse with its message.
///
/// Fields are always drawn above the painted objects (they are widgets); among themselves they keep
/// the form's z-order.
class FormField final : public FormObject
{
public:
    enum class Editor
    {
        LineEdit,
        Password,
        CheckBox,
        RadioGroup,
        Time,
        Integer
    };

    Editor editor() const { return m_editor; }
    QString column() const { return name(); }

    /// Read-only fields show their value but take no edits from the user.
    bool isReadOnly() const;
    void setReadOnly(bool readOnly);
    void bindReadOnly(FormExpr<bool> readOnly);

    /// The editor's background; an invalid colour (the default) keeps the style's own.
    QColor backgroundColor() const;
    void setBackgroundColor(const QColor &color);
    void bindBackgroundColor(FormExpr<QColor> color);

    void setFont(const QString &family, int pointSize, int weight = 400);

    /// The editor widget; for a radio group its first button.
    QWidget *widget() const;
    /// The button of a radio group that writes \a code; nullptr when there is none.
    QAbstractButton *choiceButton(const QString &code) const;

    QRect pixelRect() const override;

    ~FormField() override;

protected:
    bool hitTest(const QPoint &pixel) const override;
    void sync() override;

private:
    friend class DataForm;
    FormField(DataForm &form, const QString &column, Editor editor, const QRect &units);

    void setCheckValues(const QString &label, const QString &onValue, const QString &offValue);
    void setChoices(const QList<FormChoice> &choices);
    void setSpinRange(int minimum, int maximum);

    /// The value as the column keeps it (times and numbers in their one spelling).
    QString normalize(const QString &value) const;
    /// Shows \a value in the editor without reporting it as an edit.
    void showValue(const QString &value);
    /// True when user input to \a widget must be swallowed (read-only buttons have no read-only mode).
    bool blocksInput() const;
    QList<QWidget *> widgets() const;
    void edited(const QString &value);

    Editor m_editor;
    QWidget *m_widget = nullptr;
    QButtonGroup *m_group = nullptr;
    QList<FormChoice> m_choices;
    QString m_onValue;
    QString m_offValue;
    FormBindable<bool> m_readOnly{false};
    FormBindable<QColor> m_background;
    QColor m_shownBackground;
    bool m_backgroundShown = false;
    QList<QMetaObject::Connection> m_connections;
};

} // namespace garvina
