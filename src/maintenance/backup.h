#pragma once

#include "core/shopfiles.h"

#include <QString>

#include <chrono>
#include <functional>
#include <vector>

namespace garvina {

class FileSystem;

struct AppContext;
class EngineControl;

/// One step of a backup and when it ran (for the measuring programs and the tests).
struct BackupStep
{
    QString name; ///< "engine copy", "fix-up", "validation", "open check", "flush", "rename"
    std::chrono::steady_clock::time_point from;
    std::chrono::steady_clock::time_point to;
    double seconds() const { return std::chrono::duration<double>(to - from).count(); }
};

/// How a backup writes its copy out, and where it says how long its steps took.
struct BackupRun
{
    /// While the engine writes the copy and the tools read it back, completed steps of this many
    /// bytes are written out to disk in the background, at most flushBytesPerSecond (0: as fast as
    /// the disk takes them), so that the tills' commits get between them; what is left at the end
    /// goes out at once. A step of 0 leaves it all to the flush at the end.
    qint64 flushStep = 1 << 20;
    qint64 flushBytesPerSecond = 100 << 20;
    /// When set, each step of the backup is appended here.
    std::vector<BackupStep> *steps = nullptr;
    /// When set, the folder a good backup was taken into (full path, no trailing "/").
    QString *folder = nullptr;
    /// How long the engine may answer nothing while it writes the copy before the backup gives up.
    int engineAnswerBoundMs = 30000;
    /// \brief Whether the engine's backup history records the copy. The off-site stream's level 1s
    /// are taken against the last level 0 of that history, so while it runs only its own level 0s
    /// are recorded: every other copy is made by locking the live file (its changes go to the delta
    /// meanwhile), copying it and unlocking it, which the history does not see.
    bool recordInHistory = true;
};

/// \brief Takes one online backup of the live database into a new folder under \a as_path.
///
/// The folder is as_path + "yyyymmdd-hhmm" (then "-1" … "-10" when taken). The running engine
/// writes a physical copy while clients keep working; the copy is fixed up into a standalone
/// database, proved to open, flushed to disk and only then named "garvina.db", so a failed backup
/// never leaves a file that could pass for a good one. On false, \a as_error holds the reason:
/// "备份时,连接数据库出错!", a folder message, the engine's text, "判断备份出来的数据库文件不存在!",
/// or, for an engine stopped by a signal that answered nothing for the run's bound,
/// "备份时,数据库服务已暂停,没有应答!".
///
/// The engine's copy and the tools run off the window's thread, the event loop going; meanwhile
/// the engine's WorkSlot holds a backup, and a second backup is refused at once with
/// dataWorkRunningText(). The console's end stops the backup within about a second.
bool f_backup_db(AppContext &ctx, EngineControl &engine, const QString &as_path, QString &as_error,
                 const BackupRun &run = BackupRun());

/// \brief The backup folder name under \a root for \a stamp ("yyyymmdd-hhmm"), then "-1" … "-10"
/// when taken; empty when all are taken (an existing folder is never used again).
QString backupFolderName(const QString &root, const QString &stamp);

/// Appends one line to the backup error log in the program folder; silent when it cannot.
void f_filewrite_backup_error_to_txt(const QString &gs_path, const QString &as_txt);

/// Free bytes of the volume holding a path; 0 when it cannot be read.
using FreeSpaceSource = std::function<quint64(const QString &path)>;

/// The free bytes \a files tells of (0 when the path does not exist); \a files must outlive it.
FreeSpaceSource freeSpaceOf(const FileSystem &files);

/// \brief False when the volume holding \a as_disk has fewer than \a ai_size megabytes free (rounded
/// to whole megabytes, halves up); true otherwise.
bool f_check_diskspace(const QString &as_disk, int ai_size, const FreeSpaceSource &freeBytes);

/// \brief True when the output of the engine's full validation tells of damage: anything but its
/// summary of warnings.
bool validationFindsDamage(const QString &output);

/// \brief Proves \a file a whole database: its size fits its header, the engine's full validation
/// finds nothing, and it opens. Returns the problem, or an empty text when good.
QString verifyDatabaseWhole(const QString &gs_path, const QString &file);

/// \brief Opens \a file as a database with the instance's embedded tool and reads from it.
/// Returns the tool's error text, or an empty text when the file is a working database.
QString verifyDatabaseOpens(const QString &gs_path, const QString &file);

} // namespace garvina
