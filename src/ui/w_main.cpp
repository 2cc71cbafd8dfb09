#include "w_main.h"

#include "clientsvc/socketstartstop.h"
#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "maintenance/backupcare.h"
#include "maintenance/backupstate.h"
#include "maintenance/crashrecovery.h"
#include "maintenance/offsite.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/messageboxes.h"
#include "ui/form/dataform.h"
#include "ui/formwindow.h"
#include "ui/guiresources.h"
#include "ui/m_popmenu.h"
#include "ui/menu/n_coolmenu.h"
#include "ui/passwordprompt.h"
#include "ui/u_icontray.h"
#include "ui/w_notice.h"
#include "ui/w_pass.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QWindow>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString Title = u"服装销售管理软件(网络版服务端)"_s;
const QString Running = u"停止服务"_s;
const QColor Red(255, 0, 0);
const QColor DarkGrey(51, 51, 51);
/// What the owner does about the backup alarm, after the alarm's own text.
const QString AlarmNextStep = u"排除问题后请到\"功能设置\"点击\"立即备份\"!"_s;

/// \brief The tray icon's tooltip: the title, the alarm or else the last good backup, and while the
/// service runs the next backup with its date. Short forms, since the tray keeps 127 bytes.
QString trayTip(const ConsoleStatus &s)
{
    QStringList lines{Title};
    lines << (s.alarm ? u"备份警告:"_s + QString::number(s.alarmHours) + u"小时内没有成功的备份"_s
                      : s.lastGoodLine);
    if (s.offsiteAlarm)
        lines << u"异地备份警告:没有成功的异地备份"_s;
    if (s.serviceOn && s.nextBackup.isValid())
        lines << u"下次备份："_s + s.nextBackup.toString(u"yyyy-MM-dd HH:mm"_s);
    return lines.join(u'\n');
}

} // namespace

QString w_main::hostLine()
{
    QString address;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &ni : interfaces) {
        const auto flags = ni.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning) ||
            (flags & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : ni.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                address = entry.ip().toString();
                break;
            }
        }
        if (!address.isEmpty())
            break;
    }
    if (address.isEmpty())
        address = u"127.0.0.1"_s;
    return u"本机名称:"_s + QHostInfo::localHostName() + u"  地址:"_s + address;
}

w_main::w_main(AppContext &ctx, Services services, QWidget *parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::Window), m_ctx(ctx), m_services(std::move(services))
{
    if (m_services.maintenance) {
        m_maintenance = m_services.maintenance;
    } else {
        m_ownMaintenance = std::make_unique<Maintenance>(m_ctx, *m_services.engine);
        m_maintenance = m_ownMaintenance.get();
    }
    connect(m_maintenance, &Maintenance::rehearsalRecorded, this, &w_main::rehearsalRecorded);
    initGuiResources();
    setWindowIcon(QIcon(u":/icons/garvinaserver.png"_s));
    if (m_services.clientService) {
        m_service = m_services.clientService;
    } else {
        m_ownService = std::make_unique<ClientService>();
        m_service = m_ownService.get();
    }
    if (!m_services.prompt) {
        m_ownPrompt = std::make_unique<DialogPasswordPrompt>(m_ctx, this);
        m_services.prompt = m_ownPrompt.get();
    }
    buildForm();

    // Never clicked by the user: opening posts it one click, which runs the first start.
    m_cbStart = new QPushButton(u"开启服务"_s, this);
    m_cbStart->setObjectName(u"cb_start"_s);
    m_cbStart->setFont(QFont(u"Arial"_s));
    m_cbStart->hide();
    connect(m_cbStart, &QPushButton::clicked, this, &w_main::cbStartClicked);

    connect(&m_statusModel, &StatusModel::changed, this, &w_main::showStatus);
    m_timer.setInterval(TimerMsecs);
    connect(&m_timer, &QTimer::timeout, this, &w_main::timerTick);
}

w_main::~w_main()
{
    m_timer.stop();
}

