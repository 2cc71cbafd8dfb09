#include "rehearsal.h"

#include "engine/enginecontrol.h"
#include "maintenance/backup.h"
#include "platform/clock.h"
#include "platform/toolrunner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// Prints "garvina-count|TABLE|ROWS" for every user table (views and temporary tables have no rows
/// of their own to put back), then "garvina-counted", so that a cut-off run cannot pass for a count.
const QByteArray countingScript = R"(set heading off;
set term ^;
execute block returns (line varchar(300)) as
declare t varchar(100);
declare n bigint;
begin
  for select trim(rdb$relation_name) from rdb$relations
      where coalesce(rdb$system_flag, 0) = 0 and rdb$view_blr is null and coalesce(rdb$relation_type, 0) = 0
      order by 1 into :t do
  begin
    execute statement 'select count(*) from "' || replace(t, '"', '""') || '"' into :n;
    line = 'garvina-count|' || t || '|' || n;
    suspend;
  end
  line = 'garvina-counted';
  suspend;
end^
set term ;^
quit;
)";

/// A tool's words for an error text: its last lines, bounded, so that a long listing stays readable.
QString toolWords(const QString &output)
{
    QString words = output.trimmed();
    constexpr int limit = 600;
    if (words.size() > limit)
        words = u"…"_s + words.right(limit);
    return words;
}

QString megabytes(quint64 bytes)
{
    return QString::number((bytes + 1048575) / 1048576);
}

} // namespace

int chooseScratchPlace(const QList<ScratchPlace> &places, quint64 needed)
{
    for (int i = 0; i < places.size(); ++i) {
        const ScratchPlace &p = places.at(i);
        if (p.freeBytes >= p.reserve && p.freeBytes - p.reserve >= needed)
            return i;
    }
    return -1;
}

quint64 rehearsalRoomFor(qint64 backupBytes)
{
    return 2 * quint64(qMax<qint64>(backupBytes, 0)) + (quint64(64) << 20);
}

bool parseRowCounts(const QString &output, QHash<QString, qint64> &counts)
{
    counts.clear();
    bool closed = false;
    const QStringList lines = output.split(u'\n');
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line == u"garvina-counted"_s) {
            closed = true;
            continue;
        }
        if (!line.startsWith(u"garvina-count|"_s))
            continue;
        const qsizetype first = line.indexOf(u'|');
        const qsizetype last = line.lastIndexOf(u'|');
        bool ok = false;
        const qint64 n = line.mid(last + 1).toLongLong(&ok);
        if (last <= first || !ok || n < 0)
            return false;
        counts.insert(line.mid(first + 1, last - first - 1), n);
    }
    return closed;
}

Rehearsal::Rehearsal(QString gs_path, const Clock *clock, const FileSystem *files, QObject *parent)
    : QObject(parent), m_gs_path(std::move(gs_path)), m_clock(clock), m_files(files ? *files : m_systemFiles)
{
    qRegisterMetaType<RehearsalResult>();
}

Rehearsal::~Rehearsal()
{
    if (m_running) {
        stopTool();
        removeScratch();
    }
}

QStringList Rehearsal::scratchFiles(const QString &folder)
{
    const QString dir = QDir::cleanPath(folder) + u'/';
    return {dir + u"garvina.rehearsal.src"_s, dir + u"garvina.rehearsal.fbk"_s,
            dir + u"garvina.rehearsal.db"_s};
}

