#include "servicemode.h"

#include "app/console.h"
#include "app/orderlyend.h"
#include "core/chinesetranslations.h"
#include "core/startup.h"
#include "engine/engineprobe.h"
#include "maintenance/backupcare.h"
#include "maintenance/backuphealth.h"
#include "maintenance/backupstate.h"
#include "maintenance/crashrecovery.h"
#include "platform/clock.h"
#include "platform/endrequest.h"
#include "platform/filesystem.h"
#include "platform/messageboxes.h"
#include "platform/processlauncher.h"
#include "platform/processtable.h"
#include "platform/servicenotify.h"
#include "platform/toolrunner.h"
#include "ui/u_icontray.h"
#include "ui/w_main.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <cstdio>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// Writes one line to standard error. Under the journal (JOURNAL_STREAM set) it carries the
/// syslog priority in front, so that errors stand out there.
void journalLine(const QString &line, bool error)
{
    QByteArray bytes = line.toUtf8();
    if (!qEnvironmentVariableIsEmpty("JOURNAL_STREAM"))
        bytes.prepend(error ? "<3>" : "<5>");
    std::fprintf(stderr, "%s\n", bytes.constData());
    std::fflush(stderr);
}

/// \brief Message boxes of the service: each goes to the journal as "title: text" and takes its
/// default answer, except while a command given from outside runs: then that command is the answer.
class ServiceBoxes final : public MessageBoxes
{
public:
    MsgAnswer show(const MessageRequest &request) override
    {
        const QString line = request.title + u": "_s + request.text;
        journalLine(line, request.icon == MsgIcon::StopSign || request.icon == MsgIcon::Exclamation);
        if (request.buttons == MsgButtons::YesNo)
            return m_confirmed ? MsgAnswer::Yes : request.defaultAnswer;
        if (m_collecting)
            m_collected.append(request.text);
        return MsgAnswer::Ok;
    }

    /// While the returned guard lives, questions are answered Yes and the other texts shown are kept.
    auto commandScope()
    {
        m_confirmed = true;
        m_collecting = true;
        m_collected.clear();
        return qScopeGuard([this] {
            m_confirmed = false;
            m_collecting = false;
        });
    }
    QStringList collected() const { return m_collected; }

private:
    bool m_confirmed = false;
    bool m_collecting = false;
    QStringList m_collected;
};

/// The tray of the service: no icon, each balloon a line in the journal.
class JournalTray final : public TrayBackend
{
public:
    bool available() const override { return true; }
    void setIcon(const QIcon &) override {}
    void setToolTip(const QString &) override {}
    void setVisible(bool) override {}
    void showMessage(const QString &title, const QString &text, int msecs) override
    {
        // Errors are the balloons that stay until clicked.
        journalLine(title + u": "_s + text, msecs == u_icontray::ErrorBalloonMsecs);
    }
};

/// What --status prints and the desktop console shows; \a ok is false when the engine is down or
/// the backup alarm is up.
struct ServiceState
{
    bool ok = false;
    QString text;
};

ServiceState currentState(Console &console)
{
    AppContext &ctx = console.context();
    w_main &main = *console.mainWindow();
    const bool running = main.serviceRunning();
    const bool engine = f_findwindows_garvinanet(ctx.gs_path);
    const LinuxProcessTable processes;
    const int clientPort = main.ii_socketport();
    const bool client =
        running && clientPort > 0 && processes.listeningPorts(processes.ownPid()).contains(clientPort);
    const int hours = alarmHoursFrom(ctx.readConfig(u"backup"_s, u"alarm_hours"_s, u"26"_s));
    const QString enginePort = ctx.readConfig(u"server"_s, u"dataport"_s, u"2638"_s);

    QStringList lines;
    lines << u"数据库服务: "_s + (engine ? u"运行中 (端口 "_s + enginePort + u')' : u"已停止"_s);
    lines << u"客户端连接服务: "_s +
                 (client ? u"运行中 (端口 "_s + QString::number(clientPort) + u')' : u"已停止"_s);
    lines << (running ? main.schedule().line() : u"服务端已停止,不执行备份任务"_s);
    lines << lastGoodBackupLine(loadBackupState(ctx.gs_path));
    lines << u"备份警告: "_s + (main.backupAlarmUp() ? backupAlarmText(hours) : u"无"_s);
    return {engine && client && !main.backupAlarmUp(), lines.join(u'\n')};
}

