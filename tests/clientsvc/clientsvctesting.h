#pragma once

// Shared pieces of the client service tests: a receiver that records notifications, a till that
// talks to the service over real TCP, and a free port.

#include "clientsvc/clientserviceapi.h"

#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <atomic>

namespace garvina::test {

/// Keeps every ClientServiceEvent it receives, with the thread it was handled on. Safe to read
/// from another thread than its own.
class NotificationRecorder final : public QObject
{
public:
    using Notification = ClientServiceEvent::Notification;

    struct Record
    {
        Notification notification;
        QString text;
        QThread *thread;
    };

    QList<Record> records() const
    {
        QMutexLocker lock(&m_mutex);
        return m_records;
    }
    int count(Notification n) const
    {
        QMutexLocker lock(&m_mutex);
        int c = 0;
        for (const Record &r : m_records)
            c += r.notification == n ? 1 : 0;
        return c;
    }
    QStringList texts() const
    {
        QMutexLocker lock(&m_mutex);
        QStringList out;
        for (const Record &r : m_records) {
            if (r.notification == Notification::socket_get_text)
                out.append(r.text);
        }
        return out;
    }
    int size() const
    {
        QMutexLocker lock(&m_mutex);
        return static_cast<int>(m_records.size());
    }

protected:
    void customEvent(QEvent *event) override
    {
        if (event->type() != ClientServiceEvent::eventType())
            return;
        const auto *e = static_cast<const ClientServiceEvent *>(event);
        QMutexLocker lock(&m_mutex);
        m_records.append({e->notification(), e->text(), QThread::currentThread()});
    }

private:
    mutable QMutex m_mutex;
    QList<Record> m_records;
};

/// Counts the texts it receives and drops them, as the main window does.
class TextCounter final : public QObject
{
public:
    std::atomic<qint64> texts{0};

protected:
    void customEvent(QEvent *event) override
    {
        if (event->type() == ClientServiceEvent::eventType() &&
            static_cast<const ClientServiceEvent *>(event)->notification() ==
                ClientServiceEvent::Notification::socket_get_text)
            texts.fetch_add(1);
    }
};

/// A till: a non-blocking client socket that collects what the service sends back.
class Till final : public QObject
{
public:
    Till()
    {
        connect(&socket, &QIODevice::readyRead, this, [this] { received += socket.readAll(); });
        connect(&socket, &QAbstractSocket::disconnected, this, [this] { closed = true; });
        connect(&socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
            lastError = e;
            if (e != QAbstractSocket::SocketTimeoutError)
                closed = true;
        });
        connect(&socket, &QAbstractSocket::connected, this, [this] { connected = true; });
    }

    /// Connects to the loopback of \a from's kind, from \a from when it is given (any 127.x.y.z
    /// address is this machine's); false when that address cannot be had.
    bool open(quint16 port, const QHostAddress &from = QHostAddress())
    {
        const bool v6 = from.protocol() == QAbstractSocket::IPv6Protocol;
        const bool bound = from.isNull() || socket.bind(from);
        socket.connectToHost(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, port);
        return bound;
    }
    void send(const QByteArray &bytes) { socket.write(bytes); }
    /// Complete lines received so far, without their line ends.
    QList<QByteArray> lines() const
    {
        QList<QByteArray> out = received.split('\n');
        out.removeLast(); // what follows the last "\n"
        return out;
    }

    QTcpSocket socket;
    QByteArray received;
    bool connected = false;
    bool closed = false;
    QAbstractSocket::SocketError lastError = QAbstractSocket::UnknownSocketError;
};

/// A port nobody listens on right now (the system's pick for port 0).
inline quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        qFatal("cannot find a free port");
    return probe.serverPort();
}

} // namespace garvina::test
