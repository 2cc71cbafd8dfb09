#pragma once

#include "platform/filesystem.h"
#include "platform/processtable.h"

#include <QString>

namespace garvina {

/// File, below the program folder, holding the process id of the instance's running engine.
QString enginePidFile(const QString &gs_path);

/// Writes \a pid into the instance's pid file, which is replaced in one step.
bool writeEnginePidFile(const FileSystem &files, const QString &gs_path, qint64 pid);

/// True while \a pid is a live Firebird server serving this program folder's instance root.
bool isEngineOf(const QString &gs_path, qint64 pid, const ProcessTable &processes);

/// \brief The engine-running probe: true exactly while this program folder's Firebird server runs
/// (also one left by an earlier console). The process named in the pid file is checked first; a
/// pid file that is missing, left by a dead engine or names another program does not hide a running
/// engine: it is found in the process table and the pid file is written again (through \a files).
bool f_findwindows_garvinanet(const QString &gs_path, const ProcessTable &processes = LinuxProcessTable(),
                              const FileSystem &files = LinuxFileSystem());

/// The process id of this program folder's running engine, or 0 when none runs.
qint64 runningEnginePid(const QString &gs_path, const ProcessTable &processes = LinuxProcessTable(),
                        const FileSystem &files = LinuxFileSystem());

/// True while some process (this one included) holds \a file open: it must not be replaced then.
bool fileHeldOpen(const QString &file, const ProcessTable &processes = LinuxProcessTable());

/// True while \a pid names a live process (a zombie is not alive).
bool processAlive(qint64 pid, const ProcessTable &processes = LinuxProcessTable());

} // namespace garvina
