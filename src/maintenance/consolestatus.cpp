#include "consolestatus.h"

#include "maintenance/schedule.h"

#include <QHash>
#include <QStringList>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

QString engineField(const ConsoleStatus &s)
{
    if (s.engineUp)
        return u"running"_s;
    return s.serviceOn ? u"down"_s : u"stopped"_s;
}

std::optional<WorkKind> workFromName(const QString &name)
{
    for (WorkKind kind : {WorkKind::None, WorkKind::StartStop, WorkKind::Backup, WorkKind::Restore,
                          WorkKind::Rebuild, WorkKind::Rehearsal, WorkKind::Offsite}) {
        if (workKindName(kind) == name)
            return kind;
    }
    return std::nullopt;
}

} // namespace

bool ConsoleStatus::operator==(const ConsoleStatus &o) const
{
    return serviceOn == o.serviceOn && engineUp == o.engineUp && enginePort == o.enginePort &&
           clientUp == o.clientUp && clientPort == o.clientPort && work == o.work && lastGood == o.lastGood &&
           alarm == o.alarm && nextBackup == o.nextBackup && nextBackupLine == o.nextBackupLine &&
           lastGoodLine == o.lastGoodLine && alarmText == o.alarmText && alarmHours == o.alarmHours &&
           lastBackupError == o.lastBackupError && offsiteOn == o.offsiteOn &&
           offsiteAlarm == o.offsiteAlarm && offsiteAlarmText == o.offsiteAlarmText &&
           lastOffsiteLine == o.lastOffsiteLine;
}

void StatusModel::set(const ConsoleStatus &status)
{
    if (status == m_status)
        return;
    m_status = status;
    Q_EMIT changed(m_status);
}

QString statusText(const ConsoleStatus &s)
{
    QStringList lines;
    lines << u"数据库服务: "_s +
                 (s.engineUp ? u"运行中 (端口 "_s + QString::number(s.enginePort) + u')' : u"已停止"_s);
    lines << u"客户端连接服务: "_s +
                 (s.clientUp ? u"运行中 (端口 "_s + QString::number(s.clientPort) + u')' : u"已停止"_s);
    // The next backup with its date, also when it is tomorrow's; a console that sends no date has
    // its own line read.
    if (!s.serviceOn)
        lines << u"服务端已停止,不执行备份任务"_s;
    else if (s.nextBackup.isValid())
        lines << nextBackupLine(s.nextBackup.time(), s.nextBackup.date());
    else
        lines << s.nextBackupLine;
    lines << s.lastGoodLine;
    lines << u"备份警告: "_s + (s.alarm ? s.alarmText : u"无"_s);
    if (!s.lastBackupError.isEmpty())
        lines << u"上次备份失败: "_s + QString(s.lastBackupError).replace(u'\n', u' ');
    if (s.offsiteOn) {
        lines << s.lastOffsiteLine;
        lines << u"异地备份警告: "_s + (s.offsiteAlarm ? s.offsiteAlarmText : u"无"_s);
    }
    return lines.join(u'\n');
}

QString statusFields(const ConsoleStatus &s)
{
    QStringList lines;
    lines << u"service="_s + (s.serviceOn ? u"on"_s : u"off"_s);
    lines << u"engine="_s + engineField(s);
    lines << u"engine_port="_s + QString::number(s.enginePort);
    lines << u"client="_s + (s.clientUp ? u"running"_s : u"stopped"_s);
    lines << u"client_port="_s + QString::number(s.clientPort);
    lines << u"work="_s + workKindName(s.work);
    lines << u"last_good="_s + (s.lastGood.isValid() ? s.lastGood.toString(Qt::ISODate) : QString());
    lines << u"alarm="_s + (s.alarm ? u"1"_s : u"0"_s);
    // The texts keep their own line breaks out of the fields: one "next=" … line each.
    lines << u"next_at="_s + (s.nextBackup.isValid() ? s.nextBackup.toString(Qt::ISODate) : QString());
    lines << u"next="_s + QString(s.nextBackupLine).replace(u'\n', u' ');
    lines << u"last_good_text="_s + QString(s.lastGoodLine).replace(u'\n', u' ');
    lines << u"alarm_text="_s + QString(s.alarmText).replace(u'\n', u' ');
    lines << u"alarm_hours="_s + QString::number(s.alarmHours);
    lines << u"last_error="_s + QString(s.lastBackupError).replace(u'\n', u' ');
    lines << u"offsite="_s + (s.offsiteOn ? u"on"_s : u"off"_s);
    lines << u"offsite_alarm="_s + (s.offsiteAlarm ? u"1"_s : u"0"_s);
    lines << u"offsite_text="_s + QString(s.lastOffsiteLine).replace(u'\n', u' ');
    lines << u"offsite_alarm_text="_s + QString(s.offsiteAlarmText).replace(u'\n', u' ');
    for (const QString &line : statusText(s).split(u'\n'))
        lines << u"text="_s + line;
    return lines.join(u'\n');
}

