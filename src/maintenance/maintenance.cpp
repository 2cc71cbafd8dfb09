#include "maintenance.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "maintenance/dbunload.h"
#include "platform/clock.h"
#include "platform/messageboxes.h"

#include <QDir>

using namespace Qt::Literals::StringLiterals;

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
    if (QDir::cleanPath(result.backupFolder) == QDir::cleanPath(offsiteRehearsalFolder()))
        QDir(offsiteRehearsalFolder()).removeRecursively();
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

QString Maintenance::offsiteRehearsalFolder() const
{
    return offsiteFolder(m_ctx.gs_path) + u"rehearsal"_s;
}

OffsiteFetch Maintenance::startOffsiteRehearsal()
{
    OffsiteFetch fetch;
    const QDateTime started = m_ctx.clock->now();
    m_store.update([&](BackupState &state) { state.offsite.rehearsed = started; });
    {
        const WorkSlot::Claim claim = work().claim(WorkKind::Offsite);
        if (!claim) {
            fetch.error = dataWorkRunningText();
            return fetch;
        }
        fetch = fetchOffsiteChain(m_ctx, offsiteRehearsalFolder());
    }
    if (!fetch.ok) {
        QDir(offsiteRehearsalFolder()).removeRecursively();
        m_store.update(
            [&](BackupState &state) { state.offsite.error = u"异地备份演练取回出错:"_s + fetch.error; });
        return fetch;
    }
    // The assembled database is validated already; the rehearsal proves it unloads and loads again.
    if (!startRehearsal(offsiteRehearsalFolder())) {
        QDir(offsiteRehearsalFolder()).removeRecursively();
        fetch.ok = false;
        fetch.error = dataWorkRunningText();
    }
    return fetch;
}

RestoreOutcome Maintenance::restore(const QString &file)
{
    const RestoreOutcome outcome = f_restore(m_ctx, m_engine, file);
    // The live database is another one now: the off-site level 1s cannot follow on from the last
    // level 0 any more.
    if (outcome == RestoreOutcome::Restored)
        m_store.update([](BackupState &state) { state.offsite.baseNeeded = true; });
    return outcome;
}

OffsiteOutcome Maintenance::offsite(const QString &root)
{
    return runOffsite(m_ctx, m_engine, root);
}

RestoreOutcome Maintenance::restoreFromOffsite()
{
    const QString scratch = offsiteFolder(m_ctx.gs_path) + u"restore"_s;
    OffsiteFetch fetch;
    {
        // Nothing else runs on the database while the chain is fetched and assembled.
        const WorkSlot::Claim claim = work().claim(WorkKind::Offsite);
        if (!claim) {
            m_ctx.boxes->tell(u"提示"_s, dataWorkRunningText(), MsgIcon::StopSign);
            return RestoreOutcome::Busy;
        }
        fetch = fetchOffsiteChain(m_ctx, scratch);
    }
    RestoreOutcome outcome = RestoreOutcome::ReadError;
    if (fetch.ok)
        outcome = restore(fetch.database);
    else
        m_ctx.boxes->tell(u"错误"_s, u"从异地备份还原出错:"_s + fetch.error, MsgIcon::StopSign);
    QDir(scratch).removeRecursively();
    return outcome;
}

void Maintenance::rebuildWhenDue(Notice &notice)
{
    const WorkSlot::Claim claim = work().claim(WorkKind::Rebuild);
    if (claim)
        f_dbunload(m_ctx, notice);
}

} // namespace garvina
