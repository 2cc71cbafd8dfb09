#include "filecopy.h"

#include "platform/filesystem.h"

#include <QFile>
#include <QFileInfo>

#include <memory>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace garvina {

bool syncToDisk(const QString &path)
{
    return LinuxFileSystem().sync(path);
}

bool syncToDiskInSteps(const QString &path, qint64 step)
{
    return LinuxFileSystem().syncInSteps(path, step);
}

QString partialCopyName(const QString &target)
{
    return target + QStringLiteral(".part");
}

int copyUnderPartialName(const FileCopier &copier, const QString &source, const QString &target)
{
    const QString partial = partialCopyName(target);
    QFile::remove(partial);
    const int copied = copier(source, partial);
    if (copied != 1) {
        QFile::remove(partial);
        return copied;
    }
    const LinuxFileSystem fs;
    if (!fs.sync(partial) || !fs.renameAtomically(partial, target) ||
        !fs.sync(QFileInfo(target).absolutePath())) {
        QFile::remove(partial);
        return -2;
    }
    return 1;
}

int copyFileSynced(const QString &source, const QString &target)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    const int out =
        ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return -2;
    }
    int result = 1;
    static constexpr size_t ChunkSize = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[ChunkSize]);
    for (;;) {
        const ssize_t n = ::read(in, buffer.get(), ChunkSize);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            result = -1;
            break;
        }
        if (n == 0)
            break;
        ssize_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(out, buffer.get() + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                result = -2;
                break;
            }
            done += w;
        }
        if (result != 1)
            break;
    }
    if (result == 1 && !LinuxFileSystem().syncOpenFile(out))
        result = -2;
    if (::close(out) != 0 && result == 1)
        result = -2;
    ::close(in);
    if (result != 1)
        QFile::remove(target);
    return result;
}

} // namespace garvina