void w_main::buildForm()
{
    m_form = new DataForm(this);
    m_form->setObjectName(u"dw_1"_s);
    DataForm &f = *m_form;
    f.addColumn(u"a"_s, u"停止"_s);
    f.addColumn(u"name"_s);
    f.setFormSize({2761, 1664});

    f.addPicture(u"p_1"_s, {0, 0, 2761, 1664}, m_ctx.gs_path + u"skin/bg.jpg"_s);

    FormText &title = f.addText(u"t_title"_s, {91, 48, 1700, 96}, Title);
    title.setFont(u"WenQuanYi Micro Hei"_s, 14, 700);
    title.setTextColor(Qt::white);

    FormText &status = f.addText(u"t_1"_s, {91, 176, 1600, 164}, u"服务端已停止！"_s);
    status.setFont(u"WenQuanYi Micro Hei"_s, 22, 700);
    status.bindTextColor([](const DataForm &form) {
        return form.getItem(u"a"_s).contains(u"停止"_s) ? Red : QColor(Qt::white);
    });

    FormText &clock =
        f.addText(u"t_2"_s, {91, 360, 1300, 84}, m_ctx.clock->now().toString(u"yyyy-MM-dd HH:mm:ss"_s));
    clock.setFont(u"WenQuanYi Micro Hei"_s, 12);
    clock.setTextColor(Qt::white);

    FormText &hint = f.addText(u"t_3"_s, {2089, 116, 649, 56}, u"关闭界面最小化到任务栏"_s);
    hint.setFont(u"WenQuanYi Micro Hei"_s, 8);
    hint.setTextColor(Qt::white);
    hint.setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    FormText &upgrade = f.addText(u"t_upgrade"_s, {2350, 392, 340, 72}, u"检查更新"_s);
    upgrade.setFont(u"WenQuanYi Micro Hei"_s, 10);
    upgrade.setTextColor(Qt::white);
    upgrade.setUnderline(true);
    upgrade.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    upgrade.setCursorShape(Qt::PointingHandCursor);

    // Hotspots over the three icons of the skin, and their captions.
    const struct
    {
        const char16_t *hotspot;
        int hotspotX;
        const char16_t *caption;
        int captionX;
        const char16_t *text;
    } actions[] = {
        {u"t_13", 370, u"t_server", 192, u"开启服务"},
        {u"t_14", 1189, u"t_setting", 1001, u"功能设置"},
        {u"t_15", 2016, u"t_restore", 1847, u"还原数据"},
    };
    for (const auto &a : actions) {
        const QString hotspot = QString::fromUtf16(a.hotspot);
        const QString caption = QString::fromUtf16(a.caption);
        f.addText(hotspot, {a.hotspotX, 788, 411, 352}).setCursorShape(Qt::PointingHandCursor);
        FormText &text = f.addText(caption, {a.captionX, 1044, 768, 88}, QString::fromUtf16(a.text));
        text.setFont(u"WenQuanYi Micro Hei"_s, 11, 700);
        text.setAlignment(Qt::AlignCenter);
        text.setCursorShape(Qt::PointingHandCursor);
        const QStringList pair{hotspot, caption};
        // The caption turns red and rises by one pixel while the pointer is on its icon or on it.
        text.bindTextColor(
            [pair](const DataForm &form) { return form.itemIn(u"name"_s, pair) ? Red : DarkGrey; });
        text.bindY([pair](const DataForm &form) { return form.itemIn(u"name"_s, pair) ? 1040 : 1044; });
    }

    FormLine &separator = f.addLine(u"l_1"_s, {91, 1300}, {2670, 1300});
    separator.setColor(QColor(145, 165, 185));

    FormText &ip = f.addText(u"t_ip"_s, {91, 1340, 2500, 84}, hostLine());
    ip.setFont(u"WenQuanYi Micro Hei"_s, 9);
    ip.setTextColor(DarkGrey);
    FormText &ver = f.addText(u"t_ver"_s, {91, 1432, 1500, 84}, u"软件版本 "_s + gs_softver());
    ver.setFont(u"WenQuanYi Micro Hei"_s, 9);
    ver.setTextColor(DarkGrey);
    FormText &next = f.addText(u"t_bakcup_time"_s, {91, 1524, 2500, 84}, u"暂没备份执行任务"_s);
    next.setFont(u"WenQuanYi Micro Hei"_s, 9);
    next.setTextColor(DarkGrey);
    // The last good backup, right of the version line; red while the backup alarm is up.
    FormText &lastGood = f.addText(u"t_last_backup"_s, {1291, 1432, 1400, 84}, u"<<暂没有成功的备份>>"_s);
    lastGood.setFont(u"WenQuanYi Micro Hei"_s, 9);
    lastGood.setTextColor(DarkGrey);
    lastGood.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The last off-site copy below it, while off-site copies are configured; red while its alarm is up.
    FormText &lastOffsite = f.addText(u"t_last_offsite"_s, {1291, 1524, 1400, 84}, QString());
    lastOffsite.setFont(u"WenQuanYi Micro Hei"_s, 9);
    lastOffsite.setTextColor(DarkGrey);
    lastOffsite.setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    FormText &box = f.addText(u"t_msg_b"_s, {654, 608, 1513, 136});
    box.setBackgroundColor(QColor(19, 179, 253));
    box.setVisible(false);
    FormText &msg = f.addText(u"t_msg"_s, {667, 640, 1486, 60}, u"启动服务中，请稍等......"_s);
    msg.setFont(u"WenQuanYi Micro Hei"_s, 9);
    msg.setTextColor(Qt::white);
    msg.setAlignment(Qt::AlignCenter);
    msg.setVisible(false);

    addCloseControl(f, {2651, 20, 78, 68}, m_ctx.gs_path + u"skin/close.jpg"_s);

    f.sendToBack(u"p_1"_s);
    f.bringToFront(u"t_close"_s);
    f.bringToFront(u"p_close"_s);
    f.bringToFront(u"t_bakcup_time"_s);

    f.setHoverColumn(u"name"_s, DataForm::HoverRule::IncludeEmpty);
    connect(m_form, &DataForm::clicked, this, &w_main::onFormClicked);
    moveWindowOnDrag(this, m_form);
    setFixedSize(m_form->formSize());
    m_form->setGeometry(QRect(QPoint(0, 0), m_form->formSize()));
}

