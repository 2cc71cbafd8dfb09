#include "clientservice.h"

#include "core/appcontext.h"
#include "platform/listeningsocket.h"
#include "platform/processhardening.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

// What Qt reads from the system per connection before we take it. With it, what a flooding client
// costs the service is bounded; the rest waits in the system, which slows the client down.
constexpr qint64 kReadBufferSize = 8 * 1024;

// And what the system holds for it (it doubles the figure for its own bookkeeping). Without a
// bound it grows to megabytes per connection for a client that sends faster than we read.
constexpr int kSystemReceiveBuffer = 8 * 1024;

// Lines handled in one turn of the event loop, for all clients together, and for one client before
// the next one gets its turn. Between turns the window, the timer and new connections are served.
constexpr int kLinesPerTurn = 512;
constexpr int kLinesPerClient = 32;

// When only texts wait (the console has not taken the ones before), look again after this pause
// rather than at once: the console may be busy for a while.
constexpr int kTextRetryMs = 10;

// A connection closed by the service keeps this long to send what is due, then it is cut.
constexpr int kLingerMs = 5000;

// Pause after connections have closed before freed memory is handed back (at most once per pause).
constexpr int kTrimDelayMs = 2000;

// Long enough for a whole shop's tills connecting at once after a power cut.
constexpr int kListenBacklog = 512;

// After the system refuses to accept (out of file descriptors, for example) QTcpServer stops
// accepting for good; we try again after a pause instead of going deaf until the next restart, and
// wait twice as long after each further refusal, up to the longest pause.
constexpr int kAcceptRetryMs = 100;
constexpr int kAcceptRetryMaxMs = 1600;

const QByteArray kHello = QByteArrayLiteral("HELLO ");

QString defaultPeerKey(const QHostAddress &address, quint16)
{
    return ClientService::addressKey(address);
}

} // namespace

QString ClientService::addressKey(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.toString();
    // Whoever holds a /64 can send from any of its 2^64 addresses; counting them one by one would
    // give a single machine every place.
    Q_IPV6ADDR bytes = address.toIPv6Address();
    std::fill(std::begin(bytes.c) + 8, std::end(bytes.c), quint8(0));
    QHostAddress prefix(bytes);
    prefix.setScopeId(address.scopeId()); // fe80::/64 on another link is another network
    return prefix.toString() + u"/64"_s;
}

ClientService::ClientService(QObject *parent) : ClientService(Limits(), parent) {}

ClientService::ClientService(const Limits &limits, QObject *parent)
    : ClientService(limits, defaultPeerKey, parent)
{}

ClientService::ClientService(const Limits &limits, PeerKey peerKey, QObject *parent)
    : QObject(parent), m_limits(limits), m_peerKey(peerKey ? std::move(peerKey) : PeerKey(defaultPeerKey)),
      m_server(new QTcpServer(this)), m_acceptRetry(new QTimer(this)), m_work(new QTimer(this)),
      m_trim(new QTimer(this)), m_backlog(std::make_shared<ClientServiceEvent::Backlog>())
{
    m_server->setListenBacklogSize(kListenBacklog);
    connect(m_server, &QTcpServer::newConnection, this, &ClientService::acceptConnections);

    m_acceptRetry->setSingleShot(true);
    connect(m_server, &QTcpServer::acceptError, this, [this] {
        m_acceptRetry->start(m_acceptRetryMs);
        m_acceptRetryMs = std::min(m_acceptRetryMs * 2, kAcceptRetryMaxMs);
    });
    connect(m_acceptRetry, &QTimer::timeout, this, [this] {
        if (m_server->isListening())
            m_server->resumeAccepting();
    });

    m_work->setSingleShot(true);
    connect(m_work, &QTimer::timeout, this, &ClientService::runTurn);

    // Connections have gone, after an attack perhaps: once the work has calmed down, give back to
    // the system what the crowd had cost, so that the console shrinks to its usual size again.
    m_trim->setSingleShot(true);
    m_trim->setInterval(kTrimDelayMs);
    connect(m_trim, &QTimer::timeout, this, [this] {
        if (m_fresh.empty() && m_busy.empty())
            releaseFreeMemory();
        else
            m_trim->start();
    });
}

ClientService::~ClientService()
{
    // Receivers may outlive the service; they still learn that every connection has closed.
    StopServer();
}

void ClientService::SetEventHwnd(QObject *receiver)
{
    m_eventReceiver = receiver;
}

