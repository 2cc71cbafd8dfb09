#include "servicenotify.h"

#include <QtGlobal>

#include <QFile>

#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace garvina {

namespace {

/// The address of a socket named by a path or by "@name" (the abstract namespace, where the
/// name's length counts and no zero ends it). False when the name is neither or too long.
bool socketAddress(const QByteArray &name, sockaddr_un &address, socklen_t &length)
{
    if (name.isEmpty() || (name[0] != '/' && name[0] != '@'))
        return false;
    address = sockaddr_un{};
    if (static_cast<size_t>(name.size()) >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + static_cast<size_t>(name.size()));
    return true;
}

} // namespace

bool notifyServiceManager(const QByteArray &state)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (!socketAddress(qgetenv("NOTIFY_SOCKET"), address, length))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const ssize_t sent = ::sendto(fd, state.constData(), static_cast<size_t>(state.size()), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&address), length);
    ::close(fd);
    return sent == state.size();
}

ServiceNotifyReceiver::ServiceNotifyReceiver(const QByteArray &name)
{
    sockaddr_un address;
    socklen_t length = 0;
    if (!socketAddress(name, address, length))
        return;
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    if (name[0] == '/')
        m_path = name;
}

ServiceNotifyReceiver::~ServiceNotifyReceiver()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_path.isEmpty())
        QFile::remove(QFile::decodeName(m_path));
}

QByteArray ServiceNotifyReceiver::receive(int timeoutMs)
{
    if (m_fd < 0)
        return QByteArray();
    pollfd waiting{m_fd, POLLIN, 0};
    if (::poll(&waiting, 1, timeoutMs) <= 0)
        return QByteArray();
    char buffer[4096];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return QByteArray();
    return QByteArray(buffer, static_cast<qsizetype>(n));
}

} // namespace garvina
