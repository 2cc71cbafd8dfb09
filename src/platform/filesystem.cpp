#include "filesystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// mountinfo writes blanks, tabs, newlines and backslashes in paths as three-digit octal escapes.
QString unescapeMountPath(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(static_cast<char>(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}

QStringList mountPoints()
{
    QStringList points;
    QFile f(u"/proc/self/mountinfo"_s);
    if (!f.open(QIODevice::ReadOnly))
        return points;
    // Fields: id, parent id, major:minor, root, mount point, ...
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4)
            points.append(unescapeMountPath(fields[4]));
    }
    return points;
}

bool isAtOrBelow(const QString &path, const QString &dir)
{
    return dir == u"/"_s || path == dir || path.startsWith(dir + u'/');
}

/// The errno of the call that just failed; EIO when that call did not set one.
int lastError()
{
    return errno != 0 ? errno : EIO;
}

/// 0 when all of \a size bytes were written, else the errno.
int writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return lastError();
        }
        data += n;
        size -= n;
    }
    return 0;
}

QString folderOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

} // namespace

FileResult FileSystem::replaceFile(const QString &path, const QByteArray &bytes,
                                   std::optional<uint> mode) const
{
    if (!mode) {
        if (const std::optional<Identity> old = identity(path))
            mode = old->mode;
    }
    const QByteArray target = QFile::encodeName(path);
    // A name of this process's own: two processes replacing the same file never write into one
    // temporary file.
    const QByteArray temp = target + ".tmp-" + QByteArray::number(::getpid());
    // Without a mode the file mask decides, as for any file the console makes.
    const int fd =
        ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode ? 0600 : 0666);
    if (fd < 0)
        return {lastError()};
    int error = writeAll(fd, bytes.constData(), bytes.size());
    if (error == 0 && mode && !setOpenFileMode(fd, *mode))
        error = lastError();
    if (error == 0 && !syncOpenFile(fd))
        error = lastError();
    if (::close(fd) != 0 && error == 0)
        error = lastError();
    if (error == 0 && !renameAtomically(QFile::decodeName(temp), path))
        error = lastError();
    if (error != 0) {
        ::unlink(temp.constData());
        return {error};
    }
    if (!sync(folderOf(path)))
        return {lastError()};
    return {};
}

FileResult FileSystem::moveOver(const QString &source, const QString &target) const
{
    if (!renameAtomically(source, target))
        return {lastError()};
    if (!sync(folderOf(target)))
        return {lastError()};
    return {};
}

int FileSystem::copyFile(const QString &source, const QString &target) const
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
    const std::unique_ptr<char[]> buffer(new char[ChunkSize]);
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
        if (writeAll(out, buffer.get(), n) != 0) {
            result = -2;
            break;
        }
    }
    if (result == 1 && !syncOpenFile(out))
        result = -2;
    if (::close(out) != 0 && result == 1)
        result = -2;
    ::close(in);
    if (result != 1)
        QFile::remove(target);
    return result;
}

std::optional<quint64> LinuxFileSystem::freeBytes(const QString &path) const
{
    struct statvfs st
    {
    };
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<quint64>(st.f_bfree) * static_cast<quint64>(st.f_frsize);
}

std::optional<FileSystem::Identity> LinuxFileSystem::identity(const QString &path) const
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return Identity{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino),
                    static_cast<uint>(st.st_mode & 07777)};
}

std::optional<quint64> LinuxFileSystem::availableBytes(const QString &path) const
{
    struct statvfs st
    {
    };
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<quint64>(st.f_bavail) * static_cast<quint64>(st.f_frsize);
}

QString LinuxFileSystem::mountPoint(const QString &path) const
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString target = canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
    QString best = u"/"_s;
    for (const QString &point : mountPoints()) {
        if (isAtOrBelow(target, point) && point.size() > best.size())
            best = point;
    }
    return best;
}

bool LinuxFileSystem::isMountPoint(const QString &dir) const
{
    return mountPoints().contains(QDir::cleanPath(dir));
}

bool LinuxFileSystem::sync(const QString &path) const
{
    const bool directory = QFileInfo(path).isDir();
    const int fd = ::open(QFile::encodeName(path).constData(),
                          (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool LinuxFileSystem::syncOpenFile(int fd) const
{
    return ::fsync(fd) == 0;
}

bool LinuxFileSystem::setOpenFileMode(int fd, uint mode) const
{
    return ::fchmod(fd, static_cast<mode_t>(mode & 07777)) == 0;
}

bool LinuxFileSystem::syncInSteps(const QString &path, qint64 step) const
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    for (off_t at = 0; at < size; at += step) {
        ::sync_file_range(fd, at, step,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    }
    // The stepped writes do not make the file durable by themselves: fsync still has the last word.
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool LinuxFileSystem::renameAtomically(const QString &source, const QString &target) const
{
    return ::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0;
}

bool LinuxFileSystem::makeFolder(const QString &path) const
{
    const QByteArray native = QFile::encodeName(path);
    return ::mkdir(native.constData(), 0777) == 0 || (errno == EEXIST && QFileInfo(path).isDir());
}

} // namespace garvina
