#include "filesystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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

} // namespace

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
