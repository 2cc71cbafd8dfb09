#include "crashrecovery.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "maintenance/dbheader.h"
#include "maintenance/schedule.h"
#include "platform/clock.h"
#include "platform/endrequest.h"
#include "platform/toolrunner.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>

#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString PartialCopy = u"garvina.db.part"_s;
// How long a running engine's own merge of a delta is waited for before the work that needs it is
// put off (the next backup tries again).
constexpr int EngineMergeBoundMs = 10 * 60 * 1000;

/// The partial copies in the folders of \a root.
QList<QFileInfo> partialCopies(const QString &root)
{
    QList<QFileInfo> found;
    const QDir dir(root);
    for (const QString &folder : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QFileInfo part(dir.filePath(folder + u'/' + PartialCopy));
        if (part.isFile())
            found.append(part);
    }
    return found;
}

/// Whether \a file changed within the last \a seconds, by the file system's own clock.
bool recentlyChanged(const QFileInfo &file, int seconds)
{
    return file.lastModified().secsTo(QDateTime::currentDateTime()) < seconds;
}

/// The embedded tool's run of \a sql on the closed live file.
ToolResult runOnClosedLiveFile(const QString &gs_path, const QByteArray &sql)
{
    ToolRequest request;
    request.program = u"isql-fb"_s;
    request.arguments = {u"-q"_s, u"-user"_s, u"DBA"_s, EngineInstance(gs_path).databaseFile()};
    request.extraEnvironment = EngineInstance(gs_path).toolEnvironment();
    request.removedEnvironment = {u"ISC_PASSWORD"_s};
    request.input = sql;
    // Merging a large delta back takes as long as writing it: bounded generously.
    request.timeoutMs = 60 * 60 * 1000;
    request.keepEventLoop = true;
    return runTool(request);
}

// The difference file's row in the catalogue carries this flag from the start of a physical backup
// to its end, in the same transaction that ends it.
const QString MarkedRowsQuery = u"select count(*) from rdb$files where bin_and(rdb$file_flags, 64) <> 0"_s;

/// \brief Whether the catalogue still marks a physical backup as running, read through the running
/// engine; nothing when it could not be read.
///
/// An engine killed while it ended a backup merges the delta back at its next attach and clears the
/// header, but the transaction that clears this mark never committed: the header looks clean, and
/// every later backup is refused as "already in the physical backup mode". A closed file is not
/// opened to look (an attach changes its bytes, and the rebuild and restore rely on a file that
/// stays as it was): the check before the next backup finds the mark.
std::optional<bool> catalogueMarksBackup(EngineControl &engine)
{
    return throughEngine<bool>(engine, [](Sqlca &sqlca) -> std::optional<bool> {
        QSqlQuery query(sqlca.database());
        if (query.exec(MarkedRowsQuery) && query.next())
            return query.value(0).toInt() > 0;
        return std::nullopt;
    });
}

bool endBackupThroughEngine(EngineControl &engine)
{
    return throughEngine<bool>(engine,
                               [](Sqlca &sqlca) -> std::optional<bool> {
                                   const bool ended =
                                       sqlca.executeImmediate(u"alter database end backup"_s) &&
                                       sqlca.commit();
                                   if (!ended)
                                       sqlca.rollback();
                                   return ended;
                               })
        .value_or(false);
}

/// \brief Lets a running engine finish the merge it is at work on; whether the header is out of the
/// merge within \a boundMs.
///
/// An engine started on a file whose merge was cut short merges the rest back by itself, after its
/// first attach has returned: ending the backup meanwhile is refused ("not in the physical backup
/// mode"), and the mark in the catalogue is cleared only once the merge is through.
bool waitForEnginesMerge(const QString &live, int boundMs)
{
    return waitUntil([&] { return backupLockOf(live) != BackupLock::Merge; }, boundMs, 200);
}

} // namespace

QString backupRootOf(AppContext &ctx)
{
    QString root = ctx.readSetting(u"backup"_s, u"backuppath"_s);
    if (!root.endsWith(u'/'))
        root += u'/';
    return root;
}

bool backupBeingWritten(const QString &backupRoot, int quietSeconds)
{
    for (const QFileInfo &part : partialCopies(backupRoot)) {
        if (recentlyChanged(part, quietSeconds))
            return true;
    }
    return false;
}

QStringList removeUnfinishedCopies(const QString &backupRoot, int quietSeconds)
{
    QStringList removed;
    for (const QFileInfo &part : partialCopies(backupRoot)) {
        if (recentlyChanged(part, quietSeconds) || !QFile::remove(part.filePath()))
            continue;
        removed.append(part.filePath());
        QDir folder = part.dir();
        if (folder.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
            folder.rmdir(folder.absolutePath());
    }
    return removed;
}

StaleLock endStaleBackupLock(AppContext &ctx, EngineControl *engine)
{
    const QString live = EngineInstance(ctx.gs_path).databaseFile();
    const QString delta = live + u".delta"_s;
    // A backup of this console, or one still being written by the engine for a console that died,
    // is at work: ending its lock would spoil that copy.
    const auto backupAtWork = [&] {
        return (engine && engine->work().copyBeingWritten()) || backupBeingWritten(backupRootOf(ctx));
    };
    const bool running = f_findwindows_garvinanet(ctx.gs_path);
    if (running && engine && backupLockOf(live) == BackupLock::Merge && !backupAtWork() &&
        !waitForEnginesMerge(live, EngineMergeBoundMs))
        return StaleLock::Kept;
    const bool locked = backupLockOf(live) != BackupLock::None;
    std::optional<bool> marked;
    if (!locked) {
        if (backupAtWork())
            return StaleLock::None;
        if (running && engine)
            marked = catalogueMarksBackup(*engine);
        if (!marked.value_or(false) && !QFileInfo::exists(delta))
            return StaleLock::None;
    } else if (backupAtWork()) {
        return StaleLock::Kept;
    }
    const QString stamp = ctx.clock->now().toString(u"yyyy-MM-dd HH:mm:ss"_s);
    const auto log = [&](const QString &text) {
        f_filewrite_backup_error_to_txt(ctx.gs_path, stamp + u':' + text);
    };

    if (locked || marked.value_or(false)) {
        if (running && !engine)
            return StaleLock::Kept;
        if (running)
            endBackupThroughEngine(*engine);
        else
            runOnClosedLiveFile(ctx.gs_path, "alter database end backup;\ncommit;\nquit;\n");
        const bool ended = backupLockOf(live) == BackupLock::None &&
                           !(running && catalogueMarksBackup(*engine).value_or(true));
        if (!ended) {
            log(u"数据库停留在备份状态,无法结束备份状态!"_s);
            return StaleLock::Kept;
        }
        log(locked ? u"数据库停留在备份状态,已结束备份状态并合并增量文件"_s
                   : u"数据库的备份标记没有清除,已清除"_s);
    }
    // With the header clear every change is in the live file: a delta left beside it is stale, and
    // the next backup would be refused while it is there.
    if (QFileInfo::exists(delta) && backupLockOf(live) == BackupLock::None) {
        if (!QFile::remove(delta)) {
            log(u"数据库旁留有过期的增量文件,无法删除!"_s);
            return StaleLock::Kept;
        }
        log(u"已删除数据库旁过期的增量文件"_s);
    }
    return StaleLock::Ended;
}

} // namespace garvina
