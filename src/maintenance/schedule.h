#pragma once

#include "core/shopfiles.h"

#include <QDateTime>
#include <QString>
#include <QTime>

#include <functional>

namespace garvina {

class ProfileFile;

/// The schedule's configuration, as read from the file at each computation.
struct BackupConfig
{
    QString backuptype = QStringLiteral("1");
    QString backuptime1 = QStringLiteral("00:00:00");
    QString backuptime2 = QStringLiteral("00:00:00");
    QString backuptime3 = QStringLiteral("00:00:00");
    QString backuphour = QStringLiteral("1");
    QString backuppath;

    static BackupConfig read(const ProfileFile &file);
};

/// \brief The next backup time of the day after \a now (00:00:00 = none; 00:01:00 in interval mode
/// can stand for one minute past the coming midnight).
///
/// Fixed times: the earliest configured time strictly later than now ("00:00:00" never counts).
/// Interval N: the first whole hour after the current one that is a multiple of N, or 00:01:00 when
/// the day ends first and N divides 24. An interval that is not a positive number schedules nothing.
QTime nextBackupTime(const BackupConfig &config, const QTime &now);

/// \brief The moment of the next scheduled backup after \a now, with its date: the next time of
/// today, or once today's are over the first of tomorrow; invalid when \a config schedules none.
///
/// The main window's line stops at midnight; the tray, the backups list and `--status` say when the
/// next backup really is.
QDateTime nextBackupAt(const BackupConfig &config, const QDateTime &now);

/// The next-backup line of the main window for \a it_backup_time on \a today.
QString nextBackupLine(const QTime &it_backup_time, const QDate &today);

/// \brief The backup schedule driven by the main window's one-second timer.
class BackupSchedule
{
public:
    struct TickResult
    {
        QString clock; ///< the clock line "yyyy-mm-dd hh:mm:ss"
        bool recomputed = false;
        bool backupRan = false;
        bool backupOk = false;
        QString balloonTitle;
        QString balloonText;
        QString logLine; ///< the error-log line of a failed backup, else empty
        QString error;   ///< why the backup failed, else empty
    };

    /// Runs one backup into a root folder; false with the reason in the second argument.
    using BackupFunction = std::function<bool(const QString &root, QString &error)>;

    /// \brief Recomputes `it_backup_time` and `is_backup_path` from \a config at \a now and returns
    /// the next-backup line.
    QString wf_get_exit_backup_time(const BackupConfig &config, const QDateTime &now);

    /// The main window's clock line for \a now.
    static QString clockText(const QDateTime &now);

    /// \brief One timer tick at \a now. At the day change (unless a 00:01:00 backup is pending) the
    /// schedule is recomputed; when the scheduled moment has been reached since the previous tick
    /// and the service runs, the backup runs once and the schedule is recomputed. A late or
    /// coalesced tick does not skip a backup.
    TickResult tick(const QDateTime &now, bool serviceRunning, const std::function<BackupConfig()> &config,
                    const BackupFunction &backup);

    QTime it_backup_time() const { return m_it_backup_time; }
    const QString &is_backup_path() const { return m_is_backup_path; }
    const QString &is_backup_error() const { return m_is_backup_error; }
    /// The moment the pending backup is due, invalid when none.
    QDateTime dueAt() const { return m_dueAt; }
    /// The next backup with its date (nextBackupAt) at the last computation, invalid when none.
    QDateTime nextAt() const { return m_nextAt; }
    /// The next-backup line of the last computation.
    const QString &line() const { return m_line; }

private:
    QTime m_it_backup_time{0, 0, 0};
    QString m_is_backup_path;
    QString m_is_backup_error;
    QDateTime m_dueAt;
    QDateTime m_nextAt;
    QDateTime m_previousTick;
    QString m_line;
};

} // namespace garvina