/// \brief The service's local socket: one request line per connection ("STATUS", "START", "STOP",
/// "BACKUP"), answered with a result code line (0 good, 1 not) and the text to show, then closed.
///
/// The socket file is open to the service's user and group only.
class ControlServer : public QObject
{
public:
    ControlServer(Console &console, ServiceBoxes &boxes) : m_console(console), m_boxes(boxes)
    {
        connect(&m_server, &QLocalServer::newConnection, this, &ControlServer::accept);
    }

    bool listen(const QString &path)
    {
        // Only one service runs per program folder (start-up refused a second copy): a socket file
        // left here is a dead one's.
        QLocalServer::removeServer(path);
        m_server.setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
        return m_server.listen(path);
    }
    void close() { m_server.close(); }
    QString errorString() const { return m_server.errorString(); }

private:
    static constexpr int MaxRequestBytes = 64;

    void accept()
    {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
            // A client that never sends its line does not keep the connection.
            QTimer::singleShot(10000, socket, [socket] { socket->abort(); });
        }
    }

    void read(QLocalSocket *socket)
    {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > MaxRequestBytes)
                socket->abort();
            return;
        }
        const QString request = QString::fromUtf8(socket->readLine(MaxRequestBytes)).trimmed();
        const QPointer<QLocalSocket> alive(socket);
        const auto [code, text] = carryOut(request);
        if (!alive)
            return;
        socket->write(QByteArray::number(code) + '\n' + text.toUtf8() + '\n');
        socket->disconnectFromServer();
    }

    std::pair<int, QString> carryOut(const QString &request)
    {
        if (request == u"STATUS"_s) {
            const ServiceState state = currentState(m_console);
            return {state.ok ? 0 : 1, state.text};
        }
        if (request != u"START"_s && request != u"STOP"_s && request != u"BACKUP"_s)
            return {2, u"无效的命令"_s};
        // A start, stop or backup waits for the engine: one at a time.
        if (m_busy)
            return {1, u"服务端正忙,请稍后再试!"_s};
        m_busy = true;
        const auto notBusy = qScopeGuard([this] { m_busy = false; });
        const auto scope = m_boxes.commandScope();
        w_main &main = *m_console.mainWindow();
        if (request == u"BACKUP"_s)
            return backUpNow();
        const bool wantRunning = request == u"START"_s;
        if (main.serviceRunning() != wantRunning)
            main.server_start_stop();
        const bool done = main.serviceRunning() == wantRunning;
        QString text = m_boxes.collected().join(u'\n');
        if (text.isEmpty())
            text = done ? (wantRunning ? u"服务端已启动工作!"_s : u"服务端已停止工作!"_s) : u"操作失败!"_s;
        return {done ? 0 : 1, text};
    }

    std::pair<int, QString> backUpNow()
    {
        AppContext &ctx = m_console.context();
        w_main &main = *m_console.mainWindow();
        // Stopped by the user: no backup starts the engine again behind their back.
        if (!main.serviceRunning())
            return {1, u"服务端已停止,不执行备份任务"_s};
        const BackupOutcome outcome = main.backUpNow(backupRootOf(ctx));
        return {outcome.ok ? 0 : 1, outcome.ok ? u"备份数据库成功!"_s : outcome.error};
    }

    Console &m_console;
    ServiceBoxes &m_boxes;
    QLocalServer m_server;
    bool m_busy = false;
};

/// \brief Lays out, or brings up to date, the shop's program folder of an installed console with the
/// package's script beside the program (links to the package's files, the engine instance, the DBA
/// password, the shop database; the shop's files are never replaced). True when there is no such
/// script (a program folder laid out from a build) or it succeeded.
bool prepareInstalledFolder(const QString &programFile, const QString &folder)
{
    const QString script = QFileInfo(programFile).absolutePath() + u"/prepare-folder"_s;
    if (!QFileInfo(script).isFile())
        return true;
    ToolRequest request;
    request.program = script;
    request.arguments = {folder};
    request.output = ToolRequest::Output::Inherited;
    request.timeoutMs = 300000;
    return runTool(request).succeeded();
}

} // namespace

QString consoleWorkingDirectory(const QString &workingDirectory, const QString &programFile)
{
    if (QFileInfo(QDir(workingDirectory).filePath(u"garvinaserver"_s)).isFile())
        return workingDirectory;
    QFile pointer(QFileInfo(programFile).absolutePath() + u"/program-folder"_s);
    if (!pointer.open(QIODevice::ReadOnly))
        return workingDirectory;
    const QString folder = QString::fromUtf8(pointer.readLine(4096)).trimmed();
    return QDir::isAbsolutePath(folder) ? folder : workingDirectory;
}

