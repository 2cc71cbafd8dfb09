// The console as a system service: started with a notify socket as the service manager would give
// it, ready with the engine and the client service listening, commands over its local socket, the
// schedule, --status, and the orderly end on SIGTERM.
#include "app/attachedconsole.h"
#include "app/servicemode.h"
#include "engine/engineprobe.h"
#include "maintenance/backupstate.h"
#include "platform/filesystem.h"
#include "platform/processtable.h"
#include "platform/servicenotify.h"
#include "platform/toolrunner.h"
#include "support/recordingmessageboxes.h"
#include "support/recordingtray.h"
#include "support/serviceprocess.h"
#include "support/testprogramfolder.h"
#include "ui/menu/n_coolmenu.h"

#include <QDir>
#include <QMenu>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestServiceMode : public QObject
{
    Q_OBJECT

    test::TestProgramFolder m_folder{u"服务"_s};
    QString m_backupRoot;
    int m_enginePort = 0;
    int m_clientPort = 0;
    std::unique_ptr<ServiceNotifyReceiver> m_manager;
    QProcess m_service;
    QString m_output;

    /// Waits for the next message to the service manager that holds \a what.
    bool notified(const QByteArray &what, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (m_manager->receive(static_cast<int>(qMax<qint64>(deadline.remainingTime(), 1)))
                    .contains(what))
                return true;
        }
        return false;
    }

    QString output()
    {
        m_output += QString::fromUtf8(m_service.readAllStandardError());
        return m_output;
    }

    QStringList backupFolders() const
    {
        QStringList found;
        for (const QString &name : QDir(m_backupRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (QFile::exists(m_backupRoot + name + u"/garvina.db"_s))
                found << name;
        }
        return found;
    }

    /// Runs `garvinaserver --status` from the program folder: exit code and what it printed.
    /// The folder's program run with \a arguments: its exit code and its standard output (with
    /// standard error when \a merged).
    QPair<int, QString> runProgram(const QStringList &arguments, bool merged = false) const
    {
        ToolRequest request;
        request.program = m_folder.gs_path + u"garvinaserver"_s;
        request.arguments = arguments;
        request.workingDirectory = m_folder.gs_path;
        request.output = merged ? ToolRequest::Output::Merged : ToolRequest::Output::Separate;
        request.timeoutMs = 60000;
        const ToolResult result = runTool(request);
        return {result.exitCode, QString::fromUtf8(result.output)};
    }
    QPair<int, QString> runStatus() const { return runProgram({u"--status"_s}); }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_folder.layOut(&log), qPrintable(log));
        QVERIFY(test::copyProgramFolderPictures(m_folder.gs_path));
        QVERIFY(QFile::copy(qEnvironmentVariable("GARVINA_BINARY"), m_folder.gs_path + u"garvinaserver"_s));
        m_enginePort = test::TestProgramFolder::freePort();
        m_folder.setPort(m_enginePort);
        m_clientPort = test::TestProgramFolder::freePort();
        m_backupRoot = m_folder.homePath() + u"/备份/"_s;
        // The schedule's next backup falls due while the service runs, soon after its start.
        const QDateTime due = QDateTime::currentDateTime().addSecs(40);
        if (due.date() != QDate::currentDate())
            QSKIP("the schedule's time would fall on the next day");
        const QString at = due.time().toString(u"HH:mm:ss"_s);
        m_folder.config().write(
            QList<ProfileFile::Entry>{{u"system"_s, u"sockect"_s, QString::number(m_clientPort)},
                                      {u"backup"_s, u"backuppath"_s, m_backupRoot},
                                      {u"backup"_s, u"backuptype"_s, u"1"_s},
                                      {u"backup"_s, u"backuptime1"_s, at},
                                      {u"backup"_s, u"backuptime2"_s, at},
                                      {u"backup"_s, u"backuptime3"_s, at},
                                      {u"backup"_s, u"rehearsal_time"_s, QString()}});

        const QByteArray socket = QFile::encodeName(m_folder.homePath()) + "/notify";
        m_manager = std::make_unique<ServiceNotifyReceiver>(socket);
        QVERIFY(m_manager->isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"NOTIFY_SOCKET"_s, QFile::decodeName(socket));
        env.insert(u"HOME"_s, m_folder.homePath());
        env.remove(u"DISPLAY"_s);
        m_service.setProcessEnvironment(env);
        m_service.setWorkingDirectory(m_folder.gs_path);
        m_service.start(m_folder.gs_path + u"garvinaserver"_s, {u"--service"_s});
        QVERIFY(m_service.waitForStarted());
    }

    void cleanupTestCase()
    {
        if (m_service.state() != QProcess::NotRunning) {
            m_service.kill();
            m_service.waitForFinished();
        }
    }

    void readyWithEngineAndClientServiceListening()
    {
        QVERIFY2(notified("READY=1", 60000), qPrintable(output()));
        const LinuxProcessTable processes;
        QVERIFY(processes.portListened(m_enginePort));
        QVERIFY(processes.portListened(m_clientPort));
        QVERIFY(f_findwindows_garvinanet(m_folder.gs_path));
        // The window's texts went to the journal instead of a tray.
        QTRY_VERIFY2(output().contains(u"温馨提示: 服务端已启动工作!"_s), qPrintable(output()));
        // Nothing the journal would show on every start for nothing.
        QVERIFY2(!output().contains(u"XDG_RUNTIME_DIR"_s) && !output().contains(u"raise()"_s),
                 qPrintable(output()));
    }

    void commands_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("engineAfter");
        QTest::addColumn<int>("backupsAfter");
        QTest::newRow("stop") << u"STOP"_s << 0 << u"ok"_s << u"服务端已停止工作!"_s << false << 0;
        QTest::newRow("stop again") << u"STOP"_s << 0 << u"ok"_s << u"服务端已停止工作!"_s << false << 0;
        QTest::newRow("backup while stopped")
            << u"BACKUP"_s << 1 << u"refused"_s << u"服务端已停止,不执行备份任务"_s << false << 0;
        QTest::newRow("off-site restore while stopped")
            << u"RESTORE-OFFSITE"_s << 1 << u"refused"_s << u"服务端已停止,请先启动服务!"_s << false << 0;
        QTest::newRow("start") << u"START"_s << 0 << u"ok"_s << u"服务端已启动工作!"_s << true << 0;
        QTest::newRow("off-site restore with none set")
            << u"RESTORE-OFFSITE"_s << 1 << u"failed"_s << u"从异地备份还原出错:没有设置异地备份位置!"_s
            << true << 0;
        QTest::newRow("backup now") << u"BACKUP"_s << 0 << u"ok"_s << u"备份数据库成功!"_s << true << 1;
        QTest::newRow("unknown") << u"FORMAT"_s << 2 << u"refused"_s << u"无效的命令"_s << true << 1;
    }
    void commands()
    {
        QFETCH(QString, request);
        QFETCH(int, code);
        QFETCH(QString, result);
        QFETCH(QString, reply);
        QFETCH(bool, engineAfter);
        QFETCH(int, backupsAfter);
        const auto answer = sendControlRequest(m_folder.gs_path, request, 120000);
        QVERIFY2(answer, qPrintable(output()));
        QCOMPARE(answer->first, code);
        QCOMPARE(controlReplyField(answer->second, u"result"_s), result);
        QCOMPARE(controlReplyText(answer->second), reply);
        QCOMPARE(f_findwindows_garvinanet(m_folder.gs_path), engineAfter);
        QCOMPARE(backupFolders().size(), backupsAfter);
    }

    void scheduledBackupTaken()
    {
        QTRY_VERIFY_WITH_TIMEOUT(backupFolders().size() == 2, 90000);
        // The folder gets its name a moment before the state file records it.
        const QString newest = QDir::cleanPath(m_backupRoot + backupFolders().constLast());
        QTRY_COMPARE_WITH_TIMEOUT(QDir::cleanPath(loadBackupState(m_folder.gs_path).lastGoodFolder), newest,
                                  10000);
        QTRY_VERIFY_WITH_TIMEOUT(output().contains(u" 备份数据库成功!"_s), 10000);
    }

    void killedEngineIsStartedAgain()
    {
        const qint64 pid = runningEnginePid(m_folder.gs_path);
        QVERIFY(pid > 0);
        QVERIFY(::kill(pid_t(pid), SIGKILL) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(output().contains(u"警告: 数据库服务已停止运行(进程已退出),正在重新启动"_s),
                                 10000);
        QTRY_VERIFY_WITH_TIMEOUT(output().contains(u"温馨提示: 数据库服务已重新启动"_s), 60000);
        QVERIFY(runningEnginePid(m_folder.gs_path) != pid);
        QVERIFY(LinuxProcessTable().portListened(m_enginePort));
        QTRY_COMPARE_WITH_TIMEOUT(runStatus().first, 0, 10000);
    }

    void desktopConsoleAttaches_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<MsgAnswer>("answer");
        QTest::addColumn<bool>("engineAfter");
        QTest::addColumn<bool>("backupTaken");
        QTest::addColumn<QString>("shown"); // in the state, a box or a balloon
        QTest::newRow("click shows the state")
            << u"click"_s << MsgAnswer::No << true << false << u"数据库服务: 运行中"_s;
        QTest::newRow("stop not confirmed")
            << u"startStop"_s << MsgAnswer::No << true << false << u"数据库服务: 运行中"_s;
        QTest::newRow("stop") << u"startStop"_s << MsgAnswer::Yes << false << false << u"服务端已停止工作!"_s;
        QTest::newRow("backup refused while stopped")
            << u"backupNow"_s << MsgAnswer::No << false << false << u"服务端已停止,不执行备份任务"_s;
        QTest::newRow("start") << u"startStop"_s << MsgAnswer::No << true << false << u"服务端已启动工作!"_s;
        QTest::newRow("backup now") << u"backupNow"_s << MsgAnswer::No << true << true
                                    << u"备份数据库成功!"_s;
    }
    void desktopConsoleAttaches()
    {
        QFETCH(QString, action);
        QFETCH(MsgAnswer, answer);
        QFETCH(bool, engineAfter);
        QFETCH(bool, backupTaken);
        QFETCH(QString, shown);
        const QString lastGood = loadBackupState(m_folder.gs_path).lastGoodFolder;
        test::RecordingMessageBoxes boxes;
        boxes.answerNext(answer);
        auto *tray = new test::RecordingTray;
        AttachedConsole console(m_folder.gs_path, boxes, tray);
        console.open();
        QVERIFY(tray->visible);
        QTRY_VERIFY_WITH_TIMEOUT(!console.waiting(), 10000);
        if (action == u"click"_s)
            tray->click(TrayLeftButtonUp);
        else if (action == u"startStop"_s)
            console.startStop();
        else
            console.backupNow();
        // The console goes on while the service works; the tooltip says it waits.
        if (action != u"click"_s && console.waiting())
            QVERIFY2(tray->toolTip.contains(u"正在执行,请稍候…"_s), qPrintable(tray->toolTip));
        QTRY_VERIFY_WITH_TIMEOUT(!console.waiting(), 120000);
        QCOMPARE(f_findwindows_garvinanet(m_folder.gs_path), engineAfter);
        QCOMPARE(loadBackupState(m_folder.gs_path).lastGoodFolder != lastGood, backupTaken);
        QCOMPARE(console.serviceRunning(), engineAfter);
        const QString engineLine = engineAfter ? u"数据库服务: 运行中"_s : u"数据库服务: 已停止"_s;
        QVERIFY2(tray->toolTip.contains(engineLine), qPrintable(tray->toolTip));
        QStringList said = boxes.texts() << console.stateText();
        for (const auto &b : std::as_const(tray->balloons))
            said << b.text;
        QVERIFY2(said.join(u'\n').contains(shown), qPrintable(said.join(u'\n')));
        // The console's tray menu with its pictures, and the one of start and stop that applies.
        tray->click(TrayRightButtonUp);
        QTRY_VERIFY(console.menu()->isVisible());
        const auto *start = console.menu()->findChild<QAction *>(u"m_start"_s);
        const auto *stop = console.menu()->findChild<QAction *>(u"m_stop"_s);
        QCOMPARE(std::make_pair(start->isVisible(), stop->isVisible()),
                 std::make_pair(!engineAfter, engineAfter));
        QCOMPARE(stop->property(kMenuPictureNameProperty).toString(), u"server.dll:6"_s);
    }

    void status_data()
    {
        QTest::addColumn<bool>("rehearsalFoundLastBad");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("lines");
        const QString engine = u"数据库服务: 运行中 (端口 "_s + QString::number(m_enginePort) + u')';
        const QString client = u"客户端连接服务: 运行中 (端口 "_s + QString::number(m_clientPort) + u')';
        QTest::newRow("all well") << false << 0
                                  << QStringList{u"GARVINASERVER OK - 上次成功备份时间："_s, engine, client,
                                                 u"备份警告: 无"_s};
        QTest::newRow("alarm on") << true << 2
                                  << QStringList{engine, u"备份警告: 最近26小时内没有成功的备份"_s};
    }
    void status()
    {
        QFETCH(bool, rehearsalFoundLastBad);
        QFETCH(int, code);
        QFETCH(QStringList, lines);
        if (rehearsalFoundLastBad) {
            BackupState state = loadBackupState(m_folder.gs_path);
            state.failedFolders << state.lastGoodFolder;
            QVERIFY(saveBackupState(LinuxFileSystem(), m_folder.gs_path, state));
        }
        // The service reads the state file again within a second of its change.
        QPair<int, QString> shown;
        QTRY_COMPARE_WITH_TIMEOUT((shown = runStatus()).first, code, 10000);
        for (const QString &line : lines)
            QVERIFY2(shown.second.contains(line), qPrintable(shown.second));
    }

    /// A fetch from off-site that cannot be made says why and leaves the folder as it was.
    void fetchOffsiteRefusals_data()
    {
        QTest::addColumn<bool>("folderGiven");
        QTest::addColumn<bool>("databaseThere");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("said");
        QTest::newRow("no folder") << false << false << 2
                                   << u"usage: garvinaserver --fetch-offsite <folder>"_s;
        QTest::newRow("a database there") << true << true << 1 << u"garvina.db 已经存在,请换一个目录!"_s;
        QTest::newRow("no repository set")
            << true << false << 1 << u"取回异地备份失败:没有设置异地备份位置!"_s;
    }
    void fetchOffsiteRefusals()
    {
        QFETCH(bool, folderGiven);
        QFETCH(bool, databaseThere);
        QFETCH(int, code);
        QFETCH(QString, said);
        QTemporaryDir target;
        QFile kept(target.filePath(u"garvina.db"_s));
        if (databaseThere) {
            QVERIFY(kept.open(QIODevice::WriteOnly));
            kept.write("the shop's other copy");
            kept.close();
        }
        QStringList arguments{u"--fetch-offsite"_s};
        if (folderGiven)
            arguments << target.path();
        const auto [exitCode, output] = runProgram(arguments, true);
        QCOMPARE(exitCode, code);
        QVERIFY2(output.contains(said), qPrintable(output));
        QCOMPARE(QDir(target.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 databaseThere ? QStringList{u"garvina.db"_s} : QStringList());
        if (databaseThere) {
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), QByteArray("the shop's other copy"));
        }
    }

    /// A hand edit is taken up within seconds, a value that cannot be read is named, and SIGHUP
    /// (systemctl reload) reads the file again without ending the service.
    void configurationReadAgain()
    {
        const QTime later = QTime::currentTime().addSecs(3 * 3600);
        if (later < QTime::currentTime())
            QSKIP("the new backup time would fall on the next day");
        const QString at = later.toString(u"HH:mm:00"_s);
        QVERIFY(
            m_folder.config().write(QList<ProfileFile::Entry>{{u"backup"_s, u"backuptime1"_s, at},
                                                              {u"backup"_s, u"backuptime2"_s, u"25:00:00"_s},
                                                              {u"backup"_s, u"backuptime3"_s, at}}));
        QTRY_VERIFY_WITH_TIMEOUT(
            output().contains(u"配置文件中的设置无法识别,已忽略:[backup] backuptime2=25:00:00"_s), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(runStatus().second.contains(at.left(5)), 10000);
        const qsizetype reads = output().count(u"已重新读取配置文件"_s);
        QVERIFY(::kill(pid_t(m_service.processId()), SIGHUP) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(output().count(u"已重新读取配置文件"_s), reads + 1, 10000);
        QCOMPARE(m_service.state(), QProcess::Running);
        QVERIFY(runStatus().first != 3); // it still answers
    }

    void sigtermEndsInOrder()
    {
        m_service.terminate();
        QVERIFY(notified("STOPPING=1", 30000));
        QVERIFY(m_service.waitForFinished(60000));
        QCOMPARE(m_service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_service.exitCode(), 0);
        QVERIFY(!f_findwindows_garvinanet(m_folder.gs_path));
        const auto [code, text] = runStatus();
        QCOMPARE(code, 3);
        QCOMPARE(text.trimmed(), u"GARVINASERVER UNKNOWN - 服务端未运行"_s);
        // A desktop console started on the installed service's folder does not work on it alone.
        test::RecordingMessageBoxes boxes;
        QCOMPARE(runAttachedWhenServiceRuns(m_folder.gs_path, boxes, /*serviceOnly=*/true), 1);
        QCOMPARE(boxes.texts(),
                 QStringList{u"系统服务已停止,请由管理员执行 systemctl start garvinaserver 启动服务!"_s});
        QCOMPARE(runAttachedWhenServiceRuns(m_folder.gs_path, boxes), -1);
    }

    /// A scheduled backup that fails says why in its one journal line. An engine that cannot be started
    /// again (its port taken once it died): START says so, and after the last start allowed the service
    /// fails, for its manager to act.
    void engineThatCannotStayUpFailsTheService()
    {
        test::ServiceProcess service(u"服务-引擎"_s);
        const QString at = QDateTime::currentDateTime().addSecs(30).time().toString(u"HH:mm:ss"_s);
        QString log;
        QVERIFY2(service.start({{u"backup"_s, u"backuppath"_s, u"/proc/garvina-backup/"_s},
                                {u"backup"_s, u"backuptype"_s, u"1"_s},
                                {u"backup"_s, u"backuptime1"_s, at},
                                {u"backup"_s, u"backuptime2"_s, at},
                                {u"backup"_s, u"backuptime3"_s, at}},
                               &log),
                 qPrintable(log));
        QVERIFY2(service.notified("READY=1", 60000), qPrintable(service.output()));
        if (at > u"00:00:30"_s) {
            QTRY_VERIFY_WITH_TIMEOUT(service.output().contains(u" 备份数据库出错! 原因:"_s), 60000);
            const QString line =
                service.output().section(u" 备份数据库出错! 原因:"_s, 1).section(u'\n', 0, 0);
            QVERIFY2(line.contains(u"/proc/garvina-backup"_s), qPrintable(line));
        }
        const qint64 pid = runningEnginePid(service.folder.gs_path);
        QVERIFY(::kill(pid_t(pid), SIGKILL) == 0);
        QTcpServer squatter;
        QVERIFY(QTest::qWaitFor(
            [&] { return squatter.listen(QHostAddress::Any, quint16(service.enginePort)); }, 5000));
        QTRY_VERIFY_WITH_TIMEOUT(service.output().contains(u"数据库服务重新启动失败!"_s), 60000);
        const auto answer = sendControlRequest(service.folder.gs_path, u"START"_s, 120000);
        QVERIFY2(!answer || answer->first == 1, qPrintable(answer->second));
        QVERIFY(service.process.waitForFinished(120000));
        QCOMPARE(service.process.exitCode(), 1);
        QVERIFY2(service.output().contains(u"数据库服务多次重新启动失败,服务退出!"_s),
                 qPrintable(service.output()));
        QVERIFY(!f_findwindows_garvinanet(service.folder.gs_path));
    }
};

QTEST_MAIN(TestServiceMode)
#include "tst_service_mode.moc"
