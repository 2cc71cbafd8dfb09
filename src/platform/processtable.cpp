#include "processtable.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <csignal>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArrayList splitNul(const QByteArray &bytes)
{
    QByteArrayList parts = bytes.split('\0');
    if (!parts.isEmpty() && parts.last().isEmpty())
        parts.removeLast();
    return parts;
}

} // namespace

LinuxProcessTable::LinuxProcessTable(QString root) : m_root(std::move(root)) {}

QString LinuxProcessTable::entry(qint64 pid, const char *name) const
{
    return m_root + u'/' + QString::number(pid) + u'/' + QLatin1String(name);
}

std::optional<QList<qint64>> LinuxProcessTable::processes() const
{
    const QDir proc(m_root);
    if (!proc.exists())
        return std::nullopt;
    QList<qint64> pids;
    for (const QString &name : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = name.toLongLong(&isPid);
        if (isPid)
            pids.append(pid);
    }
    return pids;
}

qint64 LinuxProcessTable::ownPid() const
{
    return ::getpid();
}

bool LinuxProcessTable::alive(qint64 pid) const
{
    if (pid <= 0)
        return false;
    const QByteArray line = readAll(entry(pid, "stat"));
    // The state letter follows the program name in parentheses, which may itself hold blanks.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0 || close + 2 >= line.size())
        return false;
    const char state = line.at(close + 2);
    // A process that has ended can stay a zombie for a moment before it is reaped.
    return state != 'Z' && state != 'X' && state != 'x';
}

QString LinuxProcessTable::programFile(qint64 pid) const
{
    return QFile::symLinkTarget(entry(pid, "exe"));
}

QString LinuxProcessTable::shortName(qint64 pid) const
{
    return QString::fromUtf8(readAll(entry(pid, "comm"))).trimmed();
}

QByteArrayList LinuxProcessTable::commandLine(qint64 pid) const
{
    return splitNul(readAll(entry(pid, "cmdline")));
}

QByteArrayList LinuxProcessTable::environment(qint64 pid) const
{
    return splitNul(readAll(entry(pid, "environ")));
}

namespace {

/// Listening sockets of the kernel's TCP tables for IPv4 and IPv6: socket inode → port.
QHash<QByteArray, int> listeners(const QString &root)
{
    QHash<QByteArray, int> result;
    for (const char *table : {"/net/tcp", "/net/tcp6"}) {
        QFile file(root + QLatin1String(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // header
        while (!file.atEnd()) {
            const QByteArrayList f = file.readLine().simplified().split(' ');
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            if (f.size() < 10 || f.at(3) != "0A")
                continue;
            const QByteArray local = f.at(1);
            bool ok = false;
            const int port = local.mid(local.lastIndexOf(':') + 1).toInt(&ok, 16);
            if (ok)
                result.insert(f.at(9), port);
        }
    }
    return result;
}

} // namespace

bool LinuxProcessTable::portListened(int port) const
{
    const QHash<QByteArray, int> all = listeners(m_root);
    return std::find(all.cbegin(), all.cend(), port) != all.cend();
}

QList<int> LinuxProcessTable::listeningPorts(qint64 pid) const
{
    const QHash<QByteArray, int> all = listeners(m_root);
    QList<int> ports;
    if (all.isEmpty() || pid <= 0)
        return ports;
    const QDir fds(entry(pid, "fd"));
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        // "socket:[12345]" reads back as a path ending in the link text.
        const qsizetype open = target.lastIndexOf(u"socket:["_s);
        if (open < 0)
            continue;
        const auto it = all.constFind(target.mid(open + 8).chopped(1).toLatin1());
        if (it != all.cend() && !ports.contains(it.value()))
            ports.append(it.value());
    }
    return ports;
}

double LinuxProcessTable::processorSeconds(qint64 pid) const
{
    const QByteArray line = readAll(entry(pid, "stat"));
    // After the name in parentheses: state (field 3) ... utime (14), stime (15), in clock ticks.
    const QByteArrayList f = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (f.size() < 13)
        return 0;
    return (f.at(11).toDouble() + f.at(12).toDouble()) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

bool LinuxProcessTable::stopped(qint64 pid) const
{
    const QByteArray line = readAll(entry(pid, "stat"));
    // The state follows the name in parentheses: T stopped by a signal, t held by a tracer.
    const qsizetype at = line.lastIndexOf(')') + 2;
    return at >= 2 && at < line.size() && (line.at(at) == 'T' || line.at(at) == 't');
}

QList<qint64> LinuxProcessTable::holdersOf(const QString &file) const
{
    QList<qint64> holders;
    const QString target = QFileInfo(file).canonicalFilePath();
    const std::optional<QList<qint64>> pids = processes();
    if (target.isEmpty() || !pids)
        return holders;
    for (const qint64 pid : *pids) {
        const QDir fds(entry(pid, "fd"));
        // Descriptors are links: to a file or folder, or broken ones (sockets, pipes) for System.
        for (const QString &fd :
             fds.entryList(QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot)) {
            if (QFile::symLinkTarget(fds.filePath(fd)) == target) {
                holders.append(pid);
                break;
            }
        }
    }
    return holders;
}

bool LinuxProcessTable::send(qint64 pid, Signal signal) const
{
    if (pid <= 0)
        return false;
    const int number = signal == Signal::Kill ? SIGKILL : signal == Signal::Interrupt ? SIGINT : SIGTERM;
    return ::kill(static_cast<pid_t>(pid), number) == 0;
}

namespace {

bool waitGone(const ProcessTable &processes, qint64 pid, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (processes.alive(pid)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

} // namespace

bool stopProcess(const ProcessTable &processes, qint64 pid, int graceMs)
{
    if (pid <= 0)
        return false;
    if (!processes.send(pid, ProcessTable::Signal::Terminate))
        return !processes.alive(pid);
    if (waitGone(processes, pid, graceMs))
        return true;
    processes.send(pid, ProcessTable::Signal::Kill);
    return waitGone(processes, pid, 2000);
}

} // namespace garvina
