#pragma once

#include "clientsvc/clientserviceapi.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace garvina {

/// \brief The console's TCP service for the tills (the line protocol is in PROTOCOL.md beside this file).
///
/// Listens on all interfaces of the given port. Everything happens on the thread that owns the object,
/// through the event loop: sockets are non-blocking and nothing ever waits for the network. Every
/// input is bounded (line length, number of connections, idle time, unread replies), so no client can
/// stall the console or make it hold unbounded memory.
///
/// Notifications are posted as ClientServiceEvent to the receivers named by SetEventHwnd and
/// SetInfoHwnd (see there). Every socket_onconnect is followed, sooner or later, by exactly one
/// socket_onmyclose for the same connection, whether the client hung up, was dropped, or the service
/// was stopped. Connections refused because the service is full raise neither.
class ClientService final : public QObject, public ClientServiceApi
{
    Q_OBJECT
public:
    /// Results of StartServer.
    enum StartResult : short {
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
        /// Open connections at most; further ones are closed as soon as they are accepted.
        int maxConnections = 500;
        /// A client that sends nothing for this long is disconnected (an empty line keeps it alive).
        std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
        /// Replies a client has left unread (beyond what the system buffers) before the service stops
        /// reading from it until they are out; a client that never reads so ends up idle.
        qint64 maxUnsentBytes = 64 * 1024;
    };

    explicit ClientService(QObject *parent = nullptr);
    explicit ClientService(const Limits &limits, QObject *parent = nullptr);
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

    bool isListening() const;
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
        QByteArray pending;  ///< received, not handled yet: an unfinished line, or lines held back
        QString machineKey;  ///< the machine name, case-folded; empty until the client says HELLO
    };

    void acceptConnections();
    /// Handles the complete lines received so far and reads on, within the bounds.
    void pump(QTcpSocket *socket);
    /// Handles one complete line; false when the connection was closed while doing so.
    bool handleLine(QTcpSocket *socket, const QByteArray &line);
    void closeConnection(QTcpSocket *socket);
    void post(const QPointer<QObject> &receiver, ClientServiceEvent::Notification n,
              const QString &text = QString());

    Limits m_limits;
    QTcpServer *m_server = nullptr;
    QTimer *m_acceptRetry = nullptr;
    QHash<QTcpSocket *, Connection> m_connections;
    QPointer<QObject> m_eventReceiver;
    QPointer<QObject> m_infoReceiver;
    QString m_lastError;
};

} // namespace garvina
