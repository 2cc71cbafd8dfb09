#pragma once

#include <functional>

namespace garvina {

/// \brief The console's end has been asked for: SIGTERM, SIGINT or SIGHUP arrived, or the desktop
/// session is ending.
///
/// From then on every wait gives up at once (the engine's start, a connect, a tool run), so that the
/// orderly end is not held back by work nobody waits for any more. The orderly end takes the request
/// up (takeUpEndRequest()), and its own bounded waits then run again; a further signal during it
/// makes them give up too.
bool endRequested();

/// Asks for the end from the console itself (the session is ending). Safe inside a signal handler.
void requestEnd();

/// The orderly end has begun: endRequested() is false again until the next request.
void takeUpEndRequest();

/// \brief A descriptor that is readable while an end is requested, for waits that sleep in poll().
/// -1 when it could not be made.
int endRequestDescriptor();

/// \brief Runs the event loop without user input until \a done answers true, \a timeoutMs passed or
/// the console's end is requested. Returns what \a done answered last. Windows keep painting.
bool waitUntil(const std::function<bool()> &done, int timeoutMs, int stepMs = 20);

} // namespace garvina
