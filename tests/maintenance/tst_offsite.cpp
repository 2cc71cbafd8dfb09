// The off-site stream with the real engine and restic: levels, the chain, the fetch and the restore.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "maintenance/backupcare.h"
#include "maintenance/maintenance.h"
#include "maintenance/offsite.h"
#include "maintenance/retention.h"
#include "platform/toolrunner.h"
#include "support/enginefixture.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {

/// An sshd of the test's own on 127.0.0.1 that lets in one key; ended with the object.
struct LocalSshd
{
    QString skip; ///< why none runs
    QString key;
    int port = 0;
    qint64 pid = 0;

    explicit LocalSshd(const QString &dir)
    {
        if (getuid() != 0 || !QFileInfo(u"/usr/sbin/sshd"_s).isExecutable()) {
            skip = u"an sshd of its own needs root and /usr/sbin/sshd (openssh-server)"_s;
            return;
        }
        key = dir + u"/id"_s;
        const auto run = [](const QString &program, const QStringList &args) {
            ToolRequest r;
            r.program = program;
            r.arguments = args;
            r.timeoutMs = 60000;
            return runTool(r);
        };
        run(u"ssh-keygen"_s, {u"-q"_s, u"-t"_s, u"ed25519"_s, u"-N"_s, u""_s, u"-f"_s, key});
        run(u"ssh-keygen"_s, {u"-q"_s, u"-t"_s, u"ed25519"_s, u"-N"_s, u""_s, u"-f"_s, dir + u"/host"_s});
        QFile::copy(key + u".pub"_s, dir + u"/authorized"_s);
        port = test::TestProgramFolder::freePort();
        QFile config(dir + u"/sshd_config"_s);
        config.open(QIODevice::WriteOnly);
        config.write(
            QStringLiteral(
                "ListenAddress 127.0.0.1\nPort %1\nHostKey %2/host\nAuthorizedKeysFile %2/authorized\n"
                "PermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\nPidFile %2/pid\n"
                "Subsystem sftp internal-sftp\n")
                .arg(port)
                .arg(dir)
                .toUtf8());
        config.close();
        QDir().mkpath(u"/run/sshd"_s);
        const ToolResult started = run(u"/usr/sbin/sshd"_s, {u"-f"_s, config.fileName()});
        QFile pidFile(dir + u"/pid"_s);
        if (!started.succeeded() || !waitUntil([&] { return pidFile.exists(); }, 10000)) {
            skip = u"sshd did not start: "_s + QString::fromUtf8(started.output);
            return;
        }
        pidFile.open(QIODevice::ReadOnly);
        pid = pidFile.readAll().trimmed().toLongLong();
    }
    ~LocalSshd()
    {
        if (pid > 0)
            ::kill(pid_t(pid), SIGTERM);
    }
};

} // namespace

Q_DECLARE_METATYPE(garvina::LevelHeader)

class TestOffsite : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    AppContext &m_ctx = m_fx.ctx;
    test::ManualClock &m_clock = m_fx.clock;
    QString m_root;
    QTemporaryDir m_tmp;

    /// The tests with the engine and restic skip without restic.
    bool skipWithoutRestic() const { return m_root.isEmpty(); }

    void offsite(const QString &key, const QString &value) const
    {
        m_ctx.writeConfig(u"offsite"_s, key, value);
    }

    /// Runs \a sql on the live database through the engine.
    void sell(const QString &card)
    {
        QVERIFY(m_fx.engine->f_connectdb());
        QVERIFY(m_fx.engine->sqlca().executeImmediate(u"insert into customers (card_no, name) values ('"_s +
                                                      card + u"', '异地')"_s));
        QVERIFY(m_fx.engine->sqlca().commit());
        m_fx.engine->sqlca().disconnect();
    }

    /// How many customers with \a card the database file \a file holds (the embedded tool).
    int customersIn(const QString &file, const QString &card) const
    {
        ToolRequest r;
        r.program = u"isql-fb"_s;
        r.arguments = {u"-q"_s, u"-user"_s, u"DBA"_s, file};
        r.extraEnvironment = EngineInstance(m_ctx.gs_path).toolEnvironment();
        r.input = ("set heading off;\nselect count(*) from customers where card_no = '" + card.toUtf8() +
                   "';\nquit;\n");
        const ToolResult res = runTool(r);
        return res.succeeded() ? res.output.trimmed().toInt() : -1;
    }

    OffsiteOutcome night(const QDate &day)
    {
        m_clock.set(QDateTime(day, QTime(21, 0)));
        return runOffsite(m_ctx, *m_fx.engine, m_root);
    }