void w_main::open()
{
    setWindowTitle(Title);
    setFixedSize(m_form->formSize());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    m_menu = new m_popmenu(m_ctx, *m_services.prompt, this);
    if (m_services.coolmenu)
        m_services.coolmenu->of_loadimagesfrommenu(m_menu);
    connect(m_menu, &m_popmenu::showMainRequested, this, [this] {
        if (!isVisible())
            showFromTray();
    });
    connect(m_menu, &m_popmenu::settingsRequested, this, [this] {
        if (m_services.openSettings)
            m_services.openSettings();
    });
    connect(m_menu, &m_popmenu::startStopRequested, this, &w_main::server_start_stop);
    // exit(), not quit(): quit() would ask this window to close, which it refuses (it only hides).
    connect(
        m_menu, &m_popmenu::exitRequested, qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);

    m_tray = new u_icontray(m_services.tray, this);
    m_services.tray = nullptr; // owned by the tray icon now
    m_tray->add_icon(m_ctx.gs_path + u"serverstart.ico"_s, Title, this);
    connect(m_tray, &u_icontray::restore, this, &w_main::restore);

    m_form->text(u"t_ip"_s)->setText(hostLine());

    if (m_ctx.readSetting(u"system"_s, u"start_min"_s) == u"1"_s) {
        hide();
        m_tray->show_balloontip(u"服务端已启动"_s, u"点击此图标显示服务端主界面,右键可显示菜单"_s);
    } else {
        show();
    }

    m_configStamp = fileStamp(m_ctx.configPath());
    m_offsite = OffsiteSettings::read(m_ctx);
    m_timer.start();

    auto w_msg = NoticeWindow::w_msg();
    w_msg->open();
    QMetaObject::invokeMethod(m_cbStart, &QPushButton::click, Qt::QueuedConnection);
    if (w_msg->isOpen())
        w_msg->close();
}

