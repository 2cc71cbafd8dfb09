#include "upgrader.h"

#include "config/profilefile.h"
#include "platform/processlauncher.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"
#include "upgrade/httpfetch.h"
#include "upgrade/upgradeserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QThread>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

QString consoleName() { return u"garvinaserver"_s; }

/// What belongs to the shop rather than to the program: the database, the engine instance with its
/// password, the configuration and the backup error log. A package never replaces these.
bool isShopFile(const QString &entry)
{
    const QString first = entry.section(u'/', 0, 0);
    return first == u"data"_s || first == u"tool"_s || entry == u"garvinainfo.dll"_s ||
           entry == u"备份数据库出错记录.txt"_s;
}

/// A relative path that stays inside the folder it is unpacked into.
bool staysInside(const QString &entry)
{
    if (entry.isEmpty() || entry.startsWith(u'/') || entry.contains(u'\\'))
        return false;
    const QStringList parts = entry.split(u'/');
    return std::none_of(parts.begin(), parts.end(), [](const QString &p) { return p == u".."_s; });
}

QString parentOf(const QString &path) { return path.left(std::max<qsizetype>(0, path.lastIndexOf(u'/'))); }

QString lastLine(const QByteArray &output)
{
    const QList<QByteArray> lines = output.trimmed().split('\n');
    return QString::fromLocal8Bit(lines.constLast().trimmed());
}

/// Gives the owner, group and others the right to run \a path where they may read it.
void makeRunnable(const QString &path)
{
    const QFile::Permissions p = QFile::permissions(path);
    QFile::Permissions add;
    if (p & QFile::ReadOwner)
        add |= QFile::ExeOwner | QFile::ExeUser;
    if (p & QFile::ReadGroup)
        add |= QFile::ExeGroup;
    if (p & QFile::ReadOther)
        add |= QFile::ExeOther;
    if ((p & add) != add)
        QFile::setPermissions(path, p | add);
}

} // namespace

Upgrader::Upgrader(QString programFolder, UpgradeLimits limits)
    : m_folder(std::move(programFolder)), m_limits(limits)
{
}

void Upgrader::say(const QString &line) const
{
    if (progress)
        progress(line);
}

bool Upgrader::run(QString &error)
{
    bool restartOld = true;
    if (upgrade(error, restartOld))
        return true;
    // The console ended itself so that its files could be replaced: bring it back as it was,
    // unless a copy still runs (or the new one was already given its chance).
    if (restartOld && QFileInfo(m_folder + consoleName()).isFile() && waitForConsoleToEnd()) {
        QString startError;
        if (startConsole(startError))
            say(u"已重新启动原来的服务端"_s);
        else
            error += u"\n"_s + startError;
    }
    return false;
}

bool Upgrader::upgrade(QString &error, bool &restartOld)
{
    const QString rar = m_folder + u"rar"_s;
    if (!QFileInfo(rar).isExecutable()) {
        error = u"程序目录中缺少解压程序: "_s + rar;
        return false;
    }
    const QString setting = readUpgradeServerSetting(ProfileFile(m_folder + u"garvinainfo.dll"_s));
    const QUrl url = upgradeServerUrl(setting, upgradePackagePath());
    if (url.isEmpty()) {
        error = setting.isEmpty() ? u"garvinainfo.dll 中没有设置升级服务器 ([upgrade] server)"_s
                                  : u"升级服务器地址无效: "_s + setting;
        return false;
    }

    say(u"下载升级包 "_s + url.toString());
    if (!download(url, error))
        return false;
    struct RemovePackage
    {
        QString path;
        ~RemovePackage() { QFile::remove(path); }
    } removePackage{packagePath()};

    QStringList entries;
    if (!checkPackage(entries, error))
        return false;

    say(u"等待服务端退出"_s);
    if (!waitForConsoleToEnd()) {
        error = u"服务端仍在运行, 程序文件没有替换: "_s + m_folder + consoleName();
        restartOld = false;
        return false;
    }

    say(u"解压升级包"_s);
    if (!unpack(entries, error))
        return false;
    for (const QString &program : {consoleName(), u"upgrade"_s, u"rar"_s}) {
        if (entries.contains(program))
            makeRunnable(m_folder + program);
    }
    QFile::remove(packagePath());

    say(u"启动服务端"_s);
    restartOld = false;
    return startConsole(error);
}

bool Upgrader::download(const QUrl &url, QString &error)
{
    // QSaveFile writes beside the package under a temporary name and renames only on commit(), so a
    // package that did not arrive in full never exists under its own name.
    QSaveFile file(packagePath());
    if (!file.open(QIODevice::WriteOnly)) {
        error = u"无法写入升级包 "_s + packagePath() + u": "_s + file.errorString();
        return false;
    }
    const HttpFetchLimits limits{m_limits.maxPackageBytes, m_limits.downloadTotalMs, m_limits.downloadIdleMs};
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
    say(u"已下载 %1 字节"_s.arg(result.bytes));
    return true;
}

bool Upgrader::runTool(const QString &program, const QStringList &arguments, QByteArray *output,
                       QString &error) const
{
    ToolRequest request;
    request.program = program;
    request.arguments = arguments;
    request.workingDirectory = m_folder;
    request.output = ToolRequest::Output::Separate;
    request.timeoutMs = m_limits.toolMs;
    const ToolResult result = garvina::runTool(request);
    if (result.status == ToolResult::Status::NotStarted) {
        error = u"无法运行 "_s + program + u": "_s + result.failureText();
        return false;
    }
    if (result.status == ToolResult::Status::TimedOut) {
        error = program + u" 没有在 %1 秒内结束"_s.arg(m_limits.toolMs / 1000);
        return false;
    }
    if (output)
        *output = result.output;
    if (!result.succeeded()) {
        const QByteArray &err = result.errorOutput;
        error = program + u" 出错 (退出码 %1): "_s.arg(result.exitCode) +
                lastLine(err.isEmpty() ? result.output : err);
        return false;
    }
    return true;
}

