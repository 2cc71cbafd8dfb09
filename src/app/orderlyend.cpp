#include "orderlyend.h"

#include "engine/fbservice.h"
#include "engine/offthread.h"
#include "platform/endrequest.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace garvina {

OrderlyEnd::OrderlyEnd(bool hangUpReloads) : m_signals(hangUpReloads)
{
    QObject::connect(&m_signals, &UnixSignals::terminationRequested, QCoreApplication::instance(), [this] {
        if (m_looping)
            QCoreApplication::exit(0);
    });
}

int OrderlyEnd::exec()
{
    QTimer::singleShot(0, QCoreApplication::instance(), [this] {
        m_looping = true;
        if (endRequested())
            QCoreApplication::exit(0);
    });
    return QCoreApplication::exec();
}

int leaveAfterOrderlyEnd(int result)
{
    if (offThreadCallsLeft() > 0) {
        std::fflush(nullptr);
        std::_Exit(result);
    }
    // The client library's threads end now, not while the process is tearing down under them.
    fbShutdownClient();
    return result;
}

} // namespace garvina
