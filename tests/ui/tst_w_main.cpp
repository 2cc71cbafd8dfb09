// The main window with the real engine and client service, on the offscreen platform.
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/consolestatus.h"
#include "platform/processlauncher.h"
#include "support/enginefixture.h"
#include "support/recordingtray.h"
#include "support/scriptedprompt.h"
#include "support/windowtesting.h"
#include "ui/form/dataform.h"
#include "ui/m_popmenu.h"
#include "ui/menu/n_coolmenu.h"
#include "ui/passwordprompt.h"
#include "ui/u_icontray.h"
#include "ui/w_main.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestMainWindow : public QObject
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
    int m_servicePort = 0;
    int m_settingsOpened = 0;
    int m_restoreOpened = 0;

    DataForm &form() { return *m_w->dw_1(); }
    QString caption(const QString &name) { return form().text(name)->text(); }
    void hoverOver(const QString &name)
    {
        const QRect r = form().objectRect(name);
        QTest::mouseMove(&form(), r.center());
        QCoreApplication::processEvents();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString log;
        QVERIFY2(m_fx.layOut(&log), qPrintable(log));
        // Skin pictures and icons of the program folder.
        QVERIFY(m_fx.addPictures());
        m_servicePort = m_fx.useFreeServicePort();
        m_folder->config().write(u"backup"_s, u"backuptime1"_s, u"16:00:00"_s);

        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(9, 0)));
        m_coolmenu.of_initialize();
        m_coolmenu.of_setresourcefile(m_ctx.gs_path + u"server.dll"_s);

        w_main::Services services;
        services.engine = m_engine.get();
        services.coolmenu = &m_coolmenu;
        m_tray = new test::RecordingTray(true);
        services.tray = m_tray;
        services.prompt = &m_prompt;
        services.openSettings = [this] {
            ++m_settingsOpened;
        };
        services.openRestore = [this] {
            ++m_restoreOpened;
        };
        m_w = std::make_unique<w_main>(m_ctx, std::move(services));
    }
    void cleanupTestCase()
    {
        if (m_w)
            m_w->StopServer();
        m_w.reset();
        if (m_engine)
            m_engine->f_db_server(u"STOP"_s);
    }
    void init() { m_boxes.shown.clear(); }

    void openingStartsEngineAndService()
    {
        QCOMPARE(caption(u"t_server"_s), u"开启服务"_s);
        QCOMPARE(form().getItem(u"a"_s), u"停止"_s);
        m_w->open();
        QCOMPARE(m_w->windowTitle(), u"服装销售管理软件(网络版服务端)"_s);
        QCOMPARE(m_w->size(), QSize(604, 416));
        QVERIFY(m_w->isVisible());
        QVERIFY(m_tray->visible);
        QCOMPARE(m_tray->toolTip, u"服装销售管理软件(网络版服务端)"_s);
        QVERIFY(caption(u"t_ip"_s).startsWith(u"本机名称:"_s));
        QVERIFY(caption(u"t_ip"_s).contains(u"  地址:"_s));
        QCOMPARE(caption(u"t_ver"_s), u"软件版本 4.5.130829"_s);

        // The first start runs once opening has finished.
        QVERIFY(!m_w->serviceRunning());
        QTRY_VERIFY_WITH_TIMEOUT(m_w->serviceRunning(), 20000);
        QVERIFY2(m_boxes.shown.isEmpty(), qPrintable(m_boxes.texts().join(u'\n')));
        QCOMPARE(caption(u"t_server"_s), u"停止服务"_s);
        QCOMPARE(caption(u"t_1"_s), u"服务端已启动!"_s);
        QCOMPARE(form().getItem(u"a"_s), u"启动"_s);
        QCOMPARE(form().text(u"t_1"_s)->textColor(), QColor(Qt::white));
        QVERIFY(!form().text(u"t_msg"_s)->isVisible());
        QCOMPARE(m_w->iuo_tray()->notifyicondata_copy().iconName, m_ctx.gs_path + u"serverstart.ico"_s);
        QCOMPARE(m_tray->balloons.last().title, u"温馨提示"_s);
        QCOMPARE(m_tray->balloons.last().text, u"服务端已启动工作!"_s);
        QCOMPARE(caption(u"t_bakcup_time"_s), u"下次自动备份时间：2013-08-29 16:00:00"_s);
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path));

        // A till can talk to the client service on its port.
        QCOMPARE(m_w->ii_socketport(), m_servicePort);
        QTcpSocket till;
        till.connectToHost(u"127.0.0.1"_s, static_cast<quint16>(m_servicePort));
        QVERIFY(till.waitForConnected(5000));
        till.write("HELLO till-1\n");
        QTRY_VERIFY(till.canReadLine() || till.waitForReadyRead(100));
        QCOMPARE(till.readLine().trimmed(), QByteArray("OK 4.5.130829"));
    }

    void clockTick()
    {
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(9, 30, 5)));
        m_w->timerTick();
        QCOMPARE(caption(u"t_2"_s), u"2013-08-29 09:30:05"_s);
    }

    void hoverRules()
    {
        const QColor red(255, 0, 0), grey(51, 51, 51);
        hoverOver(u"t_13"_s);
        QCOMPARE(form().getItem(u"name"_s), u"t_13"_s);
        QCOMPARE(form().text(u"t_server"_s)->textColor(), red);
        const int raised = form().objectRect(u"t_server"_s).top();
        hoverOver(u"t_server"_s);
        QCOMPARE(form().text(u"t_server"_s)->textColor(), red);
        QCOMPARE(form().objectRect(u"t_server"_s).top(), raised);
        QCOMPARE(form().text(u"t_setting"_s)->textColor(), grey);
        QVERIFY(!form().picture(u"p_close"_s)->isVisible());

        hoverOver(u"t_14"_s);
        QCOMPARE(form().text(u"t_server"_s)->textColor(), grey);
        QCOMPARE(form().objectRect(u"t_server"_s).top(), raised + 1); // back down one pixel
        QCOMPARE(form().text(u"t_setting"_s)->textColor(), red);

        hoverOver(u"t_close"_s);
        QVERIFY(form().picture(u"p_close"_s)->isVisible());
        QTest::mouseMove(&form(), QPoint(300, 340)); // empty space
        QCoreApplication::processEvents();
        QVERIFY(!form().picture(u"p_close"_s)->isVisible());
    }

    void settingsAndRestoreAskThePasswordWhenSet()
    {
        m_prompt.asked = 0;
        m_ctx.writeConfig(u"system"_s, u"settingpass"_s, u"1"_s);
        m_prompt.answer = false;
        QTest::mouseClick(&form(), Qt::LeftButton, {}, form().objectRect(u"t_setting"_s).center());
        QTest::mouseClick(&form(), Qt::LeftButton, {}, form().objectRect(u"t_15"_s).center());
        QCOMPARE(m_prompt.asked, 2);
        QCOMPARE(m_settingsOpened + m_restoreOpened, 0);
        m_prompt.answer = true;
        QTest::mouseClick(&form(), Qt::LeftButton, {}, form().objectRect(u"t_14"_s).center());
        QTest::mouseClick(&form(), Qt::LeftButton, {}, form().objectRect(u"t_restore"_s).center());
        QCOMPARE(m_settingsOpened, 1);
        QCOMPARE(m_restoreOpened, 1);
        m_ctx.writeConfig(u"system"_s, u"settingpass"_s, u"0"_s);
        QTest::mouseClick(&form(), Qt::LeftButton, {}, form().objectRect(u"t_setting"_s).center());
        QCOMPARE(m_prompt.asked, 4);
        QCOMPARE(m_settingsOpened, 2);
    }

    void closeAndMinimiseOnlyHide()
    {
        m_w->show();
        QVERIFY(!m_w->close());
        QVERIFY(!m_w->isVisible());
        m_w->show();
        m_w->showMinimized();
        QTRY_VERIFY(!m_w->isVisible());
        QCOMPARE(form().getItem(u"name"_s), QString());

        // The close cross hides too, with its balloon.
        m_w->show();
        QTest::mouseClick(&form(), Qt::LeftButton, {}, form().objectRect(u"t_close"_s).center());
        QVERIFY(!m_w->isVisible());
        QCOMPARE(m_tray->balloons.last().text, u"服务端已最小化到任务栏!"_s);
    }

    void trayClicks()
    {
        QVERIFY(!m_w->isVisible());
        m_tray->click(517); // right: the menu with exactly one of start and stop
        QVERIFY(!m_w->im_popmenu()->m_start->isVisible());
        QVERIFY(m_w->im_popmenu()->m_stop->isVisible());
        m_w->im_popmenu()->hide();
        m_tray->click(514); // left: the window comes back
        QVERIFY(m_w->isVisible());
        m_tray->click(600); // anything else: nothing
        QVERIFY(m_w->isVisible());
    }

    void stopAskedFirst()
    {
        m_boxes.answerNext(MsgAnswer::No);
        QCOMPARE(m_w->server_start_stop(), 0);
        QCOMPARE(m_boxes.last().title, u"重要提示确认"_s);
        QCOMPARE(m_boxes.last().text, u"是否确认要停止服务,停止后所有客户端都无法使用!"_s);
        QCOMPARE(m_boxes.last().icon, MsgIcon::Exclamation);
        QCOMPARE(m_boxes.last().defaultAnswer, MsgAnswer::No);
        QVERIFY(m_w->serviceRunning());
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path));

        m_boxes.answerNext(MsgAnswer::Yes);
        QCOMPARE(m_w->server_start_stop(), 1);
        QVERIFY(!m_w->serviceRunning());
        QCOMPARE(caption(u"t_server"_s), u"启动服务"_s);
        QCOMPARE(caption(u"t_1"_s), u"服务端已停止!"_s);
        QCOMPARE(form().getItem(u"a"_s), u"停止"_s);
        QCOMPARE(form().text(u"t_1"_s)->textColor(), QColor(255, 0, 0));
        QCOMPARE(caption(u"t_bakcup_time"_s), u"服务端已停止,不执行备份任务"_s);
        QCOMPARE(m_tray->balloons.last().text, u"服务端已停止工作!"_s);
        QCOMPARE(m_w->iuo_tray()->notifyicondata_copy().iconName, m_ctx.gs_path + u"serverstop.ico"_s);
        QVERIFY(!f_findwindows_garvinanet(m_ctx.gs_path));
        QCOMPARE(m_w->clientService().GetClientCount(), 0);

        // Stopped: the right-click menu offers start.
        m_tray->click(517);
        QVERIFY(m_w->im_popmenu()->m_start->isVisible());
        QVERIFY(!m_w->im_popmenu()->m_stop->isVisible());
        m_w->im_popmenu()->hide();
    }

    void servicePortTakenThenFreed()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, static_cast<quint16>(m_servicePort)));
        QCOMPARE(m_w->server_start_stop(), 0);
        QCOMPARE(m_boxes.last().title, u"错误"_s);
        QCOMPARE(m_boxes.last().text,
                 u"启动服务端失败,请检查"_s + QString::number(m_servicePort) + u"端口是否被占用!"_s);
        QVERIFY(!m_w->serviceRunning());
        QCOMPARE(caption(u"t_server"_s), u"启动服务"_s);
        QVERIFY(!form().text(u"t_msg"_s)->isVisible());
        QVERIFY(f_findwindows_garvinanet(m_ctx.gs_path)); // the engine stays up
        squatter.close();

        // A second start after the failed one uses the running engine and works.
        QCOMPARE(m_w->server_start_stop(), 1);
        QVERIFY(m_w->serviceRunning());
        QCOMPARE(m_boxes.shown.size(), 1);
    }

    void scheduledBackupsReportAndLog()
    {
        QVERIFY(m_w->serviceRunning());
        const QString log = m_ctx.gs_path + u"备份数据库出错记录.txt"_s;
        QFile::remove(log);
        const auto runAt = [&](const QTime &due) {
            m_clock.set(QDateTime(QDate(2013, 8, 29), due.addSecs(-60)));
            m_ctx.writeConfig(u"backup"_s, u"backuptime1"_s, due.toString(u"HH:mm:ss"_s));
            m_w->wf_get_exit_backup_time();
            m_clock.set(QDateTime(QDate(2013, 8, 29), due.addSecs(-1)));
            m_w->timerTick();
            m_clock.set(QDateTime(QDate(2013, 8, 29), due));
            m_w->timerTick();
        };

        // A root that cannot be made: the failure is logged and told in a balloon.
        m_ctx.writeConfig(u"backup"_s, u"backuppath"_s, u"/proc/garvina-none/"_s);
        runAt(QTime(17, 0));
        QCOMPARE(m_tray->balloons.last().title, u"备份出错"_s);
        QCOMPARE(m_tray->balloons.last().text, u"2013-08-29 17:00:00 备份数据库出错!"_s);
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), u"2013-08-29 17:00:00:创建目录 /proc/garvina-none 出错!\r\n"_s.toUtf8());
        f.close();

        // A good root: the backup is taken and told.
        const QString root = m_folder->homePath() + u"/bak/"_s;
        m_ctx.writeConfig(u"backup"_s, u"backuppath"_s, root);
        // The backup waits with the event loop running; a tick that comes meanwhile starts nothing.
        const qsizetype balloons = m_tray->balloons.size();
        QTimer::singleShot(0, m_w.get(), [this] { m_w->timerTick(); });
        runAt(QTime(18, 0));
        QCOMPARE(m_tray->balloons.size(), balloons + 1);
        QCOMPARE(QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{u"20130829-1800"_s});
        QCOMPARE(m_tray->balloons.last().title, u"温馨提示"_s);
        QCOMPARE(m_tray->balloons.last().text, u"2013-08-29 18:00:00 备份数据库成功!"_s);
        QVERIFY(QFileInfo(root + u"20130829-1800/garvina.db"_s).isFile());
        QCOMPARE(caption(u"t_bakcup_time"_s), u"<<暂没有备份任务执行>>"_s);
        // The main window's line stops at midnight; the tray and --status name tomorrow's backup.
        QCOMPARE(m_tray->toolTip.section(u'\n', 2), u"下次备份：2013-08-30 18:00"_s);
        QCOMPARE(
            statusText(*parseStatusFields(statusFields(m_w->statusModel().status()))).section(u'\n', 2, 2),
            u"下次自动备份时间：2013-08-30 18:00:00"_s);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count('\n'), 1); // nothing more logged

        // A backup time passes while another backup or a restore is under way: the clock goes on,
        // nothing starts, and the first tick after it takes the backup.
        m_ctx.writeConfig(u"backup"_s, u"backuptime1"_s, u"19:00:00"_s);
        m_w->wf_get_exit_backup_time();
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(18, 59, 59)));
        m_w->timerTick();
        std::optional<WorkSlot::Claim> restoring(m_engine->work().claim(WorkKind::Restore));
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(19, 0, 1)));
        m_w->timerTick();
        QCOMPARE(caption(u"t_2"_s), u"2013-08-29 19:00:01"_s);
        QVERIFY(!QFileInfo::exists(root + u"20130829-1900"_s));
        // A stop asked for meanwhile (the service's socket serves it) is refused.
        QCOMPARE(m_w->server_start_stop(), 0);
        QCOMPARE(m_boxes.last().text, dataWorkRunningText());
        QVERIFY(m_w->serviceRunning());
        restoring.reset();
        m_clock.set(QDateTime(QDate(2013, 8, 29), QTime(19, 0, 2)));
        m_w->timerTick();
        QVERIFY(QFileInfo(root + u"20130829-1900/garvina.db"_s).isFile());
    }

    void engineThatCannotStart()
    {
        m_boxes.answerNext(MsgAnswer::Yes);
        QCOMPARE(m_w->server_start_stop(), 1);
        const QString db = m_ctx.gs_path + u"data/garvina.db"_s;
        QVERIFY(QFile::rename(db, db + u".away"_s));
        const int r = m_w->server_start_stop();
        QVERIFY(QFile::rename(db + u".away"_s, db));
        QCOMPARE(r, 0);
        QCOMPARE(m_boxes.last().text, u"开启数据库服务失败!"_s);
        QCOMPARE(m_boxes.last().icon, MsgIcon::StopSign);
        QVERIFY(!m_w->serviceRunning());
        QVERIFY(!form().text(u"t_msg_b"_s)->isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_w_main.moc"
