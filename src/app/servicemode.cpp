#include "servicemode.h"

#include "app/console.h"
#include "app/orderlyend.h"
#include "core/chinesetranslations.h"
#include "core/settings.h"
#include "core/shopfiles.h"
#include "core/startup.h"
#include "engine/workslot.h"
#include "maintenance/backupcare.h"
#include "maintenance/backuphealth.h"
#include "maintenance/backupstate.h"
#include "maintenance/consolestatus.h"
#include "maintenance/crashrecovery.h"
#include "maintenance/offsite.h"
#include "platform/clock.h"
#include "platform/endrequest.h"
#include "platform/filesystem.h"
#include "platform/listeningsocket.h"
#include "platform/messageboxes.h"
#include "platform/processlauncher.h"
#include "platform/servicenotify.h"
#include "platform/toolrunner.h"
#include "ui/u_icontray.h"
#include "ui/w_main.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QScopeGuard>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <deque>
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
    void showMessage(const QString &title, const QString &text, int, BalloonIcon icon) override
    {
        journalLine(title + u": "_s + text, icon != BalloonIcon::Information);
    }
    void showMessageWithCause(const QString &title, const QString &text, int msecs, BalloonIcon icon,
                              const QString &cause) override
    {
        // One line: an engine's message of several lines is joined.
        showMessage(title, text + u" 原因:"_s + cause.simplified(), msecs, icon);
    }
};

/// The reply to a command: its result code line, then "result=ok|failed|busy|refused" and the text
/// for people, one "text=" line each.
std::pair<int, QString> commandReply(int code, const QString &result, const QString &text)
{
    QStringList lines{u"result="_s + result};
    for (const QString &line : text.split(u'\n'))
        lines << u"text="_s + line;
    return {code, lines.join(u'\n')};
}

/// \brief The service's local socket: one request line per connection ("STATUS", "START", "STOP",
/// "BACKUP"), answered with a result code line (0 good, 1 not, 2 unknown request) and the fields,
/// then closed.
///
/// A request never runs inside the socket's own handlers: a start or a backup keeps the event loop
/// going for minutes, and a client that leaves meanwhile has its socket deleted under it. The
/// handler reads the line and queues the command; the command runs from the event loop and answers
/// only a socket that still exists. STATUS is answered at once from the status model.
///
/// At most MaxConnections are open at once: a newcomer closes the one silent the longest, or is
/// closed at once when all have asked, so that a flood neither fills the backlog nor runs the
/// service out of descriptors, and clients that hold their places without a word keep nobody out. The socket
/// file is open to the service's user and group only, and made again when it goes away.
class ControlServer : public QObject
{
public:
    ControlServer(Console &console, ServiceBoxes &boxes, const QString &path)
        : m_console(console), m_boxes(boxes), m_path(path)
    {
        connect(&m_server, &QLocalServer::newConnection, this, &ControlServer::accept);
        m_watch.setInterval(WatchMsecs);
        connect(&m_watch, &QTimer::timeout, this, &ControlServer::watch);
    }

    /// Listens, and from now on checks every few seconds that it still does.
    void start()
    {
        listenNow();
        m_watch.start();
    }
    void close()
    {
        m_watch.stop();
        m_server.close();
    }

private:
    static constexpr int MaxRequestBytes = 64;
    static constexpr int MaxConnections = 16;
    static constexpr int LineMsecs = 10000;
    static constexpr int WatchMsecs = 3000;
    static constexpr const char *AskedProperty = "garvinaAsked";

    struct Command
    {
        QString request;
        QPointer<QLocalSocket> socket;
    };

    void listenNow()
    {
        // Only one service runs per program folder (start-up refused a second copy): a socket file
        // left here is a dead one's, or ours gone astray.
        m_server.close();
        QLocalServer::removeServer(m_path);
        m_server.setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
        if (!m_server.listen(m_path)) {
            // Retried on every watch: said once, not every few seconds.
            const QString error = m_server.errorString();
            if (error != m_listenError)
                journalLine(u"garvinaserver: cannot listen on "_s + m_path + u": "_s + error, true);
            m_listenError = error;
            return;
        }
        if (!m_listenError.isEmpty())
            journalLine(u"garvinaserver: listening on "_s + m_path + u" again"_s, false);
        m_listenError.clear();
        m_inode = socketInode();
    }

    /// The inode of the socket file at the path; 0 when there is none.
    quint64 socketInode() const { return socketFileInode(m_path); }

