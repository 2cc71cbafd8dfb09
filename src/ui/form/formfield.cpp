#include "ui/form/formfield.h"

#include "ui/form/dataform.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRadioButton>
#include <QSpinBox>
#include <QTime>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// A spin box whose arrows stay within the spin range while typing may go beyond it: the window's
/// own check, not the editor, decides what an out-of-range number means. Its lowest value stands for
/// "no number" and shows blank.
class IntegerSpinBox final : public QSpinBox
{
public:
    static constexpr int NoNumber = std::numeric_limits<int>::min();

    explicit IntegerSpinBox(QWidget *parent) : QSpinBox(parent)
    {
        setRange(NoNumber, std::numeric_limits<int>::max());
        setSpecialValueText(u" "_s);
    }

    void setSpinRange(int minimum, int maximum)
    {
        m_spinMin = minimum;
        m_spinMax = std::max(minimum, maximum);
    }

    void stepBy(int steps) override
    {
        const qint64 from = value() == NoNumber ? m_spinMin : value();
        setValue(int(std::clamp<qint64>(from + steps, m_spinMin, m_spinMax)));
        selectAll();
    }

protected:
    StepEnabled stepEnabled() const override
    {
        if (isReadOnly())
            return StepNone;
        if (value() == NoNumber)
            return StepUpEnabled | StepDownEnabled;
        StepEnabled enabled = StepNone;
        if (value() < m_spinMax)
            enabled |= StepUpEnabled;
        if (value() > m_spinMin)
            enabled |= StepDownEnabled;
        return enabled;
    }

private:
    int m_spinMin = 0;
    int m_spinMax = 99;
};

const QString TimeColumnFormat = u"HH:mm:ss"_s;

/// \brief The time editor's line. A click that selects nothing selects the part it lands in, the
/// hours or the minutes, so that digits typed next fill that part from its start; a click right of
/// the text counts as one on the hours. A masked line would otherwise overtype from wherever the
/// click put the cursor, and four digits typed one character in would save another time.
class TimeLineEdit final : public QLineEdit
{
public:
    TimeLineEdit(QWidget *parent, std::function<void()> clicked)
        : QLineEdit(parent), m_clicked(std::move(clicked))
    {}

protected:
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        QLineEdit::mouseReleaseEvent(event);
        if (event->button() != Qt::LeftButton || hasSelectedText() || isReadOnly())
            return;
        const bool rightOfText =
            cursorPosition() >= displayText().size() && event->position().x() > cursorRect().right();
        if (cursorPosition() > 2 && !rightOfText)
            setSelection(3, 2);
        else
            setSelection(0, 2); // the cursor stays before the colon: the arrows step the hours
        m_clicked();
    }

private:
    std::function<void()> m_clicked;
};

/// \brief The time editor: "hh:mm" in a masked line that takes a time the way people type one.
///
/// Overtyping a selection, the four digits ("0930"), the colon ("08:15", "9:30"), typing after
/// Home/Shift+End or after clearing with Backspace all end in the time typed. After a click, digits
/// fill the part clicked on, and four digits in a row are the whole time, wherever the click landed.
/// While the entry is incomplete the time stays what it was, and leaving the field shows that time
/// again, so an unfinished entry is never read as some other time. The arrows and the spin buttons
/// step the hours, or the minutes when the cursor is behind the colon, within 00:00 to 23:59.
class TimeSpinBox final : public QAbstractSpinBox
{
public:
    TimeSpinBox(QWidget *parent, std::function<void(QTime)> edited)
        : QAbstractSpinBox(parent), m_edited(std::move(edited))
    {
        setLineEdit(new TimeLineEdit(this, [this] { m_digitsAfterClick = QString(); }));
        lineEdit()->setInputMask(u"99:99"_s);
        showTime();
        connect(lineEdit(), &QLineEdit::textEdited, this, [this] {
            QTime typed;
            if (readTime(lineEdit()->displayText(), &typed) == QValidator::Acceptable)
                take(typed);
        });
        connect(this, &QAbstractSpinBox::editingFinished, this, [this] {
            m_digitsAfterClick.reset();
            if (lineEdit()->displayText() != m_time.toString(u"HH:mm"_s))
                showTime();
        });
    }

    QTime time() const { return m_time; }
    /// Shows \a time without reporting it as an edit.
    void setTime(QTime time)
    {
        m_time = time;
        showTime();
    }

    QValidator::State validate(QString &input, int &) const override { return readTime(input, nullptr); }

