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

/// How a look at the live file's backup lock ended.
enum class StaleLock
{
    None,  ///< the file holds no backup lock
    Ended, ///< a lock no backup holds any more was ended; the delta is merged back
    Kept,  ///< the file is locked and stays so: a backup is at work, or the lock could not be ended
};

/// \brief Reads the backup lock of the live database and ends one that no backup holds any more
/// (left by an engine killed during an online backup): through the running engine, or with the
/// embedded tool when it is stopped. An ended lock and a lock that cannot be ended are logged in the
/// backup error log. Called at start-up and before every backup, restore and rebuild. Without
/// \a engine (the rebuild, which runs with the engine stopped) a running engine's lock is kept.
StaleLock endStaleBackupLock(AppContext &ctx, EngineControl *engine);

} // namespace garvina