    /// A socket file removed (a cleaner of the folder, a careless hand) leaves the service deaf for
    /// good; make it again.
    void watch()
    {
        if (m_server.isListening() && m_inode != 0 && socketInode() == m_inode)
            return;
        if (m_server.isListening())
            journalLine(u"garvinaserver: "_s + m_path + u" went away; listening again"_s, true);
        listenNow();
    }

    void accept()
    {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            // Full: the connection silent the longest makes room, so that clients holding every
            // place without a word cannot keep --status or the desktop console out. A client
            // sends its line as soon as it is connected; only when every place has asked and waits
            // for its answer is the newcomer closed.
            if (m_open >= MaxConnections && !closeLongestSilent()) {
                ++m_refused;
                socket->abort();
                socket->deleteLater();
                continue;
            }
            ++m_open;
            forgetAnswered();
            m_silent.emplace_back(socket);
            connect(socket, &QObject::destroyed, this, &ControlServer::connectionGone);
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            // A client that never sends its line does not keep the connection.
            auto *deadline = new QTimer(socket);
            deadline->setSingleShot(true);
            connect(deadline, &QTimer::timeout, socket, &QLocalSocket::abort);
            deadline->start(LineMsecs);
            connect(socket, &QLocalSocket::readyRead, this,
                    [this, socket, deadline] { read(socket, deadline); });
        }
    }

    /// Keeps the list of silent connections as short as the connections themselves.
    void forgetAnswered()
    {
        if (m_silent.size() < 4 * MaxConnections)
            return;
        m_silent.erase(std::remove_if(m_silent.begin(), m_silent.end(),
                                      [](const QPointer<QLocalSocket> &c) {
                                          return !c || c->property(AskedProperty).toBool();
                                      }),
                       m_silent.end());
    }

    /// Closes the oldest connection that has not sent its line yet; false when there is none.
    bool closeLongestSilent()
    {
        while (!m_silent.empty()) {
            const QPointer<QLocalSocket> oldest = m_silent.front();
            m_silent.pop_front();
            if (!oldest || oldest->property(AskedProperty).toBool())
                continue;
            ++m_refused;
            // Its descriptor goes now; the object, and its count, with the next turn of the loop.
            disconnect(oldest, &QObject::destroyed, this, &ControlServer::connectionGone);
            --m_open;
            oldest->abort();
            oldest->deleteLater();
            return true;
        }
        return false;
    }

    void connectionGone()
    {
        --m_open;
        if (m_refused > 0 && m_open < MaxConnections) {
            journalLine(u"garvinaserver: closed "_s + QString::number(m_refused) +
                            u" connections at once: at most "_s + QString::number(MaxConnections) +
                            u" are served together"_s,
                        true);
            m_refused = 0;
        }
    }

    void read(QLocalSocket *socket, QTimer *deadline)
    {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > MaxRequestBytes)
                socket->abort();
            return;
        }
        const QString request = QString::fromUtf8(socket->readLine(MaxRequestBytes)).trimmed();
        socket->setProperty(AskedProperty, true);
        deadline->stop();
        disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
        if (request == u"STATUS"_s) {
            const ConsoleStatus &status = m_console.mainWindow()->statusModel().status();
            answer(socket, {status.healthy() ? 0 : 1, statusFields(status)});
            return;
        }
        if (request != u"START"_s && request != u"STOP"_s && request != u"BACKUP"_s &&
            request != u"RESTORE-OFFSITE"_s) {
            answer(socket, commandReply(2, u"refused"_s, u"无效的命令"_s));
            return;
        }
        // A start, stop or backup waits for the engine: one at a time, the one queued or running.
        if (m_command) {
            answer(socket, commandReply(1, u"busy"_s, u"服务端正忙,请稍后再试!"_s));
            return;
        }
        m_command = Command{request, socket};
        QMetaObject::invokeMethod(this, &ControlServer::runCommand, Qt::QueuedConnection);
    }

    void runCommand()
    {
        const auto done = qScopeGuard([this] { m_command.reset(); });
        const auto reply = carryOut(m_command->request);
        // The client may have left while the command ran: its socket is gone, or closed.
        if (m_command->socket)
            answer(m_command->socket, reply);
    }

    static void answer(QLocalSocket *socket, const std::pair<int, QString> &reply)
    {
        if (socket->state() != QLocalSocket::ConnectedState)
            return;
        socket->write(QByteArray::number(reply.first) + '\n' + reply.second.toUtf8() + '\n');
        socket->disconnectFromServer();
    }

    std::pair<int, QString> carryOut(const QString &request)
    {
        w_main &main = *m_console.mainWindow();
        // Other work on the database (a scheduled backup, a restore) is not waited for; a rehearsal
        // gives way.
        const WorkSlot &work = main.maintenance().work();
        if (!work.yields())
            return commandReply(1, u"refused"_s, dataWorkRunningText());
        const auto scope = m_boxes.commandScope();
        if (request == u"BACKUP"_s)
            return backUpNow();
        if (request == u"RESTORE-OFFSITE"_s)
            return restoreFromOffsite();
        const bool wantRunning = request == u"START"_s;
        if (main.serviceRunning() != wantRunning)
            main.server_start_stop();
        else if (wantRunning)
            main.restartEngineNow(); // on, but its engine may have ended since
        // A service on whose engine is down is not started.
        const bool done = main.serviceRunning() == wantRunning && (!wantRunning || main.engineServing());
        QString text = m_boxes.collected().join(u'\n');
        if (text.isEmpty())
            text = done ? (wantRunning ? u"服务端已启动工作!"_s : u"服务端已停止工作!"_s) : u"操作失败!"_s;
        return commandReply(done ? 0 : 1, done ? u"ok"_s : u"failed"_s, text);
    }

    std::pair<int, QString> backUpNow()
    {
        AppContext &ctx = m_console.context();
        w_main &main = *m_console.mainWindow();
        // Stopped by the user: no backup starts the engine again behind their back.
        if (!main.serviceRunning())
            return commandReply(1, u"refused"_s, u"服务端已停止,不执行备份任务"_s);
        const BackupOutcome outcome = main.backUpNow(backupRootOf(ctx));
        return outcome.ok ? commandReply(0, u"ok"_s, u"备份数据库成功!"_s)
                          : commandReply(1, u"failed"_s, outcome.error);
    }

    /// The newest off-site chain in place of the live database: the request is the confirmation.
    std::pair<int, QString> restoreFromOffsite()
    {
        w_main &main = *m_console.mainWindow();
        if (!main.serviceRunning())
            return commandReply(1, u"refused"_s, u"服务端已停止,请先启动服务!"_s);
        const bool done = main.maintenance().restoreFromOffsite() == RestoreOutcome::Restored;
        main.updateBackupHealth();
        const QString text = m_boxes.collected().join(u'\n');
        return commandReply(done ? 0 : 1, done ? u"ok"_s : u"failed"_s,
                            text.isEmpty() ? (done ? u"还原数据库成功!"_s : u"操作失败!"_s) : text);
    }

    Console &m_console;
    ServiceBoxes &m_boxes;
    const QString m_path;
    QTimer m_watch;
    QString m_listenError; ///< the last listen error told in the journal
    quint64 m_inode = 0;
    int m_open = 0;
    int m_refused = 0; ///< connections closed at once since the last time this was told
    std::optional<Command> m_command;
    std::deque<QPointer<QLocalSocket>> m_silent; ///< connections in the order they came
    // Last: its sockets go first, while the counters above are still there for their destroyed().
    QLocalServer m_server;
};

