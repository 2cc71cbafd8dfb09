#include "schedule.h"

#include "config/profilefile.h"
#include "core/settings.h"

#include <QDir>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

BackupConfig BackupConfig::read(const ProfileFile &file)
{
    BackupConfig c;
    const QString s = u"backup"_s;
    c.backuptype = readSetting(file, s, u"backuptype"_s);
    // An absent time is none here; the settings window offers its default.
    c.backuptime1 = file.read(s, u"backuptime1"_s, u"00:00:00"_s);
    c.backuptime2 = file.read(s, u"backuptime2"_s, u"00:00:00"_s);
    c.backuptime3 = file.read(s, u"backuptime3"_s, u"00:00:00"_s);
    c.backuphour = readSetting(file, s, u"backuphour"_s);
    c.backuppath = readSetting(file, s, u"backuppath"_s);
    return c;
}

QTime nextBackupTime(const BackupConfig &config, const QTime &now)
{
    const QTime none(0, 0, 0);
    if (config.backuptype == u"1"_s) {
        // Times are compared as "hh:mm:ss" text, which orders zero-padded times correctly.
        const QString nowText = now.toString(u"HH:mm:ss"_s);
        QString best;
        for (const QString &t : {config.backuptime1, config.backuptime2, config.backuptime3}) {
            if (t > nowText && (best.isEmpty() || t < best))
                best = t;
        }
        const QTime parsed = QTime::fromString(best, u"HH:mm:ss"_s);
        return parsed.isValid() ? parsed : none;
    }

    bool isNumber = false;
    const int n = config.backuphour.trimmed().toInt(&isNumber);
    // An interval of 0, a negative one or a text that is no number cannot be computed with.
    if (!isNumber || n <= 0)
        return none;
    for (int h = now.hour() + 1; h <= 24; ++h) {
        if (h == 24) {
            if (24 % n == 0)
                return QTime(0, 1, 0);
        } else if (h % n == 0) {
            return QTime(h, 0, 0);
        }
    }
    return none;
}

QDateTime nextBackupAt(const BackupConfig &config, const QDateTime &now)
{
    const QTime none(0, 0, 0);
    const QTime today = nextBackupTime(config, now.time());
    if (today != none) {
        const QDateTime at(now.date(), today);
        // 00:01:00 computed in the evening is one minute past the coming midnight.
        return at > now ? at : at.addDays(1);
    }
    // Tomorrow's first time is the first one after its midnight.
    const QTime tomorrow = nextBackupTime(config, none);
    return tomorrow == none ? QDateTime() : QDateTime(now.date().addDays(1), tomorrow);
}

QString nextBackupLine(const QTime &it_backup_time, const QDate &today)
{
    if (it_backup_time == QTime(0, 0, 0))
        return u"<<暂没有备份任务执行>>"_s;
    return u"下次自动备份时间："_s + today.toString(u"yyyy-MM-dd"_s) + u' ' +
           it_backup_time.toString(u"HH:mm:ss"_s);
}

QString BackupSchedule::wf_get_exit_backup_time(const BackupConfig &config, const QDateTime &now)
{
    m_is_backup_path = config.backuppath;
    if (!m_is_backup_path.endsWith(u'/'))
        m_is_backup_path += u'/';
    m_it_backup_time = nextBackupTime(config, now.time());
    m_nextAt = nextBackupAt(config, now);
    // Tomorrow's first backup is due only after the midnight recomputation.
    m_dueAt = m_it_backup_time == QTime(0, 0, 0) ? QDateTime() : m_nextAt;
    m_line = nextBackupLine(m_it_backup_time, now.date());
    return m_line;
}

QString BackupSchedule::clockText(const QDateTime &now)
{
    return now.toString(u"yyyy-MM-dd HH:mm:ss"_s);
}

BackupSchedule::TickResult BackupSchedule::tick(const QDateTime &now, bool serviceRunning,
                                                const std::function<BackupConfig()> &config,
                                                const BackupFunction &backup)
{
    TickResult r;
    r.clock = clockText(now);
    const QDateTime previous =
        m_previousTick.isValid() && m_previousTick < now ? m_previousTick : now.addSecs(-1);
    m_previousTick = now;

    // Midnight: a new day makes its fixed times and interval hours reachable again; a pending
    // 00:01:00 is kept.
    if (previous.date() < now.date() && m_it_backup_time != QTime(0, 1, 0)) {
        wf_get_exit_backup_time(config(), QDateTime(now.date(), QTime(0, 0, 0)));
        r.recomputed = true;
    }

    const bool reached = m_dueAt.isValid() && previous < m_dueAt && m_dueAt <= now;
    if (!reached || !serviceRunning)
        return r;

    const QString d = now.date().toString(u"yyyy-MM-dd "_s);
    const QString t = m_it_backup_time.toString(u"HH:mm:ss"_s);
    m_is_backup_error.clear();
    r.backupRan = true;
    r.backupOk = backup(m_is_backup_path, m_is_backup_error);
    if (!r.backupOk) {
        r.logLine = d + t + u':' + m_is_backup_error;
        r.error = m_is_backup_error;
        r.balloonTitle = u"备份出错"_s;
        r.balloonText = d + t + u" 备份数据库出错!"_s;
    } else {
        r.balloonTitle = u"温馨提示"_s;
        r.balloonText = d + t + u" 备份数据库成功!"_s;
    }
    // Computed from the tick's time: a time that fell due while the backup ran is caught by the next tick.
    wf_get_exit_backup_time(config(), now);
    r.recomputed = true;
    return r;
}

} // namespace garvina
