// What a machine on the shop's network can reach on the engine instance: a till that encrypts gets
// the shop database, nothing else is open to it, and a client that does not encrypt is refused. The
// server itself opens only the data folder, whoever asks; the embedded tools open any file but the
// live one.

#include "engine/enginecontrol.h"
#include "support/testprogramfolder.h"

#include <QCryptographicHash>
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
    static QString isql(const QStringList &environment, const QByteArray &script,
                        const QStringList &args = {})
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

    static QByteArray fileHash(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray();
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&f);
        return hash.result();
    }

    /// A Firebird file outside the data folder, made by the embedded tools.
    QString otherDatabase()
    {
        const QString file = m_clients.path() + u"/other.fdb"_s;
        if (!QFile::exists(file)) {
            const QString out =
                isql(EngineInstance(m_folder->gs_path).toolEnvironment() + QStringList{u"ISC_USER=DBA"_s},
                     "CREATE DATABASE '" + file.toUtf8() + "';\n");
            if (!QFile::exists(file))
                qWarning("%s", qPrintable(out));
        }
        return file;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!firebirdLibraryFolder().isEmpty());
        m_folder = std::make_unique<TestProgramFolder>(u"till-access"_s);
        QString log;
        QVERIFY2(m_folder->layOut(&log), qPrintable(log));
        const EngineInstance instance(m_folder->gs_path);

        // A folder laid out before the embedded tools had a root of their own: its tools use the
        // server's root until the set-up runs again, which adds theirs and keeps password and data.
        QVERIFY(QDir(instance.toolRoot()).removeRecursively());
        QCOMPARE(instance.toolEnvironment(), instance.environment());
        const QByteArray password = fileHash(instance.passwordFile());
        const QByteArray data = fileHash(instance.databaseFile());
        QVERIFY2(m_folder->layOut(&log), qPrintable(log));
        QCOMPARE(instance.toolEnvironment().first(), u"FIREBIRD="_s + instance.toolRoot());
        QCOMPARE(fileHash(instance.passwordFile()), password);
        QCOMPARE(fileHash(instance.databaseFile()), data);

        m_port = TestProgramFolder::freePort();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : instance.environment())
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        m_server.setProcessEnvironment(env);
        m_server.start(u"/usr/sbin/firebird"_s, garvina::serverArguments(instance, QString::number(m_port)));
        QVERIFY(m_server.waitForStarted());
        QVERIFY(QTest::qWaitFor(
            [this] {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(m_port));
                return probe.waitForConnected(200);
            },
            20000));
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
        QTest::newRow("till that encrypts, shop database by name")
            << u"Enabled"_s << u"GARVINANET"_s << QString();
        QTest::newRow("till that encrypts, shop database by path") << u"Enabled"_s << u"@shop"_s << QString();
        QTest::newRow("till without encryption")
            << u"Disabled"_s << u"GARVINANET"_s << u"Incompatible wire encryption levels"_s;
        QTest::newRow("another database file by path")
            << u"Enabled"_s << u"@other"_s << u"not allowed by server configuration"_s;
        QTest::newRow("the instance's security database")
            << u"Enabled"_s << u"security.db"_s << u"no permission for remote access"_s;
    }
    void attach()
    {
        QFETCH(QString, wireCrypt);
        QFETCH(QString, database);
        QFETCH(QString, refusal);
        const EngineInstance instance(m_folder->gs_path);
        if (database == u"@shop"_s)
            database = instance.databaseFile();
        if (database == u"@other"_s)
            database = otherDatabase();
        const QByteArray script = "CONNECT '127.0.0.1/" + QByteArray::number(m_port) + ':' +
                                  database.toUtf8() + "' USER 'DBA' PASSWORD '" +
                                  garvina::readDbaPassword(m_folder->gs_path).toUtf8() +
                                  "';\nSELECT 'ATTACHED-' || 'OK' FROM RDB$DATABASE;\n";
        const QString out = isql({u"FIREBIRD="_s + clientFolder(wireCrypt)}, script);
        if (refusal.isEmpty()) {
            QVERIFY2(out.contains(u"ATTACHED-OK"_s), qPrintable(out));
        } else {
            QVERIFY2(!out.contains(u"ATTACHED-OK"_s), qPrintable(out));
            QVERIFY2(out.contains(refusal), qPrintable(out));
        }
    }

    /// The service manager, with the administrator's password, works on the shop database only.
    void services_data()
    {
        QTest::addColumn<QStringList>("action"); // @db: the database, @out: a file in a backup folder
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("refusal"); // empty: done
        const QStringList nbak{u"action_nbak"_s, u"dbname"_s,    u"@db"_s, u"nbk_file"_s,
                               u"@out"_s,        u"nbk_level"_s, u"0"_s};
        const QStringList gbak{u"action_backup"_s, u"dbname"_s, u"@db"_s, u"bkp_file"_s, u"@out"_s};
        const QStringList validate{u"action_repair"_s, u"dbname"_s, u"@db"_s, u"rpr_validate_db"_s};
        const QString denied = u"not allowed by server configuration"_s;
        QTest::newRow("online copy of the shop database into a backup folder")
            << nbak << u"GARVINANET"_s << QString();
        QTest::newRow("logical backup of the shop database by path") << gbak << u"@shop"_s << QString();
        QTest::newRow("online copy of another file by path") << nbak << u"@other"_s << denied;
        QTest::newRow("logical backup of another file by path") << gbak << u"@other"_s << denied;
        QTest::newRow("validation of another file by path") << validate << u"@other"_s << denied;
        QTest::newRow("logical backup of the security database")
            << gbak << u"security.db"_s << u"no permission for remote access"_s;
    }
    void services()
    {
        QFETCH(QStringList, action);
        QFETCH(QString, database);
        QFETCH(QString, refusal);
        const EngineInstance instance(m_folder->gs_path);
        if (database == u"@shop"_s)
            database = instance.databaseFile();
        if (database == u"@other"_s)
            database = otherDatabase();
        const QString out = m_clients.path() + u"/备份 1/copy"_s;
        QDir().mkpath(QFileInfo(out).path());
        QFile::remove(out);
        action.replaceInStrings(u"@db"_s, database).replaceInStrings(u"@out"_s, out);

        // The password reaches the tool through its environment, never its command line.
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"FIREBIRD"_s, clientFolder(u"Enabled"_s));
        env.insert(u"ISC_USER"_s, u"DBA"_s);
        env.insert(u"ISC_PASSWORD"_s, garvina::readDbaPassword(m_folder->gs_path));
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(u"fbsvcmgr"_s,
                QStringList{u"127.0.0.1/"_s + QString::number(m_port) + u":service_mgr"_s} + action);
        QVERIFY(p.waitForFinished(60000));
        const QString text = QString::fromUtf8(p.readAll());
        if (refusal.isEmpty()) {
            QVERIFY2(p.exitCode() == 0, qPrintable(text));
            QVERIFY2(QFileInfo(out).size() > 0, qPrintable(text));
        } else {
            QVERIFY2(p.exitCode() != 0, qPrintable(text));
            QVERIFY2(text.contains(refusal), qPrintable(text));
            QVERIFY(!QFileInfo::exists(out));
        }
    }

    /// The embedded tools open files anywhere, but not the shop database while the server has it.
    void embeddedTools()
    {
        const EngineInstance instance(m_folder->gs_path);
        const QStringList tools = instance.toolEnvironment() + QStringList{u"ISC_USER=DBA"_s};
        const QByteArray probe = "SELECT 'OPENED-' || 'OK' FROM RDB$DATABASE;\n";
        QVERIFY(isql(tools, probe, {otherDatabase()}).contains(u"OPENED-OK"_s));

        // A till keeps the shop database open on the server meanwhile.
        QProcess till;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"FIREBIRD"_s, clientFolder(u"Enabled"_s));
        till.setProcessEnvironment(env);
        till.setProcessChannelMode(QProcess::MergedChannels);
        till.start(u"isql-fb"_s, {u"-q"_s});
        till.write("CONNECT '127.0.0.1/" + QByteArray::number(m_port) + ":GARVINANET' USER 'DBA' PASSWORD '" +
                   garvina::readDbaPassword(m_folder->gs_path).toUtf8() + "';\n" + probe);
        QByteArray seen;
        const bool attached = QTest::qWaitFor(
            [&] {
                seen += till.readAll();
                return seen.contains("OPENED-OK");
            },
            20000);
        QVERIFY2(attached, seen.constData());
        const QString out = isql(tools, probe, {instance.databaseFile()});
        till.closeWriteChannel();
        till.waitForFinished(20000);
        QVERIFY2(!out.contains(u"OPENED-OK"_s), qPrintable(out));
        QVERIFY2(out.contains(u"Database already opened"_s), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestTillAccess)
#include "tst_tillaccess.moc"
