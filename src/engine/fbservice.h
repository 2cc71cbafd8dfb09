#pragma once

#include <QString>

namespace garvina {

/// Result of a call into the engine's services API; \a error holds the engine's own text.
struct FbResult
{
    bool ok = false;
    QString error;
    /// The engine answered nothing for the call's bound: its connections cannot be closed either.
    bool unanswered = false;
};

/// Where and as whom to reach a running engine's service manager.
struct FbServiceTarget
{
    QString host = QStringLiteral("127.0.0.1");
    int port = 0;
    QString user;
    QString password;
    /// How long a log-in may take before the engine counts as not answering; a log-in also gives up
    /// once the console's end is requested.
    int attachBoundMs = 10000;
    /// How long a running action may go without any answer from the engine before it is given up:
    /// an engine that is alive answers every second, one stopped by a signal never does.
    int answerBoundMs = 30000;
};

/// \brief Keeps the engine's client library working when the console receives SIGTERM or SIGINT.
///
/// The library shuts itself down on those signals by default, so that the console's orderly end
/// (which still has to log in and stop the engine) would fail with "connection shutdown". The console
/// ends itself in order on those signals; the library's own shutdown is refused then. Call once early.
void fbKeepClientOnSignals();

/// Shuts the client library down in order (its threads end before the process does).
void fbShutdownClient();

/// \brief Logs in to the service manager: proves that \a target's user and password are accepted
/// by the running engine (the engine is stopped only for a user that can log in).
FbResult fbCheckServiceLogin(const FbServiceTarget &target);

/// \brief Has the running engine write a physical copy of \a database (an alias or a path the server
/// knows) into \a backupFile, while clients keep working. Level 0 is the whole database; it still
/// carries the backup lock and must be fixed up before it opens as a database. Level 1 holds the
/// pages changed since the last level 0 of the engine's backup history. Either is recorded there. Given up on
/// (the result says so) when the engine answers nothing for the target's answer bound; the action then goes
/// on alone inside the engine, and its copy is the caller's to remove.
FbResult fbOnlineBackup(const FbServiceTarget &target, const QString &database, const QString &backupFile,
                        int level = 0);

} // namespace garvina