void w_main::cbStartClicked()
{
    server_start_stop();
    if (!f_check_diskspace(m_ctx.gs_path, MinFreeMegabytes, freeSpaceOf(*m_ctx.files))) {
        m_tray->show_balloontip(u"硬盘空间不足"_s,
                                u"您的"_s + m_ctx.files->mountPoint(m_ctx.gs_path) +
                                    u"盘空间不足100M,请整理出更多的硬盘空间,以便服装服务端正常使用!"_s,
                                u_icontray::BalloonKind::Error);
    }
}

void w_main::showStatus(const ConsoleStatus &status)
{
    if (!m_tray)
        return;
    // The alarm's picture while it is up; otherwise the service's.
    const QString icon = status.alarm || status.offsiteAlarm ? alarmIconName()
                         : status.serviceOn                  ? m_ctx.gs_path + u"serverstart.ico"_s
                                                             : m_ctx.gs_path + u"serverstop.ico"_s;
    if (m_tray->notifyicondata_copy().iconName != icon)
        m_tray->modify_icon(icon);
}

void w_main::refreshStatus()
{
    ConsoleStatus s;
    s.serviceOn = m_serviceOn;
    s.engineUp = f_findwindows_garvinanet(m_ctx.gs_path);
    s.enginePort = m_enginePort;
    s.clientUp = m_serviceOn && m_service->isListening();
    s.clientPort = m_ii_socketport;
    s.work = m_services.engine->work().current();
    const BackupState &state = backupState();
    s.lastGood = state.goodSince();
    s.lastGoodLine = lastGoodBackupLine(state);
    s.alarm = m_serviceOn && m_backupAlarm.isUp();
    if (s.alarm)
        s.alarmText = backupAlarmText(m_alarmHours);
    s.nextBackupLine = m_serviceOn ? m_schedule.line() : u"服务端已停止,不执行备份任务"_s;
    if (m_serviceOn)
        s.nextBackup = m_schedule.nextAt();
    s.alarmHours = m_alarmHours;
    s.lastBackupError = m_maintenance->lastBackupError();
    s.offsiteOn = m_offsite.enabled();
    if (s.offsiteOn) {
        s.lastOffsiteLine = lastOffsiteLine(state);
        s.offsiteAlarm = m_serviceOn && m_offsiteAlarm.isUp();
        if (s.offsiteAlarm)
            s.offsiteAlarmText = offsiteAlarmText(m_offsiteAlarmHours);
    }
    m_statusModel.set(s);
}

void w_main::setStartingNotice(bool visible)
{
    m_form->text(u"t_msg_b"_s)->setVisible(visible);
    m_form->text(u"t_msg"_s)->setVisible(visible);
    if (visible)
        m_form->repaint(); // the start blocks right after this: show the notice first
}

