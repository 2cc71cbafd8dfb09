#include "iopriority.h"

#include <QDir>

#include <sys/syscall.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace garvina::iopriority {

namespace {
// ioprio_set has no glibc wrapper.
constexpr int WhoProcess = 1;
constexpr int ClassShift = 13;
} // namespace

int parse(const QString &name)
{
    // "idle", "be0".."be7", "rt0".."rt7"; anything else (also "none") means: leave it alone.
    if (name == u"idle"_s)
        return 3 << ClassShift;
    if (name.size() == 3 && (name.startsWith(u"be"_s) || name.startsWith(u"rt"_s)) && name.at(2).isDigit()) {
        const int level = name.at(2).digitValue();
        if (level >= 0 && level <= 7)
            return ((name.startsWith(u"rt"_s) ? 1 : 2) << ClassShift) | level;
    }
    return -1;
}

int get(int tid)
{
    return int(::syscall(SYS_ioprio_get, WhoProcess, tid));
}

bool set(int tid, int value)
{
    return ::syscall(SYS_ioprio_set, WhoProcess, tid, value) == 0;
}

QList<QPair<int, int>> setAllThreads(qint64 pid, int value)
{
    QList<QPair<int, int>> old;
    const QStringList tids =
        QDir(u"/proc/"_s + QString::number(pid) + u"/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &t : tids) {
        const int tid = t.toInt();
        old.append({tid, get(tid)});
        set(tid, value);
    }
    return old;
}

void restore(const QList<QPair<int, int>> &old)
{
    for (const auto &[tid, value] : old)
        set(tid, value);
}

} // namespace garvina::iopriority
