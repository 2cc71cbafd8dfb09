#include "crashrecovery.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "maintenance/dbheader.h"
#include "maintenance/schedule.h"
#include "platform/clock.h"
#include "platform/toolrunner.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString PartialCopy = u"garvina.db.part"_s;

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

/// Ends the backup mode of the closed live file with the embedded tool; true when it ran.
bool endBackupEmbedded(const QString &gs_path)
{
    ToolRequest request;
    request.program = u"isql-fb"_s;
    request.arguments = {u"-q"_s, u"-user"_s, u"DBA"_s, EngineInstance(gs_path).databaseFile()};
    request.extraEnvironment = EngineInstance(gs_path).toolEnvironment();
    request.removedEnvironment = {u"ISC_PASSWORD"_s};
    request.input = "alter database end backup;\ncommit;\nquit;\n";
    // Merging a large delta back takes as long as writing it: bounded generously.
    request.timeoutMs = 60 * 60 * 1000;
    request.keepEventLoop = true;
    return runTool(request).succeeded();
}

bool endBackupThroughEngine(EngineControl &engine)
{
    Sqlca &sqlca = engine.sqlca();
    const bool wasConnected = sqlca.isConnected();
    if (!wasConnected && !engine.f_connectdb())
        return false;
    const bool ended = sqlca.executeImmediate(u"alter database end backup"_s) && sqlca.commit();
    if (!ended)
        sqlca.rollback();
    if (!wasConnected)
        sqlca.disconnect();
    return ended;
}

} // namespace

QString backupRootOf(AppContext &ctx)
{
    QString root = ctx.readConfig(u"backup"_s, u"backuppath"_s, defaultBackupPath());
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
    if (backupLockOf(live) == BackupLock::None)
        return StaleLock::None;
    // A backup of this console, or one still being written by the engine for a console that died,
    // holds the lock: ending it would spoil that copy.
    if ((engine && engine->work().copyBeingWritten()) || backupBeingWritten(backupRootOf(ctx)))
        return StaleLock::Kept;
    if (f_findwindows_garvinanet(ctx.gs_path)) {
        if (!engine)
            return StaleLock::Kept;
        endBackupThroughEngine(*engine);
    } else
        endBackupEmbedded(ctx.gs_path);
    const bool ended = backupLockOf(live) == BackupLock::None;
    const QString stamp = ctx.clock->now().toString(u"yyyy-MM-dd HH:mm:ss"_s);
    f_filewrite_backup_error_to_txt(ctx.gs_path,
                                    stamp + u':' +
                                        (ended ? u"数据库停留在备份状态,已结束备份状态并合并增量文件"_s
                                               : u"数据库停留在备份状态,无法结束备份状态!"_s));
    return ended ? StaleLock::Ended : StaleLock::Kept;
}

} // namespace garvina
