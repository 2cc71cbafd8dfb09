#include "package.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

struct ArchiveCloser
{
    void operator()(archive *a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveCloser>;

/// The zip reader that trusts the central directory, the index every zip tool shows.
ArchivePtr openZip(const QString &zipPath, QString &error)
{
    ArchivePtr a(archive_read_new());
    archive_read_support_format_zip_seekable(a.get());
    if (archive_read_open_filename(a.get(), QFile::encodeName(zipPath).constData(), 64 * 1024) !=
        ARCHIVE_OK) {
        error = u"升级包不是完好的 zip 压缩包: "_s + QString::fromLocal8Bit(archive_error_string(a.get()));
        return nullptr;
    }
    return a;
}

QString entryName(archive_entry *entry)
{
    if (const char *utf8 = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(utf8);
    const char *raw = archive_entry_pathname(entry);
    return raw ? QString::fromUtf8(raw) : QString();
}

bool isProtected(const QString &path, const QStringList &protectedPaths)
{
    const QString lower = path.toLower();
    for (const QString &p : protectedPaths) {
        const QString guarded = p.toLower();
        // "*记录.txt": every name of the folder itself that ends so.
        if (guarded.startsWith(u'*') ? !lower.contains(u'/') && lower.endsWith(QStringView(guarded).mid(1))
            : guarded.endsWith(u'/') ? (lower + u'/').startsWith(guarded)
                                     : lower == guarded)
            return true;
    }
    return false;
}

QString readError(archive *a)
{
    const char *text = archive_error_string(a);
    return text ? QString::fromLocal8Bit(text) : u"未知错误"_s;
}

quint32 le(const QByteArray &b, qsizetype at, int bytes)
{
    quint32 v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | quint8(b.at(at + i));
    return v;
}

/// \brief Reads the Unix file types the central directory records and refuses every entry that is
/// neither a file, a folder nor a link (links are refused by the caller with their own reason).
///
/// The zip reader turns fifos and devices into plain files; they are refused here instead, so a
/// package that asks for one is not taken for a good package.
bool checkEntryTypes(const QString &zipPath, QString &error)
{
    QFile file(zipPath);
    if (!file.open(QIODevice::ReadOnly)) {
        error = u"无法读取升级包: "_s + file.errorString();
        return false;
    }
    const qint64 tailSize = std::min<qint64>(file.size(), 22 + 65535);
    if (!file.seek(file.size() - tailSize)) {
        error = u"无法读取升级包: "_s + file.errorString();
        return false;
    }
    const QByteArray tail = file.read(tailSize);
    const qsizetype end = tail.lastIndexOf(QByteArrayLiteral("PK\x05\x06"));
    if (end < 0 || tail.size() - end < 22) {
        error = u"升级包不是完好的 zip 压缩包: 没有目录"_s;
        return false;
    }
    const quint32 count = le(tail, end + 10, 2);
    const quint32 size = le(tail, end + 12, 4);
    const quint32 offset = le(tail, end + 16, 4);
    if (offset == 0xffffffffu || size == 0xffffffffu || count == 0xffffu ||
        qint64(offset) + size > file.size() || size > 64u * 1024 * 1024) {
        error = u"升级包不是完好的 zip 压缩包: 目录无效"_s;
        return false;
    }
    if (!file.seek(offset)) {
        error = u"无法读取升级包: "_s + file.errorString();
        return false;
    }
    const QByteArray dir = file.read(size);
    qsizetype at = 0;
    for (quint32 i = 0; i < count; ++i) {
        if (dir.size() - at < 46 || le(dir, at, 4) != 0x02014b50u) {
            error = u"升级包不是完好的 zip 压缩包: 目录无效"_s;
            return false;
        }
        const quint32 madeBy = le(dir, at + 4, 2);
        const quint32 nameLength = le(dir, at + 28, 2);
        const qsizetype next = at + 46 + nameLength + le(dir, at + 30, 2) + le(dir, at + 32, 2);
        if (next > dir.size()) {
            error = u"升级包不是完好的 zip 压缩包: 目录无效"_s;
            return false;
        }
        const quint32 type = (le(dir, at + 38, 4) >> 16) & 0170000;
        if ((madeBy >> 8) == 3 && type != 0 && type != 0100000 && type != 040000 && type != 0120000) {
            error = u"升级包中只能有文件和文件夹: "_s + QString::fromUtf8(dir.mid(at + 46, nameLength));
            return false;
        }
        at = next;
    }
    return true;
}

} // namespace

QString normalisePackagePath(const QString &raw, QString &error)
{
    if (raw.isEmpty() || raw.startsWith(u'/') || raw.contains(u'\\')) {
        error = u"升级包中的文件会写到程序目录之外: "_s + raw;
        return {};
    }
    for (const QChar c : raw) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            error = u"升级包中的文件名含有控制字符"_s;
            return {};
        }
    }
    QStringList parts = raw.split(u'/');
    // "skin/" names a folder and "a//b" is "a/b"; any "." or ".." part is refused, whatever it
    // would resolve to, so no spelling reaches a path the checks below did not see.
    parts.removeAll(QString());
    for (const QString &part : std::as_const(parts)) {
        if (part == u"."_s || part == u".."_s) {
            error = u"升级包中的文件名含有 \".\" 或 \"..\": "_s + raw;
            return {};
        }
    }
    if (parts.isEmpty()) {
        error = u"升级包中有空的文件名"_s;
        return {};
    }
    return parts.join(u'/');
}

