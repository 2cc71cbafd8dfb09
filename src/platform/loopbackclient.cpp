#include "loopbackclient.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace garvina {

LoopbackClient::LoopbackClient(quint16 port, int receiveBuffer)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    if (receiveBuffer > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &len) == 0)
        m_localPort = ntohs(local.sin_port);
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

LoopbackClient::~LoopbackClient()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

qint64 LoopbackClient::send(const QByteArray &bytes)
{
    if (m_fd < 0)
        return -1;
    const ssize_t n = ::send(m_fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    if (n >= 0)
        return n;
    if (errno == ECONNRESET)
        m_reset = true;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

qint64 LoopbackClient::receive(QByteArray &out)
{
    if (m_fd < 0)
        return -1;
    char buffer[16 * 1024];
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            out.append(buffer, static_cast<qsizetype>(n));
            total += n;
            continue;
        }
        if (n == 0)
            return total > 0 ? total : -1;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return total;
        if (errno == ECONNRESET)
            m_reset = true;
        return total > 0 ? total : -1;
    }
}

bool LoopbackClient::shutdownSending()
{
    return m_fd >= 0 && ::shutdown(m_fd, SHUT_WR) == 0;
}

} // namespace garvina
