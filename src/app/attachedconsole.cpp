#include "attachedconsole.h"

#include "app/servicemode.h"
#include "platform/messageboxes.h"
#include "platform/unixsignals.h"
#include "ui/u_icontray.h"
#include "ui/w_main.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString Title = u"服装销售管理软件(网络版服务端)"_s;
const QString EngineRunning = u"数据库服务: 运行中"_s;
constexpr int StatusMsecs = 10000;
constexpr int CommandMsecs = 600000; // a start waits for the engine, a backup for the copy

} // namespace

AttachedConsole::AttachedConsole(const QString &gs_path, MessageBoxes &boxes, TrayBackend *tray,
                                 QObject *parent)
    : QObject(parent), m_gs_path(gs_path), m_boxes(boxes), m_tray(std::make_unique<u_icontray>(tray)),
      m_menu(std::make_unique<QMenu>())
{
    connect(m_tray.get(), &u_icontray::restore, this, &AttachedConsole::trayAction);
    m_menu->addAction(u"显示服务端状态"_s, this, &AttachedConsole::showState);
    m_menu->addAction(u"开启/停止服务"_s, this, &AttachedConsole::startStop);
    m_menu->addAction(u"立即备份"_s, this, &AttachedConsole::backupNow);
    m_menu->addSeparator();
    m_menu->addAction(u"退出"_s, qApp, [] { QCoreApplication::exit(0); });
    m_timer.setInterval(RefreshMsecs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // The service ended: this console has nothing left to show.
        if (!refresh())
            QCoreApplication::exit(0);
    });
}

AttachedConsole::~AttachedConsole() = default;

void AttachedConsole::open()
{
    m_tray->add_icon(m_gs_path + u"serverstart.ico"_s, Title, nullptr, u"温馨提示"_s,
                     u"服务端已作为系统服务运行"_s);
    refresh();
    m_timer.start();
}

bool AttachedConsole::serviceRunning() const
{
    return m_state.startsWith(EngineRunning);
}

bool AttachedConsole::trayAvailable() const
{
    return m_tray->trayexists();
}

bool AttachedConsole::refresh()
{
    const auto reply = sendControlRequest(m_gs_path, u"STATUS"_s, StatusMsecs);
    if (!reply)
        return false;
    m_state = reply->second;
    m_stateOk = reply->first == 0;
    m_tray->modify_tip(Title + u'\n' + m_state);
    const QString icon = !m_stateOk && serviceRunning() ? w_main::alarmIconName()
                         : serviceRunning()             ? m_gs_path + u"serverstart.ico"_s
                                                        : m_gs_path + u"serverstop.ico"_s;
    if (m_tray->notifyicondata_copy().iconName != icon)
        m_tray->modify_icon(icon);
    return true;
}

bool AttachedConsole::carryOut(const QString &request, int timeoutMs)
{
    const auto reply = sendControlRequest(m_gs_path, request, timeoutMs);
    refresh();
    if (!reply) {
        m_boxes.tell(u"提示"_s, u"服务端未运行"_s, MsgIcon::StopSign);
        return false;
    }
    if (reply->first != 0) {
        m_boxes.tell(u"提示"_s, reply->second, MsgIcon::StopSign);
        return false;
    }
    m_tray->show_balloontip(u"温馨提示"_s, reply->second);
    return true;
}

void AttachedConsole::startStop()
{
    if (!serviceRunning()) {
        carryOut(u"START"_s, CommandMsecs);
        return;
    }
    if (m_boxes.ask(u"重要提示确认"_s, u"是否确认要停止服务,停止后所有客户端都无法使用!"_s,
                    MsgIcon::Exclamation))
        carryOut(u"STOP"_s, CommandMsecs);
}

void AttachedConsole::backupNow()
{
    carryOut(u"BACKUP"_s, CommandMsecs);
}

void AttachedConsole::showState()
{
    refresh();
    m_boxes.tell(Title, m_state);
}

void AttachedConsole::trayAction(int message)
{
    if (message == TrayLeftButtonUp || message == TrayLeftButtonDoubleClick)
        showState();
    else if (message == TrayRightButtonUp)
        m_menu->popup(QCursor::pos());
}

int runAttachedWhenServiceRuns(const QString &gs_path, MessageBoxes &boxes)
{
    if (gs_path.isEmpty() || !sendControlRequest(gs_path, u"STATUS"_s, StatusMsecs))
        return -1;
    AttachedConsole console(gs_path, boxes);
    if (!console.trayAvailable()) {
        // Nowhere to stay: the state once, in a box.
        console.showState();
        return 0;
    }
    console.open();
    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::terminationRequested, &console,
                     [] { QCoreApplication::exit(0); });
    return QApplication::exec();
}

} // namespace garvina