QStringList Rehearsal::scratchFolders(const QString &gs_path, const QString &backupRoot)
{
    // One temporary folder per program folder: two instances on a machine never share scratch files.
    const QByteArray instance =
        QCryptographicHash::hash(QDir::cleanPath(gs_path).toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
    return {QDir::cleanPath(backupRoot) + u"/.garvina-rehearsal"_s,
            EngineInstance(gs_path).root() + u"rehearsal"_s,
            QDir::cleanPath(QDir::tempPath()) + u"/garvina-rehearsal-"_s + QString::fromLatin1(instance)};
}

qint64 Rehearsal::toolPid() const
{
    return m_job ? m_job->pid() : 0;
}

bool Rehearsal::start(const QString &backupFolder)
{
    if (m_running)
        return false;
    m_running = true;
    ++m_generation;
    m_result = RehearsalResult();
    m_result.backupFolder = backupFolder;
    m_result.started = m_clock ? m_clock->now() : QDateTime::currentDateTime();
    m_elapsed.start();
    m_sourceCounts.clear();
    m_scratchFolder.clear();
    m_copy.clear();
    m_unloaded.clear();
    m_restored.clear();

    const QString backup = QDir::cleanPath(backupFolder) + u"/garvina.db"_s;
    const QFileInfo info(backup);
    if (!info.isFile()) {
        notRunSoon(u"备份数据库文件不存在!"_s);
        return true;
    }
    // The copy and the unloaded file, then the unloaded and the reloaded file, lie side by side. A
    // rehearsal must not fill the backup disk for the backups that come after it, nor the live
    // database's disk below what the console warns about.
    m_backupBytes = info.size();
    const quint64 needed = rehearsalRoomFor(info.size());
    const QStringList folders =
        scratchFolders(m_gs_path, QFileInfo(QDir::cleanPath(backupFolder)).absolutePath());
    QList<ScratchPlace> places;
    for (const QString &folder : folders) {
        // The folders of the program's disk and the temporary folder keep what the console's own
        // disk check asks for.
        const quint64 reserve = folder == folders.first() ? 0 : quint64(100) << 20;
        places.append({folder, m_files.freeBytes(QFileInfo(folder).path()).value_or(0), reserve});
    }
    const int chosen = chooseScratchPlace(places, needed);
    if (chosen < 0) {
        notRunSoon(u"备份所在磁盘空间不足,演练还原需要 "_s + megabytes(needed) + u"M,剩余 "_s +
                   megabytes(places.at(0).freeBytes) + u"M!程序目录剩余 "_s +
                   megabytes(places.at(1).freeBytes) + u"M,临时目录剩余 "_s +
                   megabytes(places.at(2).freeBytes) + u"M!"_s);
        return true;
    }
    m_scratchFolder = places.at(chosen).folder;
    const QStringList scratch = scratchFiles(m_scratchFolder);
    m_copy = scratch.at(0);
    m_unloaded = scratch.at(1);
    m_restored = scratch.at(2);
    // Left over by a console that ended in the middle of a rehearsal; gbak will not write over them.
    removeScratch();
    QDir().mkpath(m_scratchFolder);
    QDir().mkpath(lockFolder());

    // The engine writes to every file it opens (transaction counters in the header at the least):
    // it works on a copy, and the backup itself is only ever read.
    copyBackup(backup, true);
    return true;
}

void Rehearsal::copyBackup(const QString &backup, bool direct)
{
    // Written past the page cache: a gigabyte of dirty pages would be flushed in bursts by the kernel,
    // at normal priority, and every commit of the tills would wait behind them. A file system that
    // refuses direct writes gets a plain copy flushed at its end.
    const QStringList arguments = {u"if="_s + backup, u"of="_s + m_copy, u"bs=4M"_s, u"status=none"_s,
                                   direct ? u"oflag=direct"_s : u"conv=fsync"_s};
    runTool(tools.dd, arguments, {}, [this, backup, direct](int exitCode, const QString &output) {
        if (exitCode != 0 && direct) {
            QFile::remove(m_copy);
            copyBackup(backup, false);
            return;
        }
        // A copy that cannot be made (a full or failing scratch disk) proves nothing about the backup.
        if (exitCode != 0 || !QFileInfo(m_copy).isFile()) {
            notRun(u"复制备份数据库文件出错!"_s, output);
            return;
        }
        QFile::setPermissions(m_copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        runTool(tools.gbak, {u"-b"_s, u"-g"_s, u"-user"_s, u"DBA"_s, m_copy, m_unloaded}, {},
                [this](int code, const QString &out) { onUnloaded(code, out); });
    });
}

void Rehearsal::onUnloaded(int exitCode, const QString &output)
{
    if (exitCode != 0 || !QFileInfo(m_unloaded).isFile()) {
        fail(u"读出备份数据库出错:"_s, output);
        return;
    }
    countRows(m_copy, [this](int code, const QString &out) { onSourceCounted(code, out); });
}

void Rehearsal::onSourceCounted(int exitCode, const QString &output)
{
    if (exitCode != 0 || !parseRowCounts(output, m_sourceCounts)) {
        fail(u"统计备份数据行数出错:"_s, output);
        return;
    }
    m_result.tables = int(m_sourceCounts.size());
    for (const qint64 n : std::as_const(m_sourceCounts))
        m_result.rows += n;
    QFile::remove(m_copy);
    runTool(tools.gbak, {u"-c"_s, u"-user"_s, u"DBA"_s, m_unloaded, m_restored}, {},
            [this](int code, const QString &out) { onReloaded(code, out); });
}

void Rehearsal::onReloaded(int exitCode, const QString &output)
{
    if (exitCode != 0 || !QFileInfo(m_restored).isFile()) {
        fail(u"还原数据库出错:"_s, output);
        return;
    }
    QFile::remove(m_unloaded);
    // Read-only full validation. gfix exits 0 even when it finds damage: its report is the verdict.
    runTool(tools.gfix, {u"-v"_s, u"-full"_s, u"-n"_s, u"-user"_s, u"DBA"_s, m_restored}, {},
            [this](int code, const QString &out) { onValidated(code, out); });
}

void Rehearsal::onValidated(int exitCode, const QString &output)
{
    if (exitCode != 0 || validationFindsDamage(output)) {
        fail(u"校验还原的数据库出错:"_s, output);
        return;
    }
    countRows(m_restored, [this](int code, const QString &out) { onRestoredCounted(code, out); });
}

void Rehearsal::onRestoredCounted(int exitCode, const QString &output)
{
    QHash<QString, qint64> restored;
    if (exitCode != 0 || !parseRowCounts(output, restored)) {
        fail(u"统计还原数据行数出错:"_s, output);
        return;
    }
    QStringList tables = m_sourceCounts.keys();
    for (auto it = restored.cbegin(); it != restored.cend(); ++it)
        if (!m_sourceCounts.contains(it.key()))
            tables.append(it.key());
    tables.sort();
    for (const QString &table : std::as_const(tables)) {
        const qint64 before = m_sourceCounts.value(table, -1);
        const qint64 after = restored.value(table, -1);
        if (before != after) {
            const auto rows = [](qint64 n) {
                return n < 0 ? u"无此表"_s : QString::number(n) + u" 行"_s;
            };
            fail(u"还原后数据行数不一致:"_s + table + u" 备份 "_s + rows(before) + u",还原 "_s + rows(after));
            return;
        }
    }
    m_result.ok = true;
    finish();
}

void Rehearsal::countRows(const QString &database, Step next)
{
    runTool(tools.isql, {u"-q"_s, u"-user"_s, u"DBA"_s, database}, countingScript, std::move(next));
}

void Rehearsal::cancel()
{
    if (!m_running)
        return;
    stopTool();
    m_result.cancelled = true;
    notRun(u"还原演练已取消!"_s);
}

void Rehearsal::fail(const QString &text, const QString &toolOutput)
{
    const QString words = toolWords(toolOutput);
    m_result.ok = false;
    m_result.error = words.isEmpty() ? text : text + u'\n' + words;
    finish();
}

void Rehearsal::notRun(const QString &text, const QString &toolOutput)
{
    m_result.notRun = true;
    fail(text, toolOutput);
}

void Rehearsal::notRunSoon(const QString &text)
{
    // Reported from the event loop, like every other outcome, never from inside start().
    const quint64 generation = m_generation;
    QTimer::singleShot(0, this, [this, generation, text] {
        if (m_running && generation == m_generation)
            notRun(text);
    });
}

void Rehearsal::finish()
{
    removeScratch();
    m_result.durationMs = m_elapsed.elapsed();
    m_running = false;
    // The receiver may start the next rehearsal or delete this object: nothing follows the signal.
    const RehearsalResult result = m_result;
    Q_EMIT finished(result);
}

void Rehearsal::removeScratch() const
{
    for (const QString &file : {m_copy, m_unloaded, m_restored})
        if (!file.isEmpty())
            QFile::remove(file);
    if (!m_scratchFolder.isEmpty())
        QDir().rmdir(m_scratchFolder);
    // Only ever called with no tool running: nobody maps what the folder holds.
    QDir(lockFolder()).removeRecursively();
}

QString Rehearsal::lockFolder() const
{
    return EngineInstance(m_gs_path).root() + u"lock-rehearsal"_s;
}

// The one place that starts and stops the tools.
void Rehearsal::runTool(const QString &program, const QStringList &arguments, const QByteArray &input,
                        Step next)
{
    stopTool();
    ToolRequest request;
    request.program = program;
    request.arguments = arguments;
    if (!tools.lowPriority.isEmpty()) {
        QStringList command = tools.lowPriority;
        request.program = command.takeFirst();
        request.arguments = command + QStringList{program} + arguments;
    }
    // The tools open scratch copies only, and one may be killed when the rehearsal is stopped.
    request.extraEnvironment = EngineInstance(m_gs_path).scratchToolEnvironment(lockFolder());
    request.removedEnvironment = {u"ISC_PASSWORD"_s};
    request.output = ToolRequest::Output::Merged;
    if (!input.isEmpty())
        request.input = input;
    request.graceMs = 1500;
    // Each tool reads or writes about the backup's size; one that hangs ends the rehearsal, not run.
    request.timeoutMs = toolTimeoutForBytes(m_backupBytes);

    m_job = std::make_unique<ToolJob>(request);
    ToolJob *job = m_job.get();
    connect(job, &ToolJob::finished, this, [this, job, program, next](const ToolResult &result) {
        QString output = QString::fromUtf8(result.output);
        const int exitCode = result.status == ToolResult::Status::Exited ? result.exitCode : -1;
        // The job goes once this signal has returned; the next step may start another.
        if (m_job.get() == job)
            m_job.release()->deleteLater();
        // A tool that could not start, or that the engine kept waiting past its bound, says nothing
        // about the backup.
        if (result.status == ToolResult::Status::NotStarted) {
            notRun(u"无法启动 "_s + program);
            return;
        }
        if (result.status == ToolResult::Status::TimedOut) {
            notRun(u"还原演练超时!"_s, output);
            return;
        }
        next(exitCode, output);
    });
    job->start();
}

void Rehearsal::stopTool()
{
    // Destroying a job whose tool still runs ends the tool (SIGTERM, then SIGKILL after its grace)
    // and reaps it, before the scratch files go.
    m_job.reset();
}

} // namespace garvina
