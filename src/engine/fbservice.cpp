#include "fbservice.h"

#include "engine/offthread.h"

#include <ibase.h>

#include <QByteArray>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

QString statusText(const ISC_STATUS *status)
{
    QStringList parts;
    const ISC_STATUS *p = status;
    char buffer[1024];
    while (fb_interpret(buffer, sizeof buffer, &p) > 0)
        parts.append(QString::fromUtf8(buffer));
    return parts.join(u'\n');
}

void appendItem(std::vector<char> &buf, char tag, const QByteArray &value)
{
    buf.push_back(tag);
    if (tag == isc_spb_user_name || tag == isc_spb_password) {
        // Attach-time items carry a one-byte length.
        buf.push_back(static_cast<char>(value.size()));
    } else {
        // Action items carry a two-byte little-endian length.
        buf.push_back(static_cast<char>(value.size() & 0xff));
        buf.push_back(static_cast<char>((value.size() >> 8) & 0xff));
    }
    buf.insert(buf.end(), value.begin(), value.end());
}

void detach(isc_svc_handle &handle);

/// Attaches to the service manager; the handle must be detached by the caller when non-zero.
/// The attachment is made on a thread of its own and given up on after the target's bound.
FbResult attach(const FbServiceTarget &target, isc_svc_handle &handle)
{
    handle = 0;
    const QByteArray user = target.user.toUtf8();
    const QByteArray password = target.password.toUtf8();
    if (user.size() > 255 || password.size() > 255)
        return {false, u"user name or password too long"_s};
    std::vector<char> spb{static_cast<char>(isc_spb_version), static_cast<char>(isc_spb_current_version)};
    appendItem(spb, isc_spb_user_name, user);
    appendItem(spb, isc_spb_password, password);

    const QByteArray service =
        (target.host + u'/' + QString::number(target.port) + u":service_mgr"_s).toUtf8();
    struct Attached
    {
        FbResult result;
        isc_svc_handle handle = 0;
    };
    const auto work = [spb, service]() mutable {
        Attached attached;
        ISC_STATUS_ARRAY status{};
        if (isc_service_attach(status, 0, service.constData(), &attached.handle,
                               static_cast<unsigned short>(spb.size()), spb.data())) {
            attached.handle = 0;
            attached.result = {false, statusText(status)};
        } else {
            attached.result = {true, QString()};
        }
        std::fill(spb.begin(), spb.end(), '\0');
        return attached;
    };
    const auto settle = [](Attached &attached, bool taken) {
        if (!taken)
            detach(attached.handle);
    };
    std::optional<Attached> attached;
    const OffThreadEnd end = runOffThread<Attached>(work, settle, target.attachBoundMs, attached);
    if (end != OffThreadEnd::Done)
        return {false, givenUpText(end, target.attachBoundMs)};
    handle = attached->handle;
    return attached->result;
}

void detach(isc_svc_handle &handle)
{
    if (handle) {
        ISC_STATUS_ARRAY status{};
        isc_service_detach(status, &handle);
        handle = 0;
    }
}

/// Starts the action \a request on an attached service manager and waits for its end; \a answered
/// is called after each answer of the engine.
FbResult runServiceAction(isc_svc_handle &handle, std::vector<char> &request,
                          const std::function<void()> &answered)
{
    FbResult result;
    ISC_STATUS_ARRAY status{};
    if (isc_service_start(status, &handle, nullptr, static_cast<unsigned short>(request.size()),
                          request.data()))
        return {false, statusText(status)};

    // The action runs inside the server; asking for its output until there is none waits for its end
    // and brings its error, if any, back in the status vector. Each question waits a second at most,
    // so that the console's end is not held back by a long copy.
    const char items[] = {isc_info_svc_line};
    const char wait[] = {isc_info_svc_timeout, 1, 0, 0, 0};
    char buffer[4096];
    for (;;) {
        ISC_STATUS_ARRAY qstatus{};
        if (isc_service_query(qstatus, &handle, nullptr, sizeof wait, wait, sizeof items, items,
                              sizeof buffer, buffer)) {
            result = {false, statusText(qstatus)};
            break;
        }
        answered();
        const char *p = buffer;
        if (*p != isc_info_svc_line) {
            result = {true, QString()};
            break;
        }
        ++p;
        const unsigned short len = static_cast<unsigned short>(isc_vax_integer(p, 2));
        // An empty line ends the output, unless the answer only ran out of time or room.
        const char after = p[2 + len];
        if (len == 0 && after != isc_info_truncated && after != isc_info_svc_timeout) {
            result = {true, QString()};
            break;
        }
        if (endRequested()) {
            result = {false, givenUpText(OffThreadEnd::EndRequested, 0)};
            break;
        }
    }
    return result;
}

} // namespace

