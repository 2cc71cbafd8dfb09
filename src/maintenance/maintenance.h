#pragma once

#include "engine/workslot.h"
#include "maintenance/backupcare.h"
#include "maintenance/backupstate.h"
#include "maintenance/offsite.h"
#include "maintenance/rehearsal.h"
#include "maintenance/restore.h"

#include <QObject>
#include <QString>

namespace garvina {

struct AppContext;
class EngineControl;
class Notice;

/// How a rehearsal's verdict was kept.
struct RehearsalOutcome
{
    RehearsalResult result;
    bool recorded = true; ///< false when the state file could not be saved (logged already)
};

/// \brief The owner of the maintenance work: backups (with their retention), the restore rehearsal,
/// the restore and the rebuild (with their safety copies) run through it, one at a time.
///
/// Which work may start is decided by the engine's WorkSlot: all work holds it while it runs, a
/// second request is refused with dataWorkRunningText(), and the rehearsal gives way to any other
/// work (it is stopped, and rehearsed again later). Every change of the state file goes through its
/// BackupStateStore in one step. Each job's result comes back as a value.
class Maintenance : public QObject
{
    Q_OBJECT
public:
    Maintenance(AppContext &ctx, EngineControl &engine, QObject *parent = nullptr);
    ~Maintenance() override;

    WorkSlot &work();
    const BackupStateStore &state() const { return m_store; }
    Rehearsal &rehearsal() { return m_rehearsal; }

    /// A backup into \a root with its after-care; refused while other work runs.
    BackupOutcome backup(const QString &root);
    /// Why the last backup this console tried failed; empty when it succeeded or none was tried.
    const QString &lastBackupError() const { return m_lastBackupError; }
    /// \brief Starts the rehearsal of \a backupFolder when nothing else runs; false otherwise. Its
    /// verdict is recorded in the state file and reported by rehearsalRecorded().
    bool startRehearsal(const QString &backupFolder);
    /// The restore of \a file in place of the live database (it asks and tells the user itself).
    RestoreOutcome restore(const QString &file);
    /// The night's off-site run (its level 0 is a backup into \a root); refused while other work runs.
    OffsiteOutcome offsite(const QString &root);
    /// \brief Fetches the newest off-site chain, assembles and validates it, and restores it as
    /// restore() does (asking and telling the user). A fetch that fails is said in a message box.
    RestoreOutcome restoreFromOffsite();
    /// \brief The month's rehearsal of the off-site chain instead of the newest local backup: the
    /// chain is fetched and assembled, then rehearsed as a backup is. A fetch that fails comes back
    /// (and nothing runs); its rehearsal's verdict comes through rehearsalRecorded().
    OffsiteFetch startOffsiteRehearsal();
    /// Where that rehearsal's database is fetched to.
    QString offsiteRehearsalFolder() const;
    /// The periodic rebuild when it is due, before the engine starts.
    void rebuildWhenDue(Notice &notice);

Q_SIGNALS:
    /// A rehearsal that came to a result (not one that was cancelled).
    void rehearsalRecorded(const garvina::RehearsalOutcome &outcome);

private:
    void rehearsalFinished(const RehearsalResult &result);

    AppContext &m_ctx;
    EngineControl &m_engine;
    BackupStateStore m_store;
    QString m_lastBackupError;
    Rehearsal m_rehearsal;
    WorkSlot::Claim m_rehearsalClaim;
};

} // namespace garvina

Q_DECLARE_METATYPE(garvina::RehearsalOutcome)
