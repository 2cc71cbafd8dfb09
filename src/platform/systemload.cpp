#include "systemload.h"

#include <QFile>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString loadAverageText()
{
    QFile f(u"/proc/loadavg"_s);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(f.readAll()).section(u' ', 0, 2);
}

QString dirtyMemoryText()
{
    QFile f(u"/proc/meminfo"_s);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("Dirty:"))
            return QString::fromLatin1(line.simplified());
    }
    return QString();
}

} // namespace garvina
