#pragma once

#include <QString>

namespace garvina {

/// The system's load averages over 1, 5 and 15 minutes, as "0.52 0.58 0.59"; empty when unknown.
QString loadAverageText();

/// The page cache's data waiting to be written, as the kernel words it ("Dirty: 1234 kB").
QString dirtyMemoryText();

} // namespace garvina
