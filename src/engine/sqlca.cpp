#include "sqlca.h"

#include "engine/offthread.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

Sqlca::Sqlca(QString connectionName) : m_name(std::move(connectionName)) {}

Sqlca::~Sqlca()
{
    disconnect();
}

QSqlDatabase Sqlca::database() const
{
    return QSqlDatabase::database(m_current, false);
}

namespace {

struct Failure
{
    int code = -1;
    QString text;
};

Failure failureOf(const QSqlError &error)
{
    Failure f;
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    f.code = (ok && code != 0) ? code : -1;
    f.text = error.databaseText().trimmed();
    if (f.text.isEmpty())
        f.text = error.text().trimmed();
    return f;
}

/// What an attempt to attach brought back to the waiting thread.
struct Attempt
{
    bool ok = false;
    Failure failure;
};

} // namespace

void Sqlca::takeError(const QSqlError &error)
{
    const Failure f = failureOf(error);
    m_sqlCode = f.code;
    m_sqlErrText = f.text;
}

bool Sqlca::connect(const QString &host, int port, const QString &database, const QString &user,
                    const QString &password)
{
    disconnect();
    const QString name = m_name + u'-' + QString::number(++m_attempts);
    QThread *home = QThread::currentThread();
    const auto work = [name, host, port, database, user, password] {
        Attempt attempt;
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QIBASE"_s, name);
        if (!db.isValid()) {
            attempt.failure.text = u"Firebird driver (QIBASE) not available"_s;
            return attempt;
        }
        db.setHostName(host);
        db.setPort(port);
        db.setDatabaseName(database);
        db.setUserName(user);
        db.setPassword(password);
        db.setConnectOptions(u"ISC_DPB_LC_CTYPE=UTF8"_s);
        attempt.ok = db.open();
        // The driver keeps what it was given; the password is not needed after the attachment.
        db.setPassword(QString());
        if (!attempt.ok)
            attempt.failure = failureOf(db.lastError());
        return attempt;
    };
    // A connection belongs to the thread that made it: a good one is handed to this thread, any
    // other is closed and forgotten where it was made.
    const auto settle = [name, home](Attempt &attempt, bool taken) {
        if (attempt.ok && taken) {
            QSqlDatabase::database(name, false).driver()->moveToThread(home);
            return;
        }
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            if (db.isOpen())
                db.close();
        }
        QSqlDatabase::removeDatabase(name);
    };
    std::optional<Attempt> attempt;
    const OffThreadEnd end = runOffThread<Attempt>(work, settle, m_connectBoundMs, attempt);
    if (end != OffThreadEnd::Done) {
        m_sqlCode = -1;
        m_sqlErrText = givenUpText(end, m_connectBoundMs);
        return false;
    }
    if (!attempt->ok) {
        m_sqlCode = attempt->failure.code;
        m_sqlErrText = attempt->failure.text;
        return false;
    }
    m_current = name;
    m_sqlCode = 0;
    m_sqlErrText.clear();
    return true;
}

void Sqlca::abandon()
{
    if (m_current.isEmpty())
        return;
    m_current.clear();
    ++offThreadCallsLeft();
}

void Sqlca::disconnect()
{
    if (m_current.isEmpty())
        return;
    {
        QSqlDatabase db = database();
        if (db.isOpen()) {
            db.rollback();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(m_current);
    m_current.clear();
}

bool Sqlca::isConnected() const
{
    return !m_current.isEmpty() && database().isOpen();
}

bool Sqlca::executeImmediate(const QString &statement)
{
    QSqlDatabase db = database();
    if (!db.isOpen()) {
        m_sqlCode = -1;
        m_sqlErrText = u"not connected"_s;
        return false;
    }
    // Autocommit is off: open a transaction; false means one is open already and the statement joins it.
    db.transaction();
    QSqlQuery query(db);
    if (!query.exec(statement)) {
        takeError(query.lastError());
        return false;
    }
    m_sqlCode = 0;
    m_sqlErrText.clear();
    return true;
}

bool Sqlca::commit()
{
    QSqlDatabase db = database();
    if (!db.commit()) {
        takeError(db.lastError());
        return false;
    }
    m_sqlCode = 0;
    return true;
}

bool Sqlca::rollback()
{
    QSqlDatabase db = database();
    if (!db.rollback()) {
        takeError(db.lastError());
        return false;
    }
    m_sqlCode = 0;
    return true;
}

} // namespace garvina
