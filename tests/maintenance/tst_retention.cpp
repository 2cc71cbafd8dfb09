// Which backups retention keeps, as a table, and what it deletes on disk.
#include "maintenance/retention.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {

/// Folder names of \a perDay backups ("hhmm" times) a day over \a days days ending on \a last.
QStringList daysOf(const QDate &last, int days, const QStringList &times)
{
    QStringList names;
    for (int d = 0; d < days; ++d)
        for (const QString &t : times)
            names.append(last.addDays(-d).toString(u"yyyyMMdd-"_s) + t);
    return names;
}

RetentionSettings settingsFrom(const QString &text)
{
    const QStringList v = text.split(u',');
    RetentionSettings s;
    s.keepDaily = RetentionSettings::parseKeep(v.value(0));
    s.keepWeekly = RetentionSettings::parseKeep(v.value(1));
    s.keepMonthly = RetentionSettings::parseKeep(v.value(2));
    s.keepSafety = RetentionSettings::parseKeep(v.value(3));
    return s;
}

QList<BackupFolder> foldersFrom(const QStringList &names)
{
    QList<BackupFolder> out;
    for (const QString &n : names) {
        BackupFolder f;
        if (parseBackupFolderName(n, f))
            out.append(f);
    }
    return out;
}

const QDate Dec9(2026, 12, 9);
const QStringList ThreeADay{u"0800"_s, u"1200"_s, u"1600"_s};

} // namespace

