#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtEndian>

namespace garvina::test {

/// \brief Overwrites the middle one of the data pages that belong to table \a relationId in the
/// closed database \a file with garbage, as a failing disk sector would. The page size comes from
/// the file's header page. Returns the damaged page's number, or -1 when the table has no data page.
inline qint64 damageMiddleDataPage(const QString &file, int relationId)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadWrite))
        return -1;
    const QByteArray header = f.read(32);
    if (header.size() < 32)
        return -1;
    // Every page starts with its type (1 byte, 5 = data); the header page holds the page size at
    // offset 16, a data page its table's id at offset 20, both little-endian on this platform.
    const int pageSize = qFromLittleEndian<quint16>(header.constData() + 16);
    if (pageSize < 1024)
        return -1;
    QList<qint64> pages;
    for (qint64 page = 1; f.seek(page * pageSize); ++page) {
        const QByteArray head = f.read(24);
        if (head.size() < 24)
            break;
        if (quint8(head.at(0)) == 5 && qFromLittleEndian<quint16>(head.constData() + 20) == relationId)
            pages.append(page);
    }
    if (pages.isEmpty())
        return -1;
    const qint64 victim = pages.at(pages.size() / 2);
    QByteArray garbage(pageSize, '\0');
    for (int i = 0; i < pageSize; ++i)
        garbage[i] = char((i * 37 + 11) & 0xff);
    if (!f.seek(victim * pageSize) || f.write(garbage) != pageSize || !f.flush())
        return -1;
    return victim;
}

} // namespace garvina::test
