#include "upgradestop.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// Ended: no such process, or one that ended and waits for its parent to collect it (a zombie;
/// where the init process does not collect, it stays one).
bool gone(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && line.size() > close + 2 && line.at(close + 2) == 'Z';
}

bool waitGone(pid_t pid, int ms)
{
    QElapsedTimer waited;
    waited.start();
    while (!gone(pid)) {
        if (waited.elapsed() >= ms)
            return false;
        QThread::msleep(50);
    }
    return true;
}

} // namespace

bool stopProcess(qint64 pid, int graceMs)
{
    const auto p = static_cast<pid_t>(pid);
    if (p <= 0)
        return false;
    if (::kill(p, SIGTERM) != 0)
        return gone(p);
    if (waitGone(p, graceMs))
        return true;
    ::kill(p, SIGKILL);
    return waitGone(p, 2000);
}

} // namespace garvina
