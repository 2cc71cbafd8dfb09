// The backup alarm, the rehearsal's daily slot and the state file that feeds them.
#include "maintenance/backuphealth.h"
#include "maintenance/backupstate.h"
#include "platform/filesystem.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {
const QDateTime T0(QDate(2026, 12, 9), QTime(10, 0));
}

class TestBackupHealth : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void alarmDue_data()
    {
        QTest::addColumn<QString>("hours");
        QTest::addColumn<qint64>("goodAgeSecs"); // -1: no good backup yet
        QTest::addColumn<bool>("goodFailed");
        QTest::addColumn<bool>("running");
        QTest::addColumn<qint64>("sinceStartSecs");
        QTest::addColumn<bool>("due");
        const qint64 h = 3600;
        QTest::newRow("fresh backup") << u"26"_s << h << false << true << 100 * h << false;
        QTest::newRow("just under") << u"26"_s << 26 * h - 1 << false << true << 100 * h << false;
        QTest::newRow("at the threshold") << u"26"_s << 26 * h << false << true << 100 * h << true;
        QTest::newRow("service stopped") << u"26"_s << 30 * h << false << false << 100 * h << false;
        QTest::newRow("switched off by 0") << u"0"_s << 300 * h << false << true << 100 * h << false;
        QTest::newRow("switched off by text") << u"abc"_s << 300 * h << false << true << 100 * h << false;
        QTest::newRow("rehearsal found it bad") << u"26"_s << h << true << true << 100 * h << true;
        QTest::newRow("none yet, service young") << u"26"_s << qint64(-1) << false << true << 2 * h << false;
        QTest::newRow("none yet, service old") << u"26"_s << qint64(-1) << false << true << 27 * h << true;
        QTest::newRow("clock set back a day") << u"26"_s << -24 * h << false << true << h << true;
    }
    void alarmDue()
    {
        QFETCH(QString, hours);
        QFETCH(qint64, goodAgeSecs);
        QFETCH(bool, goodFailed);
        QFETCH(bool, running);
        QFETCH(qint64, sinceStartSecs);
        QFETCH(bool, due);
        BackupState state;
        if (goodAgeSecs != -1)
            recordGoodBackup(state, u"/b"_s, u"/b/20261209-0900"_s, T0.addSecs(-goodAgeSecs), u"/"_s);
        if (goodFailed)
            recordRehearsal(state, {false, u"/b/20261209-0900/"_s, T0, 1, 0, 0, u"bad page"_s});
        QCOMPARE(backupAlarmDue(state, alarmHoursFrom(hours), T0.addSecs(-sinceStartSecs), running, T0), due);
    }

    void alarmRepeatsHourlyUntilCleared()
    {
        BackupAlarm alarm;
        const auto at = [&](bool due, qint64 minutes) {
            return alarm.update(due, T0.addSecs(minutes * 60));
        };
        BackupAlarm::Step s = at(true, 0);
        QVERIFY(s.raised && s.balloon && alarm.isUp());
        s = at(true, 59);
        QVERIFY(!s.raised && !s.balloon);
        QVERIFY(at(true, 60).balloon);
        QVERIFY(!at(true, 119).balloon);
        QVERIFY(at(true, 10).balloon); // the clock went back: it does not fall silent
        s = at(false, 130);
        QVERIFY(s.cleared && !alarm.isUp() && !s.balloon);
        QVERIFY(at(true, 131).raised);
    }

    void rehearsalSlot_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QTime>("now");
        QTest::addColumn<QDateTime>("last");
        QTest::addColumn<bool>("due");
        const QDate d = T0.date();
        const QDateTime yesterday(d.addDays(-1), QTime(3, 30));
        QTest::newRow("before the slot") << u"03:30:00"_s << QTime(3, 29, 59) << yesterday << false;
        QTest::newRow("at the slot") << u"03:30:00"_s << QTime(3, 30) << yesterday << true;
        QTest::newRow("never rehearsed") << u"03:30:00"_s << QTime(3, 45) << QDateTime() << true;
        QTest::newRow("done today") << u"03:30:00"_s << QTime(3, 45) << QDateTime(d, QTime(3, 30, 1))
                                    << false;
        QTest::newRow("an hour late: not at a busy time")
            << u"03:30:00"_s << QTime(4, 30) << yesterday << false;
        QTest::newRow("switched off") << QString() << QTime(3, 30) << yesterday << false;
        QTest::newRow("not a time") << u"half past three"_s << QTime(3, 30) << yesterday << false;
        QTest::newRow("last one dated ahead")
            << u"03:30:00"_s << QTime(3, 31) << QDateTime(d, QTime(9, 0)) << true;
        // Two slots missed (busy, stopped, or the clock jumped over them): at once, not a day later.
        QTest::newRow("two slots missed") << u"03:30:00"_s << QTime(10, 0) << yesterday.addDays(-1) << true;
        QTest::newRow("the hour after a late slot, past midnight")
            << u"23:30:00"_s << QTime(0, 10) << QDateTime(d.addDays(-2), QTime(23, 30)) << true;
    }
    void rehearsalSlot()
    {
        QFETCH(QString, setting);
        QFETCH(QTime, now);
        QFETCH(QDateTime, last);
        QFETCH(bool, due);
        QCOMPARE(rehearsalDue(setting, last, QDateTime(T0.date(), now)), due);
    }

    void stateFileKeepsEverything()
    {
        QTemporaryDir dir;
        const QString gs_path = dir.path() + u'/';
        QVERIFY(!loadBackupState(gs_path).lastGoodTime.isValid());
        QCOMPARE(lastGoodBackupLine(loadBackupState(gs_path)), u"<<暂没有成功的备份>>"_s);

        BackupState s;
        recordGoodBackup(s, u"/bak/"_s, u"/bak/20261209-0900/"_s, T0, u"/bak"_s);
        recordRehearsal(s, {true, u"/bak/20261208-0900"_s, T0.addSecs(-3600), 4200, 12, 3456, QString()});
        recordRehearsal(s, {false, u"/bak/20261207-0900"_s, T0.addSecs(-60), 900, 0, 0, u"坏页"_s});
        QVERIFY(saveBackupState(LinuxFileSystem(), gs_path, s));

        const BackupState r = loadBackupState(gs_path);
        QCOMPARE(r.lastGoodTime, T0);
        QCOMPARE(r.lastGoodFolder, u"/bak/20261209-0900"_s);
        QCOMPARE(r.lastGoodRoot, u"/bak"_s);
        QCOMPARE(r.lastGoodMount, u"/bak"_s);
        QCOMPARE(r.lastRehearsal.error, u"坏页"_s);
        QCOMPARE(r.lastRehearsal.startTime, T0.addSecs(-60));
        QCOMPARE(r.lastRehearsal.durationMs, 900);
        QVERIFY(r.isRehearsed(u"/bak/20261208-0900/"_s));
        QVERIFY(r.isFailed(u"/bak/20261207-0900"_s));
        QCOMPARE(lastGoodBackupLine(r), u"上次成功备份时间：2026-12-09 10:00:00"_s);

        // A rehearsal of the last good backup that fails takes its good standing away.
        BackupState bad = r;
        recordRehearsal(bad, {false, u"/bak/20261209-0900"_s, T0, 1, 0, 0, u"x"_s});
        QVERIFY(!bad.goodSince().isValid());
        QCOMPARE(lastGoodBackupLine(bad), u"<<暂没有成功的备份>>"_s);
        // A failed mark stays even when a later rehearsal of it passes.
        recordRehearsal(bad, {true, u"/bak/20261207-0900"_s, T0, 1, 1, 1, QString()});
        QVERIFY(bad.isFailed(u"/bak/20261207-0900"_s));
        QVERIFY(!bad.isRehearsed(u"/bak/20261207-0900"_s));

        // A torn or foreign file reads as no state, not as garbage.
        QFile f(gs_path + backupStateFileName());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("{\"lastGood\": {\"time\": \"2026-");
        f.close();
        QVERIFY(!loadBackupState(gs_path).lastGoodTime.isValid());
    }
};

QTEST_GUILESS_MAIN(TestBackupHealth)
#include "tst_backuphealth.moc"
