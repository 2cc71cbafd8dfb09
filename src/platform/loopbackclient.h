#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace garvina {

/// \brief A plain TCP client on 127.0.0.1, for what QTcpSocket cannot do: a tiny receive window,
/// sends that stop when the system's buffers are full, and closing only the sending half.
///
/// The connect blocks until the system has completed the handshake (the listener need not have
/// accepted yet); everything after it is non-blocking.
class LoopbackClient
{
public:
    /// \a receiveBuffer > 0 asks the system for a receive buffer of about that many bytes.
    explicit LoopbackClient(quint16 port, int receiveBuffer = 0);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    bool isValid() const { return m_fd >= 0; }
    /// The client's own port (the peer port the service sees), 0 when not connected.
    quint16 localPort() const { return m_localPort; }
    /// Bytes sent, 0 when the system buffers are full, -1 when the connection is gone.
    qint64 send(const QByteArray &bytes);
    /// Appends what has arrived to \a out. Bytes read, 0 when nothing is there yet, -1 at the end of
    /// the stream (the peer closed) or when the connection is gone.
    qint64 receive(QByteArray &out);
    /// Closes the sending half: the peer reads the end of the stream, replies still arrive.
    bool shutdownSending();
    /// True once the peer reset the connection (as opposed to closing it in order).
    bool wasReset() const { return m_reset; }

private:
    int m_fd = -1;
    quint16 m_localPort = 0;
    bool m_reset = false;
};

} // namespace garvina
