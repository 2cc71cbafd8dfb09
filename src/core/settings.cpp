#include "settings.h"

#include "core/appcontext.h"
#include "core/shopfiles.h"

#include <QDate>
#include <QDir>
#include <QTime>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

SettingKey make(const QString &section, const QString &key, const QString &fallback, SettingKey::Form form,
                const QStringList &choices = {}, int min = 0, int max = 0)
{
    SettingKey setting;
    setting.section = section;
    setting.key = key;
    setting.fallback = fallback;
    setting.form = form;
    setting.choices = choices;
    setting.min = min;
    setting.max = max;
    return setting;
}
SettingKey flag(const QString &section, const QString &key)
{
    return make(section, key, u"0"_s, SettingKey::Form::Choice, {u"0"_s, u"1"_s});
}
SettingKey time(const QString &key, const QString &fallback)
{
    return make(u"backup"_s, key, fallback, SettingKey::Form::Time);
}
SettingKey number(const QString &section, const QString &key, const QString &fallback, int min, int max)
{
    return make(section, key, fallback, SettingKey::Form::Number, {}, min, max);
}
SettingKey secret(const QString &section, const QString &key)
{
    SettingKey setting = make(section, key, QString(), SettingKey::Form::Text);
    setting.secret = true;
    return setting;
}

// The backup folder's default follows the home folder: settingKey() and settingKeys() fill it in.
const QList<SettingKey> &table()
{
    static const QList<SettingKey> keys{
        number(u"server"_s, u"dataport"_s, u"2638"_s, 1, 65535),
        number(u"system"_s, u"sockect"_s, u"2639"_s, 1, 65535),
        flag(u"system"_s, u"exitpass"_s),
        flag(u"system"_s, u"settingpass"_s),
        secret(u"system"_s, u"password"_s),
        flag(u"system"_s, u"start_min"_s),
        flag(u"dbunload"_s, u"dbunload"_s),
        make(u"dbunload"_s, u"dbunload_day"_s, u"2"_s, SettingKey::Form::Choice, {u"1"_s, u"2"_s, u"3"_s}),
        make(u"dbunload"_s, u"dbunload_date"_s, u"2013-01-01"_s, SettingKey::Form::Date),
        make(u"backup"_s, u"backuptype"_s, u"1"_s, SettingKey::Form::Choice, {u"0"_s, u"1"_s}),
        time(u"backuptime1"_s, u"12:00:00"_s),
        time(u"backuptime2"_s, u"16:00:00"_s),
        time(u"backuptime3"_s, u"20:00:00"_s),
        number(u"backup"_s, u"backuphour"_s, u"1"_s, 1, 23),
        make(u"backup"_s, u"backuppath"_s, QString(), SettingKey::Form::Path),
        number(u"backup"_s, u"keep_daily"_s, u"7"_s, 0, 100000),
        number(u"backup"_s, u"keep_weekly"_s, u"4"_s, 0, 100000),
        number(u"backup"_s, u"keep_monthly"_s, u"12"_s, 0, 100000),
        number(u"backup"_s, u"keep_safety"_s, u"3"_s, 0, 100000),
        number(u"backup"_s, u"alarm_hours"_s, u"26"_s, 0, 100000),
        time(u"rehearsal_time"_s, u"03:30:00"_s),
        make(u"upgrade"_s, u"server"_s, QString(), SettingKey::Form::Text),
        make(u"offsite"_s, u"repository"_s, QString(), SettingKey::Form::Text),
        make(u"offsite"_s, u"time"_s, u"21:00:00"_s, SettingKey::Form::Time),
        number(u"offsite"_s, u"alarm_hours"_s, u"48"_s, 0, 100000),
        number(u"offsite"_s, u"base_days"_s, u"7"_s, 1, 365),
        make(u"offsite"_s, u"ssh_identity"_s, QString(), SettingKey::Form::Text),
        make(u"offsite"_s, u"s3_access_key_id"_s, QString(), SettingKey::Form::Text),
        secret(u"offsite"_s, u"s3_secret_access_key"_s),
    };
    return keys;
}

SettingKey withFallback(SettingKey setting)
{
    if (setting.form == SettingKey::Form::Path)
        setting.fallback = defaultBackupPath();
    return setting;
}

} // namespace

QList<SettingKey> settingKeys()
{
    QList<SettingKey> keys;
    for (const SettingKey &setting : table())
        keys << withFallback(setting);
    return keys;
}

SettingKey settingKey(const QString &section, const QString &key)
{
    for (const SettingKey &setting : table()) {
        if (setting.section == section && setting.key == key)
            return withFallback(setting);
    }
    return make(section, key, QString(), SettingKey::Form::Text);
}

QString readSetting(const ProfileFile &file, const QString &section, const QString &key)
{
    return file.read(section, key, settingKey(section, key).fallback);
}

QString AppContext::readSetting(const QString &section, const QString &key) const
{
    return garvina::readSetting(config(), section, key);
}

bool settingReadable(const SettingKey &setting, const QString &value)
{
    const QString v = value.trimmed();
    switch (setting.form) {
    case SettingKey::Form::Text:
        return true;
    case SettingKey::Form::Choice:
        return setting.choices.contains(v);
    case SettingKey::Form::Time:
        return v.isEmpty() || QTime::fromString(v, u"HH:mm:ss"_s).isValid();
    case SettingKey::Form::Number: {
        bool ok = false;
        const int n = v.toInt(&ok);
        return ok && n >= setting.min && n <= setting.max;
    }
    case SettingKey::Form::Path:
        return QDir::isAbsolutePath(v);
    case SettingKey::Form::Date:
        return v.isEmpty() || QDate::fromString(v, u"yyyy-MM-dd"_s).isValid();
    }
    return false;
}

QList<ProfileFile::Entry> defaultConfiguration()
{
    QList<ProfileFile::Entry> entries;
    for (const SettingKey &setting : settingKeys()) {
        // The date of the last rebuild is the console's own record; password and update server
        // are the shop's to give.
        if (setting.fallback.isEmpty() || setting.key == u"dbunload_date"_s)
            continue;
        entries.append({setting.section, setting.key, setting.fallback});
    }
    return entries;
}

QStringList unreadableSettings(const ProfileFile &file)
{
    QStringList found;
    const QString absent(1, QChar(1));
    for (const SettingKey &setting : settingKeys()) {
        const QString value = file.read(setting.section, setting.key, absent);
        if (value == absent || settingReadable(setting, value))
            continue;
        found << u"["_s + setting.section + u"] "_s + setting.key +
                     (setting.secret ? QString() : u'=' + value);
    }
    return found;
}

} // namespace garvina
