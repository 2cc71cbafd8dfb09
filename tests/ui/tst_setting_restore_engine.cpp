// The settings and restore windows with the real engine, in a console started as the program starts
// it: opened from the main window, an immediate backup, and a restore of that backup.
#include "app/console.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "platform/processlauncher.h"
#include "support/enginefixture.h"
#include "support/recordingtray.h"
#include "support/windowtesting.h"
#include "ui/m_popmenu.h"
#include "ui/w_main.h"
#include "ui/w_restore.h"
#include "ui/w_setting.h"

#include <QApplication>
#include <QPointer>
#include <QSqlQuery>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestWindowsWithEngine : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    std::unique_ptr<test::TestProgramFolder> &m_folder = m_fx.folder;
    test::RecordingMessageBoxes &m_boxes = m_fx.boxes;
    test::ManualClock m_clock{QDateTime(QDate(2013, 8, 29), QTime(8, 0))};
    test::RecordingLauncher &m_launcher = m_fx.launcher;
    std::unique_ptr<Console> m_console;
    test::RecordingTray *m_tray = nullptr;
    test::RecordingFileDialogs m_dialogs;
    QString m_root;   // the configured backup folder
    QString m_backup; // the backup taken through the settings window

    AppContext &ctx() { return m_console->context(); }
    w_main &mainWindow() { return *m_console->mainWindow(); }

    template <typename W> QList<W *> shownWindows() const
    {
        QList<W *> out;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *window = qobject_cast<W *>(w); window && window->isVisible())
                out.append(window);
        }
        return out;
    }

    int markers()
    {
        EngineControl &engine = m_console->engine();
        if (!engine.f_connectdb())
            return -1;
        QSqlQuery q(engine.sqlca().database());
        const int n = (q.exec(u"select count(*) from customers where card_no = 'W-1'"_s) && q.next())
                          ? q.value(0).toInt()
                          : -1;
        q.finish();
        engine.sqlca().disconnect();
        return n;
    }

    QStringList safetyFolders() const
    {
        return QDir(m_root).entryList({u"*-R"_s}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_folder->homePath() + u"/.config"_s));
        QVERIFY(m_fx.addPictures());
        QVERIFY(m_fx.addProgramFile());
        m_root = m_folder->homePath() + u"/备份 根/"_s;
        m_folder->config().write(QList<ProfileFile::Entry>{
            {u"system"_s, u"sockect"_s, QString::number(test::TestProgramFolder::freePort())},
            {u"backup"_s, u"backuppath"_s, m_root}});

        m_console = std::make_unique<Console>(m_boxes, m_clock, m_launcher, m_fx.files);
        m_tray = new test::RecordingTray(true);
        m_console->setTrayBackend(m_tray);
        QCOMPARE(m_console->startUp({}, m_folder->gs_path, u"/elsewhere/garvinaserver"_s), 0);
        QTRY_VERIFY_WITH_TIMEOUT(mainWindow().serviceRunning(), 30000);
        QVERIFY2(m_boxes.shown.isEmpty(), qPrintable(m_boxes.texts().join(u'\n')));
    }
    void cleanupTestCase()
    {
        if (m_console)
            m_console->closeHook();
        m_console.reset();
    }
    void init()
    {
        m_boxes.shown.clear();
        m_tray->balloons.clear();
        m_dialogs.requests.clear();
    }

    void mainWindowOpensOneOfEach()
    {
        test::clickObject(mainWindow().dw_1(), u"t_setting"_s);
        QCOMPARE(shownWindows<w_setting>().size(), 1);
        QPointer<w_setting> settings = shownWindows<w_setting>().first();
        QVERIFY(!mainWindow().isVisible());
        // The tray menu's settings command brings the open window forward instead of a second one.
        mainWindow().im_popmenu()->settingsCommand();
        QCOMPARE(shownWindows<w_setting>(), QList<w_setting *>{settings.data()});
        test::clickObject(settings->dw_setting(), u"t_cancel"_s);
        QTRY_VERIFY(settings.isNull()); // gone with its form
        QVERIFY(mainWindow().isVisible());

        test::clickObject(mainWindow().dw_1(), u"t_restore"_s);
        QCOMPARE(shownWindows<w_restore>().size(), 1);
        QPointer<w_restore> restore = shownWindows<w_restore>().first();
        QCOMPARE(restore->size(), QSize(547, 238));
        QVERIFY(QTest::qWaitForWindowExposed(restore));
        QVERIFY(!mainWindow().isVisible());
        DataForm *form = restore->dw_restore_db();
        const QStringList buttons{u"select"_s, u"ok"_s, u"cancel"_s};
        for (const QString &key : buttons) {
            QTest::mouseMove(form, form->objectRect(u"rr_"_s + key).center());
            QTRY_COMPARE(form->text(u"t_"_s + key)->fontWeight(), 700);
            for (const QString &other : buttons)
                QCOMPARE(form->text(u"t_"_s + other)->fontWeight(), other == key ? 700 : 400);
        }
        test::clickObject(restore->dw_restore_db(), u"t_close"_s);
        QTRY_VERIFY(restore.isNull());
        QVERIFY(mainWindow().isVisible());
    }

    void immediateBackup_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("file");
        QTest::newRow("folder shown")
            << u"ROOT"_s << u"温馨提示"_s << u"备份数据库成功!"_s << u"ROOT20130829-0800/garvina.db"_s;
        QTest::newRow("empty folder field") << QString() << u"温馨提示"_s << u"备份数据库成功!"_s
                                            << u"HOME/服装软件备份/20130829-0800/garvina.db"_s;
        QTest::newRow("folder that cannot be made")
            << u"/proc/garvina-none"_s << u"备份数据库出错"_s << u"/proc/garvina-none"_s << QString();
    }
    void immediateBackup()
    {
        QFETCH(QString, folder);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QString, file);
        folder.replace(u"ROOT"_s, m_root);
        file.replace(u"ROOT"_s, m_root).replace(u"HOME"_s, m_folder->homePath());

        w_setting w(ctx(), mainWindow(), m_console->engine(), m_dialogs);
        w.open();
        w.dw_setting()->setItem(u"backup_path"_s, folder);
        test::clickObject(w.dw_setting(), u"t_now_backup"_s);
        QCOMPARE(m_tray->balloons.size(), 1);
        QCOMPARE(m_tray->balloons.first().title, title);
        // A failure carries the backup's own reason, which names the folder.
        QVERIFY2(m_tray->balloons.first().text.contains(text), qPrintable(m_tray->balloons.first().text));
        QVERIFY(w.isVisible());
        QCOMPARE(ctx().readConfig(u"backup"_s, u"backuppath"_s, QString()), m_root); // nothing saved
        if (!file.isEmpty()) {
            QVERIFY(verifyDatabaseOpens(ctx().gs_path, file).isEmpty());
            if (file.startsWith(m_root))
                m_backup = file;
        }
        QVERIFY(f_findwindows_garvinanet(ctx().gs_path));
        w.close();
    }

    void restoreRefusesWithoutTouchingAnything_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("message");
        QTest::newRow("nothing chosen") << QString() << u"请选好要还原的数据库文件"_s;
        QTest::newRow("missing file") << u"/nonexistent/garvina.db"_s << u"要还原的数据库文件不存在,请核实"_s;
    }
    void restoreRefusesWithoutTouchingAnything()
    {
        QFETCH(QString, answer);
        QFETCH(QString, message);
        const qint64 pid = runningEnginePid(ctx().gs_path);
        w_restore w(ctx(), mainWindow(), m_console->engine(), m_dialogs);
        w.open();
        m_dialogs.answers.enqueue(answer);
        test::clickObject(w.dw_restore_db(), u"t_select"_s);
        QCOMPARE(w.dw_restore_db()->getItem(u"restore_path"_s), answer);
        test::clickObject(w.dw_restore_db(), u"t_ok"_s);
        QCOMPARE(m_boxes.texts(), QStringList{message});
        QCOMPARE(m_boxes.last().icon, MsgIcon::StopSign);
        QCOMPARE(runningEnginePid(ctx().gs_path), pid);
        QVERIFY(safetyFolders().isEmpty());
        QVERIFY(w.isVisible());
    }

    void restoreThroughTheWindow()
    {
        QVERIFY2(!m_backup.isEmpty(), "needs the backup taken through the settings window");
        // The shop works on after the backup: a new customer, gone again after the restore.
        QVERIFY(m_console->engine().f_connectdb());
        QVERIFY(m_console->engine().sqlca().executeImmediate(
            u"insert into customers (card_no, name) values ('W-1', '窗口还原')"_s));
        QVERIFY(m_console->engine().sqlca().commit());
        m_console->engine().sqlca().disconnect();
        QCOMPARE(markers(), 1);
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(17, 45)));

        w_restore w(ctx(), mainWindow(), m_console->engine(), m_dialogs);
        w.open();
        QVERIFY(!mainWindow().isVisible());
        m_dialogs.answers.enqueue(m_backup);
        test::clickObject(w.dw_restore_db(), u"t_select"_s);
        QCOMPARE(m_dialogs.requests.size(), 1);
        QCOMPARE(m_dialogs.requests.first().title, u"选择还原的数据库文件"_s);
        QCOMPARE(m_dialogs.requests.first().start, m_root);
        QCOMPARE(m_dialogs.requests.first().filter, w_restore::fileFilter());

        m_boxes.answerNext(MsgAnswer::Yes);
        test::clickObject(w.dw_restore_db(), u"t_ok"_s);
        QCOMPARE(m_boxes.texts(), (QStringList{u"是否确定还原数据库?"_s, u"还原数据库成功!"_s}));
        QVERIFY(f_findwindows_garvinanet(ctx().gs_path));
        QCOMPARE(markers(), 0);
        QCOMPARE(safetyFolders(), QStringList{u"20130829-1745-R"_s});
        QVERIFY(verifyDatabaseOpens(ctx().gs_path, m_root + u"20130829-1745-R/garvina.db"_s).isEmpty());

        QVERIFY(w.isVisible()); // open after every outcome, until the user leaves it
        test::clickObject(w.dw_restore_db(), u"t_cancel"_s);
        QVERIFY(!w.isVisible());
        QVERIFY(mainWindow().isVisible());
    }
};

QTEST_MAIN(TestWindowsWithEngine)
#include "tst_setting_restore_engine.moc"
