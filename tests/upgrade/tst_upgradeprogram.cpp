// The upgrade program end to end: the built binary in a temporary program folder, the folder's real
// archiver, and an HTTP server on 127.0.0.1 serving the package.
#include "httptestserver.h"
#include "platform/filesystem.h"
#include "platform/processtable.h"
#include "support/testsigner.h"
#include "testzip.h"
#include "upgrade/upgradejournal.h"

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
using garvina::test::TestSigner;
using garvina::test::TestZip;

namespace {

const QByteArray kPackagePath = "/up/garvinaserver.zip";
const QByteArray kManifestPath = "/up/up.txt.sig";
const QString kNewVersion = u"4.5.130830"_s;
const QByteArray kOldConsole = "#!/bin/sh\necho old \"$@\" > marker\n";
/// A console that ends at once, without ever answering.
const QByteArray kQuittingConsole = "#!/bin/sh\necho new \"$@\" > marker\n";
const QByteArray kNewUpgrade = "#!/bin/sh\necho the next upgrade program\n";

/// The test console that answers on the client service port (tests/upgrade/fakeconsole.cpp).
QByteArray answeringConsole()
{
    static const QByteArray bytes = [] {
        QFile f(qEnvironmentVariable("GARVINA_FAKE_CONSOLE"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    return bytes;
}

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

QByteArray newPackage()
{
    TestZip zip;
    // Modes as a careless packer leaves them: each file gets a fixed one when installed.
    zip.add("garvinaserver", answeringConsole(), 0644);
    zip.add("server.dll", "new menu pictures", 0666);
    zip.add("skin/", QByteArray(), 0777);
    zip.add("skin/bg.jpg", "new background", 0777);
    zip.add("upgrade", kNewUpgrade, 0700);
    return zip.bytes();
}

QByteArray packageWith(const QByteArray &extraName, const QByteArray &data = "from the package",
                       int mode = 0644)
{
    TestZip zip;
    zip.add("garvinaserver", answeringConsole(), 0755);
    zip.add(extraName, data, mode);
    return zip.bytes();
}

QByteArray packageWithConsole(const QByteArray &console)
{
    TestZip zip;
    zip.add("garvinaserver", console, 0755);
    zip.add("server.dll", "new menu pictures");
    zip.add("skin/bg.jpg", "new background");
    return zip.bytes();
}

/// A free port on 127.0.0.1 for the console's client service.
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString modeOf(const QString &path)
{
    return QString::number(int(QFileInfo(path).permissions() & 0x0777), 16);
}

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
    bool handedOver = false; ///< the download passed and "upgrade1" ran
};

} // namespace

class TestUpgradeProgram : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<HttpTestServer> m_server;
    std::unique_ptr<TestSigner> m_signer;
    QByteArray m_publicKey;
    qint64 m_margin = -1;
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
        env.insert(u"HOME"_s, m_folder);                  // the default backup root inside the program folder
        env.insert(u"GARVINA_UPGRADE_TEST_KEY"_s, QString::fromLatin1(m_publicKey.toBase64()));
        if (m_margin >= 0)
            env.insert(u"GARVINA_UPGRADE_TEST_MARGIN"_s, QString::number(m_margin));
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
    /// As the console does: the download while it runs, then the hand-over once it ended.
    Run downloadAndHandOver() const
    {
        const Run download = runUpgrade({u"download"_s});
        if (download.exitCode != 0)
            return download;
        Run run = runUpgrade();
        run.handedOver = true;
        return run;
    }
    /// The package, and the manifest the test's key signed for it (or \a manifest).
    void serve(const QByteArray &body, int status = 200, QByteArray manifest = {}) const
    {
        if (manifest.isEmpty())
            manifest = m_signer->manifest(kNewVersion, body);
        m_server->setRoute(kPackagePath, {status, body, HttpTestServer::Kind::Normal, 0, -1, {}});
        m_server->setRoute(kManifestPath, {200, manifest, HttpTestServer::Kind::Normal, 0, -1, {}});
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString binary = qEnvironmentVariable("GARVINA_UPGRADE_BINARY");
        QVERIFY2(QFileInfo(binary).isExecutable(), "GARVINA_UPGRADE_BINARY names no program");
        QVERIFY2(!answeringConsole().isEmpty(), "GARVINA_FAKE_CONSOLE names no program");
        m_signer = std::make_unique<TestSigner>();
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
        m_publicKey = m_signer->publicKey();
        m_margin = -1;

        QVERIFY(QFile::copy(qEnvironmentVariable("GARVINA_UPGRADE_BINARY"), m_folder + u"upgrade"_s));
        QVERIFY(
            QFile::copy(qEnvironmentVariable("GARVINA_SOURCE_DIR") + u"/scripts/rar"_s, m_folder + u"rar"_s));
        QVERIFY(QFile::setPermissions(m_folder + u"rar"_s, runnable()));
        QVERIFY(writeFile(u"garvinaserver"_s, kOldConsole, runnable()));
        QVERIFY(writeFile(u"server.dll"_s, "old menu pictures"));
        QVERIFY(writeFile(u"data/garvina.db"_s, "the shop's sales"));
        QVERIFY(
            writeFile(u"tool/dba.password"_s, "not a real password", QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeFile(u"garvinainfo.dll"_s,
                          "[server]\ndataport=2638\n[system]\nsockect=" + QByteArray::number(freePort()) +
                              "\n[upgrade]\nserver=" + m_server->hostPort().toUtf8() + "\n"));
    }

    void replacesTheProgramOnceTheConsoleHasEnded()
    {
        QVERIFY(installSleepingConsole());
        QProcess oldConsole;
        oldConsole.start(m_folder + u"garvinaserver"_s, {u"600"_s});
        QVERIFY(oldConsole.waitForStarted());
        const QByteArray sleeper = contents(u"garvinaserver"_s);
        // Signed as a publisher signs: with a key pair and a manifest from the project's script.
        QTemporaryDir keys;
        const QString script = qEnvironmentVariable("GARVINA_SOURCE_DIR") + u"/scripts/sign-upgrade.sh"_s;
        const QByteArray package = newPackage();
        QFile packageFile(keys.filePath(u"garvinaserver.zip"_s));
        QVERIFY(packageFile.open(QIODevice::WriteOnly) && packageFile.write(package) == package.size());
        packageFile.close();
        QCOMPARE(QProcess::execute(u"bash"_s, {script, u"keygen"_s, keys.filePath(u"secret.pem"_s),
                                               keys.filePath(u"public.txt"_s)}),
                 0);
        QCOMPARE(QProcess::execute(u"bash"_s, {script, u"sign"_s, keys.filePath(u"secret.pem"_s), kNewVersion,
                                               packageFile.fileName()}),
                 0);
        QFile publicKey(keys.filePath(u"public.txt"_s));
        QFile manifest(keys.filePath(u"up.txt.sig"_s));
        QVERIFY(publicKey.open(QIODevice::ReadOnly) && manifest.open(QIODevice::ReadOnly));
        m_publicKey = QByteArray::fromBase64(publicKey.readAll().trimmed());
        serve(package, 200, manifest.readAll());

        QCOMPARE(runUpgrade({u"download"_s}).exitCode, 0);
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
        QCOMPARE(m_server->requests, (QList<QByteArray>{kManifestPath, kPackagePath}));

        QCOMPARE(contents(u"garvinaserver"_s), answeringConsole());
        QCOMPARE(contents(u"server.dll"_s), QByteArray("new menu pictures"));
        // Fixed modes: programs and files the package marks executable 0755, the rest 0644.
        const QStringList modes{modeOf(m_folder + u"garvinaserver"_s), modeOf(m_folder + u"server.dll"_s),
                                modeOf(m_folder + u"skin"_s), modeOf(m_folder + u"skin/bg.jpg"_s),
                                modeOf(m_folder + u"upgrade"_s)};
        QCOMPARE(modes, (QStringList{u"755"_s, u"644"_s, u"755"_s, u"755"_s, u"755"_s}));
        QCOMPARE(contents(u"skin/bg.jpg"_s), QByteArray("new background"));
        // The running upgrade program replaced itself as well.
        QCOMPARE(contents(u"upgrade"_s), kNewUpgrade);
        // The shop's files are the shop's.
        QCOMPARE(contents(u"data/garvina.db"_s), QByteArray("the shop's sales"));
        QCOMPARE(contents(u"tool/dba.password"_s), QByteArray("not a real password"));
        QVERIFY(contents(u"garvinainfo.dll"_s).contains("server=127.0.0.1:"));
        // Neither the package nor anything kept aside is left behind.
        QStringList expected{u"data"_s, u"garvinainfo.dll"_s, u"garvinaserver"_s,
                             u"rar"_s,  u"server.dll"_s,      u"skin"_s,
                             u"tool"_s, u"upgrade"_s};
        QStringList present =
            QDir(m_folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        present.removeAll(u"marker"_s);
        QCOMPARE(present, expected);

        // The new console was started in the program folder and answered before the old files went.
        QCOMPARE(contents(u"marker"_s), QByteArray("new\n"));
    }

    // Whatever goes wrong, the folder stays as it was and the old console is started again.
    void failedUpgradeLeavesTheFolder_data()
    {
        QTest::addColumn<QString>("setting"); // %1 is the server's port; null: no [upgrade] server
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<QByteArray>("manifest"); // empty: the test's key signs the package
        QTest::addColumn<qint64>("cutAt");  // > 0: the server announces the package, sends this much, closes
        QTest::addColumn<QString>("setup"); // "file:NAME", "link:NAME" in the folder; "release key"
        QTest::addColumn<QString>("reason");

        const QString server = u"127.0.0.1:%1"_s;
        const QByteArray good = newPackage();
        const auto row = [&](const char *name, const QByteArray &package, const QString &reason) {
            QTest::newRow(name) << server << 200 << package << QByteArray() << qint64(0) << QString()
                                << reason;
        };
        QTest::newRow("not found") << server << 404 << QByteArray("no such file") << QByteArray() << qint64(0)
                                   << QString() << u"HTTP 404"_s;
        QTest::newRow("cut short") << server << 200 << good << QByteArray() << qint64(good.size() / 2)
                                   << QString() << u"下载升级包出错"_s;
        QTest::newRow("no server configured")
            << QString() << 200 << good << QByteArray() << qint64(0) << QString() << u"没有设置升级服务器"_s;
        row("not a zip", "<html>maintenance</html>", u"不是完好的 zip"_s);

        // Signature and version.
        const TestSigner stranger;
        QTest::newRow("signed by another key")
            << server << 200 << good << stranger.manifest(kNewVersion, good) << qint64(0) << QString()
            << u"签名无效"_s;
        QTest::newRow("a build without a release key") << server << 200 << good << QByteArray() << qint64(0)
                                                       << u"release key"_s << u"没有升级签名密钥"_s;
        QTest::newRow("not the package signed")
            << server << 200 << good
            << m_signer->manifest(kNewVersion, QByteArray(good).replace("new background", "old background"))
            << qint64(0) << QString() << u"与签名的清单不符"_s;
        QTest::newRow("older version") << server << 200 << good << m_signer->manifest(u"4.5.120101"_s, good)
                                       << qint64(0) << QString() << u"不比当前版本"_s;
        QTest::newRow("same version") << server << 200 << good << m_signer->manifest(u"4.5.130829"_s, good)
                                      << qint64(0) << QString() << u"不比当前版本"_s;

        // Paths onto the shop's files or out of the folder, however spelt.
        const QString shop = u"不得替换"_s;
        const QString dots = u"\".\" 或 \"..\""_s;
        row("shop database", packageWith("data/garvina.db"), shop);
        row("configuration", packageWith("garvinainfo.dll"), shop);
        row("database, ./", packageWith("./data/garvina.db"), dots);
        row("password, ./", packageWith("./tool/dba.password"), dots);
        row("configuration, ./", packageWith("./garvinainfo.dll"), dots);
        row("backup state", packageWith("备份状态.json"), shop);
        row("maintenance log", packageWith("备份维护记录.txt"), shop);
        row("default backup root", packageWith("织云阁软件备份/20240101-0000/garvina.db"), shop);
        row("database, through ..", packageWith("skin/../data/garvina.db"), dots);
        row("database, doubled slash", packageWith("data//garvina.db"), shop);
        row("database, capitals", packageWith("DATA/garvina.db"), shop);
        row("climbs out", packageWith("../outside"), dots);
        row("absolute", packageWith("/tmp/outside"), u"程序目录之外"_s);

        // Links, devices, bombs.
        row("link to the database", packageWith("skin/db", "../data/garvina.db", 0120777), u"不得有链接"_s);
        row("link out of the folder", packageWith("outside", "/tmp", 0120777), u"不得有链接"_s);
        row("named pipe", packageWith("pipe", QByteArray(), 010644), u"只能有文件和文件夹"_s);
        TestZip bomb;
        bomb.add("garvinaserver", answeringConsole(), 0755);
        bomb.addZeros("skin/bg.jpg", qint64(2) * 1024 * 1024 * 1024);
        row("2 GiB of zeros", bomb.bytes(), u"解压后超过"_s);
        TestZip forged;
        forged.add("garvinaserver", answeringConsole(), 0755);
        forged.addZeros("skin/bg.jpg", qint64(64) * 1024 * 1024, 1000);
        row("size forged", forged.bytes(), u"skin/bg.jpg"_s);
        TestZip noConsole;
        noConsole.add("server.dll", "new menu pictures");
        row("no console inside", noConsole.bytes(), u"没有服务端程序"_s);

        // What the folder holds already.
        QTest::newRow("a file where the package has a folder")
            << server << 200 << good << QByteArray() << qint64(0) << u"file:skin"_s << u"不是文件夹"_s;
        QTest::newRow("a link left in the folder") << server << 200 << good << QByteArray() << qint64(0)
                                                   << u"link:skin"_s << u"链接不能被升级替换"_s;

        // The new console does not run: the old files come back.
        row("new console cannot start", packageWithConsole("not a program\n"), u"没有正常运行"_s);
        row("new console ends at once", packageWithConsole(kQuittingConsole), u"启动后就退出了"_s);
        TestZip silent;
        silent.add("garvinaserver", answeringConsole(), 0755);
        silent.add("silent", QByteArray());
        row("new console never answers", silent.bytes(), u"没有在端口"_s);
        QTest::newRow("no room for the free-space margin")
            << server << 200 << good << QByteArray() << qint64(0) << u"margin"_s << u"磁盘空间不足"_s;
    }
    void failedUpgradeLeavesTheFolder()
    {
        QFETCH(QString, setting);
        QFETCH(int, status);
        QFETCH(QByteArray, package);
        QFETCH(QByteArray, manifest);
        QFETCH(qint64, cutAt);
        QFETCH(QString, setup);
        QFETCH(QString, reason);

        const QString elsewhere = m_dir->path() + u"/elsewhere"_s;
        QVERIFY(QDir().mkpath(elsewhere));
        if (setting.isNull())
            QVERIFY(writeFile(u"garvinainfo.dll"_s, "[server]\ndataport=2638\n"));
        if (setup.startsWith(u"file:"_s))
            QVERIFY(writeFile(setup.mid(5), "a file where the package has a folder"));
        if (setup.startsWith(u"link:"_s))
            QVERIFY(QFile::link(elsewhere, m_folder + setup.mid(5)));
        if (setup == u"margin"_s)
            m_margin = qint64(1) << 60;
        if (setup == u"release key"_s) {
            QVERIFY(QFile::remove(m_folder + u"upgrade"_s));
            QVERIFY(
                QFile::copy(qEnvironmentVariable("GARVINA_RELEASE_UPGRADE_BINARY"), m_folder + u"upgrade"_s));
        }
        serve(package, status, manifest);
        if (cutAt > 0)
            m_server->setRoute(
                kPackagePath,
                {200, package.left(cutAt), HttpTestServer::Kind::Truncated, 0, package.size(), {}});
        const Snapshot before = snapshot();

        const Run run = downloadAndHandOver();

        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(reason), qPrintable(run.err));
        // The signed size is known before the download: no room, no download.
        if (setup == u"margin"_s)
            QVERIFY(!m_server->requests.contains(kPackagePath));
        QFile pidFile(m_dir->path() + u"/console.pid"_s);
        QCOMPARE(pidFile.open(QIODevice::ReadOnly), reason == u"没有在端口"_s);
        if (pidFile.isOpen()) {
            // The new console that never answered was ended before the old files came back.
            const qint64 pid = pidFile.readAll().toLongLong();
            QVERIFY(pid > 0);
            QVERIFY(!garvina::LinuxProcessTable().alive(pid));
        }
        const QString changed = differences(before, snapshot());
        QVERIFY2(changed.isEmpty(), qPrintable(changed));
        QVERIFY(!QFileInfo::exists(m_dir->path() + u"/outside"_s));
        QVERIFY(QDir(elsewhere).isEmpty());
        // A console that was never told to end is not started again.
        if (run.handedOver)
            QTRY_COMPARE_WITH_TIMEOUT(contents(u"marker"_s), QByteArray("old\n"), 20000);
        else
            QVERIFY(!QFileInfo::exists(m_folder + u"marker"_s));
    }

    void consoleThatDoesNotEndIsNotReplaced()
    {
        QVERIFY(installSleepingConsole());
        QProcess oldConsole;
        oldConsole.start(m_folder + u"garvinaserver"_s, {u"600"_s});
        QVERIFY(oldConsole.waitForStarted());
        serve(newPackage());
        const Snapshot before = snapshot();

        const Run run = downloadAndHandOver();

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

    // The install killed while the new console starts: the hand-over that watches it puts the old
    // files back and starts the old console.
    void handOverOutlivesAKilledInstall()
    {
        TestZip silent;
        silent.add("garvinaserver", answeringConsole(), 0755);
        silent.add("silent", QByteArray());
        serve(silent.bytes());
        const Snapshot before = snapshot();
        QCOMPARE(runUpgrade({u"download"_s}).exitCode, 0);
        QProcess handOver;
        startUpgrade(handOver, {u"upgrade1"_s});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_dir->path() + u"/console.pid"_s), 30000);
        QList<qint64> installs = garvina::programsRunning(m_folder + u"upgrade"_s);
        installs.removeAll(handOver.processId());
        QCOMPARE(installs.size(), 1);
        const garvina::LinuxProcessTable processes;
        QVERIFY(processes.send(installs.constFirst(), garvina::ProcessTable::Signal::Kill));

        const Run run = finish(handOver);

        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains(u"升级程序意外结束"_s), qPrintable(run.out));
        QFile pidFile(m_dir->path() + u"/console.pid"_s);
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        QVERIFY(!processes.alive(pidFile.readAll().toLongLong()));
        const QString changed = differences(before, snapshot());
        QVERIFY2(changed.isEmpty(), qPrintable(changed));
        QTRY_COMPARE_WITH_TIMEOUT(contents(u"marker"_s), QByteArray("old\n"), 20000);
    }