void ClientService::SetInfoHwnd(QObject *receiver)
{
    m_infoReceiver = receiver;
}

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
    // On the listener, so that every connection has it from its first byte.
    setListenerReceiveBuffer(m_server->socketDescriptor(), kSystemReceiveBuffer);
    m_lastError.clear();
    return Started;
}

short ClientService::StopServer()
{
    m_acceptRetry->stop();
    m_server->close();
    const QList<QTcpSocket *> sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets)
        closeConnection(socket, Close::Abort);
    m_work->stop();
    return 0;
}

int ClientService::GetClientCount() const
{
    return static_cast<int>(m_connections.size());
}

int ClientService::GetMachineCount() const
{
    QSet<QString> machines;
    for (const Connection &c : m_connections) {
        if (!c.machineKey.isEmpty())
            machines.insert(c.machineKey);
    }
    return static_cast<int>(machines.size());
}

bool ClientService::isListening() const
{
    return m_server->isListening();
}

quint16 ClientService::serverPort() const
{
    return m_server->isListening() ? m_server->serverPort() : 0;
}

void ClientService::setLimits(const Limits &limits)
{
    m_limits = limits;
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        it->idleTimer->setInterval(m_limits.idleTimeout);
        if (it->helloTimer->isActive())
            it->helloTimer->setInterval(m_limits.helloTimeout);
        holdReading(it.key(), it->queued);
    }
}

qint64 ClientService::readBufferSize() const
{
    // A whole line with its CR LF must fit, or it could never be taken.
    return std::max<qint64>(kReadBufferSize, qint64(m_limits.maxLineLength) + 2);
}

void ClientService::acceptConnections()
{
    m_acceptRetryMs = kAcceptRetryMs;
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        // Owned by the service, not the listener: StopServer closes the listener first.
        socket->setParent(this);
        const QString peer = m_peerKey(socket->peerAddress(), socket->peerPort());
        // Idlers that hold every place must not keep a till out: the longest idle makes room (more
        // than one when the limits have been lowered meanwhile).
        bool full = isFull(peer);
        while (full && dropLongestIdle(peer))
            full = isFull(peer);
        if (full) { // limits of 0: nobody can make room
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setReadBufferSize(readBufferSize());

        Connection c;
        c.peer = peer;
        c.lastRequest = ++m_requests;
        c.idleTimer = new QTimer(socket);
        c.idleTimer->setSingleShot(true);
        c.idleTimer->setInterval(m_limits.idleTimeout);
        connect(c.idleTimer, &QTimer::timeout, this, [this, socket] { closeConnection(socket); });
        c.helloTimer = new QTimer(socket);
        c.helloTimer->setSingleShot(true);
        c.helloTimer->setInterval(m_limits.helloTimeout);
        connect(c.helloTimer, &QTimer::timeout, this, [this, socket] { closeConnection(socket); });
        connect(socket, &QIODevice::readyRead, this, [this, socket] { wake(socket); });
        // Lines held back while replies were waiting to go out.
        connect(socket, &QIODevice::bytesWritten, this, [this, socket] { wake(socket); });
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { closeNow(socket); });
        connect(socket, &QAbstractSocket::errorOccurred, this, [this, socket] { closeNow(socket); });
        c.idleTimer->start();
        c.helloTimer->start();
        m_connections.insert(socket, c);
        ++m_perPeer[peer];
        post(m_eventReceiver, ClientServiceEvent::Notification::socket_onconnect);
    }
}

bool ClientService::isFull(const QString &peer) const
{
    return m_connections.size() >= m_limits.maxConnections ||
           m_perPeer.value(peer) >= m_limits.maxConnectionsPerAddress;
}

bool ClientService::dropLongestIdle(const QString &peer)
{
    // A scan, only when the service is full: a few hundred connections at most.
    const bool ofPeer = m_perPeer.value(peer) >= m_limits.maxConnectionsPerAddress;
    QTcpSocket *oldest = nullptr;
    quint64 since = std::numeric_limits<quint64>::max();
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        if ((!ofPeer || it->peer == peer) && it->lastRequest < since) {
            oldest = it.key();
            since = it->lastRequest;
        }
    }
    if (!oldest)
        return false;
    // At once rather than in order: a crowd that keeps coming back cannot pile up closing sockets.
    closeNow(oldest);
    return true;
}

