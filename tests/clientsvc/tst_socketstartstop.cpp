#include "clientsvc/socketstartstop.h"

#include "clientsvc/clientservice.h"
#include "clientsvctesting.h"
#include "config/profilefile.h"
#include "support/recordingmessageboxes.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::Literals::StringLiterals;
using garvina::ClientService;
using garvina::ClientServiceApi;
using garvina::MsgButtons;
using garvina::MsgIcon;
using garvina::ProfileFile;
using garvina::socketPortFromConfig;
using garvina::wf_socket_start_stop_core;
using garvina::test::freePort;
using garvina::test::NotificationRecorder;
using garvina::test::RecordingMessageBoxes;
using garvina::test::Till;
using Notification = garvina::ClientServiceEvent::Notification;

namespace {

/// Passes every call on to a real service and notes it; can make StopServer answer an error code,
/// which the real service never does.
class CallLog final : public ClientServiceApi
{
public:
    explicit CallLog(ClientServiceApi &real) : m_real(real) {}

    void SetEventHwnd(QObject *receiver) override
    {
        calls.append(u"SetEventHwnd"_s);
        m_real.SetEventHwnd(receiver);
    }
    void SetInfoHwnd(QObject *receiver) override
    {
        calls.append(u"SetInfoHwnd"_s);
        m_real.SetInfoHwnd(receiver);
    }
    short StartServer(int port) override
    {
        calls.append(u"StartServer %1"_s.arg(port));
        return m_real.StartServer(port);
    }
    short StopServer() override
    {
        calls.append(u"StopServer"_s);
        const short r = m_real.StopServer();
        return stopAnswer.value_or(r);
    }
    int GetClientCount() const override { return m_real.GetClientCount(); }
    int GetMachineCount() const override { return m_real.GetMachineCount(); }
    bool isListening() const override { return m_real.isListening(); }

    QStringList calls;
    std::optional<short> stopAnswer;

private:
    ClientServiceApi &m_real;
};

} // namespace

Q_DECLARE_METATYPE(std::optional<short>)

namespace {

const QString kStartFailed = u"启动服务端失败,请检查%1端口是否被占用!"_s;

} // namespace

class TestSocketStartStop : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    ProfileFile configWith(const QByteArray &content)
    {
        const QString path = m_dir.filePath(u"garvinainfo.dll"_s);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write the configuration");
        f.write(content);
        return ProfileFile(path);
    }

