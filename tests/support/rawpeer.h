#pragma once

// A peer of the service's control socket that misbehaves as only a bare descriptor can. It stands in
// for a hostile client, so the layer check lets this one file use the system's socket calls.
#include <QFile>
#include <QString>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace garvina::test {

/// \brief A client of the socket on a bare descriptor, for what QLocalSocket does not do: a
/// half-close, a connect that never blocks.
class RawClient
{
public:
    explicit RawClient(const QString &path) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0))
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::strncpy(address.sun_path, name.constData(), sizeof address.sun_path - 1);
        m_connected =
            m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~RawClient() { close(); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return m_connected; }
    bool send(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), bytes.size()) == bytes.size();
    }
    void halfClose() { ::shutdown(m_fd, SHUT_WR); }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    /// The service has closed its end.
    bool closedByService() const
    {
        char byte = 0;
        const ssize_t n = ::recv(m_fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

} // namespace garvina::test
