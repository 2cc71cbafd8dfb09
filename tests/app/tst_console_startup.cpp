// Start-up as a whole inside the test process: the pending rebuild, the main window's first start
// and the close hook, with the real engine.
#include "app/console.h"
#include "engine/engineprobe.h"
#include "platform/processlauncher.h"
#include "platform/toolrunner.h"
#include "support/enginefixture.h"
#include "support/recordingtray.h"
#include "ui/w_main.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestConsoleStartup : public QObject
{
    Q_OBJECT

    static bool prepare(test::EngineFixture &fx)
    {
        if (!fx.layOut())
            return false;
        fx.useFreeServicePort();
        // The program file itself, for the program-folder test.
        return fx.addProgramFile();
    }

private Q_SLOTS:
    void dueRebuildRunsThenTheServiceStartsAndTheCloseHookStopsIt()
    {
        test::EngineFixture fx;
        QVERIFY(prepare(fx));
        test::TestProgramFolder &folder = *fx.folder;
        folder.config().write(
            QList<ProfileFile::Entry>{{u"dbunload"_s, u"dbunload"_s, u"1"_s},
                                      {u"dbunload"_s, u"dbunload_day"_s, u"3"_s},
                                      {u"dbunload"_s, u"dbunload_date"_s, u"2013-08-28"_s}});
        test::RecordingMessageBoxes &boxes = fx.boxes;
        fx.clock.set(QDateTime(QDate(2013, 8, 29), QTime(8, 30)));
        // A console killed during a rebuild left its gbak working on the rebuild file, and a killed
        // restore its incoming file.
        const QString leftover = folder.gs_path + u"tool/gbak"_s;
        QVERIFY(QFile::copy(u"/bin/sleep"_s, leftover));
        ToolRequest orphan;
        orphan.program = u"/bin/sh"_s;
        orphan.arguments = {u"-c"_s, u"exec \"$0\" 60 3>\"$1\""_s, leftover,
                            folder.gs_path + u"data/garvina.rebuild.db"_s};
        orphan.extraEnvironment = EngineInstance(folder.gs_path).toolEnvironment();
        ToolJob gbak(orphan);
        gbak.start();
        QTRY_VERIFY(QFile::exists(folder.gs_path + u"data/garvina.rebuild.db"_s));
        QFile incoming(folder.gs_path + u"data/garvina.db.restore"_s);
        QVERIFY(incoming.open(QIODevice::WriteOnly));
        incoming.close();

        Console console(boxes, fx.clock, fx.launcher, fx.files);
        console.setTrayBackend(new test::RecordingTray(true));

        QCOMPARE(console.startUp({u"-autorun"_s}, folder.gs_path, u"/elsewhere/garvinaserver"_s), 0);
        QTRY_VERIFY(!gbak.isRunning());
        QVERIFY(!incoming.exists());
        QVERIFY(console.context().gb_start); // the first start has not run yet: it is posted
        QCOMPARE(console.context().gs_path, folder.gs_path);
        QCOMPARE(folder.config().read(u"dbunload"_s, u"dbunload_date"_s, QString()), u"2013-08-29"_s);

        QTRY_VERIFY_WITH_TIMEOUT(console.mainWindow()->serviceRunning(), 20000);
        QVERIFY(!console.context().gb_start); // the longer wait was used once
        QVERIFY2(boxes.shown.isEmpty(), qPrintable(boxes.texts().join(u'\n')));
        QVERIFY(f_findwindows_garvinanet(folder.gs_path));

        console.closeHook();
        QVERIFY(!f_findwindows_garvinanet(folder.gs_path));
        QCOMPARE(console.mainWindow()->clientService().GetClientCount(), 0);
    }

    void noRebuildWhileAnEngineRuns()
    {
        test::EngineFixture fx;
        QVERIFY(prepare(fx));
        test::TestProgramFolder &folder = *fx.folder;
        folder.config().write(
            QList<ProfileFile::Entry>{{u"dbunload"_s, u"dbunload"_s, u"1"_s},
                                      {u"dbunload"_s, u"dbunload_day"_s, u"3"_s},
                                      {u"dbunload"_s, u"dbunload_date"_s, u"2013-08-28"_s}});
        test::RecordingMessageBoxes &boxes = fx.boxes;
        fx.clock.set(QDateTime(QDate(2013, 8, 29), QTime(8, 30)));

        // An engine left running, for example by a copy that crashed.
        QVERIFY(fx.engine->f_db_server(u"START"_s));
        const qint64 pid = runningEnginePid(folder.gs_path);

        Console console(boxes, fx.clock, fx.launcher, fx.files);
        console.setTrayBackend(new test::RecordingTray(true));
        QCOMPARE(console.startUp({}, folder.gs_path, QString()), 0);
        QCOMPARE(folder.config().read(u"dbunload"_s, u"dbunload_date"_s, QString()), u"2013-08-28"_s);

        // The running engine is used as it is.
        QTRY_VERIFY_WITH_TIMEOUT(console.mainWindow()->serviceRunning(), 20000);
        QCOMPARE(runningEnginePid(folder.gs_path), pid);
        console.closeHook();
        QVERIFY(!processAlive(pid));
    }

    void programFolderNotFound()
    {
        test::RecordingMessageBoxes boxes;
        test::ManualClock clock;
        SystemProcessLauncher launcher;
        LinuxFileSystem files;
        Console console(boxes, clock, launcher, files);
        QCOMPARE(console.startUp({}, u"/nonexistent"_s, u"/nonexistent/garvinaserver"_s), 1);
        QCOMPARE(boxes.last().title, u"警告"_s);
        QCOMPARE(boxes.last().text, u"获取软件目录信息出错!"_s);
        QCOMPARE(boxes.last().icon, MsgIcon::StopSign);
        QVERIFY(!console.mainWindow());
    }
};

QTEST_MAIN(TestConsoleStartup)
#include "tst_console_startup.moc"
