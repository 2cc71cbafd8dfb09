#include "backuphealth.h"

#include "maintenance/backupstate.h"

using namespace Qt::Literals::StringLiterals;

namespace garvina {

int alarmHoursFrom(const QString &value)
{
    bool ok = false;
    const int hours = value.trimmed().toInt(&ok);
    return ok && hours > 0 ? hours : 0;
}

bool backupAlarmDue(const BackupState &state, int alarmHours, const QDateTime &watchedSince,
                    bool serviceRunning, const QDateTime &now)
{
    if (alarmHours > 0 && serviceRunning && !state.lastGoodFolder.isEmpty() &&
        state.isFailed(state.lastGoodFolder))
        return true;
    return ageAlarmDue(state.lastGoodTime.isValid() ? state.lastGoodTime : watchedSince, alarmHours,
                       serviceRunning, now);
}

bool ageAlarmDue(const QDateTime &since, int hours, bool serviceRunning, const QDateTime &now)
{
    if (hours <= 0 || !serviceRunning || !since.isValid())
        return false;
    if (since > now.addSecs(3600))
        return true;
    return since.secsTo(now) >= qint64(hours) * 3600;
}

BackupAlarm::Step BackupAlarm::update(bool due, const QDateTime &now)
{
    Step step;
    if (!due) {
        step.cleared = m_up;
        m_up = false;
        m_lastBalloon = QDateTime();
        return step;
    }
    step.raised = !m_up;
    m_up = true;
    // A clock set back must not silence the alarm until it has caught up again.
    if (!m_lastBalloon.isValid() || m_lastBalloon.secsTo(now) >= 3600 || now < m_lastBalloon) {
        step.balloon = true;
        m_lastBalloon = now;
    }
    return step;
}

QString backupAlarmText(int alarmHours)
{
    return u"最近"_s + QString::number(alarmHours) + u"小时内没有成功的备份,请检查备份目录和备份磁盘!"_s;
}

QString lastGoodBackupLine(const BackupState &state)
{
    const QDateTime t = state.goodSince();
    if (!t.isValid())
        return u"<<暂没有成功的备份>>"_s;
    return u"上次成功备份时间："_s + t.toString(u"yyyy-MM-dd HH:mm:ss"_s);
}

bool rehearsalDue(const QString &rehearsalTime, const QDateTime &lastRehearsal, const QDateTime &now)
{
    const QTime at = QTime::fromString(rehearsalTime.trimmed(), u"HH:mm:ss"_s);
    if (!at.isValid())
        return false;
    // The latest slot at or before now: the hour after a slot late in the evening runs past midnight.
    QDateTime slot(now.date(), at);
    if (now < slot)
        slot = slot.addDays(-1);
    const bool since = lastRehearsal.isValid() && lastRehearsal >= slot && lastRehearsal <= now;
    if (slot.secsTo(now) < 3600)
        return !since;
    // Outside the hour only when the slot before was missed as well (the console was busy, stopped
    // or its clock jumped over both): a backup goes no longer than a day unproved.
    return lastRehearsal.isValid() && lastRehearsal < slot.addDays(-1);
}

} // namespace garvina
