#include "backup.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "engine/fbservice.h"
#include "engine/offthread.h"
#include "engine/syshelpers.h"
#include "maintenance/crashrecovery.h"
#include "maintenance/dbheader.h"
#include "maintenance/filecopy.h"
#include "platform/clock.h"
#include "platform/endrequest.h"
#include "platform/filesystem.h"
#include "platform/growingfileflush.h"
#include "platform/toolrunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// Runs one of the engine's embedded tools on this program folder's instance and waits for it.
/// Returns its exit code (-1 when it could not run or was ended) and its output in \a output.
int runTool(const QString &gs_path, const QString &tool, const QStringList &args, const QByteArray &input,
            QString &output)
{
    ToolRequest request;
    request.program = tool;
    request.arguments = args;
    request.extraEnvironment = EngineInstance(gs_path).toolEnvironment();
    request.removedEnvironment = {u"ISC_PASSWORD"_s};
    if (!input.isEmpty())
        request.input = input;
    // A fix-up or a check reads the file once; an hour means something hangs.
    request.timeoutMs = 60 * 60 * 1000;
    // The window keeps painting and the clock ticking meanwhile; clicks wait until the tool is done.
    request.keepEventLoop = true;
    const ToolResult result = ::garvina::runTool(request);
    if (result.status == ToolResult::Status::NotStarted) {
        output = result.failureText();
        return -1;
    }
    output = QString::fromUtf8(result.output).trimmed();
    return result.exitCode;
}

} // namespace

QString backupFolderName(const QString &root, const QString &stamp)
{
    const QString plain = root + stamp;
    if (!QFileInfo::exists(plain))
        return plain;
    for (int n = 1; n <= 10; ++n) {
        const QString candidate = plain + u'-' + QString::number(n);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
    return QString();
}

namespace {

/// Makes a level-0 physical copy a database of its own (it leaves the backup state the copy has).
QString fixUpCopy(const QString &gs_path, const QString &file)
{
    QString output;
    if (runTool(gs_path, u"nbackup"_s, {u"-F"_s, file}, {}, output) != 0)
        return output.isEmpty() ? u"nbackup -F failed"_s : output;
    return QString();
}

/// The size against the header and the engine's full validation.
QString validateDatabase(const QString &gs_path, const QString &file)
{
    // A file cut short still opens and reads its first pages: its size must match its header, and
    // the engine must read every page of it.
    const QString size = checkDatabaseSize(file);
    if (!size.isEmpty())
        return size;
    QString output;
    const int rc = runTool(gs_path, u"gfix"_s, {u"-v"_s, u"-full"_s, u"-user"_s, u"DBA"_s, file}, {}, output);
    if (rc != 0 || validationFindsDamage(output))
        return output.isEmpty() ? u"the database does not validate"_s : output;
    return QString();
}

} // namespace

bool validationFindsDamage(const QString &output)
{
    // The validation ends with exit code 0 also when it finds damage, and says so only in its
    // summary. Warnings alone are no damage: a copy taken while the tills write can hold an orphan
    // back version of a record ("Relation has 1 orphan backversions {0 in use}", and the relation
    // "is ok"), which the engine cleans up itself. Any other line counts as damage.
    static const QRegularExpression warningLine(u"^Number of [a-z ]+ warnings\\s*:\\s*\\d+$"_s);
    for (const QString &raw : output.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line == u"Summary of validation errors"_s || warningLine.match(line).hasMatch())
            continue;
        return true;
    }
    return false;
}

QString verifyDatabaseWhole(const QString &gs_path, const QString &file)
{
    const QString problem = validateDatabase(gs_path, file);
    return problem.isEmpty() ? verifyDatabaseOpens(gs_path, file) : problem;
}

QString verifyDatabaseOpens(const QString &gs_path, const QString &file)
{
    QString output;
    // Open it as a database and read from it: only then is it a file that can be put back.
    const int rc = runTool(gs_path, u"isql-fb"_s, {u"-q"_s, u"-user"_s, u"DBA"_s, file},
                           "set heading off;\nselect 'garvina-ok' from rdb$database;\nquit;\n", output);
    if (rc != 0 || !output.contains(u"garvina-ok"_s))
        return output.isEmpty() ? u"the backup copy does not open as a database"_s : output;
    return QString();
}