int w_main::server_start_stop()
{
    WorkSlot &work = m_services.engine->work();
    // A start or stop waits for the engine; a second one arriving meanwhile is dropped.
    if (work.current() == WorkKind::StartStop)
        return 0;
    DataForm &f = *m_form;
    MessageBoxes &boxes = *m_ctx.boxes;
    // Asked for from the service's socket while other work waits with the loop going: the engine
    // stays as it is until that is over. A rehearsal gives way (the slot stops it).
    WorkSlot::Claim claim = work.claim(WorkKind::StartStop);
    if (!claim) {
        boxes.tell(u"提示"_s, dataWorkRunningText(), MsgIcon::StopSign);
        return 0;
    }
    const auto refreshed = qScopeGuard([this] { refreshStatus(); });

    if (serviceRunning()) {
        if (!boxes.ask(u"重要提示确认"_s, u"是否确认要停止服务,停止后所有客户端都无法使用!"_s,
                       MsgIcon::Exclamation))
            return 0;
        if (wf_socket_start_stop(u"STOP"_s) == 0)
            return 0;
        m_services.engine->f_db_server(u"STOP"_s);
        m_serviceOn = false;
        f.text(u"t_server"_s)->setText(u"启动服务"_s);
        f.text(u"t_1"_s)->setText(u"服务端已停止!"_s);
        f.setItem(u"a"_s, u"停止"_s);
        f.text(u"t_bakcup_time"_s)->setText(u"服务端已停止,不执行备份任务"_s);
        if (m_tray)
            m_tray->show_balloontip(u"温馨提示"_s, u"服务端已停止工作!"_s);
        return 1;
    }

    f.setItem(u"name"_s, QString());
    setStartingNotice(true);
    if (!f_findwindows_garvinanet(m_ctx.gs_path) && !m_services.engine->f_db_server(u"START"_s)) {
        setStartingNotice(false);
        boxes.tell(u"提示"_s, u"开启数据库服务失败!"_s, MsgIcon::StopSign);
        return 0;
    }
    if (wf_socket_start_stop(u"START"_s) == 0) {
        setStartingNotice(false);
        return 0;
    }
    m_serviceOn = true;
    m_engineWatch.reset();
    m_enginePort = m_ctx.readSetting(u"server"_s, u"dataport"_s).trimmed().toInt();
    wf_get_exit_backup_time();
    m_watchedSince = m_ctx.clock->now();
    f.text(u"t_ip"_s)->setText(hostLine());
    f.text(u"t_server"_s)->setText(Running);
    f.text(u"t_1"_s)->setText(u"服务端已启动!"_s);
    f.setItem(u"a"_s, u"启动"_s);
    setStartingNotice(false);
    if (m_tray)
        m_tray->show_balloontip(u"温馨提示"_s, u"服务端已启动工作!"_s);
    return 1;
}

int w_main::wf_get_exit_backup_time()
{
    const QString line =
        m_schedule.wf_get_exit_backup_time(BackupConfig::read(m_ctx.config()), m_ctx.clock->now());
    m_form->text(u"t_bakcup_time"_s)->setText(line);
    return 1;
}

int w_main::wf_socket_start_stop(const QString &as_type)
{
    if (as_type == u"START"_s)
        m_ii_socketport = socketPortFromConfig(m_ctx.config());
    return wf_socket_start_stop_core(*m_service, *m_ctx.boxes, as_type, m_ii_socketport, this, m_form);
}

int w_main::StopServer()
{
    return m_service->StopServer();
}

void w_main::timerTick()
{
    const QDateTime now = m_ctx.clock->now();
    // A backup or restore (the tick's own included) keeps the event loop going while it waits: the
    // clock goes on, but nothing starts until it is over, and the next tick catches up with a backup
    // time passed meanwhile.
    if (!m_services.engine->work().yields()) {
        m_form->text(u"t_2"_s)->setText(BackupSchedule::clockText(now));
        // A restore question left open or a copy that hangs may hold the loop for hours: the alarm
        // is still judged on every tick.
        updateBackupHealth();
        return;
    }
    const bool running = serviceRunning();
    // A hand edit of the file counts from the next second, not from the next restart.
    if (fileStamp(m_ctx.configPath()) != m_configStamp)
        reloadConfiguration();
    if (running)
        watchEngine(now);
    const auto result = m_schedule.tick(
        now, running, [this] { return BackupConfig::read(m_ctx.config()); },
        [this](const QString &root, QString &error) {
            const BackupOutcome outcome = m_maintenance->backup(root);
            error = outcome.error;
            if (!outcome.recorded)
                tellStateNotSaved();
            return outcome.ok;
        });
    m_form->text(u"t_2"_s)->setText(result.clock);
    if (!result.backupRan)
        startRehearsalWhenDue(now);
    if (!result.backupRan)
        runOffsiteWhenDue(now);
    updateBackupHealth();
    if (result.recomputed)
        m_form->text(u"t_bakcup_time"_s)->setText(m_schedule.line());
    if (!result.backupRan)
        return;
    if (!result.backupOk)
        f_filewrite_backup_error_to_txt(m_ctx.gs_path, result.logLine);
    if (m_tray)
        m_tray->show_balloontip(result.balloonTitle, result.balloonText,
                                result.logLine.isEmpty() ? u_icontray::BalloonKind::Notice
                                                         : u_icontray::BalloonKind::Error,
                                result.error);
}

