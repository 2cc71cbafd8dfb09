#include "syshelpers.h"

#include "platform/messageboxes.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

using namespace Qt::Literals::StringLiterals;

namespace garvina {

std::optional<int> f_len(const QString &as_values)
{
    if (as_values.isNull())
        return std::nullopt;
    qsizetype begin = 0;
    qsizetype end = as_values.size();
    while (begin < end && as_values.at(begin) == u' ')
        ++begin;
    while (end > begin && as_values.at(end - 1) == u' ')
        --end;
    return static_cast<int>(QStringView(as_values).mid(begin, end - begin).toUtf8().size());
}

bool f_createdirectory(QString as_path, QString &as_error)
{
    // An empty text would become "/" below; it names no folder and is refused like a relative one.
    const bool absolute = as_path.startsWith(u'/');
    if (!as_path.endsWith(u'/'))
        as_path += u'/';
    if (!absolute) {
        as_error = u"非法路径:"_s + as_path;
        return false;
    }
    if (as_path == u"/"_s) {
        if (QFileInfo(as_path).isDir())
            return true;
        as_error = u"路径 "_s + as_path + u" 无效!"_s;
        return false;
    }
    // Walk from the first "/" to each following one; every prefix must exist as a folder.
    qsizetype p = 0;
    for (;;) {
        const qsizetype next = as_path.indexOf(u'/', p + 1);
        if (next < 0)
            return true;
        const QString prefix = as_path.left(next);
        p = next;
        if (prefix.isEmpty())
            continue;
        const QFileInfo info(prefix);
        if (info.isDir())
            continue;
        const QByteArray native = QFile::encodeName(prefix);
        if (::mkdir(native.constData(), 0777) != 0 && !(errno == EEXIST && QFileInfo(prefix).isDir())) {
            as_error = u"创建目录 "_s + prefix + u" 出错!"_s;
            return false;
        }
    }
}

namespace {

/// Waits for \a pid to end while the event loop runs, woken by the kernel rather than a poll.
void waitWithEvents(pid_t pid)
{
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        QEventLoop loop;
        QSocketNotifier notifier(pidfd, QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        ::close(pidfd);
        return;
    }
#endif
    // Old kernels without pidfd: look every 50 ms, sleeping in between.
    QEventLoop loop;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            loop.quit();
    });
    timer.start(50);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

bool of_executewait(MessageBoxes &boxes, const QString &as_executable, const QStringList &arguments,
                    bool ab_yield, bool ab_show, const QStringList &extraEnvironment, int *exitCode)
{
    Q_UNUSED(ab_show) // the programs started here have no windows to show or hide

    std::vector<QByteArray> argStore;
    argStore.push_back(QFile::encodeName(as_executable));
    for (const QString &a : arguments)
        argStore.push_back(a.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The child gets our environment, with the extra entries replacing same-named ones.
    std::vector<QByteArray> envStore;
    for (char **e = environ; e && *e; ++e) {
        const QByteArray entry(*e);
        const QByteArray name = entry.left(entry.indexOf('=') + 1);
        bool replaced = false;
        for (const QString &extra : extraEnvironment)
            replaced = replaced || extra.toUtf8().startsWith(name);
        if (!replaced)
            envStore.push_back(entry);
    }
    for (const QString &extra : extraEnvironment)
        envStore.push_back(extra.toUtf8());
    std::vector<char *> envp;
    for (QByteArray &e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    // posix_spawn reports a failed exec (missing program, no permission) as its own result.
    const int rc = ::posix_spawn(&pid, argStore.front().constData(), nullptr, nullptr, argv.data(),
                                 envp.data());
    if (rc != 0) {
        boxes.tell(u"警告"_s, u"创建子进程错误，错误码:"_s + QString::number(rc));
        return false;
    }

    if (ab_yield)
        waitWithEvents(pid);
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (exitCode)
        *exitCode = (r == pid && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return true;
}

namespace {

QString programNameOf(const QString &procRoot, const QString &pid)
{
    QString target = QFile::symLinkTarget(procRoot + u'/' + pid + u"/exe"_s);
    if (!target.isEmpty()) {
        // A program file replaced while it runs reads as "/path/name (deleted)".
        if (target.endsWith(u" (deleted)"_s))
            target.chop(10);
        return QFileInfo(target).fileName();
    }
    // Another user's processes do not let us read their exe link; their short name still tells.
    QFile comm(procRoot + u'/' + pid + u"/comm"_s);
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromUtf8(comm.readAll()).trimmed();
    return QString();
}

} // namespace

int nvo_cst_api32::of_isrun() const
{
    const pid_t own = ::getpid();
    if (own <= 0)
        return -1;
    QDir proc(procRoot);
    if (!proc.exists())
        return -2;
    const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QStringList names;
    QString ownName;
    const QString ownPid = QString::number(own);
    for (const QString &entry : entries) {
        bool isPid = false;
        entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QString name = programNameOf(procRoot, entry);
        if (name.isEmpty())
            continue; // the process ended while we looked
        names.append(name);
        if (entry == ownPid)
            ownName = name;
    }
    if (names.isEmpty())
        return -3;
    if (ownName.isEmpty())
        ownName = programNameOf(procRoot, u"self"_s);
    // comm is cut at 15 bytes; a name read from it matches the start of ours.
    const QString shortOwn = ownName.left(15);
    int count = 0;
    for (const QString &n : std::as_const(names)) {
        if (n == ownName || (n.size() == 15 && n == shortOwn))
            ++count;
    }
    return count;
}

} // namespace garvina