std::optional<ConsoleStatus> parseStatusFields(const QString &text)
{
    QHash<QString, QString> fields;
    for (const QString &line : text.split(u'\n')) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString name = line.left(eq).trimmed();
        if (name != u"text"_s)
            fields.insert(name, line.mid(eq + 1).trimmed());
    }
    const auto required = {u"service"_s, u"engine"_s, u"client"_s, u"work"_s, u"alarm"_s};
    for (const QString &name : required) {
        if (!fields.contains(name))
            return std::nullopt;
    }
    const QString engine = fields.value(u"engine"_s);
    const QString client = fields.value(u"client"_s);
    const QString service = fields.value(u"service"_s);
    const QString alarm = fields.value(u"alarm"_s);
    const auto work = workFromName(fields.value(u"work"_s));
    if ((engine != u"running"_s && engine != u"stopped"_s && engine != u"down"_s) ||
        (client != u"running"_s && client != u"stopped"_s) || (service != u"on"_s && service != u"off"_s) ||
        (alarm != u"0"_s && alarm != u"1"_s) || !work)
        return std::nullopt;
    ConsoleStatus s;
    s.serviceOn = service == u"on"_s;
    s.engineUp = engine == u"running"_s;
    s.enginePort = fields.value(u"engine_port"_s).toInt();
    s.clientUp = client == u"running"_s;
    s.clientPort = fields.value(u"client_port"_s).toInt();
    s.work = *work;
    s.lastGood = QDateTime::fromString(fields.value(u"last_good"_s), Qt::ISODate);
    s.alarm = alarm == u"1"_s;
    s.nextBackup = QDateTime::fromString(fields.value(u"next_at"_s), Qt::ISODate);
    s.nextBackupLine = fields.value(u"next"_s);
    s.lastGoodLine = fields.value(u"last_good_text"_s);
    s.alarmText = fields.value(u"alarm_text"_s);
    s.alarmHours = fields.value(u"alarm_hours"_s).toInt();
    s.lastBackupError = fields.value(u"last_error"_s);
    // A peer of an older version sends no off-site fields: none configured.
    s.offsiteOn = fields.value(u"offsite"_s) == u"on"_s;
    s.offsiteAlarm = fields.value(u"offsite_alarm"_s) == u"1"_s;
    s.lastOffsiteLine = fields.value(u"offsite_text"_s);
    s.offsiteAlarmText = fields.value(u"offsite_alarm_text"_s);
    return s;
}

MonitoringVerdict monitoringVerdict(const ConsoleStatus &s, const QDateTime &now)
{
    const auto verdict = [](int code, const QString &why) {
        static const char *const words[] = {"OK", "WARNING", "CRITICAL"};
        return MonitoringVerdict{code, u"GARVINASERVER "_s + QLatin1String(words[code]) + u" - "_s + why};
    };
    if (!s.serviceOn)
        return verdict(2, u"服务端已停止,不执行备份任务"_s);
    if (!s.engineUp)
        return verdict(2, u"数据库服务: 已停止"_s);
    if (!s.clientUp)
        return verdict(2, u"客户端连接服务: 已停止"_s);
    if (s.alarm)
        return verdict(2, u"备份警告: "_s + s.alarmText);
    if (s.offsiteAlarm)
        return verdict(2, u"异地备份警告: "_s + s.offsiteAlarmText);
    if (!s.lastBackupError.isEmpty())
        return verdict(1, u"上次备份失败: "_s + QString(s.lastBackupError).replace(u'\n', u' '));
    // Near: within the alarm's last hour (a daily backup more than an hour late, say).
    if (s.alarmHours > 1 && s.lastGood.isValid() && s.lastGood.secsTo(now) >= qint64(s.alarmHours - 1) * 3600)
        return verdict(1, u"距上次成功备份已超过 "_s + QString::number(s.lastGood.secsTo(now) / 3600) +
                              u" 小时,接近备份警告的 "_s + QString::number(s.alarmHours) + u" 小时"_s);
    return verdict(0, s.lastGoodLine);
}

MonitoringVerdict unknownVerdict(const QString &why)
{
    return {3, u"GARVINASERVER UNKNOWN - "_s + why};
}

} // namespace garvina
