#include "clientsvc/clientservice.h"

#include "clientsvctesting.h"
#include "core/appcontext.h"

#include "platform/loopbackclient.h"
#include "platform/processhardening.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <climits>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;
using garvina::ClientService;
using garvina::LoopbackClient;
using garvina::test::freePort;
using garvina::test::NotificationRecorder;
using garvina::test::TextCounter;
using garvina::test::Till;
using Notification = garvina::ClientServiceEvent::Notification;

namespace {

const QByteArray kOk = "OK " + garvina::gs_softver().toUtf8();

/// Every connection counts as a machine of its own, so that the per-address bound stays out of the
/// way of tests about something else.
QString eachConnectionItsOwnMachine(const QHostAddress &, quint16 port)
{
    return QString::number(port);
}

/// Limits under which many connections from this one test machine are let in.
ClientService::Limits roomy()
{
    ClientService::Limits l;
    l.maxConnectionsPerAddress = 1000;
    l.helloTimeout = 60s;
    return l;
}

double megabytes(qint64 bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

} // namespace

class TestClientService : public QObject
{
    Q_OBJECT

private:
    /// Sends \a bytes and then a marker line; returns once the service has handled everything before
    /// the marker (texts arrive at \a info in order, so the marker comes last).
    static bool sendAndSettle(Till &till, NotificationRecorder &info, const QByteArray &bytes)
    {
        static int serial = 0;
        const QString marker = u"MARK-%1"_s.arg(++serial);
        till.send(bytes);
        till.send(marker.toUtf8() + '\n');
        return QTest::qWaitFor([&] { return info.texts().contains(marker); }, 5000);
    }
    static QStringList textsBefore(const NotificationRecorder &info, const QString &markerPrefix)
    {
        QStringList out;
        for (const QString &t : info.texts()) {
            if (t.startsWith(markerPrefix))
                break;
            out.append(t);
        }
        return out;
    }

private Q_SLOTS:
    void startRefusesInvalidPorts_data()
    {
        QTest::addColumn<int>("port");
        QTest::newRow("zero (a number that is not a number in the configuration)") << 0;
        QTest::newRow("negative") << -1;
        QTest::newRow("one past the last port") << 65536;
        QTest::newRow("far too large") << 70000;
        QTest::newRow("most negative") << INT_MIN;
        QTest::newRow("largest int") << INT_MAX;
    }
    void startRefusesInvalidPorts()
    {
        QFETCH(int, port);
        ClientService service;
        QCOMPARE(service.StartServer(port), short(ClientService::InvalidPort));
        QVERIFY(!service.isListening());
        QCOMPARE(service.serverPort(), quint16(0));
        // A refused start leaves a service that starts normally afterwards.
        const quint16 good = freePort();
        QCOMPARE(service.StartServer(good), short(ClientService::Started));
        QCOMPARE(service.serverPort(), good);
    }

