// The backup alarm and the last good backup in the main window and the tray with a moved clock,
// the retention keys in the settings window and the backup list, with the real engine.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/workslot.h"
#include "maintenance/backupcare.h"
#include "maintenance/backupstate.h"
#include "maintenance/consolestatus.h"
#include "platform/processlauncher.h"
#include "support/enginefixture.h"
#include "support/manualclock.h"
#include "support/recordingmessageboxes.h"
#include "support/recordingtray.h"
#include "support/scriptedprompt.h"
#include "support/testprogramfolder.h"
#include "support/windowtesting.h"
#include "ui/form/dataform.h"
#include "ui/menu/n_coolmenu.h"
#include "ui/u_icontray.h"
#include "ui/w_backuplist.h"
#include "ui/w_main.h"
#include "ui/w_setting.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestBackupAlarm : public QObject
{
    Q_OBJECT

    test::EngineFixture m_fx;
    std::unique_ptr<test::TestProgramFolder> &m_folder = m_fx.folder;
    test::RecordingMessageBoxes &m_boxes = m_fx.boxes;
    test::ManualClock &m_clock = m_fx.clock;
    AppContext &m_ctx = m_fx.ctx;
    std::unique_ptr<EngineControl> &m_engine = m_fx.engine;
    n_coolmenu m_coolmenu;
    test::ScriptedPrompt m_prompt;
    test::RecordingTray *m_tray = nullptr;
    std::unique_ptr<w_main> m_w;
    QString m_root;

    QString caption(const QString &name) { return m_w->dw_1()->text(name)->text(); }
    QString iconName() { return m_w->iuo_tray()->notifyicondata_copy().iconName; }
    qsizetype logLines()
    {
        QFile f(m_ctx.gs_path + u"备份数据库出错记录.txt"_s);
        return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
    }
    void tickAt(const QDateTime &t)
    {
        m_clock.set(t);
        m_w->timerTick();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        m_folder->config().write(u"system"_s, u"sockect"_s,
                                 QString::number(test::TestProgramFolder::freePort()));
        m_root = m_folder->homePath() + u"/bak/"_s;
        m_folder->config().write(u"backup"_s, u"backuppath"_s, m_root);
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(9, 0)));
        w_main::Services services;
        services.engine = m_engine.get();
        services.coolmenu = &m_coolmenu;
        m_tray = new test::RecordingTray(true);
        services.tray = m_tray;
        services.prompt = &m_prompt;
        m_w = std::make_unique<w_main>(m_ctx, std::move(services));
        m_w->open();
        QTRY_VERIFY_WITH_TIMEOUT(m_w->serviceRunning(), 20000);
    }
    void cleanupTestCase()
    {
        m_w.reset();
        if (m_engine)
            m_engine->f_db_server(u"STOP"_s);
    }

    void alarmComesRepeatsAndClears()
    {
        // A good backup of the morning: shown, no alarm.
        BackupState state;
        recordGoodBackup(state, m_root, m_root + u"20130829-1000"_s,
                         QDateTime(QDate(2013, 8, 29), QTime(10, 0)), u"/"_s);
        QVERIFY(saveBackupState(m_fx.files, m_ctx.gs_path, state));
        const qsizetype linesBefore = logLines();
        tickAt(QDateTime(QDate(2013, 8, 29), QTime(12, 0)));
        QCOMPARE(caption(u"t_last_backup"_s), u"上次成功备份时间：2013-08-29 10:00:00"_s);
        QCOMPARE(m_tray->toolTip, u"服装销售管理软件(网络版服务端)\n上次成功备份时间：2013-08-29 10:00:00"_s);
        QVERIFY(!m_w->backupAlarmUp());

        // 26 hours later the alarm is up: its own icon, a balloon, a line in the error log.
        tickAt(QDateTime(QDate(2013, 8, 30), QTime(11, 59, 59)));
        QVERIFY(!m_w->backupAlarmUp());
        const qsizetype balloons = m_tray->balloons.size();
        {
            // Also while other work (a restore waiting on its question) holds the loop.
            const WorkSlot::Claim restore = m_engine->work().claim(WorkKind::Restore);
            QVERIFY(restore);
            tickAt(QDateTime(QDate(2013, 8, 30), QTime(12, 0)));
        }
        QVERIFY(m_w->backupAlarmUp());
        QCOMPARE(iconName(), w_main::alarmIconName());
        QVERIFY(!m_w->iuo_tray()->ufp_get_hicon(w_main::alarmIconName()).availableSizes().isEmpty());
        QCOMPARE(m_tray->balloons.size(), balloons + 1);
        QCOMPARE(m_tray->balloons.last().title, u"备份警告"_s);
        QCOMPARE(
            m_tray->balloons.last().text,
            u"最近26小时内没有成功的备份,请检查备份目录和备份磁盘!排除问题后请到\"功能设置\"点击\"立即备份\"!"_s);
        QCOMPARE(m_tray->balloons.last().icon, BalloonIcon::Warning);
        QCOMPARE(m_tray->toolTip, u"服装销售管理软件(网络版服务端)\n备份警告:26小时内没有成功的备份"_s);
        QCOMPARE(logLines(), linesBefore + 1);

        // Again every hour, not every second.
        tickAt(QDateTime(QDate(2013, 8, 30), QTime(12, 30)));
        QCOMPARE(m_tray->balloons.size(), balloons + 1);
        tickAt(QDateTime(QDate(2013, 8, 30), QTime(13, 0)));
        QCOMPARE(m_tray->balloons.size(), balloons + 2);
        QCOMPARE(logLines(), linesBefore + 1);

        // The next good backup clears it.
        m_clock.set(QDateTime(QDate(2013, 8, 30), QTime(13, 5)));
        const BackupOutcome outcome = runBackup(m_ctx, *m_engine, m_root);
        QVERIFY2(outcome.ok, qPrintable(outcome.error));
        tickAt(QDateTime(QDate(2013, 8, 30), QTime(13, 6)));
        QVERIFY(!m_w->backupAlarmUp());
        QCOMPARE(iconName(), m_ctx.gs_path + u"serverstart.ico"_s);
        QCOMPARE(caption(u"t_last_backup"_s), u"上次成功备份时间：2013-08-30 13:05:00"_s);
        QCOMPARE(m_tray->balloons.size(), balloons + 2);
    }

    void settingsKeepKeysAndBackupList()
    {
        test::RecordingFileDialogs dialogs;
        w_setting w(m_ctx, *m_w, *m_engine, dialogs);
        w.open();
        DataForm &f = *w.dw_setting();
        const QStringList defaults{u"7"_s, u"4"_s, u"12"_s, u"3"_s, u"26"_s};
        QCOMPARE(QStringList({f.getItem(u"keep_daily"_s), f.getItem(u"keep_weekly"_s),
                              f.getItem(u"keep_monthly"_s), f.getItem(u"keep_safety"_s),
                              f.getItem(u"alarm_hours"_s)}),
                 defaults);
        f.setItem(u"keep_daily"_s, u"2"_s);
        f.setItem(u"alarm_hours"_s, u"0"_s);
        QVERIFY2(w.f_ok(), qPrintable(m_boxes.texts().join(u'\n')));
        QCOMPARE(m_ctx.readConfig(u"backup"_s, u"keep_daily"_s, {}), u"2"_s);
        QCOMPARE(m_ctx.readConfig(u"backup"_s, u"keep_monthly"_s, u"-"_s),
                 u"-"_s); // left at its default: not written
        QCOMPARE(m_ctx.readConfig(u"backup"_s, u"alarm_hours"_s, {}), u"0"_s);

        // The list: the backup of the test above, then what a failed rehearsal of it makes of it.
        w.open();
        const QString folder = m_root + u"20130830-1305"_s;
        auto *list = w.openBackupList();
        QCOMPARE(list->list()->topLevelItemCount(), 1);
        QCOMPARE(list->list()->topLevelItem(0)->text(0), u"2013-08-30 13:05"_s);
        QCOMPARE(list->list()->topLevelItem(0)->text(2), u"已校验,未演练"_s);
        QCOMPARE(list->form()->text(u"t_rehearsal"_s)->text(), u"上次还原演练：暂无"_s);
        QVERIFY(QTest::qWaitForWindowExposed(list));
        QVERIFY(list->pos() != w.pos());
        QVERIFY(list->screen()->availableGeometry().contains(list->frameGeometry()));
        test::clickObject(list->form(), u"t_restore"_s); // nothing chosen yet
        QCOMPARE(m_boxes.texts().constLast(), u"请先在列表中选择要还原的备份!"_s);
        // The chosen backup is restored through the console's restore: its question, its safety copy.
        QTest::mouseClick(list->list()->viewport(), Qt::LeftButton, {},
                          list->list()->visualItemRect(list->list()->topLevelItem(0)).center());
        m_boxes.answerNext(MsgAnswer::Yes);
        test::clickObject(list->form(), u"t_restore"_s);
        QVERIFY2(m_boxes.texts().contains(u"是否确定还原数据库?"_s), qPrintable(m_boxes.texts().join(u'\n')));
        QCOMPARE(list->list()->topLevelItemCount(), 2);
        QCOMPARE(list->list()->topLevelItem(0)->text(2), u"还原前安全备份"_s);
        BackupState state = loadBackupState(m_ctx.gs_path);
        recordRehearsal(state, {false, folder, m_clock.now(), 800, 0, 0, u"第12页损坏"_s});
        QVERIFY(saveBackupState(m_fx.files, m_ctx.gs_path, state));
        list->reload();
        QCOMPARE(list->list()->topLevelItem(1)->text(2), u"演练失败"_s);
        QCOMPARE(list->form()->text(u"t_rehearsal"_s)->text(),
                 u"上次还原演练：2013-08-30 13:06:00 20130830-1305 失败:第12页损坏"_s);
        list->close();
        w.close();
    }

    // Once a day at the rehearsal time the newest good backup is restored for a trial; a backup that
    // fails it is no longer good and the alarm goes up at once.
    void nightlyRehearsalRecordsItsOutcome()
    {
        m_ctx.writeConfig(u"backup"_s, u"alarm_hours"_s, u"26"_s);
        m_clock.set(QDateTime(QDate(2013, 9, 2), QTime(18, 0)));
        const BackupOutcome outcome = runBackup(m_ctx, *m_engine, m_root);
        QVERIFY2(outcome.ok, qPrintable(outcome.error));
        // The window's own timer may have taken the scheduled backup of that minute first ("-1" then).
        QString folder = loadBackupState(m_ctx.gs_path).lastGoodFolder;
        QVERIFY2(folder.startsWith(m_root + u"20130902-1800"_s), qPrintable(folder));

        // Rehearsed at yesterday's slot: nothing before today's.
        QVERIFY(BackupStateStore(m_ctx).update(
            [](BackupState &s) { s.lastRehearsal.startTime = QDateTime(QDate(2013, 9, 2), QTime(3, 30)); }));
        tickAt(QDateTime(QDate(2013, 9, 3), QTime(3, 0)));
        QVERIFY(!m_w->rehearsal().isRunning());
        const QDateTime rehearsedBefore = loadBackupState(m_ctx.gs_path).lastRehearsal.startTime;
        tickAt(QDateTime(QDate(2013, 9, 3), QTime(3, 30, 5)));
        QVERIFY(m_w->rehearsal().isRunning());
        // A backup asked for meanwhile: the rehearsal gives way without a verdict, the backup is
        // taken, and the next tick rehearses the newest backup, this one.
        QCOMPARE(m_engine->work().current(), WorkKind::Rehearsal);
        const BackupOutcome during = m_w->backUpNow(m_root);
        QVERIFY2(during.ok, qPrintable(during.error));
        QVERIFY(!m_w->rehearsal().isRunning());
        QCOMPARE(loadBackupState(m_ctx.gs_path).lastRehearsal.startTime, rehearsedBefore);
        folder = during.folder;
        tickAt(QDateTime(QDate(2013, 9, 3), QTime(3, 30, 10)));
        QVERIFY(m_w->rehearsal().isRunning());
        QCOMPARE(m_engine->work().current(), WorkKind::Rehearsal);
        QTRY_VERIFY_WITH_TIMEOUT(!m_w->rehearsal().isRunning(), 120000);
        BackupState state = loadBackupState(m_ctx.gs_path);
        QVERIFY2(state.lastRehearsal.ok, qPrintable(state.lastRehearsal.error));
        QVERIFY(state.isRehearsed(folder));
        QVERIFY(state.lastRehearsal.tables > 0);
        QVERIFY(!m_w->backupAlarmUp());
        // Not again the same day.
        tickAt(QDateTime(QDate(2013, 9, 3), QTime(3, 40)));
        QVERIFY(!m_w->rehearsal().isRunning());

        // The next night the file is gone (the disk away): not rehearsed, still good, said and logged.
        QVERIFY(QFile::rename(folder + u"/garvina.db"_s, folder + u"/away"_s));
        qsizetype lines = logLines();
        tickAt(QDateTime(QDate(2013, 9, 4), QTime(3, 30, 5)));
        QTRY_VERIFY_WITH_TIMEOUT(!m_w->rehearsal().isRunning(), 60000);
        state = loadBackupState(m_ctx.gs_path);
        QVERIFY(!state.isFailed(folder) && state.lastRehearsal.notRun);
        QVERIFY(!m_w->backupAlarmUp());
        QCOMPARE(m_tray->balloons.last().text, u"还原演练未能进行:备份数据库文件不存在!"_s);
        QCOMPARE(logLines(), lines + 1);

        // The night after it has gone bad (here: no database in it): failed, not good, alarm up, logged.
        QVERIFY(QFile::rename(folder + u"/away"_s, folder + u"/garvina.db"_s));
        QVERIFY(QFile::resize(folder + u"/garvina.db"_s, 4096));
        lines = logLines();
        tickAt(QDateTime(QDate(2013, 9, 5), QTime(3, 30, 5)));
        QTRY_VERIFY_WITH_TIMEOUT(!m_w->rehearsal().isRunning(), 60000);
        state = loadBackupState(m_ctx.gs_path);
        QVERIFY(!state.lastRehearsal.ok);
        QVERIFY(state.isFailed(folder));
        QVERIFY(m_w->backupAlarmUp());
        QCOMPARE(iconName(), w_main::alarmIconName());
        QVERIFY(logLines() >= lines + 1);
    }

    /// A night's copy goes out, then its target goes away: each failed night is told, and once no
    /// copy went out for the alarm's hours the off-site alarm is up in the window, tray and status.
    void offsiteTargetGoneRaisesItsAlarm()
    {
        if (QStandardPaths::findExecutable(u"restic"_s).isEmpty())
            QSKIP("restic is not installed (scripts/install-deps.sh installs it)");
        QTemporaryDir repo;
        m_folder->config().write(u"backup"_s, u"alarm_hours"_s, u"0"_s); // the local alarm aside
        m_folder->config().write(u"offsite"_s, u"repository"_s, repo.filePath(u"repo"_s));
        m_folder->config().write(u"offsite"_s, u"time"_s, u"21:00:00"_s);
        const QDate day(2013, 9, 2);
        tickAt(QDateTime(day, QTime(21, 0)));
        QCOMPARE(m_tray->balloons.last().text, u"异地备份成功!"_s);
        QCOMPARE(caption(u"t_last_offsite"_s), u"上次成功异地备份时间：2013-09-02 21:00:00"_s);

        m_folder->config().write(u"offsite"_s, u"repository"_s, u"/mnt/garvina-gone/repo"_s);
        const qsizetype before = m_tray->balloons.size();
        // The tick that catches up with a missed local backup starts nothing else: the next one does.
        tickAt(QDateTime(day.addDays(1), QTime(21, 0)));
        tickAt(QDateTime(day.addDays(1), QTime(21, 0, 1)));
        const auto failed = std::find_if(m_tray->balloons.begin() + before, m_tray->balloons.end(),
                                         [](const auto &b) { return b.title == u"异地备份出错"_s; });
        QVERIFY(failed != m_tray->balloons.end());
        QVERIFY2(failed->text.contains(u"所在的磁盘没有连接"_s), qPrintable(failed->text));
        tickAt(QDateTime(day.addDays(2), QTime(20, 59, 59)));
        QVERIFY(!m_w->offsiteAlarmUp());
        tickAt(QDateTime(day.addDays(2), QTime(21, 0)));
        QVERIFY(m_w->offsiteAlarmUp());
        QCOMPARE(iconName(), w_main::alarmIconName());
        QCOMPARE(m_w->dw_1()->text(u"t_last_offsite"_s)->textColor(), QColor(255, 0, 0));
        const ConsoleStatus status = m_w->statusModel().status();
        QVERIFY(status.offsiteAlarm);
        const MonitoringVerdict verdict =
            monitoringVerdict(*parseStatusFields(statusFields(status)), m_clock.now());
        QCOMPARE(verdict.code, 2);
        QCOMPARE(
            verdict.line,
            u"GARVINASERVER CRITICAL - 异地备份警告: 最近48小时内没有成功的异地备份,请检查异地备份位置和网络!"_s);
        qInfo().noquote() << verdict.line << "\n" << statusText(status);
        const auto alarm = std::find_if(m_tray->balloons.begin(), m_tray->balloons.end(),
                                        [](const auto &b) { return b.title == u"异地备份警告"_s; });
        QVERIFY(alarm != m_tray->balloons.end());
        m_folder->config().write(u"offsite"_s, u"repository"_s, QString());
        m_folder->config().write(u"backup"_s, u"alarm_hours"_s, u"26"_s);
        tickAt(QDateTime(day.addDays(2), QTime(21, 1)));
        QVERIFY(!m_w->offsiteAlarmUp());
    }
};

QTEST_MAIN(TestBackupAlarm)
#include "tst_backup_alarm.moc"
