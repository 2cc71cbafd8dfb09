#include "processhardening.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <limits>

#include <malloc.h>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace garvina {

bool disableCoreDumps()
{
    const bool notDumpable = ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    rlimit none{};
    const bool noCore = ::setrlimit(RLIMIT_CORE, &none) == 0;
    return notDumpable && noCore;
}

bool coreDumpsDisabled()
{
    rlimit core{};
    return ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0 && ::getrlimit(RLIMIT_CORE, &core) == 0 &&
           core.rlim_cur == 0;
}

qint64 residentMemoryBytes()
{
    // The second field of statm is the resident size in pages.
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    bool ok = false;
    const qint64 pages = fields.value(1).toLongLong(&ok);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return ok && pageSize > 0 ? pages * pageSize : -1;
}

void releaseFreeMemory()
{
    ::malloc_trim(0);
}

qint64 openFileLimit()
{
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0)
        return -1;
    return r.rlim_cur == RLIM_INFINITY ? std::numeric_limits<qint64>::max() : static_cast<qint64>(r.rlim_cur);
}

bool setOpenFileLimit(qint64 limit)
{
    rlimit r{};
    if (limit < 0 || ::getrlimit(RLIMIT_NOFILE, &r) != 0)
        return false;
    r.rlim_cur = std::min(static_cast<rlim_t>(limit), r.rlim_max);
    return ::setrlimit(RLIMIT_NOFILE, &r) == 0;
}

int lowestFreeFileDescriptor()
{
    // dup() always returns the lowest free number.
    const int fd = ::dup(STDIN_FILENO);
    if (fd < 0)
        return -1;
    ::close(fd);
    return fd;
}

} // namespace garvina