bool Upgrader::checkPackage(QStringList &entries, QString &error) const
{
    const QString unzip = QStandardPaths::findExecutable(u"unzip"_s);
    if (unzip.isEmpty()) {
        error = u"找不到 unzip, 无法检查升级包"_s;
        return false;
    }
    QString toolError;
    if (!runTool(unzip, {u"-tq"_s, packagePath()}, nullptr, toolError)) {
        error = u"升级包不是完好的 zip 压缩包: "_s + toolError;
        return false;
    }
    QByteArray listing;
    if (!runTool(unzip, {u"-Z1"_s, packagePath()}, &listing, toolError)) {
        error = u"无法读取升级包的目录: "_s + toolError;
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString names = utf8.decode(listing);
    if (utf8.hasError()) {
        error = u"升级包中的文件名不是 UTF-8"_s;
        return false;
    }
    entries.clear();
    for (const QString &name : names.split(u'\n', Qt::SkipEmptyParts)) {
        if (!staysInside(name)) {
            error = u"升级包中的文件会写到程序目录之外: "_s + name;
            return false;
        }
        if (isShopFile(name)) {
            error = u"升级包不得替换店铺的数据或设置: "_s + name;
            return false;
        }
        entries.append(name);
    }
    if (!entries.contains(consoleName())) {
        error = u"升级包中没有服务端程序 "_s + consoleName();
        return false;
    }
    return true;
}

QList<qint64> Upgrader::processesRunning(const QString &programFile)
{
    const QFileInfo info(programFile);
    QString target = info.canonicalFilePath();
    if (target.isEmpty())
        target = QDir(info.absolutePath()).canonicalPath() + u'/' + info.fileName();
    // A program file replaced while it runs shows as "PATH (deleted)".
    const QString wantedDeleted = target + u" (deleted)"_s;

    QList<qint64> pids;
    const LinuxProcessTable processes;
    const qint64 self = processes.ownPid();
    for (const qint64 pid : processes.processes().value_or(QList<qint64>())) {
        if (pid == self)
            continue;
        // Ended processes not yet reaped (zombies) have no readable link and do not count.
        const QString exe = processes.programFile(pid);
        if (!exe.isEmpty() && (exe == target || exe == wantedDeleted))
            pids.append(pid);
    }
    return pids;
}

bool Upgrader::waitForConsoleToEnd() const
{
    const QString console = m_folder + consoleName();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (processesRunning(console).isEmpty())
            return true;
        if (waited.elapsed() >= m_limits.consoleEndMs)
            return false;
        QThread::msleep(100);
    }
}

bool Upgrader::unpack(const QStringList &entries, QString &error) const
{
    // Every file the unpack replaces is copied aside first and put back when the unpack fails, so
    // a full disk half way through leaves the old program, not a mixture.
    const QString aside = m_folder + u".upgrade-old/"_s;
    QDir(aside).removeRecursively();
    QStringList replaced;
    QStringList added;
    QStringList addedFolders;
    for (const QString &entry : entries) {
        for (QString folder = entry.endsWith(u'/') ? entry.chopped(1) : parentOf(entry); !folder.isEmpty();
             folder = parentOf(folder)) {
            if (!QFileInfo::exists(m_folder + folder) && !addedFolders.contains(folder))
                addedFolders.append(folder);
        }
        if (entry.endsWith(u'/'))
            continue;
        const QFileInfo target(m_folder + entry);
        if (target.isDir())
            continue; // the unpack fails on it and nothing of it needs putting back
        if (!target.exists() && !target.isSymLink()) {
            added.append(entry);
            continue;
        }
        const QString copy = aside + entry;
        if (!QDir().mkpath(QFileInfo(copy).absolutePath()) || !QFile::copy(target.filePath(), copy)) {
            QDir(aside).removeRecursively();
            error = u"无法备份 "_s + target.filePath() + u", 没有解压"_s;
            return false;
        }
        replaced.append(entry);
    }

    QString toolError;
    const bool ok = runTool(m_folder + u"rar"_s, {u"x"_s, u"-e"_s, u"-o+"_s, packagePath()}, nullptr, toolError);
    if (!ok) {
        QStringList notRestored;
        for (const QString &entry : std::as_const(replaced)) {
            QFile::remove(m_folder + entry);
            if (!QFile::rename(aside + entry, m_folder + entry))
                notRestored.append(entry);
        }
        for (const QString &entry : std::as_const(added))
            QFile::remove(m_folder + entry);
        // Deepest first; a folder that is not empty stays.
        std::sort(addedFolders.begin(), addedFolders.end(),
                  [](const QString &a, const QString &b) { return a.count(u'/') > b.count(u'/'); });
        for (const QString &folder : std::as_const(addedFolders))
            QDir(m_folder).rmdir(folder);
        error = u"解压升级包出错, 已恢复原来的文件: "_s + toolError;
        if (!notRestored.isEmpty()) {
            error += u"\n无法恢复 (原文件保存在 "_s + aside + u"): "_s + notRestored.join(u", "_s);
            return false;
        }
    }
    QDir(aside).removeRecursively();
    return ok;
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
