// Writing out a file while another writer still grows it.
#include "platform/growingfileflush.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace garvina;

class TestGrowingFileFlush : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    static void append(const QString &path, qint64 bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append));
        QCOMPARE(f.write(QByteArray(bytes, 'x')), bytes);
    }

private Q_SLOTS:
    void followsTheFileToItsEnd_data()
    {
        QTest::addColumn<qint64>("rate");
        QTest::addColumn<bool>("appearsLate");
        QTest::newRow("unbounded, there from the start") << qint64(0) << false;
        QTest::newRow("unbounded, made after the start") << qint64(0) << true;
        QTest::newRow("bounded at 2 MB a second") << qint64(2 << 20) << false;
    }
    void followsTheFileToItsEnd()
    {
        // Pieces of 300 KB in steps of 64 KB: at the end a part step is left, which stop() writes.
        QFETCH(qint64, rate);
        QFETCH(bool, appearsLate);
        const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        if (!appearsLate)
            append(path, 0);
        QElapsedTimer since;
        since.start();
        GrowingFileFlusher flusher(path, 64 << 10, rate);
        if (appearsLate)
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        qint64 size = 0;
        for (int i = 0; i < 20; ++i) {
            append(path, 300 << 10);
            size += 300 << 10;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            QVERIFY(flusher.flushedBytes() <= size);
            // Never ahead of the bound (one step may be under way).
            if (rate > 0)
                QVERIFY(flusher.flushedBytes() <= rate * (since.elapsed() + 1) / 1000 + (64 << 10));
        }
        if (rate == 0)
            QTRY_VERIFY(flusher.flushedBytes() >= size - (64 << 10));
        flusher.stop();
        QCOMPARE(flusher.flushedBytes(), size);
    }

    void nothingToFollow()
    {
        // No file ever comes, or the writer gave up: the flusher ends at once either way.
        GrowingFileFlusher none(m_dir.filePath(QStringLiteral("never")));
        none.stop();
        QCOMPARE(none.flushedBytes(), 0);

        const QString path = m_dir.filePath(QStringLiteral("abandoned"));
        append(path, 4 << 20);
        GrowingFileFlusher slow(path, 64 << 10, 1 << 20);
        slow.abandon();
        QVERIFY(slow.flushedBytes() < (4 << 20));
    }
};

QTEST_GUILESS_MAIN(TestGrowingFileFlush)
#include "tst_growingfileflush.moc"