void w_main::watchEngine(const QDateTime &now)
{
    const EngineFault fault = m_services.engine->servingFault();
    switch (m_engineWatch.check(fault, now)) {
    case EngineWatch::Action::None:
        return;
    case EngineWatch::Action::GiveUp:
        if (m_services.engineAbandoned)
            m_services.engineAbandoned();
        else if (m_tray)
            m_tray->show_balloontip(u"警告"_s, u"数据库服务多次重新启动失败,请检查后重新启动服务!"_s,
                                    u_icontray::BalloonKind::Error);
        return;
    case EngineWatch::Action::Restart:
        m_engineWatch.restarted(now);
        restartEngine(fault);
        return;
    }
}

bool w_main::engineServing() const
{
    return f_findwindows_garvinanet(m_ctx.gs_path) && m_services.engine->servingFault() == EngineFault::None;
}

bool w_main::restartEngineNow()
{
    const EngineFault fault = m_services.engine->servingFault();
    return fault == EngineFault::None ? engineServing() : restartEngine(fault);
}

bool w_main::restartEngine(EngineFault fault)
{
    const auto refreshed = qScopeGuard([this] { refreshStatus(); });
    if (m_tray)
        m_tray->show_balloontip(
            u"警告"_s, u"数据库服务已停止运行(%1),正在重新启动"_s.arg(engineFaultText(fault, m_enginePort)),
            u_icontray::BalloonKind::Error);
    m_services.engine->restartIfNotServing();
    const bool serving = engineServing();
    if (m_tray)
        m_tray->show_balloontip(serving ? u"温馨提示"_s : u"警告"_s,
                                serving ? u"数据库服务已重新启动"_s : u"数据库服务重新启动失败!"_s,
                                serving ? u_icontray::BalloonKind::Notice : u_icontray::BalloonKind::Error);
    return serving;
}

QString w_main::fileStamp(const QString &path) const
{
    const QFileInfo info(path);
    const auto id = m_ctx.files->identity(path);
    return QString::number(id ? id->inode : 0) + u'/' + QString::number(info.size()) + u'/' +
           QString::number(info.lastModified().toMSecsSinceEpoch());
}

void w_main::reloadConfiguration()
{
    m_configStamp = fileStamp(m_ctx.configPath());
    m_offsite = OffsiteSettings::read(m_ctx);
    // Stopped, the line says so and no backup is computed.
    if (serviceRunning())
        wf_get_exit_backup_time();
    refreshStatus();
    Q_EMIT configurationRead();
}

const BackupState &w_main::backupState()
{
    // Read once a second by the timer, but written only after a backup or a rehearsal: a replaced
    // file (every save is a new one) shows in its inode, size or time.
    const QString stamp = fileStamp(m_ctx.gs_path + backupStateFileName());
    if (stamp != m_backupStateStamp) {
        m_backupState = loadBackupState(m_ctx.gs_path);
        m_backupStateStamp = stamp;
    }
    return m_backupState;
}

void w_main::startRehearsalWhenDue(const QDateTime &now)
{
    if (m_maintenance->rehearsal().isRunning() || !serviceRunning())
        return;
    const BackupState &state = backupState();
    if (!state.goodSince().isValid() ||
        !rehearsalDue(rehearsalTimeFrom(m_ctx), state.lastRehearsal.startTime, now))
        return;
    if (!m_offsite.repository.isEmpty() && offsiteRehearsalDue(state, now)) {
        const OffsiteFetch fetch = m_maintenance->startOffsiteRehearsal();
        if (fetch.ok)
            return;
        f_filewrite_backup_error_to_txt(m_ctx.gs_path, now.toString(u"yyyy-MM-dd HH:mm:ss"_s) +
                                                           u":异地备份演练未能进行 "_s +
                                                           fetch.error.simplified());
        if (m_tray)
            m_tray->show_balloontip(u"异地备份警告"_s, u"异地备份演练未能进行:"_s + fetch.error.simplified(),
                                    u_icontray::BalloonKind::Error);
        return;
    }
    m_maintenance->startRehearsal(state.lastGoodFolder);
}

