#include "unixsignals.h"

#include "platform/endrequest.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace garvina {

namespace {
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_hangUpReloads = 0;

void onSignal(int signalNumber)
{
    // Every wait sees the request at once, also those that run no event loop.
    if (signalNumber != SIGHUP || !g_hangUpReloads)
        requestEnd();
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}
} // namespace

UnixSignals::UnixSignals(bool hangUpReloads, QObject *parent) : QObject(parent)
{
    g_hangUpReloads = hangUpReloads ? 1 : 0;
    endRequestDescriptor(); // made now, not inside the handler
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignals::readSignal);

    struct sigaction sa
    {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

UnixSignals::~UnixSignals()
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::signal(sig, SIG_DFL);
}

void UnixSignals::readSignal()
{
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1) {
        if (byte == SIGHUP && g_hangUpReloads)
            Q_EMIT reloadRequested();
        else
            Q_EMIT terminationRequested(byte);
    }
}

} // namespace garvina
