#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace garvina {

class ProcessLauncher;
class ProcessTable;

/// True when the command line (the arguments, joined by blanks) holds "-autorun" anywhere.
bool autorunRequested(const QStringList &arguments);

/// \brief The program folder, ending in "/": the working directory when it holds the program file
/// "garvinaserver", else the folder of the running program file. A null text when neither holds it.
QString resolveProgramFolder(const QString &workingDirectory, const QString &programFile,
                             const std::function<bool(const QString &)> &fileExists);

enum class InstanceDecision
{
    GoOn,
    AlreadyRunning,
    InternalError
};

/// What start-up does with the count of running copies of the program.
InstanceDecision decideInstance(int runningCopies);

/// The pending-rebuild switch is on only for exactly "1".
inline bool dbunloadSwitchOn(const QString &value)
{
    return value == QStringLiteral("1");
}

/// \brief Restores missing icons and skin pictures from the archives in the program folder.
///
/// Starts the archiver `rar` of the program folder without waiting for it. Always true.
bool f_check_skin(const QString &gs_path, ProcessLauncher &launcher);

/// \brief Ends the engine tools (gbak, nbackup, isql-fb, gfix) still working on the instance of
/// \a gs_path, found by the instance root in their environment: a console that died leaves them
/// behind, and they hold the database and the rebuild files. Returns how many it ended.
int endLeftoverTools(const QString &gs_path, const ProcessTable &processes);

/// Removes what a killed restore or rebuild left half made in the data folder (the live database and
/// the backup folder are not touched).
void removeHalfMadeFiles(const QString &gs_path);

} // namespace garvina
