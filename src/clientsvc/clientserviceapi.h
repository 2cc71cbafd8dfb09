#pragma once

#include <QEvent>
#include <QString>

#include <atomic>
#include <memory>

class QObject;

namespace garvina {

/// \brief A notification of the client connection service, posted to a registered receiver.
///
/// The service never calls a receiver directly: it posts one of these with
/// QCoreApplication::postEvent, so the receiver handles it on its own thread, from its event queue,
/// after the service's own work has finished. A receiver (a QObject or a QWidget) picks them up by
/// overriding QObject::customEvent():
///
/// \code
/// void w_main::customEvent(QEvent *event)
/// {
///     if (event->type() == ClientServiceEvent::eventType()) {
///         const auto *e = static_cast<ClientServiceEvent *>(event);
///         switch (e->notification()) { ... }
///     }
/// }
/// \endcode
///
/// An event that nobody handles is simply dropped by Qt, so a receiver that does not care needs no code.
class ClientServiceEvent final : public QEvent
{
public:
    enum class Notification
    {
        socket_onconnect, ///< a client connected (sent to the event receiver)
        socket_onmyclose, ///< a client's connection closed, for whatever reason (event receiver)
        socket_get_text,  ///< a client sent a line of text; text() holds it (info receiver)
    };

    /// What the texts posted by a service and not yet taken by their receiver hold: every event
    /// counts itself in on creation and out when Qt deletes it (after delivery, or with its receiver).
    struct Backlog
    {
        std::atomic<int> events{0};
        std::atomic<qint64> bytes{0};
    };

    explicit ClientServiceEvent(Notification notification, QString text = QString(),
                                std::shared_ptr<Backlog> backlog = nullptr)
        : QEvent(eventType()), m_notification(notification), m_text(std::move(text)),
          m_backlog(std::move(backlog))
    {
        if (m_backlog) {
            m_backlog->events.fetch_add(1);
            m_backlog->bytes.fetch_add(cost());
        }
    }
    ~ClientServiceEvent() override
    {
        if (m_backlog) {
            m_backlog->events.fetch_sub(1);
            m_backlog->bytes.fetch_sub(cost());
        }
    }
    ClientServiceEvent(const ClientServiceEvent &) = delete;
    ClientServiceEvent &operator=(const ClientServiceEvent &) = delete;

    /// The one event type of all three notifications, registered with Qt on first use.
    static QEvent::Type eventType()
    {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    Notification notification() const { return m_notification; }
    const QString &text() const { return m_text; }

private:
    /// Memory the event holds, about.
    qint64 cost() const { return qint64(sizeof(*this)) + 2 * qint64(m_text.size()); }

    Notification m_notification;
    QString m_text;
    std::shared_ptr<Backlog> m_backlog;
};

/// \brief The six entry points of the client connection service, as the main window uses them.
///
/// The service is a library of its own on Windows; here it is ClientService. The console talks to it
/// only through this interface, so another implementation can be put in one place.
class ClientServiceApi
{
public:
    virtual ~ClientServiceApi() = default;

    /// Registers the receiver of socket_onconnect and socket_onmyclose (nullptr: nobody).
    virtual void SetEventHwnd(QObject *receiver) = 0;
    /// Registers the receiver of socket_get_text (nullptr: nobody).
    virtual void SetInfoHwnd(QObject *receiver) = 0;
    /// Starts listening on \a port; 0 when started, any other value is a failure code.
    virtual short StartServer(int port) = 0;
    /// Stops the service; 0 when it is stopped afterwards (also when nothing was running).
    virtual short StopServer() = 0;
    /// Open client connections.
    virtual int GetClientCount() const = 0;
    /// Distinct machine names among the open connections that introduced themselves.
    virtual int GetMachineCount() const = 0;
    /// True while it listens for clients.
    virtual bool isListening() const = 0;
};

} // namespace garvina
