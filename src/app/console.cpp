#include "console.h"

#include "core/settings.h"
#include "core/startup.h"
#include "engine/engineprobe.h"
#include "engine/syshelpers.h"
#include "maintenance/crashrecovery.h"
#include "maintenance/dbunload.h"
#include "maintenance/leftovers.h"
#include "platform/clock.h"
#include "platform/endrequest.h"
#include "platform/messageboxes.h"
#include "platform/processlauncher.h"
#include "platform/processtable.h"
#include "ui/filedialogs.h"
#include "ui/w_main.h"
#include "ui/w_notice.h"
#include "ui/w_restore.h"
#include "ui/w_setting.h"
#include "upgrade/onlineupgrade.h"
#include "upgrade/upgradejournal.h"

#include <QCoreApplication>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

Console::Console(MessageBoxes &boxes, Clock &clock, ProcessLauncher &launcher, FileSystem &files,
                 QObject *parent)
    : QObject(parent)
{
    m_ctx.boxes = &boxes;
    m_ctx.clock = &clock;
    m_ctx.launcher = &launcher;
    m_ctx.files = &files;
}

Console::~Console()
{
    // The two windows refer to the main window and the engine: they go first.
    delete m_settingWindow.data();
    delete m_restoreWindow.data();
}

void Console::writeDefaultConfiguration()
{
    if (!m_writesDefaultConfiguration || QFileInfo::exists(m_ctx.configPath()))
        return;
    const ProfileFile config = m_ctx.config();
    if (!config.write(defaultConfiguration()) || !config.keepPrivate()) {
        m_ctx.boxes->tell(u"警告"_s, u"无法建立配置文件:"_s + m_ctx.configPath(), MsgIcon::StopSign);
        return;
    }
    const auto fallback = [](const QString &key) {
        return settingKey(u"backup"_s, key).fallback;
    };
    m_ctx.boxes->tell(
        u"提示"_s,
        u"没有配置文件,已按默认设置建立:"_s + m_ctx.configPath() + u",每天"_s +
            QStringList{fallback(u"backuptime1"_s), fallback(u"backuptime2"_s), fallback(u"backuptime3"_s)}
                .join(u'、') +
            u"备份到"_s + fallback(u"backuppath"_s),
        MsgIcon::Information);
}

int Console::startUp(const QStringList &arguments, const QString &workingDirectory,
                     const QString &programFile)
{
    m_ctx.gb_start = autorunRequested(arguments);

    m_ctx.gs_path = resolveProgramFolder(workingDirectory, programFile,
                                         [](const QString &f) { return QFileInfo(f).isFile(); });
    if (m_ctx.gs_path.isEmpty()) {
        m_ctx.boxes->tell(u"警告"_s, u"获取软件目录信息出错!"_s, MsgIcon::StopSign);
        return 1;
    }

    f_check_skin(m_ctx.gs_path, *m_ctx.launcher);
    // The configuration may hold the settings password: nobody else on the machine reads it.
    m_ctx.config().keepPrivate();
    m_maintenance = std::make_unique<Maintenance>(m_ctx, m_engine);

    switch (decideInstance(nvo_cst_api32().of_isrun())) {
    case InstanceDecision::AlreadyRunning:
        m_ctx.boxes->tell(u"提示"_s, u"服务端已经运行,请在任务栏中打开!"_s, MsgIcon::StopSign);
        return 1;
    case InstanceDecision::InternalError:
        m_ctx.boxes->tell(u"提示"_s, u"程序内部错误,程序将退出!"_s, MsgIcon::StopSign);
        return 1;
    case InstanceDecision::GoOn:
        break;
    }
    writeDefaultConfiguration();

    // No other console runs now: an upgrade's swap of the program files that nobody finished is
    // completed or undone, so this console never runs on a mix of old and new files.
    QString upgradeError;
    if (finishHalfDoneUpgrade(m_ctx.gs_path, *m_ctx.files, upgradeError) == HalfDoneUpgrade::Failed)
        m_ctx.boxes->tell(u"提示"_s, u"上次在线升级没有完成,无法恢复原来的程序文件!\n"_s + upgradeError,
                          MsgIcon::StopSign);
    // What a dead one left working or half made goes first, before a rebuild or the engine could
    // meet it.
    endLeftoverTools(m_ctx.gs_path, LinuxProcessTable());
    removeHalfMadeFiles(m_ctx.gs_path);
    // Scratch files of a killed rehearsal, copies whose writer is gone, folders a killed retention
    // emptied: none of them is the only copy of anything.
    removeLeftovers(m_ctx.gs_path, backupRootOf(m_ctx), LinuxProcessTable());
    // A database a killed engine left in backup mode is merged back now (engine not yet started,
    // unless a crashed copy left one running: then through it).
    endStaleBackupLock(m_ctx, &m_engine);

    if (dbunloadSwitchOn(m_ctx.readSetting(u"dbunload"_s, u"dbunload"_s))) {
        auto w_dbunload_msg = NoticeWindow::w_dbunload_msg();
        // An engine left running (for example by a crashed copy) has the file open: no rebuild now.
        if (!f_findwindows_garvinanet(m_ctx.gs_path))
            m_maintenance->rebuildWhenDue(*w_dbunload_msg);
        if (w_dbunload_msg->isOpen())
            w_dbunload_msg->close();
    }
    // Asked to end during the rebuild: nothing more is started.
    if (endRequested())
        return 0;

    m_coolmenu.of_initialize();
    m_coolmenu.of_set2k3style();
    m_coolmenu.of_setresourcefile(m_ctx.gs_path + u"server.dll"_s);

    w_main::Services services;
    services.engine = &m_engine;
    services.maintenance = m_maintenance.get();
    services.coolmenu = &m_coolmenu;
    services.tray = m_tray;
    m_tray = nullptr;
    services.engineAbandoned = m_engineAbandoned;
    services.openSettings = [this] {
        openWindow(m_settingWindow);
    };
    services.openRestore = [this] {
        openWindow(m_restoreWindow);
    };
    services.onlineUpgrade = [this] {
        f_online_upgrade(
            m_ctx, [this] { endWithoutCloseHook(); }, kVersionFetchTimeoutMs, releasePublicKey(),
            &m_engine.work());
    };
    m_main = std::make_unique<w_main>(m_ctx, std::move(services));
    m_main->open();
    return 0;
}

namespace {

/// Brings an open window back in front of everything.
void raiseWindow(QWidget *window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

template <typename Window> void Console::openWindow(QPointer<Window> &window)
{
    if (window) {
        raiseWindow(window);
        return;
    }
    if (!m_fileDialogs)
        m_fileDialogs = std::make_unique<QtFileDialogs>();
    window = new Window(m_ctx, *m_main, m_engine, *m_fileDialogs);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->open();
}

void Console::endWithoutCloseHook()
{
    // The upgrade program replaces our files: leave at once, the engine and the service keep running.
    m_closed = true;
    QCoreApplication::exit(0);
}

void Console::closeHook()
{
    if (m_closed)
        return;
    m_closed = true;
    // The orderly end waits for what it stops; a further signal makes those waits give up too.
    takeUpEndRequest();
    if (m_main)
        m_main->StopServer();
    m_engine.f_db_server(u"STOP"_s);
}

} // namespace garvina
