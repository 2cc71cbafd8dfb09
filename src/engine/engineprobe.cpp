#include "engineprobe.h"

#include <QFile>
#include <QFileInfo>
#include <QList>

#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString enginePidFile(const QString &gs_path) { return gs_path + u"tool/GARVINANET.pid"_s; }

bool processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile stat(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // The state letter follows the program name in parentheses, which may itself hold blanks.
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0 || close + 2 >= line.size())
        return false;
    const char state = line.at(close + 2);
    // An engine that has ended can stay a zombie for a moment before it is reaped.
    return state != 'Z' && state != 'X' && state != 'x';
}

qint64 runningEnginePid(const QString &gs_path)
{
    QFile file(enginePidFile(gs_path));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const qint64 pid = file.read(64).trimmed().toLongLong(&ok);
    if (!ok || !processAlive(pid))
        return 0;

    // The process must be a Firebird server serving this instance root: "-e <gs_path>tool/".
    const QString proc = u"/proc/"_s + QString::number(pid);
    const QString exe = QFileInfo(QFile::symLinkTarget(proc + u"/exe"_s)).fileName();
    QFile cmdline(proc + u"/cmdline"_s);
    if (!cmdline.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> args = cmdline.readAll().split('\0');
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
    QFile environ(proc + u"/environ"_s);
    if (!environ.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> entries = environ.readAll().split('\0');
    for (const QByteArray &entry : entries) {
        if (entry.startsWith("FIREBIRD="))
            return sameRoot(entry.mid(9)) ? pid : 0;
    }
    return 0;
}

bool f_findwindows_garvinanet(const QString &gs_path) { return runningEnginePid(gs_path) > 0; }

} // namespace garvina