    void stopWhenNothingRuns()
    {
        NotificationRecorder events;
        ClientService service;
        service.SetEventHwnd(&events);
        QCOMPARE(service.StopServer(), short(0));
        QCOMPARE(service.StopServer(), short(0));
        QVERIFY(!service.isListening());
        QCOMPARE(service.GetClientCount(), 0);
        QCOMPARE(service.GetMachineCount(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(events.size(), 0);
    }

    void startFailsOnTakenPort_data()
    {
        QTest::addColumn<QHostAddress>("blockerAddress");
        QTest::newRow("another program on all interfaces") << QHostAddress(QHostAddress::Any);
        QTest::newRow("another program on all IPv4 interfaces") << QHostAddress(QHostAddress::AnyIPv4);
        QTest::newRow("another program on the loopback only") << QHostAddress(QHostAddress::LocalHost);
    }
    void startFailsOnTakenPort()
    {
        QFETCH(QHostAddress, blockerAddress);
        const quint16 port = freePort();
        auto blocker = std::make_unique<QTcpServer>();
        QVERIFY(blocker->listen(blockerAddress, port));

        ClientService service;
        QCOMPARE(service.StartServer(port), short(ClientService::AddressInUse));
        QVERIFY(!service.isListening());
        QVERIFY(!service.lastError().isEmpty());

        blocker.reset();
        QCOMPARE(service.StartServer(port), short(ClientService::Started));
        QVERIFY(service.lastError().isEmpty());
    }

    void secondStartWhileRunningChangesNothing()
    {
        const quint16 first = freePort();
        const quint16 second = freePort();
        QVERIFY(first != second);
        ClientService service;
        QCOMPARE(service.StartServer(first), short(0));

        Till early;
        early.open(first);
        early.send("HELLO early\n");
        QTRY_COMPARE(early.lines(), QList<QByteArray>{kOk});

        QCOMPARE(service.StartServer(second), short(ClientService::AlreadyRunning));
        QCOMPARE(service.StartServer(first), short(ClientService::AlreadyRunning));
        QCOMPARE(service.serverPort(), first);

        Till onSecond;
        onSecond.open(second);
        QTRY_VERIFY(onSecond.closed);
        QCOMPARE(onSecond.lastError, QAbstractSocket::ConnectionRefusedError);

        // The connection made before is untouched and still served.
        QVERIFY(!early.closed);
        early.send("HELLO early\n");
        QTRY_COMPARE(early.lines().size(), 2);
        QCOMPARE(service.GetClientCount(), 1);
    }

    void lines_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("okReplies");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<int>("machines");

        QTest::newRow("HELLO with LF") << QByteArray("HELLO pos1\n") << 1 << QStringList() << 1;
        QTest::newRow("HELLO with CRLF") << QByteArray("HELLO pos1\r\n") << 1 << QStringList() << 1;
        QTest::newRow("HELLO with a Chinese name and blanks")
            << u"HELLO   收银台 一  \r\n"_s.toUtf8() << 1 << QStringList() << 1;
        QTest::newRow("two HELLOs on one connection are one machine")
            << QByteArray("HELLO a\nHELLO b\n") << 2 << QStringList() << 1;
        QTest::newRow("HELLO is case-sensitive")
            << QByteArray("hello pos1\n") << 0 << QStringList{u"hello pos1"_s} << 0;
        QTest::newRow("HELLO without a name") << QByteArray("HELLO\n") << 0 << QStringList{u"HELLO"_s} << 0;
        QTest::newRow("HELLO with a blank name")
            << QByteArray("HELLO   \r\n") << 0 << QStringList{u"HELLO   "_s} << 0;
        QTest::newRow("HELLO glued to the name")
            << QByteArray("HELLOpos1\n") << 0 << QStringList{u"HELLOpos1"_s} << 0;
        QTest::newRow("plain text") << QByteArray("sale 1001 12.50\n") << 0
                                    << QStringList{u"sale 1001 12.50"_s} << 0;
        QTest::newRow("several lines in one write") << QByteArray("one\r\ntwo\nHELLO t\nthree\n") << 1
                                                    << QStringList{u"one"_s, u"two"_s, u"three"_s} << 1;
        QTest::newRow("empty lines are keep-alives") << QByteArray("\n\r\n\n\r\n") << 0 << QStringList() << 0;
        QTest::newRow("UTF-8 text") << u"退货 3 件\n"_s.toUtf8() << 0 << QStringList{u"退货 3 件"_s} << 0;
        QTest::newRow("invalid UTF-8") << QByteArray("a\xff\xfe"
                                                     "b\n")
                                       << 0
                                       << QStringList{QString::fromUtf8("a\xff\xfe"
                                                                        "b")}
                                       << 0;
        QTest::newRow("NUL bytes") << QByteArray("a\0b\n", 4) << 0 << QStringList{QString(u"a\0b"_s)} << 0;
        QTest::newRow("a lone CR inside a line is kept")
            << QByteArray("x\ry\n") << 0 << QStringList{u"x\ry"_s} << 0;
    }
    void lines()
    {
        QFETCH(QByteArray, sent);
        QFETCH(int, okReplies);
        QFETCH(QStringList, texts);
        QFETCH(int, machines);

        NotificationRecorder events, info;
        ClientService service;
        service.SetEventHwnd(&events);
        service.SetInfoHwnd(&info);
        QCOMPARE(service.StartServer(freePort()), short(0));

        Till till;
        till.open(service.serverPort());
        QVERIFY(sendAndSettle(till, info, sent));
        QCOMPARE(textsBefore(info, u"MARK-"_s), texts);
        QCOMPARE(service.GetMachineCount(), machines);
        QCOMPARE(service.GetClientCount(), 1);

        // Replies to the lines above all come before the reply to this one.
        till.send("HELLO probe\n");
        QTRY_COMPARE(till.lines().size(), okReplies + 1);
        for (const QByteArray &line : till.lines())
            QCOMPARE(line, kOk);
        QVERIFY(!till.closed);
        QCOMPARE(events.count(Notification::socket_onconnect), 1);
        QCOMPARE(events.count(Notification::socket_get_text), 0);
        QCOMPARE(info.count(Notification::socket_onconnect), 0);
    }

    void lineArrivingInPieces()
    {
        NotificationRecorder info;
        ClientService service;
        service.SetInfoHwnd(&info);
        QCOMPARE(service.StartServer(freePort()), short(0));
        Till till;
        till.open(service.serverPort());
        QTRY_VERIFY(till.connected);
        for (const QByteArray &piece : {QByteArray("HEL"), QByteArray("LO po"), QByteArray("s1\r")}) {
            till.send(piece);
            QVERIFY(till.socket.flush() || till.socket.state() != QAbstractSocket::ConnectedState);
            QTest::qWait(20);
            QVERIFY(till.received.isEmpty());
        }
        till.send("\n");
        QTRY_COMPARE(till.lines(), QList<QByteArray>{kOk});
        QCOMPARE(service.GetMachineCount(), 1);
        QCOMPARE(info.size(), 0);
    }

    void textJustBeforeHangingUpArrives()
    {
        NotificationRecorder events, info;
        ClientService service;
        service.SetEventHwnd(&events);
        service.SetInfoHwnd(&info);
        QCOMPARE(service.StartServer(freePort()), short(0));
        Till till;
        till.open(service.serverPort());
        QTRY_COMPARE(service.GetClientCount(), 1);
        till.send("last words\n");
        till.socket.disconnectFromHost();
        QTRY_COMPARE(events.count(Notification::socket_onmyclose), 1);
        QTRY_COMPARE(info.texts(), QStringList{u"last words"_s});
        QCOMPARE(service.GetClientCount(), 0);
    }

    void textsKeepTheirOrder()
    {
        NotificationRecorder info;
        ClientService service;
        service.SetInfoHwnd(&info);
        QCOMPARE(service.StartServer(freePort()), short(0));
        Till till;
        till.open(service.serverPort());
        QStringList expected;
        QByteArray batch;
        for (int i = 0; i < 3000; ++i) {
            expected.append(QString::number(i));
            batch += QByteArray::number(i) + '\n';
        }
        till.send(batch);
        QTRY_COMPARE(info.size(), expected.size());
        QCOMPARE(info.texts(), expected);
    }

    void lineLengthIsBounded_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("dropped");
        const QByteArray limit(4096, 'x');
        QTest::newRow("4096 bytes and LF") << limit + '\n' << false;
        QTest::newRow("4096 bytes and CRLF") << limit + "\r\n" << false;
        QTest::newRow("4096 bytes and a CR still waiting for its LF") << limit + '\r' << false;
        QTest::newRow("4097 bytes and LF") << limit + "y\n" << true;
        QTest::newRow("4097 bytes and CRLF") << limit + "y\r\n" << true;
        QTest::newRow("4097 bytes, no line end yet") << limit + 'y' << true;
        QTest::newRow("1 MB without a line end") << QByteArray(1024 * 1024, 'z') << true;
        QTest::newRow("1 MB with a line end") << QByteArray(1024 * 1024, 'z') + '\n' << true;
        QTest::newRow("short line, then 1 MB") << QByteArray("fine\n") + QByteArray(1024 * 1024, 'z') << true;
    }
    void lineLengthIsBounded()
    {
        QFETCH(QByteArray, sent);
        QFETCH(bool, dropped);

        NotificationRecorder events, info;
        ClientService service;
        QCOMPARE(service.limits().maxLineLength, 4096);
        service.SetEventHwnd(&events);
        service.SetInfoHwnd(&info);
        QCOMPARE(service.StartServer(freePort()), short(0));

        Till other;
        other.open(service.serverPort());
        other.send("HELLO other\n");
        QTRY_COMPARE(other.lines().size(), 1);

        Till sender;
        sender.open(service.serverPort());
        QTRY_COMPARE(service.GetClientCount(), 2);
        sender.send(sent);

        if (dropped) {
            QTRY_VERIFY(sender.closed);
            QTRY_COMPARE(events.count(Notification::socket_onmyclose), 1);
            QCOMPARE(service.GetClientCount(), 1);
            for (const QString &t : info.texts())
                QVERIFY2(t.size() <= 4096, "an over-long line was handed on");
        } else {
            sender.send("\nHELLO sender\n");
            QTRY_COMPARE(sender.lines(), QList<QByteArray>{kOk});
            QCOMPARE(info.texts().value(0).size(), 4096);
            QCOMPARE(service.GetClientCount(), 2);
        }
        // Whatever one client does, the others are still answered.
        other.send("HELLO other\n");
        QTRY_COMPARE(other.lines().size(), 2);
        QVERIFY(!other.closed);
    }

