#pragma once

#include <QtGlobal>

namespace garvina {

/// \brief Ends the process \a pid: asks it to terminate, and kills it when it is still there after
/// \a graceMs. True when it is gone.
///
/// The upgrade program uses it on a new console that runs but never became ready, before it puts
/// the old program files back.
bool stopProcess(qint64 pid, int graceMs);

} // namespace garvina
