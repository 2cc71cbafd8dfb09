#pragma once

#include "platform/endrequest.h"

#include <QString>

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace garvina {

/// Why a call run on a thread of its own brought no result.
enum class OffThreadEnd
{
    Done,        ///< it returned in time
    TimedOut,    ///< the bound ran out first
    EndRequested ///< the console's end was asked for first
};

/// The engine's part of a message for a connect given up on after \a boundMs, or at the end.
inline QString givenUpText(OffThreadEnd end, int boundMs)
{
    if (end == OffThreadEnd::EndRequested)
        return QStringLiteral("服务端正在退出");
    return QStringLiteral("数据库服务 ") + QString::number((boundMs + 999) / 1000) +
           QStringLiteral(" 秒内无应答");
}

/// Calls given up on that still run on their threads (inside the client library, as a rule).
inline std::atomic<int> &offThreadCallsLeft()
{
    static std::atomic<int> left{0};
    return left;
}

/// \brief Runs \a work on a thread of its own and waits for it with the event loop going (windows
/// paint, the client service answers), at most \a timeoutMs and no longer once the console's end is
/// asked for.
///
/// The client library waits as long as a server keeps the connection open without answering; this
/// is how such a wait is bounded. When the caller stops waiting, the thread goes on alone: \a work
/// must own what it uses (capture by value). \a settle runs on that thread, under a lock the caller's
/// decision also takes, with \a taken telling whether the caller gets the result: it hands a result
/// over (taken) or gives back what it holds (not taken), never both.
template <typename T>
OffThreadEnd runOffThread(std::function<T()> work, std::function<void(T &, bool taken)> settle, int timeoutMs,
                          std::optional<T> &result)
{
    struct Shared
    {
        std::mutex mutex;
        bool finished = false;
        bool abandoned = false;
        std::optional<T> value;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, work = std::move(work), settle = std::move(settle)] {
        T value = work();
        const std::lock_guard<std::mutex> lock(shared->mutex);
        if (settle)
            settle(value, !shared->abandoned);
        if (!shared->abandoned)
            shared->value = std::move(value);
        else
            --offThreadCallsLeft();
        shared->finished = true;
    }).detach();

    const auto finished = [&] {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        return shared->finished;
    };
    waitUntil(finished, timeoutMs);
    const std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->finished) {
        result = std::move(shared->value);
        return OffThreadEnd::Done;
    }
    shared->abandoned = true;
    ++offThreadCallsLeft();
    return endRequested() ? OffThreadEnd::EndRequested : OffThreadEnd::TimedOut;
}

/// \brief Runs \a work on a thread of its own and waits until it has returned, with the event loop
/// going (windows paint, timers fire, sockets are served; clicks and keys wait), for as long as it
/// takes.
///
/// For long work that stops by itself once the console's end is asked for (it looks at
/// endRequested() now and then): after the request the wait goes on without the event loop, so
/// that nothing it uses is left behind on a thread nobody waits for.
inline void runWhileLooping(const std::function<void()> &work)
{
    std::atomic<bool> finished{false};
    std::thread thread([&] {
        work();
        finished.store(true);
    });
    waitUntil([&] { return finished.load(); }, std::numeric_limits<int>::max());
    thread.join();
}

} // namespace garvina
