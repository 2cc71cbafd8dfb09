#include "config/profilefile.h"
#include "maintenance/schedule.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {
BackupConfig fixed(const QString &a, const QString &b, const QString &c)
{
    BackupConfig cfg;
    cfg.backuptype = u"1"_s;
    cfg.backuptime1 = a;
    cfg.backuptime2 = b;
    cfg.backuptime3 = c;
    cfg.backuppath = u"/srv/backup"_s;
    return cfg;
}
BackupConfig interval(const QString &type, const QString &hours)
{
    BackupConfig cfg;
    cfg.backuptype = type;
    cfg.backuphour = hours;
    cfg.backuppath = u"/srv/backup/"_s;
    return cfg;
}
const QDate Day(2013, 8, 29);
QDateTime at(const QString &hms, const QDate &d = Day)
{
    return QDateTime(d, QTime::fromString(hms, u"HH:mm:ss"_s));
}
} // namespace

Q_DECLARE_METATYPE(garvina::BackupConfig)

class TestSchedule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nextTime_data()
    {
        QTest::addColumn<BackupConfig>("config");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("expected");

        const BackupConfig three = fixed(u"08:00:00"_s, u"12:00:00"_s, u"00:00:00"_s);
        QTest::newRow("fixed: next of the day") << three << u"10:00:00"_s << u"12:00:00"_s;
        QTest::newRow("fixed: none left today") << three << u"12:30:00"_s << u"00:00:00"_s;
        QTest::newRow("fixed: at midnight") << three << u"00:00:00"_s << u"08:00:00"_s;
        QTest::newRow("fixed: equal to now does not count") << three << u"12:00:00"_s << u"00:00:00"_s;
        QTest::newRow("fixed: descending order, earliest wins")
            << fixed(u"20:00:00"_s, u"12:00:00"_s, u"16:00:00"_s) << u"09:00:00"_s << u"12:00:00"_s;
        QTest::newRow("fixed: all midnight schedules nothing")
            << fixed(u"00:00:00"_s, u"00:00:00"_s, u"00:00:00"_s) << u"00:00:00"_s << u"00:00:00"_s;
        QTest::newRow("interval 5 at 09:20") << interval(u"0"_s, u"5"_s) << u"09:20:00"_s << u"10:00:00"_s;
        QTest::newRow("interval 5 after 10:00") << interval(u"0"_s, u"5"_s) << u"10:00:05"_s << u"15:00:00"_s;
        QTest::newRow("interval 5 after 20:00") << interval(u"0"_s, u"5"_s) << u"20:00:03"_s << u"00:00:00"_s;
        QTest::newRow("interval 5 at midnight") << interval(u"0"_s, u"5"_s) << u"00:00:00"_s << u"05:00:00"_s;
        QTest::newRow("interval 6 after 18:00") << interval(u"0"_s, u"6"_s) << u"18:00:10"_s << u"00:01:00"_s;
        QTest::newRow("interval 6 after 00:01") << interval(u"0"_s, u"6"_s) << u"00:01:00"_s << u"06:00:00"_s;
        QTest::newRow("interval 1 at 23:30") << interval(u"0"_s, u"1"_s) << u"23:30:00"_s << u"00:01:00"_s;
        QTest::newRow("interval 1: current hour never chosen")
            << interval(u"0"_s, u"1"_s) << u"09:00:00"_s << u"10:00:00"_s;
        QTest::newRow("interval 7 at 22:00") << interval(u"0"_s, u"7"_s) << u"22:00:00"_s << u"00:00:00"_s;
        QTest::newRow("interval 7 at midnight") << interval(u"0"_s, u"7"_s) << u"00:00:00"_s << u"07:00:00"_s;
        QTest::newRow("interval 24") << interval(u"0"_s, u"24"_s) << u"10:00:00"_s << u"00:01:00"_s;
        QTest::newRow("interval 25 never") << interval(u"0"_s, u"25"_s) << u"00:00:00"_s << u"00:00:00"_s;
        QTest::newRow("type 2 is interval mode")
            << interval(u"2"_s, u"3"_s) << u"10:00:00"_s << u"12:00:00"_s;
        QTest::newRow("empty type is interval mode")
            << interval(u""_s, u"3"_s) << u"10:00:00"_s << u"12:00:00"_s;
        QTest::newRow("interval 0 schedules nothing")
            << interval(u"0"_s, u"0"_s) << u"10:00:00"_s << u"00:00:00"_s;
        QTest::newRow("interval not a number")
            << interval(u"0"_s, u"abc"_s) << u"10:00:00"_s << u"00:00:00"_s;
        QTest::newRow("negative interval") << interval(u"0"_s, u"-3"_s) << u"10:00:00"_s << u"00:00:00"_s;
    }
    void nextTime()
    {
        QFETCH(BackupConfig, config);
        QFETCH(QString, now);
        QFETCH(QString, expected);
        QCOMPARE(nextBackupTime(config, QTime::fromString(now, u"HH:mm:ss"_s)).toString(u"HH:mm:ss"_s),
                 expected);
    }

    void nextAt_data()
    {
        QTest::addColumn<BackupConfig>("config");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("expected"); // empty: none
        const BackupConfig three = fixed(u"08:00:00"_s, u"12:00:00"_s, u"00:00:00"_s);
        QTest::newRow("fixed: later today") << three << u"10:00:00"_s << u"2013-08-29 12:00"_s;
        QTest::newRow("fixed: tomorrow's first") << three << u"12:00:00"_s << u"2013-08-30 08:00"_s;
        QTest::newRow("interval 5: tomorrow 05:00")
            << interval(u"0"_s, u"5"_s) << u"20:00:03"_s << u"2013-08-30 05:00"_s;
        QTest::newRow("interval 6: past midnight")
            << interval(u"0"_s, u"6"_s) << u"18:00:10"_s << u"2013-08-30 00:01"_s;
        QTest::newRow("none configured")
            << fixed(u"00:00:00"_s, u"00:00:00"_s, u"00:00:00"_s) << u"10:00:00"_s << QString();
    }
    void nextAt()
    {
        QFETCH(BackupConfig, config);
        QFETCH(QString, now);
        QFETCH(QString, expected);
        QCOMPARE(nextBackupAt(config, at(now)).toString(u"yyyy-MM-dd HH:mm"_s), expected);
    }

    void lineAndPath()
    {
        BackupSchedule s;
        QCOMPARE(
            s.wf_get_exit_backup_time(fixed(u"16:00:00"_s, u"00:00:00"_s, u"00:00:00"_s), at(u"09:00:00"_s)),
            u"下次自动备份时间：2013-08-29 16:00:00"_s);
        QCOMPARE(s.is_backup_path(), u"/srv/backup/"_s);
        // The 00:01:00 of the coming night is shown with today's date.
        QCOMPARE(s.wf_get_exit_backup_time(interval(u"0"_s, u"1"_s), at(u"23:30:00"_s)),
                 u"下次自动备份时间：2013-08-29 00:01:00"_s);
        QCOMPARE(s.dueAt(), at(u"00:01:00"_s, Day.addDays(1)));
        QCOMPARE(s.wf_get_exit_backup_time(interval(u"0"_s, u"7"_s), at(u"22:00:00"_s)),
                 u"<<暂没有备份任务执行>>"_s);
    }

    void readsDefaultsFromFile()
    {
        QTemporaryDir tmp;
        const BackupConfig c = BackupConfig::read(ProfileFile(tmp.filePath(u"none.dll"_s)));
        QCOMPARE(nextBackupTime(c, QTime(10, 0)), QTime(0, 0, 0)); // no file: no scheduled backup
        QVERIFY(c.backuppath.endsWith(u"/织云阁软件备份/"_s));
    }

    void timerOverMidnightWithIntervalOne()
    {
        BackupSchedule s;
        const BackupConfig cfg = interval(u"0"_s, u"1"_s);
        QStringList roots;
        const auto backup = [&](const QString &root, QString &) {
            roots.append(root);
            return true;
        };
        s.wf_get_exit_backup_time(cfg, at(u"23:30:00"_s));
        QDateTime now = at(u"23:59:58"_s);
        for (int i = 0; i < 70; ++i, now = now.addSecs(1)) {
            const auto r = s.tick(
                now, true, [&] { return cfg; }, backup);
            if (now == at(u"00:00:00"_s, Day.addDays(1)))
                QCOMPARE(s.it_backup_time(), QTime(0, 1, 0)); // the midnight tick keeps the pending 00:01:00
            if (r.backupRan) {
                QCOMPARE(now, at(u"00:01:00"_s, Day.addDays(1)));
                QCOMPARE(r.balloonTitle, u"温馨提示"_s);
                QCOMPARE(r.balloonText, u"2013-08-30 00:01:00 备份数据库成功!"_s);
            }
        }
        QCOMPARE(roots, QStringList{u"/srv/backup/"_s});
        QCOMPARE(s.it_backup_time(), QTime(1, 0, 0));
    }

    void midnightMakesTheNewDayReachable()
    {
        BackupSchedule s;
        const BackupConfig cfg = fixed(u"08:00:00"_s, u"12:00:00"_s, u"00:00:00"_s);
        s.wf_get_exit_backup_time(cfg, at(u"12:30:00"_s));
        QCOMPARE(s.line(), u"<<暂没有备份任务执行>>"_s);
        const auto r = s.tick(
            at(u"00:00:00"_s, Day.addDays(1)), true, [&] { return cfg; },
            [](const QString &, QString &) { return true; });
        QVERIFY(r.recomputed);
        QCOMPARE(s.it_backup_time(), QTime(8, 0, 0));
        QCOMPARE(s.line(), u"下次自动备份时间：2013-08-30 08:00:00"_s);
    }

    void lateTickStillBacksUpOnce()
    {
        BackupSchedule s;
        const BackupConfig cfg = fixed(u"16:00:00"_s, u"20:00:00"_s, u"00:00:00"_s);
        s.wf_get_exit_backup_time(cfg, at(u"15:59:58"_s));
        int runs = 0;
        const auto backup = [&](const QString &, QString &) {
            return ++runs > 0;
        };
        const auto config = [&] {
            return cfg;
        };
        QVERIFY(!s.tick(at(u"15:59:59"_s).addMSecs(200), true, config, backup).backupRan);
        // The next tick comes 1.5 s late, past the scheduled second.
        QVERIFY(s.tick(at(u"16:00:01"_s).addMSecs(700), true, config, backup).backupRan);
        QVERIFY(!s.tick(at(u"16:00:02"_s).addMSecs(700), true, config, backup).backupRan);
        QCOMPARE(runs, 1);
        QCOMPARE(s.it_backup_time(), QTime(20, 0, 0));
    }

    void failedBackupIsLoggedAndStoppedServiceDoesNothing()
    {
        BackupSchedule s;
        const BackupConfig cfg = fixed(u"16:00:00"_s, u"00:00:00"_s, u"00:00:00"_s);
        const auto config = [&] {
            return cfg;
        };
        int runs = 0;
        const auto failing = [&](const QString &, QString &error) {
            ++runs;
            error = u"备份时,连接数据库出错!"_s;
            return false;
        };
        s.wf_get_exit_backup_time(cfg, at(u"15:00:00"_s));
        s.tick(at(u"15:59:59"_s), false, config, failing);
        const auto stopped = s.tick(at(u"16:00:00"_s), false, config, failing);
        QVERIFY(!stopped.backupRan);
        QVERIFY(!stopped.recomputed);
        QVERIFY(stopped.balloonTitle.isEmpty());
        QVERIFY(stopped.logLine.isEmpty());
        QCOMPARE(s.it_backup_time(), QTime(16, 0, 0)); // kept, not acted on

        // The same time the next day, with the service running: the failure is reported and logged.
        s.wf_get_exit_backup_time(cfg, at(u"15:00:00"_s, Day.addDays(1)));
        s.tick(at(u"15:59:59"_s, Day.addDays(1)), true, config, failing);
        const auto r = s.tick(at(u"16:00:00"_s, Day.addDays(1)), true, config, failing);
        QVERIFY(r.backupRan);
        QCOMPARE(runs, 1);
        QCOMPARE(r.balloonTitle, u"备份出错"_s);
        QCOMPARE(r.balloonText, u"2013-08-30 16:00:00 备份数据库出错!"_s);
        QCOMPARE(r.logLine, u"2013-08-30 16:00:00:备份时,连接数据库出错!"_s);
        QCOMPARE(r.clock, u"2013-08-30 16:00:00"_s);
        QCOMPARE(s.line(), u"<<暂没有备份任务执行>>"_s);
    }
};

QTEST_GUILESS_MAIN(TestSchedule)
#include "tst_schedule.moc"
