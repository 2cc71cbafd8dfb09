#pragma once

#include <QList>
#include <QString>

namespace garvina {

struct AppContext;
struct BackupState;
class EngineControl;
class FileSystem;

/// Room a copy of a live file of \a liveBytes needs on the backup disk: the copy and a margin, so
/// that a backup never fills a disk to the last byte.
quint64 roomNeededFor(qint64 liveBytes);

/// \brief The reason a backup into \a root must not run because its disk is not there, or empty.
///
/// A root under /media, /run/media or /mnt needs a mounted file system at or below that base; a root
/// that was on another mount point at its last good backup than its nearest existing folder is on
/// now has lost its disk. Either way a backup would land on the system disk instead.
QString absentDiskProblem(const FileSystem &files, const QString &root, const BackupState &state);

/// One line of the backup list: a backup folder of the console's own under the root.
struct BackupListRow
{
    QString date;   ///< "yyyy-mm-dd hh:mm"
    QString size;   ///< "12.3 MB"
    QString state;  ///< what was checked of it (校验, 演练), or the kind of safety copy
    QString folder; ///< the folder's name
};

/// The backups under \a root, newest first, with what \a state knows about them.
QList<BackupListRow> backupListRows(const QString &root, const BackupState &state);

/// The line about the last restore rehearsal.
QString lastRehearsalLine(const BackupState &state);

/// The `[backup] rehearsal_time` value: "03:30:00" when absent, empty when switched off.
QString rehearsalTimeFrom(const AppContext &ctx);

/// How one backup with its after-care ended.
struct BackupOutcome
{
    bool ok = false;
    QString folder; ///< the new backup's folder (full path), when ok
    QString error;  ///< why it failed, when not ok
    /// False when the good backup could not be recorded in the state file (logged already).
    bool recorded = true;
};

/// \brief The console's backup into \a root: f_backup_db with its guards and after-care.
///
/// Refuses a root whose disk is not there, and a copy the disk has no room for once retention has
/// freed what it may. After a good backup it records it in the state file and applies retention
/// (logged in the maintenance log). On failure nothing is deleted. While an off-site stream runs
/// its copy is kept out of the engine's backup history (BackupRun::recordInHistory), unless
/// \a offsiteBase: the stream's new level 0.
BackupOutcome runBackup(AppContext &ctx, EngineControl &engine, const QString &root,
                        bool offsiteBase = false);

} // namespace garvina