/// \brief Tells the service manager READY=1 once the status has the service, the engine and the
/// client service up (a start that fails is never reported ready: the unit's start timeout then
/// restarts the service), and afterwards the engine's line whenever the engine comes or goes.
class ReadinessNotice
{
public:
    void update(const ConsoleStatus &status)
    {
        if (!m_ready) {
            if (!status.serviceOn || !status.engineUp || !status.clientUp)
                return;
            m_ready = true;
            m_engineUp = true;
            notifyServiceManager("READY=1\nSTATUS=" + u"服务端已启动工作!"_s.toUtf8());
            return;
        }
        if (status.engineUp == m_engineUp)
            return;
        m_engineUp = status.engineUp;
        notifyServiceManager("STATUS=" + statusText(status).section(u'\n', 0, 0).toUtf8());
    }

private:
    bool m_ready = false;
    bool m_engineUp = false;
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

QString noPermissionText()
{
    return u"没有权限连接服务端,请以 garvinaserver 组的成员运行"_s;
}

QString packageProgramFolder(const QString &programFile)
{
    QFile pointer(QFileInfo(programFile).absolutePath() + u"/program-folder"_s);
    if (!pointer.open(QIODevice::ReadOnly))
        return QString();
    QString folder = QString::fromUtf8(pointer.readLine(4096)).trimmed();
    if (!QDir::isAbsolutePath(folder))
        return QString();
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

QString consoleWorkingDirectory(const QString &workingDirectory, const QString &programFile)
{
    if (QFileInfo(QDir(workingDirectory).filePath(u"garvinaserver"_s)).isFile())
        return workingDirectory;
    const QString folder = packageProgramFolder(programFile);
    return folder.isEmpty() ? workingDirectory : folder;
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
    return gs_path + controlSocketName();
}

namespace {

QtMessageHandler g_qtHandler = nullptr;

/// Keeps out of the journal what Qt says on every start of a process without a desktop: windows that
/// are never shown cannot be raised, and the service has no session's runtime folder (it needs none).
void quietForTheJournal(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && (message.startsWith(u"QStandardPaths: XDG_RUNTIME_DIR not set"_s) ||
                                 message == u"This plugin does not support raise()"_s))
        return;
    if (g_qtHandler)
        g_qtHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toLocal8Bit().constData());
}

} // namespace

