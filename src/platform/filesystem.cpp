#include "filesystem.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

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

QString LinuxFileSystem::mountPoint(const QString &path) const
{
    // Walk up while the parent lies on the same device: the last folder so reached is the mount point.
    QString current = QFileInfo(path).absoluteFilePath();
    const std::optional<Identity> own = identity(current);
    if (!own)
        return u"/"_s;
    while (current != u"/"_s) {
        const QString parent = QFileInfo(current).path();
        const std::optional<Identity> up = identity(parent);
        if (!up || up->device != own->device)
            break;
        current = parent;
    }
    return current;
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
