#include "dbheader.h"

#include <QFile>
#include <QtEndian>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

// The engine's on-disk layout (ODS 12): every page starts with a 16-byte header whose first byte is
// its type. Page 0 is the database header, page 1 the first page inventory page (PIP).
constexpr int PageTypeHeader = 1;
constexpr int PageTypeInventory = 2;
constexpr int HeaderPageSizeOffset = 16;
constexpr int HeaderFlagsOffset = 42;
constexpr quint16 BackupMask = 0x0C00;
constexpr quint16 BackupStalled = 0x0400;
constexpr quint16 BackupMerge = 0x0800;
// A PIP: page header, then pip_min, pip_extent, pip_used (pages allocated from it), then its bitmap.
constexpr int InventoryUsedOffset = 24;
constexpr int InventoryBitsOffset = 28;

quint16 u16(const QByteArray &page, int offset)
{
    return qFromLittleEndian<quint16>(page.constData() + offset);
}
quint32 u32(const QByteArray &page, int offset)
{
    return qFromLittleEndian<quint32>(page.constData() + offset);
}

QByteArray readPage(QFile &file, qint64 number, int pageSize)
{
    if (!file.seek(number * pageSize))
        return {};
    const QByteArray page = file.read(pageSize);
    return page.size() == pageSize ? page : QByteArray();
}

} // namespace

std::optional<DbHeader> readDbHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(64);
    if (head.size() < 64 || head.at(0) != PageTypeHeader)
        return std::nullopt;
    DbHeader header;
    header.pageSize = u16(head, HeaderPageSizeOffset);
    if (header.pageSize < 1024 || header.pageSize > 32768 || (header.pageSize & (header.pageSize - 1)) != 0)
        return std::nullopt;
    const quint16 flags = u16(head, HeaderFlagsOffset);
    header.lock = (flags & BackupMask) == BackupStalled ? BackupLock::Stalled
                  : (flags & BackupMask) == BackupMerge ? BackupLock::Merge
                                                        : BackupLock::None;

    // Follow the page inventory: PIP k (k ≥ 1) sits on the last page the PIP before it covers. The
    // last PIP that is not full tells how far the file was allocated.
    const qint64 perInventory = qint64(header.pageSize - InventoryBitsOffset) * 8;
    for (qint64 k = 0;; ++k) {
        const qint64 at = k == 0 ? 1 : k * perInventory - 1;
        const QByteArray pip = readPage(file, at, header.pageSize);
        if (pip.isEmpty()) {
            // The file ends before a page inventory page it must have.
            header.pagesInUse = at + 1;
            break;
        }
        if (pip.at(0) != PageTypeInventory)
            break; // not a layout this code knows: leave the count unknown beyond what was seen
        const qint64 used = u32(pip, InventoryUsedOffset);
        header.pagesInUse = k * perInventory + used;
        if (used < perInventory)
            break;
    }
    return header;
}

QString checkDatabaseSize(const QString &path)
{
    const std::optional<DbHeader> header = readDbHeader(path);
    if (!header)
        return u"not a database file"_s;
    const qint64 size = QFile(path).size();
    if (size % header->pageSize != 0)
        return u"file size %1 is not a whole number of %2-byte pages"_s.arg(size).arg(header->pageSize);
    if (header->pagesInUse > 0 && size / header->pageSize < header->pagesInUse)
        return u"file holds %1 pages, the database has %2"_s.arg(size / header->pageSize)
            .arg(header->pagesInUse);
    return QString();
}

BackupLock backupLockOf(const QString &file)
{
    const std::optional<DbHeader> header = readDbHeader(file);
    return header ? header->lock : BackupLock::None;
}

} // namespace garvina