int runServiceMode(int &argc, char **argv)
{
    // No windows are ever shown: the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    g_qtHandler = qInstallMessageHandler(quietForTheJournal);
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
    OrderlyEnd orderlyEnd(/*hangUpReloads=*/true);

    ServiceBoxes boxes;
    SystemClock clock;
    SystemProcessLauncher launcher;
    LinuxFileSystem files;
    Console console(boxes, clock, launcher, files);
    console.setTrayBackend(new JournalTray);
    console.setWritesDefaultConfiguration(true);
    // An engine that cannot be kept up fails the service: its manager starts it afresh, or shows it
    // failed.
    console.setEngineAbandonedHandler([] {
        journalLine(u"数据库服务多次重新启动失败,服务退出!"_s, true);
        QCoreApplication::exit(1);
    });
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

    ControlServer control(console, boxes, controlSocketPath(console.context().gs_path));
    control.start();

    // A value the console cannot read is named, at the start and whenever the file is read again.
    w_main &main = *console.mainWindow();
    const auto tellUnreadable = [&console] {
        for (const QString &setting : unreadableSettings(console.context().config()))
            journalLine(u"配置文件中的设置无法识别,已忽略:"_s + setting, true);
    };
    tellUnreadable();
    QObject::connect(&main, &w_main::configurationRead, &app, [tellUnreadable] {
        journalLine(u"已重新读取配置文件"_s, false);
        tellUnreadable();
    });
    QObject::connect(&orderlyEnd.unixSignals(), &UnixSignals::reloadRequested, &main,
                     &w_main::reloadConfiguration);

    StatusModel &model = console.mainWindow()->statusModel();
    ReadinessNotice readiness;
    QObject::connect(&model, &StatusModel::changed, &app,
                     [&readiness](const ConsoleStatus &status) { readiness.update(status); });
    readiness.update(model.status());

    const int result = orderlyEnd.exec();
    notifyServiceManager("STOPPING=1");
    control.close();
    console.closeHook();
    return leaveAfterOrderlyEnd(result);
}

std::optional<std::pair<int, QString>> sendControlRequest(const QString &gs_path, const QString &request,
                                                          int timeoutMs, bool *refused)
{
    QLocalSocket socket;
    socket.connectToServer(controlSocketPath(gs_path));
    if (!socket.waitForConnected(qMin(timeoutMs, 3000))) {
        if (refused)
            *refused = socket.error() == QLocalSocket::SocketAccessError;
        return std::nullopt;
    }
    socket.write(request.toUtf8() + '\n');
    QByteArray reply;
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(timeoutMs))
        reply += socket.readAll();
    reply += socket.readAll();
    return parseControlReply(reply);
}

std::optional<std::pair<int, QString>> parseControlReply(const QByteArray &reply)
{
    const qsizetype newline = reply.indexOf('\n');
    if (newline <= 0)
        return std::nullopt;
    bool numeric = false;
    const int code = reply.left(newline).toInt(&numeric);
    if (!numeric)
        return std::nullopt;
    return std::make_pair(code, QString::fromUtf8(reply.mid(newline + 1)).trimmed());
}

