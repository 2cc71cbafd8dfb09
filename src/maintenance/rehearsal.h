#pragma once

#include "platform/filesystem.h"
#include "platform/toolrunner.h"

#include <memory>

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace garvina {

class ToolJob;

class Clock;

/// Outcome of one restore rehearsal.
struct RehearsalResult
{
    bool ok = false;
    /// True when the rehearsal was stopped by cancel() before it came to a result.
    bool cancelled = false;
    /// True when it could not run to a verdict (no backup file, no room, a tool that could not start
    /// or ran out of time, a copy that could not be made, cancelled): it says nothing about the backup.
    bool notRun = false;
    /// The backup folder that was rehearsed (as given to start()).
    QString backupFolder;
    QDateTime started;
    qint64 durationMs = 0;
    /// User tables of the backup and their rows in all (counted in the backup, matched by the restore).
    int tables = 0;
    qint64 rows = 0;
    /// Why it failed: a fixed text, followed by the tool's own words where a tool failed.
    QString error;
};

/// The programs a rehearsal runs; tests and measurements may point them elsewhere.
struct RehearsalTools
{
    QString gbak = QStringLiteral("/usr/bin/gbak");
    QString gfix = QStringLiteral("/usr/bin/gfix");
    QString isql = QStringLiteral("/usr/bin/isql-fb");
    QString dd = QStringLiteral("/bin/dd");
    /// Every tool starts through these at idle processor and disk priority; empty runs them as they are.
    QStringList lowPriority = idlePriorityCommand();
};

/// One folder a rehearsal may keep its scratch files in, with the room there.
struct ScratchPlace
{
    QString folder;
    quint64 freeBytes = 0;
    /// Room left to others on that disk beyond what the rehearsal needs (the live database's disk).
    quint64 reserve = 0;
};

/// The first of \a places with \a needed bytes free beyond its reserve; -1 when none has.
int chooseScratchPlace(const QList<ScratchPlace> &places, quint64 needed);

/// Room a rehearsal of a backup of \a backupBytes needs: the copy and the unloaded file, then the
/// unloaded and the reloaded file, lie side by side, and a margin.
quint64 rehearsalRoomFor(qint64 backupBytes);

/// \brief Proves in the background that one backup can be put back: the backup's database is copied,
/// unloaded and reloaded with the engine's tools into scratch files, the reloaded file is validated
/// in full and the rows of every user table are counted in both.
///
/// The backup file is only read. The scratch files (names in scratchFiles()) go into the first of
/// scratchFolders() with room, never into the backup folder, and are removed on every way out; a
/// console killed meanwhile leaves them where removeRehearsalLeftovers() finds them. All tools run as child
/// processes at idle priority on the program folder's instance (embedded, no server, no password); the
/// caller's event loop keeps running throughout. finished() is emitted exactly once per start(), also after
/// cancel().
class Rehearsal : public QObject
{
    Q_OBJECT

public:
    /// \a gs_path: the program folder whose engine instance the tools use. \a clock gives the start
    /// time of the result (the system clock when null); \a files tells the room on the backup's disk
    /// (the system's file system when null).
    explicit Rehearsal(QString gs_path, const Clock *clock = nullptr, const FileSystem *files = nullptr,
                       QObject *parent = nullptr);
    /// Stops a running rehearsal as cancel() does, without emitting finished().
    ~Rehearsal() override;

    /// \brief Starts rehearsing the backup in \a backupFolder (a folder holding "garvina.db").
    /// False, and nothing started, while another rehearsal runs; a rehearsal that cannot even begin
    /// (no backup file, too little room) still reports through finished().
    bool start(const QString &backupFolder);

    /// \brief Stops a running rehearsal at once: the running tool is terminated, killed when it does
    /// not end within a moment, the scratch files are removed, and finished() reports it cancelled.
    void cancel();

    bool isRunning() const { return m_running; }
    /// The process id of the tool running now, 0 between tools.
    qint64 toolPid() const;

    /// The scratch files a rehearsal keeps in \a folder (older versions kept them in the backup folder).
    static QStringList scratchFiles(const QString &folder);
    /// \brief Where a rehearsal of a backup under \a backupRoot may work, in the order tried: a folder
    /// of its own on the backup disk (the tills' disk stays quiet), the program folder's tool/, the
    /// system's temporary folder.
    static QStringList scratchFolders(const QString &gs_path, const QString &backupRoot);
    /// The scratch folder of the running (or last) rehearsal.
    QString scratchFolder() const { return m_scratchFolder; }

    RehearsalTools tools;

Q_SIGNALS:
    void finished(const garvina::RehearsalResult &result);

private:
    using Step = std::function<void(int exitCode, const QString &output)>;

    void runTool(const QString &program, const QStringList &arguments, const QByteArray &input, Step next);
    void stopTool();
    void removeScratch() const;
    QString lockFolder() const;
    void fail(const QString &text, const QString &toolOutput = QString());
    void notRun(const QString &text, const QString &toolOutput = QString());
    void notRunSoon(const QString &text);
    void finish();

    void copyBackup(const QString &backup, bool direct);
    void countRows(const QString &database, Step next);
    void onSourceCounted(int exitCode, const QString &output);
    void onUnloaded(int exitCode, const QString &output);
    void onReloaded(int exitCode, const QString &output);
    void onValidated(int exitCode, const QString &output);
    void onRestoredCounted(int exitCode, const QString &output);

    QString m_gs_path;
    const Clock *m_clock;
    const LinuxFileSystem m_systemFiles;
    const FileSystem &m_files;
    /// Size of the backup being rehearsed: the tools' bound grows with it.
    qint64 m_backupBytes = 0;
    std::unique_ptr<ToolJob> m_job;
    bool m_running = false;
    quint64 m_generation = 0;
    RehearsalResult m_result;
    QElapsedTimer m_elapsed;
    QString m_scratchFolder, m_copy, m_unloaded, m_restored;
    QHash<QString, qint64> m_sourceCounts;
};

/// \brief Reads the row counts the rehearsal's counting script prints ("garvina-count|TABLE|N" lines,
/// closed by "garvina-counted"). False when the closing line is missing or a line does not parse.
bool parseRowCounts(const QString &output, QHash<QString, qint64> &counts);

} // namespace garvina

Q_DECLARE_METATYPE(garvina::RehearsalResult)