    void manyClients()
    {
        NotificationRecorder events;
        ClientService service(roomy());
        service.SetEventHwnd(&events);
        QCOMPARE(service.StartServer(freePort()), short(0));
        const quint16 port = service.serverPort();

        // 200 tills naming 40 machines (in two spellings of case each), and 20 that never say HELLO.
        std::vector<std::unique_ptr<Till>> hello, silent;
        for (int i = 0; i < 200; ++i) {
            auto till = std::make_unique<Till>();
            till->open(port);
            const QString name = ((i / 40) % 2 ? u"till-"_s : u"TILL-"_s) + QString::number(i % 40);
            till->send("HELLO " + name.toUtf8() + "\r\n");
            hello.push_back(std::move(till));
        }
        for (int i = 0; i < 20; ++i) {
            silent.push_back(std::make_unique<Till>());
            silent.back()->open(port);
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(hello.begin(), hello.end(),
                        [](const auto &t) { return t->lines() == QList<QByteArray>{kOk}; }),
            10000);
        QTRY_COMPARE(service.GetClientCount(), 220);
        QCOMPARE(service.GetMachineCount(), 40);
        QTRY_COMPARE(events.count(Notification::socket_onconnect), 220);

        // Tills 0–19 of every round of 40 go away without a word: their machines disappear.
        for (int i = 0; i < 200; ++i) {
            if (i % 40 < 20)
                hello[static_cast<size_t>(i)]->socket.abort();
        }
        for (int i = 0; i < 10; ++i)
            silent[static_cast<size_t>(i)]->socket.abort();
        QTRY_COMPARE(service.GetClientCount(), 110);
        QCOMPARE(service.GetMachineCount(), 20);
        QTRY_COMPARE(events.count(Notification::socket_onmyclose), 110);

        // Stopping closes everybody else at once; every connect is matched by one close.
        QCOMPARE(service.StopServer(), short(0));
        QCOMPARE(service.GetClientCount(), 0);
        QCOMPARE(service.GetMachineCount(), 0);
        QTRY_COMPARE(events.count(Notification::socket_onmyclose), 220);
        QTRY_VERIFY(std::all_of(hello.begin(), hello.end(), [](const auto &t) {
            return t->closed || t->socket.state() == QAbstractSocket::UnconnectedState;
        }));
        QTRY_VERIFY(std::all_of(silent.begin(), silent.end(), [](const auto &t) {
            return t->closed || t->socket.state() == QAbstractSocket::UnconnectedState;
        }));
        QCOMPARE(events.count(Notification::socket_onconnect), 220);
    }

