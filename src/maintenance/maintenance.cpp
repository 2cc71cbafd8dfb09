#include "maintenance.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "maintenance/dbunload.h"

namespace garvina {

Maintenance::Maintenance(AppContext &ctx, EngineControl &engine, QObject *parent)
    : QObject(parent), m_ctx(ctx), m_engine(engine), m_store(ctx),
      m_rehearsal(ctx.gs_path, ctx.clock, ctx.files)
{
    connect(&m_rehearsal, &Rehearsal::finished, this, &Maintenance::rehearsalFinished);
    // Any other work stops the rehearsal first: it reports itself cancelled, which frees the slot.
    work().setRehearsalStop([this] {
        m_rehearsal.cancel();
        m_rehearsalClaim.release();
    });
}

Maintenance::~Maintenance()
{
    work().setRehearsalStop({});
}

WorkSlot &Maintenance::work()
{
    return m_engine.work();
}

BackupOutcome Maintenance::backup(const QString &root)
{
    BackupOutcome outcome = runBackup(m_ctx, m_engine, root);
    m_lastBackupError = outcome.ok ? QString() : outcome.error;
    return outcome;
}

bool Maintenance::startRehearsal(const QString &backupFolder)
{
    if (m_rehearsal.isRunning())
        return false;
    WorkSlot::Claim claim = work().claim(WorkKind::Rehearsal);
    if (!claim)
        return false;
    m_rehearsalClaim = std::move(claim);
    if (!m_rehearsal.start(backupFolder)) {
        m_rehearsalClaim.release();
        return false;
    }
    return true;
}

void Maintenance::rehearsalFinished(const RehearsalResult &result)
{
    m_rehearsalClaim.release();
    if (result.cancelled)
        return;
    RehearsalOutcome outcome;
    outcome.result = result;
    outcome.recorded = m_store.update([&](BackupState &state) {
        recordRehearsal(state, {result.ok, result.backupFolder, result.started, result.durationMs,
                                result.tables, result.rows, result.error, result.notRun});
    });
    Q_EMIT rehearsalRecorded(outcome);
}

RestoreOutcome Maintenance::restore(const QString &file)
{
    return f_restore(m_ctx, m_engine, file);
}

void Maintenance::rebuildWhenDue(Notice &notice)
{
    const WorkSlot::Claim claim = work().claim(WorkKind::Rebuild);
    if (claim)
        f_dbunload(m_ctx, notice);
}

} // namespace garvina
