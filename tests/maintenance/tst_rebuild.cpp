// The periodic rebuild: when it is due, and a real unload and reload of a shop database.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "maintenance/dbunload.h"
#include "platform/filesystem.h"
#include "platform/notice.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"
#include "support/enginefixture.h"
#include "support/recordingnotice.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

using test::RecordingNotice;

class TestRebuild : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    std::unique_ptr<test::TestProgramFolder> &m_folder = m_fx.folder;
    test::RecordingMessageBoxes &m_boxes = m_fx.boxes;
    test::ManualClock &m_clock = m_fx.clock;
    AppContext &m_ctx = m_fx.ctx;

    QString live() const { return m_ctx.gs_path + u"data/garvina.db"_s; }

    /// Row counts and a checksum of the sales lines, read with the embedded tool.
    QString contents()
    {
        return m_folder->runSql(
            live(), "select (select count(*) from goods), (select count(*) from customers),"
                    " (select count(*) from sale_lines), (select list(goods_id || ':' || qty || ':' ||"
                    " unit_price, ',') from (select * from sale_lines order by 1, 2)) from rdb$database;");
    }

    static QByteArray hashOf(const QString &file)
    {
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
    }

private Q_SLOTS:
    void due_data()
    {
        QTest::addColumn<QString>("day");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QDate>("today");
        QTest::addColumn<bool>("expected");
        const QDate wednesday(2013, 8, 28), sunday(2013, 9, 1);
        QTest::newRow("weekly, Wednesday, last Sunday before")
            << u"2"_s << u"2013-08-25"_s << wednesday << true;
        QTest::newRow("weekly, Wednesday, this Monday") << u"2"_s << u"2013-08-26"_s << wednesday << false;
        QTest::newRow("weekly, Wednesday, this Sunday") << u"2"_s << u"2013-09-01"_s << wednesday << false;
        QTest::newRow("weekly, Sunday, previous Sunday") << u"2"_s << u"2013-08-25"_s << sunday << true;
        QTest::newRow("weekly, Sunday, its Monday") << u"2"_s << u"2013-08-26"_s << sunday << false;
        QTest::newRow("monthly, same month") << u"1"_s << u"2013-08-01"_s << QDate(2013, 8, 31) << false;
        QTest::newRow("monthly, next month") << u"1"_s << u"2013-08-01"_s << sunday << true;
        QTest::newRow("daily, same day") << u"3"_s << u"2013-09-01"_s << sunday << false;
        QTest::newRow("daily, next day") << u"3"_s << u"2013-08-31"_s << sunday << true;
        QTest::newRow("future date, weekly") << u"2"_s << u"2099-01-01"_s << sunday << true;
        QTest::newRow("future date, monthly") << u"1"_s << u"2099-01-01"_s << sunday << true;
        QTest::newRow("future date, daily") << u"3"_s << u"2099-01-01"_s << sunday << true;
        QTest::newRow("period 0 never") << u"0"_s << u"2013-01-01"_s << sunday << false;
        QTest::newRow("period 4 never") << u"4"_s << u"2013-01-01"_s << sunday << false;
    }
    void due()
    {
        QFETCH(QString, day);
        QFETCH(QString, last);
        QFETCH(QDate, today);
        QFETCH(bool, expected);
        QCOMPARE(rebuildDue(day, last, today), expected);
    }

    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        m_clock.set(QDateTime(QDate(2013, 8, 28), QTime(8, 5)));
    }

    void nothingDueNothingDone()
    {
        m_ctx.writeConfig(u"dbunload"_s, u"dbunload_day"_s, u"4"_s);
        RecordingNotice notice;
        f_dbunload(m_ctx, notice);
        QCOMPARE(notice.opened, 0);
        QCOMPARE(m_ctx.readConfig(u"dbunload"_s, u"dbunload_date"_s, u"absent"_s), u"absent"_s);
    }

    void failingRebuildLeavesTheOriginal()
    {
        // Nothing stored: weekly, last rebuild 2013-01-01, so it is due.
        QFile::remove(m_ctx.configPath());
        const QByteArray before = hashOf(live());
        RecordingNotice notice;
        f_dbunload(m_ctx, notice, RebuildTools{u"/bin/false"_s});
        QCOMPARE(notice.opened, 1);
        QVERIFY(!notice.isOpen());
        QCOMPARE(hashOf(live()), before);
        QCOMPARE(m_ctx.readConfig(u"dbunload"_s, u"dbunload_date"_s, u"absent"_s), u"absent"_s);
        QVERIFY(QDir(m_ctx.gs_path + u"data"_s).entryList(QDir::Files) == QStringList{u"garvina.db"_s});

        // A tool that cannot be started says so and changes nothing either.
        f_dbunload(m_ctx, notice, RebuildTools{u"/nonexistent/gbak"_s});
        QCOMPARE(m_boxes.last().text, u"创建子进程错误，错误码:2"_s);
        QVERIFY(!notice.isOpen());
        QCOMPARE(hashOf(live()), before);

        // No safety copy, no rebuild.
        m_ctx.writeConfig(u"backup"_s, u"backuppath"_s, u"/proc/garvina-none"_s);
        f_dbunload(m_ctx, notice);
        QVERIFY(!notice.isOpen());
        QCOMPARE(hashOf(live()), before);
        QCOMPARE(m_ctx.readConfig(u"dbunload"_s, u"dbunload_date"_s, u"absent"_s), u"absent"_s);
    }

    void neverWhileTheEngineRuns()
    {
        QFile::remove(m_ctx.configPath());
        m_folder->setPort(test::TestProgramFolder::freePort());
        EngineControl engine(m_ctx);
        QVERIFY(engine.f_db_server(u"START"_s));
        // Also when its pid file was lost.
        QVERIFY(QFile::remove(enginePidFile(m_ctx.gs_path)));
        RecordingNotice notice;
        QVERIFY(!f_executewait(m_ctx, notice));
        QVERIFY(!notice.isOpen());
        QVERIFY(engine.f_db_server(u"STOP"_s));
        QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));

        // Any other program holding the live file open keeps it from being replaced.
        const auto inode = [this] {
            return LinuxFileSystem().identity(live()).value_or(FileSystem::Identity{}).inode;
        };
        const quint64 before = inode();
        ToolRequest holder;
        holder.program = u"/bin/sh"_s;
        holder.arguments = {u"-c"_s, u"exec /bin/sleep 60 3<\"$0\""_s, live()};
        ToolJob job(holder);
        job.start();
        QTRY_VERIFY(!LinuxProcessTable().holdersOf(live()).isEmpty());
        QVERIFY(!f_executewait(m_ctx, notice));
        QCOMPARE(m_boxes.last().text, u"操作错误!"_s);
        QCOMPARE(inode(), before); // the same file, not replaced
        QVERIFY(QDir(m_ctx.gs_path + u"data"_s).entryList(QDir::Files) == QStringList{u"garvina.db"_s});
    }

    void realRebuildKeepsTheData()
    {
        QFile::remove(m_ctx.configPath());
        const QString root = m_folder->homePath() + u"/织云阁软件备份/"_s;
        const QString before = contents();
        QVERIFY2(before.size() > 10, qPrintable(before));
        const QByteArray oldHash = hashOf(live());

        RecordingNotice notice;
        RebuildTools tools;
        QStringList copiedTo;
        tools.copier = [&copiedTo, this](const QString &source, const QString &target) {
            copiedTo.append(target);
            return m_fx.files.copyFile(source, target);
        };
        f_dbunload(m_ctx, notice, tools);
        QCOMPARE(notice.opened, 1);
        QVERIFY(!notice.isOpen());
        QCOMPARE(m_ctx.readConfig(u"dbunload"_s, u"dbunload_date"_s, QString()), u"2013-08-28"_s);
        // The safety copy is written under a name no reader takes for a database until it is whole.
        QCOMPARE(copiedTo, QStringList{root + u"20130828-0805-U/garvina.db.part"_s});
        QVERIFY(!QFileInfo::exists(root + u"20130828-0805-U/garvina.db.part"_s));
        QCOMPARE(contents(), before);
        QVERIFY(hashOf(live()) != oldHash); // a new file
        // The safety copy holds the old file, byte for byte.
        QCOMPARE(hashOf(root + u"20130828-0805-U/garvina.db"_s), oldHash);
        QVERIFY(QDir(m_ctx.gs_path + u"data"_s).entryList(QDir::Files) == QStringList{u"garvina.db"_s});

        // Recorded today: not due again this week.
        f_dbunload(m_ctx, notice);
        QCOMPARE(notice.opened, 1);
    }
};

QTEST_GUILESS_MAIN(TestRebuild)
#include "tst_rebuild.moc"