    void stopThenStartOnTheSamePort()
    {
        ClientService service;
        const quint16 port = freePort();
        for (int round = 0; round < 3; ++round) {
            QCOMPARE(service.StartServer(port), short(0));
            std::vector<std::unique_ptr<Till>> tills;
            for (int i = 0; i < 5; ++i) {
                tills.push_back(std::make_unique<Till>());
                tills.back()->open(port);
                tills.back()->send("HELLO t" + QByteArray::number(i) + '\n');
            }
            QTRY_VERIFY(std::all_of(tills.begin(), tills.end(),
                                    [](const auto &t) { return t->lines().size() == 1; }));
            QCOMPARE(service.GetMachineCount(), 5);

            QCOMPARE(service.StopServer(), short(0));
            QVERIFY(!service.isListening());
            QCOMPARE(service.GetClientCount(), 0);
            QTRY_VERIFY(std::all_of(tills.begin(), tills.end(), [](const auto &t) { return t->closed; }));
        }
        // The port is free again at once for a new start, connections that the service closed
        // itself notwithstanding.
        QCOMPARE(service.StartServer(port), short(0));
        Till till;
        till.open(port);
        till.send("HELLO again\n");
        QTRY_COMPARE(till.lines(), QList<QByteArray>{kOk});
    }

    void connectionCountIsBounded_data()
    {
        QTest::addColumn<bool>("perAddress");
        QTest::newRow("connections in all") << false;
        QTest::newRow("connections from one address") << true;
    }
    void connectionCountIsBounded()
    {
        QFETCH(bool, perAddress);
        NotificationRecorder events;
        ClientService::Limits limits;
        QCOMPARE(limits.maxConnectionsPerAddress, 16);
        (perAddress ? limits.maxConnectionsPerAddress : limits.maxConnections) = 3;
        ClientService service(limits);
        service.SetEventHwnd(&events);
        QCOMPARE(service.StartServer(freePort()), short(0));

        std::vector<std::unique_ptr<Till>> tills;
        for (int i = 0; i < 5; ++i) {
            tills.push_back(std::make_unique<Till>());
            tills.back()->open(service.serverPort());
            QTRY_VERIFY(tills.back()->connected);
            QTRY_COMPARE(service.GetClientCount(), std::min(i + 1, 3));
        }
        // The connections idle longest made room for the later ones.
        QTRY_VERIFY(tills[0]->closed);
        QTRY_VERIFY(tills[1]->closed);
        for (int i = 2; i < 5; ++i) {
            tills[static_cast<size_t>(i)]->send("HELLO t\n");
            QTRY_COMPARE(tills[static_cast<size_t>(i)]->lines().size(), 1);
        }
        QCOMPARE(service.GetClientCount(), 3);
        QCOMPARE(events.count(Notification::socket_onconnect), 5);
        QTRY_COMPARE(events.count(Notification::socket_onmyclose), 2);

        // A place that frees up is taken by the next till.
        tills[2]->socket.abort();
        QTRY_COMPARE(service.GetClientCount(), 2);
        Till late;
        late.open(service.serverPort());
        late.send("HELLO late\n");
        QTRY_COMPARE(late.lines(), QList<QByteArray>{kOk});
        QCOMPARE(service.GetClientCount(), 3);
    }

