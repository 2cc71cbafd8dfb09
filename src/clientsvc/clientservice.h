#pragma once

#include "clientsvc/clientserviceapi.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace garvina {

/// \brief The console's TCP service for the tills (the line protocol is in PROTOCOL.md beside this file).
///
/// Listens on all interfaces of the given port. Everything happens on the thread that owns the object,
/// through the event loop: sockets are non-blocking and nothing ever waits for the network. Every
/// input is bounded (line length, connections in all and per address, the time to say HELLO, idle
/// time, unread replies, texts the console has not taken yet), and so is the work done for the
/// clients in one turn of the event loop and for one client in it: no client, and no crowd of
/// clients, can starve the console's window, its timer or the other tills, or make it hold unbounded
/// memory.
///
/// Notifications are posted as ClientServiceEvent to the receivers named by SetEventHwnd and
/// SetInfoHwnd (see there). Every socket_onconnect is followed, sooner or later, by exactly one
/// socket_onmyclose for the same connection, whether the client hung up, was dropped, or the service
/// was stopped.
///
/// A full service (in all, or for one address) still lets a new connection in: it drops the one of
/// that address, or of all, whose last request is longest ago. Only requests count, HELLO and texts:
/// empty lines keep a connection open but do not make it look busy, so a crowd of idlers that fills
/// every place cannot keep a till out.
class ClientService final : public QObject, public ClientServiceApi
{
    Q_OBJECT
public:
    /// Results of StartServer.
    enum StartResult : short
    {
        Started = 0,
        InvalidPort = 1,    ///< the port is 0 or outside 1–65535; nothing is opened
        AddressInUse = 2,   ///< another socket listens on the port
        AccessDenied = 3,   ///< the system refuses the port (a privileged port, for example)
        ListenFailed = 4,   ///< any other failure to listen
        AlreadyRunning = 5, ///< the service already listens; it is left untouched (call StopServer first)
    };

    struct Limits
    {
        /// Longest accepted line in bytes, without its line end; a longer one drops the connection.
        int maxLineLength = 4096;
        /// Open connections at most; a further one takes the place of the connection whose last
        /// request is longest ago.
        int maxConnections = 500;
        /// Open connections from one address at most, so that one machine cannot take every place;
        /// a further one takes the place of that address's connection whose last request is longest ago.
        int maxConnectionsPerAddress = 16;
        /// A connection that has not said HELLO this long after it was accepted is closed, whatever
        /// else it sends.
        std::chrono::milliseconds helloTimeout = std::chrono::seconds(5);
        /// A client that sends no line for this long is disconnected (after HELLO an empty line keeps
        /// it alive).
        std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
        /// Replies a client has left unread (beyond what the system buffers) before the service stops
        /// reading from it until they are out; a client that never reads so ends up idle.
        qint64 maxUnsentBytes = 64 * 1024;
        /// Texts posted to the console and not yet taken, from all clients together: beyond either
        /// bound the service reads no further texts until the console has caught up.
        int maxQueuedTexts = 4096;
        qint64 maxQueuedTextBytes = 2 * 1024 * 1024;
    };

    /// Tells which machine a peer is, for the per-address bound; the default is addressKey.
    using PeerKey = std::function<QString(const QHostAddress &address, quint16 port)>;
    /// \brief The peer's IPv4 address (also when mapped into IPv6), or the /64 prefix of its IPv6
    /// address (with its scope): one machine, or one subscriber's network, can use any address of
    /// its /64.
    static QString addressKey(const QHostAddress &address);

    explicit ClientService(QObject *parent = nullptr);
    explicit ClientService(const Limits &limits, QObject *parent = nullptr);
    ClientService(const Limits &limits, PeerKey peerKey, QObject *parent = nullptr);
    ~ClientService() override;

    /// The receiver is kept as a guarded pointer: once it is destroyed nothing more is posted to it.
    void SetEventHwnd(QObject *receiver) override;
    void SetInfoHwnd(QObject *receiver) override;

    /// \brief Listens on \a port on every interface; see StartResult for the answers.
    ///
    /// Port 0 is refused rather than handed to the system, which would pick a random port that no
    /// till knows. A second start while running fails with AlreadyRunning and changes nothing.
    short StartServer(int port) override;
    /// \brief Closes the listener and every client connection at once and frees the port, so that a
    /// start on the same port right afterwards succeeds. Always 0.
    short StopServer() override;
    int GetClientCount() const override;
    int GetMachineCount() const override;

