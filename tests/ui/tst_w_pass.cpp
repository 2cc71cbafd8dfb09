#include "core/appcontext.h"
#include "support/configfolder.h"
#include "support/promptwatcher.h"
#include "support/recordingmessageboxes.h"
#include "ui/w_pass.h"

#include <QFile>
#include <QLabel>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using garvina::test::PromptWatcher;

enum class OkBy
{
    Return,
    KeypadEnter,
    Button
};
Q_DECLARE_METATYPE(OkBy)

enum class CancelBy
{
    Button,
    Escape,
    CloseBox
};
Q_DECLARE_METATYPE(CancelBy)

class TestWPass : public QObject
{
    Q_OBJECT

    test::ConfigFolder m_folder;
    test::RecordingMessageBoxes &m_boxes = m_folder.boxes;
    AppContext &m_ctx = m_folder.ctx;

    void writeConfig(const QString &content) { QVERIFY(m_folder.writeConfig(content)); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_folder.dir.isValid()); }
    void init() { m_folder.reset(); }

    // %1 is the password, %2 the same in upper case.
    void answer_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<OkBy>("okBy");
        QTest::addColumn<bool>("granted");

        QTest::newRow("right, Enter") << u"%1"_s << u"%1"_s << OkBy::Return << true;
        QTest::newRow("right, keypad Enter") << u"%1"_s << u"%1"_s << OkBy::KeypadEnter << true;
        QTest::newRow("right, OK button") << u"%1"_s << u"%1"_s << OkBy::Button << true;
        QTest::newRow("typed with blanks around") << u"%1"_s << u"  %1 "_s << OkBy::Return << true;
        QTest::newRow("stored with a leading blank") << u"\" %1\""_s << u" %1"_s << OkBy::Return << false;
        QTest::newRow("stored with a trailing blank") << u"\"%1 \""_s << u"%1 "_s << OkBy::Return << false;
        QTest::newRow("other letter case") << u"%1"_s << u"%2"_s << OkBy::Return << false;
        QTest::newRow("one character more") << u"%1"_s << u"%1x"_s << OkBy::Button << false;
        QTest::newRow("nothing typed") << u"%1"_s << QString() << OkBy::Return << false;
        QTest::newRow("blank inside is kept") << u"%1"_s << u"%1 x"_s << OkBy::Return << false;
    }
    void answer()
    {
        QFETCH(QString, stored);
        QFETCH(QString, typed);
        QFETCH(OkBy, okBy);
        QFETCH(bool, granted);

        const QString pw = test::madeUpPassword();
        writeConfig(u"[system]\npassword="_s + stored.arg(pw) + u"\nsettingpass=1\n"_s);

        bool openAfterOk = false;
        PromptWatcher watcher([&](w_pass &d) {
            QTest::keyClicks(d.sle_1, QString(typed).replace(u"%2"_s, pw.toUpper()).replace(u"%1"_s, pw));
            switch (okBy) {
            case OkBy::Return:
                QTest::keyClick(d.sle_1, Qt::Key_Return);
                break;
            case OkBy::KeypadEnter:
                QTest::keyClick(d.sle_1, Qt::Key_Enter, Qt::KeypadModifier);
                break;
            case OkBy::Button:
                QTest::mouseClick(d.cb_1, Qt::LeftButton);
                break;
            }
            openAfterOk = d.isVisible();
        });
        const QString answer = w_pass::prompt(m_ctx);

        QCOMPARE(watcher.shown, 1);
        QCOMPARE(answer == u"true"_s, granted);
        // Anything but access is no answer at all.
        QCOMPARE(answer.isEmpty(), !granted);
        QCOMPARE(openAfterOk, !granted);
        QCOMPARE(m_boxes.shown.size(), granted ? 0 : 1);
    }

    void noStoredPasswordNeverShows_data()
    {
        QTest::addColumn<QString>("config");
        QTest::newRow("no configuration file") << QString();
        QTest::newRow("no system section") << u"[server]\npassword=x\n"_s;
        QTest::newRow("no password key") << u"[system]\nsettingpass=1\n"_s;
        QTest::newRow("empty password") << u"[system]\npassword=\n"_s;
        QTest::newRow("blanks only") << u"[system]\npassword=\"    \"\n"_s;
    }
    void noStoredPasswordNeverShows()
    {
        QFETCH(QString, config);
        if (!config.isNull())
            writeConfig(config);
        PromptWatcher watcher([](w_pass &d) { QTest::keyClick(d.sle_1, Qt::Key_Escape); });
        QVERIFY(w_pass::ask(m_ctx));
        QCOMPARE(watcher.shown, 0);
        QVERIFY(m_boxes.shown.isEmpty());
    }

    void wrongPasswordThenRetry()
    {
        const QString pw = test::madeUpPassword();
        writeConfig(u"[system]\npassword="_s + pw + u"\n"_s);

        bool openAfterWrong = false;
        bool focusInField = false;
        bool wholeTextSelected = false;
        qsizetype boxesAfterWrong = -1;
        PromptWatcher watcher([&](w_pass &d) {
            QTest::keyClicks(d.sle_1, pw.left(3) + u"wrong"_s);
            QTest::keyClick(d.sle_1, Qt::Key_Return);
            openAfterWrong = d.isVisible();
            boxesAfterWrong = m_boxes.shown.size();
            focusInField = d.focusWidget() == d.sle_1;
            wholeTextSelected = d.sle_1->hasSelectedText() && d.sle_1->selectionStart() == 0 &&
                                d.sle_1->selectedText() == d.sle_1->text();
            // Typing replaces the selected wrong text.
            QTest::keyClicks(d.sle_1, pw);
            QTest::keyClick(d.sle_1, Qt::Key_Return);
        });

        QCOMPARE(w_pass::prompt(m_ctx), u"true"_s);
        QCOMPARE(watcher.shown, 1);
        QVERIFY(openAfterWrong);
        QCOMPARE(boxesAfterWrong, 1);
        QVERIFY(focusInField);
        QVERIFY(wholeTextSelected);

        QCOMPARE(m_boxes.shown.size(), 1);
        const MessageRequest &box = m_boxes.last();
        QCOMPARE(box.title, u"提示"_s);
        QCOMPARE(box.text, u"输入密码错误,请重输!"_s);
        QCOMPARE(box.icon, MsgIcon::StopSign);
        QCOMPARE(box.buttons, MsgButtons::Ok);
    }

    void cancelGivesNoAnswer_data()
    {
        QTest::addColumn<CancelBy>("cancelBy");
        QTest::addColumn<bool>("typeRightFirst");
        QTest::newRow("cancel button") << CancelBy::Button << false;
        QTest::newRow("cancel button with the right password typed") << CancelBy::Button << true;
        QTest::newRow("Escape") << CancelBy::Escape << true;
        QTest::newRow("close box") << CancelBy::CloseBox << true;
    }
    void cancelGivesNoAnswer()
    {
        QFETCH(CancelBy, cancelBy);
        QFETCH(bool, typeRightFirst);
        const QString pw = test::madeUpPassword();
        writeConfig(u"[system]\npassword="_s + pw + u"\n"_s);

        bool closed = false;
        PromptWatcher watcher([&](w_pass &d) {
            if (typeRightFirst)
                QTest::keyClicks(d.sle_1, pw);
            switch (cancelBy) {
            case CancelBy::Button:
                QTest::mouseClick(d.cb_2, Qt::LeftButton);
                break;
            case CancelBy::Escape:
                QTest::keyClick(d.sle_1, Qt::Key_Escape);
                break;
            case CancelBy::CloseBox:
                d.close();
                break;
            }
            closed = !d.isVisible();
        });
        const QString answer = w_pass::prompt(m_ctx);
        QCOMPARE(watcher.shown, 1);
        QVERIFY(closed);
        QVERIFY(answer.isEmpty());
        QVERIFY(m_boxes.shown.isEmpty());
    }

    void passwordReadAtEachOpening()
    {
        const QString first = test::madeUpPassword();
        const QString second = first + u"2"_s;
        auto typing = [](const QString &text) {
            return [text](w_pass &d) {
                garvina::test::typeAndEnter(d, text);
            };
        };

        writeConfig(u"[system]\npassword="_s + first + u"\n"_s);
        {
            PromptWatcher watcher(typing(first));
            QVERIFY(w_pass::ask(m_ctx));
        }
        // Saved by the settings window meanwhile: the next prompt knows only the new one.
        QVERIFY(m_ctx.config().write(u"system"_s, u"password"_s, second));
        {
            PromptWatcher watcher(typing(first));
            QVERIFY(!w_pass::ask(m_ctx));
            QCOMPARE(watcher.shown, 1);
        }
        {
            PromptWatcher watcher(typing(second));
            QVERIFY(w_pass::ask(m_ctx));
        }
    }

    void appearance()
    {
        writeConfig(u"[system]\npassword="_s + test::madeUpPassword() + u"\n"_s);
        QString shownText;
        bool masked = false;
        bool modal = false;
        bool centred = false;
        QString title, label, ok, cancel;
        PromptWatcher watcher([&](w_pass &d) {
            title = d.windowTitle();
            label = d.st_1->text();
            ok = d.cb_1->text();
            cancel = d.cb_2->text();
            modal = d.isModal() && QApplication::activeModalWidget() == &d;
            const QPoint offset = d.frameGeometry().center() - d.screen()->availableGeometry().center();
            centred = offset.manhattanLength() <= 2;
            QTest::keyClicks(d.sle_1, u"abc"_s);
            masked = d.sle_1->echoMode() == QLineEdit::Password;
            shownText = d.sle_1->displayText();
        });
        w_pass::prompt(m_ctx);
        QCOMPARE(watcher.shown, 1);
        QCOMPARE(title, u"请输入密码"_s);
        QCOMPARE(label, u"请输入密码："_s);
        QCOMPARE(ok, u"确  定"_s);
        QCOMPARE(cancel, u"取 消"_s);
        QVERIFY(modal);
        QVERIFY(centred);
        QVERIFY(masked);
        QCOMPARE(shownText, u"***"_s);
    }
};

QTEST_MAIN(TestWPass)
#include "tst_w_pass.moc"
