#pragma once

#include "platform/unixsignals.h"

namespace garvina {

/// \brief SIGTERM, SIGINT and SIGHUP end the console's event loop in order.
///
/// Made before start-up's long work, so that a signal during it makes every wait give up (see
/// endRequested()); start-up then looks at the request itself. Once exec() runs, a signal leaves the
/// loop with exit(), not quit(): quit() first asks every window to close, and the main window refuses
/// (closing it only hides it), which would cancel the end.
class OrderlyEnd
{
public:
    /// With \a hangUpReloads SIGHUP does not end the console (see UnixSignals).
    explicit OrderlyEnd(bool hangUpReloads = false);
    UnixSignals &unixSignals() { return m_signals; }
    /// Runs the application's event loop until the end is asked for; a request that came before
    /// the loop ran ends it at once (an exit() before the loop would be forgotten).
    int exec();

private:
    UnixSignals m_signals;
    bool m_looping = false;
};

/// \brief The last step of the orderly end, once the engine and the client service are stopped: the
/// client library's shutdown, unless a connect given up on still waits inside it (the process then
/// leaves at once, since the shutdown and the library's destructors would wait with it).
int leaveAfterOrderlyEnd(int result);

} // namespace garvina
