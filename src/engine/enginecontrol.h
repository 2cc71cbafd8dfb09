#pragma once

#include "engine/enginewatch.h"
#include "engine/sqlca.h"
#include "engine/workslot.h"
#include "platform/endrequest.h"
#include "platform/processtable.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace garvina {

struct AppContext;

/// Paths of the private engine instance below a program folder.
struct EngineInstance
{
    explicit EngineInstance(QString programFolder) : gs_path(std::move(programFolder)) {}
    QString root() const { return gs_path + QStringLiteral("tool/"); }
    QString databaseFile() const { return gs_path + QStringLiteral("data/garvina.db"); }
    QString passwordFile() const { return root() + QStringLiteral("dba.password"); }
    QString lockFolder() const { return root() + QStringLiteral("lock"); }
    /// Environment entries of the server: its root, which opens database files in data/ only.
    QStringList environment() const;
    /// Root of the embedded tools: the same engine files and security database, any database file.
    QString toolRoot() const { return root() + QStringLiteral("embedded/"); }
    /// \brief Environment entries of every embedded tool run on this instance (gbak, nbackup -F,
    /// isql-fb): the tools' own root and the server's lock folder, so that they still cannot open
    /// the shop database while the server has it. A folder laid out before the tools had a root of
    /// their own (its server is not limited either) gives the server's root.
    QStringList toolEnvironment() const;
    /// \brief Environment entries of embedded tools that only ever open scratch copies (a rehearsal's
    /// files): their own lock folder \a lockFolder. A tool killed while it held a mutex of the shared
    /// memory in its lock folder leaves it held for every later user of that folder, the server
    /// among them; a lock folder of their own is thrown away with what it holds.
    QStringList scratchToolEnvironment(const QString &lockFolder) const;

    QString gs_path;
};

/// The server's command line for \a instance on \a port (the password is never on it).
QStringList serverArguments(const EngineInstance &instance, const QString &port);

/// The engine's name, its alias for the shop database and the data source the console connects through.
inline QString engineName()
{
    return QStringLiteral("GARVINANET");
}
inline QString dataSourceName()
{
    return QStringLiteral("GARVINA Server");
}

/// \brief Reads the administrator password from the instance's password file, each time it is needed.
/// Empty when the file cannot be read.
QString readDbaPassword(const QString &gs_path);

/// The per-user data-source file (unixODBC's ~/.odbc.ini).
QString odbcIniPath();

/// What an EngineControl runs and how long it waits; tests and measuring programs change them.
struct EngineControlOptions
{
    QString serverProgram = QStringLiteral("/usr/sbin/firebird");
    /// How long a stop gives the engine to end on SIGTERM before it kills it, and how long it waits
    /// in all for the process to be gone.
    int stopGraceMs = 8000;
    int stopTimeoutMs = 30000;
    /// Where the engine's process is looked up; the system's when null.
    std::shared_ptr<const ProcessTable> processes;
};

/// \brief Starts, stops and connects to the program folder's database engine.
class EngineControl
{
public:
    explicit EngineControl(AppContext &ctx, EngineControlOptions options = {});

    /// \brief "START": false when the database file is missing (nothing launched). Otherwise true, also
    /// when the engine did not answer in time (the message "连接数据库失败! 错误代码:" + the engine's
    /// text was shown then). "STOP": ends the engine and waits for it; true. Any other text: true.
    ///
    /// While a start or stop waits, windows keep painting but user input waits, and a second start or
    /// stop that arrives meanwhile does nothing.
    bool f_db_server(const QString &as_type);

    /// \brief Rewrites the data-source entries, then connects sqlca through them. True on SQL code 0.
    bool f_connectdb();

    Sqlca &sqlca() { return m_sqlca; }

    /// \brief Why the engine does not serve the tills now: it ended (killed during a backup, say), or
    /// it runs but no longer listens on its port (a failed online backup can leave it so). None also
    /// when there is no database to serve, and while a backup of this console is written, a start or
    /// stop waits, or the console is ending: nothing is to be done about it then.
    EngineFault servingFault() const;
    /// \brief Starts the engine again when servingFault() finds one (an engine without its listener
    /// is ended first). True when it had to.
    bool restartIfNotServing();

    /// \brief What the console does with the database now (a start or stop, a backup, a restore …):
    /// the one slot that every such work holds while it runs.
    WorkSlot &work() { return m_work; }
    const WorkSlot &work() const { return m_work; }
    /// True while a start or stop is under way.
    bool busy() const { return m_work.current() == WorkKind::StartStop || m_work.engineWaiting(); }

    const EngineControlOptions &options() const { return m_options; }

    /// True while the engine's process is stopped by a signal (SIGSTOP, a debugger): it runs but
    /// answers nothing until it is continued.
    bool paused() const;

private:
    bool start();
    void stop();
    void terminate(qint64 pid);
    /// The port in the configuration, as text (what the engine and the data source are given).
    QString configuredPort() const;
    void writeDataSource(const QString &port) const;
    qint64 runningPid() const;
    bool alive(qint64 pid) const { return m_options.processes->alive(pid); }
    int portOfEngine(qint64 pid) const;
    /// While it lives, the engine is being started or stopped, under the slot's claim.
    class StartStopScope
    {
    public:
        explicit StartStopScope(WorkSlot &work);
        ~StartStopScope();
        StartStopScope(const StartStopScope &) = delete;
        StartStopScope &operator=(const StartStopScope &) = delete;

    private:
        WorkSlot &m_work;
        WorkSlot::Claim m_claim;
    };

    AppContext &m_ctx;
    EngineControlOptions m_options;
    Sqlca m_sqlca;
    WorkSlot m_work;
};

/// \brief Runs \a work on \a engine's connection, connecting first when needed (and disconnecting
/// again then); nothing when no connection could be made.
template <typename T, typename Work> std::optional<T> throughEngine(EngineControl &engine, Work &&work)
{
    Sqlca &sqlca = engine.sqlca();
    const bool wasConnected = sqlca.isConnected();
    if (!wasConnected && !engine.f_connectdb())
        return std::nullopt;
    std::optional<T> result = work(sqlca);
    if (!wasConnected)
        sqlca.disconnect();
    return result;
}

/// Who listens on TCP \a port: 0 nobody, the process id when it is \a pid, -1 when someone else.
qint64 listenerOf(int port, qint64 pid, const ProcessTable &processes = LinuxProcessTable());

} // namespace garvina
