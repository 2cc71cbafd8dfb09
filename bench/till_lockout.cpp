// Tills against a full client service: polite idlers (HELLO once, then an empty line every few
// seconds) take the places of a real ClientService with its default limits, from many loopback
// addresses or from the tills' own address, and fresh tills come one after another meanwhile. Prints
// how many tills were answered and how long the slowest answer took.
#include "benchsupport.h"

#include "clientsvc/clientservice.h"
#include "platform/systemload.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

namespace {

// The tills' own address; the idlers of the crowd come from the addresses after it.
const QHostAddress kTillAddress(u"127.0.0.1"_s);

/// Runs the event loop until \a done or \a timeoutMs have passed; false on the timeout.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

/// A client socket from \a from that collects what it receives and notes when it ends.
struct Client
{
    Client(const QHostAddress &from, quint16 port, const QByteArray &hello)
    {
        QObject::connect(&socket, &QIODevice::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QAbstractSocket::connected, [this, hello] { socket.write(hello); });
        QObject::connect(&socket, &QAbstractSocket::disconnected, [this] { closed = true; });
        QObject::connect(&socket, &QAbstractSocket::errorOccurred, [this] { closed = true; });
        bound = socket.bind(from, 0);
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool answered() const { return received.startsWith("OK "); }

    QTcpSocket socket;
    QByteArray received;
    bool bound = false;
    bool closed = false;
};

/// The service on a thread of its own, as the console's window thread would run it.
class ServiceThread
{
public:
    explicit ServiceThread(quint16 port)
    {
        m_context.moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(
            &m_context,
            [this, port] {
                m_service = std::make_unique<ClientService>();
                m_started = m_service->StartServer(port) == ClientService::Started;
                m_lastError = m_service->lastError();
            },
            Qt::BlockingQueuedConnection);
    }
    ServiceThread(const ServiceThread &) = delete;
    ServiceThread &operator=(const ServiceThread &) = delete;
    ~ServiceThread()
    {
        QMetaObject::invokeMethod(
            &m_context, [this] { m_service.reset(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    bool started() const { return m_started; }
    QString lastError() const { return m_lastError; }
    int clientCount()
    {
        int count = 0;
        QMetaObject::invokeMethod(
            &m_context, [this, &count] { count = m_service->GetClientCount(); },
            Qt::BlockingQueuedConnection);
        return count;
    }

private:
    QThread m_thread;
    QObject m_context;
    std::unique_ptr<ClientService> m_service;
    bool m_started = false;
    QString m_lastError;
};

struct Outcome
{
    int answered = 0;
    double slowestMs = 0;
    int idlersLeft = 0;
};

QString slowest(const Outcome &outcome)
{
    return outcome.answered > 0 ? num(outcome.slowestMs, 1) + u" ms"_s : u"-"_s;
}

/// \brief Fills the service with \a idlers (from \a addresses loopback addresses after the tills'
/// one, or all from the tills' own address), then sends \a tills fresh tills one after another, each
/// staying connected like a real till. False when the crowd could not be set up.
bool attack(const QCommandLineParser &parser, int idlers, int addresses, Outcome &outcome)
{
    const int tills = intOption(parser, u"tills"_s, 1);
    const int gapMs = intOption(parser, u"gap-ms"_s, 0);
    const int keepAliveMs = intOption(parser, u"keepalive-ms"_s, 1);
    const int timeoutMs = intOption(parser, u"timeout-ms"_s, 1);
    // freePort() finds a port free on the loopback only; the service listens on every address.
    std::unique_ptr<ServiceThread> running;
    quint16 port = 0;
    for (int attempt = 0; attempt < 10 && !(running && running->started()); ++attempt) {
        port = static_cast<quint16>(freePort());
        running = std::make_unique<ServiceThread>(port);
    }
    if (!running->started()) {
        warn(u"the service does not start: "_s + running->lastError());
        return false;
    }
    ServiceThread &service = *running;

    std::vector<std::unique_ptr<Client>> crowd;
    for (int i = 0; i < idlers; ++i) {
        const QHostAddress from =
            addresses == 0 ? kTillAddress
                           : QHostAddress(kTillAddress.toIPv4Address() + 1 + quint32(i % addresses));
        crowd.push_back(std::make_unique<Client>(from, port, "HELLO idler" + QByteArray::number(i) + '\n'));
        if (!crowd.back()->bound) {
            warn(u"cannot bind to "_s + from.toString());
            return false;
        }
    }
    const auto answeredIdlers = [&] {
        return int(std::count_if(crowd.begin(), crowd.end(), [](const auto &c) { return c->answered(); }));
    };
    if (!waitFor([&] { return answeredIdlers() == idlers; }, 30000)) {
        warn(u"only "_s + QString::number(answeredIdlers()) + u" of the idlers were answered"_s);
        return false;
    }
    say(u"idlers:             "_s + QString::number(idlers) + u" answered, "_s +
        QString::number(service.clientCount()) + u" connections open"_s);

    QTimer keepAlive;
    QObject::connect(&keepAlive, &QTimer::timeout, [&] {
        for (auto &c : crowd) {
            if (c->socket.state() == QAbstractSocket::ConnectedState)
                c->socket.write("\n");
        }
    });
    keepAlive.start(keepAliveMs);

    std::vector<std::unique_ptr<Client>> fresh;
    for (int i = 0; i < tills; ++i) {
        QElapsedTimer answer;
        answer.start();
        fresh.push_back(std::make_unique<Client>(kTillAddress, port, "HELLO till1\n"));
        Client &till = *fresh.back();
        if (waitFor([&] { return till.answered() || till.closed; }, timeoutMs) && till.answered()) {
            ++outcome.answered;
            outcome.slowestMs = std::max(outcome.slowestMs, double(answer.nsecsElapsed()) / 1e6);
        }
        waitFor([] { return false; }, gapMs);
    }
    outcome.idlersLeft = int(std::count_if(crowd.begin(), crowd.end(), [](const auto &c) {
        return c->socket.state() == QAbstractSocket::ConnectedState && !c->closed;
    }));
    say(u"tills answered:     "_s + QString::number(outcome.answered) + u" of "_s + QString::number(tills) +
        u", slowest answer "_s + slowest(outcome));
    say(u"idlers left:        "_s + QString::number(outcome.idlersLeft) + u" of "_s +
        QString::number(idlers));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Polite idlers fill the client service; fresh tills come one after another meanwhile."_s);
    parser.addHelpOption();
    parser.addOption({u"idlers"_s, u"Idlers from other addresses (default 499)."_s, u"N"_s, u"499"_s});
    parser.addOption({u"addresses"_s, u"Loopback addresses they come from (default 64)."_s, u"N"_s, u"64"_s});
    parser.addOption(
        {u"own-idlers"_s, u"Idlers from the tills' own address (default 16)."_s, u"N"_s, u"16"_s});
    parser.addOption({u"tills"_s, u"Fresh tills, one after another (default 80)."_s, u"N"_s, u"80"_s});
    parser.addOption({u"gap-ms"_s, u"Pause between two tills (default 100)."_s, u"MS"_s, u"100"_s});
    parser.addOption(
        {u"keepalive-ms"_s, u"Empty line from each idler every (default 5000)."_s, u"MS"_s, u"5000"_s});
    parser.addOption({u"timeout-ms"_s, u"A till not answered by then counts as locked out (default 5000)."_s,
                      u"MS"_s, u"5000"_s});
    parser.process(app);
    const int idlers = intOption(parser, u"idlers"_s, 1);
    const int addresses = std::min(intOption(parser, u"addresses"_s, 1), 250);
    const int ownIdlers = intOption(parser, u"own-idlers"_s, 1);
    const int tills = intOption(parser, u"tills"_s, 1);
    say(u"load average:       "_s + loadAverageText());

    say(u""_s);
    say(QString::number(idlers) + u" idlers from "_s + QString::number(addresses) +
        u" loopback addresses, tills from "_s + kTillAddress.toString());
    Outcome crowd;
    if (!attack(parser, idlers, addresses, crowd))
        return 1;

    say(u""_s);
    say(QString::number(ownIdlers) + u" idlers from the tills' own address "_s + kTillAddress.toString());
    Outcome own;
    if (!attack(parser, ownIdlers, 0, own))
        return 1;

    say(u""_s);
    say(u"answered (crowd):   "_s + QString::number(crowd.answered) + u"/"_s + QString::number(tills) +
        u", slowest "_s + slowest(crowd));
    say(u"answered (own):     "_s + QString::number(own.answered) + u"/"_s + QString::number(tills) +
        u", slowest "_s + slowest(own));
    return 0;
}
