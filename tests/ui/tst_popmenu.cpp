#include "core/appcontext.h"
#include "support/configfolder.h"
#include "support/promptwatcher.h"
#include "support/recordingmessageboxes.h"
#include "support/scriptedprompt.h"
#include "ui/m_popmenu.h"
#include "ui/menu/n_coolmenu.h"
#include "ui/passwordprompt.h"
#include "ui/w_pass.h"

#include <QAction>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using garvina::test::PromptAction;
using garvina::test::PromptWatcher;

Q_DECLARE_METATYPE(PromptAction)

namespace {

using test::ScriptedPrompt;

QStringList visibleTexts(const QMenu &menu)
{
    QStringList out;
    for (const QAction *a : menu.actions())
        if (a->isVisible())
            out.append(a->isSeparator() ? u"-"_s : a->text());
    return out;
}

} // namespace

class TestPopMenu : public QObject
{
    Q_OBJECT

    test::ConfigFolder m_folder;
    test::RecordingMessageBoxes &m_boxes = m_folder.boxes;
    AppContext &m_ctx = m_folder.ctx;

    void writeConfig(const QString &content) { QVERIFY(m_folder.writeConfig(content)); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_folder.dir.isValid()); }
    void init() { m_folder.reset(); }

    void itemsCarryTheRendererData()
    {
        ScriptedPrompt prompt;
        m_popmenu menu(m_ctx, prompt);
        struct Item
        {
            QString name, text, tag, picture;
        };
        const QList<Item> expected = {
            {u"m_显示主界面"_s, u"显示主界面"_s, u"id=2"_s, u"server.dll:2"_s},
            {u"m_-"_s, QString(), QString(), QString()},
            {u"m_功能设置"_s, u"功能设置"_s, u"id=8"_s, u"server.dll:8"_s},
            {u"m_-1"_s, QString(), QString(), QString()},
            {u"m_start"_s, u"开启服务"_s, u"id=5"_s, u"server.dll:5"_s},
            {u"m_stop"_s, u"停止服务"_s, u"id=6"_s, u"server.dll:6"_s},
            {u"m_-0"_s, QString(), QString(), QString()},
            {u"m_退出服务器"_s, u"退出服务器"_s, u"id=7"_s, u"server.dll:7"_s},
        };
        const QList<QAction *> actions = menu.actions();
        QCOMPARE(actions.size(), expected.size());
        for (int i = 0; i < actions.size(); ++i) {
            const QAction *a = actions[i];
            QCOMPARE(a->objectName(), expected[i].name);
            QCOMPARE(a->isSeparator(), expected[i].text.isEmpty());
            if (a->isSeparator())
                continue;
            QCOMPARE(a->text(), expected[i].text);
            QCOMPARE(a->property(kMenuTagProperty).toString(), expected[i].tag);
            QCOMPARE(a->property(kMenuPictureNameProperty).toString(), expected[i].picture);
        }
        const QList<QAction *> members = {menu.m_show,  menu.m_sep,  menu.m_setting, menu.m_sep1,
                                          menu.m_start, menu.m_stop, menu.m_sep0,    menu.m_exit};
        QCOMPARE(members, actions);
    }

    void visibleItemsFollowTheService_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("running: stop offered")
            << true << QStringList{u"显示主界面"_s, u"-"_s, u"功能设置"_s,  u"-"_s,
                                   u"停止服务"_s,   u"-"_s, u"退出服务器"_s};
        QTest::newRow("stopped: start offered")
            << false << QStringList{u"显示主界面"_s, u"-"_s, u"功能设置"_s,  u"-"_s,
                                    u"开启服务"_s,   u"-"_s, u"退出服务器"_s};
    }
    void visibleItemsFollowTheService()
    {
        QFETCH(bool, running);
        QFETCH(QStringList, expected);
        ScriptedPrompt prompt;
        m_popmenu menu(m_ctx, prompt);

        // The opposite state first: the menu must follow every change, not only the first.
        menu.setServiceRunning(!running);
        menu.setServiceRunning(running);
        QCOMPARE(visibleTexts(menu), expected);

        // What actually pops up: a hidden item takes no room and cannot be chosen.
        menu.popup(QPoint(40, 40));
        QVERIFY(QTest::qWaitForWindowExposed(&menu));
        QAction *shown = running ? menu.m_stop : menu.m_start;
        QAction *hidden = running ? menu.m_start : menu.m_stop;
        QVERIFY(!menu.actionGeometry(shown).isEmpty());
        QVERIFY(menu.actionGeometry(hidden).isEmpty());
        QCOMPARE(menu.actionAt(menu.actionGeometry(shown).center()), shown);
        menu.close();
    }

    void commandsSendTheirRequest_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("signal");
        QTest::addColumn<int>("prompts");
        QTest::newRow("show") << u"m_显示主界面"_s << u"showMainRequested"_s << 0;
        QTest::newRow("settings") << u"m_功能设置"_s << u"settingsRequested"_s << 1;
        QTest::newRow("start") << u"m_start"_s << u"startStopRequested"_s << 0;
        QTest::newRow("stop") << u"m_stop"_s << u"startStopRequested"_s << 0;
        QTest::newRow("exit") << u"m_退出服务器"_s << u"exitRequested"_s << 1;
    }
    void commandsSendTheirRequest()
    {
        QFETCH(QString, item);
        QFETCH(QString, signal);
        QFETCH(int, prompts);
        // Both passwords switched on: only settings and exit may ask.
        writeConfig(u"[system]\nsettingpass=1\nexitpass=1\npassword=x\n"_s);
        ScriptedPrompt prompt;
        m_popmenu menu(m_ctx, prompt);

        QSignalSpy show(&menu, &m_popmenu::showMainRequested);
        QSignalSpy settings(&menu, &m_popmenu::settingsRequested);
        QSignalSpy startStop(&menu, &m_popmenu::startStopRequested);
        QSignalSpy exit(&menu, &m_popmenu::exitRequested);
        const QHash<QString, QSignalSpy *> spies = {{u"showMainRequested"_s, &show},
                                                    {u"settingsRequested"_s, &settings},
                                                    {u"startStopRequested"_s, &startStop},
                                                    {u"exitRequested"_s, &exit}};

        QAction *action = menu.findChild<QAction *>(item);
        QVERIFY(action);
        action->trigger();

        QCOMPARE(prompt.asked, prompts);
        for (auto it = spies.cbegin(); it != spies.cend(); ++it)
            QCOMPARE(it.value()->size(), it.key() == signal ? 1 : 0);
    }

    // The password guard with the real prompt. The other key is always "1", so that a command
    // reading the wrong key is caught.
    void passwordGuard_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("storedPassword");
        QTest::addColumn<PromptAction>("action");
        QTest::addColumn<bool>("expectPrompt");
        QTest::addColumn<bool>("expectProceed");
        QTest::addColumn<int>("expectMessages");

        const QStringList keys{u"settingpass"_s, u"exitpass"_s};
        const QList<QPair<QString, QString>> values{{u"1"_s, u"1"_s},
                                                    {u"0"_s, u"0"_s},
                                                    {u"2"_s, u"2"_s},
                                                    {u"empty"_s, u""_s},
                                                    {u"absent"_s, QString()}};
        const QList<QPair<QString, PromptAction>> actions{{u"right password"_s, PromptAction::TypeRight},
                                                          {u"wrong password"_s, PromptAction::TypeWrong},
                                                          {u"cancel"_s, PromptAction::Cancel}};
        for (const QString &key : keys) {
            for (const auto &[valueName, value] : values) {
                const bool guarded = value == u"1"_s;
                for (const auto &[actionName, action] : actions) {
                    QTest::addRow("%s=%s, %s", qPrintable(key), qPrintable(valueName), qPrintable(actionName))
                        << key << value << true << action << guarded
                        << (!guarded || action == PromptAction::TypeRight)
                        << (guarded && action == PromptAction::TypeWrong ? 1 : 0);
                }
                QTest::addRow("%s=%s, no stored password", qPrintable(key), qPrintable(valueName))
                    << key << value << false << PromptAction::Cancel << false << true << 0;
            }
        }
    }
    void passwordGuard()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, storedPassword);
        QFETCH(PromptAction, action);
        QFETCH(bool, expectPrompt);
        QFETCH(bool, expectProceed);
        QFETCH(int, expectMessages);

        const QString pw = test::madeUpPassword();
        const QString otherKey = key == u"settingpass"_s ? u"exitpass"_s : u"settingpass"_s;
        QString config = u"[system]\n"_s + otherKey + u"=1\n"_s;
        if (!value.isNull())
            config += key + u"="_s + value + u"\n"_s;
        if (storedPassword)
            config += u"password="_s + pw + u"\n"_s;
        writeConfig(config);

        bool openAfterWrong = false;
        PromptWatcher watcher([&](w_pass &d) {
            switch (action) {
            case PromptAction::TypeRight:
                test::typeAndEnter(d, pw);
                break;
            case PromptAction::TypeWrong:
                test::typeAndEnter(d, pw.toUpper());
                openAfterWrong = d.isVisible();
                QTest::mouseClick(d.cb_2, Qt::LeftButton);
                break;
            case PromptAction::Cancel:
                QTest::mouseClick(d.cb_2, Qt::LeftButton);
                break;
            }
        });

        DialogPasswordPrompt prompt(m_ctx);
        m_popmenu menu(m_ctx, prompt);
        QSignalSpy settings(&menu, &m_popmenu::settingsRequested);
        QSignalSpy exit(&menu, &m_popmenu::exitRequested);
        const bool settingsCommand = key == u"settingpass"_s;
        (settingsCommand ? menu.m_setting : menu.m_exit)->trigger();

        QCOMPARE(watcher.shown, expectPrompt ? 1 : 0);
        QCOMPARE((settingsCommand ? settings : exit).size(), expectProceed ? 1 : 0);
        QCOMPARE((settingsCommand ? exit : settings).size(), 0);
        QCOMPARE(m_boxes.shown.size(), expectMessages);
        if (expectMessages)
            QVERIFY(openAfterWrong);
    }

    // Only exactly "1" asks; the configuration reader's own trimming and quoting apply first.
    void guardNeedsExactlyOne_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("asks");
        QTest::newRow("1") << u"exitpass=1"_s << true;
        QTest::newRow("blanks around, unquoted") << u"exitpass =  1  "_s << true;
        QTest::newRow("key in other case") << u"EXITPASS=1"_s << true;
        QTest::newRow("quoted with a blank") << u"exitpass=\" 1\""_s << false;
        QTest::newRow("01") << u"exitpass=01"_s << false;
        QTest::newRow("true") << u"exitpass=true"_s << false;
        QTest::newRow("other key only") << u"exitpas=1"_s << false;
    }
    void guardNeedsExactlyOne()
    {
        QFETCH(QString, line);
        QFETCH(bool, asks);
        writeConfig(u"[system]\n"_s + line + u"\n"_s);
        for (const bool answer : {true, false}) {
            ScriptedPrompt prompt;
            prompt.answer = answer;
            const bool goesOn = garvina::passwordGuard(m_ctx.config(), u"exitpass"_s, prompt);
            QCOMPARE(prompt.asked, asks ? 1 : 0);
            QCOMPARE(goesOn, asks ? answer : true);
        }
    }

    // The whole way: pop the menu up, click the item, answer the real prompt.
    void exitThroughThePopup()
    {
        const QString pw = test::madeUpPassword();
        writeConfig(u"[system]\nexitpass=1\npassword="_s + pw + u"\n"_s);
        PromptWatcher watcher([&](w_pass &d) { test::typeAndEnter(d, pw); });

        m_popmenu menu(m_ctx);
        menu.setServiceRunning(true);
        QSignalSpy exit(&menu, &m_popmenu::exitRequested);
        QSignalSpy startStop(&menu, &m_popmenu::startStopRequested);

        menu.popup(QPoint(60, 60));
        QVERIFY(QTest::qWaitForWindowExposed(&menu));
        QTest::mouseClick(&menu, Qt::LeftButton, {}, menu.actionGeometry(menu.m_exit).center());
        QTRY_COMPARE(exit.size(), 1);
        QCOMPARE(watcher.shown, 1);
        QCOMPARE(startStop.size(), 0);
        QVERIFY(!menu.isVisible());

        menu.popup(QPoint(60, 60));
        QVERIFY(QTest::qWaitForWindowExposed(&menu));
        QTest::mouseClick(&menu, Qt::LeftButton, {}, menu.actionGeometry(menu.m_stop).center());
        QTRY_COMPARE(startStop.size(), 1);
        QCOMPARE(watcher.shown, 1);
    }
};

QTEST_MAIN(TestPopMenu)
#include "tst_popmenu.moc"
