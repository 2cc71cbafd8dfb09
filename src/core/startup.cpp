#include "startup.h"

#include "platform/processlauncher.h"
#include "platform/processtable.h"

#include <QFile>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

bool autorunRequested(const QStringList &arguments)
{
    return arguments.join(u' ').contains(u"-autorun"_s);
}

QString resolveProgramFolder(const QString &workingDirectory, const QString &programFile,
                             const std::function<bool(const QString &)> &fileExists)
{
    const QString programName = u"garvinaserver"_s;
    QString path = workingDirectory;
    if (!path.endsWith(u'/'))
        path += u'/';
    if (fileExists(path + programName))
        return path;
    const qsizetype slash = programFile.lastIndexOf(u'/');
    if (slash >= 0) {
        path = programFile.left(slash + 1);
        if (fileExists(path + programName))
            return path;
    }
    return QString();
}

InstanceDecision decideInstance(int runningCopies)
{
    if (runningCopies < 0)
        return InstanceDecision::InternalError;
    if (runningCopies >= 2)
        return InstanceDecision::AlreadyRunning;
    return InstanceDecision::GoOn;
}

bool f_check_skin(const QString &gs_path, ProcessLauncher &launcher)
{
    const auto exists = [&](const QString &relative) {
        return QFileInfo::exists(gs_path + relative);
    };
    const auto extract = [&](const QString &archive) {
        launcher.startDetached(gs_path + u"rar"_s, {u"x"_s, u"-e"_s, u"-o+"_s, gs_path + archive}, gs_path);
    };

    if ((!exists(u"serverstart.ico"_s) || !exists(u"serverstop.ico"_s)) && exists(u"resources.dll"_s))
        extract(u"resources.dll"_s);

    if (!QFileInfo(gs_path + u"skin/"_s).isDir()) {
        if (exists(u"Skin.dll"_s))
            extract(u"Skin.dll"_s);
        return true;
    }
    if ((!exists(u"skin/bg.jpg"_s) || !exists(u"skin/close.jpg"_s) || !exists(u"skin/setting_bg.jpg"_s)) &&
        exists(u"Skin.dll"_s))
        extract(u"Skin.dll"_s);
    return true;
}

int endLeftoverTools(const QString &gs_path, const ProcessTable &processes)
{
    static const QStringList tools = {u"gbak"_s, u"nbackup"_s, u"isql-fb"_s, u"gfix"_s};
    // The server's instance root, and the embedded tools' own root inside it.
    const QStringList roots = {QFileInfo(gs_path + u"tool"_s).absoluteFilePath(),
                               QFileInfo(gs_path + u"tool/embedded"_s).absoluteFilePath()};
    const auto ofThisInstance = [&](qint64 pid) {
        for (const QByteArray &entry : processes.environment(pid)) {
            if (!entry.startsWith("FIREBIRD="))
                continue;
            QString given = QFile::decodeName(entry.mid(9));
            while (given.size() > 1 && given.endsWith(u'/'))
                given.chop(1);
            return roots.contains(QFileInfo(given).absoluteFilePath());
        }
        return false;
    };
    int ended = 0;
    for (const qint64 pid : processes.processes().value_or(QList<qint64>{})) {
        if (pid == processes.ownPid() || !tools.contains(processes.shortName(pid)) || !ofThisInstance(pid))
            continue;
        if (stopProcess(processes, pid, 2000))
            ++ended;
    }
    return ended;
}

void removeHalfMadeFiles(const QString &gs_path)
{
    for (const QString &name : {u"garvina.db.restore"_s, u"garvina.rebuild.fbk"_s, u"garvina.rebuild.db"_s})
        QFile::remove(gs_path + u"data/"_s + name);
}

} // namespace garvina