void w_main::runOffsiteWhenDue(const QDateTime &now)
{
    if (!m_offsite.enabled() || !serviceRunning() || m_maintenance->rehearsal().isRunning() ||
        !rehearsalDue(m_offsite.time, backupState().offsite.tried, now))
        return;
    const OffsiteOutcome outcome = m_maintenance->offsite(backupRootOf(m_ctx));
    updateBackupHealth();
    if (!m_tray)
        return;
    if (outcome.ok)
        m_tray->show_balloontip(u"温馨提示"_s, u"异地备份成功!"_s);
    else
        m_tray->show_balloontip(u"异地备份出错"_s, outcome.error, u_icontray::BalloonKind::Error);
}

void w_main::rehearsalRecorded(const RehearsalOutcome &outcome)
{
    const RehearsalResult &result = outcome.result;
    // One that could not run leaves the backup good; the owner hears of it, since the backup stays
    // unproved until the room or the file is back.
    if (!result.ok)
        f_filewrite_backup_error_to_txt(m_ctx.gs_path,
                                        m_ctx.clock->now().toString(u"yyyy-MM-dd HH:mm:ss"_s) +
                                            (result.notRun ? u":还原演练未能进行 "_s : u":还原演练失败 "_s) +
                                            result.backupFolder + u": "_s + result.error.simplified());
    if (result.notRun && m_tray)
        m_tray->show_balloontip(u"备份警告"_s, u"还原演练未能进行:"_s + result.error.simplified(),
                                u_icontray::BalloonKind::Error);
    if (!outcome.recorded)
        tellStateNotSaved();
    // A backup the rehearsal found bad is no longer good: the alarm goes up at once.
    updateBackupHealth();
}

void w_main::tellStateNotSaved()
{
    if (m_tray)
        m_tray->show_balloontip(u"备份警告"_s, BackupStateStore::saveErrorText(),
                                u_icontray::BalloonKind::Error);
}

QString w_main::alarmIconName()
{
    return u":/icons/serveralarm.ico"_s;
}

BackupOutcome w_main::backUpNow(const QString &root)
{
    const BackupOutcome outcome = m_maintenance->backup(root);
    updateBackupHealth();
    if (m_tray) {
        if (outcome.ok)
            m_tray->show_balloontip(u"温馨提示"_s, u"备份数据库成功!"_s);
        else
            m_tray->show_balloontip(u"备份数据库出错"_s, outcome.error, u_icontray::BalloonKind::Error);
    }
    if (!outcome.recorded)
        tellStateNotSaved();
    return outcome;
}

