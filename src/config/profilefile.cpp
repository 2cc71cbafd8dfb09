#include "profilefile.h"

#include "platform/filesystem.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

// Larger files are not a configuration file of ours; refusing them keeps a stray huge file from
// stalling the console at every read.
constexpr qint64 MaxFileSize = 8 * 1024 * 1024;

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f';
}

QStringView trimBlanks(QStringView s)
{
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.mid(begin, end - begin);
}

bool sameName(QStringView a, QStringView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

/// The section name of a "[name]" line, or a null view when the line is not a section line.
QStringView sectionName(QStringView line)
{
    QStringView t = trimBlanks(line);
    if (t.isEmpty() || t.front() != u'[')
        return {};
    t = t.mid(1);
    const qsizetype close = t.indexOf(u']');
    if (close >= 0)
        t = t.left(close);
    return trimBlanks(t).isNull() ? QStringView(u"") : trimBlanks(t);
}

struct KeyLine
{
    QStringView key;
    QStringView value;
};

bool splitKeyLine(QStringView line, KeyLine &out)
{
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0)
        return false;
    out.key = trimBlanks(line.left(eq));
    out.value = trimBlanks(line.mid(eq + 1));
    return !out.key.isEmpty();
}

QString unquote(QStringView value)
{
    if (value.size() >= 2) {
        const QChar q = value.front();
        if ((q == u'"' || q == u'\'') && value.back() == q)
            return value.mid(1, value.size() - 2).toString();
    }
    return value.toString();
}

/// The file split into lines, with what is needed to write it back the same way.
struct Lines
{
    QStringList lines;
    QString eol = u"\n"_s;
    bool finalNewline = true;
};

Lines splitLines(const QString &text)
{
    Lines result;
    if (text.contains(u"\r\n"_s))
        result.eol = u"\r\n"_s;
    result.lines = text.split(u'\n');
    for (QString &line : result.lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
    }
    // "a\nb\n" splits into a, b and an empty piece: that piece is the final newline, not a line.
    if (!result.lines.isEmpty() && result.lines.constLast().isEmpty()) {
        result.lines.removeLast();
        result.finalNewline = true;
    } else {
        result.finalNewline = text.isEmpty();
    }
    return result;
}

QString joinLines(const Lines &l)
{
    QString text = l.lines.join(l.eol);
    if (l.finalNewline && !l.lines.isEmpty())
        text += l.eol;
    return text;
}

/// Reads the whole file. Returns false when the file exists but cannot be read.
bool loadFile(const QString &path, bool &exists, QByteArray &bytes)
{
    QFile file(path);
    exists = file.exists();
    if (!exists)
        return true;
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxFileSize)
        return false;
    bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

QString sanitized(const QString &s)
{
    // A line break inside a name or value would split it into lines of their own and could plant
    // keys the user never typed.
    QString out = s;
    out.replace(u'\r', u' ');
    out.replace(u'\n', u' ');
    return out;
}

} // namespace

QString ProfileFile::decode(const QByteArray &bytes)
{
    // Decided line by line, so that a value typed in GBK by the Windows edition reads right even when
    // another line of the file is UTF-8. A line feed never occurs inside a GBK or UTF-8 character.
    QString text;
    text.reserve(bytes.size());
    qsizetype start = 0;
    while (start <= bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        text += decodeLine(QByteArrayView(bytes).sliced(start, end - start));
        if (end < bytes.size())
            text += u'\n';
        start = end + 1;
    }
    return text;
}

namespace {

bool isHan(char32_t c)
{
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0xF900 && c <= 0xFAFF);
}

/// Characters GBK text of a Chinese shop is made of: ASCII, Han, and the full-width and CJK punctuation.
bool isChineseText(char32_t c)
{
    return c < 0x80 || isHan(c) || (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF00 && c <= 0xFFEF) ||
           (c >= 0x2010 && c <= 0x2027);
}

/// Characters that hardly occur in real text but are what GBK bytes turn into when read as UTF-8
/// (Latin-1 signs, Latin Extended, IPA, Greek, Cyrillic...): accented Latin letters are not among them.
bool isUnlikelyInText(char32_t c)
{
    const bool accentedLetter = c >= 0xC0 && c <= 0xFF && c != 0xD7 && c != 0xF7;
    return c >= 0x80 && c < 0x800 && !accentedLetter;
}

} // namespace