    void stepBy(int steps) override
    {
        if (isReadOnly())
            return;
        const bool minutes = inMinutes();
        const int hour = std::clamp(m_time.hour() + (minutes ? 0 : steps), 0, 23);
        const int minute = std::clamp(m_time.minute() + (minutes ? steps : 0), 0, 59);
        take(QTime(hour, minute, m_time.second()));
        showTime();
        lineEdit()->setSelection(minutes ? 3 : 0, 2);
    }

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        const QString text = event->text();
        const bool digit = text.size() == 1 && text.at(0).isDigit() &&
                           !(event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier));
        if (!digit || isReadOnly())
            m_digitsAfterClick.reset();
        if (!m_digitsAfterClick) {
            QAbstractSpinBox::keyPressEvent(event);
            return;
        }
        *m_digitsAfterClick += text;
        const QTime whole = QTime::fromString(*m_digitsAfterClick, u"HHmm"_s);
        if (m_digitsAfterClick->size() < 4 || !whole.isValid()) {
            if (m_digitsAfterClick->size() >= 4)
                m_digitsAfterClick.reset();
            QAbstractSpinBox::keyPressEvent(event);
            return;
        }
        // Four digits after a click on the minutes: the mask put the first two there and dropped
        // the rest, while the person typed a whole time.
        m_digitsAfterClick.reset();
        take(whole);
        lineEdit()->setText(whole.toString(u"HH:mm"_s));
        lineEdit()->setCursorPosition(5);
        event->accept();
    }

    StepEnabled stepEnabled() const override
    {
        if (isReadOnly())
            return StepNone;
        const bool minutes = inMinutes();
        const int value = minutes ? m_time.minute() : m_time.hour();
        StepEnabled enabled = StepNone;
        if (value < (minutes ? 59 : 23))
            enabled |= StepUpEnabled;
        if (value > 0)
            enabled |= StepDownEnabled;
        return enabled;
    }

private:
    /// Reads "hh:mm" as the mask shows it (blanks for what is not typed yet), or as QLineEdit::text()
    /// gives it (the blanks left out). One digit of hours is an hour; the minutes need both digits.
    static QValidator::State readTime(const QString &text, QTime *time)
    {
        const qsizetype colon = text.indexOf(u':');
        if (colon < 0)
            return QValidator::Invalid;
        const QString hours = text.left(colon).trimmed();
        QString minutes = text.mid(colon + 1);
        minutes.remove(u' ');
        bool hoursOk = false;
        bool minutesOk = false;
        const int hour = hours.toInt(&hoursOk);
        const int minute = minutes.toInt(&minutesOk);
        if ((!hours.isEmpty() && (!hoursOk || hour > 23)) || (!minutes.isEmpty() && !minutesOk))
            return QValidator::Invalid;
        if (!minutes.isEmpty() && minutes.at(0) > u'5')
            return QValidator::Invalid;
        if (hours.isEmpty() || minutes.size() != 2)
            return QValidator::Intermediate;
        if (time)
            *time = QTime(hour, minute);
        return QValidator::Acceptable;
    }

    bool inMinutes() const { return lineEdit()->cursorPosition() > 2; }

    void take(QTime time)
    {
        if (time == m_time)
            return;
        m_time = time;
        m_edited(time);
    }

    void showTime()
    {
        lineEdit()->setText(m_time.toString(u"HH:mm"_s));
        // The arrows step the hours until the user puts the cursor among the minutes.
        lineEdit()->setCursorPosition(0);
    }

    std::function<void(QTime)> m_edited;
    QTime m_time{0, 0};
    /// The digits typed since the last click on the line; none once anything else was typed.
    std::optional<QString> m_digitsAfterClick;
};

QTime parseTime(const QString &text)
{
    for (const QString &format : {u"H:mm:ss"_s, u"H:mm"_s, u"H:m:s"_s, u"H:m"_s}) {
        const QTime t = QTime::fromString(text, format);
        if (t.isValid())
            return t;
    }
    return {};
}

} // namespace

