#include "attachedconsole.h"

#include "app/servicemode.h"
#include "platform/messageboxes.h"
#include "platform/unixsignals.h"
#include "ui/m_popmenu.h"
#include "ui/u_icontray.h"
#include "ui/w_main.h"

#include <QApplication>
#include <QCursor>
#include <QEventLoop>
#include <QLocalSocket>
#include <QMenu>

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

const QString Title = u"服装销售管理软件(网络版服务端)"_s;
const QString Waiting = u"正在执行,请稍候…"_s;
const QString NoAnswer = u"服务端没有应答!"_s;
constexpr int StatusMsecs = 10000;
constexpr int CommandMsecs = 600000; // a start waits for the engine, a backup for the copy

/// What came back from one request.
struct ControlAnswer
{
    bool reached = false;                         ///< a service took the connection
    bool refused = false;                         ///< this user may not reach the socket
    std::optional<std::pair<int, QString>> reply; ///< nothing: no whole reply within the bound
};

/// \brief One request to the service's socket, carried out in the event loop: \a done hears the
/// answer once (at the latest when the bound passes), then the call deletes itself.
class ControlCall final : public QObject
{
public:
    ControlCall(QObject *parent, const QString &gs_path, const QString &request, int timeoutMs,
                std::function<void(const ControlAnswer &)> done)
        : QObject(parent), m_request(request.toUtf8() + '\n'), m_done(std::move(done))
    {
        connect(&m_socket, &QLocalSocket::connected, this, [this] {
            m_reached = true;
            m_socket.write(m_request);
        });
        connect(&m_socket, &QLocalSocket::readyRead, this, [this] { m_reply += m_socket.readAll(); });
        connect(&m_socket, &QLocalSocket::disconnected, this, &ControlCall::finish);
        connect(&m_socket, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError error) {
            m_refused = error == QLocalSocket::SocketAccessError;
            // Once connected, the end of the reply comes with disconnected().
            if (!m_reached)
                finish();
        });
        m_bound.setSingleShot(true);
        connect(&m_bound, &QTimer::timeout, this, &ControlCall::finish);
        m_bound.start(timeoutMs);
        // From the event loop: a missing socket fails at once, and its caller holds the call first.
        const QString path = controlSocketPath(gs_path);
        QMetaObject::invokeMethod(
            this, [this, path] { m_socket.connectToServer(path); }, Qt::QueuedConnection);
    }
    ~ControlCall() override
    {
        // Going with its owner: nobody is told any more.
        m_done = nullptr;
    }

private:
    void finish()
    {
        const auto done = std::exchange(m_done, nullptr);
        if (!done)
            return;
        if (m_socket.isOpen())
            m_reply += m_socket.readAll();
        const ControlAnswer answer{m_reached, m_refused, parseControlReply(m_reply)};
        m_bound.stop();
        m_socket.abort();
        deleteLater();
        done(answer);
    }

    QByteArray m_request;
    QByteArray m_reply;
    bool m_reached = false;
    bool m_refused = false;
    std::function<void(const ControlAnswer &)> m_done;
    QTimer m_bound;
    QLocalSocket m_socket;
};

} // namespace

AttachedConsole::AttachedConsole(const QString &gs_path, MessageBoxes &boxes, TrayBackend *tray,
                                 QObject *parent)
    : QObject(parent), m_gs_path(gs_path), m_boxes(boxes), m_tray(std::make_unique<u_icontray>(tray)),
      m_menu(std::make_unique<QMenu>())
{
    connect(m_tray.get(), &u_icontray::restore, this, &AttachedConsole::trayAction);
    // The console's menu with its pictures; the main window's item shows the service's state here,
    // and exiting ends this console only.
    QMenu &menu = *m_menu;
    connect(m_popmenu::addCommand(menu, u"m_显示主界面"_s, u"显示服务端状态"_s, m_popmenu::ShowPicture),
            &QAction::triggered, this, &AttachedConsole::showState);
    menu.addSeparator();
    m_start = m_popmenu::addCommand(menu, u"m_start"_s, u"开启服务"_s, m_popmenu::StartPicture);
    m_stop = m_popmenu::addCommand(menu, u"m_stop"_s, u"停止服务"_s, m_popmenu::StopPicture);
    connect(m_start, &QAction::triggered, this, &AttachedConsole::startStop);
    connect(m_stop, &QAction::triggered, this, &AttachedConsole::startStop);
    menu.addAction(u"立即备份"_s, this, &AttachedConsole::backupNow);
    menu.addSeparator();
    connect(m_popmenu::addCommand(menu, u"m_退出服务器"_s, u"退出"_s, m_popmenu::ExitPicture),
            &QAction::triggered, qApp, [] { QCoreApplication::exit(0); });
    m_coolmenu.of_initialize();
    m_coolmenu.of_set2k3style();
    m_coolmenu.of_setresourcefile(gs_path + u"server.dll"_s);
    m_coolmenu.of_loadimagesfrommenu(m_menu.get());
    m_timer.setInterval(RefreshMsecs);
    connect(&m_timer, &QTimer::timeout, this, [this] { refresh(); });
}

AttachedConsole::~AttachedConsole() = default;

void AttachedConsole::open()
{
    m_tray->add_icon(m_gs_path + u"serverstart.ico"_s, Title, nullptr, u"温馨提示"_s,
                     u"服务端已作为系统服务运行"_s);
    refresh();
    m_timer.start();
}

QString AttachedConsole::stateText() const
{
    return m_status ? statusText(*m_status) : QString();
}

