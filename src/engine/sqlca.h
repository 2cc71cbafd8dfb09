#pragma once

#include <QString>

class QSqlDatabase;
class QSqlError;

namespace garvina {

/// \brief The console's one database connection: opened by each operation that needs it and closed
/// again; none is held while the console is idle.
///
/// Autocommit is off: statements run in a transaction the caller commits or rolls back.
class Sqlca
{
public:
    explicit Sqlca(QString connectionName = QStringLiteral("sqlca"));
    ~Sqlca();
    Sqlca(const Sqlca &) = delete;
    Sqlca &operator=(const Sqlca &) = delete;

    /// \brief Connects over TCP to \a database on \a host / \a port. Harmless to call while connected:
    /// the old connection is closed first.
    ///
    /// Gives up after connectBoundMs() (an engine that listens but does not answer) and once the
    /// console's end is requested; the attachment is made on a thread of its own meanwhile.
    bool connect(const QString &host, int port, const QString &database, const QString &user,
                 const QString &password);
    void disconnect();
    /// \brief Forgets the connection without a word to the engine, for an engine that answers
    /// nothing (stopped by a signal): closing it would wait inside the client library for as long.
    /// The connection stays behind unused; the process then leaves without the library's shutdown.
    void abandon();
    bool isConnected() const;

    /// Runs one statement; false with sqlCode() and sqlErrText() set when it failed.
    bool executeImmediate(const QString &statement);
    bool commit();
    bool rollback();

    /// 0 after a successful operation; the engine's (negative) code, or -1, after a failure.
    int sqlCode() const { return m_sqlCode; }
    /// The engine's text for the last failure.
    const QString &sqlErrText() const { return m_sqlErrText; }

    QSqlDatabase database() const;

    int connectBoundMs() const { return m_connectBoundMs; }
    void setConnectBoundMs(int ms) { m_connectBoundMs = ms; }

private:
    void takeError(const QSqlError &error);

    QString m_name;
    /// Each attempt has a connection name of its own: one given up on may still finish later.
    QString m_current;
    quint64 m_attempts = 0;
    int m_connectBoundMs = 10000;
    int m_sqlCode = 0;
    QString m_sqlErrText;
};

} // namespace garvina