private Q_SLOTS:
    void portFromConfig_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("port");
        QTest::newRow("no key: the default") << QByteArray("[system]\nstart_min=1\n") << 2639;
        QTest::newRow("no section") << QByteArray("[server]\nsockect=3000\n") << 2639;
        QTest::newRow("a port") << QByteArray("[system]\nsockect=2700\n") << 2700;
        QTest::newRow("blanks around it") << QByteArray("[SYSTEM]\n  Sockect =  2701 \r\n") << 2701;
        QTest::newRow("quoted") << QByteArray("[system]\nsockect=\"2702\"\n") << 2702;
        QTest::newRow("not a number") << QByteArray("[system]\nsockect=abc\n") << 0;
        QTest::newRow("empty value") << QByteArray("[system]\nsockect=\n") << 0;
        QTest::newRow("digits then letters") << QByteArray("[system]\nsockect=2639x\n") << 0;
        QTest::newRow("a fraction") << QByteArray("[system]\nsockect=2639.0\n") << 0;
        QTest::newRow("hexadecimal") << QByteArray("[system]\nsockect=0xA4F\n") << 0;
        QTest::newRow("beyond int") << QByteArray("[system]\nsockect=99999999999\n") << 0;
        QTest::newRow("too large, kept as it is") << QByteArray("[system]\nsockect=70000\n") << 70000;
        QTest::newRow("negative, kept as it is") << QByteArray("[system]\nsockect=-1\n") << -1;
    }
    void portFromConfig()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, port);
        QCOMPARE(socketPortFromConfig(configWith(content)), port);
    }

    void portFromMissingFile()
    {
        QCOMPARE(socketPortFromConfig(ProfileFile(m_dir.filePath(u"absent.dll"_s))), 2639);
    }

    void startServesAndNamesTheReceivers()
    {
        NotificationRecorder events, info;
        ClientService service;
        RecordingMessageBoxes boxes;
        const quint16 port = freePort();

        QCOMPARE(wf_socket_start_stop_core(service, boxes, u"START"_s, port, &events, &info), 1);
        QVERIFY(boxes.shown.isEmpty());
        QCOMPARE(service.serverPort(), port);

        Till till;
        till.open(port);
        till.send("HELLO pos1\nhello there\n");
        QTRY_COMPARE(till.lines().size(), 1);
        QTRY_COMPARE(info.texts(), QStringList{u"hello there"_s});
        QTRY_COMPARE(events.count(Notification::socket_onconnect), 1);
        QCOMPARE(events.count(Notification::socket_get_text), 0);
        QCOMPARE(info.count(Notification::socket_onconnect), 0);
    }

    void startOnTakenPort_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::newRow("the default port 2639") << QByteArray("[system]\nstart_min=0\n");
        QTest::newRow("a configured port") << QByteArray("[system]\nsockect=%1\n");
    }
    void startOnTakenPort()
    {
        QFETCH(QByteArray, config);
        const quint16 configured = freePort();
        const int port =
            socketPortFromConfig(configWith(config.replace("%1", QByteArray::number(configured))));
        // Taken either by us or, for the default port, possibly by some other program already.
        QTcpServer blocker;
        QVERIFY2(blocker.listen(QHostAddress::Any, static_cast<quint16>(port)) ||
                     blocker.serverError() == QAbstractSocket::AddressInUseError,
                 qPrintable(blocker.errorString()));

        NotificationRecorder events, info;
        ClientService real;
        CallLog service(real);
        RecordingMessageBoxes boxes;
        QCOMPARE(wf_socket_start_stop_core(service, boxes, u"START"_s, port, &events, &info), 0);

        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.last().title, u"错误"_s);
        QCOMPARE(boxes.last().text, kStartFailed.arg(port));
        QCOMPARE(boxes.last().icon, MsgIcon::StopSign);
        QCOMPARE(boxes.last().buttons, MsgButtons::Ok);
        QVERIFY(!real.isListening());
        QCOMPARE(service.calls, (QStringList{u"SetEventHwnd"_s, u"SetInfoHwnd"_s, u"StopServer"_s,
                                             u"StartServer %1"_s.arg(port), u"StopServer"_s}));
    }

    void startWithUnusablePort_data()
    {
        QTest::addColumn<QByteArray>("sockect");
        QTest::addColumn<int>("shownPort");
        QTest::newRow("not a number") << QByteArray("abc") << 0;
        QTest::newRow("zero") << QByteArray("0") << 0;
        QTest::newRow("too large") << QByteArray("70000") << 70000;
        QTest::newRow("negative") << QByteArray("-5") << -5;
    }
    void startWithUnusablePort()
    {
        QFETCH(QByteArray, sockect);
        QFETCH(int, shownPort);
        const int port = socketPortFromConfig(configWith("[system]\nsockect=" + sockect + '\n'));
        QCOMPARE(port, shownPort);

        ClientService service;
        RecordingMessageBoxes boxes;
        QCOMPARE(wf_socket_start_stop_core(service, boxes, u"START"_s, port, nullptr, nullptr), 0);
        QCOMPARE(boxes.texts(), QStringList{kStartFailed.arg(shownPort)});
        // Above all, nothing listens on some port the system picked.
        QVERIFY(!service.isListening());
        QCOMPARE(service.serverPort(), quint16(0));
    }

    void twoStartsInARow()
    {
        ClientService service;
        RecordingMessageBoxes boxes;
        const quint16 first = freePort();
        const quint16 second = freePort();
        QVERIFY(first != second);

        QCOMPARE(wf_socket_start_stop_core(service, boxes, u"START"_s, first, nullptr, nullptr), 1);
        Till early;
        early.open(first);
        early.send("HELLO early\n");
        QTRY_COMPARE(early.lines().size(), 1);

        QCOMPARE(wf_socket_start_stop_core(service, boxes, u"START"_s, second, nullptr, nullptr), 1);
        QVERIFY(boxes.shown.isEmpty());
        QCOMPARE(service.serverPort(), second);
        QTRY_VERIFY(early.closed);

        Till onFirst, onSecond;
        onFirst.open(first);
        onSecond.open(second);
        onSecond.send("HELLO late\n");
        QTRY_VERIFY(onFirst.closed);
        QCOMPARE(onFirst.lastError, QAbstractSocket::ConnectionRefusedError);
        QTRY_COMPARE(onSecond.lines().size(), 1);

        // The same port twice works as well: the first listener is gone before the second opens.
        QCOMPARE(wf_socket_start_stop_core(service, boxes, u"START"_s, second, nullptr, nullptr), 1);
        QVERIFY(boxes.shown.isEmpty());
    }

    void stop_data()
    {
        QTest::addColumn<bool>("startFirst");
        QTest::addColumn<std::optional<short>>("stopAnswer");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("running service") << true << std::optional<short>() << 1 << QStringList();
        QTest::newRow("never started") << false << std::optional<short>() << 1 << QStringList();
        QTest::newRow("stop refused")
            << true << std::optional<short>(7) << 0 << QStringList{u"停止服务错误,错误码为:7"_s};
        QTest::newRow("negative code")
            << false << std::optional<short>(-3) << 0 << QStringList{u"停止服务错误,错误码为:-3"_s};
    }
    void stop()
    {
        QFETCH(bool, startFirst);
        QFETCH(std::optional<short>, stopAnswer);
        QFETCH(int, result);
        QFETCH(QStringList, texts);

        ClientService real;
        if (startFirst)
            QCOMPARE(real.StartServer(freePort()), short(0));
        CallLog service(real);
        service.stopAnswer = stopAnswer;
        RecordingMessageBoxes boxes;

        QCOMPARE(wf_socket_start_stop_core(service, boxes, u"STOP"_s, 0, nullptr, nullptr), result);
        QCOMPARE(boxes.texts(), texts);
        for (const auto &box : std::as_const(boxes.shown)) {
            QCOMPARE(box.title, u"错误"_s);
            QCOMPARE(box.buttons, MsgButtons::Ok);
            QCOMPARE(box.icon, MsgIcon::Information);
        }
        QCOMPARE(service.calls, QStringList{u"StopServer"_s});
        QVERIFY(!real.isListening());
    }

    void unknownTypeDoesNothing_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("lower case") << u"start"_s;
        QTest::newRow("empty") << QString();
        QTest::newRow("other") << u"RESTART"_s;
    }
    void unknownTypeDoesNothing()
    {
        QFETCH(QString, type);
        ClientService real;
        const quint16 port = freePort();
        QCOMPARE(real.StartServer(port), short(0));
        CallLog service(real);
        RecordingMessageBoxes boxes;
        QCOMPARE(wf_socket_start_stop_core(service, boxes, type, freePort(), nullptr, nullptr), 0);
        QVERIFY(service.calls.isEmpty());
        QVERIFY(boxes.shown.isEmpty());
        QCOMPARE(real.serverPort(), port);
    }
};

QTEST_GUILESS_MAIN(TestSocketStartStop)
#include "tst_socketstartstop.moc"