bool AttachedConsole::serviceRunning() const
{
    return m_status && m_status->serviceOn && m_status->engineUp;
}

bool AttachedConsole::trayAvailable() const
{
    return m_tray->trayexists();
}

void AttachedConsole::refresh(std::function<void()> then)
{
    if (then)
        m_afterRefresh.push_back(std::move(then));
    if (m_refresh)
        return;
    m_refresh =
        new ControlCall(this, m_gs_path, u"STATUS"_s, StatusMsecs, [this](const ControlAnswer &answer) {
            m_refresh = nullptr;
            const auto status = answer.reply ? parseStatusFields(answer.reply->second) : std::nullopt;
            if (status) {
                m_status = status;
                if (m_notice == NoAnswer)
                    m_notice.clear();
            } else if (answer.reached) {
                m_notice = NoAnswer;
            }
            showTip();
            for (const auto &waiting : std::exchange(m_afterRefresh, {}))
                waiting();
            // The service ended: this console has nothing left to show.
            if (!answer.reached)
                Q_EMIT serviceGone();
        });
}

void AttachedConsole::showTip()
{
    QString tip = Title;
    if (!m_notice.isEmpty())
        tip += u'\n' + m_notice;
    if (m_status)
        tip += u'\n' + statusText(*m_status);
    m_tray->modify_tip(tip);
    const bool engineUp = m_status && m_status->engineUp;
    const QString icon = engineUp && !m_status->healthy() ? w_main::alarmIconName()
                         : engineUp                       ? m_gs_path + u"serverstart.ico"_s
                                                          : m_gs_path + u"serverstop.ico"_s;
    if (m_tray->notifyicondata_copy().iconName != icon)
        m_tray->modify_icon(icon);
}

void AttachedConsole::carryOut(const QString &request)
{
    if (m_command) {
        m_boxes.tell(u"提示"_s, u"服务端正忙,请稍后再试!"_s, MsgIcon::StopSign);
        return;
    }
    m_command = new ControlCall(this, m_gs_path, request, CommandMsecs, [this](const ControlAnswer &answer) {
        m_command = nullptr;
        m_notice = answer.reached && !answer.reply ? NoAnswer : QString();
        showTip();
        if (!answer.reached)
            m_boxes.tell(u"提示"_s, u"服务端未运行"_s, MsgIcon::StopSign);
        else if (!answer.reply)
            m_boxes.tell(u"提示"_s, NoAnswer, MsgIcon::StopSign);
        else if (answer.reply->first != 0)
            m_boxes.tell(u"提示"_s, controlReplyText(answer.reply->second), MsgIcon::StopSign);
        else
            m_tray->show_balloontip(u"温馨提示"_s, controlReplyText(answer.reply->second));
        refresh();
    });
    m_notice = Waiting;
    showTip();
}

void AttachedConsole::startStop()
{
    if (!m_status || !m_status->serviceOn) {
        carryOut(u"START"_s);
        return;
    }
    if (m_boxes.ask(u"重要提示确认"_s, u"是否确认要停止服务,停止后所有客户端都无法使用!"_s,
                    MsgIcon::Exclamation))
        carryOut(u"STOP"_s);
}

void AttachedConsole::backupNow()
{
    carryOut(u"BACKUP"_s);
}

void AttachedConsole::showState()
{
    refresh([this] { m_boxes.tell(Title, m_status ? statusText(*m_status) : NoAnswer); });
}

void AttachedConsole::trayAction(int message)
{
    if (message == TrayLeftButtonUp || message == TrayLeftButtonDoubleClick)
        showState();
    else if (message == TrayRightButtonUp) {
        // The one of start and stop that the service's last told state allows, as startStop() decides.
        const bool on = m_status && m_status->serviceOn;
        m_start->setVisible(!on);
        m_stop->setVisible(on);
        m_menu->popup(QCursor::pos());
    }
}

int runAttachedWhenServiceRuns(const QString &gs_path, MessageBoxes &boxes, bool serviceOnly)
{
    if (gs_path.isEmpty())
        return -1;
    // Asked in the event loop, like every later request: this process has a display to keep.
    std::optional<std::pair<int, QString>> reply;
    bool refused = false;
    {
        QEventLoop asking;
        new ControlCall(&asking, gs_path, u"STATUS"_s, StatusMsecs, [&](const ControlAnswer &answer) {
            reply = answer.reply;
            refused = answer.refused;
            asking.quit();
        });
        asking.exec();
    }
    // A console of its own would only meet the service's files, or its single-instance check.
    if (!reply && refused) {
        boxes.tell(u"提示"_s, noPermissionText() + u'!', MsgIcon::StopSign);
        return 1;
    }
    if (!reply && serviceOnly) {
        boxes.tell(u"提示"_s, u"系统服务已停止,请由管理员执行 systemctl start garvinaserver 启动服务!"_s,
                   MsgIcon::StopSign);
        return 1;
    }
    if (!reply)
        return -1;
    AttachedConsole console(gs_path, boxes);
    if (!console.trayAvailable()) {
        // Nowhere to stay: the state once, in a box (nothing else waits on this process).
        const auto status = parseStatusFields(reply->second);
        boxes.tell(Title, status ? statusText(*status) : NoAnswer);
        return 0;
    }
    console.open();
    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::terminationRequested, &console,
                     [] { QCoreApplication::exit(0); });
    QObject::connect(&console, &AttachedConsole::serviceGone, &console, [] { QCoreApplication::exit(0); });
    return QApplication::exec();
}

} // namespace garvina
