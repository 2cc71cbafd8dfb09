// Restoring a backup in place of the live database, with the real engine.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "maintenance/restore.h"
#include "platform/filesystem.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"
#include "support/enginefixture.h"

#include <QDir>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestRestore : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    std::unique_ptr<test::TestProgramFolder> &m_folder = m_fx.folder;
    test::RecordingMessageBoxes &m_boxes = m_fx.boxes;
    test::ManualClock &m_clock = m_fx.clock;
    AppContext &m_ctx = m_fx.ctx;
    std::unique_ptr<EngineControl> &m_engine = m_fx.engine;
    QString m_root;
    QString m_backup; // a backup taken at the start, holding no "restore-marker" customer
    QTemporaryDir m_tmp;
    QString m_big; // a copy of the backup grown past 9 MB, its system tables in its first pages

    QString live() const { return m_ctx.gs_path + u"data/garvina.db"_s; }

    int markers()
    {
        if (!m_engine->f_connectdb())
            return -1;
        QSqlQuery q(m_engine->sqlca().database());
        const int n = (q.exec(u"select count(*) from customers where card_no = 'R-1'"_s) && q.next())
                          ? q.value(0).toInt()
                          : -1;
        q.finish();
        m_engine->sqlca().disconnect();
        return n;
    }

    /// The live file's identity: a replaced file is a new inode.
    quint64 liveInode() const
    {
        const auto file = LinuxFileSystem().identity(live());
        return file ? file->inode : 0;
    }

    QStringList safetyFolders() const
    {
        return QDir(m_root).entryList({u"*-R"_s}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        m_root = m_folder->homePath() + u"/织云阁软件备份/"_s;
        QVERIFY(m_engine->f_db_server(u"START"_s));
        QString error;
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(8, 0)));
        QVERIFY2(f_backup_db(m_ctx, *m_engine, m_root, error), qPrintable(error));
        m_backup = m_root + u"20130829-0800/garvina.db"_s;
        // After the backup the shop goes on working: a new customer.
        QVERIFY(m_engine->f_connectdb());
        QVERIFY(m_engine->sqlca().executeImmediate(
            u"insert into customers (card_no, name) values ('R-1', '还原标记')"_s));
        QVERIFY(m_engine->sqlca().commit());
        m_engine->sqlca().disconnect();
        QCOMPARE(markers(), 1);

        m_big = m_tmp.filePath(u"big.db"_s);
        QVERIFY(QFile::copy(m_backup, m_big));
        QVERIFY(QFile::setPermissions(m_big, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        { // grown with the embedded tool
            ToolRequest r;
            r.program = u"isql-fb"_s;
            r.arguments = {u"-q"_s, u"-user"_s, u"DBA"_s, m_big};
            r.extraEnvironment = EngineInstance(m_ctx.gs_path).toolEnvironment();
            r.input = "create table filler (x varchar(4000)); commit;\n"
                      "set term ^;\nexecute block as declare i int = 0; begin "
                      "while (i < 3000) do begin insert into filler values "
                      "(lpad('', 4000, uuid_to_char(gen_uuid()))); i = i + 1; end end^\n"
                      "set term ;^\ncommit;\nquit;\n";
            const ToolResult res = runTool(r);
            QVERIFY2(res.succeeded() && res.output.trimmed().isEmpty(), res.output.constData());
        }
        QVERIFY(QFileInfo(m_big).size() > 12 * 1048576);
    }
    void cleanupTestCase()
    {
        if (m_engine)
            m_engine->f_db_server(u"STOP"_s);
    }
    void init() { m_boxes.shown.clear(); }

    void refusedInputsChangeNothing_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << u""_s << int(RestoreOutcome::NoFileChosen) << u"请选好要还原的数据库文件"_s;
        QTest::newRow("blanks") << u"   "_s << int(RestoreOutcome::NoFileChosen)
                                << u"请选好要还原的数据库文件"_s;
        QTest::newRow("missing file") << u"/nonexistent/garvina.db"_s << int(RestoreOutcome::FileMissing)
                                      << u"要还原的数据库文件不存在,请核实"_s;
    }
    void refusedInputsChangeNothing()
    {
        QFETCH(QString, path);
        QFETCH(int, outcome);
        QFETCH(QString, message);
        QCOMPARE(int(f_restore(m_ctx, *m_engine, path)), outcome);
        QCOMPARE(m_boxes.texts(), QStringList{message});
        QCOMPARE(m_boxes.last().icon, MsgIcon::StopSign);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path));
        QVERIFY(safetyFolders().isEmpty());
    }

    void notADatabaseIsRefusedBeforeTheEngineStops()
    {
        QTemporaryDir tmp;
        const QString fake = tmp.filePath(u"fake.DB"_s);
        QFile f(fake);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(65536, 'x'));
        f.close();
        const qint64 pid = runningEnginePid(m_ctx.gs_path);
        m_boxes.answerNext(MsgAnswer::Yes);
        QCOMPARE(f_restore(m_ctx, *m_engine, fake), RestoreOutcome::NotADatabase);
        QCOMPARE(m_boxes.last().text, u"所选文件不是有效的数据库文件,请核实"_s);
        QCOMPARE(runningEnginePid(m_ctx.gs_path), pid); // never stopped
        QVERIFY(safetyFolders().isEmpty());
        QVERIFY(!QFileInfo::exists(m_ctx.gs_path + u"data/garvina.db.restore"_s));
        QCOMPARE(markers(), 1);
    }

    void cutDatabaseIsRefused_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("4 MB") << qint64(4 * 1048576);
        QTest::newRow("9 MB") << qint64(9 * 1048576);
        QTest::newRow("12 MB") << qint64(12 * 1048576);
        QTest::newRow("not whole pages") << qint64(12 * 1048576 + 100);
    }
    void cutDatabaseIsRefused()
    {
        QVERIFY(verifyDatabaseWhole(m_ctx.gs_path, m_big).isEmpty());
        QFETCH(qint64, size);
        const QString cut = m_tmp.filePath(u"cut.db"_s);
        QFile::remove(cut);
        QVERIFY(QFile::copy(m_big, cut));
        QVERIFY(QFile::setPermissions(cut, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(QFile::resize(cut, size));
        QVERIFY(!verifyDatabaseWhole(m_ctx.gs_path, cut).isEmpty()); // the backup's own check
        const quint64 before = liveInode();
        m_boxes.answerNext(MsgAnswer::Yes);
        QCOMPARE(f_restore(m_ctx, *m_engine, cut), RestoreOutcome::NotADatabase);
        QCOMPARE(m_boxes.last().text, u"所选文件不是有效的数据库文件,请核实"_s);
        QCOMPARE(liveInode(), before);
        QVERIFY(safetyFolders().isEmpty());
    }

    void noAtTheQuestionChangesNothing()
    {
        m_boxes.answerNext(MsgAnswer::No);
        QCOMPARE(f_restore(m_ctx, *m_engine, m_backup), RestoreOutcome::Declined);
        QCOMPARE(m_boxes.last().text, u"是否确定还原数据库?"_s);
        QCOMPARE(m_boxes.last().icon, MsgIcon::Question);
        QCOMPARE(m_boxes.last().defaultAnswer, MsgAnswer::No);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path));
        QVERIFY(safetyFolders().isEmpty());
        QCOMPARE(markers(), 1);
    }

    void copyFailingMidwayLeavesTheLiveDatabase()
    {
        const quint64 before = liveInode();
        const FileCopier failing = [](const QString &source, const QString &target) {
            QFile in(source), out(target);
            in.open(QIODevice::ReadOnly);
            out.open(QIODevice::WriteOnly);
            out.write(in.read(in.size() / 2));
            return -2; // the disk filled up half-way
        };
        m_boxes.answerNext(MsgAnswer::Yes);
        QCOMPARE(f_restore(m_ctx, *m_engine, m_backup, {}, failing), RestoreOutcome::WriteError);
        QCOMPARE(m_boxes.last().text, u"写入目标文件出错!"_s);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path));
        QCOMPARE(liveInode(), before);
        QCOMPARE(markers(), 1);
        QVERIFY(!QFileInfo::exists(m_ctx.gs_path + u"data/garvina.db.restore"_s));
    }

    void safetyCopyImpossibleAsksFirst()
    {
        m_ctx.writeConfig(u"backup"_s, u"backuppath"_s, u"/proc/garvina-none/"_s);
        m_boxes.answerNext(MsgAnswer::Yes); // restore?
        m_boxes.answerNext(MsgAnswer::No);  // without a safety copy?
        QCOMPARE(f_restore(m_ctx, *m_engine, m_backup), RestoreOutcome::Declined);
        m_ctx.writeConfig(u"backup"_s, u"backuppath"_s, m_root);
        QCOMPARE(m_boxes.last().text, u"无法保存当前数据库的安全副本,是否仍要还原?"_s);
        QCOMPARE(m_boxes.last().defaultAnswer, MsgAnswer::No);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path)); // started again
        QCOMPARE(markers(), 1);
    }

    void liveFileHeldOpenIsNeverReplaced()
    {
        const quint64 before = liveInode();
        ToolRequest holder;
        holder.program = u"/bin/sh"_s;
        holder.arguments = {u"-c"_s, u"exec /bin/sleep 30 3<\"$0\""_s, live()};
        ToolJob job(holder);
        job.start();
        QTRY_VERIFY(!LinuxProcessTable().holdersOf(live()).isEmpty());
        m_boxes.answerNext(MsgAnswer::Yes);
        QCOMPARE(f_restore(m_ctx, *m_engine, m_backup), RestoreOutcome::EngineDidNotStop);
        QCOMPARE(m_boxes.last().text, u"操作错误!"_s);
        QCOMPARE(liveInode(), before);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path)); // the shop works on
        QCOMPARE(markers(), 1);
        QVERIFY(!QFileInfo::exists(m_ctx.gs_path + u"data/garvina.db.restore"_s));
    }

    void restoreEndToEnd()
    {
        // The engine's pid file is gone (a console killed while it wrote it): the engine is still
        // found and stopped, not left serving the replaced file.
        QVERIFY(QFile::remove(enginePidFile(m_ctx.gs_path)));
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(17, 45)));
        m_boxes.answerNext(MsgAnswer::Yes);
        // Low disk space is a warning only; the path arrives with blanks around it.
        const auto low = [](const QString &) {
            return quint64(50) * 1048576;
        };
        QStringList copiedTo;
        const FileCopier recording = [&copiedTo, this](const QString &source, const QString &target) {
            copiedTo.append(target);
            return m_fx.files.copyFile(source, target);
        };
        QCOMPARE(f_restore(m_ctx, *m_engine, u"  "_s + m_backup + u"  "_s, low, recording),
                 RestoreOutcome::Restored);
        // The safety copy is written under a name no reader takes for a database until it is whole.
        QCOMPARE(copiedTo, (QStringList{m_ctx.gs_path + u"data/garvina.db.restore"_s,
                                        m_root + u"20130829-1745-R/garvina.db.part"_s}));
        QCOMPARE(
            m_boxes.texts(),
            (QStringList{
                u"服装软件所在的硬盘剩余空间不足100M,可能会影响服装软件使用,\n\n请整理出更多的硬盘空间,确保软件正常使用"_s,
                u"是否确定还原数据库?"_s, u"还原数据库成功!"_s}));
        QCOMPARE(m_boxes.shown.first().title, u"空间不足提示"_s);
        QCOMPARE(m_boxes.last().icon, MsgIcon::Information);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path));
        QCOMPARE(markers(), 0); // the data of the backup
        // The safety copy holds the database as it was before, with the marker.
        QCOMPARE(safetyFolders(), QStringList{u"20130829-1745-R"_s});
        const QString previous = m_root + u"20130829-1745-R/garvina.db"_s;
        QVERIFY(verifyDatabaseOpens(m_ctx.gs_path, previous).isEmpty());
        QVERIFY(!QFileInfo::exists(previous + u".part"_s));
        QVERIFY(!QFileInfo::exists(m_ctx.gs_path + u"data/garvina.db.restore"_s));
    }
};

QTEST_GUILESS_MAIN(TestRestore)
#include "tst_restore.moc"
