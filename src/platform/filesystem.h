#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace garvina {

/// The outcome of a file operation: success, or the errno of the step that failed.
struct FileResult
{
    int error = 0;

    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
};

/// \brief What the system tells about a file beyond its contents, and the calls that make writes
/// durable.
class FileSystem
{
public:
    struct Identity
    {
        quint64 device = 0;
        quint64 inode = 0;
        /// Permission bits, with set-id and sticky bits (07777).
        uint mode = 0;
    };

    virtual ~FileSystem() = default;

    /// Free bytes of the volume holding \a path, or nothing when the path does not exist.
    virtual std::optional<quint64> freeBytes(const QString &path) const = 0;
    /// Bytes an ordinary process may still write there (without the part kept for root).
    virtual std::optional<quint64> availableBytes(const QString &path) const = 0;
    /// \brief The folder at which the file system holding \a path is mounted: the longest mount point
    /// that is the path or one of its ancestors ("/" when the mount table cannot be read).
    virtual QString mountPoint(const QString &path) const = 0;
    /// True when \a dir is itself a mount point.
    virtual bool isMountPoint(const QString &dir) const = 0;
    virtual std::optional<Identity> identity(const QString &path) const = 0;
    /// Flushes a file or a folder (its entries) to disk; false when it cannot.
    virtual bool sync(const QString &path) const = 0;
    /// Flushes an open file to disk.
    virtual bool syncOpenFile(int fd) const = 0;
    /// Sets the permission bits of an open file exactly (the file mask plays no part).
    virtual bool setOpenFileMode(int fd, uint mode) const = 0;
    /// \brief Flushes a large file to disk in steps of \a step bytes, then as a whole.
    virtual bool syncInSteps(const QString &path, qint64 step) const = 0;
    /// Replaces \a target by \a source in one step: a reader sees the old file or the new one.
    virtual bool renameAtomically(const QString &source, const QString &target) const = 0;
    /// Creates one folder level; true also when it exists as a folder already.
    virtual bool makeFolder(const QString &path) const = 0;

    /// \brief Replaces the contents of \a path by \a bytes, so that a crash at any moment leaves either
    /// the old file or the new one, never a part.
    ///
    /// The bytes go into a temporary file beside \a path, which is flushed and renamed over \a path;
    /// then the folder is flushed, so that the new name is on disk too. On failure the temporary file
    /// is removed and \a path is left as it was (unless only the folder's flush failed). The new file
    /// gets the permission bits \a mode; without them those of the file it replaces, or for a new file
    /// 0666 less the file mask.
    FileResult replaceFile(const QString &path, const QByteArray &bytes,
                           std::optional<uint> mode = std::nullopt) const;
    /// \brief Renames \a source over \a target in one step and flushes the folder of \a target.
    /// The source is not removed when the rename fails.
    FileResult moveOver(const QString &source, const QString &target) const;
    /// \brief Copies \a source to \a target (replacing it, mode 0600), flushed to disk before it
    /// returns. 1 on success, -1 when the source cannot be opened or read, -2 when the target cannot
    /// be written. A failed copy removes what it wrote of the target.
    int copyFile(const QString &source, const QString &target) const;
};

/// The system's file system. Tests derive from it to stand in for disks they cannot mount.
class LinuxFileSystem : public FileSystem
{
public:
    std::optional<quint64> freeBytes(const QString &path) const override;
    std::optional<quint64> availableBytes(const QString &path) const override;
    QString mountPoint(const QString &path) const override;
    bool isMountPoint(const QString &dir) const override;
    std::optional<Identity> identity(const QString &path) const override;
    bool sync(const QString &path) const override;
    bool syncOpenFile(int fd) const override;
    bool setOpenFileMode(int fd, uint mode) const override;
    bool syncInSteps(const QString &path, qint64 step) const override;
    bool renameAtomically(const QString &source, const QString &target) const override;
    bool makeFolder(const QString &path) const override;
};

} // namespace garvina