bool listPackage(const QString &zipPath, const PackageRules &rules, QList<PackageEntry> &entries,
                 QString &error)
{
    entries.clear();
    if (!checkEntryTypes(zipPath, error))
        return false;
    ArchivePtr a = openZip(zipPath, error);
    if (!a)
        return false;
    QSet<QString> seen;
    QHash<QString, bool> kinds; // lower-case path → is a folder
    qint64 total = 0;
    archive_entry *entry = nullptr;
    for (;;) {
        const int r = archive_read_next_header(a.get(), &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK) {
            error = u"升级包不是完好的 zip 压缩包: "_s + readError(a.get());
            return false;
        }
        if (entries.size() >= rules.maxEntries) {
            error = u"升级包中的文件超过 %1 个"_s.arg(rules.maxEntries);
            return false;
        }
        const QString raw = entryName(entry);
        const QString path = normalisePackagePath(raw, error);
        if (path.isEmpty())
            return false;
        const mode_t type = archive_entry_filetype(entry);
        if (archive_entry_hardlink(entry) || archive_entry_symlink(entry) || type == AE_IFLNK) {
            error = u"升级包中不得有链接: "_s + raw;
            return false;
        }
        if (type != AE_IFREG && type != AE_IFDIR) {
            error = u"升级包中只能有文件和文件夹: "_s + raw;
            return false;
        }
        if (isProtected(path, rules.protectedPaths)) {
            error = u"升级包不得替换店铺的数据或设置: "_s + raw;
            return false;
        }
        const QString key = path.toLower();
        if (seen.contains(key)) {
            error = u"升级包中的文件重复: "_s + raw;
            return false;
        }
        seen.insert(key);
        PackageEntry e;
        e.path = path;
        e.folder = type == AE_IFDIR;
        if (!e.folder) {
            if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) < 0) {
                error = u"升级包中的文件没有注明大小: "_s + raw;
                return false;
            }
            e.size = archive_entry_size(entry);
            e.executable = (archive_entry_perm(entry) & 0111) != 0;
            total += e.size;
            if (total > rules.maxUnpackedBytes) {
                error = u"升级包解压后超过 %1 MB"_s.arg(rules.maxUnpackedBytes / (1024 * 1024));
                return false;
            }
        }
        kinds.insert(key, e.folder);
        entries.append(e);
    }
    // A file may not also be a folder of another entry ("skin" the file and "skin/bg.jpg").
    for (const PackageEntry &e : std::as_const(entries)) {
        const QStringList parts = e.path.toLower().split(u'/');
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const auto it = kinds.constFind(parts.mid(0, i).join(u'/'));
            if (it != kinds.constEnd() && !it.value()) {
                error = u"升级包中的文件与文件夹同名: "_s + e.path;
                return false;
            }
        }
    }
    return true;
}

bool unpackPackage(const QString &zipPath, const QString &staging, const QList<PackageEntry> &entries,
                   QString &error)
{
    QHash<QString, PackageEntry> byPath;
    for (const PackageEntry &e : entries)
        byPath.insert(e.path, e);
    ArchivePtr a = openZip(zipPath, error);
    if (!a)
        return false;
    const QString root = staging.endsWith(u'/') ? staging : staging + u'/';
    const QFile::Permissions folderMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                          QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                          QFile::ExeOther;
    const QFile::Permissions fileMode =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    archive_entry *entry = nullptr;
    for (;;) {
        const int r = archive_read_next_header(a.get(), &entry);
        if (r == ARCHIVE_EOF)
            return true;
        if (r != ARCHIVE_OK) {
            error = u"解压升级包出错: "_s + readError(a.get());
            return false;
        }
        QString ignored;
        const auto it = byPath.constFind(normalisePackagePath(entryName(entry), ignored));
        if (it == byPath.constEnd()) {
            error = u"升级包在检查后改变了"_s;
            return false;
        }
        const PackageEntry &e = it.value();
        const QString target = root + e.path;
        if (e.folder) {
            if (!QDir().mkpath(target) || !QFile::setPermissions(target, folderMode)) {
                error = u"无法建立文件夹 "_s + target;
                return false;
            }
            continue;
        }
        const QString parent = target.left(target.lastIndexOf(u'/'));
        if (!QDir().mkpath(parent)) {
            error = u"无法建立文件夹 "_s + parent;
            return false;
        }
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            error = u"无法写入 "_s + target + u": "_s + out.errorString();
            return false;
        }
        qint64 written = 0;
        for (;;) {
            const void *block = nullptr;
            size_t length = 0;
            la_int64_t offset = 0;
            const int d = archive_read_data_block(a.get(), &block, &length, &offset);
            if (d == ARCHIVE_EOF)
                break;
            if (d != ARCHIVE_OK) {
                error = u"解压升级包出错 ("_s + e.path + u"): "_s + readError(a.get());
                return false;
            }
            // Sparse blocks would leave holes; a package has none, and a gap counts as bytes too.
            if (offset != written) {
                error = u"解压升级包出错 ("_s + e.path + u"): 数据不连续"_s;
                return false;
            }
            written += qint64(length);
            if (written > e.size) {
                error = u"升级包中的文件解压后比注明的大: "_s + e.path;
                return false;
            }
            if (out.write(static_cast<const char *>(block), qint64(length)) != qint64(length)) {
                error = u"无法写入 "_s + target + u": "_s + out.errorString();
                return false;
            }
        }
        if (written != e.size) {
            error = u"升级包中的文件不完整: "_s + e.path;
            return false;
        }
        const QFile::Permissions mode =
            e.executable ? fileMode | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther : fileMode;
        if (!out.flush() || !out.setPermissions(mode)) {
            error = u"无法写入 "_s + target + u": "_s + out.errorString();
            return false;
        }
    }
}

} // namespace garvina
