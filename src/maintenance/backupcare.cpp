#include "backupcare.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/syshelpers.h"
#include "maintenance/backup.h"
#include "maintenance/backupstate.h"
#include "maintenance/offsite.h"
#include "maintenance/retention.h"
#include "platform/clock.h"
#include "platform/filesystem.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString AbsentDiskText1 = u"备份目录 "_s;
const QString AbsentDiskText2 = u" 所在的磁盘没有连接,请连接备份磁盘后再备份!"_s;

/// \a path itself when it exists, else its nearest existing ancestor ("/" at worst).
QString nearestExisting(const QString &path)
{
    QString current = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    while (!QFileInfo::exists(current) && current != u"/"_s)
        current = QFileInfo(current).path();
    return current;
}

QString megabytes(quint64 bytes, bool roundUp)
{
    const quint64 mb = 1048576;
    return QString::number(roundUp ? (bytes + mb - 1) / mb : bytes / mb);
}

/// Names of the backups under \a root that the state marks failed.
QSet<QString> failedUnder(const BackupState &state, const QString &root)
{
    QSet<QString> names;
    for (const QString &folder : state.failedFolders) {
        if (QFileInfo(folder).path() == root)
            names.insert(QFileInfo(folder).fileName());
    }
    return names;
}

QStringList prune(AppContext &ctx, const QString &root, const BackupState &state)
{
    // Runs only beside no other backup: an empty dated folder is one a killed retention left.
    removeEmptyBackupFolders(root);
    RetentionInput in;
    in.folders = listBackupFolders(root);
    in.settings = RetentionSettings::read(ctx.config());
    in.now = ctx.clock->now();
    if (QFileInfo(state.lastGoodFolder).path() == root)
        in.lastGood = QFileInfo(state.lastGoodFolder).fileName();
    in.failed = failedUnder(state, root);
    return applyRetention(root, planRetention(in), ctx.gs_path, in.now);
}

/// Drops the marks of backups that are gone, so the state file does not grow without end.
void forgetMissing(BackupState &state)
{
    const auto gone = [](const QString &folder) {
        return !QFileInfo::exists(folder);
    };
    state.failedFolders.removeIf(gone);
    state.rehearsedFolders.removeIf(gone);
}

} // namespace

quint64 roomNeededFor(qint64 liveBytes)
{
    const quint64 size = liveBytes > 0 ? static_cast<quint64>(liveBytes) : 0;
    return size + std::max<quint64>(32ull * 1048576, size / 10);
}

QString absentDiskProblem(const FileSystem &files, const QString &root, const BackupState &state)
{
    const QString clean = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    const QString problem = AbsentDiskText1 + root + AbsentDiskText2;
    for (const QString &base : {u"/media"_s, u"/run/media"_s, u"/mnt"_s}) {
        if (!clean.startsWith(base + u'/'))
            continue;
        // Some file system must be mounted between the base and the root, else the folder would
        // be made on the file system the base itself lies on.
        QString dir = clean;
        bool mounted = false;
        while (dir.size() >= base.size()) {
            if (QFileInfo(dir).isDir() && files.isMountPoint(dir)) {
                mounted = true;
                break;
            }
            dir = QFileInfo(dir).path();
        }
        if (!mounted)
            return problem;
    }
    // Only a mount point that went away counts: a disk mounted at or above the root since then is
    // where the user now wants the backups.
    if (!state.lastGoodMount.isEmpty() && QDir::cleanPath(state.lastGoodRoot) == clean) {
        const QString now = files.mountPoint(nearestExisting(clean));
        const QString was = state.lastGoodMount;
        if (now != was && (now == u"/"_s || was.startsWith(now + u'/')))
            return problem;
    }
    return QString();
}