void w_main::updateBackupHealth()
{
    const BackupState &state = backupState();
    const QDateTime now = m_ctx.clock->now();
    const QString line = lastGoodBackupLine(state);
    const int hours = alarmHoursFrom(m_ctx.readSetting(u"backup"_s, u"alarm_hours"_s));
    m_alarmHours = hours;
    const BackupAlarm::Step step =
        m_backupAlarm.update(backupAlarmDue(state, hours, m_watchedSince, serviceRunning(), now), now);
    FormText *lastGood = m_form->text(u"t_last_backup"_s);
    lastGood->setText(line);
    lastGood->setTextColor(m_backupAlarm.isUp() ? Red : DarkGrey);
    if (step.raised)
        f_filewrite_backup_error_to_txt(m_ctx.gs_path, now.toString(u"yyyy-MM-dd HH:mm:ss"_s) + u':' +
                                                           backupAlarmText(hours));
    const OffsiteSettings &offsite = m_offsite;
    m_offsiteAlarmHours = offsite.enabled() ? offsite.alarmHours : 0;
    // Before the first copy goes out the hours count from when off-site copies were configured.
    if (!offsite.enabled())
        m_offsiteWatchedSince = QDateTime();
    else if (!m_offsiteWatchedSince.isValid() || m_offsiteWatchedSince < m_watchedSince)
        m_offsiteWatchedSince = now;
    const BackupAlarm::Step offsiteStep = m_offsiteAlarm.update(
        offsiteAlarmDue(state, m_offsiteAlarmHours, m_offsiteWatchedSince, serviceRunning(), now), now);
    FormText *lastOffsite = m_form->text(u"t_last_offsite"_s);
    lastOffsite->setText(offsite.enabled() ? lastOffsiteLine(state) : QString());
    lastOffsite->setTextColor(m_offsiteAlarm.isUp() ? Red : DarkGrey);
    if (offsiteStep.raised)
        f_filewrite_backup_error_to_txt(m_ctx.gs_path, now.toString(u"yyyy-MM-dd HH:mm:ss"_s) + u':' +
                                                           offsiteAlarmText(m_offsiteAlarmHours));
    refreshStatus();
    if (!m_tray)
        return;
    const QString tip = trayTip(m_statusModel.status());
    if (tip != m_lastTip) {
        m_tray->modify_tip(tip);
        m_lastTip = tip;
    }
    if (step.balloon)
        m_tray->show_balloontip(u"备份警告"_s, backupAlarmText(hours) + AlarmNextStep,
                                u_icontray::BalloonKind::Warning);
    if (offsiteStep.balloon)
        m_tray->show_balloontip(u"异地备份警告"_s, offsiteAlarmText(m_offsiteAlarmHours),
                                u_icontray::BalloonKind::Warning);
}

void w_main::openGuarded(const std::function<void()> &open)
{
    const bool allowed = passwordGuard(m_ctx.config(), u"settingpass"_s, *m_services.prompt);
    m_form->setItem(u"name"_s, QString());
    if (allowed && open)
        open();
}

void w_main::onFormClicked(const QString &name)
{
    if (name == u"t_server"_s || name == u"t_13"_s) {
        server_start_stop();
    } else if (name == u"t_close"_s || name == u"p_close"_s) {
        hideToTray(true);
    } else if (name == u"t_setting"_s || name == u"t_14"_s) {
        openGuarded(m_services.openSettings);
    } else if (name == u"t_restore"_s || name == u"t_15"_s) {
        openGuarded(m_services.openRestore);
    } else if (name == u"t_upgrade"_s) {
        if (m_services.onlineUpgrade)
            m_services.onlineUpgrade();
    }
}

void w_main::hideToTray(bool withBalloon)
{
    hide();
    m_form->setItem(u"name"_s, QString());
    if (withBalloon && m_tray)
        m_tray->show_balloontip(u"温馨提示"_s, u"服务端已最小化到任务栏!"_s);
}

void w_main::showFromTray()
{
    m_form->setItem(u"name"_s, QString());
    show();
}

void w_main::restore(int lparam)
{
    if (lparam == TrayLeftButtonUp || lparam == TrayLeftButtonDoubleClick) {
        if (!isVisible())
            showFromTray();
        raise();
        activateWindow();
    } else if (lparam == TrayRightButtonUp) {
        raise();
        activateWindow();
        m_menu->setServiceRunning(serviceRunning());
        m_menu->popup(QCursor::pos());
    }
}

void w_main::closeEvent(QCloseEvent *event)
{
    // Closing (Alt+F4, the window manager) only hides the console; it ends through its exit command.
    event->ignore();
    m_form->setItem(u"name"_s, QString());
    hide();
}

void w_main::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        m_form->setItem(u"name"_s, QString());
        QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
    }
    QWidget::changeEvent(event);
}

void w_main::customEvent(QEvent *event)
{
    // The client service's notifications (connect, close, text) need no action here.
    if (event->type() == ClientServiceEvent::eventType())
        return;
    QWidget::customEvent(event);
}

} // namespace garvina
