// Restore rehearsals of real backups taken from a running engine, with the engine's own tools.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "maintenance/rehearsal.h"
#include "platform/processlauncher.h"
#include "support/databasepages.h"
#include "support/enginefixture.h"
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

class TestRehearsal : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    std::unique_ptr<test::TestProgramFolder> &m_folder = m_fx.folder;
    test::RecordingMessageBoxes &m_boxes = m_fx.boxes;
    test::ManualClock &m_clock = m_fx.clock;
    AppContext &m_ctx = m_fx.ctx;
    std::unique_ptr<EngineControl> &m_engine = m_fx.engine;
    QString m_root, m_backup;
    int m_tables = 0;
    qint64 m_rows = 0;
    int m_customersId = 0;
    QByteArray m_liveHash, m_backupHash;

    QString live() const { return m_ctx.gs_path + u"data/garvina.db"_s; }

    static QByteArray hashOf(const QString &file)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray();
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&f);
        return hash.result();
    }
    static QStringList filesIn(const QString &folder)
    {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden);
    }

    static RehearsalResult resultOf(const QSignalSpy &spy)
    {
        return spy.at(0).at(0).value<RehearsalResult>();
    }

    /// A copy of the good backup in a folder of its own under the backup root.
    QString copyOfBackup(const QString &name)
    {
        const QString folder = m_root + name;
        QDir().mkpath(folder);
        QFile::copy(m_backup + u"/garvina.db"_s, folder + u"/garvina.db"_s);
        return folder;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(3, 30)));
        m_root = m_folder->homePath() + u"/织云阁软件备份/"_s;

        // Enough customers for a table of many data pages, one of which a damaged backup loses.
        const QString grown = m_folder->runSql(live(), R"(set term ^;
execute block as declare i integer = 0; begin
  while (i < 20000) do begin
    insert into customers (card_no, name, phone, points) values ('R' || :i, '顾客' || :i, '138', mod(:i, 500));
    i = i + 1;
  end
end^
set term ;^
commit;
select rdb$relation_id from rdb$relations where rdb$relation_name = 'CUSTOMERS';)");
        m_customersId = grown.toInt();
        QVERIFY2(m_customersId > 0, qPrintable(grown));

        // What a restore must give back, counted here table by table with the tool.
        const QStringList tables =
            m_folder
                ->runSql(
                    live(),
                    "select trim(rdb$relation_name) from rdb$relations where coalesce(rdb$system_flag, 0)"
                    " = 0 and rdb$view_blr is null;")
                .split(u' ', Qt::SkipEmptyParts);
        QVERIFY(tables.size() >= 5);
        QStringList counts;
        for (const QString &t : tables)
            counts << u"(select count(*) from "_s + t + u')';
        m_tables = int(tables.size());
        m_rows = m_folder->runSql(live(), "select " + counts.join(u" + "_s).toUtf8() + " from rdb$database;")
                     .toLongLong();
        QVERIFY(m_rows > 20000);

        // The backup is the console's own, taken online; the engine keeps serving during the rehearsals.
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QString error;
        QVERIFY2(f_backup_db(m_ctx, *m_engine, m_root, error), qPrintable(error));
        m_backup = m_root + u"20130829-0330"_s;
        QCOMPARE(filesIn(m_backup), QStringList{u"garvina.db"_s});
        m_liveHash = hashOf(live());
        m_backupHash = hashOf(m_backup + u"/garvina.db"_s);
    }
    void cleanupTestCase()
    {
        if (m_engine)
            m_engine->f_db_server(u"STOP"_s);
    }

    void goodBackupPassesAndTouchesNothing()
    {
        Rehearsal rehearsal(m_ctx.gs_path, &m_clock);
        QSignalSpy spy(&rehearsal, &Rehearsal::finished);
        // The window's timer keeps firing while the tools work.
        int ticks = 0;
        QTimer timer;
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
        timer.start();

        QVERIFY(rehearsal.start(m_backup));
        QVERIFY(!rehearsal.start(m_backup)); // one at a time
        QVERIFY(rehearsal.isRunning());
        QVERIFY(spy.wait(180000));
        timer.stop();
        QCOMPARE(spy.count(), 1);
        const RehearsalResult r = resultOf(spy);
        QVERIFY2(r.ok, qPrintable(r.error));
        QVERIFY(!rehearsal.isRunning());
        QCOMPARE(r.tables, m_tables);
        QCOMPARE(r.rows, m_rows);
        QCOMPARE(r.backupFolder, m_backup);
        QCOMPARE(r.started, m_clock.now());
        QVERIFY(r.durationMs > 0);
        QVERIFY2(
            ticks >= qMax<qint64>(5, r.durationMs / 10 / 5),
            qPrintable(QString::number(ticks) + u" ticks in "_s + QString::number(r.durationMs) + u" ms"_s));

        QCOMPARE(hashOf(live()), m_liveHash);
        QCOMPARE(hashOf(m_backup + u"/garvina.db"_s), m_backupHash);
        QCOMPARE(filesIn(m_backup), QStringList{u"garvina.db"_s});
    }

    void badBackupsFail_data()
    {
        QTest::addColumn<bool>("damage");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("toolWords");
        QTest::addColumn<bool>("notRun"); // nothing known against the backup
        QTest::newRow("damaged data page") << true << u"读出备份数据库出错:"_s << u"wrong type"_s << false;
        QTest::newRow("no database file") << false << u"备份数据库文件不存在!"_s << QString() << true;
    }
    void badBackupsFail()
    {
        QFETCH(bool, damage);
        QFETCH(QString, error);
        QFETCH(QString, toolWords);
        QFETCH(bool, notRun);
        const QString folder = damage ? copyOfBackup(u"damaged"_s) : m_root + u"empty"_s;
        QDir().mkpath(folder);
        if (damage)
            QVERIFY(test::damageMiddleDataPage(folder + u"/garvina.db"_s, m_customersId) > 0);
        const QStringList before = filesIn(folder);
        const QByteArray hash = hashOf(folder + u"/garvina.db"_s);

        Rehearsal rehearsal(m_ctx.gs_path);
        QSignalSpy spy(&rehearsal, &Rehearsal::finished);
        QVERIFY(rehearsal.start(folder));
        QCOMPARE(spy.count(), 0); // reported from the event loop, never from inside start()
        QVERIFY(spy.wait(180000));
        const RehearsalResult r = resultOf(spy);
        QVERIFY(!r.ok);
        QVERIFY2(r.error.startsWith(error) && r.error.contains(toolWords), qPrintable(r.error));
        QCOMPARE(r.notRun, notRun);
        QCOMPARE(filesIn(folder), before);
        QCOMPARE(hashOf(folder + u"/garvina.db"_s), hash);
    }

    void stoppingLeavesNothing_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::addColumn<int>("scratch"); // stop once this scratch file has appeared
        QTest::newRow("cancel while unloading") << false << 1;
        QTest::newRow("cancel while reloading") << false << 2;
        QTest::newRow("destroy while unloading") << true << 1;
        QTest::newRow("destroy while reloading") << true << 2;
    }
    void stoppingLeavesNothing()
    {
        QFETCH(bool, destroy);
        QFETCH(int, scratch);
        const QString folder = copyOfBackup(u"stopped"_s);
        auto rehearsal = std::make_unique<Rehearsal>(m_ctx.gs_path);
        QSignalSpy spy(rehearsal.get(), &Rehearsal::finished);
        QVERIFY(rehearsal->start(folder));
        // Never beside the backup: a folder with other files in it is not listed as a backup.
        QVERIFY(!rehearsal->scratchFolder().startsWith(folder));
        const QString watched = Rehearsal::scratchFiles(rehearsal->scratchFolder()).at(scratch);
        QElapsedTimer waited;
        waited.start();
        while (!(QFileInfo::exists(watched) && rehearsal->toolPid() > 0) && spy.isEmpty() &&
               waited.elapsed() < 120000)
            QTest::qWait(1);
        QVERIFY2(spy.isEmpty(), qPrintable(spy.isEmpty() ? QString() : resultOf(spy).error));
        const qint64 pid = rehearsal->toolPid();
        QVERIFY(pid > 0);

        if (destroy) {
            rehearsal.reset();
        } else {
            rehearsal->cancel();
            QCOMPARE(spy.count(), 1);
            const RehearsalResult r = resultOf(spy);
            QVERIFY(!r.ok);
            QVERIFY(r.cancelled);
            QCOMPARE(r.error, u"还原演练已取消!"_s);
            QVERIFY(!rehearsal->isRunning());
            QCOMPARE(rehearsal->toolPid(), 0);
        }
        QVERIFY(!processAlive(pid));
        QCOMPARE(filesIn(folder), QStringList{u"garvina.db"_s});
        QVERIFY(!QFileInfo::exists(QFileInfo(watched).path()));

        // A stopped tool leaves the instance fit for the next rehearsal.
        Rehearsal again(m_ctx.gs_path);
        QSignalSpy againSpy(&again, &Rehearsal::finished);
        QVERIFY(again.start(folder));
        QVERIFY(againSpy.wait(180000));
        QVERIFY2(resultOf(againSpy).ok, qPrintable(resultOf(againSpy).error));
        QCOMPARE(spy.count(), destroy ? 0 : 1);
    }

    void scratchPlace_data()
    {
        QTest::addColumn<QList<quint64>>("freeAndReserve"); // pairs, in the order the places are tried
        QTest::addColumn<int>("chosen");
        QTest::newRow("room on the backup disk") << QList<quint64>{100, 0, 500, 50} << 0;
        QTest::newRow("backup disk full: the next with room") << QList<quint64>{99, 0, 500, 50} << 1;
        QTest::newRow("a reserve counts against the room") << QList<quint64>{10, 0, 140, 50, 100, 0} << 2;
        QTest::newRow("a reserve larger than the free room") << QList<quint64>{10, 0, 40, 50} << -1;
    }
    void scratchPlace()
    {
        QFETCH(QList<quint64>, freeAndReserve);
        QFETCH(int, chosen);
        QList<ScratchPlace> places;
        for (qsizetype i = 0; i + 1 < freeAndReserve.size(); i += 2)
            places.append({QString::number(i), freeAndReserve.at(i), freeAndReserve.at(i + 1)});
        QCOMPARE(chooseScratchPlace(places, 100), chosen);
    }

    void rowCounts_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("tables");
        QTest::newRow("complete") << u"\ngarvina-count|GOODS|6   \ngarvina-count|A|B|0\ngarvina-counted  \n"_s
                                  << true << 2;
        QTest::newRow("cut off") << u"garvina-count|GOODS|6\n"_s << false << 1;
        QTest::newRow("error between") << u"garvina-count|GOODS|x\ngarvina-counted\n"_s << false << 0;
        QTest::newRow("no tables") << u"garvina-counted\n"_s << true << 0;
    }
    void rowCounts()
    {
        QFETCH(QString, output);
        QFETCH(bool, ok);
        QFETCH(int, tables);
        QHash<QString, qint64> counts;
        QCOMPARE(parseRowCounts(output, counts), ok);
        QCOMPARE(int(counts.size()), tables);
        if (ok && tables == 2)
            QCOMPARE(counts.value(u"A|B"_s), 0);
    }
};

QTEST_GUILESS_MAIN(TestRehearsal)
#include "tst_rehearsal.moc"
