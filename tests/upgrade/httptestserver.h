#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace garvina::test {

/// \brief A small HTTP/1.1 server on 127.0.0.1, on a free port, answering each path as told.
///
/// It runs in the test's thread: it answers while the code under test waits in an event loop of
/// its own, or while the test waits with QTRY_*. One request per connection, then the server closes.
class HttpTestServer
{
public:
    enum class Kind
    {
        Normal,            ///< status, Content-Length, body
        Silent,            ///< reads the request and never answers
        Delayed,           ///< like Normal, after delayMs
        Truncated,         ///< announces announcedLength bytes, sends the body, closes
        Endless,           ///< 200 without a length, streams until the client goes away (or streamLimit)
        EndlessWithLength, ///< the same, announcing streamLimit bytes
        Trickle,           ///< like Normal, the body in 20 slices delayMs apart (counted in streamed)
    };
    struct Route
    {
        int status = 200;
        QByteArray body;
        Kind kind = Kind::Normal;
        int delayMs = 0;
        qint64 announcedLength = -1;
        QByteArray location; ///< sent as the Location header (for a 3xx status)
    };

    HttpTestServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this]() {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                accept(socket);
        });
    }

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    /// "127.0.0.1:PORT", the form the configuration takes.
    QString hostPort() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

    void setRoute(const QByteArray &path, const Route &route) { m_routes.insert(path, route); }

    /// Paths asked for, in order.
    QList<QByteArray> requests;
    /// Body bytes an endless route handed to its connection.
    qint64 streamed = 0;
    /// An endless route stops here at the latest, whether or not the client still reads.
    qint64 streamLimit = qint64(256) * 1024 * 1024;
    /// Set when the client of an endless route went away before streamLimit was reached.
    bool streamAbandoned = false;

private:
    void accept(QTcpSocket *socket)
    {
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto *buffer = new QByteArray;
        QObject::connect(socket, &QObject::destroyed, socket, [buffer]() { delete buffer; });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer]() {
            if (buffer->contains("\r\n\r\n"))
                return; // already answered or answering
            buffer->append(socket->readAll());
            if (!buffer->contains("\r\n\r\n"))
                return;
            const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
            const QByteArray path = requestLine.value(1);
            requests.append(path);
            answer(socket, m_routes.value(path, Route{404, "not found", Kind::Normal, 0, -1, {}}));
        });
    }

    static QByteArray head(int status, qint64 length, const QByteArray &location = {})
    {
        QByteArray h = "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error") + "\r\n";
        h += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
        if (!location.isEmpty())
            h += "Location: " + location + "\r\n";
        if (length >= 0)
            h += "Content-Length: " + QByteArray::number(length) + "\r\n";
        return h + "\r\n";
    }

    void answer(QTcpSocket *socket, const Route &route)
    {
        switch (route.kind) {
        case Kind::Silent:
            return;
        case Kind::Normal:
            socket->write(head(route.status, route.body.size(), route.location) + route.body);
            socket->disconnectFromHost();
            return;
        case Kind::Delayed:
            QTimer::singleShot(route.delayMs, socket, [socket, route]() {
                socket->write(head(route.status, route.body.size()) + route.body);
                socket->disconnectFromHost();
            });
            return;
        case Kind::Trickle: {
            socket->write(head(route.status, route.body.size()));
            auto *timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [this, socket, body = route.body]() {
                const QByteArray slice = body.mid(streamed, body.size() / 20 + 1);
                socket->write(slice);
                streamed += slice.size();
                if (streamed >= body.size())
                    socket->disconnectFromHost();
            });
            timer->start(route.delayMs);
            return;
        }
        case Kind::Truncated:
            socket->write(head(route.status, route.announcedLength) + route.body);
            socket->disconnectFromHost();
            return;
        case Kind::Endless:
        case Kind::EndlessWithLength:
            socket->write(head(200, route.kind == Kind::Endless ? -1 : streamLimit));
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [this]() {
                if (streamed < streamLimit)
                    streamAbandoned = true;
            });
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket]() { feed(socket); });
            feed(socket);
            return;
        }
    }

    /// Keeps a little queued on the connection, so what was streamed is about what the client took.
    void feed(QTcpSocket *socket)
    {
        static const QByteArray chunk(64 * 1024, 'x');
        while (socket->state() == QAbstractSocket::ConnectedState &&
               socket->bytesToWrite() < 2 * chunk.size() && streamed < streamLimit) {
            socket->write(chunk);
            streamed += chunk.size();
        }
        if (streamed >= streamLimit)
            socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QByteArray, Route> m_routes;
};

} // namespace garvina::test
