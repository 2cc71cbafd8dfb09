#pragma once

#include <QList>
#include <QPair>
#include <QString>

namespace garvina {

/// \brief I/O priorities of threads, as the kernel's ioprio value (class << 13 | level).
///
/// \a tid 0 is the calling thread. For the measuring programs, which try how the engine's commits
/// fare against a backup's writes.
namespace iopriority {

/// "idle", "be0".."be7" or "rt0".."rt7" as an ioprio value; -1 for anything else.
int parse(const QString &name);
int get(int tid);
bool set(int tid, int value);
/// Sets the priority of every thread of \a pid; returns the old values by thread.
QList<QPair<int, int>> setAllThreads(qint64 pid, int value);
void restore(const QList<QPair<int, int>> &old);

} // namespace iopriority
} // namespace garvina
