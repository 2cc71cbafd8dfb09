#pragma once

#include <QByteArray>

namespace garvina {

/// \brief Tells the service manager about the service's state ("READY=1", "STOPPING=1", "STATUS=…").
///
/// Sends \a state as one datagram to the socket named by NOTIFY_SOCKET: a path, or a name in the
/// abstract namespace when it starts with "@". False when the variable is not set (not started by a
/// service manager) or the message could not be sent.
bool notifyServiceManager(const QByteArray &state);

/// \brief The service manager's side of NOTIFY_SOCKET: a datagram socket bound to a path, or to a
/// name in the abstract namespace ("@name"), that receives the service's messages.
class ServiceNotifyReceiver
{
public:
    explicit ServiceNotifyReceiver(const QByteArray &name);
    ~ServiceNotifyReceiver();
    ServiceNotifyReceiver(const ServiceNotifyReceiver &) = delete;
    ServiceNotifyReceiver &operator=(const ServiceNotifyReceiver &) = delete;

    bool isValid() const { return m_fd >= 0; }
    /// The next message, or a null array when none came within \a timeoutMs.
    QByteArray receive(int timeoutMs);

private:
    int m_fd = -1;
    QByteArray m_path; ///< the socket file to remove again (not for an abstract name)
};

} // namespace garvina