FormField::FormField(DataForm &form, const QString &column, Editor editor, const QRect &units)
    : FormObject(form, column, Kind::Field, units), m_editor(editor)
{
    switch (editor) {
    case Editor::LineEdit:
    case Editor::Password: {
        auto *edit = new QLineEdit(&form);
        if (editor == Editor::Password) {
            edit->setEchoMode(QLineEdit::Password);
            // The asterisk the shop's users know from the Windows edition, not the style's dot.
            edit->setStyleSheet(u"QLineEdit { lineedit-password-character: 42; }"_s);
        }
        m_connections.append(QObject::connect(edit, &QLineEdit::textEdited, edit,
                                              [this](const QString &text) { edited(text); }));
        m_widget = edit;
        break;
    }
    case Editor::CheckBox: {
        auto *box = new QCheckBox(&form);
        m_connections.append(QObject::connect(box, &QCheckBox::toggled, box,
                                              [this](bool on) { edited(on ? m_onValue : m_offValue); }));
        m_widget = box;
        break;
    }
    case Editor::RadioGroup:
        m_group = new QButtonGroup(&form);
        m_group->setExclusive(true);
        m_connections.append(
            QObject::connect(m_group, &QButtonGroup::idToggled, m_group, [this](int id, bool on) {
                if (on && id >= 0 && id < m_choices.size())
                    edited(m_choices.at(id).code);
            }));
        break;
    case Editor::Time: {
        m_widget = new TimeSpinBox(&form, [this](QTime t) { edited(t.toString(TimeColumnFormat)); });
        break;
    }
    case Editor::Integer: {
        auto *spin = new IntegerSpinBox(&form);
        spin->setValue(IntegerSpinBox::NoNumber);
        m_connections.append(QObject::connect(spin, &QSpinBox::valueChanged, spin, [this](int v) {
            edited(v == IntegerSpinBox::NoNumber ? QString() : QString::number(v));
        }));
        m_widget = spin;
        break;
    }
    }
}

FormField::~FormField()
{
    // Deleting a focused editor can make it report a last change; the form is past caring by now.
    for (const QMetaObject::Connection &c : std::as_const(m_connections))
        QObject::disconnect(c);
    const QList<QWidget *> all = widgets();
    for (QWidget *w : all)
        delete w;
    delete m_group;
}

void FormField::setCheckValues(const QString &label, const QString &onValue, const QString &offValue)
{
    static_cast<QCheckBox *>(m_widget)->setText(label);
    m_onValue = onValue;
    m_offValue = offValue;
}

void FormField::setChoices(const QList<FormChoice> &choices)
{
    m_choices = choices;
    auto *parent = static_cast<QWidget *>(&form());
    for (int i = 0; i < choices.size(); ++i) {
        auto *button = new QRadioButton(choices.at(i).label, parent);
        m_group->addButton(button, i);
    }
}

void FormField::setSpinRange(int minimum, int maximum)
{
    static_cast<IntegerSpinBox *>(m_widget)->setSpinRange(minimum, maximum);
}

QList<QWidget *> FormField::widgets() const
{
    QList<QWidget *> out;
    if (m_group) {
        const QList<QAbstractButton *> buttons = m_group->buttons();
        for (QAbstractButton *b : buttons)
            out.append(b);
    } else if (m_widget) {
        out.append(m_widget);
    }
    return out;
}

QWidget *FormField::widget() const
{
    if (m_group)
        return m_group->button(0);
    return m_widget;
}

QAbstractButton *FormField::choiceButton(const QString &code) const
{
    if (!m_group)
        return nullptr;
    for (int i = 0; i < m_choices.size(); ++i) {
        if (m_choices.at(i).code == code)
            return m_group->button(i);
    }
    return nullptr;
}

bool FormField::isReadOnly() const
{
    return m_readOnly.value(form());
}

void FormField::setReadOnly(bool readOnly)
{
    m_readOnly.set(readOnly);
    changed();
}

void FormField::bindReadOnly(FormExpr<bool> readOnly)
{
    m_readOnly.bind(std::move(readOnly));
    changed();
}

QColor FormField::backgroundColor() const
{
    return m_background.value(form());
}

void FormField::setBackgroundColor(const QColor &color)
{
    m_background.set(color);
    changed();
}

void FormField::bindBackgroundColor(FormExpr<QColor> color)
{
    m_background.bind(std::move(color));
    changed();
}

void FormField::setFont(const QString &family, int pointSize, int weight)
{
    FormFont wanted;
    wanted.family = family;
    wanted.pointSize = pointSize;
    const QFont font = wanted.toFont(weight);
    const QList<QWidget *> all = widgets();
    for (QWidget *w : all)
        w->setFont(font);
}

QRect FormField::pixelRect() const
{
    return FormObject::pixelRect();
}

