// The engine of a program folder, for real: a private Firebird server on a free port.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "engine/fbservice.h"
#include "platform/endrequest.h"
#include "support/enginefixture.h"

#include <QScopeGuard>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestEngineControl : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    std::unique_ptr<test::TestProgramFolder> &m_folder = m_fx.folder;
    test::RecordingMessageBoxes &m_boxes = m_fx.boxes;
    test::RecordingLauncher &m_launcher = m_fx.launcher;
    AppContext &m_ctx = m_fx.ctx;
    std::unique_ptr<EngineControl> &m_engine = m_fx.engine;
    int m_port = 0;

    int goodsCount()
    {
        if (!m_engine->f_connectdb())
            return -1;
        QSqlQuery q(m_engine->sqlca().database());
        const int n = (q.exec(u"select count(*) from goods"_s) && q.next()) ? q.value(0).toInt() : -1;
        q.finish();
        m_engine->sqlca().disconnect();
        return n;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
    }

    void init()
    {
        m_boxes.shown.clear();
        m_launcher.calls.clear();
        m_port = test::TestProgramFolder::freePort();
        m_folder->setPort(m_port);
    }

    void cleanup() { m_folder->killEngine(); }

    void otherTextsDoNothing()
    {
        for (const QString &type : {u"start"_s, u""_s, QString(), u"STOP "_s, u"RESTART"_s})
            QVERIFY(m_engine->f_db_server(type));
        QVERIFY(m_launcher.calls.isEmpty());
        QVERIFY(m_boxes.shown.isEmpty());
    }

    void startWithoutDatabaseLaunchesNothing()
    {
        const QString db = m_folder->gs_path + u"data/garvina.db"_s;
        QVERIFY(QFile::rename(db, db + u".away"_s));
        const bool result = m_engine->f_db_server(u"START"_s);
        QVERIFY(QFile::rename(db + u".away"_s, db));
        QVERIFY(!result);
        QVERIFY(m_launcher.calls.isEmpty());
        QVERIFY(m_boxes.shown.isEmpty());
        QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));
    }

    void startStopStart()
    {
        m_ctx.gb_start = true;
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QVERIFY2(m_boxes.shown.isEmpty(), qPrintable(m_boxes.texts().join(u'\n')));
        QVERIFY(!m_ctx.gb_start); // the longer wait of an automatic start is used once
        QCOMPARE(m_launcher.calls.size(), 1);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path));
        QVERIFY(!m_engine->sqlca().isConnected()); // no connection held while idle
        QVERIFY(goodsCount() > 0);

        // The engine runs detached: a second console object finds and uses it.
        EngineControl other(m_ctx);
        QVERIFY(other.f_connectdb());
        other.sqlca().disconnect();

        const qint64 pid = runningEnginePid(m_ctx.gs_path);
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
        QVERIFY(!processAlive(pid)); // really ended when STOP returns
        QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));
        QVERIFY(m_boxes.shown.isEmpty());
        QVERIFY(!m_engine->f_connectdb());

        // STOP with nothing running, and with no connection open, does nothing and says nothing.
        QVERIFY(m_engine->f_db_server(u"STOP"_s));

        QVERIFY(m_engine->f_db_server(u"START"_s));
        QVERIFY(m_boxes.shown.isEmpty());
        QVERIFY(goodsCount() > 0);
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
    }

    void dataportChangeMovesEngineAndDataSource()
    {
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
        const int newPort = test::TestProgramFolder::freePort();
        m_folder->setPort(newPort);
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QVERIFY(m_boxes.shown.isEmpty());
        QCOMPARE(listenerOf(newPort, runningEnginePid(m_ctx.gs_path)), runningEnginePid(m_ctx.gs_path));
        QCOMPARE(ProfileFile(odbcIniPath()).read(u"GARVINA Server"_s, u"CommLinks"_s, QString()),
                 u"TCPIP{host=127.0.0.1;ServerPort="_s + QString::number(newPort) + u";}"_s);
        // The configured port changed while it runs: the stop still reaches the engine.
        m_folder->setPort(m_port);
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
        QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));
    }

    void portTakenByAnotherListener()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, static_cast<quint16>(m_port)));
        QVERIFY(m_engine->f_db_server(u"START"_s)); // still true, as callers expect
        QCOMPARE(m_boxes.shown.size(), 1);
        QCOMPARE(m_boxes.last().title, u"提示"_s);
        QCOMPARE(m_boxes.last().icon, MsgIcon::StopSign);
        QVERIFY2(m_boxes.last().text.startsWith(u"连接数据库失败! 错误代码:"_s),
                 qPrintable(m_boxes.last().text));
        QVERIFY2(m_boxes.last().text.contains(QString::number(m_port)), qPrintable(m_boxes.last().text));
        // The data source names the configured port all the same.
        QCOMPARE(ProfileFile(odbcIniPath()).read(u"GARVINA Server"_s, u"CommLinks"_s, QString()),
                 u"TCPIP{host=127.0.0.1;ServerPort="_s + QString::number(m_port) + u";}"_s);
        // The engine that could not listen is not left behind to fool the probe.
        QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));
        squatter.close();

        // A second start after the failed one works.
        m_boxes.shown.clear();
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QVERIFY(m_boxes.shown.isEmpty());
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
    }

    void dataportOutOfRangeLaunchesNothing_data()
    {
        QTest::addColumn<QString>("port");
        for (const char *port : {"92756", "65536", "0", "-1", "abc"})
            QTest::newRow(port) << QString::fromLatin1(port);
    }

    void dataportOutOfRangeLaunchesNothing()
    {
        QFETCH(QString, port);
        m_folder->config().write(u"server"_s, u"dataport"_s, port);
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QVERIFY(m_launcher.calls.isEmpty());
        QCOMPARE(m_boxes.texts(),
                 QStringList{u"连接数据库失败! 错误代码:数据库端口 "_s + port + u" 无效!"_s});
        QCOMPARE(m_boxes.last().icon, MsgIcon::StopSign);
    }

    void engineFoundWithoutItsPidFile()
    {
        QVERIFY(m_engine->f_db_server(u"START"_s));
        const qint64 pid = runningEnginePid(m_ctx.gs_path);
        QVERIFY(pid > 0);
        // Its output goes to the instance's log, not to ours.
        QVERIFY(LinuxProcessTable().holdersOf(m_folder->gs_path + u"tool/firebird.log"_s).contains(pid));

        // The console died before the pid file was written: the engine is found by what it is.
        QVERIFY(QFile::remove(enginePidFile(m_ctx.gs_path)));
        QCOMPARE(runningEnginePid(m_ctx.gs_path), pid);
        QFile pidFile(enginePidFile(m_ctx.gs_path));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        QCOMPARE(pidFile.readAll().trimmed().toLongLong(), pid); // written again

        QVERIFY(QFile::remove(enginePidFile(m_ctx.gs_path)));
        QVERIFY(m_engine->f_db_server(u"START"_s)); // the running engine is used: no second one
        QVERIFY2(m_boxes.shown.isEmpty(), qPrintable(m_boxes.texts().join(u'\n')));
        QCOMPARE(m_launcher.calls.size(), 1);
        QVERIFY(goodsCount() > 0);
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
        QVERIFY(!processAlive(pid));
    }

    void probeAfterKillAndStalePidFile()
    {
        QVERIFY(m_engine->f_db_server(u"START"_s));
        const qint64 pid = runningEnginePid(m_ctx.gs_path);
        QVERIFY(pid > 0);
        QVERIFY(LinuxProcessTable().send(pid, ProcessTable::Signal::Kill));
        QTRY_VERIFY(!processAlive(pid));
        QVERIFY(QFile::exists(enginePidFile(m_ctx.gs_path)));
        QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));

        // A pid file naming some other live program is not the engine either.
        QFile pidFile(enginePidFile(m_ctx.gs_path));
        QVERIFY(pidFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
        pidFile.write(QByteArray::number(QCoreApplication::applicationPid()));
        pidFile.close();
        QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));

        QVERIFY(m_engine->f_db_server(u"START"_s));
        QVERIFY(m_boxes.shown.isEmpty());
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path));
        QVERIFY(goodsCount() > 0);
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
    }

    void connectRewritesDataSourceAndReportsErrors()
    {
        QVERIFY(m_engine->f_db_server(u"START"_s));
        const ProfileFile dsn(odbcIniPath());
        const QString section = u"GARVINA Server"_s;
        for (const QString &key : {u"Driver"_s, u"UID"_s, u"PWD"_s, u"DatabaseName"_s, u"AutoStop"_s,
                                   u"EngineName"_s, u"CommLinks"_s})
            QVERIFY(dsn.write(section, key, u"tampered"_s));
        QVERIFY(dsn.write(u"ODBC Data Sources"_s, section, u"tampered"_s));

        QVERIFY(m_engine->f_connectdb());
        QCOMPARE(m_engine->sqlca().sqlCode(), 0);
        m_engine->sqlca().disconnect();
        QCOMPARE(dsn.read(section, u"DatabaseName"_s, QString()), u"GARVINANET"_s);
        QCOMPARE(dsn.read(section, u"EngineName"_s, QString()), u"GARVINANET"_s);
        QCOMPARE(dsn.read(section, u"AutoStop"_s, QString()), u"No"_s);
        QCOMPARE(dsn.read(section, u"UID"_s, u"x"_s), QString());
        QCOMPARE(dsn.read(section, u"PWD"_s, u"x"_s), QString());
        QVERIFY(dsn.read(section, u"Driver"_s, QString()) != u"tampered"_s);
        QVERIFY(dsn.read(u"ODBC Data Sources"_s, section, QString()) != u"tampered"_s);

        // A wrong password: SQL code not 0 and the engine's readable text.
        const QString pwFile = m_folder->gs_path + u"tool/dba.password"_s;
        QFile f(pwFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray real = f.readAll();
        f.close();
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("wrong-password");
        f.close();
        const bool connected = m_engine->f_connectdb();
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(real);
        f.close();
        QVERIFY(!connected);
        QVERIFY(m_engine->sqlca().sqlCode() != 0);
        QVERIFY2(m_engine->sqlca().sqlErrText().contains(u"password"_s, Qt::CaseInsensitive),
                 qPrintable(m_engine->sqlca().sqlErrText()));
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
    }

    /// An engine that listens but does not answer (stopped with SIGSTOP): a connect, a start and a
    /// stop give up after their bound or once the console's end is asked for, with the window's
    /// events still served meanwhile; the engine answers again afterwards.
    void deafEngineIsGivenUpOn_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("endRequest");
        QTest::addColumn<QString>("text");
        QTest::newRow("connect, bound") << u"connect"_s << false << u"数据库服务 1 秒内无应答"_s;
        QTest::newRow("connect, end requested") << u"connect"_s << true << u"服务端正在退出"_s;
        QTest::newRow("start") << u"start"_s << false
                               << u"连接数据库失败! 错误代码:数据库服务 1 秒内无应答"_s;
        QTest::newRow("start, end requested") << u"start"_s << true << QString();
        QTest::newRow("stop") << u"stop"_s << false << QString();
        QTest::newRow("service log-in") << u"login"_s << false << u"数据库服务 1 秒内无应答"_s;
    }
    void deafEngineIsGivenUpOn()
    {
        QFETCH(QString, step);
        QFETCH(bool, endRequest);
        QFETCH(QString, text);
        QVERIFY(m_engine->f_db_server(u"START"_s));
        const qint64 pid = runningEnginePid(m_ctx.gs_path);
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid_t(pid), SIGSTOP), 0);
        const auto resume = qScopeGuard([pid] {
            takeUpEndRequest();
            ::kill(pid_t(pid), SIGCONT);
        });
        m_engine->sqlca().setConnectBoundMs(endRequest ? 600000 : 1000);
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            if (++ticks == 10 && endRequest)
                requestEnd();
        });
        ticker.start(20);

        if (step == u"connect"_s) {
            QVERIFY(!m_engine->f_connectdb());
            QCOMPARE(m_engine->sqlca().sqlErrText(), text);
        } else if (step == u"start"_s) {
            QVERIFY(m_engine->f_db_server(u"START"_s));
            QCOMPARE(m_boxes.texts().join(u'|'), text);
        } else if (step == u"stop"_s) {
            QVERIFY(m_engine->f_db_server(u"STOP"_s));
            QVERIFY(LinuxProcessTable().alive(pid)); // not stopped without a log-in, nor killed
        } else {
            FbServiceTarget target;
            target.port = m_port;
            target.user = u"DBA"_s;
            target.password = readDbaPassword(m_ctx.gs_path);
            target.attachBoundMs = 1000;
            const FbResult login = fbCheckServiceLogin(target);
            QVERIFY(!login.ok);
            QCOMPARE(login.error, text);
        }
        QVERIFY(ticks >= 10); // the wait ran the event loop
        takeUpEndRequest();

        ::kill(pid_t(pid), SIGCONT);
        m_engine->sqlca().setConnectBoundMs(10000);
        QVERIFY2(m_engine->f_connectdb(), qPrintable(m_engine->sqlca().sqlErrText()));
        m_engine->sqlca().disconnect();
        QCOMPARE(runningEnginePid(m_ctx.gs_path), pid);
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
    }

    /// The watch's decisions, one letter a check a second apart ('.' serving, 'g' gone, 'n' not
    /// listening, '-' ten minutes pass, 'r' the service started by hand): what it does each time.
    void engineWatchDecides_data()
    {
        QTest::addColumn<QString>("checks");
        QTest::addColumn<QString>("actions"); // R restart, X give up, . nothing
        QTest::newRow("gone: started again at once") << u".g."_s << u".R."_s;
        QTest::newRow("three starts that do not hold, then given up once") << u"ggggg"_s << u"RRRX."_s;
        QTest::newRow("a deaf engine gets its grace") << u"nnnnnnnnnnn"_s << u"..........R"_s;
        QTest::newRow("the grace starts again after it listened")
            << u"nnnnn.nnnnnnnnnn"_s << u"................"_s;
        QTest::newRow("starts age out of the window") << u"ggg-g"_s << u"RRR.R"_s;
        QTest::newRow("a start by hand after giving up") << u"ggggrg"_s << u"RRRX.R"_s;
    }
    void engineWatchDecides()
    {
        QFETCH(QString, checks);
        QFETCH(QString, actions);
        EngineWatch watch;
        QDateTime now(QDate(2013, 8, 30), QTime(9, 0));
        QString done;
        for (const QChar c : checks) {
            now = now.addSecs(c == u'-' ? EngineWatch::WindowSecs : 1);
            if (c == u'r')
                watch.reset();
            const EngineFault fault = c == u'g'   ? EngineFault::Gone
                                      : c == u'n' ? EngineFault::NotListening
                                                  : EngineFault::None;
            const EngineWatch::Action action = watch.check(fault, now);
            if (action == EngineWatch::Action::Restart)
                watch.restarted(now);
            done += action == EngineWatch::Action::Restart  ? u'R'
                    : action == EngineWatch::Action::GiveUp ? u'X'
                                                            : u'.';
        }
        QCOMPARE(done, actions);
    }

    void passwordNeverOnACommandLine()
    {
        QVERIFY(m_engine->f_db_server(u"START"_s));
        const QByteArray password = readDbaPassword(m_ctx.gs_path).toUtf8();
        QVERIFY(password.size() >= 8);
        const LinuxProcessTable processes;
        int seen = 0;
        for (const qint64 pid : processes.processes().value_or(QList<qint64>())) {
            const QByteArrayList args = processes.commandLine(pid);
            if (args.isEmpty())
                continue;
            ++seen;
            QVERIFY2(!args.join(' ').contains(password), qPrintable(QString::number(pid)));
        }
        QVERIFY(seen > 3);
        for (const auto &call : std::as_const(m_launcher.calls)) {
            QVERIFY(!call.arguments.join(u' ').toUtf8().contains(password));
            QVERIFY(!call.environment.join(u' ').toUtf8().contains(password));
        }
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
    }

    void secondStartOrStopDuringTheWaitDoesNothing()
    {
        // A server that takes half a second to come up, so that the start has to wait.
        QTemporaryDir tmp;
        const QString slowServer = tmp.filePath(u"slow-firebird"_s);
        QFile script(slowServer);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nsleep 0.5\nexec /usr/sbin/firebird \"$@\"\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        EngineControlOptions slow;
        slow.serverProgram = slowServer;
        const auto engine = std::make_unique<EngineControl>(m_ctx, slow);

        bool busySeen = false;
        bool nestedResult = false;
        QTimer nested;
        nested.setSingleShot(true);
        connect(&nested, &QTimer::timeout, this, [&] {
            busySeen = engine->busy();
            nestedResult = engine->f_db_server(u"STOP"_s) && engine->f_db_server(u"START"_s);
        });
        nested.start(1);
        QVERIFY(engine->f_db_server(u"START"_s));
        QVERIFY(busySeen);
        QVERIFY(nestedResult);
        QCOMPARE(m_launcher.calls.size(), 1);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path)); // the nested STOP did not stop it
        QVERIFY(m_boxes.shown.isEmpty());
        QVERIFY(engine->f_db_server(u"STOP"_s));
    }
};

QTEST_GUILESS_MAIN(TestEngineControl)
#include "tst_enginecontrol.moc"
