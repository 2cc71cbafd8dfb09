#include "enginecontrol.h"

#include "config/profilefile.h"
#include "core/appcontext.h"
#include "engine/engineprobe.h"
#include "engine/fbservice.h"
#include "platform/messageboxes.h"
#include "platform/processlauncher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {} // namespace

QStringList serverArguments(const EngineInstance &instance, const QString &port)
{
    // The server cuts the values of -e and -el at the first blank; for such a folder the same root
    // and lock folder reach it through FIREBIRD and FIREBIRD_LOCK alone.
    if (instance.root().contains(QRegularExpression(u"\\s"_s)))
        return {u"-p"_s, port};
    return {u"-e"_s, instance.root(), u"-el"_s, instance.lockFolder(), u"-p"_s, port};
}

QStringList EngineInstance::environment() const
{
    return {u"FIREBIRD="_s + root(), u"FIREBIRD_LOCK="_s + lockFolder()};
}

QStringList EngineInstance::toolEnvironment() const
{
    return scratchToolEnvironment(lockFolder());
}

QStringList EngineInstance::scratchToolEnvironment(const QString &lockFolder) const
{
    const QString toolsRoot = QFileInfo::exists(toolRoot() + u"firebird.conf"_s) ? toolRoot() : root();
    return {u"FIREBIRD="_s + toolsRoot, u"FIREBIRD_LOCK="_s + lockFolder};
}