private Q_SLOTS:
    /// Levels that do not form one chain are refused before anything is applied.
    void chainProblems_data()
    {
        QTest::addColumn<QList<LevelHeader>>("levels");
        QTest::addColumn<QString>("problem"); // empty: one chain
        const LevelHeader l0{0, u"{A}"_s, QString(), 8192, 8192 * 100, true};
        const LevelHeader l1{1, u"{B}"_s, u"{A}"_s, 8192, 8192 * 3, true};
        LevelHeader otherBase = l1;
        otherBase.prevGuid = u"{C}"_s;
        LevelHeader cut = l1;
        cut.sizeFits = false;
        LevelHeader pages = l1;
        pages.pageSize = 4096;
        QTest::newRow("level 0 and its level 1") << QList{l0, l1} << QString();
        QTest::newRow("level 0 alone") << QList{l0} << QString();
        QTest::newRow("level 1 of another level 0") << QList{l0, otherBase} << u"不衔接"_s;
        QTest::newRow("wrong order") << QList{l1, l0} << u"级别不对"_s;
        QTest::newRow("cut short") << QList{l0, cut} << u"不完整"_s;
        QTest::newRow("other page size") << QList{l0, pages} << u"页大小"_s;
        QTest::newRow("nothing") << QList<LevelHeader>() << u"没有可用"_s;
    }
    void chainProblems()
    {
        QFETCH(QList<LevelHeader>, levels);
        QFETCH(QString, problem);
        const QString found = chainProblem(levels);
        QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
    }

    /// Retention keeps a level 0 with any level 1 it keeps, and takes whole chains out.
    void forgetPlanKeepsChainsWhole_data()
    {
        QTest::addColumn<int>("keepDaily");
        QTest::addColumn<QStringList>("forgotten");
        QTest::newRow("three days: the old chain goes whole")
            << 3 << QStringList{u"a0"_s, u"a2"_s, u"a3"_s, u"a4"_s, u"a5"_s, u"a6"_s};
        QTest::newRow("seven days: the old chain keeps its level 0") << 7 << QStringList{u"a2"_s};
    }
    void forgetPlanKeepsChainsWhole()
    {
        QFETCH(int, keepDaily);
        QFETCH(QStringList, forgotten);
        // Chain a: level 0 on day 1, level 1s on days 2 to 6; chain b: level 0 on day 8, level 1s on 9, 10.
        QList<OffsiteSnapshot> snapshots;
        const QDateTime day1(QDate(2026, 11, 2), QTime(21, 0));
        const auto add = [&](const QString &id, int day, int level, const QString &guid,
                             const QString &prev) {
            OffsiteSnapshot s{id, day1.addDays(day - 1), {}};
            s.level.level = level;
            s.level.guid = guid;
            s.level.prevGuid = prev;
            snapshots.append(s);
        };
        add(u"a0"_s, 1, 0, u"{A}"_s, QString());
        for (int day = 2; day <= 6; ++day)
            add(u"a"_s + QString::number(day), day, 1, u"{a"_s + QString::number(day) + u'}', u"{A}"_s);
        add(u"b0"_s, 8, 0, u"{B}"_s, QString());
        add(u"b9"_s, 9, 1, u"{b9}"_s, u"{B}"_s);
        add(u"b10"_s, 10, 1, u"{b10}"_s, u"{B}"_s);
        RetentionSettings keep;
        keep.keepDaily = keepDaily;
        keep.keepWeekly = 1;
        keep.keepMonthly = 1;
        QStringList plan = offsiteForgetPlan(snapshots, keep, day1.addDays(10));
        plan.sort();
        forgotten.sort();
        QCOMPARE(plan, forgotten);
    }

    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"restic"_s).isEmpty())
            return;
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        m_root = m_fx.folder->homePath() + u"/备份/"_s;
        m_ctx.writeConfig(u"backup"_s, u"backuppath"_s, m_root);
        QVERIFY(m_fx.engine->f_db_server(u"START"_s));
    }
    void cleanupTestCase()
    {
        if (m_fx.engine)
            m_fx.engine->f_db_server(u"STOP"_s);
        // restic keeps its files read-only; the folder goes only once they are writable again.
        ToolRequest chmod;
        chmod.program = u"chmod"_s;
        chmod.arguments = {u"-R"_s, u"u+w"_s, m_tmp.path()};
        runTool(chmod);
    }

    /// A week of the stream into a local folder: the level 0 is a verified local backup, the day's
    /// local backups leave the chain alone, the level 1 holds the day's sales, the fetched chain is
    /// that database, and a restore from it breaks the chain for the next night.
    void weekIntoFolderAndRestoreFromIt()
    {
        if (skipWithoutRestic())
            QSKIP("restic is not installed (scripts/install-deps.sh installs it)");
        offsite(u"repository"_s, m_tmp.filePath(u"repo"_s));
        const QDate monday(2026, 12, 7);
        const OffsiteOutcome first = night(monday);
        QVERIFY2(first.ok, qPrintable(first.error));
        QCOMPARE(first.level, 0);
        QVERIFY(first.checked);
        const BackupState afterBase = loadBackupState(m_ctx.gs_path);
        const QString baseFile = afterBase.lastGoodFolder + u"/garvina.db"_s;
        QCOMPARE(afterBase.offsite.base.guid, readLevelHeader(baseFile)->guid);
        QCOMPARE(afterBase.offsite.base.sha256, sha256OfFile(baseFile));
        QCOMPARE(QFile(offsitePasswordFile(m_ctx.gs_path)).permissions() & 0x0077,
                 QFileDevice::Permissions());
        QFile sheet(recoverySheetFile(m_ctx.gs_path));
        QVERIFY(sheet.open(QIODevice::ReadOnly));
        QFile password(offsitePasswordFile(m_ctx.gs_path));
        QVERIFY(password.open(QIODevice::ReadOnly));
        const QByteArray sheetText = sheet.readAll();
        QVERIFY(sheetText.contains(password.readAll().trimmed()));
        QVERIFY(sheetText.contains(m_tmp.filePath(u"repo"_s).toUtf8()));

        // Tuesday's sales, and a local backup at noon: its copy is no level 0 of the history.
        m_clock.set(QDateTime(monday.addDays(1), QTime(12, 0)));
        sell(u"OFF-1"_s);
        const BackupOutcome noon = runBackup(m_ctx, *m_fx.engine, m_root);
        QVERIFY2(noon.ok, qPrintable(noon.error));
        sell(u"OFF-2"_s);
        const OffsiteOutcome second = night(monday.addDays(1));
        QVERIFY2(second.ok, qPrintable(second.error));
        QCOMPARE(second.level, 1);
        const qint64 live = QFileInfo(EngineInstance(m_ctx.gs_path).databaseFile()).size();
        QVERIFY2(second.levelBytes * 4 < live, qPrintable(QString::number(second.levelBytes)));
        QCOMPARE(loadBackupState(m_ctx.gs_path).offsite.last.prevGuid, afterBase.offsite.base.guid);

        const OffsiteFetch fetched = fetchOffsiteChain(m_ctx, m_tmp.filePath(u"fetch"_s));
        QVERIFY2(fetched.ok, qPrintable(fetched.error));
        QCOMPARE(fetched.chain.size(), 2);
        QCOMPARE(customersIn(fetched.database, u"OFF-2"_s), 1);

        // The shop loses a sale it then wants back: the off-site chain is restored over it.
        QVERIFY(m_fx.engine->f_connectdb());
        QVERIFY(
            m_fx.engine->sqlca().executeImmediate(u"delete from customers where card_no starting 'OFF-'"_s));
        QVERIFY(m_fx.engine->sqlca().commit());
        m_fx.engine->sqlca().disconnect();
        Maintenance maintenance(m_ctx, *m_fx.engine);
        m_fx.boxes.answerNext(MsgAnswer::Yes);
        QCOMPARE(maintenance.restoreFromOffsite(), RestoreOutcome::Restored);
        QVERIFY(m_fx.engine->f_db_server(u"STOP"_s));
        QCOMPARE(customersIn(EngineInstance(m_ctx.gs_path).databaseFile(), u"OFF-2"_s), 1);
        QVERIFY(m_fx.engine->f_db_server(u"START"_s));
        QVERIFY(loadBackupState(m_ctx.gs_path).offsite.baseNeeded);
        const OffsiteOutcome third = night(monday.addDays(2));
        QVERIFY2(third.ok, qPrintable(third.error));
        QCOMPARE(third.level, 0);
    }

    /// A restic killed while it held the repository's lock does not stop the next night, and the
    /// month's rehearsal of the fetched chain proves it as a rehearsal proves a backup.
    void staleLockAndMonthlyRehearsal()
    {
        if (skipWithoutRestic())
            QSKIP("restic is not installed (scripts/install-deps.sh installs it)");
        const QString repo = m_tmp.filePath(u"repo"_s);
        offsite(u"repository"_s, repo);
        QProcess killed;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"RESTIC_PASSWORD_FILE"_s, offsitePasswordFile(m_ctx.gs_path));
        killed.setProcessEnvironment(env);
        killed.start(u"restic"_s, {u"--repo"_s, repo, u"backup"_s, u"--stdin"_s});
        QVERIFY(waitUntil([&] { return !QDir(repo + u"/locks"_s).isEmpty(QDir::Files); }, 30000));
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished());
        const OffsiteOutcome night = this->night(QDate(2026, 12, 9));
        QVERIFY2(night.ok && night.checked, qPrintable(night.error));

        Maintenance maintenance(m_ctx, *m_fx.engine);
        QSignalSpy recorded(&maintenance, &Maintenance::rehearsalRecorded);
        QVERIFY(offsiteRehearsalDue(loadBackupState(m_ctx.gs_path), m_clock.now()));
        const OffsiteFetch fetch = maintenance.startOffsiteRehearsal();
        QVERIFY2(fetch.ok, qPrintable(fetch.error));
        QVERIFY(recorded.wait(240000));
        const RehearsalResult result = recorded.first().first().value<RehearsalOutcome>().result;
        QVERIFY2(result.ok, qPrintable(result.error));
        QVERIFY(result.rows > 0);
        QVERIFY(!QFileInfo::exists(maintenance.offsiteRehearsalFolder()));
        QVERIFY(!offsiteRehearsalDue(loadBackupState(m_ctx.gs_path), m_clock.now().addDays(29)));
    }

    /// A repository on a USB disk that is not there fails the night and is said; the alarm's
    /// decision then counts from the last good night.
    void absentDiskFailsTheNight()
    {
        if (skipWithoutRestic())
            QSKIP("restic is not installed (scripts/install-deps.sh installs it)");
        offsite(u"repository"_s, u"/mnt/garvina-absent-disk/repo"_s);
        const OffsiteOutcome out = night(QDate(2026, 12, 10));
        QVERIFY(!out.ok);
        QVERIFY2(out.error.contains(u"所在的磁盘没有连接"_s), qPrintable(out.error));
        const BackupState state = loadBackupState(m_ctx.gs_path);
        QCOMPARE(state.offsite.error, out.error);
        const QDateTime good = state.offsite.goodTime;
        QVERIFY(!offsiteAlarmDue(state, 48, good, true, good.addSecs(47 * 3600)));
        QVERIFY(offsiteAlarmDue(state, 48, good, true, good.addSecs(48 * 3600)));
        QVERIFY(!offsiteAlarmDue(state, 0, good, true, good.addDays(30)));
    }

    /// The same stream over SFTP to an sshd of the test's own.
    void streamOverSftp()
    {
        if (skipWithoutRestic())
            QSKIP("restic is not installed (scripts/install-deps.sh installs it)");
        QTemporaryDir sshDir;
        LocalSshd sshd(sshDir.path());
        if (!sshd.skip.isEmpty())
            QSKIP(qPrintable(sshd.skip));
        offsite(u"repository"_s, u"sftp://root@127.0.0.1:"_s + QString::number(sshd.port) + u"/"_s +
                                     m_tmp.filePath(u"sftp-repo"_s));
        offsite(u"ssh_identity"_s, sshd.key);
        QFile::remove(offsitePasswordFile(m_ctx.gs_path));
        const OffsiteOutcome out = night(QDate(2026, 12, 11));
        QVERIFY2(out.ok, qPrintable(out.error));
        QCOMPARE(out.level, 0); // a new repository with a password of its own starts a new chain
        sell(u"OFF-3"_s);
        const OffsiteOutcome next = night(QDate(2026, 12, 12));
        QVERIFY2(next.ok && next.level == 1, qPrintable(next.error));
        const OffsiteFetch fetched = fetchOffsiteChain(m_ctx, m_tmp.filePath(u"fetch-sftp"_s));
        QVERIFY2(fetched.ok, qPrintable(fetched.error));
        QCOMPARE(customersIn(fetched.database, u"OFF-3"_s), 1);
    }
};

QTEST_GUILESS_MAIN(TestOffsite)
#include "tst_offsite.moc"
