#include "endrequest.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace garvina {

namespace {

std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

/// Made once, before any signal handler can write to it; its count stays above zero while an end
/// is requested, so that poll() finds it readable until the request is taken up.
int descriptor()
{
    static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

} // namespace

bool endRequested()
{
    return g_requested.load();
}

void requestEnd()
{
    const int saved = errno;
    g_requested.store(true);
    const int fd = descriptor();
    if (fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    }
    errno = saved;
}

void takeUpEndRequest()
{
    g_requested.store(false);
    const int fd = descriptor();
    if (fd >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
    }
}

int endRequestDescriptor()
{
    return descriptor();
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs, int stepMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (done())
            return true;
        // After the end was asked for, each nested loop would also return at once: no spinning.
        if (endRequested() || timer.elapsed() >= timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(stepMs, &loop, &QEventLoop::quit);
        // Paint and timers go on; clicks and keys wait until the operation is over.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
}

} // namespace garvina
