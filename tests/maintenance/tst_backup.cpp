// Online backups with the real engine of a temporary program folder.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "maintenance/backup.h"
#include "maintenance/crashrecovery.h"
#include "maintenance/dbheader.h"
#include "maintenance/restore.h"
#include "platform/endrequest.h"
#include "platform/filesystem.h"
#include "support/enginefixture.h"

#include <QDir>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestBackup : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    std::unique_ptr<test::TestProgramFolder> &m_folder = m_fx.folder;
    test::RecordingMessageBoxes &m_boxes = m_fx.boxes;
    test::ManualClock &m_clock = m_fx.clock;
    AppContext &m_ctx = m_fx.ctx;
    std::unique_ptr<EngineControl> &m_engine = m_fx.engine;
    QString m_root;

    /// Rows of the goods table in a database file, read with the embedded tool.
    int goodsIn(const QString &file)
    {
        const QString out = m_folder->runSql(file, "select count(*) from goods;");
        return out.isNull() ? -1 : out.toInt();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QVERIFY(m_boxes.shown.isEmpty());
        m_root = m_folder->homePath() + u"/织云阁软件备份/"_s;
    }
    void cleanupTestCase()
    {
        if (m_engine)
            m_engine->f_db_server(u"STOP"_s);
    }

    void backupsOpenAsDatabasesAndNameTheirFolders()
    {
        // A row committed just before the backup is in it, while a client stays connected.
        QVERIFY(m_engine->f_connectdb());
        QVERIFY(m_engine->sqlca().executeImmediate(
            u"insert into customers (card_no, name, phone) values ('B-0001', '备份测试', '123')"_s));
        QVERIFY(m_engine->sqlca().commit());
        m_engine->sqlca().disconnect();

        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(15, 13, 20)));
        QStringList folders;
        for (int i = 0; i < 3; ++i) {
            QString error;
            QVERIFY2(f_backup_db(m_ctx, *m_engine, m_root, error), qPrintable(error));
            QVERIFY(error.isEmpty());
            QVERIFY(!m_engine->sqlca().isConnected());
        }
        QCOMPARE(QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
                 (QStringList{u"20130829-1513"_s, u"20130829-1513-1"_s, u"20130829-1513-2"_s}));
        for (const QString &f : {u"20130829-1513"_s, u"20130829-1513-2"_s}) {
            const QString copy = m_root + f + u"/garvina.db"_s;
            QVERIFY(QFileInfo(copy).isFile());
            QVERIFY(!QFileInfo::exists(copy + u".part"_s));
            QVERIFY(goodsIn(copy) > 0);
        }
        // The backup holds the row committed before it.
        QCOMPARE(m_folder->runSql(m_root + u"20130829-1513/garvina.db"_s,
                                  "select count(*) from customers where name = '备份测试';"),
                 u"1"_s);
    }

    void folderProblemsAreReportedAndTheConnectionClosed()
    {
        QString error;
        QVERIFY(!f_backup_db(m_ctx, *m_engine, u"relative/backup/"_s, error));
        QCOMPARE(error, u"非法路径:relative/backup/"_s);
        QVERIFY(!m_engine->sqlca().isConnected());

        QVERIFY(!f_backup_db(m_ctx, *m_engine, u"/proc/garvina-backup/"_s, error));
        QCOMPARE(error, u"创建目录 /proc/garvina-backup 出错!"_s);
        QVERIFY(!m_engine->sqlca().isConnected());
    }

    void errorLogGrowsOneLinePerCall()
    {
        QFile::remove(m_ctx.gs_path + backupErrorLogName());
        f_filewrite_backup_error_to_txt(m_ctx.gs_path, u"2013-08-29 16:00:00:第一"_s);
        f_filewrite_backup_error_to_txt(m_ctx.gs_path, u"2013-08-29 20:00:00:second"_s);
        QFile log(m_ctx.gs_path + u"备份数据库出错记录.txt"_s);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), u"2013-08-29 16:00:00:第一\r\n2013-08-29 20:00:00:second\r\n"_s.toUtf8());
        // A log that cannot be written is skipped silently.
        f_filewrite_backup_error_to_txt(u"/proc/none/"_s, u"x"_s);
    }

    void validationOutput_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("damage");
        QTest::newRow("nothing found") << QString() << false;
        QTest::newRow("an orphan back version")
            << u"Summary of validation errors\n\tNumber of record level warnings\t: 1\n"_s << false;
        QTest::newRow("warnings of two kinds")
            << u"Summary of validation errors\n\tNumber of record level warnings\t: 2\n"
               u"\tNumber of index warnings\t: 1"_s
            << false;
        QTest::newRow("a record error")
            << u"Summary of validation errors\n\tNumber of record level errors\t: 1"_s << true;
        QTest::newRow("errors beside warnings")
            << u"Summary of validation errors\n\tNumber of record level warnings\t: 1\n"
               u"\tNumber of data page errors\t: 3"_s
            << true;
        QTest::newRow("the tool could not open it")
            << u"I/O error during \"read\" operation for file \"x.db\""_s << true;
    }
    void validationOutput()
    {
        QFETCH(QString, output);
        QFETCH(bool, damage);
        QCOMPARE(validationFindsDamage(output), damage);
    }

    void diskSpace()
    {
        const auto mb = [](double m) {
            return [m](const QString &) {
                return quint64(m * 1048576.0);
            };
        };
        QVERIFY(f_check_diskspace(u"/"_s, 100, mb(99.6)));
        QVERIFY(!f_check_diskspace(u"/"_s, 100, mb(99.4)));
        QVERIFY(f_check_diskspace(u"/"_s, 100, mb(99.5)));
        QVERIFY(f_check_diskspace(u"/"_s, 100, mb(5000)));
        const FreeSpaceSource system = freeSpaceOf(*m_ctx.files);
        QVERIFY(!f_check_diskspace(u"/no/such/folder"_s, 1, system));
        QVERIFY(f_check_diskspace(u"/no/such/folder"_s, 0, system));
        QVERIFY(f_check_diskspace(m_ctx.gs_path, 1, system));
    }

    void failedCopyKeepsTheEngineServing()
    {
        // Every name of the minute taken, and the copy's file name blocked by a folder: the engine
        // cannot write the copy.
        m_clock.set(QDateTime(QDate(2013, 8, 30), QTime(10, 0)));
        QStringList names{u"20130830-1000"_s};
        for (int n = 1; n <= 10; ++n)
            names.append(u"20130830-1000-"_s + QString::number(n));
        for (const QString &n : names)
            QVERIFY(QDir().mkpath(m_root + n + u"/garvina.db.part"_s));
        QString error;
        QVERIFY(!f_backup_db(m_ctx, *m_engine, m_root, error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!QFileInfo::exists(m_root + u"20130830-1000/garvina.db"_s));
        // New connections are still accepted afterwards.
        QVERIFY2(m_engine->f_connectdb(), qPrintable(m_engine->sqlca().sqlErrText()));
        m_engine->sqlca().disconnect();
        QString error2;
        m_clock.set(QDateTime(QDate(2013, 8, 30), QTime(10, 1)));
        QVERIFY2(f_backup_db(m_ctx, *m_engine, m_root, error2), qPrintable(error2));
    }

    void engineStoppedMeansNoFolder()
    {
        QVERIFY(m_engine->f_db_server(u"STOP"_s));
        m_clock.set(QDateTime(QDate(2013, 8, 30), QTime(9, 0)));
        QString error;
        QVERIFY(!f_backup_db(m_ctx, *m_engine, m_root, error));
        QCOMPARE(error, u"备份时,连接数据库出错!"_s);
        QVERIFY(!QFileInfo::exists(m_root + u"20130830-0900"_s));
        QVERIFY(m_engine->f_db_server(u"START"_s));
    }

    void whileTheEngineCopies_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("minute");
        QTest::newRow("a second backup is refused") << u"backup"_s << 1;
        QTest::newRow("a restore is refused") << u"restore"_s << 2;
        QTest::newRow("the console's end stops it") << u"end"_s << 3;
    }
    void whileTheEngineCopies()
    {
        // The copy runs off the calling thread: its timers fire meanwhile, and what they ask for
        // must not clash with the backup under way.
        QFETCH(QString, action);
        QFETCH(int, minute);
        m_clock.set(QDateTime(QDate(2013, 9, 1), QTime(8, minute)));
        const QString folder = m_root + u"20130901-080"_s + QString::number(minute);
        const QString live = EngineInstance(m_ctx.gs_path).databaseFile();
        const auto liveBefore = LinuxFileSystem().identity(live);
        int ticksDuringCopy = 0;
        bool innerOk = true;
        QString innerError;
        RestoreOutcome restored = RestoreOutcome::Restored;
        QTimer timer;
        timer.setInterval(1);
        connect(&timer, &QTimer::timeout, this, [&] {
            // The engine has begun to write the copy (the log-in before it turns the loop too).
            if (!m_engine->work().copyBeingWritten() || !QFileInfo::exists(folder + u"/garvina.db.part"_s) ||
                ticksDuringCopy++ > 0)
                return;
            if (action == u"backup"_s)
                innerOk = f_backup_db(m_ctx, *m_engine, m_root, innerError);
            else if (action == u"restore"_s)
                restored = f_restore(m_ctx, *m_engine, m_root + u"20130829-1513/garvina.db"_s);
            else
                requestEnd();
        });
        timer.start();
        QString error;
        const bool ok = f_backup_db(m_ctx, *m_engine, m_root, error);
        timer.stop();
        takeUpEndRequest();

        QVERIFY(ticksDuringCopy > 0);
        QVERIFY(!m_engine->work().busy());
        QVERIFY(!QFileInfo::exists(folder + u"/garvina.db.part"_s));
        QVERIFY(!QFileInfo::exists(folder + u"-1"_s));
        if (action == u"end"_s) {
            // Ended in the copy or refused the tools after it: nothing that could pass for a backup.
            QVERIFY(!ok);
            QVERIFY(!error.isEmpty());
            QVERIFY(!QFileInfo::exists(folder + u"/garvina.db"_s));
            QTRY_VERIFY_WITH_TIMEOUT(backupLockOf(live) == BackupLock::None, 30000);
        } else {
            QVERIFY2(ok, qPrintable(error));
            QVERIFY(goodsIn(folder + u"/garvina.db"_s) > 0);
        }
        if (action == u"backup"_s) {
            QVERIFY(!innerOk);
            QCOMPARE(innerError, dataWorkRunningText());
        }
        if (action == u"restore"_s) {
            QCOMPARE(restored, RestoreOutcome::Busy);
            QCOMPARE(m_boxes.last().text, dataWorkRunningText());
        }
        QCOMPARE(LinuxFileSystem().identity(live).value_or(FileSystem::Identity()).inode, liveBefore->inode);
        QVERIFY2(m_engine->f_connectdb(), qPrintable(m_engine->sqlca().sqlErrText()));
        m_engine->sqlca().disconnect();
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_backup.moc"
