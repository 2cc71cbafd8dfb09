#include "toolrunner.h"

#include "platform/endrequest.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace garvina {

int toolTimeoutForBytes(qint64 bytes)
{
    constexpr qint64 Base = 10 * 60 * 1000;
    constexpr qint64 Most = 8 * 60 * 60 * 1000;
    const qint64 bound = Base + std::max<qint64>(bytes, 0) / (512 * 1024) * 1000;
    return static_cast<int>(std::min(bound, Most));
}

namespace {

int boundOf(const ToolRequest &request)
{
    return request.timeoutMs >= 0 ? request.timeoutMs : DefaultToolTimeoutMs;
}

} // namespace

QString ToolResult::failureText() const
{
    return status == Status::NotStarted ? qt_error_string(startError) : QString();
}

namespace {

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

/// A write into a pipe whose reader has gone must fail with EPIPE, not end the console.
void ignoreBrokenPipes()
{
    static const bool done = [] {
        struct sigaction old
        {
        };
        if (::sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
            ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    Q_UNUSED(done)
}

std::vector<QByteArray> childEnvironment(const ToolRequest &request)
{
    std::vector<QByteArray> result;
    auto dropped = [&](const QByteArray &entry) {
        const QByteArray name = entry.left(entry.indexOf('=') + 1);
        for (const QString &extra : request.extraEnvironment) {
            if (extra.toUtf8().startsWith(name))
                return true;
        }
        for (const QString &removed : request.removedEnvironment) {
            if (name == removed.toUtf8() + '=')
                return true;
        }
        return false;
    };
    for (char **e = environ; e && *e; ++e) {
        const QByteArray entry(*e);
        if (!dropped(entry))
            result.push_back(entry);
    }
    for (const QString &extra : request.extraEnvironment)
        result.push_back(extra.toUtf8());
    return result;
}

std::vector<char *> pointers(std::vector<QByteArray> &store)
{
    std::vector<char *> result;
    for (QByteArray &s : store)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

/// The running child, its pipes and what came out of them; shared by the blocking and the
/// event-driven wait.
class SpawnedChild
{
public:
    ~SpawnedChild()
    {
        if (pid > 0 && !reaped) {
            signal(SIGKILL);
            reap();
        }
        closeFd(in);
        closeFd(out);
        closeFd(err);
        closeFd(pidfd);
    }

    /// 0, or the errno that kept the child from starting.
    int spawn(const ToolRequest &request)
    {
        ignoreBrokenPipes();
        int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
        auto closeAll = [&] {
            for (int *p : {inPipe, outPipe, errPipe}) {
                closeFd(p[0]);
                closeFd(p[1]);
            }
        };
        const bool wantIn = request.input.has_value();
        const bool wantOut = request.output != ToolRequest::Output::Inherited;
        const bool wantErr = request.output == ToolRequest::Output::Separate;
        if ((wantIn && ::pipe2(inPipe, O_CLOEXEC) != 0) || (wantOut && ::pipe2(outPipe, O_CLOEXEC) != 0) ||
            (wantErr && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
            const int e = errno;
            closeAll();
            return e;
        }

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (wantIn)
            posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (wantOut) {
            posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions, wantErr ? errPipe[1] : outPipe[1], STDERR_FILENO);
        }
        const QByteArray folder = QFile::encodeName(request.workingDirectory);
        if (!folder.isEmpty())
            posix_spawn_file_actions_addchdir_np(&actions, folder.constData());

        // The child gets default signal handling and a group of its own, so that a bound that runs
        // out ends a script together with what it started.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
            sigaddset(&defaults, s);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr,
                                 POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

        std::vector<QByteArray> argStore{QFile::encodeName(request.program)};
        for (const QString &a : request.arguments)
            argStore.push_back(a.toUtf8());
        std::vector<QByteArray> envStore = childEnvironment(request);
        std::vector<char *> argv = pointers(argStore);
        std::vector<char *> envp = pointers(envStore);

        pid_t child = 0;
        // posix_spawnp reports a failed exec (missing program, no permission) as its own result.
        const int rc =
            ::posix_spawnp(&child, argStore.front().constData(), &actions, &attr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) {
            closeAll();
            return rc;
        }
        pid = child;
        closeFd(inPipe[0]);
        closeFd(outPipe[1]);
        closeFd(errPipe[1]);
        in = inPipe[1];
        out = outPipe[0];
        err = errPipe[0];
        for (int fd : {in, out, err}) {
            if (fd >= 0)
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        input = request.input.value_or(QByteArray());
        if (in >= 0 && input.isEmpty())
            closeFd(in);
#ifdef SYS_pidfd_open
        pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
        return 0;
    }

    /// Reads what \a fd holds now into \a into; false once the pipe is at its end.
    static bool readAvailable(int fd, QByteArray &into)
    {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                into.append(buffer, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return n < 0 && errno == EAGAIN;
        }
    }

    /// Writes what the pipe takes of the input; true once all is written (or the reader left).
    bool writeSome()
    {
        while (written < input.size()) {
            const ssize_t n =
                ::write(in, input.constData() + written, static_cast<size_t>(input.size() - written));
            if (n > 0) {
                written += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return !(n < 0 && errno == EAGAIN);
        }
        return true;
    }

    /// Collects the child's end without blocking; true once it has ended.
    bool reapIfEnded()
    {
        if (reaped)
            return true;
        int s = 0;
        const pid_t r = ::waitpid(pid, &s, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            reaped = true;
            status = r == pid ? s : -1;
        }
        return reaped;
    }

    void reap()
    {
        int s = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &s, 0);
        } while (r < 0 && errno == EINTR);
        reaped = true;
        status = r == pid ? s : -1;
    }

    /// Waits up to \a ms for the child's end without any event loop; true once it has ended.
    bool waitForEnd(int ms)
    {
        QElapsedTimer clock;
        clock.start();
        while (!reapIfEnded()) {
            const int left = ms - static_cast<int>(clock.elapsed());
            if (left <= 0)
                return false;
            if (pidfd >= 0) {
                pollfd fd{pidfd, POLLIN, 0};
                ::poll(&fd, 1, left);
            } else {
                ::usleep(10000);
            }
        }
        return true;
    }

    /// Asks the child to end and gives it \a graceMs before it is killed. An engine tool killed
    /// outright may leave a mutex of the instance's shared memory held.
    void endWithin(int graceMs)
    {
        if (pid <= 0 || reapIfEnded())
            return;
        signal(SIGTERM);
        if (!waitForEnd(graceMs)) {
            signal(SIGKILL);
            reap();
        }
    }

    void signal(int sig) const
    {
        if (::kill(-pid, sig) != 0)
            ::kill(pid, sig);
    }

    void drain()
    {
        if (out >= 0)
            readAvailable(out, output);
        if (err >= 0)
            readAvailable(err, errorOutput);
    }

    void fillResult(ToolResult &result, bool timedOut, bool cancelled)
    {
        result.output = std::move(output);
        result.errorOutput = std::move(errorOutput);
        if (timedOut)
            result.status = ToolResult::Status::TimedOut;
        else if (cancelled)
            result.status = ToolResult::Status::Cancelled;
        else if (status >= 0 && WIFEXITED(status))
            result.status = ToolResult::Status::Exited;
        else
            result.status = ToolResult::Status::Signalled;
        result.exitCode = result.status == ToolResult::Status::Exited ? WEXITSTATUS(status) : -1;
    }

    pid_t pid = -1;
    int pidfd = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    QByteArray input;
    qsizetype written = 0;
    QByteArray output;
    QByteArray errorOutput;
    bool reaped = false;
    int status = -1;
};

/// Old kernels have no pidfd; there the end of the child is looked for this often.
constexpr int NoPidfdCheckMs = 50;

ToolResult cancelledResult()
{
    ToolResult result;
    result.status = ToolResult::Status::Cancelled;
    return result;
}

ToolResult runBlocking(const ToolRequest &request)
{
    ToolResult result;
    if (endRequested())
        return cancelledResult();
    SpawnedChild child;
    if (const int e = child.spawn(request)) {
        result.startError = e;
        return result;
    }
    QElapsedTimer clock;
    clock.start();
    qint64 deadline = boundOf(request);
    bool terminated = false;
    bool cancelled = false;
    int endFd = endRequestDescriptor();
    while (!child.reaped) {
        pollfd fds[5];
        nfds_t n = 0;
        auto add = [&](int fd, short events) {
            if (fd >= 0)
                fds[n++] = pollfd{fd, events, 0};
        };
        add(child.pidfd, POLLIN);
        add(child.out, POLLIN);
        add(child.err, POLLIN);
        add(child.in, POLLOUT);
        add(endFd, POLLIN);
        int waitMs = deadline < 0 ? -1 : static_cast<int>(qMax<qint64>(0, deadline - clock.elapsed()));
        if (child.pidfd < 0)
            waitMs = waitMs < 0 ? NoPidfdCheckMs : qMin(waitMs, NoPidfdCheckMs);
        if (::poll(fds, n, waitMs) < 0 && errno != EINTR)
            break;
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == child.out && !SpawnedChild::readAvailable(child.out, child.output))
                closeFd(child.out);
            else if (fds[i].fd == child.err && !SpawnedChild::readAvailable(child.err, child.errorOutput))
                closeFd(child.err);
            else if (fds[i].fd == child.in && child.writeSome())
                closeFd(child.in);
            else if (fds[i].fd == child.pidfd)
                child.reap();
            else if (fds[i].fd == endFd)
                endFd = -1; // looked at below, once
        }
        if (child.pidfd < 0)
            child.reapIfEnded();
        if (!child.reaped && !terminated && endRequested()) {
            // Nobody waits for this tool any more: it gets the same end as a bound that ran out.
            endFd = -1;
            cancelled = true;
            deadline = clock.elapsed();
        }
        if (!child.reaped && deadline >= 0 && clock.elapsed() >= deadline) {
            child.signal(terminated ? SIGKILL : SIGTERM);
            deadline = terminated ? -1 : clock.elapsed() + request.graceMs;
            terminated = true;
        }
    }
    if (!child.reaped)
        child.reap();
    child.drain();
    child.fillResult(result, terminated && !cancelled, cancelled);
    return result;
}

} // namespace

struct ToolJob::Child
{
    SpawnedChild process;
    bool terminated = false;
    bool timedOut = false;
    QTimer deadline;
    QTimer ended; // only without pidfd
    std::unique_ptr<QSocketNotifier> onEnd, onOut, onErr, onIn;
};

ToolJob::ToolJob(ToolRequest request, QObject *parent) : QObject(parent), m_request(std::move(request)) {}

ToolJob::~ToolJob()
{
    if (isRunning())
        m_child->process.endWithin(m_request.graceMs);
}

bool ToolJob::isRunning() const
{
    return m_child && !m_child->process.reaped;
}

qint64 ToolJob::pid() const
{
    return isRunning() ? qint64(m_child->process.pid) : 0;
}

void ToolJob::start()
{
    if (m_child)
        return;
    m_child = std::make_unique<Child>();
    Child &c = *m_child;
    if (const int e = c.process.spawn(m_request)) {
        m_result = ToolResult();
        m_result.startError = e;
        c.process.reaped = true;
        QTimer::singleShot(0, this, [this] { Q_EMIT finished(m_result); });
        return;
    }
    SpawnedChild &p = c.process;
    auto watch = [this](int fd, QSocketNotifier::Type type, auto handler) {
        if (fd < 0)
            return std::unique_ptr<QSocketNotifier>();
        auto n = std::make_unique<QSocketNotifier>(fd, type);
        connect(n.get(), &QSocketNotifier::activated, this, handler);
        return n;
    };
    c.onOut = watch(p.out, QSocketNotifier::Read, [this] {
        if (!SpawnedChild::readAvailable(m_child->process.out, m_child->process.output))
            m_child->onOut->setEnabled(false);
    });
    c.onErr = watch(p.err, QSocketNotifier::Read, [this] {
        if (!SpawnedChild::readAvailable(m_child->process.err, m_child->process.errorOutput))
            m_child->onErr->setEnabled(false);
    });
    c.onIn = watch(p.in, QSocketNotifier::Write, [this] {
        if (m_child->process.writeSome()) {
            m_child->onIn->setEnabled(false);
            closeFd(m_child->process.in); // the child reads its end of input
        }
    });
    if (p.pidfd >= 0) {
        c.onEnd = watch(p.pidfd, QSocketNotifier::Read, [this] {
            m_child->onEnd->setEnabled(false);
            m_child->process.reap();
            finish();
        });
    } else {
        connect(&c.ended, &QTimer::timeout, this, [this] {
            if (m_child->process.reapIfEnded()) {
                m_child->ended.stop();
                finish();
            }
        });
        c.ended.start(NoPidfdCheckMs);
    }
    c.deadline.setSingleShot(true);
    connect(&c.deadline, &QTimer::timeout, this, [this] {
        if (m_child->terminated) {
            m_child->process.signal(SIGKILL);
        } else {
            m_child->timedOut = true;
            endChild();
        }
    });
    c.deadline.start(boundOf(m_request));
}

void ToolJob::cancel()
{
    if (isRunning() && !m_child->terminated)
        endChild();
}

void ToolJob::endChild()
{
    m_child->terminated = true;
    m_child->process.signal(SIGTERM);
    m_child->deadline.start(m_request.graceMs);
}

void ToolJob::finish()
{
    Child &c = *m_child;
    c.deadline.stop();
    for (auto *n : {c.onOut.get(), c.onErr.get(), c.onIn.get()}) {
        if (n)
            n->setEnabled(false);
    }
    c.process.drain();
    m_result = ToolResult();
    c.process.fillResult(m_result, c.timedOut, c.terminated && !c.timedOut);
    Q_EMIT finished(m_result);
}

ToolResult runTool(const ToolRequest &request)
{
    if (!request.keepEventLoop)
        return runBlocking(request);
    if (endRequested())
        return cancelledResult();
    ToolJob job(request);
    QEventLoop loop;
    bool done = false;
    QObject::connect(&job, &ToolJob::finished, &loop, [&] {
        done = true;
        loop.quit();
    });
    std::unique_ptr<QSocketNotifier> onEnd;
    if (endRequestDescriptor() >= 0) {
        onEnd = std::make_unique<QSocketNotifier>(endRequestDescriptor(), QSocketNotifier::Read);
        QObject::connect(onEnd.get(), &QSocketNotifier::activated, &job, [&] {
            onEnd->setEnabled(false);
            job.cancel();
        });
    }
    job.start();
    // Timers, painting and sockets go on; clicks and keys wait until the tool has ended.
    if (!done && !endRequested())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!done) {
        // The console's end left the loop early (an exit() ends every loop at once): the child is
        // ended with the job, its grace waited for without the loop.
        return cancelledResult();
    }
    return job.result();
}

} // namespace garvina