    void fullServiceMakesRoomForATill_data()
    {
        // Polite idlers (HELLO once, then empty lines) hold the places; fresh tills come one after
        // another and stay, as real tills do.
        QTest::addColumn<QString>("till");
        QTest::addColumn<QStringList>("idlers");
        QTest::addColumn<int>("othersDropped"); // idlers not from the till's address
        QStringList crowd;
        for (int i = 0; i < 20; ++i)
            crowd.append(u"127.0.0.%1"_s.arg(11 + i % 7));
        QTest::newRow("every place taken") << u"127.0.0.1"_s << crowd << 3;
        QTest::newRow("the till's address full")
            << u"127.0.0.1"_s << crowd.mid(0, 8) + QStringList(4, u"127.0.0.1"_s) << 0;
        QTest::newRow("the till's IPv6 /64 full")
            << u"::1"_s << crowd.mid(0, 8) + QStringList(4, u"::1"_s) << 0;
    }
    void fullServiceMakesRoomForATill()
    {
        QFETCH(QString, till);
        QFETCH(QStringList, idlers);
        QFETCH(int, othersDropped);
        if (till.contains(u':') && !QTcpServer().listen(QHostAddress::LocalHostIPv6))
            QSKIP("no IPv6 loopback on this machine");
        ClientService::Limits limits;
        limits.maxConnections = 20;
        limits.maxConnectionsPerAddress = 4;
        ClientService service(limits);
        QCOMPARE(service.StartServer(freePort()), short(0));

        std::vector<std::unique_ptr<Till>> crowd, fresh;
        for (const QString &from : idlers) {
            crowd.push_back(std::make_unique<Till>());
            QVERIFY(crowd.back()->open(service.serverPort(), QHostAddress(from)));
            crowd.back()->send("HELLO idler\n");
        }
        QTRY_VERIFY(
            std::all_of(crowd.begin(), crowd.end(), [](const auto &t) { return t->lines().size() == 1; }));
        // Before each till a round of keep-alives: were they activity, the till before would go.
        for (int i = 0; i < 3; ++i) {
            for (auto &idler : crowd)
                idler->send("\n");
            QTest::qWait(100);
            fresh.push_back(std::make_unique<Till>());
            QVERIFY(fresh.back()->open(service.serverPort(), QHostAddress(till)));
            fresh.back()->send("HELLO till1\n");
            QTRY_COMPARE(fresh.back()->lines(), QList<QByteArray>{kOk});
        }
        QTRY_COMPARE(std::count_if(crowd.begin(), crowd.end(), [](const auto &t) { return t->closed; }), 3);
        QCOMPARE(service.GetClientCount(), idlers.size());
        QVERIFY(std::none_of(fresh.begin(), fresh.end(), [](const auto &t) { return t->closed; }));
        int others = 0;
        for (size_t i = 0; i < crowd.size(); ++i)
            others += crowd[i]->closed && idlers[qsizetype(i)] != till ? 1 : 0;
        QCOMPARE(others, othersDropped);
    }

