#include "sqlca.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

Sqlca::Sqlca(QString connectionName) : m_name(std::move(connectionName)) {}

Sqlca::~Sqlca()
{
    disconnect();
    if (QSqlDatabase::contains(m_name))
        QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase Sqlca::database() const
{
    return QSqlDatabase::database(m_name, false);
}

void Sqlca::takeError(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    m_sqlCode = (ok && code != 0) ? code : -1;
    m_sqlErrText = error.databaseText().trimmed();
    if (m_sqlErrText.isEmpty())
        m_sqlErrText = error.text().trimmed();
}

bool Sqlca::connect(const QString &host, int port, const QString &database, const QString &user,
                    const QString &password)
{
    disconnect();
    QSqlDatabase db = QSqlDatabase::contains(m_name) ? QSqlDatabase::database(m_name, false)
                                                     : QSqlDatabase::addDatabase(u"QIBASE"_s, m_name);
    if (!db.isValid()) {
        m_sqlCode = -1;
        m_sqlErrText = u"Firebird driver (QIBASE) not available"_s;
        return false;
    }
    db.setHostName(host);
    db.setPort(port);
    db.setDatabaseName(database);
    db.setUserName(user);
    db.setPassword(password);
    db.setConnectOptions(u"ISC_DPB_LC_CTYPE=UTF8"_s);
    const bool ok = db.open();
    // The driver keeps what it was given; the password is not needed after the attachment.
    db.setPassword(QString());
    if (!ok) {
        takeError(db.lastError());
        return false;
    }
    m_sqlCode = 0;
    m_sqlErrText.clear();
    return true;
}

void Sqlca::disconnect()
{
    if (!QSqlDatabase::contains(m_name))
        return;
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (db.isOpen()) {
        db.rollback();
        db.close();
    }
}

bool Sqlca::isConnected() const
{
    return QSqlDatabase::contains(m_name) && QSqlDatabase::database(m_name, false).isOpen();
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