QString consoleProgramFolder(const QString &workingDirectory, const QString &programFile)
{
    const QString start = consoleWorkingDirectory(workingDirectory, programFile);
    // Installed, the package's own folder is never the program folder: only the shop's folder is.
    const QString fallback = start == workingDirectory ? programFile : QString();
    return resolveProgramFolder(start, fallback, [](const QString &f) { return QFileInfo(f).isFile(); });
}

QString controlSocketPath(const QString &gs_path)
{
    return gs_path + u"garvinaserver.sock"_s;
}

int runServiceMode(int &argc, char **argv)
{
    // No windows are ever shown: the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"garvinaserver"_s);
    QApplication::setApplicationVersion(gs_softver());
    installChineseTranslations(app);
    QApplication::setQuitOnLastWindowClosed(false);

    const QString programFile = QApplication::applicationFilePath();
    const QString workingDirectory = consoleWorkingDirectory(QDir::currentPath(), programFile);
    if (workingDirectory != QDir::currentPath() && !prepareInstalledFolder(programFile, workingDirectory)) {
        journalLine(u"警告: 获取软件目录信息出错!"_s, true);
        return 1;
    }

    // The handlers are in place before start-up's long work; a signal during it makes every wait
    // give up, and the service then ends in order.
    OrderlyEnd orderlyEnd;

    ServiceBoxes boxes;
    SystemClock clock;
    SystemProcessLauncher launcher;
    LinuxFileSystem files;
    Console console(boxes, clock, launcher, files);
    console.setTrayBackend(new JournalTray);
    // Started with the machine: the engine's first start may wait as long as after an autorun.
    QStringList arguments = QApplication::arguments().mid(1);
    arguments << u"-autorun"_s;
    const int rc = console.startUp(arguments, workingDirectory, programFile);
    if (rc != 0)
        return rc;
    if (endRequested()) {
        notifyServiceManager("STOPPING=1");
        console.closeHook();
        return leaveAfterOrderlyEnd(0);
    }

    ControlServer control(console, boxes);
    const QString socketPath = controlSocketPath(console.context().gs_path);
    if (!control.listen(socketPath))
        journalLine(u"garvinaserver: cannot listen on "_s + socketPath + u": "_s + control.errorString(),
                    true);

    // Ready once the first start has the engine and the client service up. A start that fails is
    // never reported ready: the service manager's start timeout then restarts the service.
    QTimer readiness;
    readiness.setInterval(200);
    QObject::connect(&readiness, &QTimer::timeout, &app, [&] {
        if (!console.mainWindow()->serviceRunning())
            return;
        readiness.stop();
        notifyServiceManager("READY=1\nSTATUS=" + u"服务端已启动工作!"_s.toUtf8());
    });
    readiness.start();

    const int result = orderlyEnd.exec();
    notifyServiceManager("STOPPING=1");
    control.close();
    console.closeHook();
    return leaveAfterOrderlyEnd(result);
}

std::optional<std::pair<int, QString>> sendControlRequest(const QString &gs_path, const QString &request,
                                                          int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(controlSocketPath(gs_path));
    if (!socket.waitForConnected(qMin(timeoutMs, 3000)))
        return std::nullopt;
    socket.write(request.toUtf8() + '\n');
    QByteArray reply;
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(timeoutMs))
        reply += socket.readAll();
    reply += socket.readAll();
    const qsizetype newline = reply.indexOf('\n');
    if (newline <= 0)
        return std::nullopt;
    bool numeric = false;
    const int code = reply.left(newline).toInt(&numeric);
    if (!numeric)
        return std::nullopt;
    return std::make_pair(code, QString::fromUtf8(reply.mid(newline + 1)).trimmed());
}

int runStatusMode(int &argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString folder = consoleProgramFolder(QDir::currentPath(), QCoreApplication::applicationFilePath());
    const auto reply = folder.isEmpty() ? std::nullopt : sendControlRequest(folder, u"STATUS"_s, 30000);
    if (!reply) {
        std::printf("%s\n", u"服务端未运行"_s.toUtf8().constData());
        return 3;
    }
    std::printf("%s\n", reply->second.toUtf8().constData());
    return reply->first == 0 ? 0 : 1;
}

} // namespace garvina