namespace {

/// \brief A level-0 copy of the live file that the engine's backup history does not record: the
/// file is locked (the engine writes its changes into the delta meanwhile), copied as it lies on
/// disk, and unlocked, which merges the delta back. The copy carries the lock, as the engine's
/// own copy does, and is fixed up the same way.
FbResult lockedCopy(EngineControl &engine, const FileSystem &files, const QString &live,
                    const QString &partFile, int engineAnswerBoundMs)
{
    Sqlca &sqlca = engine.sqlca();
    const auto statement = [&](const QString &sql) {
        const bool done = sqlca.executeImmediate(sql) && sqlca.commit();
        if (!done)
            sqlca.rollback();
        return done;
    };
    FbResult result;
    // A statement to an engine stopped by a signal would wait for as long as it stays stopped.
    const auto answering = [&] {
        return waitUntil([&] { return !engine.paused(); }, engineAnswerBoundMs, 200);
    };
    if (!answering()) {
        result.unanswered = true;
        return result;
    }
    if (!statement(u"alter database begin backup"_s)) {
        result.error = sqlca.sqlErrText();
        return result;
    }
    int copied = 0;
    runWhileLooping([&] { copied = files.copyFile(live, partFile); });
    if (!answering()) {
        // The lock stays; the next backup's check ends it once the engine answers again.
        result.unanswered = true;
        return result;
    }
    // The lock is ended whatever the copy did: every change since it began lives in the delta.
    const bool ended = statement(u"alter database end backup"_s);
    if (copied != 1)
        result.error = u"复制数据库文件出错!"_s;
    else if (!ended)
        result.error = sqlca.sqlErrText();
    else
        result.ok = true;
    return result;
}

/// Times the steps of one backup into BackupRun::steps, when asked for.
class StepTimer
{
public:
    explicit StepTimer(std::vector<BackupStep> *steps) : m_steps(steps) {}
    /// Runs \a work as the step \a name and returns what it returned.
    template <typename Work> auto operator()(const QString &name, Work &&work)
    {
        const auto from = std::chrono::steady_clock::now();
        const auto record = qScopeGuard([&] {
            if (m_steps)
                m_steps->push_back({name, from, std::chrono::steady_clock::now()});
        });
        return work();
    }

private:
    std::vector<BackupStep> *m_steps;
};

} // namespace

