// The console keeps the DBA password out of core dumps; the helper it calls first thing in main.

#include "platform/processhardening.h"

#include <QFile>
#include <QTest>

class TestProcessHardening : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void coreDumpsOff()
    {
        // A test process starts dumpable, as the console does.
        QVERIFY(!garvina::coreDumpsDisabled());
        QVERIFY(garvina::disableCoreDumps());
        QVERIFY(garvina::coreDumpsDisabled());

        // What the system reports for the process, independently of the helper.
        QFile limits(QStringLiteral("/proc/self/limits"));
        QVERIFY(limits.open(QIODevice::ReadOnly));
        const QByteArray text = limits.readAll();
        const qsizetype at = text.indexOf("Max core file size");
        QVERIFY(at >= 0);
        QCOMPARE(text.mid(at, text.indexOf('\n', at) - at).simplified(),
                 QByteArray("Max core file size 0 0 bytes"));
        // Calling it again changes nothing and still succeeds.
        QVERIFY(garvina::disableCoreDumps());
        QVERIFY(garvina::coreDumpsDisabled());
    }

    void residentMemoryFollowsAllocations()
    {
        const qint64 before = garvina::residentMemoryBytes();
        QVERIFY(before > 0);
        QByteArray block(64 * 1024 * 1024, 'x'); // touched, so resident
        const qint64 with = garvina::residentMemoryBytes();
        QVERIFY2(with - before > 60 * 1024 * 1024, QByteArray::number(with - before).constData());
        block = QByteArray();
        garvina::releaseFreeMemory();
        QVERIFY(garvina::residentMemoryBytes() < with - 32 * 1024 * 1024);
    }
};

QTEST_GUILESS_MAIN(TestProcessHardening)
#include "tst_processhardening.moc"
