#pragma once

#include <QDateTime>
#include <QString>

#include <deque>

namespace garvina {

/// What keeps the engine from serving the tills.
enum class EngineFault
{
    None,
    Gone,         ///< its process ended (killed, crashed)
    NotListening, ///< its process runs but does not listen on its port
};

/// The cause of \a fault as the console tells it, with the engine's \a port.
QString engineFaultText(EngineFault fault, int port);

/// \brief Decides, check by check, what the console does about an engine that stopped serving while
/// the service is on: wait a little (an engine without its listener may be opening it), start it
/// again, or give up once starts keep failing to keep it up.
///
/// At most MaxRestarts starts within WindowSecs: an engine that cannot stay up (a broken instance, a
/// full disk) is not started again and again for ever, and the service's manager, told by the console's
/// failure, takes over from there.
class EngineWatch
{
public:
    static constexpr int MaxRestarts = 3;
    static constexpr int WindowSecs = 600;
    static constexpr int NotListeningGraceSecs = 10;

    enum class Action
    {
        None,
        Restart,
        GiveUp, ///< given once; nothing more until reset()
    };

    /// What to do at \a now about \a fault, the engine's state seen then.
    Action check(EngineFault fault, const QDateTime &now);
    /// A start was made at \a now.
    void restarted(const QDateTime &now) { m_restarts.push_back(now); }
    /// The service was started or stopped by hand: the count starts afresh.
    void reset();

private:
    std::deque<QDateTime> m_restarts;
    QDateTime m_notListeningSince;
    bool m_gaveUp = false;
};

} // namespace garvina