namespace {
int refuseShutdownOnSignal(const int reason, const int mask, void *)
{
    // A non-zero answer to the confirmation call cancels the library's shutdown.
    return (mask & fb_shut_confirmation) && reason == fb_shutrsn_signal ? 1 : 0;
}
} // namespace

void fbKeepClientOnSignals()
{
    static const bool registered = [] {
        ISC_STATUS_ARRAY status{};
        return fb_shutdown_callback(status, refuseShutdownOnSignal, fb_shut_confirmation, nullptr) == 0;
    }();
    Q_UNUSED(registered)
}

void fbShutdownClient()
{
    // Bounded: a thread still waiting inside the library for an engine that does not answer would
    // hold the shutdown for good.
    fb_shutdown(3000, fb_shutrsn_app_stopped);
}

FbResult fbCheckServiceLogin(const FbServiceTarget &target)
{
    isc_svc_handle handle = 0;
    FbResult result = attach(target, handle);
    detach(handle);
    return result;
}

FbResult fbOnlineBackup(const FbServiceTarget &target, const QString &database, const QString &backupFile,
                        int level)
{
    isc_svc_handle handle = 0;
    FbResult result = attach(target, handle);
    if (!result.ok)
        return result;

    std::vector<char> request{static_cast<char>(isc_action_svc_nbak)};
    appendItem(request, isc_spb_dbname, database.toUtf8());
    appendItem(request, isc_spb_nbk_file, backupFile.toUtf8());
    request.push_back(static_cast<char>(isc_spb_nbk_level));
    const auto value = static_cast<ISC_LONG>(level);
    for (int i = 0; i < 4; ++i)
        request.push_back(static_cast<char>((value >> (8 * i)) & 0xff));

    // A gigabyte takes seconds to copy: the window's thread goes on painting and ticking meanwhile,
    // and the handle is used by the copying thread alone until it is done. An engine that stops
    // answering (stopped by a signal, say) holds the copying thread inside the client library: the
    // wait for it is given up, and the thread, which owns what it uses, ends and detaches alone.
    struct Action
    {
        std::mutex mutex;
        bool finished = false;
        bool abandoned = false;
        FbResult result;
        isc_svc_handle handle = 0;
        std::vector<char> request;
        std::atomic<qint64> lastAnswer{0};
    };
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    auto action = std::make_shared<Action>();
    action->handle = handle;
    action->request = std::move(request);
    action->lastAnswer = now();
    std::thread([action, now] {
        FbResult done =
            runServiceAction(action->handle, action->request, [&] { action->lastAnswer = now(); });
        const std::lock_guard<std::mutex> lock(action->mutex);
        if (action->abandoned) {
            detach(action->handle);
            --offThreadCallsLeft();
        }
        action->result = std::move(done);
        action->finished = true;
    }).detach();
    const auto finished = [&] {
        const std::lock_guard<std::mutex> lock(action->mutex);
        return action->finished;
    };
    const auto silent = [&] {
        return now() - action->lastAnswer > target.answerBoundMs;
    };
    while (!finished() && !silent()) {
        // Once the console's end is asked for, the action stops itself within a second: it is waited
        // for without the event loop, as long as the engine answers.
        if (endRequested())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        else
            waitUntil([&] { return finished() || silent(); }, 1000);
    }
    const std::lock_guard<std::mutex> lock(action->mutex);
    if (!action->finished) {
        action->abandoned = true;
        ++offThreadCallsLeft();
        return {false, givenUpText(OffThreadEnd::TimedOut, target.answerBoundMs), true};
    }
    detach(action->handle);
    return action->result;
}

} // namespace garvina
