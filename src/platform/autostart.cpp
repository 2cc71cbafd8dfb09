#include "autostart.h"

#include "platform/filesystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString GroupLine = u"[Desktop Entry]"_s;

/// Characters that the desktop entry format reserves in an Exec= argument: an argument holding one
/// of them must be quoted.
bool isReserved(QChar c)
{
    static const QString reserved = u" \t\n\"'\\><~|&;$*?#()`"_s;
    return reserved.contains(c);
}

QString quoteArgument(const QString &argument)
{
    QString out;
    const bool quote = argument.isEmpty() || std::any_of(argument.begin(), argument.end(), isReserved);
    if (quote)
        out += u'"';
    for (const QChar c : argument) {
        if (quote && (c == u'"' || c == u'`' || c == u'$' || c == u'\\'))
            out += u'\\';
        out += c;
        // A lone "%" would start a field code that the desktop replaces.
        if (c == u'%')
            out += u'%';
    }
    if (quote)
        out += u'"';
    return out;
}

/// The escapes of every desktop entry string value; applied before the Exec= quoting rules.
QString escapeString(const QString &value)
{
    QString out;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case u'\\':
            out += u"\\\\"_s;
            break;
        case u'\n':
            out += u"\\n"_s;
            break;
        case u'\t':
            out += u"\\t"_s;
            break;
        case u'\r':
            out += u"\\r"_s;
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString unescapeString(const QString &value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != u'\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case u's':
            out += u' ';
            break;
        case u'n':
            out += u'\n';
            break;
        case u't':
            out += u'\t';
            break;
        case u'r':
            out += u'\r';
            break;
        case u'\\':
            out += u'\\';
            break;
        default:
            // Not a string escape: it belongs to the quoting rules, read later.
            out += c;
            out += next;
        }
    }
    return out;
}

} // namespace

AutostartEntry::AutostartEntry(QString name, QString displayName)
    : m_name(std::move(name)), m_displayName(std::move(displayName))
{}

QString AutostartEntry::folder()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString base =
        (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) ? xdg : QDir::homePath() + u"/.config"_s;
    return QDir::cleanPath(base + u"/autostart"_s);
}

QString AutostartEntry::filePath() const
{
    return folder() + u'/' + m_name + u".desktop"_s;
}

QString AutostartEntry::encodeExec(const QStringList &command)
{
    QStringList quoted;
    for (const QString &argument : command)
        quoted.append(quoteArgument(argument));
    return escapeString(quoted.join(u' '));
}

QStringList AutostartEntry::decodeExec(const QString &value)
{
    const QString text = unescapeString(value);
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"') {
                quoted = false;
            } else if (c == u'\\' && i + 1 < text.size() && QStringView(u"\"`$\\").contains(text.at(i + 1))) {
                current += text.at(++i);
            } else {
                current += c;
            }
        } else if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inArgument)
                arguments.append(current);
            current.clear();
            inArgument = false;
        } else if (c == u'"') {
            quoted = true;
            inArgument = true;
        } else if (c == u'\\' && i + 1 < text.size()) {
            current += text.at(++i);
            inArgument = true;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.append(current);
    for (QString &argument : arguments)
        argument.replace(u"%%"_s, u"%"_s);
    return arguments;
}

std::optional<QStringList> AutostartEntry::command() const
{
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QString text = QString::fromUtf8(file.readAll());
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;

    bool inGroup = false;
    for (QStringView line : QStringView(text).split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u'[')) {
            inGroup = line == GroupLine;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && line.left(eq).trimmed() == u"Exec")
            return decodeExec(line.mid(eq + 1).trimmed().toString());
    }
    return QStringList();
}

bool AutostartEntry::setCommand(const QStringList &command) const
{
    if (!QDir().mkpath(folder()))
        return false;
    const QString name = m_displayName.isEmpty() ? m_name : m_displayName;
    const QString text = GroupLine + u"\nType=Application\nName="_s + escapeString(name) + u"\nExec="_s +
                         encodeExec(command) + u"\nTerminal=false\n"_s;
    return LinuxFileSystem().replaceFile(filePath(), text.toUtf8()).ok();
}

bool AutostartEntry::remove() const
{
    const QFileInfo info(filePath());
    if (!info.exists() && !info.isSymLink())
        return true;
    return QFile::remove(filePath());
}

} // namespace garvina