class TestRetention : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void plan_data()
    {
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QString>("settings"); // daily,weekly,monthly,safety
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QString>("lastGood");
        QTest::addColumn<QStringList>("failed");
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QStringList>("kept"); // sorted

        const QStringList tenDays = daysOf(Dec9, 10, ThreeADay);
        const QDateTime noon(Dec9, QTime(16, 5));
        QStringList defaultsKeep = daysOf(Dec9, 7, {u"1600"_s});
        defaultsKeep.append(u"20261130-1600"_s); // newest of November
        QTest::newRow("three a day for ten days, defaults")
            << tenDays << u"7,4,12,3"_s << noon << u"20261209-1600"_s << QStringList() << true
            << defaultsKeep;
        QTest::newRow("after a failed backup nothing goes")
            << tenDays << u"7,4,12,3"_s << noon << u"20261209-1600"_s << QStringList() << false << tenDays;
        QTest::newRow("clock set back: the folders look newer than now")
            << tenDays << u"7,4,12,3"_s << QDateTime(QDate(2026, 12, 1), QTime(9, 0)) << u"20261209-1600"_s
            << QStringList() << true << tenDays;

        // Set forward by years: the backups of the last days still stay.
        QStringList forward = tenDays;
        forward.append(u"20310101-1200"_s);
        QStringList forwardKeep = daysOf(Dec9, 6, {u"1600"_s});
        forwardKeep << u"20261130-1600"_s << u"20310101-1200"_s;
        QTest::newRow("clock set forward")
            << forward << u"7,4,12,3"_s << QDateTime(QDate(2031, 1, 1), QTime(12, 1)) << u"20310101-1200"_s
            << QStringList() << true << forwardKeep;

        QTest::newRow("never fewer than two good")
            << QStringList{u"20261201-1200"_s, u"20261101-1200"_s, u"20261001-1200"_s} << u"1,1,1,3"_s << noon
            << u"20261201-1200"_s << QStringList() << true
            << QStringList{u"20261101-1200"_s, u"20261201-1200"_s};
        QTest::newRow("a failed backup is not the one kept")
            << QStringList{u"20261209-1200"_s, u"20261208-1200"_s, u"20261207-1200"_s, u"20261206-1200"_s}
            << u"1,1,1,3"_s << noon << u"20261209-1200"_s << QStringList{u"20261209-1200"_s} << true
            << QStringList{u"20261207-1200"_s, u"20261208-1200"_s};
        QTest::newRow("failed ones stay while fewer than two are good")
            << QStringList{u"20261209-1200"_s, u"20261208-1200"_s, u"20261207-1200"_s} << u"1,1,1,3"_s << noon
            << u"20261209-1200"_s << QStringList{u"20261209-1200"_s, u"20261208-1200"_s} << true
            << QStringList{u"20261207-1200"_s, u"20261208-1200"_s, u"20261209-1200"_s};
        QTest::newRow("the last good backup stays whatever its date")
            << QStringList{u"20100101-1200"_s, u"20261209-1200"_s, u"20261208-1200"_s} << u"1,1,1,3"_s << noon
            << u"20100101-1200"_s << QStringList() << true
            << QStringList{u"20100101-1200"_s, u"20261209-1200"_s};
        QTest::newRow("same minute: the highest number is the newest")
            << QStringList{u"20261209-1200"_s, u"20261209-1200-1"_s, u"20261209-1200-2"_s, u"20261208-1200"_s}
            << u"1,1,1,3"_s << noon << u"20261209-1200-2"_s << QStringList() << true
            << QStringList{u"20261209-1200-1"_s, u"20261209-1200-2"_s};

        QStringList safety;
        for (int d = 1; d <= 5; ++d) {
            safety << u"2026120%1-0900-U"_s.arg(d) << u"2026120%1-1000-R"_s.arg(d);
        }
        const QStringList withSafety = safety + QStringList{u"20261209-1200"_s};
        QStringList safetyKeep{u"20261209-1200"_s};
        for (int d = 3; d <= 5; ++d)
            safetyKeep << u"2026120%1-0900-U"_s.arg(d) << u"2026120%1-1000-R"_s.arg(d);
        QTest::newRow("safety copies: newest three of each kind")
            << withSafety << u"7,4,12,3"_s << noon << u"20261209-1200"_s << QStringList() << true
            << safetyKeep;

        // 0 or a text that is no number switches a rule off: everything it covers stays.
        QTest::newRow("keep_daily 0")
            << tenDays << u"0,4,12,3"_s << noon << QString() << QStringList() << true << tenDays;
        QTest::newRow("keep_weekly not a number")
            << tenDays << u"7,abc,12,3"_s << noon << QString() << QStringList() << true << tenDays;
        QTest::newRow("keep_safety 0")
            << withSafety << u"7,4,12,0"_s << noon << QString() << QStringList() << true << withSafety;
    }
    void plan()
    {
        QFETCH(QStringList, folders);
        QFETCH(QString, settings);
        QFETCH(QDateTime, now);
        QFETCH(QString, lastGood);
        QFETCH(QStringList, failed);
        QFETCH(bool, succeeded);
        QFETCH(QStringList, kept);

        RetentionInput in;
        in.folders = foldersFrom(folders);
        QCOMPARE(in.folders.size(), folders.size());
        in.settings = settingsFrom(settings);
        in.now = now;
        in.lastGood = lastGood;
        in.failed = QSet<QString>(failed.begin(), failed.end());
        in.backupSucceeded = succeeded;
        const RetentionPlan plan = planRetention(in);

        QStringList keep = plan.keep;
        keep.sort();
        kept.sort();
        QCOMPARE(keep, kept);
        QStringList all = keep;
        for (const auto &r : plan.remove) {
            QVERIFY(!r.reason.isEmpty());
            all.append(r.name);
        }
        all.sort();
        folders.sort();
        QCOMPARE(all, folders);
    }

    void folderNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("ours");
        QTest::newRow("plain") << u"20261209-1600"_s << true;
        QTest::newRow("tenth of a minute") << u"20261209-1600-10"_s << true;
        QTest::newRow("rebuild copy") << u"20261209-1600-U"_s << true;
        QTest::newRow("restore copy") << u"20261209-1600-R"_s << true;
        QTest::newRow("eleventh") << u"20261209-1600-11"_s << false;
        QTest::newRow("no such day") << u"20261332-1600"_s << false;
        QTest::newRow("other name") << u"old backups"_s << false;
        QTest::newRow("suffix") << u"20261209-1600.bak"_s << false;
    }
    void folderNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, ours);
        BackupFolder f;
        QCOMPARE(parseBackupFolderName(name, f), ours);
    }

    // On disk: only the console's own folders go, never a link, never anything outside the root.
    void deletesOnlyItsOwnFolders()
    {
        QTemporaryDir tmp;
        const QString root = tmp.path() + u"/备份"_s;
        const QString outside = tmp.path() + u"/outside"_s;
        const QString gs_path = tmp.path() + u"/prog/"_s;
        QDir().mkpath(gs_path);
        const auto make = [](const QString &folder, const QStringList &files) {
            QDir().mkpath(folder);
            for (const QString &f : files) {
                QFile file(folder + u'/' + f);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("x");
            }
        };
        for (const QString &n : {u"20261209-1200"_s, u"20261001-1200"_s})
            make(root + u'/' + n, {u"garvina.db"_s});
        // Scratch files a killed rehearsal left beside the backup: still a backup, listed and deleted.
        make(root + u"/20261208-1200"_s, {u"garvina.db"_s, u"garvina.rehearsal.fbk"_s});
        make(root + u"/20261101-1200"_s,
             {u"garvina.db"_s, u"garvina.rehearsal.src"_s, u"garvina.rehearsal.db"_s});
        make(root + u"/20260901-1200"_s, {u"garvina.db"_s, u"notes.txt"_s}); // someone else's file inside
        make(root + u"/old copy"_s, {u"garvina.db"_s});
        make(outside + u"/20260801-1200"_s, {u"garvina.db"_s});
        make(outside + u"/file"_s, {u"garvina.db"_s});
        QVERIFY(QFile::link(outside + u"/20260801-1200"_s, root + u"/20260801-1200"_s));
        QDir().mkpath(root + u"/20260701-1200"_s);
        QVERIFY(QFile::link(outside + u"/file/garvina.db"_s, root + u"/20260701-1200/garvina.db"_s));

        RetentionInput in;
        in.folders = listBackupFolders(root);
        QStringList listed;
        for (const BackupFolder &f : in.folders)
            listed.append(f.name);
        QCOMPARE(listed, (QStringList{u"20261209-1200"_s, u"20261208-1200"_s, u"20261101-1200"_s,
                                      u"20261001-1200"_s}));
        in.settings = settingsFrom(u"1,1,1,1"_s);
        in.now = QDateTime(Dec9, QTime(12, 5));
        in.lastGood = u"20261209-1200"_s;
        RetentionPlan plan = planRetention(in);
        // A folder that turned into a link after the plan was made is not followed either.
        plan.remove.append({u"20260801-1200"_s, u"test"_s});
        const QStringList deleted = applyRetention(root, plan, gs_path, in.now);
        QCOMPARE(deleted, (QStringList{u"20261101-1200"_s, u"20261001-1200"_s}));

        QStringList left = QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        left.sort();
        QCOMPARE(left, (QStringList{u"20260701-1200"_s, u"20260801-1200"_s, u"20260901-1200"_s,
                                    u"20261208-1200"_s, u"20261209-1200"_s, u"old copy"_s}));
        QVERIFY(QFileInfo(outside + u"/20260801-1200/garvina.db"_s).isFile());
        QVERIFY(QFileInfo(outside + u"/file/garvina.db"_s).isFile());

        QFile log(gs_path + maintenanceLogName());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(log.readAll()).split(u"\r\n"_s, Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].startsWith(u"2026-12-09 12:05:00 删除备份 "_s + root + u"/20261101-1200:"_s));
        QVERIFY(lines[2].contains(u"未能删除备份 "_s + root + u"/20260801-1200"_s));
    }
};

QTEST_GUILESS_MAIN(TestRetention)
#include "tst_retention.moc"