QString readDbaPassword(const QString &gs_path)
{
    QFile file(EngineInstance(gs_path).passwordFile());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray line = file.read(4096);
    const qsizetype eol = line.indexOf('\n');
    if (eol >= 0)
        line.truncate(eol);
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

QString odbcIniPath()
{
    return QDir::homePath() + u"/.odbc.ini"_s;
}

qint64 listenerOf(int port, qint64 pid, const ProcessTable &processes)
{
    if (!processes.portListened(port))
        return 0;
    return processes.listeningPorts(pid).contains(port) ? pid : -1;
}

EngineControl::EngineControl(AppContext &ctx, EngineControlOptions options)
    : m_ctx(ctx), m_options(std::move(options))
{
    if (!m_options.processes)
        m_options.processes = std::make_shared<LinuxProcessTable>();
    fbKeepClientOnSignals();
}

QString EngineControl::configuredPort() const
{
    return m_ctx.readSetting(u"server"_s, u"dataport"_s);
}

void EngineControl::writeDataSource(const QString &port) const
{
    // Failures here are not reported: the connection through the data source then fails and says so.
    const QString section = dataSourceName();
    ProfileFile(odbcIniPath(), m_ctx.files)
        .write(QList<ProfileFile::Entry>{
            {section, u"Driver"_s, u"libfbclient.so.2"_s},
            {section, u"UID"_s, QString()},
            {section, u"PWD"_s, QString()},
            {section, u"DatabaseName"_s, engineName()},
            {section, u"AutoStop"_s, u"No"_s},
            {section, u"EngineName"_s, engineName()},
            {section, u"CommLinks"_s, u"TCPIP{host=127.0.0.1;ServerPort="_s + port + u";}"_s},
            {u"ODBC Data Sources"_s, section, u"Firebird 3.0"_s},
        });
}

bool EngineControl::f_connectdb()
{
    const QString user = u"dba"_s;
    const QString password = readDbaPassword(m_ctx.gs_path);
    writeDataSource(configuredPort());

    // Connect through the data source just written: host, port and database come from it.
    const ProfileFile dsn(odbcIniPath());
    const QString section = dataSourceName();
    const QString links = dsn.read(section, u"CommLinks"_s, QString());
    QString host = u"127.0.0.1"_s;
    int port = 0;
    // "TCPIP{host=127.0.0.1;ServerPort=2638;}": the parameters between the braces.
    const qsizetype open = links.indexOf(u'{');
    const qsizetype close = links.lastIndexOf(u'}');
    const QString params = (open >= 0 && close > open) ? links.mid(open + 1, close - open - 1) : QString();
    for (const QString &part : params.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype eq = part.indexOf(u'=');
        if (eq < 0)
            continue;
        const QString name = part.left(eq).trimmed();
        if (name.compare(u"host"_s, Qt::CaseInsensitive) == 0)
            host = part.mid(eq + 1).trimmed();
        else if (name.compare(u"ServerPort"_s, Qt::CaseInsensitive) == 0)
            port = part.mid(eq + 1).trimmed().toInt();
    }
    const QString database = dsn.read(section, u"DatabaseName"_s, engineName());

    m_sqlca.disconnect();
    return m_sqlca.connect(host, port, database, user, password) && m_sqlca.sqlCode() == 0;
}

EngineControl::StartStopScope::StartStopScope(WorkSlot &work)
    : m_work(work), m_claim(work.claim(WorkKind::StartStop))
{
    // Free: this start or stop holds the slot while it waits. Taken by other work: that work (the
    // main window's start, a restore) is the caller, and its claim covers the start or stop.
    m_work.setEngineWaiting(true);
}

EngineControl::StartStopScope::~StartStopScope()
{
    m_work.setEngineWaiting(false);
}

EngineFault EngineControl::servingFault() const
{
    if (m_work.engineWaiting() || m_work.current() == WorkKind::StartStop || m_work.copyBeingWritten() ||
        endRequested())
        return EngineFault::None;
    const qint64 pid = runningPid();
    if (pid == 0)
        return QFileInfo::exists(EngineInstance(m_ctx.gs_path).databaseFile()) ? EngineFault::Gone
                                                                               : EngineFault::None;
    const int port = portOfEngine(pid);
    if (port <= 0 || listenerOf(port, pid, *m_options.processes) == pid)
        return EngineFault::None;
    return EngineFault::NotListening;
}

bool EngineControl::restartIfNotServing()
{
    const EngineFault fault = servingFault();
    if (fault == EngineFault::None)
        return false;
    const StartStopScope scope(m_work);
    if (fault == EngineFault::NotListening) {
        m_sqlca.disconnect();
        // Without its listener nobody can log in to stop it: it is ended directly.
        terminate(runningPid());
    }
    start();
    return true;
}

bool EngineControl::paused() const
{
    const qint64 pid = runningPid();
    return pid > 0 && m_options.processes->stopped(pid);
}

bool EngineControl::f_db_server(const QString &as_type)
{
    if (as_type != u"START"_s && as_type != u"STOP"_s)
        return true;
    // Whoever asks for a start or stop from outside (the main window, the service's socket) first
    // claims the work slot, and is refused while other work holds it; work that holds it (a
    // restore, the main window's own start) starts and stops the engine under its claim. A start or
    // stop that arrives while one waits does nothing.
    if (m_work.engineWaiting())
        return true;
    if (as_type == u"START"_s && !QFileInfo::exists(EngineInstance(m_ctx.gs_path).databaseFile()))
        return false;
    const StartStopScope scope(m_work);
    if (as_type == u"START"_s)
        return start();
    stop();
    return true;
}

bool EngineControl::start()
{
    const EngineInstance instance(m_ctx.gs_path);
    const QString portText = configuredPort();
    bool numeric = false;
    const int port = portText.trimmed().toInt(&numeric);
    const int waitMs = m_ctx.gb_start ? 16000 : 8000;
    m_ctx.gb_start = false;
    if (!numeric || port < 1 || port > 65535) {
        // The engine would listen on the port modulo 65536, or on none, and nobody would find it.
        m_ctx.boxes->tell(u"提示"_s, u"连接数据库失败! 错误代码:数据库端口 "_s + portText + u" 无效!"_s,
                          MsgIcon::StopSign);
        return true;
    }

    // An engine of this program folder that already runs is used as it is: a second server on the
    // same files could only fail, and its pid would hide the running one from the probe.
    qint64 pid = runningPid();
    if (pid == 0) {
        // Its messages go to the instance's log, not to the console's output: a reader of that
        // output would otherwise wait until the engine ends.
        pid = m_ctx.launcher->startDetached(m_options.serverProgram, serverArguments(instance, portText),
                                            instance.root(), instance.environment(),
                                            instance.root() + u"firebird.log"_s);
        if (pid > 0)
            writeEnginePidFile(*m_ctx.files, m_ctx.gs_path, pid);
    }

    // Wait for the engine to listen on its port, then prove that it answers. Give up early when it
    // ended, or when another program holds the port (the engine then never listens).
    QString failure;
    bool connected = false;
    waitUntil(
        [&] {
            if (pid <= 0 || !alive(pid)) {
                f_connectdb();
                connected = m_sqlca.sqlCode() == 0;
                failure = m_sqlca.sqlErrText();
                return true;
            }
            const qint64 listener = port > 0 ? listenerOf(port, pid, *m_options.processes) : 0;
            if (listener == 0)
                return false;
            if (listener < 0) {
                // The data source is rewritten at every start, also when the port is someone else's.
                writeDataSource(portText);
                failure = u"Unable to complete network request to host \"127.0.0.1\".\n"
                          u"Error while listening for an incoming connection.\n"
                          u"Address already in use: port "_s +
                          QString::number(port) + u" is held by another program"_s;
                return true;
            }
            connected = f_connectdb();
            failure = m_sqlca.sqlErrText();
            return true;
        },
        waitMs);

    if (!connected && failure.isEmpty()) {
        // Still not listening when the wait ran out.
        connected = f_connectdb();
        failure = m_sqlca.sqlErrText();
    }
    m_sqlca.disconnect();
    // The console is ending: its orderly end stops the engine, and nobody is there to read a message.
    if (connected || endRequested())
        return true;

    // An engine that never came to listen would only stand in the way of the next start.
    if (pid > 0 && alive(pid) && listenerOf(port, pid, *m_options.processes) != pid) {
        m_options.processes->send(pid, ProcessTable::Signal::Kill);
        waitUntil([&] { return !alive(pid); }, 3000);
    }
    m_ctx.boxes->tell(u"提示"_s, u"连接数据库失败! 错误代码:"_s + failure, MsgIcon::StopSign);
    return true;
}

qint64 EngineControl::runningPid() const
{
    return runningEnginePid(m_ctx.gs_path, *m_options.processes, *m_ctx.files);
}

/// The port a running engine was started with, from its command line.
int EngineControl::portOfEngine(qint64 pid) const
{
    const QByteArrayList args = m_options.processes->commandLine(pid);
    for (int i = 0; i + 1 < args.size(); ++i) {
        if (args.at(i) == "-p")
            return args.at(i + 1).trimmed().toInt();
    }
    return 0;
}

void EngineControl::stop()
{
    m_sqlca.disconnect();
    const qint64 pid = runningPid();
    if (pid == 0)
        return;

    // Only the administrator may stop the engine: log in to its service manager first, on the port
    // it really listens on (the configured one may have changed since it started).
    FbServiceTarget target;
    target.port = portOfEngine(pid);
    target.user = u"DBA"_s;
    target.password = readDbaPassword(m_ctx.gs_path);
    // An engine that does not answer soon is left as it is: the console's end must not hang on it.
    target.attachBoundMs = 3000;
    if (!fbCheckServiceLogin(target).ok)
        return;

    terminate(pid);
}

void EngineControl::terminate(qint64 pid)
{
    m_options.processes->send(pid, ProcessTable::Signal::Terminate);
    // An idle server ends within a fraction of a second, a busy one within a few; now and then one
    // ignores SIGTERM for good. It is killed then: committed work is on disk (forced writes), and the
    // file opens and validates clean afterwards.
    if (!waitUntil([&] { return !alive(pid); }, m_options.stopGraceMs)) {
        m_options.processes->send(pid, ProcessTable::Signal::Kill);
        waitUntil([&] { return !alive(pid); }, m_options.stopTimeoutMs - m_options.stopGraceMs);
    }
    if (!alive(pid))
        QFile::remove(enginePidFile(m_ctx.gs_path));
}

} // namespace garvina