QString controlReplyField(const QString &fields, const QString &name)
{
    const QString prefix = name + u'=';
    for (const QString &line : fields.split(u'\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    }
    return QString();
}

QString controlReplyText(const QString &fields)
{
    QStringList lines;
    for (const QString &line : fields.split(u'\n')) {
        if (line.startsWith(u"text="_s))
            lines << line.mid(5);
    }
    return lines.join(u'\n');
}

namespace {

/// The program folder of the service a command-line copy talks to: the start folder's, else the
/// installed package's (a user outside the service's group cannot look into it: its socket still
/// tells why).
QString serviceProgramFolder()
{
    const QString folder = consoleProgramFolder(QDir::currentPath(), QCoreApplication::applicationFilePath());
    return folder.isEmpty() ? packageProgramFolder(QCoreApplication::applicationFilePath()) : folder;
}

} // namespace

int runStatusMode(int &argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString folder = serviceProgramFolder();
    bool refused = false;
    const auto reply =
        folder.isEmpty() ? std::nullopt : sendControlRequest(folder, u"STATUS"_s, 30000, &refused);
    const auto status = reply ? parseStatusFields(reply->second) : std::nullopt;
    // The first line is for a monitoring system, the exit code its convention; the details follow.
    if (!status) {
        // A service this user may not reach is not a service that is down.
        const MonitoringVerdict unknown = unknownVerdict(refused ? noPermissionText() : u"服务端未运行"_s);
        std::printf("%s\n", unknown.line.toUtf8().constData());
        return unknown.code;
    }
    const MonitoringVerdict verdict = monitoringVerdict(*status, QDateTime::currentDateTime());
    std::printf("%s\n%s\n", verdict.line.toUtf8().constData(), statusText(*status).toUtf8().constData());
    return verdict.code;
}

int runFetchOffsiteMode(int &argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const qsizetype at = args.indexOf(u"--fetch-offsite"_s);
    if (at < 0 || at + 1 >= args.size()) {
        std::fprintf(stderr, "usage: garvinaserver --fetch-offsite <folder>\n");
        return 2;
    }
    const QString target = QDir(args.at(at + 1)).absolutePath();
    const QString folder = serviceProgramFolder();
    if (folder.isEmpty()) {
        std::fprintf(stderr, "%s\n", noPermissionText().toUtf8().constData());
        return 1;
    }
    SystemClock clock;
    LinuxFileSystem files;
    AppContext ctx;
    ctx.gs_path = folder.endsWith(u'/') ? folder : folder + u'/';
    ctx.clock = &clock;
    ctx.files = &files;
    if (QFileInfo::exists(target + u"/garvina.db"_s)) {
        std::fprintf(stderr, "%s\n", (target + u"/garvina.db 已经存在,请换一个目录!"_s).toUtf8().constData());
        return 1;
    }
    const QString scratch = target + u"/.garvina-fetch"_s;
    const OffsiteFetch fetch = fetchOffsiteChain(ctx, scratch);
    const auto cleanUp = qScopeGuard([&] { QDir(scratch).removeRecursively(); });
    if (!fetch.ok || !files.moveOver(fetch.database, target + u"/garvina.db"_s).ok()) {
        std::fprintf(stderr, "%s\n", (u"取回异地备份失败:"_s + fetch.error).toUtf8().constData());
        return 1;
    }
    std::printf("%s\n",
                (u"已取回并校验异地备份 ("_s + fetch.takenAt.toString(u"yyyy-MM-dd HH:mm:ss"_s) + u",共"_s +
                 QString::number(fetch.chain.size()) + u"级):"_s + target + u"/garvina.db"_s)
                    .toUtf8()
                    .constData());
    return 0;
}

int runRestoreOffsiteMode(int &argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString folder = serviceProgramFolder();
    bool refused = false;
    // Fetching and checking a gigabyte over a slow line takes long; the service bounds each step.
    const auto reply = folder.isEmpty()
                           ? std::nullopt
                           : sendControlRequest(folder, u"RESTORE-OFFSITE"_s, 8 * 3600 * 1000, &refused);
    if (!reply) {
        std::fprintf(stderr, "%s\n", (refused ? noPermissionText() : u"服务端未运行"_s).toUtf8().constData());
        return 3;
    }
    for (const QString &line : reply->second.split(u'\n')) {
        if (line.startsWith(u"text="_s))
            std::printf("%s\n", line.mid(5).toUtf8().constData());
    }
    return reply->first == 0 ? 0 : 1;
}

} // namespace garvina
