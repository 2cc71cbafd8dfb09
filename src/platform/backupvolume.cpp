#include "backupvolume.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sys/stat.h>
#include <sys/statvfs.h>

using namespace Qt::Literals::StringLiterals;

namespace garvina::backupvolume {

namespace {

/// mountinfo writes blanks, tabs, newlines and backslashes in paths as three-digit octal escapes.
QString unescapeMountPath(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(static_cast<char>(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}

QStringList mountPoints()
{
    QStringList points;
    QFile f(u"/proc/self/mountinfo"_s);
    if (!f.open(QIODevice::ReadOnly))
        return points;
    // Fields: id, parent id, major:minor, root, mount point, ...
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4)
            points.append(unescapeMountPath(fields[4]));
    }
    return points;
}

bool isAtOrBelow(const QString &path, const QString &dir)
{
    return dir == u"/"_s || path == dir || path.startsWith(dir + u'/');
}

} // namespace

std::optional<quint64> availableBytes(const QString &path)
{
    struct statvfs st
    {
    };
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<quint64>(st.f_bavail) * static_cast<quint64>(st.f_frsize);
}

std::optional<quint64> deviceOf(const QString &path)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<quint64>(st.st_dev);
}

QString nearestExisting(const QString &path)
{
    QString current = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    while (!QFileInfo::exists(current) && current != u"/"_s)
        current = QFileInfo(current).path();
    return current;
}

QString mountPointOf(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString target = canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
    QString best = u"/"_s;
    for (const QString &point : mountPoints()) {
        if (isAtOrBelow(target, point) && point.size() > best.size())
            best = point;
    }
    return best;
}

bool isMountPoint(const QString &dir)
{
    const QString clean = QDir::cleanPath(dir);
    return mountPoints().contains(clean);
}

} // namespace garvina::backupvolume
