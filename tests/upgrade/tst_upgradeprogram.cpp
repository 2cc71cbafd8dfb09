// The upgrade program end to end: the built binary in a temporary program folder, the folder's real
// archiver, and an HTTP server on 127.0.0.1 serving the package.
#include "httptestserver.h"
#include "testzip.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;
using garvina::test::HttpTestServer;
using garvina::test::TestZip;

namespace {

const QByteArray kPackagePath = "/up/garvinaserver.zip";
const QByteArray kOldConsole = "#!/bin/sh\necho old \"$@\" > marker\n";
const QByteArray kNewConsole = "#!/bin/sh\necho new \"$@\" > marker\n";
const QByteArray kNewUpgrade = "#!/bin/sh\necho the next upgrade program\n";

/// Relative path → permissions and contents of everything in a folder (folders as "<folder>").
using Snapshot = QMap<QString, QByteArray>;

QString differences(const Snapshot &before, const Snapshot &after)
{
    QStringList out;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!after.contains(it.key()))
            out << u"gone: "_s + it.key();
        else if (after.value(it.key()) != it.value())
            out << u"changed: "_s + it.key();
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()))
            out << u"new: "_s + it.key();
    }
    return out.join(u"; "_s);
}

QByteArray newPackage(int consoleMode = 0644)
{
    TestZip zip;
    // Made on a system without Unix modes, the console is not marked executable.
    zip.add("garvinaserver", kNewConsole, consoleMode);
    zip.add("server.dll", "new menu pictures");
    zip.add("skin/", QByteArray(), 0755);
    zip.add("skin/bg.jpg", "new background");
    zip.add("upgrade", kNewUpgrade, 0755);
    return zip.bytes();
}

