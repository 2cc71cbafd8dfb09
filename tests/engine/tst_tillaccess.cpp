// What a machine on the shop's network can reach on the engine instance: a till that encrypts gets
// the shop database, nothing else is open to it, and a client that does not encrypt is refused.

#include "engine/enginecontrol.h"
#include "support/testprogramfolder.h"

#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using garvina::EngineInstance;
using garvina::test::TestProgramFolder;

namespace {

/// The system's Firebird client files, which a client configuration folder links to.
QString firebirdLibraryFolder()
{
    for (const QString &dir : {u"/usr/lib/x86_64-linux-gnu/firebird/3.0"_s, u"/usr/lib/firebird/3.0"_s}) {
        if (QFile::exists(dir + u"/plugins"_s))
            return dir;
    }
    return QString();
}

} // namespace

class TestTillAccess : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestProgramFolder> m_folder;
    QProcess m_server;
    int m_port = 0;
    QTemporaryDir m_clients;

    /// A folder of client settings, as a till's Firebird client would have them.
    QString clientFolder(const QString &wireCrypt)
    {
        const QString dir = m_clients.path() + u'/' + wireCrypt + u'/';
        if (!QDir(dir).exists()) {
            QDir().mkpath(dir);
            QFile conf(dir + u"firebird.conf"_s);
            conf.open(QIODevice::WriteOnly);
            conf.write("WireCrypt = " + wireCrypt.toUtf8() + '\n');
            for (const QString &entry : {u"plugins"_s, u"lib"_s, u"intl"_s, u"firebird.msg"_s})
                QFile::link(firebirdLibraryFolder() + u'/' + entry, dir + entry);
        }
        return dir;
    }

    /// Runs isql-fb with \a environment and \a script on its input; what it printed.
    static QString isql(const QStringList &environment, const QByteArray &script, const QStringList &args = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : environment)
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        env.remove(u"ISC_PASSWORD"_s);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(u"isql-fb"_s, QStringList{u"-q"_s} + args);
        p.write(script);
        p.closeWriteChannel();
        if (!p.waitForFinished(60000))
            return u"(isql-fb did not end)"_s;
        return QString::fromUtf8(p.readAll());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!firebirdLibraryFolder().isEmpty());
        m_folder = std::make_unique<TestProgramFolder>(u"till-access"_s);
        QString log;
        QVERIFY2(m_folder->layOut(&log), qPrintable(log));
        m_port = TestProgramFolder::freePort();
        const EngineInstance instance(m_folder->gs_path);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : instance.environment())
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        m_server.setProcessEnvironment(env);
        m_server.start(u"/usr/sbin/firebird"_s, garvina::serverArguments(instance, QString::number(m_port)));
        QVERIFY(m_server.waitForStarted());
        QVERIFY(QTest::qWaitFor([this] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(m_port));
            return probe.waitForConnected(200);
        }, 20000));
        QVERIFY(m_clients.isValid());
    }
    void cleanupTestCase()
    {
        m_server.terminate();
        if (!m_server.waitForFinished(10000))
            m_server.kill();
        m_server.waitForFinished();
        m_folder.reset();
    }

    void attach_data()
    {
        QTest::addColumn<QString>("wireCrypt");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("refusal"); // empty: attached
        QTest::newRow("till that encrypts, shop database by name") << u"Enabled"_s << u"GARVINANET"_s << QString();
        QTest::newRow("till that encrypts, shop database by path") << u"Enabled"_s << u"@shop"_s << QString();
        QTest::newRow("till without encryption") << u"Disabled"_s << u"GARVINANET"_s
                                                 << u"Incompatible wire encryption levels"_s;
        QTest::newRow("another database file by path") << u"Enabled"_s << u"@other"_s
                                                       << u"no permission for remote access"_s;
        QTest::newRow("the instance's security database") << u"Enabled"_s << u"security.db"_s
                                                          << u"no permission for remote access"_s;
    }
    void attach()
    {
        QFETCH(QString, wireCrypt);
        QFETCH(QString, database);
        QFETCH(QString, refusal);
        const EngineInstance instance(m_folder->gs_path);
        const QStringList embedded = instance.environment();
        if (database == u"@shop"_s)
            database = instance.databaseFile();
        if (database == u"@other"_s) {
            // Any Firebird file on the machine; made by the embedded tool, which the lock-down must
            // leave working on files outside the shop database.
            database = m_clients.path() + u"/other.fdb"_s;
            if (!QFile::exists(database)) {
                const QString out = isql(embedded + QStringList{u"ISC_USER=DBA"_s},
                                         "CREATE DATABASE '" + database.toUtf8() + "';\n");
                QVERIFY2(QFile::exists(database), qPrintable(out));
            }
        }
        const QByteArray script = "CONNECT '127.0.0.1/" + QByteArray::number(m_port) + ':' + database.toUtf8()
            + "' USER 'DBA' PASSWORD '" + garvina::readDbaPassword(m_folder->gs_path).toUtf8()
            + "';\nSELECT 'ATTACHED-' || 'OK' FROM RDB$DATABASE;\n";
        const QString out = isql({u"FIREBIRD="_s + clientFolder(wireCrypt)}, script);
        if (refusal.isEmpty()) {
            QVERIFY2(out.contains(u"ATTACHED-OK"_s), qPrintable(out));
        } else {
            QVERIFY2(!out.contains(u"ATTACHED-OK"_s), qPrintable(out));
            QVERIFY2(out.contains(refusal), qPrintable(out));
        }
    }
};

QTEST_GUILESS_MAIN(TestTillAccess)
#include "tst_tillaccess.moc"
