// The process table read from a copy of /proc's layout, so that every state can be laid out.
#include "engine/enginecontrol.h"
#include "platform/processtable.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {
/// The bytes of a literal that holds NULs, without its closing one.
template <qsizetype N> QByteArray nulSeparated(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}
} // namespace

class TstProcessTable : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;

    void write(const QString &relative, const QByteArray &bytes)
    {
        const QString path = m_root.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QByteArray header =
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
            "timeout inode\n";
        // Port 2638 listened on by process 123 (socket 777), 2639 by someone else, 2640 only connected.
        write(u"net/tcp"_s,
              header + "   0: 00000000:0A4E 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 "
                       "       0 777 1 0000000000000000 100 0 0 10 0\n"
                       "   1: 0100007F:0A50 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     0 "
                       "       0 779 1 0000000000000000 20 4 30 10 -1\n");
        write(u"net/tcp6"_s,
              header + "   0: 00000000000000000000000000000000:0A4F 00000000000000000000000000000000:0000 0A "
                       "00000000:00000000 00:00000000 00000000     0        0 888 1 0000000000000000 100 0 0 "
                       "10 0\n");
        write(u"123/cmdline"_s, nulSeparated("/usr/sbin/firebird\0-e\0/shop/tool/\0-p\0002638\0"));
        write(u"123/environ"_s, nulSeparated("HOME=/root\0FIREBIRD=/shop/tool/\0"));
        write(u"123/comm"_s, "firebird\n");
        QVERIFY(QDir().mkpath(m_root.filePath(u"123/fd"_s)));
        QVERIFY(QFile::link(u"socket:[777]"_s, m_root.filePath(u"123/fd/3"_s)));
        QVERIFY(QFile::link(u"socket:[779]"_s, m_root.filePath(u"123/fd/4"_s)));
        QVERIFY(QFile::link(u"/shop/data/garvina.db"_s, m_root.filePath(u"123/fd/5"_s)));
        QVERIFY(QDir().mkpath(m_root.filePath(u"sys"_s)));
    }

    void alive_data()
    {
        QTest::addColumn<QByteArray>("stat");
        QTest::addColumn<bool>("alive");
        QTest::newRow("sleeping") << QByteArray("123 (firebird) S 1 123 123 0 -1") << true;
        QTest::newRow("running, blanks and parentheses in the name") << QByteArray("123 (a) b) R 1") << true;
        QTest::newRow("zombie") << QByteArray("123 (firebird) Z 1 123") << false;
        QTest::newRow("dead") << QByteArray("123 (firebird) X 1") << false;
        QTest::newRow("unreadable") << QByteArray() << false;
        QTest::newRow("cut short") << QByteArray("123 (firebird)") << false;
    }

    void alive()
    {
        QFETCH(QByteArray, stat);
        QFETCH(bool, alive);
        if (stat.isNull())
            QFile::remove(m_root.filePath(u"123/stat"_s));
        else
            write(u"123/stat"_s, stat);
        QCOMPARE(LinuxProcessTable(m_root.path()).alive(123), alive);
    }

    void readsOneProcess()
    {
        const LinuxProcessTable table(m_root.path());
        QCOMPARE(table.processes().value_or(QList<qint64>()), QList<qint64>{123});
        QCOMPARE(table.commandLine(123),
                 (QByteArrayList{"/usr/sbin/firebird", "-e", "/shop/tool/", "-p", "2638"}));
        QCOMPARE(table.environment(123), (QByteArrayList{"HOME=/root", "FIREBIRD=/shop/tool/"}));
        QCOMPARE(table.shortName(123), u"firebird"_s);
        QVERIFY(table.commandLine(124).isEmpty());
        QVERIFY(!LinuxProcessTable(m_root.filePath(u"none"_s)).processes());
    }

    void listeners_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("listened");
        QTest::addColumn<qint64>("listener");
        QTest::newRow("the process's own") << 2638 << true << qint64(123);
        QTest::newRow("another's, over IPv6") << 2639 << true << qint64(-1);
        QTest::newRow("a connection, not a listener") << 2640 << false << qint64(0);
        QTest::newRow("nobody's") << 1 << false << qint64(0);
    }

    void listeners()
    {
        QFETCH(int, port);
        QFETCH(bool, listened);
        QFETCH(qint64, listener);
        const LinuxProcessTable table(m_root.path());
        QCOMPARE(table.portListened(port), listened);
        QCOMPARE(table.listeningPorts(123), QList<int>{2638});
        QCOMPARE(listenerOf(port, 123, table), listener);
    }

    void holdersOfAFile()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath(u"held.db"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(tmp.path(), tmp.filePath(u"alias"_s)));
        const LinuxProcessTable table;
        QCOMPARE(table.holdersOf(path), QList<qint64>{table.ownPid()});
        QCOMPARE(table.holdersOf(tmp.filePath(u"alias/held.db"_s)), QList<qint64>{table.ownPid()});
        file.close();
        QVERIFY(table.holdersOf(path).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstProcessTable)
#include "tst_processtable.moc"