QByteArray packageWith(const QByteArray &extraName)
{
    TestZip zip;
    zip.add("garvinaserver", kNewConsole, 0755);
    zip.add(extraName, "from the package");
    return zip.bytes();
}

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class TestUpgradeProgram : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<HttpTestServer> m_server;
    QString m_folder;

    bool writeFile(const QString &relative, const QByteArray &data,
                   QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                                    QFile::ReadOther) const
    {
        const QString path = m_folder + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size() && f.setPermissions(permissions);
    }
    static QFile::Permissions runnable()
    {
        return QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup |
               QFile::ReadOther | QFile::ExeOther;
    }
    QByteArray contents(const QString &relative) const
    {
        QFile f(m_folder + relative);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    /// The console of the folder as a real program that runs until it is told to end: a copy of sleep.
    bool installSleepingConsole() const
    {
        QFile::remove(m_folder + u"garvinaserver"_s);
        return QFile::copy(u"/bin/sleep"_s, m_folder + u"garvinaserver"_s);
    }

    Snapshot snapshot() const
    {
        Snapshot files;
        QDirIterator it(m_folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = path.mid(m_folder.size());
            if (relative == u"marker"_s)
                continue;
            const QFileInfo info(path);
            if (info.isDir()) {
                files.insert(relative, "<folder>");
                continue;
            }
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            files.insert(relative, QByteArray::number(int(info.permissions()), 16) + ':' + f.readAll());
        }
        return files;
    }

    /// Starts the folder's upgrade program as the console does (working directory the folder).
    void startUpgrade(QProcess &process, const QStringList &arguments) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s); // failures must not wait for a click
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_folder);
        process.start(m_folder + u"upgrade"_s, arguments);
    }
    /// Waits with the event loop running, so the test's server answers meanwhile.
    static Run finish(QProcess &process, int timeoutMs = 90000)
    {
        if (process.state() != QProcess::NotRunning) {
            QEventLoop loop;
            QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        Run run;
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
            return run;
        }
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }
    Run runUpgrade(const QStringList &arguments = {u"upgrade1"_s}) const
    {
        QProcess process;
        startUpgrade(process, arguments);
        return finish(process);
    }
    void serve(const QByteArray &body, int status = 200) const
    {
        m_server->setRoute(kPackagePath, {status, body, HttpTestServer::Kind::Normal, 0, -1});
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString binary = qEnvironmentVariable("GARVINA_UPGRADE_BINARY");
        QVERIFY2(QFileInfo(binary).isExecutable(), "GARVINA_UPGRADE_BINARY names no program");
        QVERIFY2(QFileInfo(qEnvironmentVariable("GARVINA_SOURCE_DIR") + u"/scripts/rar"_s).isFile(),
                 "GARVINA_SOURCE_DIR names no source folder");
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_server = std::make_unique<HttpTestServer>();
        QVERIFY(m_server->isListening());
        m_folder = m_dir->path() + u"/程序 目录/"_s;
        QVERIFY(QDir().mkpath(m_folder));

        QVERIFY(QFile::copy(qEnvironmentVariable("GARVINA_UPGRADE_BINARY"), m_folder + u"upgrade"_s));
        QVERIFY(QFile::copy(qEnvironmentVariable("GARVINA_SOURCE_DIR") + u"/scripts/rar"_s, m_folder + u"rar"_s));
        QVERIFY(QFile::setPermissions(m_folder + u"rar"_s, runnable()));
        QVERIFY(writeFile(u"garvinaserver"_s, kOldConsole, runnable()));
        QVERIFY(writeFile(u"server.dll"_s, "old menu pictures"));
        QVERIFY(writeFile(u"data/garvina.db"_s, "the shop's sales"));
        QVERIFY(writeFile(u"tool/dba.password"_s, "not a real password", QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeFile(u"garvinainfo.dll"_s,
                          "[server]\ndataport=2638\n[upgrade]\nserver=" + m_server->hostPort().toUtf8() + "\n"));
    }

    void replacesTheProgramOnceTheConsoleHasEnded()
    {
        QVERIFY(installSleepingConsole());
        QProcess oldConsole;
        oldConsole.start(m_folder + u"garvinaserver"_s, {u"600"_s});
        QVERIFY(oldConsole.waitForStarted());
        const QByteArray sleeper = contents(u"garvinaserver"_s);
        serve(newPackage());

        QProcess upgrade;
        startUpgrade(upgrade, {u"upgrade1"_s});
        // The package is fetched and tested, then nothing is replaced while the console still runs.
        QTRY_VERIFY_WITH_TIMEOUT(upgrade.peek(4096).contains("等待服务端退出"), 30000);
        QTest::qWait(700);
        QCOMPARE(upgrade.state(), QProcess::Running);
        QCOMPARE(contents(u"garvinaserver"_s), sleeper);
        QCOMPARE(contents(u"server.dll"_s), QByteArray("old menu pictures"));

        oldConsole.kill();
        const Run run = finish(upgrade);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QCOMPARE(m_server->requests, QList<QByteArray>{kPackagePath});

        QCOMPARE(contents(u"garvinaserver"_s), kNewConsole);
        QVERIFY(QFileInfo(m_folder + u"garvinaserver"_s).isExecutable());
        QCOMPARE(contents(u"server.dll"_s), QByteArray("new menu pictures"));
        QCOMPARE(contents(u"skin/bg.jpg"_s), QByteArray("new background"));
        // The running upgrade program replaced itself as well.
        QCOMPARE(contents(u"upgrade"_s), kNewUpgrade);
        // The shop's files are the shop's.
        QCOMPARE(contents(u"data/garvina.db"_s), QByteArray("the shop's sales"));
        QCOMPARE(contents(u"tool/dba.password"_s), QByteArray("not a real password"));
        QVERIFY(contents(u"garvinainfo.dll"_s).contains("server=127.0.0.1:"));
        // Neither the package nor anything kept aside is left behind.
        QStringList expected{u"data"_s, u"garvinainfo.dll"_s, u"garvinaserver"_s, u"rar"_s, u"server.dll"_s,
                             u"skin"_s, u"tool"_s, u"upgrade"_s};
        QStringList present = QDir(m_folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        present.removeAll(u"marker"_s);
        QCOMPARE(present, expected);

        // The new console was started, in the program folder, with no arguments.
        QTRY_COMPARE_WITH_TIMEOUT(contents(u"marker"_s), QByteArray("new\n"), 20000);
    }

    // Whatever goes wrong, the folder stays as it was and the old console is started again.
    void failedUpgradeLeavesTheFolder_data()
    {
        QTest::addColumn<QString>("setting"); // %1 is the server's port; null: no [upgrade] server
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<qint64>("cutAt"); // > 0: the server announces the package, sends this much, closes
        QTest::addColumn<QString>("blocker"); // a file in the folder that makes the unpack fail
        QTest::addColumn<QString>("reason");

        const QString server = u"127.0.0.1:%1"_s;
        const QByteArray good = newPackage();
        QTest::newRow("not found") << server << 404 << QByteArray("no such file") << qint64(0) << QString()
                                   << u"HTTP 404"_s;
        QTest::newRow("cut short") << server << 200 << good << qint64(good.size() / 2) << QString()
                                   << u"下载升级包出错"_s;
        QTest::newRow("not a zip") << server << 200 << QByteArray("<html>maintenance</html>") << qint64(0)
                                   << QString() << u"不是完好的 zip"_s;
        QTest::newRow("shop database") << server << 200 << packageWith("data/garvina.db") << qint64(0)
                                       << QString() << u"不得替换"_s;
        QTest::newRow("configuration") << server << 200 << packageWith("garvinainfo.dll") << qint64(0)
                                       << QString() << u"不得替换"_s;
        QTest::newRow("climbs out") << server << 200 << packageWith("../outside") << qint64(0) << QString()
                                    << u"程序目录之外"_s;
        TestZip noConsole;
        noConsole.add("server.dll", "new menu pictures");
        QTest::newRow("no console inside") << server << 200 << noConsole.bytes() << qint64(0) << QString()
                                           << u"没有服务端程序"_s;
        QTest::newRow("no server configured") << QString() << 200 << good << qint64(0) << QString()
                                              << u"没有设置升级服务器"_s;
        QTest::newRow("unpack fails half way") << server << 200 << good << qint64(0) << u"skin"_s
                                               << u"解压升级包出错"_s;
    }
    void failedUpgradeLeavesTheFolder()
    {
        QFETCH(QString, setting);
        QFETCH(int, status);
        QFETCH(QByteArray, package);
        QFETCH(qint64, cutAt);
        QFETCH(QString, blocker);
        QFETCH(QString, reason);

        if (setting.isNull())
            QVERIFY(writeFile(u"garvinainfo.dll"_s, "[server]\ndataport=2638\n"));
        if (!blocker.isEmpty())
            QVERIFY(writeFile(blocker, "a file where the package has a folder"));
        if (cutAt > 0)
            m_server->setRoute(kPackagePath, {200, package.left(cutAt), HttpTestServer::Kind::Truncated, 0,
                                              package.size()});
        else
            serve(package, status);
        const Snapshot before = snapshot();

        const Run run = runUpgrade();

        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(reason), qPrintable(run.err));
        const QString changed = differences(before, snapshot());
        QVERIFY2(changed.isEmpty(), qPrintable(changed));
        QVERIFY(!QFileInfo::exists(m_dir->path() + u"/outside"_s));
        QTRY_COMPARE_WITH_TIMEOUT(contents(u"marker"_s), QByteArray("old\n"), 20000);
    }

    void consoleThatDoesNotEndIsNotReplaced()
    {
        QVERIFY(installSleepingConsole());
        QProcess oldConsole;
        oldConsole.start(m_folder + u"garvinaserver"_s, {u"600"_s});
        QVERIFY(oldConsole.waitForStarted());
        serve(newPackage());
        const Snapshot before = snapshot();

        const Run run = runUpgrade();

        QCOMPARE(oldConsole.state(), QProcess::Running);
        oldConsole.kill();
        oldConsole.waitForFinished();
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(u"服务端仍在运行"_s), qPrintable(run.err));
        const QString changed = differences(before, snapshot());
        QVERIFY2(changed.isEmpty(), qPrintable(changed));
        // A console still runs: no second one is started.
        QVERIFY(!QFileInfo::exists(m_folder + u"marker"_s));
    }

    void withoutItsArgumentItOnlyExplains_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("none") << QStringList();
        QTest::newRow("another") << QStringList{u"upgrade2"_s};
    }
    void withoutItsArgumentItOnlyExplains()
    {
        QFETCH(QStringList, arguments);
        serve(newPackage());
        const Snapshot before = snapshot();

        const Run run = runUpgrade(arguments);

        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.startsWith(u"usage: upgrade upgrade1"_s), qPrintable(run.err));
        QVERIFY(m_server->requests.isEmpty());
        const QString changed = differences(before, snapshot());
        QVERIFY2(changed.isEmpty(), qPrintable(changed));
    }
};

QTEST_GUILESS_MAIN(TestUpgradeProgram)
#include "tst_upgradeprogram.moc"