    // A swap nobody finished, as a console's start finds it: done, it is kept; cut short before the
    // console moved, the old files come back.
    void halfDoneSwapAtStart_data()
    {
        QTest::addColumn<bool>("swapDone");
        QTest::newRow("swap done") << true;
        QTest::newRow("cut short") << false;
    }
    void halfDoneSwapAtStart()
    {
        QFETCH(bool, swapDone);
        using Entry = garvina::UpgradeJournal::Entry;
        const garvina::LinuxFileSystem files;
        const garvina::UpgradeJournal journal(m_folder, files);
        QString error;
        QVERIFY(journal.write({{Entry::Replaced, u"server.dll"_s},
                               {Entry::Folder, u"skin"_s},
                               {Entry::Added, u"skin/bg.jpg"_s},
                               {Entry::Replaced, u"garvinaserver"_s}},
                              error));
        QVERIFY(QDir().mkpath(journal.asideFolder()));
        const QStringList moved =
            swapDone ? QStringList{u"server.dll"_s, u"garvinaserver"_s} : QStringList{u"server.dll"_s};
        for (const QString &name : moved) {
            QVERIFY(QFile::rename(m_folder + name, journal.asideFolder() + name));
            QVERIFY(writeFile(name, "new"));
        }
        QVERIFY(writeFile(u"skin/bg.jpg"_s, "new"));

        const garvina::HalfDoneUpgrade outcome = garvina::finishHalfDoneUpgrade(m_folder, files, error);

        QCOMPARE(outcome,
                 swapDone ? garvina::HalfDoneUpgrade::Completed : garvina::HalfDoneUpgrade::RolledBack);
        QCOMPARE(contents(u"garvinaserver"_s), swapDone ? QByteArray("new") : kOldConsole);
        QCOMPARE(contents(u"server.dll"_s), swapDone ? QByteArray("new") : QByteArray("old menu pictures"));
        QCOMPARE(QFileInfo::exists(m_folder + u"skin"_s), swapDone);
        QVERIFY(!journal.exists());
        QVERIFY(!QFileInfo::exists(journal.asideFolder()));
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
