// The guarded backup with the real engine: no room on a small file system, a backup disk that is
// not there.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "maintenance/backup.h"
#include "maintenance/backupcare.h"
#include "maintenance/backupstate.h"
#include "maintenance/maintenance.h"
#include "maintenance/retention.h"
#include "platform/filesystem.h"
#include "platform/processlauncher.h"
#include "support/enginefixture.h"
#include "support/fakedisks.h"
#include "support/manualclock.h"
#include "support/recordingmessageboxes.h"
#include "support/testprogramfolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestBackupCare : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    std::unique_ptr<test::TestProgramFolder> &m_folder = m_fx.folder;
    test::RecordingMessageBoxes &m_boxes = m_fx.boxes;
    test::ManualClock &m_clock = m_fx.clock;
    AppContext &m_ctx = m_fx.ctx;
    std::unique_ptr<EngineControl> &m_engine = m_fx.engine;
    test::FakeDiskFileSystem &m_disks = m_fx.files;
    qint64 m_live = 0;

    QByteArray liveHash()
    {
        QFile f(EngineInstance(m_ctx.gs_path).databaseFile());
        return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1)
                                           : QByteArray();
    }
    static QStringList entries(const QString &dir)
    {
        return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    }
    /// An old backup folder holding \a bytes of database.
    static void oldBackup(const QString &folder, qint64 bytes)
    {
        QDir().mkpath(folder);
        QFile f(folder + u"/garvina.db"_s);
        QVERIFY(f.open(QIODevice::WriteOnly));
        const QByteArray block(1 << 20, 'g');
        for (qint64 n = 0; n < bytes; n += block.size())
            QCOMPARE(f.write(block), block.size());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        QVERIFY(m_engine->f_db_server(u"START"_s));
        m_live = QFileInfo(EngineInstance(m_ctx.gs_path).databaseFile()).size();
        QVERIFY(m_live > 0);
    }
    void cleanupTestCase()
    {
        if (m_engine)
            m_engine->f_db_server(u"STOP"_s);
    }

    void noRoomOnTheDisk()
    {
        const QString disk = m_folder->homePath() + u"/small"_s;
        const qint64 mb = 1 << 20;
        m_disks.mount(disk, m_live + 16 * mb); // the copy fits, its margin does not
        const QString root = disk + u"/备份/"_s;
        const QByteArray before = liveHash();
        const BackupOutcome outcome = runBackup(m_ctx, *m_engine, root);
        const QString error = outcome.error;
        QVERIFY(!outcome.ok);
        QVERIFY2(error.startsWith(u"备份磁盘空间不足:可用 "_s) && error.contains(u" MB,需要 "_s) &&
                     error.endsWith(u" MB!"_s),
                 qPrintable(error));
        QCOMPARE(entries(root), QStringList());
        QCOMPARE(liveHash(), before);
        QVERIFY(!QFileInfo::exists(m_ctx.gs_path + maintenanceLogName()));
    }

    void retentionMakesRoom()
    {
        const QString disk = m_folder->homePath() + u"/usb"_s;
        const qint64 mb = 1 << 20;
        // Four old backups of 20 MB leave less than the copy and its 32 MB margin free; two of them
        // are more than retention needs to keep.
        m_disks.mount(disk, m_live + 48 * mb + 60 * mb);
        const QString root = disk + u"/备份/"_s;
        for (const QString &n :
             {u"20130801-1200"_s, u"20130701-1200"_s, u"20130601-1200"_s, u"20130501-1200"_s})
            oldBackup(root + n, 20 * mb);
        m_folder->config().write(u"backup"_s, u"keep_daily"_s, u"1"_s);
        m_folder->config().write(u"backup"_s, u"keep_weekly"_s, u"1"_s);
        m_folder->config().write(u"backup"_s, u"keep_monthly"_s, u"1"_s);
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(16, 0)));

        const BackupOutcome outcome = runBackup(m_ctx, *m_engine, root);
        QVERIFY2(outcome.ok, qPrintable(outcome.error));
        QCOMPARE(entries(root), (QStringList{u"20130801-1200"_s, u"20130829-1600"_s}));
        const BackupState state = loadBackupState(m_ctx.gs_path);
        QCOMPARE(state.lastGoodFolder, root + u"20130829-1600"_s);
        QCOMPARE(state.lastGoodMount, disk);
        QCOMPARE(state.lastGoodTime, m_clock.now());

        QFile log(m_ctx.gs_path + maintenanceLogName());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString lines = QString::fromUtf8(log.readAll());
        QCOMPARE(lines.count(u"删除备份 "_s), 3);
        for (const QString &n : {u"20130701-1200"_s, u"20130601-1200"_s, u"20130501-1200"_s})
            QVERIFY(lines.contains(root + n));

        // The same disk gone from its mount point: the backup refuses to write onto the disk below.
        QVERIFY(m_disks.unmount(disk));
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(17, 0)));
        const BackupOutcome refused = runBackup(m_ctx, *m_engine, root);
        QVERIFY(!refused.ok);
        QCOMPARE(refused.error, u"备份目录 "_s + root + u" 所在的磁盘没有连接,请连接备份磁盘后再备份!"_s);
        QCOMPARE(entries(disk), QStringList());
    }

    // Against the mount point of the last good backup: only a mount point that went away refuses.
    void mountPointSinceLastGood_data()
    {
        QTest::addColumn<bool>("wasOnDisk"); // else on the file system below it
        QTest::addColumn<bool>("diskNow");
        QTest::addColumn<bool>("refused");
        QTest::newRow("disk gone") << true << false << true;
        QTest::newRow("disk there") << true << true << false;
        QTest::newRow("a disk mounted since") << false << true << false;
        QTest::newRow("never a disk") << false << false << false;
    }
    void mountPointSinceLastGood()
    {
        QFETCH(bool, wasOnDisk);
        QFETCH(bool, diskNow);
        QFETCH(bool, refused);
        const QString disk = m_folder->homePath() + u"/disk"_s;
        const QString root = disk + u"/备份/"_s;
        QDir().mkpath(disk);
        if (diskNow)
            m_disks.mount(disk, 1 << 20);
        BackupState state;
        recordGoodBackup(state, root, root + u"20130829-1200"_s, m_clock.now(),
                         wasOnDisk ? disk : m_disks.mountPoint(m_folder->homePath()));
        const bool absent = !absentDiskProblem(m_disks, root, state).isEmpty();
        if (diskNow)
            m_disks.unmount(disk);
        QCOMPARE(absent, refused);
    }

    void removableDiskNotMounted_data()
    {
        QTest::addColumn<QString>("base");
        QTest::newRow("/mnt") << u"/mnt"_s;
        QTest::newRow("/media") << u"/media"_s;
    }
    void removableDiskNotMounted()
    {
        QFETCH(QString, base);
        const QString disk = base + u"/garvina-test-"_s + QString::number(QCoreApplication::applicationPid());
        const QString root = disk + u"/备份/"_s;
        const BackupOutcome outcome = runBackup(m_ctx, *m_engine, root);
        const QString error = outcome.error;
        QVERIFY(!outcome.ok);
        QCOMPARE(error, u"备份目录 "_s + root + u" 所在的磁盘没有连接,请连接备份磁盘后再备份!"_s);
        QVERIFY(!QFileInfo::exists(disk));
    }

    void stateChangesDuringTheBackupAreKept()
    {
        // A rehearsal's verdict is saved while the engine writes the copy: the backup's record is
        // added to it, not written over it.
        const QString root = m_folder->homePath() + u"/kept/"_s;
        const QString rehearsed = root + u"20130828-1000"_s;
        oldBackup(rehearsed, 1);
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(10, 0)));
        bool fired = false;
        QTimer during;
        during.setInterval(2);
        connect(&during, &QTimer::timeout, this, [&] {
            if (fired || !m_engine->work().copyBeingWritten())
                return;
            fired = BackupStateStore(m_ctx).update([&](BackupState &s) {
                recordRehearsal(s, {false, rehearsed, m_clock.now(), 5, 1, 1, u"损坏"_s});
            });
        });
        during.start();
        const BackupOutcome outcome = runBackup(m_ctx, *m_engine, root);
        during.stop();
        QVERIFY2(outcome.ok && outcome.recorded, qPrintable(outcome.error));
        QVERIFY(fired);
        const BackupState state = loadBackupState(m_ctx.gs_path);
        QCOMPARE(state.lastGoodFolder, outcome.folder);
        QCOMPARE(outcome.folder, QDir::cleanPath(root + u"20130829-1000"_s));
        QVERIFY(QFileInfo(outcome.folder + u"/garvina.db"_s).isFile());
        QVERIFY(state.isFailed(rehearsed));
        QCOMPARE(state.lastRehearsal.backupFolder, rehearsed);

        // Every name of this minute taken: refused, and none of the backups there is written over.
        QStringList taken{root + u"20130829-1000"_s};
        for (int n = 1; n <= 10; ++n)
            taken << root + u"20130829-1000-"_s + QString::number(n);
        for (const QString &folder : std::as_const(taken)) {
            if (!QFileInfo::exists(folder))
                oldBackup(folder, 1);
        }
        const QByteArray lastBefore = [&] {
            QFile f(taken.last() + u"/garvina.db"_s);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        const BackupOutcome full = runBackup(m_ctx, *m_engine, root);
        QVERIFY(!full.ok);
        QCOMPARE(full.error, u"本分钟的备份目录已用完,请稍后再备份!"_s);
        QFile last(taken.last() + u"/garvina.db"_s);
        QVERIFY(last.open(QIODevice::ReadOnly));
        QCOMPARE(last.readAll(), lastBefore);
        QCOMPARE(entries(root).size(), taken.size() + 1);
        QCOMPARE(loadBackupState(m_ctx.gs_path).lastGoodFolder, outcome.folder);
    }

    void stateFileThatCannotBeSaved()
    {
        // The backup is good but its record cannot be written: it is kept, the failure is logged,
        // and retention, whose choices rest on the record, deletes nothing.
        const QString root = m_folder->homePath() + u"/unsaved/"_s;
        for (int day = 1; day <= 12; ++day)
            oldBackup(root + QDate(2013, 9, day).toString(u"yyyyMMdd"_s) + u"-1000"_s, 1);
        const QStringList before = entries(root);
        const QString lastGood = loadBackupState(m_ctx.gs_path).lastGoodFolder;
        m_clock.set(QDateTime(QDate(2013, 9, 20), QTime(10, 0)));
        m_fx.files.failingTarget = m_ctx.gs_path + backupStateFileName();
        const BackupOutcome outcome = runBackup(m_ctx, *m_engine, root);
        m_fx.files.failingTarget.clear();
        QVERIFY2(outcome.ok, qPrintable(outcome.error));
        QVERIFY(!outcome.recorded);
        QVERIFY(QFileInfo(outcome.folder + u"/garvina.db"_s).isFile());
        QCOMPARE(entries(root), QStringList(before) << u"20130920-1000"_s);
        QCOMPARE(loadBackupState(m_ctx.gs_path).lastGoodFolder, lastGood);
        QFile log(m_ctx.gs_path + backupErrorLogName());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(log.readAll())
                    .contains(u"2013-09-20 10:00:00:"_s + BackupStateStore::saveErrorText()));
    }

    // A rehearsal that cannot run says nothing against the backup; one short of room on the backup
    // disk works on another. Last: it leaves the program folder's tool/ a (large) disk of its own.
    void rehearsalThatCannotRun_data()
    {
        QTest::addColumn<QString>("room"); // where the scratch files have room: backup, program, none
        QTest::addColumn<bool>("file");
        QTest::addColumn<QString>("error"); // how the record starts; empty: rehearsed
        QTest::newRow("backup file gone") << u"backup"_s << false << u"备份数据库文件不存在!"_s;
        QTest::newRow("backup disk full") << u"program"_s << true << QString();
        QTest::newRow("no room anywhere") << u"none"_s << true << u"备份所在磁盘空间不足,演练还原需要 "_s;
    }
    void rehearsalThatCannotRun()
    {
        QFETCH(QString, room);
        QFETCH(bool, file);
        QFETCH(QString, error);
        const qint64 mb = 1 << 20;
        const QString disk = m_folder->homePath() + u"/rehearsed-"_s + room, tool = m_ctx.gs_path + u"tool"_s;
        m_disks.mount(disk, room == u"backup"_s ? 4 * m_live + 128 * mb : m_live + 40 * mb);
        QString made;
        QVERIFY2(f_backup_db(m_ctx, *m_engine, disk + u"/备份/"_s, made), qPrintable(made));
        const QString folder = disk + u"/备份/"_s + entries(disk + u"/备份"_s).value(0);
        if (!file)
            QVERIFY(QFile::remove(folder + u"/garvina.db"_s));
        if (room == u"none"_s) {
            m_disks.mount(tool, 1);
            m_disks.mount(disk + u"/tmp"_s, 1);
            qputenv("TMPDIR", (disk + u"/tmp"_s).toUtf8());
        }
        Maintenance maintenance(m_ctx, *m_engine);
        QSignalSpy spy(&maintenance, &Maintenance::rehearsalRecorded);
        QVERIFY(maintenance.startRehearsal(folder));
        QVERIFY(spy.wait(180000));
        m_disks.mount(tool, quint64(1) << 50);
        qunsetenv("TMPDIR");
        const BackupState state = loadBackupState(m_ctx.gs_path);
        QVERIFY(!state.isFailed(folder));
        QCOMPARE(state.isRehearsed(folder), error.isEmpty());
        QVERIFY2(state.lastRehearsal.error.startsWith(error), qPrintable(state.lastRehearsal.error));
    }
};

QTEST_GUILESS_MAIN(TestBackupCare)
#include "tst_backupcare.moc"
