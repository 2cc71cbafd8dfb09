#pragma once

#include <QtGlobal>

namespace garvina {

/// \brief Keeps the console's memory out of core dumps and of other processes' reach.
///
/// The console holds the administrator password in memory while it connects, backs up and stops the
/// engine; a core dump would write it to disk. Marks the process as not dumpable (which also stops
/// other processes of the same user from attaching to it) and sets its core size limit to 0.
/// True when both took effect.
bool disableCoreDumps();

/// True when the process is marked not dumpable and its core size limit is 0.
bool coreDumpsDisabled();

/// The resident memory of this process in bytes, or -1 when it cannot be read.
qint64 residentMemoryBytes();

/// \brief Hands memory that was freed back to the system (the allocator keeps it otherwise, for
/// reuse), so that the process shrinks again after a burst of work.
void releaseFreeMemory();

/// The soft limit of open file descriptors, or -1 when it cannot be read.
qint64 openFileLimit();
/// \brief Sets the soft limit of open file descriptors (never above the hard limit). True on success.
bool setOpenFileLimit(qint64 limit);
/// The lowest file descriptor number not in use right now, or -1.
int lowestFreeFileDescriptor();

} // namespace garvina