    bool isListening() const override;
    /// The port listened on, or 0 when stopped.
    quint16 serverPort() const;
    /// The system's explanation of the last failed start (empty after a good one).
    QString lastError() const { return m_lastError; }

    const Limits &limits() const { return m_limits; }
    /// New limits apply to open connections too (an idle clock that is running restarts).
    void setLimits(const Limits &limits);

private:
    struct Connection
    {
        QTimer *idleTimer = nullptr;
        QTimer *helloTimer = nullptr;   ///< runs until the client says HELLO
        QString machineKey;             ///< the machine name, case-folded; empty until HELLO
        QString peer;                   ///< the PeerKey of the connection
        std::optional<QByteArray> held; ///< a text line waiting for the console to catch up
        bool queued = false;            ///< in m_fresh or m_busy
        quint64 lastRequest = 0;        ///< m_requests when a request was last served, or at the accept
    };

    /// Why serving a connection stopped.
    enum class Served
    {
        Waiting,    ///< no complete line left: the next bytes from the client bring more
        More,       ///< the share of this turn is used up; lines are left
        WriteBound, ///< replies wait to go out; bytesWritten brings it back
        TextBound,  ///< a text waits for the console to catch up with the texts posted before
        Closed,     ///< the connection was closed meanwhile
    };

    void acceptConnections();
    bool isFull(const QString &peer) const;
    /// \brief Drops the connection whose last request is longest ago, of \a peer when its share is
    /// full, of all otherwise; false when there is none.
    bool dropLongestIdle(const QString &peer);
    /// New bytes or room for replies: serves the connection now when this turn has work left,
    /// otherwise queues it for the next turn.
    void wake(QTcpSocket *socket);
    /// One turn of the work loop: serves the queued connections in order, each a share, until the
    /// turn's work is used up.
    void runTurn();
    /// Handles up to \a budget complete lines of the connection (taking them from \a budget).
    Served serve(QTcpSocket *socket, int &budget);
    /// Queues, holds or releases the connection according to how serving it stopped.
    void settle(QTcpSocket *socket, Served served);
    /// Handles one complete line; Waiting when it is done with, TextBound when it is held back,
    /// Closed when the connection was closed meanwhile.
    Served handleLine(QTcpSocket *socket, Connection &c, const QByteArray &line);
    enum class Queue
    {
        Fresh,
        Busy
    };
    void enqueue(QTcpSocket *socket, Connection &c, Queue queue);
    /// While lines wait in the socket's buffer, the socket reads nothing more from the system; so
    /// it does not see the end of the stream before the replies to those lines are out.
    void holdReading(QTcpSocket *socket, bool hold);
    bool textRoom() const;
    /// The client has gone, or its place is wanted: hands on the texts that had arrived before, then
    /// closes at once.
    void closeNow(QTcpSocket *socket);
    enum class Close
    {
        Orderly,
        Abort
    };
    void closeConnection(QTcpSocket *socket, Close how = Close::Orderly);
    void post(const QPointer<QObject> &receiver, ClientServiceEvent::Notification n,
              const QString &text = QString());
    qint64 readBufferSize() const;

    Limits m_limits;
    PeerKey m_peerKey;
    QTcpServer *m_server = nullptr;
    QTimer *m_acceptRetry = nullptr;
    int m_acceptRetryMs = 100; ///< the pause before the next try after the system refused to accept
    QTimer *m_work = nullptr;
    QTimer *m_trim = nullptr;
    int m_budget = 512; ///< lines left in this turn
    QHash<QTcpSocket *, Connection> m_connections;
    QHash<QString, int> m_perPeer;
    quint64 m_requests = 0;           ///< requests served and connections accepted, to order them by age
    std::deque<QTcpSocket *> m_fresh; ///< woken while this turn's work was used up
    std::deque<QTcpSocket *> m_busy;  ///< used up their share and have lines left, or wait for the console
    QTcpSocket *m_serving = nullptr;
    std::shared_ptr<ClientServiceEvent::Backlog> m_backlog;
    QPointer<QObject> m_eventReceiver;
    QPointer<QObject> m_infoReceiver;
    QString m_lastError;
};

} // namespace garvina
