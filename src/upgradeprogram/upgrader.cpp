#include "upgrader.h"

#include "config/profilefile.h"
#include "core/appcontext.h"
#include "core/shopfiles.h"
#include "platform/filesystem.h"
#include "platform/processlauncher.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"
#include "upgrade/httpfetch.h"
#include "upgrade/release.h"
#include "upgrade/upgradejournal.h"
#include "upgrade/upgradeserver.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStorageInfo>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

QString consoleName()
{
    return u"garvinaserver"_s;
}

/// The programs of the folder, always installed runnable whatever mode the package gave them.
bool isProgram(const QString &path)
{
    return path == consoleName() || path == u"upgrade"_s || path == u"rar"_s;
}

QString parentOf(const QString &path)
{
    return path.left(std::max<qsizetype>(0, path.lastIndexOf(u'/')));
}

/// \a path relative to \a folder when it lies inside it (both absolute), else an empty text.
QString insideFolder(const QString &path, const QString &folder)
{
    const QString clean = QDir::cleanPath(path);
    const QString root = QDir::cleanPath(folder) + u'/';
    return clean.startsWith(root) ? clean.mid(root.size()) : QString();
}

} // namespace

Upgrader::Upgrader(QString programFolder, QByteArray publicKey, UpgradeLimits limits)
    : m_folder(std::move(programFolder)), m_publicKey(std::move(publicKey)), m_limits(limits)
{}

void Upgrader::say(const QString &line) const
{
    if (progress)
        progress(line);
}

bool Upgrader::install(QString &error)
{
    bool restartOld = true;
    if (installStaged(error, restartOld))
        return true;
    // The console ended itself so that its files could be replaced: bring it back as it was,
    // unless a copy still runs.
    if (restartOld && QFileInfo(m_folder + consoleName()).isFile() && waitForConsoleToEnd()) {
        QString startError;
        if (startConsole(startError))
            say(u"已重新启动原来的服务端"_s);
        else
            error += u"\n"_s + startError;
    }
    return false;
}

int Upgrader::watchInstall(const QString &program)
{
    ToolRequest request;
    request.program = program;
    request.arguments = {u"install"_s};
    request.workingDirectory = m_folder;
    request.output = ToolRequest::Output::Inherited;
    request.timeoutMs = m_limits.consoleEndMs + m_limits.consoleReadyMs + 30 * 60 * 1000;
    const ToolResult result = runTool(request);
    // 0 and 1 are the install's own report: it confirmed the new console or put the old one back.
    if (result.status == ToolResult::Status::Exited && (result.exitCode == 0 || result.exitCode == 1))
        return result.exitCode;

    say(u"升级程序意外结束, 恢复原来的服务端"_s);
    // A console the install had just started needs a moment to show up as one.
    QThread::msleep(1000);
    const LinuxFileSystem files;
    const UpgradeJournal journal(m_folder, files);
    QString error;
    if (journal.exists()) {
        stopConsole();
        if (!journal.rollBack(error))
            say(error);
    }
    removeStaged();
    if (programsRunning(m_folder + consoleName()).isEmpty() && !startConsole(error))
        say(error);
    return 1;
}

QStringList Upgrader::protectedPaths() const
{
    // The shop's database, engine instance (with the DBA password), configuration, the files the
    // console writes (state file, logs, control socket) and every log of its kind; the upgrade's own
    // working files; the backup roots (configured and default) when they lie inside the folder.
    QStringList paths{u"data/"_s,
                      u"tool/"_s,
                      u"garvinainfo.dll"_s,
                      u"*记录.txt"_s,
                      u"garvinaserver.zip"_s,
                      u"garvinaserver.zip.sig"_s,
                      u".upgrade-new/"_s,
                      u".upgrade-old/"_s,
                      u".upgrade-journal"_s};
    paths += consoleWrittenFileNames();
    const ProfileFile config(m_folder + u"garvinainfo.dll"_s);
    const QStringList roots{config.read(u"backup"_s, u"backuppath"_s, QString()).trimmed(),
                            defaultBackupPath()};
    for (const QString &root : roots) {
        if (root.isEmpty())
            continue;
        const QString inside = insideFolder(QDir(m_folder).absoluteFilePath(root), m_folder);
        if (!inside.isEmpty())
            paths.append(inside + u'/');
    }
    return paths;
}

void Upgrader::removeStaged() const
{
    QFile::remove(packagePath());
    QFile::remove(stagedManifestPath());
    QDir(stagingFolder()).removeRecursively();
}

bool Upgrader::roomFor(qint64 bytes, QString &error) const
{
    const qint64 available = QStorageInfo(m_folder).bytesAvailable();
    if (available >= 0 && available < bytes + m_limits.freeSpaceMarginBytes) {
        error = u"磁盘空间不足: 升级需要 %1 MB, 另须留出 %2 MB, 可用 %3 MB"_s.arg(bytes / 1048576)
                    .arg(m_limits.freeSpaceMarginBytes / 1048576)
                    .arg(available / 1048576);
        return false;
    }
    return true;
}

