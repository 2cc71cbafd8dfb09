#pragma once

#include "core/shopfiles.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>

namespace garvina {

struct AppContext;
class FileSystem;

/// The outcome of one restore rehearsal of a backup.
struct RehearsalRecord
{
    bool ok = false;
    QString backupFolder; ///< the rehearsed backup folder (full path)
    QDateTime startTime;
    qint64 durationMs = 0;
    int tables = 0;
    qint64 rows = 0;
    QString error; ///< why it failed; empty when ok
    /// It could not run (no room, no file, …): not ok, yet nothing is known against the backup.
    bool notRun = false;
};

/// One level of the off-site stream, as it was sent.
struct OffsiteLevel
{
    int level = -1;
    QString guid;
    QString prevGuid;
    qint64 bytes = 0;
    QString sha256;
    QDateTime time;   ///< when it was taken
    QString snapshot; ///< the repository's snapshot id
    bool isNull() const { return level < 0; }
};

/// What the console knows of its off-site stream.
struct OffsiteRecord
{
    QString repository;  ///< where the base was sent: another repository needs a base of its own
    OffsiteLevel base;   ///< the level 0 the level 1s are taken against
    OffsiteLevel last;   ///< the newest level sent
    QDateTime goodTime;  ///< the last run that sent its level and checked it
    QDateTime tried;     ///< the last run started
    QDateTime checked;   ///< the last check of the repository's data that passed
    QDateTime rehearsed; ///< the last rehearsal of the chain fetched back (monthly, instead of the local one)
    bool baseNeeded = false; ///< a restore broke the chain: the next run sends a level 0
    QString error;           ///< why the last run failed; empty when it succeeded
};

/// \brief What the console remembers about its backups between runs: the last good backup, the last
/// rehearsal, and the backups rehearsals proved or found bad. Kept in the program folder.
struct BackupState
{
    QDateTime lastGoodTime;
    QString lastGoodFolder;        ///< full path, no trailing "/"
    QString lastGoodRoot;          ///< the backup root it was taken under, no trailing "/"
    QString lastGoodMount;         ///< mount point of that root at the time
    RehearsalRecord lastRehearsal; ///< startTime invalid: none yet
    QStringList rehearsedFolders;  ///< backups a rehearsal restored fully
    QStringList failedFolders;     ///< backups a rehearsal found bad: not good any more
    OffsiteRecord offsite;

    /// True when \a folder (full path) was found bad by a rehearsal.
    bool isFailed(const QString &folder) const;
    bool isRehearsed(const QString &folder) const;
    /// The last good backup's time when it is still good; invalid otherwise.
    QDateTime goodSince() const;
};

/// Reads the state file of \a gs_path; an empty state when there is none or it cannot be read.
BackupState loadBackupState(const QString &gs_path);

/// \brief Writes the state file of \a gs_path atomically through \a files (FileSystem::replaceFile),
/// so a crash leaves the old state or the new one, never a torn one.
bool saveBackupState(const FileSystem &files, const QString &gs_path, const BackupState &state);

/// Records a good backup in \a folder under \a root, taken at \a when.
void recordGoodBackup(BackupState &state, const QString &root, const QString &folder, const QDateTime &when,
                      const QString &mountPoint);

/// \brief Records a rehearsal's outcome: the last rehearsal, and its backup marked rehearsed (ok) or
/// failed (not ok; a failed backup stays failed). One that could not run marks nothing.
void recordRehearsal(BackupState &state, const RehearsalRecord &record);

/// \brief The one way the state file changes. Each change reads the file as it is now, applies the
/// change and writes it back in one step, with no event loop turning in between: a rehearsal's
/// verdict and a backup's record, finishing while the other one ran, never undo each other.
class BackupStateStore
{
public:
    /// Kept in the program folder of \a ctx, written through its file system.
    explicit BackupStateStore(const AppContext &ctx) : m_ctx(ctx) {}
    BackupState load() const;
    /// \brief Applies \a change to the state on disk and saves it. False when it could not be saved;
    /// that is written to the backup error log.
    bool update(const std::function<void(BackupState &)> &change) const;
    /// The text for a state file that could not be saved.
    static QString saveErrorText();

private:
    const AppContext &m_ctx;
};

} // namespace garvina
