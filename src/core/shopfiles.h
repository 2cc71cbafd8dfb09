#pragma once

#include <QString>
#include <QStringList>

namespace garvina {

// The files the console writes into the program folder besides the database and the engine's
// instance. They are the shop's: an upgrade package may never replace them.

/// File name of the backup error log.
QString backupErrorLogName();
/// File name of the maintenance log beside the backup error log.
QString maintenanceLogName();
/// File name of the state file in the program folder.
QString backupStateFileName();
/// File name of the service's control socket in the program folder.
QString controlSocketName();
/// The default backup folder: home + "/织云阁软件备份/".
QString defaultBackupPath();

/// The names above that lie in the program folder itself.
QStringList consoleWrittenFileNames();

} // namespace garvina
