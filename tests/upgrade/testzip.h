#pragma once

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <array>

namespace garvina::test {

/// \brief Writes a zip archive with stored (uncompressed) entries, names and Unix modes exactly as
/// given, so tests can make packages the zip tool would refuse to make ("../x", "/x").
class TestZip
{
public:
    void add(const QByteArray &name, const QByteArray &data, int mode = 0644)
    {
        m_entries.append({name, data, mode});
    }

    QByteArray bytes() const
    {
        QByteArray out;
        QByteArray central;
        for (const Entry &e : m_entries) {
            const quint32 offset = quint32(out.size());
            const quint32 crc = crc32(e.data);
            const bool folder = e.name.endsWith('/');
            // Local header: version 1.0, UTF-8 names, stored, 1980-01-01 00:00.
            u32(out, 0x04034b50);
            u16(out, 10);
            u16(out, 0x0800);
            u16(out, 0);
            u16(out, 0);
            u16(out, 0x21);
            u32(out, crc);
            u32(out, quint32(e.data.size()));
            u32(out, quint32(e.data.size()));
            u16(out, quint16(e.name.size()));
            u16(out, 0);
            out += e.name;
            out += e.data;

            u32(central, 0x02014b50);
            u16(central, 0x031e); // made on Unix: the external attributes carry the mode
            u16(central, 10);
            u16(central, 0x0800);
            u16(central, 0);
            u16(central, 0);
            u16(central, 0x21);
            u32(central, crc);
            u32(central, quint32(e.data.size()));
            u32(central, quint32(e.data.size()));
            u16(central, quint16(e.name.size()));
            u16(central, 0);
            u16(central, 0);
            u16(central, 0);
            u16(central, 0);
            u32(central, quint32((folder ? 040000 : 0100000) | e.mode) << 16);
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
    };

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
