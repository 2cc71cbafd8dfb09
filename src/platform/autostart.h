#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace garvina {

/// \brief The per-user XDG autostart entry that starts a program with the desktop session.
///
/// It stands in for the Run value of the Windows edition: the entry's Exec= line is the value's
/// data, writing the value writes the file, deleting the value deletes the file. The file is
/// `$XDG_CONFIG_HOME/autostart/<name>.desktop`, or `~/.config/autostart/<name>.desktop` when
/// XDG_CONFIG_HOME is unset or not an absolute path.
class AutostartEntry
{
public:
    /// \a name is the file's base name, \a displayName the entry's Name= (the desktop shows it in its
    /// list of programs started at log-in).
    explicit AutostartEntry(QString name, QString displayName = QString());

    /// The autostart folder of the current user, read from the environment at each call.
    static QString folder();
    QString filePath() const;

    /// \brief The command the entry starts: program and arguments, as the desktop splits its Exec=
    /// line (quotes and escapes removed).
    ///
    /// No value when there is no entry or it cannot be read; an empty list for an entry without
    /// an Exec= line.
    std::optional<QStringList> command() const;

    /// \brief Writes the entry (Type=Application, Name=, Exec=, Terminal=false), replacing any entry
    /// of that name; creates the folders as needed.
    ///
    /// The file is written beside the old one and renamed over it, so an entry is never left half
    /// written. False when nothing was written.
    bool setCommand(const QStringList &command) const;

    /// Deletes the entry; true when there is none afterwards.
    bool remove() const;

    /// \brief An Exec= value that runs \a command: arguments holding blanks or other characters the
    /// desktop reserves are quoted, "%" is doubled, and the value is escaped as a desktop string.
    static QString encodeExec(const QStringList &command);
    /// The program and arguments of an Exec= value as the desktop reads it.
    static QStringList decodeExec(const QString &value);

private:
    QString m_name;
    QString m_displayName;
};

} // namespace garvina
