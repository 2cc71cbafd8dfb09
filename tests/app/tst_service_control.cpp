// The service's control socket under clients that misbehave: clients that leave while their start
// or backup runs, a flood of connections, its socket file removed; and the reply's fields.
#include "app/servicemode.h"
#include "maintenance/consolestatus.h"
#include "platform/listeningsocket.h"
#include "support/rawpeer.h"
#include "support/serviceprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using test::RawClient;

namespace {

bool isSocketFile(const QString &path)
{
    return socketFileInode(path) != 0;
}

} // namespace

class TestServiceControl : public QObject
{
    Q_OBJECT

    static constexpr int MaxConnections = 16; // the service's bound

    test::ServiceProcess m_service{u"控制"_s};
    QString m_backupRoot;

    QString socketPath() const { return controlSocketPath(m_service.folder.gs_path); }
    std::optional<ConsoleStatus> statusNow(int timeoutMs = 1000) const
    {
        const auto reply = sendControlRequest(m_service.folder.gs_path, u"STATUS"_s, timeoutMs);
        return reply ? parseStatusFields(reply->second) : std::nullopt;
    }
    qsizetype backups() const
    {
        return QDir(m_backupRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Backups only when asked for: the schedule's times passed an hour ago.
        const QString past = QTime::currentTime().addSecs(-3600).toString(u"HH:mm:ss"_s);
        m_backupRoot = m_service.folder.homePath() + u"/备份/"_s;
        QString log;
        QVERIFY2(m_service.start({{u"backup"_s, u"backuppath"_s, m_backupRoot},
                                  {u"backup"_s, u"backuptype"_s, u"1"_s},
                                  {u"backup"_s, u"backuptime1"_s, past},
                                  {u"backup"_s, u"backuptime2"_s, past},
                                  {u"backup"_s, u"backuptime3"_s, past},
                                  {u"backup"_s, u"rehearsal_time"_s, QString()}},
                                 &log),
                 qPrintable(log));
        QVERIFY2(m_service.notified("READY=1", 60000), qPrintable(m_service.output()));
    }

    void replyFields_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<ConsoleStatus>("expected");
        ConsoleStatus busy;
        busy.serviceOn = busy.engineUp = busy.clientUp = busy.alarm = true;
        busy.enginePort = 3050;
        busy.clientPort = 9000;
        busy.work = WorkKind::Backup;
        busy.lastGood = QDateTime(QDate(2024, 5, 1), QTime(2, 0));
        busy.nextBackupLine = u"下次备份时间: 2024-05-02 02:00:00"_s;
        busy.lastGoodLine = u"上次成功备份时间：2024-05-01 02:00:00"_s;
        busy.alarmText = u"最近26小时内没有成功的备份"_s;
        busy.alarmHours = 26;
        busy.lastBackupError = u"备份时,连接数据库出错!"_s;
        const ConsoleStatus stopped; // down, never backed up
        ConsoleStatus down = busy;
        down.engineUp = false;
        QTest::newRow("busy, alarm up") << "1\n" + statusFields(busy).toUtf8() << true << busy;
        QTest::newRow("stopped") << "1\n" + statusFields(stopped).toUtf8() << true << stopped;
        QTest::newRow("engine down") << "1\n" + statusFields(down).toUtf8() << true << down;
        QTest::newRow("no code line") << statusFields(busy).toUtf8() << false << stopped;
        QTest::newRow("engine missing")
            << "0\n" + statusFields(busy).remove(u"engine=running\n"_s).toUtf8() << false << stopped;
        QTest::newRow("unknown work")
            << "0\n" + statusFields(busy).replace(u"work=backup"_s, u"work=format"_s).toUtf8() << false
            << stopped;
        QTest::newRow("a command's reply")
            << "1\nresult=busy\ntext=服务端正忙,请稍后再试!\n"_ba << false << stopped;
    }
    void replyFields()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, valid);
        QFETCH(ConsoleStatus, expected);
        const auto parsed = parseControlReply(reply);
        const auto status = parsed ? parseStatusFields(parsed->second) : std::nullopt;
        QCOMPARE(status.has_value(), valid);
        if (!valid)
            return;
        QVERIFY(*status == expected);
        QCOMPARE(statusText(*status), statusText(expected));
    }

    void monitoringCodes_data()
    {
        QTest::addColumn<ConsoleStatus>("status");
        QTest::addColumn<int>("hoursAfterLastGood");
        QTest::addColumn<QString>("line"); // the code is the word's place: OK, WARNING, CRITICAL
        ConsoleStatus well;
        well.serviceOn = well.engineUp = well.clientUp = true;
        well.alarmHours = 26;
        well.lastGood = QDateTime(QDate(2024, 5, 1), QTime(2, 0));
        well.lastGoodLine = u"上次成功备份时间：2024-05-01 02:00:00"_s;
        ConsoleStatus failed = well, alarm = well, engineDown = well, off = well;
        failed.lastBackupError = u"备份磁盘空间不足"_s;
        alarm.alarm = true;
        alarm.alarmText = u"最近26小时内没有成功的备份"_s;
        engineDown.engineUp = false;
        off.serviceOn = false;
        QTest::newRow("all well") << well << 24 << u"OK - 上次成功备份时间：2024-05-01 02:00:00"_s;
        QTest::newRow("alarm near") << well << 25
                                    << u"WARNING - 距上次成功备份已超过 25 小时,接近备份警告的 26 小时"_s;
        QTest::newRow("last backup failed") << failed << 1 << u"WARNING - 上次备份失败: 备份磁盘空间不足"_s;
        QTest::newRow("alarm up") << alarm << 27 << u"CRITICAL - 备份警告: 最近26小时内没有成功的备份"_s;
        QTest::newRow("engine down") << engineDown << 1 << u"CRITICAL - 数据库服务: 已停止"_s;
        QTest::newRow("stopped by the user") << off << 1 << u"CRITICAL - 服务端已停止,不执行备份任务"_s;
    }
    void monitoringCodes()
    {
        QFETCH(ConsoleStatus, status);
        QFETCH(int, hoursAfterLastGood);
        QFETCH(QString, line);
        const MonitoringVerdict verdict =
            monitoringVerdict(status, status.lastGood.addSecs(hoursAfterLastGood * 3600));
        QCOMPARE(verdict.line, u"GARVINASERVER "_s + line);
        QCOMPARE(verdict.code,
                 int(QStringList{u"OK"_s, u"WARNING"_s, u"CRITICAL"_s}.indexOf(line.section(u' ', 0, 0))));
    }

    void clientLeavesEarly_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<bool>("halfClose");
        QTest::newRow("start, closed after 0.2 s") << u"START"_s << false;
        QTest::newRow("start, half-closed") << u"START"_s << true;
        QTest::newRow("backup, closed after 0.2 s") << u"BACKUP"_s << false;
        QTest::newRow("backup, half-closed") << u"BACKUP"_s << true;
    }
    void clientLeavesEarly()
    {
        QFETCH(QString, request);
        QFETCH(bool, halfClose);
        const QString &gs_path = m_service.folder.gs_path;
        if (request == u"START"_s)
            QVERIFY(sendControlRequest(gs_path, u"STOP"_s, 120000));
        const qsizetype backupsBefore = backups();
        RawClient client(socketPath());
        QVERIFY(client.connected());
        QVERIFY(client.send(request.toUtf8() + '\n'));
        if (halfClose)
            client.halfClose();
        // Beside the running command: the state at once, and a second command refused.
        QElapsedTimer clock;
        clock.start();
        QVERIFY(statusNow(5000));
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        const auto second = sendControlRequest(gs_path, request, 5000);
        QVERIFY(second);
        QCOMPARE(second->first, 1);
        QCOMPARE(controlReplyField(second->second, u"result"_s), u"busy"_s);
        QCOMPARE(controlReplyText(second->second), u"服务端正忙,请稍后再试!"_s);
        QTest::qWait(200);
        client.close();

        // The service lives on, answers, and the command ran to its end for nobody.
        std::optional<ConsoleStatus> status;
        QTRY_VERIFY_WITH_TIMEOUT((status = statusNow()) && status->work == WorkKind::None, 120000);
        QCOMPARE(m_service.process.state(), QProcess::Running);
        QVERIFY(status->serviceOn && status->engineUp);
        QCOMPARE(backups(), backupsBefore + (request == u"BACKUP"_s ? 1 : 0));
        // The command's after-care (health, balloons) may outlast its work: the next row waits for it.
        const auto takenAgain = [&] {
            const auto reply = sendControlRequest(gs_path, u"START"_s, 5000);
            return reply && controlReplyField(reply->second, u"result"_s) == u"ok"_s;
        };
        QTRY_VERIFY_WITH_TIMEOUT(takenAgain(), 60000);
    }

    void flood_data()
    {
        QTest::addColumn<QString>("after"); // what follows the flood
        QTest::addColumn<int>("answerMsecs");
        // The connections held without a word give their places to a newcomer at once.
        QTest::newRow("clients hold") << u"hold"_s << 3000;
        QTest::newRow("clients leave") << u"leave"_s << 3000;
        QTest::newRow("socket file removed") << u"remove"_s << 8000;
    }
    void flood()
    {
        QFETCH(QString, after);
        QFETCH(int, answerMsecs);
        std::vector<std::unique_ptr<RawClient>> clients;
        if (after == u"remove"_s) {
            QVERIFY(QFile::remove(socketPath()));
        } else {
            // 300 connections as fast as the service takes them, for 5 s at most.
            QDeadlineTimer deadline(5000);
            int tries = 0;
            while (clients.size() < 300 && !deadline.hasExpired()) {
                ++tries;
                auto client = std::make_unique<RawClient>(socketPath());
                if (client->connected())
                    clients.push_back(std::move(client));
                else
                    QThread::usleep(500); // the backlog is full for a moment
            }
            const auto open = [&clients] {
                return std::count_if(clients.begin(), clients.end(),
                                     [](const auto &c) { return !c->closedByService(); });
            };
            // Beyond its bound the service closes them at once, not after the 10 s of a silent one.
            QTRY_VERIFY_WITH_TIMEOUT(open() <= MaxConnections, 5000);
            qInfo("flood: %d tries, %zu connections opened, %td served, %td closed at once", tries,
                  clients.size(), open(), static_cast<std::ptrdiff_t>(clients.size()) - open());
            QVERIFY(open() > 0);
            if (after == u"leave"_s)
                clients.clear();
        }
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(statusNow(), answerMsecs);
        qInfo("%s: STATUS answered after %lld ms", qPrintable(after), clock.elapsed());
        QCOMPARE(m_service.process.state(), QProcess::Running);
        QVERIFY(isSocketFile(socketPath()));
    }
};

QTEST_GUILESS_MAIN(TestServiceControl)
#include "tst_service_control.moc"