bool Upgrader::download(QString &error)
{
    if (m_publicKey.isEmpty()) {
        error = noReleaseKeyText();
        return false;
    }
    const QString setting = readUpgradeServerSetting(ProfileFile(m_folder + u"garvinainfo.dll"_s));
    const QUrl manifestUrl = upgradeServerUrl(setting, upgradeManifestPath());
    const QUrl packageUrl = upgradeServerUrl(setting, upgradePackagePath());
    if (manifestUrl.isEmpty() || packageUrl.isEmpty()) {
        error = setting.isEmpty() ? u"garvinainfo.dll 中没有设置升级服务器 ([upgrade] server)"_s
                                  : u"升级服务器地址无效: "_s + setting;
        return false;
    }

    ReleaseManifest manifest;
    QByteArray manifestText;
    if (!fetchManifest(manifestUrl, manifest, manifestText, error))
        return false;
    // The signed size is known before the first byte: the package and what it unpacks to (a zip
    // stores every file at least as large as it is packed) must fit beside the margin.
    if (!roomFor(2 * manifest.size, error))
        return false;

    removeStaged();
    struct RemoveStaged
    {
        const Upgrader *upgrader;
        bool keep = false;
        ~RemoveStaged()
        {
            if (!keep)
                upgrader->removeStaged();
        }
    } staged{this};
    say(u"下载升级包 "_s + packageUrl.toString());
    if (!fetchPackage(packageUrl, manifest, error))
        return false;
    QList<PackageEntry> entries;
    if (!checkPackage(entries, error))
        return false;
    if (!LinuxFileSystem().replaceFile(stagedManifestPath(), manifestText).ok()) {
        error = u"无法保存升级清单 "_s + stagedManifestPath();
        return false;
    }
    staged.keep = true;
    say(u"升级包已下载并校验无误"_s);
    return true;
}

bool Upgrader::checkPackage(QList<PackageEntry> &entries, QString &error) const
{
    PackageRules rules;
    rules.maxUnpackedBytes = m_limits.maxUnpackedBytes;
    rules.protectedPaths = protectedPaths();
    if (!listPackage(packagePath(), rules, entries, error))
        return false;
    const auto console = std::find_if(entries.cbegin(), entries.cend(), [](const PackageEntry &e) {
        return e.path == consoleName() && !e.folder;
    });
    if (console == entries.cend()) {
        error = u"升级包中没有服务端程序 "_s + consoleName();
        return false;
    }
    qint64 unpacked = 0;
    for (PackageEntry &e : entries) {
        e.executable = e.executable || isProgram(e.path);
        unpacked += e.size;
    }
    return checkTargets(entries, error) && roomFor(unpacked, error);
}

bool Upgrader::installStaged(QString &error, bool &restartOld)
{
    if (m_publicKey.isEmpty()) {
        error = noReleaseKeyText();
        return false;
    }
    struct RemoveStaged
    {
        const Upgrader *upgrader;
        ~RemoveStaged() { upgrader->removeStaged(); }
    } staged{this};
    // What the download step left is checked again as if it had just arrived: the folder is not
    // a place only this program writes.
    QFile manifestFile(stagedManifestPath());
    if (!manifestFile.open(QIODevice::ReadOnly)) {
        error = u"没有已下载的升级包"_s;
        return false;
    }
    ReleaseManifest manifest;
    QList<PackageEntry> entries;
    if (!acceptManifest(manifestFile.readAll(), manifest, error) || !packageMatches(manifest, error) ||
        !checkPackage(entries, error))
        return false;

    say(u"解压升级包"_s);
    QFile::remove(stagingFolder().chopped(1)); // a file or link of that name, never followed
    QDir(stagingFolder()).removeRecursively();
    if (!QDir().mkpath(stagingFolder()) || !unpackPackage(packagePath(), stagingFolder(), entries, error)) {
        if (error.isEmpty())
            error = u"无法建立文件夹 "_s + stagingFolder();
        return false;
    }

    say(u"等待服务端退出"_s);
    if (!waitForConsoleToEnd()) {
        error = u"服务端仍在运行, 程序文件没有替换: "_s + m_folder + consoleName();
        restartOld = false;
        return false;
    }

    const LinuxFileSystem files;
    const UpgradeJournal journal(m_folder, files);
    if (!swapIn(entries, error)) {
        QString undoError;
        if (journal.exists() && !journal.rollBack(undoError))
            error += u"\n"_s + undoError;
        return false;
    }
    removeStaged();

    say(u"启动服务端"_s);
    QString readyError;
    if (startConsole(readyError) && waitForConsoleReady(readyError)) {
        journal.complete();
        return true;
    }
    // The new program does not run: the shop gets the old one back.
    stopConsole();
    error = u"新的服务端没有正常运行, 已恢复原来的程序: "_s + readyError;
    QString undoError;
    if (!journal.rollBack(undoError))
        error += u"\n"_s + undoError;
    return false;
}

