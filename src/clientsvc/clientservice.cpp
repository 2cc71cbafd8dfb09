#include "clientservice.h"

#include "app/appcontext.h"

#include <QCoreApplication>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

// Qt reads at most this much from the system per connection before we take it; with it, a client
// that floods the service costs it a bounded amount of memory and the others still get their turn.
constexpr qint64 kReadBufferSize = 64 * 1024;

// Long enough for a whole shop's tills connecting at once after a power cut.
constexpr int kListenBacklog = 512;

// After the system refuses to accept (out of file descriptors, for example) QTcpServer stops
// accepting for good; we try again after this pause instead of going deaf until the next restart.
constexpr int kAcceptRetryMs = 500;

const QByteArray kHello = QByteArrayLiteral("HELLO ");

} // namespace

ClientService::ClientService(QObject *parent) : ClientService(Limits(), parent) {}

ClientService::ClientService(const Limits &limits, QObject *parent)
    : QObject(parent), m_limits(limits), m_server(new QTcpServer(this)), m_acceptRetry(new QTimer(this))
{
    m_server->setListenBacklogSize(kListenBacklog);
    connect(m_server, &QTcpServer::newConnection, this, &ClientService::acceptConnections);

    m_acceptRetry->setSingleShot(true);
    m_acceptRetry->setInterval(kAcceptRetryMs);
    connect(m_server, &QTcpServer::acceptError, m_acceptRetry, qOverload<>(&QTimer::start));
    connect(m_acceptRetry, &QTimer::timeout, this, [this] {
        if (m_server->isListening())
            m_server->resumeAccepting();
    });
}

ClientService::~ClientService()
{
    // Receivers may outlive the service; they still learn that every connection has closed.
    StopServer();
}

void ClientService::SetEventHwnd(QObject *receiver) { m_eventReceiver = receiver; }

void ClientService::SetInfoHwnd(QObject *receiver) { m_infoReceiver = receiver; }

short ClientService::StartServer(int port)
{
    if (m_server->isListening())
        return AlreadyRunning;
    if (port < 1 || port > 65535) {
        m_lastError = u"invalid port %1"_s.arg(port);
        return InvalidPort;
    }
    // Every interface: the tills reach the server over the shop's network.
    if (!m_server->listen(QHostAddress::Any, static_cast<quint16>(port))) {
        m_lastError = m_server->errorString();
        switch (m_server->serverError()) {
        case QAbstractSocket::AddressInUseError:
            return AddressInUse;
        case QAbstractSocket::SocketAccessError:
            return AccessDenied;
        default:
            return ListenFailed;
        }
    }
    m_lastError.clear();
    return Started;
}

short ClientService::StopServer()
{
    m_acceptRetry->stop();
    m_server->close();
    const QList<QTcpSocket *> sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets)
        closeConnection(socket);
    return 0;
}

int ClientService::GetClientCount() const { return static_cast<int>(m_connections.size()); }

int ClientService::GetMachineCount() const
{
    QSet<QString> machines;
    for (const Connection &c : m_connections) {
        if (!c.machineKey.isEmpty())
            machines.insert(c.machineKey);
    }
    return static_cast<int>(machines.size());
}

bool ClientService::isListening() const { return m_server->isListening(); }

quint16 ClientService::serverPort() const { return m_server->isListening() ? m_server->serverPort() : 0; }

void ClientService::setLimits(const Limits &limits)
{
    m_limits = limits;
    for (const Connection &c : std::as_const(m_connections))
        c.idleTimer->setInterval(m_limits.idleTimeout);
}

void ClientService::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        // Owned by the service, not the listener: StopServer closes the listener first.
        socket->setParent(this);
        if (m_connections.size() >= m_limits.maxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setReadBufferSize(kReadBufferSize);

        Connection c;
        c.idleTimer = new QTimer(socket);
        c.idleTimer->setSingleShot(true);
        c.idleTimer->setInterval(m_limits.idleTimeout);
        connect(c.idleTimer, &QTimer::timeout, this, [this, socket] { closeConnection(socket); });
        connect(socket, &QIODevice::readyRead, this, [this, socket] {
            const auto it = m_connections.constFind(socket);
            if (it != m_connections.constEnd())
                it->idleTimer->start();
            pump(socket);
        });
        // Lines held back while replies were waiting to go out.
        connect(socket, &QIODevice::bytesWritten, this, [this, socket] { pump(socket); });
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { closeConnection(socket); });
        connect(socket, &QAbstractSocket::errorOccurred, this, [this, socket] { closeConnection(socket); });
        c.idleTimer->start();
        m_connections.insert(socket, c);
        post(m_eventReceiver, ClientServiceEvent::Notification::socket_onconnect);
    }
}

void ClientService::pump(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;

    const qsizetype maxLine = m_limits.maxLineLength;
    QByteArray buffer = std::exchange(it->pending, QByteArray());
    qsizetype start = 0;
    const auto keep = [this, socket, &buffer, &start] {
        const auto c = m_connections.find(socket);
        if (c != m_connections.end())
            c->pending = buffer.mid(start);
    };

    char chunk[16 * 1024];
    for (;;) {
        for (qsizetype nl = buffer.indexOf('\n', start); nl >= 0; nl = buffer.indexOf('\n', start)) {
            // Replies the client has not taken yet: read nothing more from it until they are out.
            // A client that never reads so stalls itself, not the service, and idles out.
            if (socket->bytesToWrite() > m_limits.maxUnsentBytes) {
                keep();
                return;
            }
            qsizetype end = nl;
            if (end > start && buffer.at(end - 1) == '\r')
                --end;
            if (end - start > maxLine) {
                closeConnection(socket);
                return;
            }
            if (!handleLine(socket, buffer.mid(start, end - start)))
                return;
            start = nl + 1;
        }
        buffer.remove(0, start);
        start = 0;
        // The unfinished line may be one byte longer when that byte is the "\r" of its line end.
        if (buffer.size() > maxLine && !(buffer.size() == maxLine + 1 && buffer.endsWith('\r'))) {
            closeConnection(socket);
            return;
        }
        // Takes what Qt has buffered (at most kReadBufferSize), never more: bounded work per turn of
        // the event loop, so one busy client cannot starve the others.
        const qint64 n = socket->read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        buffer.append(chunk, static_cast<qsizetype>(n));
    }
    keep();
}

bool ClientService::handleLine(QTcpSocket *socket, const QByteArray &line)
{
    if (line.isEmpty())
        return true; // keep-alive

    if (line.startsWith(kHello)) {
        const QString machine = QString::fromUtf8(line.mid(kHello.size())).trimmed();
        if (!machine.isEmpty()) {
            const auto it = m_connections.find(socket);
            if (it == m_connections.end())
                return false;
            // Windows machine names ignore case: "POS1" and "pos1" are one till.
            it->machineKey = machine.toCaseFolded();
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write("OK " + gs_softver().toUtf8() + '\n');
            return true;
        }
    }
    post(m_infoReceiver, ClientServiceEvent::Notification::socket_get_text, QString::fromUtf8(line));
    return true;
}

void ClientService::closeConnection(QTcpSocket *socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->idleTimer->stop();
    m_connections.erase(it);
    // From here on the socket says nothing more to us; it may be inside one of its own signals, so
    // it is deleted later rather than now.
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    post(m_eventReceiver, ClientServiceEvent::Notification::socket_onmyclose);
}

void ClientService::post(const QPointer<QObject> &receiver, ClientServiceEvent::Notification n,
                         const QString &text)
{
    if (receiver)
        QCoreApplication::postEvent(receiver.data(), new ClientServiceEvent(n, text));
}

} // namespace garvina
