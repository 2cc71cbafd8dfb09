#pragma once

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <algorithm>
#include <array>

#include <zlib.h>

namespace garvina::test {

/// \brief Writes a zip archive with entries, names and Unix modes exactly as given, so tests can make
/// packages the zip tool would refuse to make ("../x", "/x", links, forged sizes).
class TestZip
{
public:
    /// A stored entry. \a mode with type bits (0120777 for a link, whose data is its target) is
    /// written as it is; without them it is a file, or a folder when the name ends in "/".
    void add(const QByteArray &name, const QByteArray &data, int mode = 0644)
    {
        m_entries.append({name, data, mode, 0, quint32(data.size()), crc32(data), quint32(data.size())});
    }
    /// A deflated entry of \a size zero bytes, claiming \a declaredSize bytes (-1: the truth).
    void addZeros(const QByteArray &name, qint64 size, qint64 declaredSize = -1)
    {
        m_entries.append({name, deflatedZeros(size), 0644, 8, 0, zerosCrc(size),
                          quint32(declaredSize < 0 ? size : declaredSize)});
        m_entries.last().packedSize = quint32(m_entries.last().data.size());
    }

    QByteArray bytes() const
    {
        QByteArray out;
        QByteArray central;
        for (const Entry &e : m_entries) {
            const quint32 offset = quint32(out.size());
            const quint32 crc = e.crc;
            const bool folder = e.name.endsWith('/');
            // Local header: version 1.0, UTF-8 names, stored, 1980-01-01 00:00.
            u32(out, 0x04034b50);
            u16(out, 10);
            u16(out, 0x0800);
            u16(out, e.method);
            u16(out, 0);
            u16(out, 0x21);
            u32(out, crc);
            u32(out, e.packedSize);
            u32(out, e.size);
            u16(out, quint16(e.name.size()));
            u16(out, 0);
            out += e.name;
            out += e.data;

            u32(central, 0x02014b50);
            u16(central, 0x031e); // made on Unix: the external attributes carry the mode
            u16(central, 10);
            u16(central, 0x0800);
            u16(central, e.method);
            u16(central, 0);
            u16(central, 0x21);
            u32(central, crc);
            u32(central, e.packedSize);
            u32(central, e.size);
            u16(central, quint16(e.name.size()));
            u16(central, 0);
            u16(central, 0);
            u16(central, 0);
            u16(central, 0);
            const int typed = (e.mode & 0170000) ? e.mode : ((folder ? 040000 : 0100000) | e.mode);
            u32(central, quint32(typed) << 16);
            u32(central, offset);
            central += e.name;
        }
        const quint32 centralOffset = quint32(out.size());
        out += central;
        u32(out, 0x06054b50);
        u16(out, 0);
        u16(out, 0);
        u16(out, quint16(m_entries.size()));
        u16(out, quint16(m_entries.size()));
        u32(out, quint32(central.size()));
        u32(out, centralOffset);
        u16(out, 0);
        return out;
    }

private:
    struct Entry
    {
        QByteArray name;
        QByteArray data;
        int mode;
        quint16 method; ///< 0 stored, 8 deflated
        quint32 packedSize;
        quint32 crc;
        quint32 size;
    };

    static QByteArray deflatedZeros(qint64 size)
    {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
        static const QByteArray zeros(1 << 20, '\0');
        QByteArray out;
        QByteArray buffer(1 << 16, '\0');
        qint64 left = size;
        int flush = Z_NO_FLUSH;
        do {
            const qint64 n = std::min<qint64>(left, zeros.size());
            left -= n;
            flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
            z.avail_in = uInt(n);
            do {
                z.next_out = reinterpret_cast<Bytef *>(buffer.data());
                z.avail_out = uInt(buffer.size());
                deflate(&z, flush);
                out.append(buffer.constData(), buffer.size() - qsizetype(z.avail_out));
            } while (z.avail_out == 0);
        } while (flush != Z_FINISH);
        deflateEnd(&z);
        return out;
    }
    static quint32 zerosCrc(qint64 size)
    {
        static const QByteArray zeros(1 << 20, '\0');
        uLong c = ::crc32(0L, Z_NULL, 0);
        for (qint64 left = size; left > 0; left -= zeros.size())
            c = ::crc32_z(c, reinterpret_cast<const Bytef *>(zeros.constData()),
                          size_t(std::min<qint64>(left, zeros.size())));
        return quint32(c);
    }

    static void u16(QByteArray &out, quint16 v)
    {
        const quint16 le = qToLittleEndian(v);
        out.append(reinterpret_cast<const char *>(&le), 2);
    }
    static void u32(QByteArray &out, quint32 v)
    {
        const quint32 le = qToLittleEndian(v);
        out.append(reinterpret_cast<const char *>(&le), 4);
    }
    static quint32 crc32(const QByteArray &data)
    {
        static const std::array<quint32, 256> table = [] {
            std::array<quint32, 256> t{};
            for (quint32 i = 0; i < 256; ++i) {
                quint32 c = i;
                for (int k = 0; k < 8; ++k)
                    c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
                t[i] = c;
            }
            return t;
        }();
        quint32 c = 0xffffffffu;
        for (const char ch : data)
            c = table[(c ^ quint8(ch)) & 0xff] ^ (c >> 8);
        return c ^ 0xffffffffu;
    }

    QList<Entry> m_entries;
};

} // namespace garvina::test