void ClientService::wake(QTcpSocket *socket)
{
    // Writing a reply can report bytesWritten while the connection is being served; serving ends
    // with its own decision.
    if (socket == m_serving)
        return;
    const auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->queued)
        return; // a queued connection is served in its order
    if (!m_work->isActive())
        m_work->start(0); // a new turn, with new work, once the loop has gone round
    if (m_budget <= 0) {
        enqueue(socket, *it, Queue::Fresh);
        return;
    }
    settle(socket, serve(socket, m_budget));
}

void ClientService::settle(QTcpSocket *socket, Served served)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    switch (served) {
    case Served::More:
    case Served::TextBound:
        enqueue(socket, *it, Queue::Busy);
        break;
    case Served::WriteBound:
        holdReading(socket, true);
        break;
    case Served::Waiting:
        holdReading(socket, false);
        break;
    case Served::Closed:
        break;
    }
}

void ClientService::enqueue(QTcpSocket *socket, Connection &c, Queue queue)
{
    if (c.queued)
        return;
    c.queued = true;
    (queue == Queue::Fresh ? m_fresh : m_busy).push_back(socket);
    holdReading(socket, true);
    if (!m_work->isActive())
        m_work->start(0);
}

void ClientService::runTurn()
{
    m_budget = kLinesPerTurn;
    bool progress = false;
    // Connections that have just sent something come first, so that a till's HELLO is not stuck
    // behind clients that used up their share last time. Then one pass over the busy ones queued
    // when the turn began; those that still have lines queue up again behind them.
    const auto serveFrom = [this, &progress](std::deque<QTcpSocket *> &queue) {
        for (size_t n = queue.size(); n > 0 && m_budget > 0 && !queue.empty(); --n) {
            QTcpSocket *socket = queue.front();
            queue.pop_front();
            const auto it = m_connections.find(socket);
            if (it == m_connections.end())
                continue;
            it->queued = false;
            const int share = std::min(m_budget, kLinesPerClient);
            int left = share;
            const Served served = serve(socket, left);
            m_budget -= share - left;
            progress = progress || left < share;
            settle(socket, served);
        }
    };
    serveFrom(m_fresh);
    serveFrom(m_busy);
    if (!m_fresh.empty() || !m_busy.empty())
        m_work->start(progress ? 0 : kTextRetryMs);
}

ClientService::Served ClientService::serve(QTcpSocket *socket, int &budget)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return Served::Closed;
    QTcpSocket *const outer = std::exchange(m_serving, socket);
    const auto restore = qScopeGuard([this, outer] { m_serving = outer; });

    const qsizetype maxLine = m_limits.maxLineLength;
    Served result = Served::Waiting;
    bool wrote = false;
    while (budget > 0) {
        // Replies the client has not taken yet: read nothing more from it until they are out.
        // A client that never reads so stalls itself, not the service, and idles out.
        if (socket->bytesToWrite() > m_limits.maxUnsentBytes) {
            result = Served::WriteBound;
            break;
        }
        QByteArray line;
        if (it->held) {
            if (!textRoom()) {
                result = Served::TextBound;
                break;
            }
            line = *std::exchange(it->held, std::nullopt);
        } else {
            if (!socket->canReadLine()) {
                // The unfinished line may be one byte longer when that byte is the "\r" of its end.
                const qint64 unfinished = socket->bytesAvailable();
                if (unfinished > maxLine + 1 ||
                    (unfinished == maxLine + 1 && !socket->peek(unfinished).endsWith('\r'))) {
                    closeConnection(socket);
                    return Served::Closed;
                }
                result = Served::Waiting;
                break;
            }
            line = socket->readLine(maxLine + 3);
            if (!line.endsWith('\n')) {
                closeConnection(socket);
                return Served::Closed;
            }
            line.chop(1);
            if (line.endsWith('\r'))
                line.chop(1);
            if (line.size() > maxLine) {
                closeConnection(socket);
                return Served::Closed;
            }
        }
        --budget;
        const qint64 unsent = socket->bytesToWrite();
        const Served handled = handleLine(socket, *it, line);
        if (handled == Served::Closed)
            return Served::Closed;
        wrote = wrote || socket->bytesToWrite() != unsent;
        if (handled == Served::TextBound) {
            result = Served::TextBound;
            break;
        }
        result = Served::More;
    }
    if (result == Served::More && !socket->canReadLine())
        result = Served::Waiting;
    // Out to the system now: a client that says HELLO and closes its side at once gets its reply
    // before the end of its stream closes the socket.
    if (wrote)
        socket->flush();
    return m_connections.contains(socket) ? result : Served::Closed;
}

