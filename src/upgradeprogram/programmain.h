#pragma once

#include "upgradeprogram/upgrader.h"

#include <QByteArray>

namespace garvina {

/// \brief The upgrade program: "upgrade upgrade1" replaces the program files of its own folder with
/// the upgrade server's package signed by the holder of \a publicKey.
///
/// Exit code 0 when the new console runs, 1 on a failure (told on standard error and, with a
/// display, in a message box), 2 for another command line.
int runUpgradeProgram(int argc, char *argv[], const QByteArray &publicKey, const UpgradeLimits &limits = {});

} // namespace garvina
