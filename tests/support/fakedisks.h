#pragma once

#include "platform/filesystem.h"

#include <cerrno>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>
#include <QString>

namespace garvina::test {

/// \brief The system's file system with disks that a test cannot mount standing in for real ones.
///
/// A folder "mounted" as a disk of a size is a mount point of its own; free and available bytes
/// below it are that size less the bytes of the files under it, so what a backup or retention
/// writes and deletes counts as on a real small disk. Unmounting takes the disk's files with it
/// (they are kept aside and come back with the next mount), as when a disk is pulled. Paths on no
/// such disk go to the system.
class FakeDiskFileSystem : public LinuxFileSystem
{
public:
    /// Mounts a disk of \a bytes on \a dir (made when missing).
    void mount(const QString &dir, quint64 bytes)
    {
        QDir().mkpath(dir);
        const QString at = normal(dir);
        if (QFileInfo::exists(asideOf(at))) {
            QDir(at).removeRecursively();
            QDir().rename(asideOf(at), at);
        }
        m_disks.insert(at, bytes);
    }

    /// Unmounts the disk on \a dir: the folder is left empty. False when no disk is mounted there.
    bool unmount(const QString &dir)
    {
        const QString at = normal(dir);
        if (!m_disks.remove(at))
            return false;
        return QDir().rename(at, asideOf(at)) && QDir().mkpath(at);
    }

    std::optional<quint64> freeBytes(const QString &path) const override
    {
        const QString disk = diskOf(path);
        if (disk.isEmpty())
            return LinuxFileSystem::freeBytes(path);
        if (!QFileInfo::exists(path))
            return std::nullopt;
        const quint64 used = usedBytes(disk);
        const quint64 size = m_disks.value(disk);
        return used < size ? size - used : 0;
    }
    std::optional<quint64> availableBytes(const QString &path) const override
    {
        return diskOf(path).isEmpty() ? LinuxFileSystem::availableBytes(path) : freeBytes(path);
    }
    QString mountPoint(const QString &path) const override
    {
        const QString disk = diskOf(path);
        return disk.isEmpty() ? LinuxFileSystem::mountPoint(path) : disk;
    }
    bool isMountPoint(const QString &dir) const override
    {
        return m_disks.contains(normal(dir)) || LinuxFileSystem::isMountPoint(dir);
    }
    /// A file that cannot be replaced, as on a disk gone read-only: renames onto it fail with EIO.
    QString failingTarget;
    bool renameAtomically(const QString &source, const QString &target) const override
    {
        if (!failingTarget.isEmpty() && normal(target) == normal(failingTarget)) {
            errno = EIO;
            return false;
        }
        return LinuxFileSystem::renameAtomically(source, target);
    }

private:
    static QString normal(const QString &path)
    {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
    }
    static QString asideOf(const QString &disk) { return disk + QStringLiteral(".unmounted"); }
    static quint64 usedBytes(const QString &disk)
    {
        quint64 used = 0;
        QDirIterator it(disk, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            used += static_cast<quint64>(it.fileInfo().size());
        }
        return used;
    }
    /// The mounted disk holding \a path (the deepest), or an empty text.
    QString diskOf(const QString &path) const
    {
        const QString target = normal(path);
        QString best;
        for (auto it = m_disks.cbegin(); it != m_disks.cend(); ++it) {
            const QString &disk = it.key();
            if ((target == disk || target.startsWith(disk + QLatin1Char('/'))) && disk.size() > best.size())
                best = disk;
        }
        return best;
    }

    QMap<QString, quint64> m_disks;
};

} // namespace garvina::test
