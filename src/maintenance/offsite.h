#pragma once

#include "maintenance/backupstate.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace garvina {

struct AppContext;
struct RetentionSettings;
class EngineControl;

/// \brief What the header of one level of the off-site stream says: a level 0 is a whole database
/// (its backup GUID is in the header page), a level 1 an incremental file of the engine's own
/// format (a header page, then whole pages changed since the level 0 it names).
struct LevelHeader
{
    int level = -1;
    QString guid;     ///< "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as the backup history writes it
    QString prevGuid; ///< the level below; empty for a level 0
    int pageSize = 0;
    qint64 bytes = 0;
    bool sizeFits = false; ///< a whole number of pages (a level 1: its header and whole pages)
};

/// The header of \a file; nothing when it is neither a database nor a level file.
std::optional<LevelHeader> readLevelHeader(const QString &file);

/// \brief Why \a levels (level 0 first) are not one chain: a level not one above the one before,
/// a GUID that does not follow, another page size, a size that is not whole pages. Empty when they
/// are. Checked before anything is applied.
QString chainProblem(const QList<LevelHeader> &levels);

/// The SHA-256 of \a file in lower-case hex; empty when it cannot be read.
QString sha256OfFile(const QString &file);

/// The `[offsite]` keys.
struct OffsiteSettings
{
    /// restic's repository: a folder ("/media/usb/garvina"), "sftp:user@host:/path" or "s3:…".
    QString repository;
    QString time;        ///< "hh:mm:ss" of the nightly run; empty switches it off
    int alarmHours = 48; ///< 0 switches the off-site alarm off
    int baseDays = 7;    ///< a new level 0 when the last one is this many days old
    QString sshIdentity; ///< private key for an sftp repository; empty: the user's own ssh set-up
    QString s3KeyId;
    QString s3Secret;

    static OffsiteSettings read(const AppContext &ctx);
    bool enabled() const { return !repository.isEmpty() && !time.isEmpty(); }
};

/// The folder under the program folder that holds the repository password, restic's cache, the
/// recovery sheet and the levels on their way out.
QString offsiteFolder(const QString &gs_path);
/// The repository password file (0600), made with a random password the first time.
QString offsitePasswordFile(const QString &gs_path);
/// The sheet the technician prints: repository, password and the steps of a restore.
QString recoverySheetFile(const QString &gs_path);

/// \brief The ssh command restic reaches an sftp repository with when a key is configured: the key,
/// no questions asked, a host key taken on first contact into \a knownHosts and held to after. Empty
/// for other repositories and without a key (restic's own ssh call, with the user's ssh set-up).
QString sftpCommand(const OffsiteSettings &settings, const QString &knownHosts);

/// One snapshot of the off-site stream in the repository, as its tags describe it.
struct OffsiteSnapshot
{
    QString id;
    QDateTime time; ///< when its level was taken
    OffsiteLevel level;
};

/// \brief The snapshots retention takes out of the repository: the same rules as the local backups
/// (the newest of each of the last days, weeks and months), each snapshot counted as the copy its
/// chain restores; a level 0 stays while any of its level 1s stays.
QStringList offsiteForgetPlan(const QList<OffsiteSnapshot> &snapshots, const RetentionSettings &settings,
                              const QDateTime &now);

/// \brief Whether the night's run is to send a new level 0 rather than a level 1: none yet, the
/// last one older than \a baseDays, sent to another repository than \a repository, a restore or
/// rebuild broke the chain, or the engine's backup history no longer ends with the level 0 the
/// stream is based on (\a historyLastLevel0).
bool newBaseDue(const BackupState &state, const QString &repository, int baseDays,
                const QString &historyLastLevel0, const QDateTime &now);

/// How one night's off-site run ended, with its figures.
struct OffsiteOutcome
{
    bool ok = false;
    QString error;           ///< why it failed, for the log and the journal
    int level = -1;          ///< the level sent
    qint64 levelBytes = 0;   ///< its size
    qint64 bytesSent = 0;    ///< what restic added to the repository (its data_added)
    double seconds = 0;      ///< the whole run
    double levelSeconds = 0; ///< taking the level (the engine's part)
    QString snapshot;
    bool checked = false;  ///< the repository's check ran tonight
    QStringList forgotten; ///< snapshots retention took out
};

/// \brief The night's off-site run: a new level 0 (a verified local backup under \a backupRoot)
/// or the day's level 1, sent with restic, recorded in the state file, the repository checked
/// (a seventh of its data each night, so all of it once a week) and pruned by the local rules,
/// a level 0 and its level 1s as one unit. Claims the engine's work slot for the whole run.
OffsiteOutcome runOffsite(AppContext &ctx, EngineControl &engine, const QString &backupRoot);

/// How a chain fetched from the repository was made a database.
struct OffsiteFetch
{
    bool ok = false;
    QString error;
    QString database; ///< the assembled, validated database (under the scratch folder)
    QList<LevelHeader> chain;
    QDateTime takenAt; ///< when its newest level was taken
    double fetchSeconds = 0;
    double assembleSeconds = 0;
    double validateSeconds = 0;
};

/// \brief Fetches the newest chain from the repository into \a scratchFolder, checks its headers
/// and checksums, assembles it into one database (nbackup -R) and validates it. Needs no engine and
/// no state file: what a restore needs is in the repository.
OffsiteFetch fetchOffsiteChain(const AppContext &ctx, const QString &scratchFolder);

/// \brief Whether tonight's rehearsal is to rehearse the off-site chain instead of the local
/// backup: a copy has gone out, and the last such rehearsal is a month old or none was made.
bool offsiteRehearsalDue(const BackupState &state, const QDateTime &now);

/// The off-site alarm's decision, as the backup alarm's: no good off-site run younger than \a hours.
bool offsiteAlarmDue(const BackupState &state, int hours, const QDateTime &watchedSince, bool serviceRunning,
                     const QDateTime &now);
/// The off-site alarm's balloon and log text.
QString offsiteAlarmText(int hours);
/// The main window's line about the last off-site copy.
QString lastOffsiteLine(const BackupState &state);

} // namespace garvina
