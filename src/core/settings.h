#pragma once

#include "config/profilefile.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace garvina {

/// \brief One key of the configuration file: where it is, the value taken when it is absent, and
/// what a value must look like to be read as meant.
struct SettingKey
{
    enum class Form
    {
        Text,   ///< any text
        Choice, ///< one of choices
        Time,   ///< hh:mm:ss, or empty (none)
        Number, ///< a whole number from min to max
        Path,   ///< an absolute path
        Date,   ///< yyyy-MM-dd
    };
    QString section;
    QString key;
    QString fallback;
    Form form = Form::Text;
    QStringList choices;
    int min = 0;
    int max = 0;
    bool secret = false; ///< its value is never shown (the password)
};

/// \brief Every key of the configuration file that people set, with its default: what the console
/// takes for an absent key, what the settings window shows and what a first start writes.
///
/// The backup times are the exception: the schedule counts an absent time as none, while the window
/// offers (and a first start writes) 12:00, 16:00 and 20:00.
QList<SettingKey> settingKeys();

/// The key \a key of \a section; a Text key without a default for one that is not in the list.
SettingKey settingKey(const QString &section, const QString &key);

/// The value of \a key in \a section of \a file, its default when it is absent.
QString readSetting(const ProfileFile &file, const QString &section, const QString &key);

/// Whether \a value reads as a value of \a setting.
bool settingReadable(const SettingKey &setting, const QString &value);

/// \brief The configuration a service without one starts with: the schedule the settings window
/// offers (backups at 12:00, 16:00 and 20:00, kept and rehearsed as by default), the ports and the
/// backup folder, no password.
QList<ProfileFile::Entry> defaultConfiguration();

/// \brief The keys in \a file whose value cannot be read as meant, each as "[section] key=value"
/// (a secret one without its value).
QStringList unreadableSettings(const ProfileFile &file);

} // namespace garvina
