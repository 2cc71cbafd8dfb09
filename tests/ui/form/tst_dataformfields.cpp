#include "ui/form/dataform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {

const QColor White(255, 255, 255);
const QColor Greyed(235, 241, 247);

QRect units(int x, int y, int w, int h)
{
    return {formPixelsToUnitsX(x), formPixelsToUnitsY(y), formPixelsToUnitsX(w), formPixelsToUnitsY(h)};
}

/// Fields in the manner of the settings window, every one read-only while the column `lock` is "1".
struct FieldForm
{
    FieldForm()
    {
        form.addColumn(u"lock"_s, u"0"_s);
        form.addColumn(u"name"_s);
        form.setFormSize(units(0, 0, 420, 300).size());
        form.addGroupBox(u"gb_backup"_s, units(0, 0, 420, 300), u"备份设置"_s);
        form.sendToBack(u"gb_backup"_s);

        form.addLineEdit(u"backup_path"_s, units(10, 20, 200, 24));
        form.addPasswordEdit(u"password"_s, units(220, 20, 120, 24));
        form.addCheckBox(u"exit_pass"_s, units(10, 50, 200, 20), u"退出服务端时需密码确认"_s);
        form.addCheckBox(u"flag"_s, units(220, 50, 100, 20), u"flag"_s, u"Y"_s, u"N"_s);
        form.addRadioGroup(u"backup_type"_s, units(10, 80, 400, 50),
                           {{u"每天定时备份"_s, u"1"_s, units(10, 80, 150, 20)},
                            {u"每隔                  小时自动备份一次"_s, u"0"_s, units(10, 110, 300, 20)}});
        form.addRadioGroup(u"dbunload_day"_s, units(10, 140, 300, 20),
                           {{u"每月"_s, u"1"_s}, {u"每周"_s, u"2"_s}, {u"每天"_s, u"3"_s}});
        form.addTimeField(u"backup_time1"_s, units(10, 170, 80, 22));
        form.addIntegerField(u"backup_hour"_s, units(60, 108, 50, 22), 1, 24);

        const QStringList all{u"backup_path"_s, u"password"_s,     u"exit_pass"_s,    u"flag"_s,
                              u"backup_type"_s, u"dbunload_day"_s, u"backup_time1"_s, u"backup_hour"_s};
        for (const QString &column : all) {
            FormField *f = form.field(column);
            f->bindReadOnly([](const DataForm &d) { return d.getItem(u"lock"_s) == u"1"_s; });
            f->bindBackgroundColor(
                [](const DataForm &d) { return d.getItem(u"lock"_s) == u"1"_s ? Greyed : White; });
        }
    }

    template <typename T> T *editor(const QString &column) const
    {
        return qobject_cast<T *>(form.field(column)->widget());
    }

    DataForm form;
};

/// Types \a text key by key; unlike QTest::keyClicks it is not limited to ASCII.
void typeText(QWidget *w, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

bool showForm(DataForm &form)
{
    form.resize(form.formSize());
    form.move(30, 30);
    form.show();
    return QTest::qWaitForWindowExposed(&form);
}

} // namespace

class TestDataFormFields : public QObject
{
    Q_OBJECT

    enum class Action
    {
        Type,
        Click,
        ClickChoice,
        KeyUp,
        KeyDown,
        Space,
        SelectAllAndType
    };