bool Upgrader::fetchManifest(const QUrl &url, ReleaseManifest &manifest, QByteArray &text, QString &error)
{
    QBuffer sink(&text);
    sink.open(QIODevice::WriteOnly);
    const HttpFetchResult result = httpGet(url, sink, {kManifestMaxBytes, 30 * 1000, 0});
    if (!result.ok) {
        error = u"读取升级清单出错 ("_s + url.toString() + u"): "_s + result.error;
        return false;
    }
    if (!acceptManifest(text, manifest, error))
        return false;
    say(u"升级清单签名有效, 版本 "_s + manifest.version);
    return true;
}

bool Upgrader::acceptManifest(const QByteArray &text, ReleaseManifest &manifest, QString &error) const
{
    const std::optional<ReleaseManifest> verified = verifyReleaseManifest(text, m_publicKey, error);
    if (!verified)
        return false;
    const auto offered = ReleaseVersion::parse(verified->version);
    const auto installed = ReleaseVersion::parse(gs_softver());
    if (!offered || !installed || offered->compare(*installed) <= 0) {
        error = u"升级包的版本 %1 不比当前版本 %2 新, 不能升级"_s.arg(verified->version, gs_softver());
        return false;
    }
    if (verified->size > m_limits.maxPackageBytes) {
        error = u"升级包超过 %1 MB"_s.arg(m_limits.maxPackageBytes / 1048576);
        return false;
    }
    manifest = *verified;
    return true;
}

bool Upgrader::fetchPackage(const QUrl &url, const ReleaseManifest &manifest, QString &error)
{
    // QSaveFile writes beside the package under a temporary name and renames only on commit(), so a
    // package that did not arrive in full never exists under its own name.
    QSaveFile file(packagePath());
    if (!file.open(QIODevice::WriteOnly)) {
        error = u"无法写入升级包 "_s + packagePath() + u": "_s + file.errorString();
        return false;
    }
    const HttpFetchLimits limits{manifest.size, m_limits.downloadTotalMs, m_limits.downloadIdleMs};
    const HttpFetchResult result = httpGet(url, file, limits);
    if (!result.ok) {
        file.cancelWriting();
        error = u"下载升级包出错 ("_s + url.toString() + u"): "_s + result.error;
        return false;
    }
    if (!file.commit()) {
        error = u"保存升级包出错: "_s + file.errorString();
        return false;
    }
    if (!packageMatches(manifest, error))
        return false;
    say(u"已下载 %1 字节, 校验无误"_s.arg(result.bytes));
    return true;
}

bool Upgrader::packageMatches(const ReleaseManifest &manifest, QString &error) const
{
    QFile saved(packagePath());
    QCryptographicHash sha(QCryptographicHash::Sha256);
    if (!saved.open(QIODevice::ReadOnly) || !sha.addData(&saved)) {
        error = u"无法读取升级包: "_s + saved.errorString();
        return false;
    }
    if (saved.size() != manifest.size || sha.result() != manifest.sha256) {
        error = u"升级包与签名的清单不符 (大小或 SHA-256 不同)"_s;
        return false;
    }
    return true;
}

bool Upgrader::checkTargets(const QList<PackageEntry> &entries, QString &error) const
{
    // A link already in the folder (left by an earlier tool or an intruder) would carry the write
    // somewhere else; so would a file where the package needs a folder, or the other way round.
    for (const PackageEntry &e : entries) {
        const QStringList parts = e.path.split(u'/');
        for (qsizetype i = 1; i <= parts.size(); ++i) {
            const QFileInfo info(m_folder + parts.mid(0, i).join(u'/'));
            const bool last = i == parts.size();
            if (info.isSymLink()) {
                error = u"程序目录中的链接不能被升级替换: "_s + info.filePath();
                return false;
            }
            if (!info.exists())
                break;
            const bool wantFolder = !last || e.folder;
            if (wantFolder != info.isDir() || (!info.isDir() && !info.isFile())) {
                error =
                    u"程序目录中的 "_s + info.filePath() + (wantFolder ? u" 不是文件夹"_s : u" 不是文件"_s);
                return false;
            }
        }
    }
    return true;
}

