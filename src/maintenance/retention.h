#pragma once

#include "core/shopfiles.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace garvina {

class ProfileFile;

/// \brief How many backups to keep: the newest of each of the last `keepDaily` days, `keepWeekly`
/// weeks and `keepMonthly` months that have backups, and the newest `keepSafety` safety copies of
/// each kind. 0 switches a rule off, which keeps everything that rule covers.
struct RetentionSettings
{
    int keepDaily = 7;
    int keepWeekly = 4;
    int keepMonthly = 12;
    int keepSafety = 3;

    /// The `[backup]` keys keep_daily, keep_weekly, keep_monthly, keep_safety; absent keys take the
    /// defaults, 0, negative values and texts that are no number switch the rule off.
    static RetentionSettings read(const ProfileFile &file);
    static int parseKeep(const QString &value);
};

/// One folder of the console's own under a backup root.
struct BackupFolder
{
    enum Kind
    {
        Dated,
        BeforeRebuild,
        BeforeRestore
    };

    QString name;     ///< "yyyymmdd-hhmm", "…-n" (1 to 10), "…-U" or "…-R"
    QDateTime stamp;  ///< the date and time in the name
    int sequence = 0; ///< the n of "…-n"
    Kind kind = Dated;
    qint64 bytes = 0; ///< size of its garvina.db
};

/// Reads a folder name the console gives its backups; false for any other name.
bool parseBackupFolderName(const QString &name, BackupFolder &folder);

/// \brief The console's own folders directly under \a root, newest first: real folders (no links)
/// with one of its names that hold a regular file garvina.db and nothing else but the scratch files
/// a killed rehearsal of an older version left beside it. Anything else is not the console's and is
/// never listed, so never deleted.
QList<BackupFolder> listBackupFolders(const QString &root);

/// \brief Removes the dated folders directly under \a root that hold nothing (a retention or a
/// backup ended between emptying and removing one). Only while no backup is being made under it:
/// a new folder is empty until the engine starts its copy. Returns the names removed.
QStringList removeEmptyBackupFolders(const QString &root);

struct RetentionInput
{
    QList<BackupFolder> folders;
    RetentionSettings settings;
    QDateTime now;
    QString lastGood;     ///< name of the last good backup; kept whatever its date says
    QSet<QString> failed; ///< names of backups a rehearsal found bad
    bool backupSucceeded = true;
};

struct RetentionPlan
{
    struct Removal
    {
        QString name;
        QString reason;
    };
    QStringList keep;
    QList<Removal> remove;
    QString held; ///< why nothing at all is deleted this time, or empty
};

/// \brief Which folders to keep and which to delete.
///
/// Nothing goes after a failed backup, or when a folder is dated later than \a now (the clock was
/// set back: by its dates the newest backups would look like the oldest). Periods are counted over
/// the days, weeks and months that have backups, so a clock set forward drops no recent one. The
/// last good backup, the newest good one and at least two good ones always stay; a backup marked
/// failed is never what a rule keeps, and goes only while two good ones stay.
RetentionPlan planRetention(const RetentionInput &input);

/// \brief Deletes the folders \a plan removes from \a root, each checked again just before (a real
/// folder inside the root holding only garvina.db), and writes one line per deletion (or refusal)
/// to the maintenance log of \a gs_path. Returns the names deleted.
QStringList applyRetention(const QString &root, const RetentionPlan &plan, const QString &gs_path,
                           const QDateTime &now);

} // namespace garvina