    void addressKey_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("oneMachine");
        QTest::newRow("IPv4 mapped into IPv6") << u"::ffff:192.168.1.20"_s << u"192.168.1.20"_s << true;
        QTest::newRow("two IPv4 addresses") << u"192.168.1.20"_s << u"192.168.1.21"_s << false;
        QTest::newRow("one IPv6 /64") << u"2001:db8:1:2::10"_s << u"2001:db8:1:2:a:b:c:d"_s << true;
        QTest::newRow("neighbouring IPv6 /64s") << u"2001:db8:1:2::10"_s << u"2001:db8:1:3::10"_s << false;
        QTest::newRow("link-local on two links") << u"fe80::1%1"_s << u"fe80::2%2"_s << false;
    }
    void addressKey()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, oneMachine);
        QCOMPARE(ClientService::addressKey(QHostAddress(a)) == ClientService::addressKey(QHostAddress(b)),
                 oneMachine);
    }

    void idleClientsAreDisconnected()
    {
        NotificationRecorder events;
        ClientService::Limits limits;
        limits.idleTimeout = 1500ms;
        ClientService service(limits);
        service.SetEventHwnd(&events);
        QCOMPARE(service.StartServer(freePort()), short(0));

        Till silent, talker;
        silent.open(service.serverPort());
        talker.open(service.serverPort());
        silent.send("HELLO silent\n");
        talker.send("HELLO talker\n");
        QTRY_COMPARE(service.GetMachineCount(), 2);

        // The talker sends an empty line every 100 ms; the silent one says nothing more.
        QElapsedTimer watch;
        watch.start();
        while (!silent.closed && watch.elapsed() < 10000) {
            talker.send("\n");
            QTest::qWait(100);
        }
        QVERIFY(silent.closed);
        for (int i = 0; i < 10; ++i) {
            talker.send("\n");
            QTest::qWait(100);
        }
        QVERIFY(!talker.closed);
        QCOMPARE(service.GetClientCount(), 1);
        QCOMPARE(service.GetMachineCount(), 1);
        QCOMPARE(events.count(Notification::socket_onmyclose), 1);
    }

    void newIdleLimitAppliesToOpenConnections()
    {
        ClientService service; // ten minutes
        QCOMPARE(service.StartServer(freePort()), short(0));
        Till till;
        till.open(service.serverPort());
        QTRY_COMPARE(service.GetClientCount(), 1);
        ClientService::Limits shorter = service.limits();
        shorter.idleTimeout = 200ms;
        service.setLimits(shorter);
        QTRY_VERIFY_WITH_TIMEOUT(till.closed, 5000);
        QCOMPARE(service.GetClientCount(), 0);
    }

    void clientThatNeverReadsIsHeldBack()
    {
        NotificationRecorder events;
        ClientService::Limits limits;
        limits.idleTimeout = 1500ms;
        ClientService service(limits);
        service.SetEventHwnd(&events);
        QCOMPARE(service.StartServer(freePort()), short(0));

        // A till that reads its replies gets them all, however much it sends at once.
        Till reader;
        reader.open(service.serverPort());
        reader.send(QByteArray("HELLO r\n").repeated(50000));
        QTRY_COMPARE_WITH_TIMEOUT(reader.lines().size(), 50000, 10000);
        QVERIFY(!reader.closed);

        // This one keeps sending HELLOs and never reads a reply: the service stops reading from it,
        // so it soon cannot send any more, and it is dropped once it has been stuck for the idle time.
        LoopbackClient flooder(service.serverPort(), 4096);
        QVERIFY(flooder.isValid());
        const QByteArray chunk = QByteArray("HELLO f\n").repeated(8192);
        const qint64 ceiling = 256LL * 1024 * 1024;
        qint64 sent = 0;
        bool gone = false;
        bool askedAgain = false;
        QElapsedTimer watch;
        watch.start();
        while (!gone && sent < ceiling && watch.elapsed() < 30000) {
            const qint64 n = flooder.send(chunk);
            if (n < 0)
                gone = true;
            else
                sent += n;
            QCoreApplication::processEvents();
            if (n == 0) {
                // Others are still served meanwhile.
                if (!askedAgain) {
                    reader.send("HELLO r\n");
                    askedAgain = true;
                }
                reader.send("\n"); // keeps the reader from idling out
                QTest::qWait(10);
            }
        }
        QVERIFY2(gone, qPrintable(u"still connected after sending %1 bytes"_s.arg(sent)));
        // What the service and the system hold for it stays bounded, far below what it tried to send.
        QVERIFY2(sent < 64LL * 1024 * 1024, qPrintable(u"%1 bytes accepted"_s.arg(sent)));
        QTRY_COMPARE(events.count(Notification::socket_onmyclose), 1);
        QTRY_COMPARE(reader.lines().size(), 50001);
        QCOMPARE(service.GetClientCount(), 1);
    }

    void notificationsGoThroughTheReceiversQueue()
    {
        // The receivers live on a thread whose event loop does not run yet: anything delivered by a
        // direct call would show up now, on the wrong thread.
        QThread receiverThread;
        auto *events = new NotificationRecorder;
        auto *info = new NotificationRecorder;
        events->moveToThread(&receiverThread);
        info->moveToThread(&receiverThread);

        ClientService service;
        service.SetEventHwnd(events);
        service.SetInfoHwnd(info);
        QCOMPARE(service.StartServer(freePort()), short(0));

        Till a, b;
        a.open(service.serverPort());
        b.open(service.serverPort());
        a.send("first\nsecond\nHELLO a\n");
        b.send("HELLO b\n");
        QTRY_COMPARE(a.lines().size(), 1); // "first" and "second" were handled before this reply
        QTRY_COMPARE(b.lines().size(), 1);
        QCOMPARE(service.GetClientCount(), 2);
        QCOMPARE(events->size(), 0);
        QCOMPARE(info->size(), 0);

        receiverThread.start();
        QTRY_COMPARE(events->count(Notification::socket_onconnect), 2);
        QTRY_COMPARE(info->texts(), (QStringList{u"first"_s, u"second"_s}));

        a.socket.abort();
        QTRY_COMPARE(events->count(Notification::socket_onmyclose), 1);
        service.SetEventHwnd(nullptr);
        b.socket.abort();
        QTRY_COMPARE(service.GetClientCount(), 0);

        receiverThread.quit();
        QVERIFY(receiverThread.wait(5000));
        for (const auto &r : events->records() + info->records())
            QCOMPARE(r.thread, &receiverThread);
        QCOMPARE(events->count(Notification::socket_onmyclose), 1); // none after SetEventHwnd(nullptr)
        QCOMPARE(events->count(Notification::socket_get_text), 0);
        QCOMPARE(info->count(Notification::socket_onconnect), 0);
        delete events;
        delete info;
    }

    void receiverDestroyedWhileServing()
    {
        ClientService service;
        auto events = std::make_unique<NotificationRecorder>();
        auto info = std::make_unique<NotificationRecorder>();
        service.SetEventHwnd(events.get());
        service.SetInfoHwnd(info.get());
        QCOMPARE(service.StartServer(freePort()), short(0));
        Till till;
        till.open(service.serverPort());
        till.send("pending text\n");
        QTRY_COMPARE(service.GetClientCount(), 1);
        // Events already queued for them die with the receivers.
        events.reset();
        info.reset();
        till.send("more text\nHELLO t\n");
        QTRY_COMPARE(till.lines(), QList<QByteArray>{kOk});
        till.socket.abort();
        QTRY_COMPARE(service.GetClientCount(), 0);
        QCoreApplication::processEvents();
    }

    void acceptingResumesAfterRunningOutOfDescriptors()
    {
        ClientService service;
        QCOMPARE(service.StartServer(freePort()), short(0));

        // Connections wait in the system's backlog until the event loop runs.
        std::vector<std::unique_ptr<LoopbackClient>> clients;
        for (int i = 0; i < 3; ++i) {
            clients.push_back(std::make_unique<LoopbackClient>(service.serverPort()));
            QVERIFY(clients.back()->isValid());
        }

        const qint64 saved = garvina::openFileLimit();
        const int lowestFree = garvina::lowestFreeFileDescriptor();
        QVERIFY(saved > 0 && lowestFree > 0);
        QVERIFY(garvina::setOpenFileLimit(lowestFree));
        // Accepting fails for want of a descriptor: the service waits for better times instead of
        // trying again and again.
        const std::clock_t cpuBefore = std::clock();
        QTest::qWait(1000);
        const double cpuSeconds = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
        const int whileShort = service.GetClientCount();
        QVERIFY(garvina::setOpenFileLimit(saved));

        qInfo("CPU time in 1 s without descriptors: %.3f s", cpuSeconds);
        QCOMPARE(whileShort, 0);
        QVERIFY2(cpuSeconds < 0.3, qPrintable(u"%1 s of CPU time"_s.arg(cpuSeconds)));
        QTRY_COMPARE_WITH_TIMEOUT(service.GetClientCount(), 3, 5000);
    }

    void floodLeavesRoomForOthers_data()
    {
        QTest::addColumn<int>("flooders");
        QTest::newRow("100 connections") << 100;
        QTest::newRow("300 connections") << 300;
    }
    void floodLeavesRoomForOthers()
    {
        QFETCH(int, flooders);
        TextCounter console;
        ClientService service(roomy(), eachConnectionItsOwnMachine);
        service.SetInfoHwnd(&console);
        QCOMPARE(service.StartServer(freePort()), short(0));

        std::vector<std::unique_ptr<LoopbackClient>> clients;
        for (int i = 0; i < flooders; ++i) {
            clients.push_back(std::make_unique<LoopbackClient>(service.serverPort()));
            QVERIFY(clients.back()->isValid());
        }
        // A till that stays connected all along.
        Till resident;
        resident.open(service.serverPort());
        resident.send("HELLO resident\n");
        QTRY_COMPARE(resident.lines().size(), 1);
        QTRY_COMPARE(service.GetClientCount(), flooders + 1);
        QTest::qWait(200);
        const qint64 before = garvina::residentMemoryBytes();

        // The flood comes from another thread, as fast as the system takes it.
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            const QByteArray chunk = QByteArray("x\n").repeated(8192);
            for (auto &c : clients)
                c->send("HELLO flooder\n");
            while (!stop.load()) {
                bool any = false;
                for (auto &c : clients)
                    any = c->send(chunk) > 0 || any;
                if (!any)
                    std::this_thread::sleep_for(1ms);
            }
        });

        // A timer of the console's kind, and a till that says HELLO every 200 ms.
        QElapsedTimer clock;
        clock.start();
        qint64 lastTick = 0, worstTickGap = 0;
        QTimer ticker;
        ticker.setInterval(100);
        connect(&ticker, &QTimer::timeout, this, [&] {
            worstTickGap = std::max(worstTickGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
        });
        lastTick = clock.elapsed();
        ticker.start();
        qint64 peak = before, worstAnswer = 0;
        int answered = 0;
        const int probes = 12;
        for (int i = 0; i < probes; ++i) {
            QTest::qWait(200);
            Till till;
            till.open(service.serverPort());
            QTRY_VERIFY(till.connected);
            // Timed when the reply arrives, not when the wait below notices it.
            QElapsedTimer answer;
            qint64 answeredAfter = -1;
            connect(&till.socket, &QIODevice::readyRead, this, [&] {
                if (answeredAfter < 0)
                    answeredAfter = answer.elapsed();
            });
            answer.start();
            till.send("HELLO good\n");
            if (QTest::qWaitFor([&] { return !till.lines().isEmpty(); }, 5000) && till.lines().first() == kOk)
                ++answered;
            worstAnswer = std::max(worstAnswer, answeredAfter < 0 ? answer.elapsed() : answeredAfter);
            peak = std::max(peak, garvina::residentMemoryBytes());
        }
        ticker.stop();
        stop = true;
        flood.join();
        const qint64 textsHandled = console.texts.load();
        clients.clear();
        // What the flooders had sent before they went is still handled, then their connections end.
        QElapsedTimer drain;
        drain.start();
        QTRY_COMPARE_WITH_TIMEOUT(service.GetClientCount(), 1, 60000);
        const qint64 drained = drain.elapsed();
        // The memory goes back once things have calmed down for a moment.
        static_cast<void>(
            QTest::qWaitFor([&] { return garvina::residentMemoryBytes() - before < 1024 * 1024; }, 6000));
        const qint64 after = garvina::residentMemoryBytes();

        qInfo("%d flooders, %lld lines handled in %d ms (and the rest in %lld ms after they went): HELLO "
              "answered "
              "in at most %lld ms, timer late by at most %lld ms; memory %.1f MB before, %.1f MB at most "
              "during, "
              "%.1f MB after",
              flooders, textsHandled, probes * 200, drained, worstAnswer, worstTickGap - 100,
              megabytes(before), megabytes(peak), megabytes(after));
        QVERIFY(textsHandled > 10000); // the flood was really read
        QCOMPARE(answered, probes);
        QVERIFY2(worstAnswer < 1000, qPrintable(u"a HELLO took %1 ms"_s.arg(worstAnswer)));
        QVERIFY2(peak - before < 64LL * 1024 * 1024,
                 qPrintable(u"%1 MB more"_s.arg(megabytes(peak - before))));
        QVERIFY2(after - before < 4LL * 1024 * 1024,
                 qPrintable(u"%1 MB kept"_s.arg(megabytes(after - before))));
        resident.send("HELLO resident\n");
        QTRY_COMPARE(resident.lines().size(), 2);
        QVERIFY(!resident.closed);
    }

    void oneMachineCannotHoldEveryPlace()
    {
        // The attacker's connections are told apart by their ports: on this test machine every
        // connection comes from 127.0.0.1.
        auto attackerPorts = std::make_shared<QSet<quint16>>();
        ClientService::Limits limits;
        QCOMPARE(limits.helloTimeout, 5000ms);
        limits.helloTimeout = 2s;
        ClientService service(limits, [attackerPorts](const QHostAddress &, quint16 port) {
            return attackerPorts->contains(port) ? u"attacker"_s : QString::number(port);
        });
        QCOMPARE(service.StartServer(freePort()), short(0));

        std::vector<std::unique_ptr<LoopbackClient>> attackers;
        for (int i = 0; i < 499; ++i) {
            attackers.push_back(std::make_unique<LoopbackClient>(service.serverPort()));
            QVERIFY(attackers.back()->isValid());
            attackerPorts->insert(attackers.back()->localPort());
        }
        QTRY_COMPARE(service.GetClientCount(), limits.maxConnectionsPerAddress);
        QElapsedTimer held;
        held.start();
        const auto keepAlive = [&] {
            for (auto &a : attackers)
                a->send("\n");
        };

        // 100 tills of other machines come meanwhile, and are all answered.
        std::vector<std::unique_ptr<Till>> tills;
        for (int i = 0; i < 100; ++i) {
            tills.push_back(std::make_unique<Till>());
            tills.back()->open(service.serverPort());
        }
        QTRY_VERIFY(std::all_of(tills.begin(), tills.end(), [](const auto &t) { return t->connected; }));
        QElapsedTimer answer;
        qint64 allAnswered = 0;
        for (auto &t : tills) {
            connect(&t->socket, &QIODevice::readyRead, this,
                    [&] { allAnswered = std::max(allAnswered, answer.elapsed()); });
        }
        answer.start();
        for (auto &t : tills)
            t->send("HELLO till\n");
        keepAlive();
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(tills.begin(), tills.end(),
                        [](const auto &t) { return t->lines() == QList<QByteArray>{kOk}; }),
            5000);

        // Empty lines do not put the HELLO off: the attacker's connections go once it is due.
        while (service.GetClientCount() > 100 && held.elapsed() < 10000) {
            keepAlive();
            QTest::qWait(250);
        }
        const qint64 heldFor = held.elapsed();
        qInfo("499 silent connections from one machine: %d let in, gone after %lld ms; 100 tills answered "
              "within %lld ms",
              limits.maxConnectionsPerAddress, heldFor, allAnswered);
        QCOMPARE(service.GetClientCount(), 100);
        QVERIFY(heldFor < 5000);
        QVERIFY2(allAnswered < 1000, qPrintable(u"%1 ms"_s.arg(allAnswered)));
        QVERIFY(std::none_of(tills.begin(), tills.end(), [](const auto &t) { return t->closed; }));
    }

    void halfCloseStillGetsItsReply_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("HELLO alone") << QByteArray();
        QTest::newRow("after more lines than one turn's share") << QByteArray("sale\n").repeated(100);
        QTest::newRow("after keep-alives") << QByteArray("\r\n").repeated(100);
    }
    void halfCloseStillGetsItsReply()
    {
        QFETCH(QByteArray, before);
        TextCounter console;
        ClientService service(roomy(), eachConnectionItsOwnMachine);
        service.SetInfoHwnd(&console);
        QCOMPARE(service.StartServer(freePort()), short(0));

        // Each client says HELLO and closes its sending side at once, then reads to the end.
        int complete = 0, total = 0;
        for (int round = 0; round < 10; ++round) {
            std::vector<std::unique_ptr<LoopbackClient>> clients;
            std::vector<QByteArray> received(50);
            std::vector<bool> ended(50, false);
            for (int i = 0; i < 50; ++i) {
                clients.push_back(std::make_unique<LoopbackClient>(service.serverPort()));
                QVERIFY(clients.back()->isValid());
                QCOMPARE(clients.back()->send(before + "HELLO h\n"), qint64(before.size() + 8));
                QVERIFY(clients.back()->shutdownSending());
            }
            QElapsedTimer watch;
            watch.start();
            while (std::count(ended.begin(), ended.end(), true) < 50 && watch.elapsed() < 10000) {
                QCoreApplication::processEvents();
                for (size_t i = 0; i < clients.size(); ++i) {
                    if (!ended[i] && clients[i]->receive(received[i]) < 0)
                        ended[i] = true;
                }
            }
            for (const QByteArray &r : received)
                complete += r == kOk + '\n' ? 1 : 0;
            total += 50;
        }
        QCOMPARE(complete, total);
        QTRY_COMPARE(service.GetClientCount(), 0);
        if (!before.startsWith('\r'))
            QTRY_COMPARE(console.texts.load(), before.count('\n') * qint64(total));
    }
};

QTEST_GUILESS_MAIN(TestClientService)
#include "tst_clientservice.moc"
