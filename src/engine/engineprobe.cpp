#include "engineprobe.h"

#include <QFile>
#include <QFileInfo>
#include <QList>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString enginePidFile(const QString &gs_path) { return gs_path + u"tool/GARVINANET.pid"_s; }

bool processAlive(qint64 pid, const ProcessTable &processes) { return processes.alive(pid); }

qint64 runningEnginePid(const QString &gs_path, const ProcessTable &processes)
{
    QFile file(enginePidFile(gs_path));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const qint64 pid = file.read(64).trimmed().toLongLong(&ok);
    if (!ok || !processes.alive(pid))
        return 0;

    // The process must be a Firebird server serving this instance root: "-e <gs_path>tool/".
    const QString exe = QFileInfo(processes.programFile(pid)).fileName();
    const QByteArrayList args = processes.commandLine(pid);
    if (args.isEmpty())
        return 0;
    const QString argv0 = QFileInfo(QFile::decodeName(args.first())).fileName();
    if (!exe.startsWith(u"firebird"_s) && argv0 != u"firebird"_s)
        return 0;
    const QString root = QFileInfo(gs_path + u"tool"_s).absoluteFilePath();
    const auto sameRoot = [&](const QByteArray &value) {
        QString given = QFile::decodeName(value);
        while (given.size() > 1 && given.endsWith(u'/'))
            given.chop(1);
        return QFileInfo(given).absoluteFilePath() == root;
    };
    for (int i = 0; i + 1 < args.size(); ++i) {
        if (args.at(i) == "-e")
            return sameRoot(args.at(i + 1)) ? pid : 0;
    }
    // Started without -e (a folder whose path holds blanks): the root is in its environment.
    const QByteArrayList entries = processes.environment(pid);
    for (const QByteArray &entry : entries) {
        if (entry.startsWith("FIREBIRD="))
            return sameRoot(entry.mid(9)) ? pid : 0;
    }
    return 0;
}

bool f_findwindows_garvinanet(const QString &gs_path, const ProcessTable &processes)
{
    return runningEnginePid(gs_path, processes) > 0;
}

} // namespace garvina
