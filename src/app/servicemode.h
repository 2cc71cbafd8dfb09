#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace garvina {

/// \brief The working directory the console starts from: \a workingDirectory, unless it does not
/// hold the program and the program file lies in an installed package's folder, whose file
/// "program-folder" names the shop's program folder (the package's programs are never the shop's
/// folder themselves).
QString consoleWorkingDirectory(const QString &workingDirectory, const QString &programFile);

/// \brief The program folder the console resolves when started in \a workingDirectory (see above);
/// installed, only the shop's folder, else a null text.
QString consoleProgramFolder(const QString &workingDirectory, const QString &programFile);

/// What a user outside the service's group is told: its socket is not theirs to reach.
QString noPermissionText();

/// \brief The shop's folder named by the installed package beside \a programFile ("program-folder"),
/// ending in '/'; a null text for a console that was not installed.
QString packageProgramFolder(const QString &programFile);

/// The local socket over which a running service answers "STATUS" and carries out commands.
QString controlSocketPath(const QString &gs_path);

/// \brief Sends one request line ("STATUS", "START", "STOP", "BACKUP") to the service of \a gs_path
/// and returns its result code (0 good) and fields; nothing when no service answers within \a timeoutMs.
/// Blocks: for processes without windows (--status, tests).
///
/// STATUS answers statusFields(); the commands "result=ok|failed|busy|refused" and "text=" lines.
/// \a refused, when given, tells whether the socket was there but this user may not connect to it.
std::optional<std::pair<int, QString>> sendControlRequest(const QString &gs_path, const QString &request,
                                                          int timeoutMs, bool *refused = nullptr);

/// \brief Reads a whole reply: the result code line, then the fields; nothing when there is no
/// code line.
std::optional<std::pair<int, QString>> parseControlReply(const QByteArray &reply);

/// The value of the field \a name in a reply's \a fields; empty when there is none.
QString controlReplyField(const QString &fields, const QString &name);

/// The text for people in a reply's \a fields: its "text=" lines.
QString controlReplyText(const QString &fields);

/// \brief `garvinaserver --service`: the engine, the client connection service and the maintenance
/// without windows; boxes and balloons go to standard error, the service manager hears of the
/// readiness and the end, SIGTERM ends in order. Returns the process's exit code.
int runServiceMode(int &argc, char **argv);

/// \brief `garvinaserver --status`: asks the running service for its state and prints it.
///
/// 0 when the engine and the client service run and the backup alarm is down; 1 when the engine is
/// down or the alarm is up; 3 when no service answers.
int runStatusMode(int &argc, char **argv);

/// \brief `garvinaserver --fetch-offsite <folder>`: fetches the newest off-site chain of the program
/// folder's repository, checks, assembles and validates it into <folder>/garvina.db, for a restore
/// ("数据还原") or another machine. Touches neither the live database nor the engine. 0 when the
/// database is there, 1 when not (the reason on standard error), 2 for a wrong call.
int runFetchOffsiteMode(int &argc, char **argv);

} // namespace garvina
