#pragma once

#include <QString>

#include <optional>

namespace garvina {

/// \brief What the backup needs to know about the file system that holds a folder.
///
/// The free room before a copy, and whether a backup disk is really mounted where the folder is.
namespace backupvolume {

/// Bytes an ordinary process may still write on the file system holding \a path; empty when it
/// cannot be read (no such path).
std::optional<quint64> availableBytes(const QString &path);

/// The device id of the file system holding \a path; empty when the path does not exist.
std::optional<quint64> deviceOf(const QString &path);

/// \a path itself when it exists, else its nearest existing ancestor ("/" at worst).
QString nearestExisting(const QString &path);

/// \brief The mount point of the file system holding the existing \a path, from /proc/self/mountinfo
/// (the longest mount point that is the path or one of its ancestors); "/" when it cannot be read.
QString mountPointOf(const QString &path);

/// True when \a dir is itself a mount point listed in /proc/self/mountinfo.
bool isMountPoint(const QString &dir);

} // namespace backupvolume
} // namespace garvina