bool f_backup_db(AppContext &ctx, EngineControl &engine, const QString &as_path, QString &as_error,
                 const BackupRun &run)
{
    // The copy and its tools keep the event loop going: a timer, the service's socket or a till's
    // request may ask for another backup meanwhile, which would find the database in backup state.
    const WorkSlot::Claim work = engine.work().claim(WorkKind::Backup);
    if (!work) {
        as_error = dataWorkRunningText();
        return false;
    }
    StepTimer step(run.steps);
    Sqlca &sqlca = engine.sqlca();
    if (!engine.f_connectdb()) {
        sqlca.disconnect();
        as_error = u"备份时,连接数据库出错!"_s;
        return false;
    }
    // A lock left by a backup that never ended would make this one fail, and every change since
    // then lives only in the delta: end it first. A backup still at work is left alone.
    if (endStaleBackupLock(ctx, &engine) == StaleLock::Kept) {
        sqlca.disconnect();
        as_error = u"数据库正处于备份状态,请稍后再备份!"_s;
        return false;
    }
    QString folderError;
    if (!f_createdirectory(as_path, folderError, *ctx.files)) {
        as_error = folderError;
        sqlca.disconnect();
        return false;
    }
    const QString folder = backupFolderName(as_path, ctx.clock->now().toString(u"yyyyMMdd-HHmm"_s));
    if (folder.isEmpty()) {
        // Eleven backups in this minute already: none of them is written over.
        sqlca.disconnect();
        as_error = u"本分钟的备份目录已用完,请稍后再备份!"_s;
        return false;
    }

    // The engine writes the copy under a name that no reader takes for a backup; it becomes
    // "garvina.db" once it is complete, fixed up, proved to open and on disk.
    QDir().mkpath(folder);
    const QString finalFile = folder + u"/garvina.db"_s;
    const QString partFile = folder + u"/garvina.db.part"_s;
    // A backup that failed leaves no empty dated folder behind (a run of failures would pile them up).
    const auto dropEmptyFolder = qScopeGuard([&] {
        if (!QFileInfo::exists(finalFile))
            QDir().rmdir(folder);
    });
    QFile::remove(partFile);

    FbServiceTarget target;
    target.port = ctx.readSetting(u"server"_s, u"dataport"_s).trimmed().toInt();
    target.user = u"DBA"_s;
    target.password = readDbaPassword(ctx.gs_path);
    target.answerBoundMs = run.engineAnswerBoundMs;
    engine.work().setCopyBeingWritten(true);
    // The copy goes out to disk, step by step, while the engine writes it and while the tools read it
    // back: one long flush of a gigabyte at the end would hold up every commit of the tills.
    std::optional<GrowingFileFlusher> flusher;
    if (run.flushStep > 0)
        flusher.emplace(partFile, run.flushStep, run.flushBytesPerSecond);
    const FbResult copy = step(u"engine copy"_s, [&] {
        return run.recordInHistory
                   ? fbOnlineBackup(target, engineName(), partFile)
                   : lockedCopy(engine, *ctx.files, EngineInstance(ctx.gs_path).databaseFile(), partFile,
                                run.engineAnswerBoundMs);
    });
    engine.work().setCopyBeingWritten(false);
    // An engine stopped by a signal would hold the close for as long as it stays stopped.
    if (copy.unanswered || engine.paused())
        sqlca.abandon();
    else
        sqlca.disconnect();
    if (!copy.ok) {
        if (flusher)
            flusher->abandon();
        QFile::remove(partFile);
        as_error = engine.paused() ? u"备份时,数据库服务已暂停,没有应答!"_s : copy.error;
        // A failed online backup can leave the server without its listening socket, or gone (killed
        // during the copy): the tills could no longer connect. Start it afresh when that happened, but
        // never while another copy is still being written inside it.
        if (!backupBeingWritten(as_path))
            engine.restartIfNotServing();
        return false;
    }
    if (!QFileInfo(partFile).isFile()) {
        as_error = u"判断备份出来的数据库文件不存在!"_s;
        return false;
    }
    QString problem = step(u"fix-up"_s, [&] { return fixUpCopy(ctx.gs_path, partFile); });
    if (problem.isEmpty())
        problem = step(u"validation"_s, [&] { return validateDatabase(ctx.gs_path, partFile); });
    if (problem.isEmpty())
        problem = step(u"open check"_s, [&] { return verifyDatabaseOpens(ctx.gs_path, partFile); });
    if (!problem.isEmpty()) {
        if (flusher)
            flusher->abandon();
        QFile::remove(partFile);
        as_error = problem;
        return false;
    }
    // What is left to write goes out off the window's thread too.
    bool onDisk = false;
    step(u"flush"_s, [&] {
        runWhileLooping([&] {
            if (flusher)
                flusher->stop();
            onDisk = ctx.files->syncInSteps(partFile, 1 << 20);
        });
    });
    flusher.reset();
    const bool named =
        onDisk && step(u"rename"_s, [&] { return ctx.files->moveOver(partFile, finalFile).ok(); });
    if (!named)
        QFile::remove(partFile);
    if (!QFileInfo(finalFile).isFile()) {
        as_error = u"判断备份出来的数据库文件不存在!"_s;
        return false;
    }
    // The copy is good; the engine must still be there for the tills. An engine that ended meanwhile
    // is started again, and one that does not start is said.
    engine.restartIfNotServing();
    if (!f_findwindows_garvinanet(ctx.gs_path)) {
        as_error = u"备份完成后数据库服务已停止,无法重新启动!"_s;
        f_filewrite_backup_error_to_txt(ctx.gs_path, ctx.clock->now().toString(u"yyyy-MM-dd HH:mm:ss"_s) +
                                                         u':' + as_error);
    }
    if (run.folder)
        *run.folder = QDir::cleanPath(folder);
    return true;
}

void f_filewrite_backup_error_to_txt(const QString &gs_path, const QString &as_txt)
{
    QFile log(gs_path + backupErrorLogName());
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    log.write(as_txt.toUtf8() + "\r\n");
}

FreeSpaceSource freeSpaceOf(const FileSystem &files)
{
    return [&files](const QString &path) {
        return files.freeBytes(path).value_or(0);
    };
}

bool f_check_diskspace(const QString &as_disk, int ai_size, const FreeSpaceSource &freeBytes)
{
    const quint64 bytes = freeBytes(as_disk);
    // Whole megabytes, halves rounded up: 99.5 MB counts as 100.
    const quint64 megabytes = (bytes + 524288) / 1048576;
    return !(static_cast<qint64>(megabytes) < ai_size);
}

} // namespace garvina