QString ProfileFile::decodeLine(QByteArrayView line)
{
    QStringDecoder utf8(QStringConverter::Utf8);
    const QString asUtf8 = utf8.decode(line);
    QStringDecoder gbk("GBK");
    if (!gbk.isValid())
        gbk = QStringDecoder("GB18030");
    if (!utf8.hasError()) {
        // Valid UTF-8 may still be GBK: 目录 in GBK (C4 BF C2 BC) reads as UTF-8 "Ŀ¼". Take the GBK
        // reading only when the UTF-8 one has no Han character but signs no text would hold, and the
        // GBK reading is plain Chinese text.
        bool hasHan = false;
        bool unlikely = false;
        for (char32_t c : asUtf8.toUcs4()) {
            hasHan = hasHan || isHan(c);
            unlikely = unlikely || isUnlikelyInText(c);
        }
        if (hasHan || !unlikely || !gbk.isValid())
            return asUtf8;
        const QString asGbk = gbk.decode(line);
        if (gbk.hasError())
            return asUtf8;
        const QList<uint> chars = asGbk.toUcs4();
        const bool chinese = std::all_of(chars.begin(), chars.end(), [](uint c) { return isChineseText(c); });
        return chinese ? asGbk : asUtf8;
    }
    return gbk.isValid() ? gbk.decode(line) : asUtf8;
}

QString ProfileFile::read(const QString &section, const QString &key, const QString &defaultValue) const
{
    bool exists = false;
    QByteArray bytes;
    if (!loadFile(m_path, exists, bytes) || !exists)
        return defaultValue;

    const QString text = decode(bytes);
    const QStringView wantedSection = trimBlanks(section);
    const QStringView wantedKey = trimBlanks(key);
    bool inSection = false;
    bool sectionSeen = false;
    for (QStringView line : QStringView(text).split(u'\n')) {
        const QStringView name = sectionName(line);
        if (!name.isNull()) {
            // Only the first section of that name counts.
            if (sectionSeen)
                return defaultValue;
            inSection = sameName(name, wantedSection);
            sectionSeen = inSection;
            continue;
        }
        KeyLine kv;
        if (inSection && splitKeyLine(line, kv) && sameName(kv.key, wantedKey))
            return unquote(kv.value);
    }
    return defaultValue;
}

bool ProfileFile::write(const QString &section, const QString &key, const QString &value) const
{
    return write(QList<Entry>{{section, key, value}});
}

namespace {

void setValue(QStringList &lines, const QString &section, const QString &key, const QString &value)
{
    qsizetype sectionLine = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringView name = sectionName(lines.at(i));
        if (!name.isNull() && sameName(name, section)) {
            sectionLine = i;
            break;
        }
    }

    if (sectionLine < 0) {
        if (!lines.isEmpty() && !trimBlanks(lines.constLast()).isEmpty())
            lines.append(QString());
        lines.append(u'[' + section + u']');
        lines.append(key + u'=' + value);
        return;
    }
    qsizetype end = sectionLine + 1;
    while (end < lines.size() && sectionName(lines.at(end)).isNull())
        ++end;
    for (qsizetype i = sectionLine + 1; i < end; ++i) {
        KeyLine kv;
        if (splitKeyLine(lines.at(i), kv) && sameName(kv.key, key)) {
            lines[i] = kv.key.toString() + u'=' + value;
            return;
        }
    }
    // New keys go after the section's last non-blank line, not after the blank lines that
    // separate it from the next section.
    qsizetype insertAt = end;
    while (insertAt > sectionLine + 1 && trimBlanks(lines.at(insertAt - 1)).isEmpty())
        --insertAt;
    lines.insert(insertAt, key + u'=' + value);
}

} // namespace

bool ProfileFile::write(const QList<Entry> &entries) const
{
    QString path = m_path;
    const QFileInfo info(path);
    if (info.isSymLink()) {
        // Keep the link: replace the file it points to.
        const QString target = info.symLinkTarget();
        if (!target.isEmpty())
            path = target;
    }

    bool exists = false;
    QByteArray bytes;
    if (!loadFile(path, exists, bytes))
        return false; // never replace a file whose contents we could not read

    const LinuxFileSystem systemFiles;
    const FileSystem &files = m_files ? *m_files : systemFiles;
    uint mode = 0600;
    if (exists) {
        const std::optional<FileSystem::Identity> file = files.identity(path);
        if (!file)
            return false;
        // The owner's write bit plays the part of the read-only attribute, also for root.
        if (!(file->mode & 0200))
            return false;
        mode = file->mode & 0700;
    }

    Lines file = splitLines(decode(bytes));
    for (const Entry &e : entries) {
        setValue(file.lines, sanitized(trimBlanks(e.section).toString()),
                 sanitized(trimBlanks(e.key).toString()), sanitized(e.value));
    }
    file.finalNewline = true;
    return files.replaceFile(path, joinLines(file).toUtf8(), mode).ok();
}

bool ProfileFile::keepPrivate() const
{
    QFile file(m_path);
    if (!file.exists())
        return true;
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    const QFileDevice::Permissions now = file.permissions();
    return !(now & others) || file.setPermissions(now & ~others);
}

} // namespace garvina