bool Upgrader::swapIn(const QList<PackageEntry> &entries, QString &error) const
{
    const LinuxFileSystem files;
    const UpgradeJournal journal(m_folder, files);
    QFile::remove(journal.asideFolder().chopped(1));
    QDir(journal.asideFolder()).removeRecursively();

    // The console goes last: whenever the swap is cut short, the console file is the old one, or
    // kept aside, and the journal tells which.
    QList<PackageEntry> ordered = entries;
    std::stable_partition(ordered.begin(), ordered.end(),
                          [](const PackageEntry &e) { return e.path != consoleName(); });
    QList<UpgradeJournal::Entry> plan;
    QStringList planned;
    for (const PackageEntry &e : std::as_const(ordered)) {
        const QString folder = e.folder ? e.path : parentOf(e.path);
        QStringList missing;
        for (QString f = folder; !f.isEmpty() && !QFileInfo::exists(m_folder + f) && !planned.contains(f);
             f = parentOf(f))
            missing.prepend(f);
        for (const QString &f : std::as_const(missing))
            plan.append({UpgradeJournal::Entry::Folder, f});
        planned += missing;
        if (!e.folder)
            plan.append({QFileInfo::exists(m_folder + e.path) ? UpgradeJournal::Entry::Replaced
                                                              : UpgradeJournal::Entry::Added,
                         e.path});
    }
    if (!journal.write(plan, error))
        return false;

    for (const UpgradeJournal::Entry &e : std::as_const(plan)) {
        if (e.kind == UpgradeJournal::Entry::Folder) {
            if (!QDir(m_folder).mkdir(e.path)) {
                error = u"无法建立文件夹 "_s + m_folder + e.path;
                return false;
            }
            QFile::setPermissions(m_folder + e.path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                         QFile::ReadGroup | QFile::ExeGroup |
                                                         QFile::ReadOther | QFile::ExeOther);
            continue;
        }
        const QString target = m_folder + e.path;
        // Renames within one disk: each file is either the old one or the new one, never a part.
        if (e.kind == UpgradeJournal::Entry::Replaced) {
            const QString aside = journal.asideFolder() + e.path;
            if (!QDir().mkpath(QFileInfo(aside).absolutePath()) || !QFile::rename(target, aside)) {
                error = u"无法移开原来的 "_s + target;
                return false;
            }
        }
        if (!QFile::rename(stagingFolder() + e.path, target)) {
            error = u"无法放入新的 "_s + target;
            return false;
        }
    }
    return true;
}

bool Upgrader::consoleAnswers(quint16 port) const
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(1000))
        return false;
    socket.write("HELLO upgrade\n");
    QElapsedTimer waited;
    waited.start();
    while (!socket.canReadLine() && waited.elapsed() < 3000) {
        if (!socket.waitForReadyRead(int(3000 - waited.elapsed())))
            break;
    }
    return socket.canReadLine() && socket.readLine().startsWith("OK ");
}

bool Upgrader::waitForConsoleReady(QString &error) const
{
    bool portOk = false;
    const int port = ProfileFile(m_folder + u"garvinainfo.dll"_s)
                         .read(u"system"_s, u"sockect"_s, u"2639"_s)
                         .trimmed()
                         .toInt(&portOk);
    if (!portOk || port <= 0 || port > 65535) {
        error = u"客户端服务端口无效 ([system] sockect)"_s;
        return false;
    }
    say(u"等待新的服务端在端口 %1 应答"_s.arg(port));
    const QString console = m_folder + consoleName();
    QElapsedTimer waited;
    waited.start();
    int goneCount = 0;
    for (;;) {
        if (consoleAnswers(quint16(port)))
            return true;
        // Right after the start the process may not yet run the console's file; two looks a moment
        // apart that find none mean it ended.
        if (waited.elapsed() >= 1000 && programsRunning(console).isEmpty()) {
            if (++goneCount >= 2) {
                error = u"新的服务端启动后就退出了"_s;
                return false;
            }
        } else {
            goneCount = 0;
        }
        if (waited.elapsed() >= m_limits.consoleReadyMs) {
            error = u"新的服务端在 %1 秒内没有在端口 %2 应答"_s.arg(m_limits.consoleReadyMs / 1000).arg(port);
            return false;
        }
        QThread::msleep(250);
    }
}

void Upgrader::stopConsole() const
{
    const LinuxProcessTable processes;
    for (const qint64 pid : programsRunning(m_folder + consoleName()))
        stopProcess(processes, pid, 5000);
}

bool Upgrader::waitForConsoleToEnd() const
{
    const QString console = m_folder + consoleName();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (programsRunning(console).isEmpty())
            return true;
        if (waited.elapsed() >= m_limits.consoleEndMs)
            return false;
        QThread::msleep(100);
    }
}

bool Upgrader::startConsole(QString &error) const
{
    const QString console = m_folder + consoleName();
    SystemProcessLauncher launcher;
    if (launcher.startDetached(console, {}, m_folder, {}) == 0) {
        error = u"无法启动服务端 "_s + console;
        return false;
    }
    return true;
}

} // namespace garvina
