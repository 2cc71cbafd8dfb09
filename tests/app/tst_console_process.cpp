// The console as a whole program: started from a program folder, a second copy refused, and the
// orderly end on SIGTERM.
#include "platform/filesystem.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"
#include "support/enginefixture.h"
#include "support/testprogramfolder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::Literals::StringLiterals;

class TestConsoleProcess : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_folder;

    QProcessEnvironment env() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        e.insert(u"HOME"_s, m_dir.path());
        return e;
    }

    /// Runs a console to its end and returns its exit code and standard error.
    QPair<int, QString> runToEnd(const QString &program, const QStringList &args, const QString &cwd)
    {
        garvina::ToolRequest request;
        request.program = program;
        request.arguments = args;
        request.workingDirectory = cwd;
        request.extraEnvironment = {u"QT_QPA_PLATFORM=offscreen"_s, u"HOME="_s + m_dir.path()};
        request.output = garvina::ToolRequest::Output::Separate;
        request.timeoutMs = 20000;
        const garvina::ToolResult result = garvina::runTool(request);
        if (result.status == garvina::ToolResult::Status::TimedOut)
            return {-100, QString()};
        return {result.exitCode, QString::fromUtf8(result.errorOutput)};
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString binary = qEnvironmentVariable("GARVINA_BINARY");
        QVERIFY2(QFile::exists(binary), "GARVINA_BINARY must name the built console");
        m_folder = m_dir.path() + u"/店 铺/"_s;
        QVERIFY(QDir().mkpath(m_folder));
        QVERIFY(QFile::copy(binary, m_folder + u"garvinaserver"_s));
    }

    void versionOption()
    {
        QProcess p;
        p.start(m_folder + u"garvinaserver"_s, {u"--version"_s});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("4.5.130829"));
    }

    void programFolderNotFound()
    {
        const QString renamed = m_dir.path() + u"/garvina2"_s;
        QVERIFY(QFile::copy(m_folder + u"garvinaserver"_s, renamed));
        const auto [code, err] = runToEnd(renamed, {}, m_dir.path());
        QCOMPARE(code, 1);
        QVERIFY2(err.contains(u"警告: 获取软件目录信息出错!"_s), qPrintable(err));
    }

    void secondCopyRefusedAndSigtermEndsInOrder()
    {
        QProcess first;
        first.setProcessEnvironment(env());
        // Started from another folder: the program's own folder is found all the same.
        first.setWorkingDirectory(u"/"_s);
        first.start(m_folder + u"garvinaserver"_s, {u"-autorun"_s});
        QVERIFY(first.waitForStarted());
        QVERIFY2(!first.waitForFinished(1500), qPrintable(QString::fromUtf8(first.readAllStandardError())));

        const auto [code, err] = runToEnd(m_folder + u"garvinaserver"_s, {}, m_folder);
        QCOMPARE(code, 1);
        QVERIFY2(err.contains(u"提示: 服务端已经运行,请在任务栏中打开!"_s), qPrintable(err));
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate(); // SIGTERM
        QVERIFY(first.waitForFinished(15000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);

        // With the first one gone, a new copy starts; SIGINT ends it in order too.
        QProcess again;
        again.setProcessEnvironment(env());
        again.setWorkingDirectory(m_folder);
        again.start(m_folder + u"garvinaserver"_s);
        QVERIFY(again.waitForStarted());
        QVERIFY(!again.waitForFinished(1000));
        garvina::LinuxProcessTable().send(again.processId(), garvina::ProcessTable::Signal::Interrupt);
        QVERIFY(again.waitForFinished(15000));
        QCOMPARE(again.exitStatus(), QProcess::NormalExit);
        QCOMPARE(again.exitCode(), 0);
    }

    void sigtermEndsUnderX11()
    {
        // On a real X server the main window refuses to close (it hides instead); the orderly end
        // must not depend on it. A complete program folder, so that the console is really serving.
        const QString xvfb = QStandardPaths::findExecutable(u"xvfb-run"_s);
        if (xvfb.isEmpty())
            QSKIP("xvfb-run is not installed");
        garvina::test::TestProgramFolder folder(u"x11"_s);
        QString log;
        QVERIFY2(folder.layOut(&log), qPrintable(log));
        folder.setPort(garvina::test::TestProgramFolder::freePort());
        folder.config().write(u"system"_s, u"sockect"_s,
                              QString::number(garvina::test::TestProgramFolder::freePort()));
        QVERIFY(QFile::copy(qEnvironmentVariable("GARVINA_BINARY"), folder.gs_path + u"garvinaserver"_s));

        QProcess wrapper;
        QProcessEnvironment e = env();
        e.remove(u"QT_QPA_PLATFORM"_s);
        e.insert(u"HOME"_s, folder.homePath());
        wrapper.setProcessEnvironment(e);
        wrapper.setWorkingDirectory(folder.gs_path);
        wrapper.setProcessChannelMode(QProcess::MergedChannels);
        wrapper.start(xvfb, {u"-a"_s, folder.gs_path + u"garvinaserver"_s});
        QVERIFY(wrapper.waitForStarted());
        // Whatever happens, no console of this test is left behind to count as a running copy later.
        const auto cleanUp = qScopeGuard([&] {
            if (const qint64 left = consolePid(folder.gs_path))
                garvina::LinuxProcessTable().send(left, garvina::ProcessTable::Signal::Kill);
        });
        qint64 console = 0;
        QTRY_VERIFY_WITH_TIMEOUT((console = consolePid(folder.gs_path)) > 0, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(garvina::f_findwindows_garvinanet(folder.gs_path), 20000);
        QTest::qWait(1500);
        garvina::LinuxProcessTable().send(console, garvina::ProcessTable::Signal::Terminate);
        QVERIFY2(wrapper.waitForFinished(20000), "the console did not end on SIGTERM");
        QCOMPARE(wrapper.exitCode(), 0);
        QCOMPARE(consolePid(folder.gs_path), 0);
        // The close hook stopped the engine: the signal did not take the client library down first.
        QVERIFY2(!garvina::f_findwindows_garvinanet(folder.gs_path), wrapper.readAll().constData());
    }

    /// SIGTERM while start-up is busy (a due rebuild, a connect to an engine that listens but does
    /// not answer) ends the console in order, soon, with the shop database untouched.
    void sigtermDuringLongWorkEndsInOrder_data()
    {
        QTest::addColumn<bool>("deafEngine");
        QTest::newRow("due rebuild") << false;
        QTest::newRow("deaf engine") << true;
    }
    void sigtermDuringLongWorkEndsInOrder()
    {
        QFETCH(bool, deafEngine);
        garvina::test::EngineFixture fx;
        QString log;
        QVERIFY2(fx.layOut(&log), qPrintable(log));
        fx.useFreeServicePort();
        const QString gs_path = fx.folder->gs_path;
        const QString live = gs_path + u"data/garvina.db"_s;
        qint64 engine = 0;
        if (deafEngine) {
            QVERIFY(fx.engine->f_db_server(u"START"_s));
            engine = garvina::runningEnginePid(gs_path);
            QCOMPARE(::kill(pid_t(engine), SIGSTOP), 0);
        } else {
            // Rows enough for the rebuild to take a while.
            QVERIFY(!fx.folder
                         ->runSql(live, R"(set term ^;
execute block as declare i integer = 0; begin
  while (i < 150000) do begin
    insert into customers (card_no, name) values ('T' || :i, '顾客');
    i = i + 1;
  end
end^
set term ;^
commit;
select count(*) from customers;)")
                         .isEmpty());
            fx.folder->config().write(
                QList<garvina::ProfileFile::Entry>{{u"dbunload"_s, u"dbunload"_s, u"1"_s},
                                                   {u"dbunload"_s, u"dbunload_day"_s, u"3"_s},
                                                   {u"dbunload"_s, u"dbunload_date"_s, u"2013-01-01"_s}});
        }
        const auto resume = qScopeGuard([engine] {
            if (engine > 0)
                ::kill(pid_t(engine), SIGCONT);
        });
        // The live file is the same file afterwards (a rebuild would have put a new one in its place).
        const auto identity = [&] {
            const auto id = garvina::LinuxFileSystem().identity(live);
            return id ? id->inode : 0;
        };
        const quint64 before = identity();
        QVERIFY(before > 0);
        QVERIFY(QFile::copy(qEnvironmentVariable("GARVINA_BINARY"), gs_path + u"garvinaserver"_s));

        QProcess console;
        QProcessEnvironment e = env();
        e.insert(u"HOME"_s, fx.folder->homePath());
        console.setProcessEnvironment(e);
        console.setWorkingDirectory(gs_path);
        console.setProcessChannelMode(QProcess::MergedChannels);
        console.start(gs_path + u"garvinaserver"_s, {u"-autorun"_s});
        QVERIFY(console.waitForStarted());
        if (deafEngine)
            QVERIFY(!console.waitForFinished(1500)); // inside the connect by now
        else
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(gs_path + u"data/garvina.rebuild.fbk"_s), 30000);
        console.terminate();
        // A connect gives up after 10 s by itself: an end that waited for it would come too late.
        const bool ended = console.waitForFinished(8000);
        const QString output = QString::fromUtf8(console.readAll());
        QVERIFY2(ended, qPrintable(u"the console did not end on SIGTERM: "_s + output));
        QCOMPARE(console.exitStatus(), QProcess::NormalExit);
        QVERIFY2(console.exitCode() == 0, qPrintable(output));
        QVERIFY2(!output.contains(u"连接数据库失败"_s), qPrintable(output));

        QCOMPARE(identity(), before);
        QCOMPARE(QDir(gs_path + u"data"_s).entryList({u"garvina.rebuild.*"_s}, QDir::Files), QStringList());
        if (!deafEngine) {
            QCOMPARE(fx.folder->config().read(u"dbunload"_s, u"dbunload_date"_s, QString()), u"2013-01-01"_s);
            QVERIFY(!garvina::f_findwindows_garvinanet(gs_path));
        } else {
            // Not answering, it was neither stopped nor killed, and answers again afterwards.
            QCOMPARE(garvina::runningEnginePid(gs_path), engine);
            ::kill(pid_t(engine), SIGCONT);
            QVERIFY2(fx.engine->f_connectdb(), qPrintable(fx.engine->sqlca().sqlErrText()));
            fx.engine->sqlca().disconnect();
        }
    }

private:
    static qint64 consolePid(const QString &folder)
    {
        const QString program = folder + u"garvinaserver"_s;
        const garvina::LinuxProcessTable processes;
        for (const qint64 pid : processes.processes().value_or(QList<qint64>())) {
            if (processes.programFile(pid) == program)
                return pid;
        }
        return 0;
    }
};

QTEST_GUILESS_MAIN(TestConsoleProcess)
#include "tst_console_process.moc"
