#pragma once

#include "platform/processtable.h"

#include <QString>

namespace garvina {

/// File, below the program folder, holding the process id of the instance's running engine.
QString enginePidFile(const QString &gs_path);

/// \brief The engine-running probe: true exactly while the process named in the instance's pid file
/// is alive and is this program folder's Firebird server (also one left by an earlier console).
/// A pid file left by a dead engine, or a pid since reused by another program, reads as not running.
bool f_findwindows_garvinanet(const QString &gs_path, const ProcessTable &processes = LinuxProcessTable());

/// The process id of this program folder's running engine, or 0 when none runs.
qint64 runningEnginePid(const QString &gs_path, const ProcessTable &processes = LinuxProcessTable());

/// True while \a pid names a live process (a zombie is not alive).
bool processAlive(qint64 pid, const ProcessTable &processes = LinuxProcessTable());

} // namespace garvina
