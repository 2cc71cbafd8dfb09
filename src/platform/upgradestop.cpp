#include "upgradestop.h"

#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <csignal>

namespace garvina {

namespace {

bool gone(pid_t pid)
{
    return ::kill(pid, 0) != 0 && errno == ESRCH;
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