    static void act(FieldForm &f, const QString &column, Action action, const QString &argument)
    {
        FormField *field = f.form.field(column);
        QWidget *w = field->widget();
        switch (action) {
        case Action::Type:
            typeText(w, argument);
            break;
        case Action::SelectAllAndType:
            QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
            typeText(w, argument);
            break;
        case Action::Click:
            // On the box itself: a button takes clicks on its box and label, not on the space beside.
            QTest::mouseClick(w, Qt::LeftButton, {}, {8, w->height() / 2});
            break;
        case Action::ClickChoice: {
            QAbstractButton *button = field->choiceButton(argument);
            QTest::mouseClick(button, Qt::LeftButton, {}, {8, button->height() / 2});
            break;
        }
        case Action::KeyUp:
            QTest::keyClick(w, Qt::Key_Up);
            break;
        case Action::KeyDown:
            QTest::keyClick(w, Qt::Key_Down);
            break;
        case Action::Space:
            QTest::keyClick(w, Qt::Key_Space);
            break;
        }
    }

private Q_SLOTS:
    void userEditsReachTheColumn_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("initial");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("edited");
        QTest::newRow("line edit") << u"backup_path"_s << u"/srv/"_s << Action::Type << u"备份"_s
                                   << u"/srv/备份"_s;
        QTest::newRow("password") << u"password"_s << QString() << Action::Type << u"s3"_s << u"s3"_s;
        QTest::newRow("check box on") << u"exit_pass"_s << u"0"_s << Action::Click << QString() << u"1"_s;
        QTest::newRow("check box off") << u"exit_pass"_s << u"1"_s << Action::Click << QString() << u"0"_s;
        QTest::newRow("check box by keyboard")
            << u"exit_pass"_s << u"0"_s << Action::Space << QString() << u"1"_s;
        QTest::newRow("own check values") << u"flag"_s << u"Y"_s << Action::Click << QString() << u"N"_s;
        QTest::newRow("radio button")
            << u"backup_type"_s << u"1"_s << Action::ClickChoice << u"0"_s << u"0"_s;
        QTest::newRow("radio side by side")
            << u"dbunload_day"_s << u"2"_s << Action::ClickChoice << u"3"_s << u"3"_s;
        QTest::newRow("time up") << u"backup_time1"_s << u"12:00:00"_s << Action::KeyUp << QString()
                                 << u"13:00:00"_s;
        QTest::newRow("time typed") << u"backup_time1"_s << u"12:00:00"_s << Action::SelectAllAndType
                                    << u"0930"_s << u"09:30:00"_s;
        QTest::newRow("integer up") << u"backup_hour"_s << u"5"_s << Action::KeyUp << QString() << u"6"_s;
        QTest::newRow("integer typed")
            << u"backup_hour"_s << u"5"_s << Action::SelectAllAndType << u"12"_s << u"12"_s;
        QTest::newRow("integer typed beyond spin range")
            << u"backup_hour"_s << u"5"_s << Action::SelectAllAndType << u"0"_s << u"0"_s;
        QTest::newRow("integer arrows stop at the top")
            << u"backup_hour"_s << u"24"_s << Action::KeyUp << QString() << u"24"_s;
        QTest::newRow("integer arrows stop at the bottom")
            << u"backup_hour"_s << u"1"_s << Action::KeyDown << QString() << u"1"_s;
        QTest::newRow("integer arrows come back into range")
            << u"backup_hour"_s << u"0"_s << Action::KeyUp << QString() << u"1"_s;
    }
    void userEditsReachTheColumn()
    {
        QFETCH(QString, column);
        QFETCH(QString, initial);
        QFETCH(Action, action);
        QFETCH(QString, argument);
        QFETCH(QString, edited);
        FieldForm f;
        QVERIFY(showForm(f.form));
        QVERIFY(f.form.setItem(column, initial));
        QCOMPARE(f.form.getItem(column), initial);
        QSignalSpy changed(&f.form, &DataForm::itemChanged);

        act(f, column, action, argument);
        QCOMPARE(f.form.getItem(column), edited);
        if (edited != initial) {
            QVERIFY(!changed.isEmpty());
            QCOMPARE(changed.constLast().constFirst().toString(), column);
        }
    }

    void readOnlyFieldsRefuseEdits_data() { userEditsReachTheColumn_data(); }
    void readOnlyFieldsRefuseEdits()
    {
        QFETCH(QString, column);
        QFETCH(QString, initial);
        QFETCH(Action, action);
        QFETCH(QString, argument);
        QFETCH(QString, edited);
        FieldForm f;
        QVERIFY(showForm(f.form));
        f.form.setItem(column, initial);
        f.form.setItem(u"lock"_s, u"1"_s);
        FormField *field = f.form.field(column);
        QVERIFY(field->isReadOnly());
        QCOMPARE(field->backgroundColor(), Greyed);

        act(f, column, action, argument);
        QCOMPARE(f.form.getItem(column), initial);

        // The same expression makes it editable again once the row says so.
        f.form.setItem(u"lock"_s, u"0"_s);
        QVERIFY(!field->isReadOnly());
        QCOMPARE(field->backgroundColor(), White);
        act(f, column, action, argument);
        QCOMPARE(f.form.getItem(column), edited);
    }

    void setItemUpdatesTheEditor()
    {
        FieldForm f;
        f.form.setItem(u"backup_path"_s, u"/home/店/织云阁软件备份/"_s);
        QCOMPARE(f.editor<QLineEdit>(u"backup_path"_s)->text(), u"/home/店/织云阁软件备份/"_s);

        f.form.setItem(u"password"_s, u"abc"_s);
        QCOMPARE(f.editor<QLineEdit>(u"password"_s)->text(), u"abc"_s);
        QCOMPARE(f.editor<QLineEdit>(u"password"_s)->displayText(), u"***"_s);

        auto *box = f.editor<QCheckBox>(u"exit_pass"_s);
        f.form.setItem(u"exit_pass"_s, u"1"_s);
        QVERIFY(box->isChecked());
        // Any value but the on value shows unticked, and stays in the row until the user ticks.
        f.form.setItem(u"exit_pass"_s, u"2"_s);
        QVERIFY(!box->isChecked());
        QCOMPARE(f.form.getItem(u"exit_pass"_s), u"2"_s);

        FormField *type = f.form.field(u"backup_type"_s);
        f.form.setItem(u"backup_type"_s, u"0"_s);
        QVERIFY(type->choiceButton(u"0"_s)->isChecked());
        f.form.setItem(u"backup_type"_s, u"1"_s);
        QVERIFY(type->choiceButton(u"1"_s)->isChecked());
        QVERIFY(!type->choiceButton(u"0"_s)->isChecked());
        f.form.setItem(u"backup_type"_s, u"9"_s);
        QVERIFY(!type->choiceButton(u"1"_s)->isChecked());
        QVERIFY(!type->choiceButton(u"0"_s)->isChecked());
        QVERIFY(!type->choiceButton(u"9"_s));

        f.form.setItem(u"backup_hour"_s, u"23"_s);
        QCOMPARE(f.editor<QSpinBox>(u"backup_hour"_s)->text(), u"23"_s);
    }

    void timeTyping_data()
    {
        // Steps: "@name" is a key or a click, anything else is typed key by key; from 12:00.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        const QString noon = u"12:00:00"_s;
        QTest::newRow("select all, four digits")
            << QStringList{u"@all"_s, u"0930"_s} << u"09:30:00"_s << u"09:30"_s;
        QTest::newRow("select all, with the colon")
            << QStringList{u"@all"_s, u"08:15"_s, u"@tab"_s} << u"08:15:00"_s << u"08:15"_s;
        QTest::newRow("select all, one-digit hour")
            << QStringList{u"@all"_s, u"9:30"_s, u"@tab"_s} << u"09:30:00"_s << u"09:30"_s;
        QTest::newRow("home, shift+end, with the colon")
            << QStringList{u"@home"_s, u"@shiftend"_s, u"08:15"_s, u"@tab"_s} << u"08:15:00"_s << u"08:15"_s;
        QTest::newRow("end, backspaces, four digits")
            << QStringList{u"@end"_s, u"@bs"_s, u"@bs"_s, u"@bs"_s, u"@bs"_s, u"@bs"_s, u"0930"_s, u"@tab"_s}
            << u"09:30:00"_s << u"09:30"_s;
        QTest::newRow("click on the hours, two digits")
            << QStringList{u"@clickhours"_s, u"09"_s, u"@tab"_s} << u"09:00:00"_s << u"09:00"_s;
        QTest::newRow("click one character in, four digits")
            << QStringList{u"@click1"_s, u"0930"_s, u"@tab"_s} << u"09:30:00"_s << u"09:30"_s;
        QTest::newRow("click on the minutes, two digits")
            << QStringList{u"@click4"_s, u"45"_s, u"@tab"_s} << u"12:45:00"_s << u"12:45"_s;
        QTest::newRow("click on the minutes, four digits")
            << QStringList{u"@click4"_s, u"1045"_s, u"@tab"_s} << u"10:45:00"_s << u"10:45"_s;
        QTest::newRow("click right of the text, four digits")
            << QStringList{u"@clickright"_s, u"1045"_s, u"@tab"_s} << u"10:45:00"_s << u"10:45"_s;
        QTest::newRow("arrow up") << QStringList{u"@up"_s} << u"13:00:00"_s << u"13:00"_s;
        QTest::newRow("arrow down") << QStringList{u"@down"_s} << u"11:00:00"_s << u"11:00"_s;
        QTest::newRow("arrow up on the minutes")
            << QStringList{u"@end"_s, u"@up"_s} << u"12:01:00"_s << u"12:01"_s;
        QTest::newRow("spin button up") << QStringList{u"@spinup"_s} << u"13:00:00"_s << u"13:00"_s;
        QTest::newRow("spin button down") << QStringList{u"@spindown"_s} << u"11:00:00"_s << u"11:00"_s;
        QTest::newRow("hour alone is refused")
            << QStringList{u"@all"_s, u"9"_s, u"@tab"_s} << noon << u"12:00"_s;
        QTest::newRow("unfinished, then a press on the form")
            << QStringList{u"@all"_s, u"08:1"_s, u"@pressform"_s} << noon << u"12:00"_s;
        QTest::newRow("one minute digit is refused")
            << QStringList{u"@all"_s, u"081"_s, u"@tab"_s} << noon << u"12:00"_s;
        QTest::newRow("hour beyond the day is refused")
            << QStringList{u"@all"_s, u"2599"_s, u"@tab"_s} << noon << u"12:00"_s;
    }
    void timeTyping()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        FieldForm f;
        QLineEdit *other = f.editor<QLineEdit>(u"backup_path"_s);
        QVERIFY(showForm(f.form));
        f.form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f.form));
        f.form.setItem(u"backup_time1"_s, u"12:00:00"_s);
        QWidget *w = f.form.field(u"backup_time1"_s)->widget();
        auto *line = w->findChild<QLineEdit *>();
        QVERIFY(line);
        w->setFocus(Qt::OtherFocusReason);
        QTRY_VERIFY(w->hasFocus());
        for (const QString &step : std::as_const(steps)) {
            if (step == u"@all"_s)
                QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
            else if (step == u"@home"_s)
                QTest::keyClick(w, Qt::Key_Home);
            else if (step == u"@end"_s)
                QTest::keyClick(w, Qt::Key_End);
            else if (step == u"@shiftend"_s)
                QTest::keyClick(w, Qt::Key_End, Qt::ShiftModifier);
            else if (step == u"@bs"_s)
                QTest::keyClick(w, Qt::Key_Backspace);
            else if (step == u"@up"_s)
                QTest::keyClick(w, Qt::Key_Up);
            else if (step == u"@down"_s)
                QTest::keyClick(w, Qt::Key_Down);
            else if (step == u"@clickhours"_s)
                QTest::mouseClick(line, Qt::LeftButton, {}, {3, line->height() / 2});
            else if (step == u"@clickright"_s)
                QTest::mouseClick(line, Qt::LeftButton, {}, {line->width() - 2, line->height() / 2});
            else if (step.startsWith(u"@click"_s)) { // at the gap before character N
                line->setCursorPosition(step.mid(6).toInt());
                QTest::mouseClick(line, Qt::LeftButton, {},
                                  line->inputMethodQuery(Qt::ImCursorRectangle).toRect().center());
            } else if (step == u"@spinup"_s)
                QTest::mouseClick(w, Qt::LeftButton, {}, {w->width() - 4, 4});
            else if (step == u"@spindown"_s)
                QTest::mouseClick(w, Qt::LeftButton, {}, {w->width() - 4, w->height() - 4});
            else if (step == u"@pressform"_s)
                QTest::mouseClick(&f.form, Qt::LeftButton, {}, {300, 250});
            else if (step == u"@tab"_s)
                other->setFocus(Qt::TabFocusReason);
            else
                QTest::keyClicks(w, step);
        }
        QCOMPARE(f.form.getItem(u"backup_time1"_s), stored);
        QCOMPARE(line->displayText(), shown);
    }

    void timeValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("stored spelling") << u"12:00:00"_s << u"12:00:00"_s << u"12:00"_s;
        QTest::newRow("hours and minutes") << u"9:30"_s << u"09:30:00"_s << u"09:30"_s;
        QTest::newRow("seconds are kept") << u"07:05:09"_s << u"07:05:09"_s << u"07:05"_s;
        QTest::newRow("blanks around") << u" 20:00:00 "_s << u"20:00:00"_s << u"20:00"_s;
        QTest::newRow("last minute") << u"23:59"_s << u"23:59:00"_s << u"23:59"_s;
        QTest::newRow("not a time") << u"25:00"_s << QString() << u"00:00"_s;
        QTest::newRow("words") << u"noon"_s << QString() << u"00:00"_s;
        QTest::newRow("empty") << QString() << QString() << u"00:00"_s;
    }
    void timeValues()
    {
        QFETCH(QString, value);
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        FieldForm f;
        f.form.setItem(u"backup_time1"_s, u"16:00:00"_s);
        f.form.setItem(u"backup_time1"_s, value);
        QCOMPARE(f.form.getItem(u"backup_time1"_s), stored);
        QCOMPARE(f.editor<QAbstractSpinBox>(u"backup_time1"_s)->text(), shown);
    }

    void integerValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("in range") << u"5"_s << u"5"_s << u"5"_s;
        QTest::newRow("blanks around") << u" 7 "_s << u"7"_s << u"7"_s;
        QTest::newRow("outside the spin range is kept") << u"0"_s << u"0"_s << u"0"_s;
        QTest::newRow("not a number") << u"x"_s << QString() << QString();
        QTest::newRow("empty") << QString() << QString() << QString();
    }
    void integerValues()
    {
        QFETCH(QString, value);
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        FieldForm f;
        f.form.setItem(u"backup_hour"_s, u"3"_s);
        f.form.setItem(u"backup_hour"_s, value);
        QCOMPARE(f.form.getItem(u"backup_hour"_s), stored);
        QCOMPARE(f.editor<QSpinBox>(u"backup_hour"_s)->text().trimmed(), shown);
    }

    void fieldOnExistingColumnShowsItsValue()
    {
        DataForm form;
        form.addColumn(u"backup_time2"_s, u"8:15"_s);
        form.addColumn(u"start"_s, u"1"_s);
        form.addTimeField(u"backup_time2"_s, units(0, 0, 80, 22));
        form.addCheckBox(u"start"_s, units(0, 30, 200, 20), u"开机时自动开启服务端"_s);
        QCOMPARE(form.getItem(u"backup_time2"_s), u"08:15:00"_s);
        QCOMPARE(qobject_cast<QAbstractSpinBox *>(form.field(u"backup_time2"_s)->widget())->text(),
                 u"08:15"_s);
        QVERIFY(qobject_cast<QCheckBox *>(form.field(u"start"_s)->widget())->isChecked());
    }

    void backgroundIsDrawn_data()
    {
        QTest::addColumn<QString>("column");
        QTest::newRow("line edit") << u"backup_path"_s;
        QTest::newRow("password edit") << u"password"_s;
        QTest::newRow("integer") << u"backup_hour"_s;
        QTest::newRow("time") << u"backup_time1"_s;
        QTest::newRow("radio button") << u"dbunload_day"_s;
    }
    void backgroundIsDrawn()
    {
        QFETCH(QString, column);
        FieldForm f;
        QVERIFY(showForm(f.form));
        QWidget *w = f.form.field(column)->widget();
        // Right of any text, inside the frame (spin boxes keep their arrows on the right); a radio
        // button's label starts at its left, its own background runs to its right end.
        const QPoint inside(qobject_cast<QAbstractButton *>(w) ? w->width() - 3 : w->width() / 2,
                            w->height() / 2);
        f.form.setItem(column, QString());
        QCOMPARE(w->grab().toImage().pixelColor(inside), White);
        f.form.setItem(u"lock"_s, u"1"_s);
        QCOMPARE(w->grab().toImage().pixelColor(inside), Greyed);
    }

    void fieldsArePlacedAndHidden()
    {
        FieldForm f;
        QVERIFY(showForm(f.form));
        FormField *path = f.form.field(u"backup_path"_s);
        QCOMPARE(path->widget()->geometry(), QRect(10, 20, 200, 24));
        QCOMPARE(f.form.objectRect(u"backup_path"_s), QRect(10, 20, 200, 24));
        // Radio buttons at their own places, or side by side in equal shares.
        FormField *type = f.form.field(u"backup_type"_s);
        QCOMPARE(type->choiceButton(u"1"_s)->geometry(), QRect(10, 80, 150, 20));
        QCOMPARE(type->choiceButton(u"0"_s)->geometry(), QRect(10, 110, 300, 20));
        FormField *day = f.form.field(u"dbunload_day"_s);
        QCOMPARE(day->choiceButton(u"1"_s)->geometry(), QRect(10, 140, 100, 20));
        QCOMPARE(day->choiceButton(u"3"_s)->geometry(), QRect(210, 140, 100, 20));

        // A field drawn in the gap of a radio button's text lies above it and takes the pointer.
        QCOMPARE(f.form.objectAt({70, 118}), u"backup_hour"_s);
        QCOMPARE(f.form.objectAt({30, 118}), u"backup_type"_s);
        QCOMPARE(f.form.objectAt({390, 280}), u"gb_backup"_s);

        path->bindVisible([](const DataForm &d) { return d.getItem(u"lock"_s) != u"1"_s; });
        QVERIFY(path->widget()->isVisible());
        f.form.setItem(u"lock"_s, u"1"_s);
        QVERIFY(!path->widget()->isVisible());
        QCOMPARE(f.form.objectAt({50, 30}), u"gb_backup"_s);

        path->bindY(
            [](const DataForm &d) { return formPixelsToUnitsY(d.getItem(u"lock"_s) == u"1"_s ? 20 : 200); });
        f.form.setItem(u"lock"_s, u"0"_s);
        QCOMPARE(path->widget()->geometry(), QRect(10, 200, 200, 24));
    }

    void hoverOverFieldsNamesTheColumn()
    {
        FieldForm f;
        f.form.setHoverColumn(u"name"_s);
        QVERIFY(showForm(f.form));
        QSignalSpy moved(&f.form, &DataForm::pointerMoved);
        QTest::mouseMove(&f.form, {100, 30});
        QTRY_COMPARE(f.form.getItem(u"name"_s), u"backup_path"_s);
        QCOMPARE(moved.count(), 1);
        QCOMPARE(moved.constFirst().constFirst().toString(), u"backup_path\t1"_s);
        QCOMPARE(f.form.getObjectAtPointer(), u"backup_path\t1"_s);

        QTest::mouseMove(&f.form, {80, 118}); // the spin box's inner editor
        QTRY_COMPARE(f.form.getItem(u"name"_s), u"backup_hour"_s);
        // A check box passes moves on to its parent as well; the form still reports each move once.
        moved.clear();
        QTest::mouseMove(&f.form, {240, 60});
        QTRY_COMPARE(f.form.getItem(u"name"_s), u"flag"_s);
        QTest::mouseMove(&f.form, {250, 61});
        QTRY_COMPARE(moved.count(), 2);
        QTest::qWait(50);
        QCOMPARE(moved.count(), 2);
        QTest::mouseMove(&f.form, {390, 280});
        QTRY_COMPARE(f.form.getItem(u"name"_s), u"gb_backup"_s);
    }

    void clicksOnFieldsAreTheirs()
    {
        FieldForm f;
        QVERIFY(showForm(f.form));
        QSignalSpy pressed(&f.form, &DataForm::pressed);
        QSignalSpy clicked(&f.form, &DataForm::clicked);
        QTest::mouseClick(f.form.field(u"backup_path"_s)->widget(), Qt::LeftButton);
        QTest::mouseClick(f.form.field(u"exit_pass"_s)->widget(), Qt::LeftButton);
        // A read-only check box swallows the click rather than passing it to the form.
        f.form.setItem(u"lock"_s, u"1"_s);
        QTest::mouseClick(f.form.field(u"exit_pass"_s)->widget(), Qt::LeftButton);
        QCOMPARE(pressed.count(), 0);
        QCOMPARE(clicked.count(), 0);
        QTest::mouseClick(&f.form, Qt::LeftButton, {}, {390, 280});
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(clicked.count(), 1);
    }

    void fieldsTakeFocusAndKeyboard()
    {
        FieldForm f;
        QVERIFY(showForm(f.form));
        f.form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f.form));
        QWidget *path = f.form.field(u"backup_path"_s)->widget();
        QTest::mouseClick(path, Qt::LeftButton);
        QTRY_COMPARE(QApplication::focusWidget(), path);
        QTest::keyClicks(QApplication::focusWidget(), u"/data/"_s);
        QCOMPARE(f.form.getItem(u"backup_path"_s), u"/data/"_s);

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.form.field(u"password"_s)->widget());
        QTest::keyClicks(QApplication::focusWidget(), u"pw"_s);
        QCOMPARE(f.form.getItem(u"password"_s), u"pw"_s);
    }

    void replacingAFieldRemovesItsEditor()
    {
        FieldForm f;
        QPointer<QWidget> old = f.form.field(u"backup_path"_s)->widget();
        f.form.setItem(u"backup_path"_s, u"/srv/"_s);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"replaced.*backup_path"_s));
        FormField &again = f.form.addLineEdit(u"backup_path"_s, units(10, 200, 100, 24));
        QVERIFY(old.isNull());
        QCOMPARE(f.form.field(u"backup_path"_s), &again);
        QCOMPARE(qobject_cast<QLineEdit *>(again.widget())->text(), u"/srv/"_s);
        QCOMPARE(f.form.objectNames().count(u"backup_path"_s), 1);
    }
};

QTEST_MAIN(TestDataFormFields)
#include "tst_dataformfields.moc"