ClientService::Served ClientService::handleLine(QTcpSocket *socket, Connection &c, const QByteArray &line)
{
    if (line.isEmpty()) {
        // A keep-alive, for a till that has introduced itself; it does not put off the HELLO, and it
        // is no request: it does not keep the connection's place when a new one wants it.
        if (!c.machineKey.isEmpty())
            c.idleTimer->start();
        return Served::Waiting;
    }

    if (line.startsWith(kHello)) {
        const QString machine = QString::fromUtf8(line.mid(kHello.size())).trimmed();
        if (!machine.isEmpty()) {
            // Windows machine names ignore case: "POS1" and "pos1" are one till.
            c.machineKey = machine.toCaseFolded();
            c.lastRequest = ++m_requests;
            c.helloTimer->stop();
            c.idleTimer->start();
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write("OK " + gs_softver().toUtf8() + '\n');
            return Served::Waiting;
        }
    }
    if (m_infoReceiver && !textRoom()) {
        c.held = line;
        return Served::TextBound;
    }
    c.idleTimer->start();
    c.lastRequest = ++m_requests;
    post(m_infoReceiver, ClientServiceEvent::Notification::socket_get_text, QString::fromUtf8(line));
    return Served::Waiting;
}

bool ClientService::textRoom() const
{
    return m_backlog->events.load() < m_limits.maxQueuedTexts &&
           m_backlog->bytes.load() < m_limits.maxQueuedTextBytes;
}

void ClientService::holdReading(QTcpSocket *socket, bool hold)
{
    // A read buffer no larger than what it holds makes Qt leave the rest, and the end of the stream,
    // in the system until lines have been taken out.
    const qint64 buffered = socket->bytesAvailable();
    const qint64 size = hold && buffered > 0 ? buffered : readBufferSize();
    // Qt turns reading off when its buffer is full and on again only when the buffer size changes
    // (or the buffer runs empty), not when lines are taken out of it: a change of size makes it
    // look again.
    if (socket->readBufferSize() == size)
        socket->setReadBufferSize(size + 1);
    socket->setReadBufferSize(size);
}

void ClientService::closeNow(QTcpSocket *socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    // What arrived before the end is still handed on; there is nobody left to answer. The buffer
    // is bounded, so this is too.
    if (it->held && m_infoReceiver)
        post(m_infoReceiver, ClientServiceEvent::Notification::socket_get_text, QString::fromUtf8(*it->held));
    it->held.reset();
    while (socket->canReadLine()) {
        QByteArray line = socket->readLine(m_limits.maxLineLength + 3);
        if (!line.endsWith('\n'))
            break;
        line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.size() > m_limits.maxLineLength)
            continue;
        if (!(line.startsWith(kHello) && !QString::fromUtf8(line.mid(kHello.size())).trimmed().isEmpty()))
            post(m_infoReceiver, ClientServiceEvent::Notification::socket_get_text, QString::fromUtf8(line));
    }
    closeConnection(socket, Close::Abort);
}

void ClientService::closeConnection(QTcpSocket *socket, Close how)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->idleTimer->stop();
    it->helloTimer->stop();
    const auto peer = m_perPeer.find(it->peer);
    if (peer != m_perPeer.end() && --*peer <= 0)
        m_perPeer.erase(peer);
    if (it->queued) {
        for (auto *queue : {&m_fresh, &m_busy})
            queue->erase(std::remove(queue->begin(), queue->end(), socket), queue->end());
    }
    m_connections.erase(it);
    // From here on the socket says nothing more to us; it may be inside one of its own signals, so
    // it is deleted later rather than now.
    socket->disconnect(this);
    if (how == Close::Orderly && socket->state() == QAbstractSocket::ConnectedState) {
        // Replies already written go out first; a client that does not take them is cut after a
        // while. Nothing more is read from it meanwhile.
        socket->setReadBufferSize(1);
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kLingerMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->disconnectFromHost();
    } else {
        socket->abort();
        socket->deleteLater();
    }
    post(m_eventReceiver, ClientServiceEvent::Notification::socket_onmyclose);
    if (!m_trim->isActive())
        m_trim->start();
}

void ClientService::post(const QPointer<QObject> &receiver, ClientServiceEvent::Notification n,
                         const QString &text)
{
    if (!receiver)
        return;
    const bool counted = n == ClientServiceEvent::Notification::socket_get_text;
    QCoreApplication::postEvent(receiver.data(),
                                new ClientServiceEvent(n, text, counted ? m_backlog : nullptr));
}

} // namespace garvina
