// What a crash leaves behind: unfinished copies, and a database left in backup mode by a killed engine.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "maintenance/crashrecovery.h"
#include "maintenance/dbheader.h"
#include "maintenance/dbunload.h"
#include "maintenance/restore.h"
#include "support/enginefixture.h"
#include "support/recordingnotice.h"

#include <QDir>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestCrashRecovery : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    AppContext &m_ctx = m_fx.ctx;
    std::unique_ptr<EngineControl> &m_engine = m_fx.engine;
    QString m_root;
    QString m_backup; // taken before any lock

    QString live() const { return m_ctx.gs_path + u"data/garvina.db"_s; }

    /// Customers with card \a card in the live database, through the running engine.
    int liveRows(const QString &card)
    {
        if (!m_engine->f_connectdb())
            return -1;
        QSqlQuery q(m_engine->sqlca().database());
        const int n = q.exec(u"select count(*) from customers where card_no = '%1'"_s.arg(card)) && q.next()
                          ? q.value(0).toInt()
                          : -1;
        q.finish();
        m_engine->sqlca().disconnect();
        return n;
    }
    int rowsIn(const QString &file, const QString &card) const
    {
        const QString out = m_fx.folder->runSql(
            file, u"select count(*) from customers where card_no = '%1';"_s.arg(card).toUtf8());
        return out.isNull() ? -1 : out.toInt();
    }
    /// Writes the row of card \a card through the running engine.
    bool writeRow(const QString &card)
    {
        Sqlca &sqlca = m_engine->sqlca();
        const bool ok = m_engine->f_connectdb() &&
                        sqlca.executeImmediate(
                            u"insert into customers (card_no, name) values ('%1', '收银')"_s.arg(card)) &&
                        sqlca.commit();
        sqlca.disconnect();
        return ok;
    }
    /// Backs up at \a at, calling \a onCopy once while the engine writes the copy, when the copy has
    /// grown to \a share of the live file.
    bool backupWith(const QTime &at, double share, const std::function<void()> &onCopy, QString &error,
                    BackupRun run = {})
    {
        m_fx.clock.set(QDateTime(QDate(2013, 8, 30), at));
        const QString part = m_root + m_fx.clock.now().toString(u"yyyyMMdd-HHmm"_s) + u"/garvina.db.part"_s;
        const std::optional<DbHeader> header = readDbHeader(live());
        const qint64 whole = header ? header->pagesInUse * header->pageSize : 0; // what the copy holds
        bool called = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (m_engine->work().copyBeingWritten() && QFileInfo(part).size() >= share * whole) {
                watch.stop();
                called = true;
                onCopy();
            }
        });
        watch.start(0);
        const bool ok = f_backup_db(m_ctx, *m_engine, m_root, error, run);
        return called && !ok;
    }
    QString errorLog() const
    {
        QFile log(m_ctx.gs_path + backupErrorLogName());
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        m_root = m_fx.folder->homePath() + u"/织云阁软件备份/"_s;
        QVERIFY(m_engine->f_db_server(u"START"_s));
        m_fx.clock.set(QDateTime(QDate(2013, 8, 29), QTime(8, 0)));
        QString error;
        QVERIFY2(f_backup_db(m_ctx, *m_engine, m_root, error), qPrintable(error));
        m_backup = m_root + u"20130829-0800/garvina.db"_s;
    }
    void cleanupTestCase()
    {
        if (m_engine)
            m_engine->f_db_server(u"STOP"_s);
    }

    void unfinishedCopiesGo_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("recent");
        QTest::addColumn<QStringList>("left"); // what the folder holds afterwards; empty: folder gone
        const QStringList part{u"garvina.db.part"_s}, whole{u"garvina.db"_s};
        QTest::newRow("killed backup") << u"20130801-0900"_s << part << false << QStringList();
        QTest::newRow("killed safety copy before a restore")
            << u"20130801-0900-R"_s << part << false << QStringList();
        QTest::newRow("killed copy beside a note")
            << u"20130801-0900-U"_s << (part + QStringList{u"note.txt"_s}) << false
            << QStringList{u"note.txt"_s};
        QTest::newRow("copy still being written") << u"20130801-0901"_s << part << true << part;
        QTest::newRow("finished backup") << u"20130801-0902"_s << whole << false << whole;
    }
    void unfinishedCopiesGo()
    {
        QFETCH(QString, folder);
        QFETCH(QStringList, files);
        QFETCH(bool, recent);
        QFETCH(QStringList, left);
        QTemporaryDir root;
        const QString dir = root.filePath(folder);
        QVERIFY(QDir().mkpath(dir));
        for (const QString &name : files) {
            QFile f(dir + u'/' + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(8192, 'x'));
            f.flush();
            if (!recent)
                QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                      QFileDevice::FileModificationTime));
        }
        QCOMPARE(backupBeingWritten(root.path() + u'/'), recent);
        removeUnfinishedCopies(root.path() + u'/');
        QCOMPARE(QDir(dir).exists(), !left.isEmpty());
        if (!left.isEmpty())
            QCOMPARE(QDir(dir).entryList(QDir::Files), left);
    }

    void engineGoneIsStartedAgain_data()
    {
        QTest::addColumn<bool>("duringTheCopy");
        QTest::addColumn<bool>("cannotStart");
        QTest::addColumn<int>("minute");
        QTest::newRow("killed while it writes the copy") << true << false << 1;
        QTest::newRow("killed while the copy is checked") << false << false << 0;
        QTest::newRow("killed while checked, cannot start") << false << true << 2;
    }
    void engineGoneIsStartedAgain()
    {
        QFETCH(bool, duringTheCopy);
        QFETCH(bool, cannotStart);
        QFETCH(int, minute);
        const QTime at(10, minute);
        const QString live = EngineInstance(m_ctx.gs_path).databaseFile();
        m_fx.clock.set(QDateTime(QDate(2013, 8, 29), at));
        const QString copy = m_root + u"20130829-"_s + at.toString(u"HHmm"_s) + u"/garvina.db"_s;
        const qint64 before = runningEnginePid(m_ctx.gs_path);
        QVERIFY(before > 0);
        QTimer killer;
        connect(&killer, &QTimer::timeout, this, [&] {
            if (QFileInfo::exists(copy + u".part"_s) &&
                m_engine->work().copyBeingWritten() == duringTheCopy) {
                killer.stop();
                m_fx.folder->killEngine();
                // Without its database the engine cannot be started again.
                if (cannotStart)
                    QFile::rename(live, live + u".away"_s);
            }
        });
        killer.start(0);
        QString error;
        QFile::remove(m_ctx.gs_path + backupErrorLogName());
        QCOMPARE(f_backup_db(m_ctx, *m_engine, m_root, error), !duringTheCopy);
        QCOMPARE(QFileInfo::exists(copy), !duringTheCopy);
        QVERIFY(!QFileInfo::exists(copy + u".part"_s));
        if (cannotStart) {
            // The backup is good and stays; that the tills are without an engine is said and logged.
            QCOMPARE(error, u"备份完成后数据库服务已停止,无法重新启动!"_s);
            QFile log(m_ctx.gs_path + backupErrorLogName());
            QVERIFY(log.open(QIODevice::ReadOnly));
            QVERIFY(QString::fromUtf8(log.readAll()).endsWith(u"2013-08-29 10:02:00:"_s + error + u"\r\n"_s));
            QVERIFY(QFile::rename(live + u".away"_s, live));
            QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));
            QVERIFY(m_engine->f_db_server(u"START"_s));
        } else {
            QCOMPARE(error.isEmpty(), !duringTheCopy);
        }
        const qint64 after = runningEnginePid(m_ctx.gs_path);
        QVERIFY(after > 0);
        QVERIFY(after != before);
        QVERIFY2(m_engine->f_connectdb(), qPrintable(m_engine->sqlca().sqlErrText()));
        m_engine->sqlca().disconnect();
    }

    /// The engine is killed while the live file is in backup mode, with a row written meanwhile (it
    /// lives in the delta only); the next start, backup, restore and rebuild each end the lock and
    /// keep that row in what they copy.
    void lockLeftByAKilledEngineIsEnded_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QTime>("at");
        QTest::newRow("start-up") << u"start-up"_s << QTime(9, 0);
        QTest::newRow("backup") << u"backup"_s << QTime(9, 10);
        QTest::newRow("restore") << u"restore"_s << QTime(9, 20);
        QTest::newRow("rebuild") << u"rebuild"_s << QTime(9, 30);
    }
    void lockLeftByAKilledEngineIsEnded()
    {
        QFETCH(QString, step);
        QFETCH(QTime, at);
        m_fx.clock.set(QDateTime(QDate(2013, 8, 29), at));
        const QString card = u"L-"_s + step;
        QVERIFY(m_engine->f_connectdb());
        Sqlca &sqlca = m_engine->sqlca();
        QVERIFY2(sqlca.executeImmediate(u"alter database begin backup"_s) && sqlca.commit(),
                 qPrintable(sqlca.sqlErrText()));
        QVERIFY(sqlca.executeImmediate(
            u"insert into customers (card_no, name) values ('%1', '锁定')"_s.arg(card)));
        QVERIFY(sqlca.commit());
        sqlca.disconnect();
        m_fx.folder->killEngine();
        QCOMPARE(backupLockOf(live()), BackupLock::Stalled);
        QVERIFY(QFileInfo::exists(live() + u".delta"_s));
        QVERIFY(m_engine->f_db_server(u"START"_s));

        const QString stamp = m_fx.clock.now().toString(u"yyyyMMdd-HHmm"_s);
        QString copy; // what the step copied of the live file
        if (step == u"start-up"_s) {
            QCOMPARE(endStaleBackupLock(m_ctx, m_engine.get()), StaleLock::Ended);
            QCOMPARE(liveRows(card), 1);
        } else if (step == u"backup"_s) {
            QString error;
            QVERIFY2(f_backup_db(m_ctx, *m_engine, m_root, error), qPrintable(error));
            copy = m_root + stamp + u"/garvina.db"_s;
        } else if (step == u"restore"_s) {
            m_fx.boxes.answerNext(MsgAnswer::Yes);
            QCOMPARE(f_restore(m_ctx, *m_engine, m_backup), RestoreOutcome::Restored);
            copy = m_root + stamp + u"-R/garvina.db"_s;
            QCOMPARE(liveRows(card), 0); // the backup's data
        } else {
            QVERIFY(m_engine->f_db_server(u"STOP"_s));
            test::RecordingNotice notice;
            QVERIFY(f_executewait(m_ctx, notice));
            copy = m_root + stamp + u"-U/garvina.db"_s;
            QCOMPARE(rowsIn(live(), card), 1);
            QVERIFY(m_engine->f_db_server(u"START"_s));
        }
        if (!copy.isEmpty())
            QCOMPARE(rowsIn(copy, card), 1);
        QCOMPARE(backupLockOf(live()), BackupLock::None);
        QVERIFY(errorLog().contains(m_fx.clock.now().toString(u"yyyy-MM-dd HH:mm:ss"_s) +
                                    u":数据库停留在备份状态,已结束备份状态并合并增量文件"_s));
        // The shop goes on: a backup after it works.
        m_fx.clock.set(m_fx.clock.now().addSecs(300));
        QString error;
        QVERIFY2(f_backup_db(m_ctx, *m_engine, m_root, error), qPrintable(error));
    }

    /// The engine is killed again and again while it writes a copy, a till writing between the kills.
    /// A kill while the engine ends the backup leaves the header clear but the catalogue's mark (and
    /// the delta) behind, and every later backup was refused; each next backup and the start-up
    /// repair what is left, and every row the till wrote is in the restored backup.
    void killsDuringTheCopyLeaveBackupsWorking()
    {
        Sqlca &sqlca = m_engine->sqlca();
        QVERIFY(m_engine->f_connectdb()); // a database large enough for the copy to take a while
        QVERIFY(sqlca.executeImmediate(u"create table bulk (pad varchar(1000))"_s) && sqlca.commit());
        QVERIFY(
            sqlca.executeImmediate(u"execute block as declare i int = 0; begin while (i < 30000) do begin "
                                   "insert into bulk values (lpad('', 1000, uuid_to_char(gen_uuid()))); "
                                   "i = i + 1; end end"_s) &&
            sqlca.commit());
        sqlca.disconnect();
        QStringList cards;
        QString error;
        // The state a kill while the engine ends a backup leaves, made for certain: a merge cut short.
        QVERIFY(m_engine->f_connectdb());
        QVERIFY(sqlca.executeImmediate(u"alter database begin backup"_s) && sqlca.commit());
        QVERIFY(sqlca.executeImmediate(u"update bulk set pad = lpad('', 1000, uuid_to_char(gen_uuid()))"_s) &&
                sqlca.commit());
        sqlca.disconnect();
        cards.append(u"K-merge"_s);
        QVERIFY(writeRow(cards.last()));
        QProcess end;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"ISC_USER"_s, u"DBA"_s);
        env.insert(u"ISC_PASSWORD"_s, readDbaPassword(m_ctx.gs_path));
        end.setProcessEnvironment(env);
        end.start(u"isql-fb"_s, {u"-q"_s, u"127.0.0.1/"_s + m_ctx.readConfig(u"server"_s, u"dataport"_s, {}) +
                                              u":GARVINANET"_s});
        end.write("alter database end backup;\ncommit;\n");
        end.closeWriteChannel();
        QVERIFY(QTest::qWaitFor([&] { return backupLockOf(live()) == BackupLock::Merge; }, 60000));
        m_fx.folder->killEngine();
        QVERIFY(end.waitForFinished());
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QCOMPARE(liveRows(cards.last()), 1);
        // The engine merges the rest back after its first attach; the mark outlives the merge.
        QCOMPARE(endStaleBackupLock(m_ctx, m_engine.get()), StaleLock::Ended);
        QCOMPARE(backupLockOf(live()), BackupLock::None);
        QVERIFY(errorLog().contains(u"数据库的备份标记没有清除,已清除"_s));
        // A delta beside a clean header is stale: it goes, and the next backup is not refused.
        QVERIFY(QFile::copy(live(), live() + u".delta"_s));
        QCOMPARE(endStaleBackupLock(m_ctx, m_engine.get()), StaleLock::Ended);
        QVERIFY(!QFileInfo::exists(live() + u".delta"_s));
        QVERIFY(errorLog().contains(u"已删除数据库旁过期的增量文件"_s));

        // Shares of the copy: across it, and three times at its end, when the engine ends the backup.
        for (int kill = 0; kill < 12; ++kill) {
            cards.append(u"K-%1"_s.arg(kill));
            QVERIFY(writeRow(cards.last()));
            QVERIFY2(backupWith(
                         QTime(12, kill), std::min(1.0, (kill + 1) / 10.0),
                         [&] { m_fx.folder->killEngine(); }, error),
                     qPrintable(u"kill %1: %2"_s.arg(kill).arg(error)));
            QVERIFY(!QDir(m_root + u"20130830-12%1"_s.arg(kill, 2, 10, QChar(u'0'))).exists());
            if (!f_findwindows_garvinanet(m_ctx.gs_path))
                QVERIFY(m_engine->f_db_server(u"START"_s));
        }
        endStaleBackupLock(m_ctx, m_engine.get()); // what start-up does
        cards.append(u"K-after"_s);
        QVERIFY(writeRow(cards.last()));
        m_fx.clock.set(QDateTime(QDate(2013, 8, 30), QTime(13, 0)));
        QVERIFY2(f_backup_db(m_ctx, *m_engine, m_root, error), qPrintable(error));
        m_fx.boxes.answerNext(MsgAnswer::Yes);
        QCOMPARE(f_restore(m_ctx, *m_engine, m_root + u"20130830-1300/garvina.db"_s),
                 RestoreOutcome::Restored);
        for (const QString &card : cards)
            QVERIFY2(liveRows(card) == 1, qPrintable(card));
    }

    /// An engine stopped by a signal during the copy: the backup gives up within its bound and says
    /// why; once continued, the next backup works.
    void stoppedEngineEndsTheBackup()
    {
        const QString pid = QString::number(runningEnginePid(m_ctx.gs_path));
        BackupRun run;
        run.engineAnswerBoundMs = 2000;
        QString error;
        QVERIFY(backupWith(
            QTime(14, 0), 0,
            [&] {
                QProcess::execute(u"kill"_s, {u"-STOP"_s, pid});
            },
            error, run));
        QVERIFY(m_engine->paused());
        QProcess::execute(u"kill"_s, {u"-CONT"_s, pid});
        QCOMPARE(error, u"备份时,数据库服务已暂停,没有应答!"_s);
        QVERIFY(QTest::qWaitFor([&] { return backupLockOf(live()) == BackupLock::None; }, 60000));
        // The engine finishes the copy it was left with first; a backup of the next minutes works.
        int minute = 0;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         m_fx.clock.set(QDateTime(QDate(2013, 8, 30), QTime(14, ++minute)));
                         return f_backup_db(m_ctx, *m_engine, m_root, error);
                     },
                     30000),
                 qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestCrashRecovery)
#include "tst_crashrecovery.moc"