bool FormField::hitTest(const QPoint &pixel) const
{
    const QList<QWidget *> all = widgets();
    return std::any_of(all.begin(), all.end(), [&](QWidget *w) { return w->geometry().contains(pixel); });
}

bool FormField::blocksInput() const
{
    return (m_editor == Editor::CheckBox || m_editor == Editor::RadioGroup) && isReadOnly();
}

QString FormField::normalize(const QString &value) const
{
    switch (m_editor) {
    case Editor::Time: {
        const QTime t = parseTime(value.trimmed());
        return t.isValid() ? t.toString(TimeColumnFormat) : QString();
    }
    case Editor::Integer: {
        bool ok = false;
        const int v = value.trimmed().toInt(&ok);
        return ok && v != IntegerSpinBox::NoNumber ? QString::number(v) : QString();
    }
    default:
        return value;
    }
}

void FormField::showValue(const QString &value)
{
    const QSignalBlocker blockWidget(m_widget);
    const QSignalBlocker blockGroup(m_group);
    switch (m_editor) {
    case Editor::LineEdit:
    case Editor::Password: {
        auto *edit = static_cast<QLineEdit *>(m_widget);
        if (edit->text() != value)
            edit->setText(value);
        break;
    }
    case Editor::CheckBox:
        static_cast<QCheckBox *>(m_widget)->setChecked(value == m_onValue);
        break;
    case Editor::RadioGroup: {
        QAbstractButton *chosen = choiceButton(value);
        if (chosen) {
            chosen->setChecked(true);
        } else if (QAbstractButton *checked = m_group->checkedButton()) {
            // An exclusive group will not let its last checked button go.
            m_group->setExclusive(false);
            checked->setChecked(false);
            m_group->setExclusive(true);
        }
        break;
    }
    case Editor::Time: {
        const QTime t = parseTime(value);
        auto *edit = static_cast<TimeSpinBox *>(m_widget);
        if (edit->time() != t || !t.isValid())
            edit->setTime(t.isValid() ? t : QTime(0, 0));
        break;
    }
    case Editor::Integer: {
        bool ok = false;
        const int v = value.toInt(&ok);
        static_cast<QSpinBox *>(m_widget)->setValue(ok ? v : IntegerSpinBox::NoNumber);
        break;
    }
    }
}

void FormField::edited(const QString &value)
{
    form().fieldEdited(this, value);
}

void FormField::sync()
{
    const bool visible = isVisible();
    const bool readOnly = isReadOnly();
    const QColor background = backgroundColor();
    const QRect area = pixelRect();

    // Spin boxes repaint on every setReadOnly(), and this runs on every keystroke in any field.
    if (auto *edit = qobject_cast<QLineEdit *>(m_widget); edit && edit->isReadOnly() != readOnly)
        edit->setReadOnly(readOnly);
    else if (auto *spin = qobject_cast<QAbstractSpinBox *>(m_widget); spin && spin->isReadOnly() != readOnly)
        spin->setReadOnly(readOnly);
    // Check boxes and radio buttons have no read-only mode; the form swallows their input instead.

    const QList<QWidget *> all = widgets();
    for (int i = 0; i < all.size(); ++i) {
        QWidget *w = all.at(i);
        if (m_group) {
            const QRect own = m_choices.at(i).units;
            if (own.isEmpty()) {
                // Side by side in equal shares of the field's area.
                const int n = int(all.size());
                const int left = area.left() + area.width() * i / n;
                const int right = area.left() + area.width() * (i + 1) / n;
                w->setGeometry(left, area.top(), right - left, area.height());
            } else {
                const QPoint shift = geometry().topLeft() - baseGeometry().topLeft();
                w->setGeometry(formUnitsToPixels(own.translated(shift)));
            }
        } else {
            w->setGeometry(area);
        }

        if (!m_backgroundShown || background != m_shownBackground) {
            if (background.isValid()) {
                QPalette palette = w->palette();
                palette.setColor(QPalette::Base, background);
                palette.setColor(QPalette::Window, background);
                // Buttons fill their background from the Button role.
                palette.setColor(QPalette::Button, background);
                w->setPalette(palette);
                w->setAutoFillBackground(m_editor == Editor::CheckBox || m_editor == Editor::RadioGroup);
            } else {
                w->setPalette(QPalette());
                w->setAutoFillBackground(false);
            }
        }
        if (w->isHidden() == visible)
            w->setVisible(visible);
    }
    m_shownBackground = background;
    m_backgroundShown = true;
}

} // namespace garvina
