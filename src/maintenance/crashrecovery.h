#pragma once

#include <QString>
#include <QStringList>

namespace garvina {

struct AppContext;
class EngineControl;

/// The configured backup root, ending in "/".
QString backupRootOf(AppContext &ctx);

/// \brief True while a copy is being written under \a backupRoot: one of its folders holds a
/// partial copy ("garvina.db.part") changed within the last \a quietSeconds.
bool backupBeingWritten(const QString &backupRoot, int quietSeconds = 10);

/// \brief Removes what killed copies left in the folders of \a backupRoot: every "garvina.db.part"
/// that has not changed for \a quietSeconds (one still growing belongs to a backup at work), and a
/// folder that is then empty. Returns the removed files. Called at start-up.
QStringList removeUnfinishedCopies(const QString &backupRoot, int quietSeconds = 10);

/// How a look at the live file's backup state ended.
enum class StaleLock
{
    None,  ///< the file is in no backup state
    Ended, ///< a backup state no backup holds any more was ended (delta merged, mark cleared,
           ///< stale delta removed)
    Kept,  ///< the file is locked and stays so: a backup is at work, or the lock could not be ended
};

/// \brief Finds a physical-backup state that no backup holds any more (left by an engine killed
/// during an online backup) and ends it, through the running engine, or with the embedded tool when
/// it is stopped.
///
/// The state shows in three places, and each is looked at: the header's backup lock (changes since
/// then live in the delta, which is merged back), the catalogue's backup mark (left when the engine
/// was killed after the merge, before the mark was cleared; read through a running engine only) and
/// a delta file beside a live file whose header is clear (stale: removed). Each repair, and a lock that
/// cannot be ended, is logged in the backup error log. Called at start-up and before every backup, restore
/// and rebuild. Without \a engine (the rebuild, which runs with the engine stopped) a running engine's state
/// is kept.
StaleLock endStaleBackupLock(AppContext &ctx, EngineControl *engine);

} // namespace garvina
