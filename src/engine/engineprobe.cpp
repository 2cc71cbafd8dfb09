#include "engineprobe.h"

#include <QFile>
#include <QFileInfo>
#include <QList>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString enginePidFile(const QString &gs_path)
{
    return gs_path + u"tool/GARVINANET.pid"_s;
}

bool writeEnginePidFile(const FileSystem &files, const QString &gs_path, qint64 pid)
{
    // Replaced in one step: a probe reading it meanwhile sees the old pid or the new one.
    return files.replaceFile(enginePidFile(gs_path), QByteArray::number(pid) + '\n').ok();
}

bool processAlive(qint64 pid, const ProcessTable &processes)
{
    return processes.alive(pid);
}

bool isEngineOf(const QString &gs_path, qint64 pid, const ProcessTable &processes)
{
    if (!processes.alive(pid))
        return false;
    // The process must be a Firebird server serving this instance root: "-e <gs_path>tool/".
    const QString exe = QFileInfo(processes.programFile(pid)).fileName();
    const QByteArrayList args = processes.commandLine(pid);
    if (args.isEmpty())
        return false;
    const QString argv0 = QFileInfo(QFile::decodeName(args.first())).fileName();
    if (!exe.startsWith(u"firebird"_s) && argv0 != u"firebird"_s)
        return false;
    const QString root = QFileInfo(gs_path + u"tool"_s).absoluteFilePath();
    const auto sameRoot = [&](const QByteArray &value) {
        QString given = QFile::decodeName(value);
        while (given.size() > 1 && given.endsWith(u'/'))
            given.chop(1);
        return QFileInfo(given).absoluteFilePath() == root;
    };
    for (int i = 0; i + 1 < args.size(); ++i) {
        if (args.at(i) == "-e")
            return sameRoot(args.at(i + 1));
    }
    // Started without -e (a folder whose path holds blanks): the root is in its environment.
    const QByteArrayList entries = processes.environment(pid);
    for (const QByteArray &entry : entries) {
        if (entry.startsWith("FIREBIRD="))
            return sameRoot(entry.mid(9));
    }
    return false;
}

qint64 runningEnginePid(const QString &gs_path, const ProcessTable &processes, const FileSystem &files)
{
    QFile file(enginePidFile(gs_path));
    if (file.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const qint64 pid = file.read(64).trimmed().toLongLong(&ok);
        if (ok && isEngineOf(gs_path, pid, processes))
            return pid;
        file.close();
    }

    // No pid file names it (a console ended between the launch and the writing of the file, or the
    // file was lost): the engine is still found by what it is, and its pid file written again.
    const std::optional<QList<qint64>> pids = processes.processes();
    if (!pids)
        return 0;
    for (const qint64 pid : *pids) {
        if (!processes.shortName(pid).startsWith(u"firebird"_s))
            continue;
        if (isEngineOf(gs_path, pid, processes)) {
            writeEnginePidFile(files, gs_path, pid);
            return pid;
        }
    }
    return 0;
}

bool f_findwindows_garvinanet(const QString &gs_path, const ProcessTable &processes, const FileSystem &files)
{
    return runningEnginePid(gs_path, processes, files) > 0;
}

bool fileHeldOpen(const QString &file, const ProcessTable &processes)
{
    return !processes.holdersOf(file).isEmpty();
}

} // namespace garvina