QList<BackupListRow> backupListRows(const QString &root, const BackupState &state)
{
    QList<BackupListRow> rows;
    const QString clean = QDir::cleanPath(root);
    for (const BackupFolder &f : listBackupFolders(clean)) {
        BackupListRow row;
        row.folder = f.name;
        row.date = f.stamp.toString(u"yyyy-MM-dd HH:mm"_s);
        row.size = QString::number(double(f.bytes) / 1048576.0, 'f', 1) + u" MB"_s;
        const QString path = clean + u'/' + f.name;
        if (f.kind == BackupFolder::BeforeRebuild)
            row.state = u"整理前安全备份"_s;
        else if (f.kind == BackupFolder::BeforeRestore)
            row.state = u"还原前安全备份"_s;
        // What was checked of it: every backup is validated before it takes its name; a rehearsal
        // restores it fully.
        else if (state.isFailed(path))
            row.state = u"演练失败"_s;
        else if (state.isRehearsed(path))
            row.state = u"已校验,已演练还原"_s;
        else
            row.state = u"已校验,未演练"_s;
        rows.append(row);
    }
    return rows;
}

QString lastRehearsalLine(const BackupState &state)
{
    const RehearsalRecord &r = state.lastRehearsal;
    if (!r.startTime.isValid())
        return u"上次还原演练：暂无"_s;
    QString line = u"上次还原演练："_s + r.startTime.toString(u"yyyy-MM-dd HH:mm:ss"_s) + u' ' +
                   QFileInfo(r.backupFolder).fileName() + u' ';
    if (r.notRun) {
        line += u"未能进行:"_s + r.error;
    } else if (r.ok) {
        line += u"成功,"_s + QString::number(r.tables) + u"个表,"_s + QString::number(r.rows) + u"行,用时"_s +
                QString::number(double(r.durationMs) / 1000.0, 'f', 1) + u"秒"_s;
    } else {
        line += u"失败:"_s + r.error;
    }
    return line;
}

QString rehearsalTimeFrom(const AppContext &ctx)
{
    return ctx.readSetting(u"backup"_s, u"rehearsal_time"_s).trimmed();
}

BackupOutcome runBackup(AppContext &ctx, EngineControl &engine, const QString &root, bool offsiteBase)
{
    BackupOutcome out;
    // Other work (a restore, a rebuild) keeps the loop going: nothing of this backup, not even its
    // pruning for room, runs beside it. A rehearsal gives way.
    if (!engine.work().yields()) {
        out.error = dataWorkRunningText();
        return out;
    }
    const BackupStateStore store(ctx);
    const QString clean = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    const FileSystem &files = *ctx.files;
    out.error = absentDiskProblem(files, root, store.load());
    if (!out.error.isEmpty())
        return out;
    if (!f_createdirectory(root, out.error, files))
        return out;

    const quint64 needed = roomNeededFor(QFileInfo(EngineInstance(ctx.gs_path).databaseFile()).size());
    quint64 available = files.availableBytes(clean).value_or(0);
    if (available < needed) {
        prune(ctx, clean, store.load());
        available = files.availableBytes(clean).value_or(0);
    }
    if (available < needed) {
        out.error = u"备份磁盘空间不足:可用 "_s + megabytes(available, false) + u" MB,需要 "_s +
                    megabytes(needed, true) + u" MB!"_s;
        return out;
    }

    BackupRun run;
    run.folder = &out.folder;
    run.recordInHistory = offsiteBase || !OffsiteSettings::read(ctx).enabled();
    if (!f_backup_db(ctx, engine, root, out.error, run))
        return out;
    out.ok = true;
    // The state is read again now: a rehearsal may have recorded its verdict while the copy ran.
    BackupState state;
    out.recorded = store.update([&](BackupState &s) {
        forgetMissing(s);
        recordGoodBackup(s, clean, out.folder, ctx.clock->now(), files.mountPoint(clean));
        state = s;
    });
    // Retention keeps everything when the record is not on disk: its choices rest on it.
    if (out.recorded)
        prune(ctx, clean, state);
    return out;
}

} // namespace garvina
