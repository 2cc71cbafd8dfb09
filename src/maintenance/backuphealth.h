#pragma once

#include <QDateTime>
#include <QString>

namespace garvina {

struct BackupState;

/// The `[backup] alarm_hours` value: 26 when absent; 0, negative or not a number switches the alarm off.
int alarmHoursFrom(const QString &value);

/// \brief True when the backup alarm must be up: the service runs and no good backup is younger than
/// \a alarmHours. Before the first good backup the hours count from \a watchedSince (the service's
/// start); a last good backup that a rehearsal found bad raises it at once, and so does a last good
/// backup dated more than an hour after \a now, whose age cannot be told (the clock was set back).
bool backupAlarmDue(const BackupState &state, int alarmHours, const QDateTime &watchedSince,
                    bool serviceRunning, const QDateTime &now);

/// \brief True when something that should happen every few hours has not for \a hours since
/// \a since (invalid: never watched, no alarm), while the service runs; also when \a since lies more
/// than an hour after \a now, whose age cannot be told (the clock was set back). 0 hours: no alarm.
bool ageAlarmDue(const QDateTime &since, int hours, bool serviceRunning, const QDateTime &now);

/// \brief The alarm's course: a balloon when it goes up and again every hour while it stays up.
class BackupAlarm
{
public:
    struct Step
    {
        bool raised = false;  ///< it went up now
        bool cleared = false; ///< it went down now
        bool balloon = false; ///< show the balloon now
    };
    Step update(bool due, const QDateTime &now);
    bool isUp() const { return m_up; }

private:
    bool m_up = false;
    QDateTime m_lastBalloon;
};

/// The alarm's balloon and log text for \a alarmHours.
QString backupAlarmText(int alarmHours);

/// The main window's line about the last good backup.
QString lastGoodBackupLine(const BackupState &state);

/// \brief True when the daily restore rehearsal is due at \a now: \a rehearsalTime ("hh:mm:ss"; empty
/// or no time switches it off) has passed by less than an hour (also across midnight) and no
/// rehearsal started since then, or the last rehearsal is older than the slot before (two slots
/// missed: it runs at once). A last rehearsal dated after \a now (clock set back) does not hold the
/// next one back.
bool rehearsalDue(const QString &rehearsalTime, const QDateTime &lastRehearsal, const QDateTime &now);

} // namespace garvina
