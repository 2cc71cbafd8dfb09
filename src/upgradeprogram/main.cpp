// The upgrade program of the program folder. The console starts it as "upgrade upgrade1" and ends
// itself; this program fetches the new program package from the upgrade server, replaces the
// program files and starts the console again. See src/upgrade/README.md.
#include "upgrade/release.h"
#include "upgradeprogram/programmain.h"

int main(int argc, char *argv[])
{
    // Only packages signed with the publisher's key compiled in here are installed.
    return garvina::runUpgradeProgram(argc, argv, garvina::releasePublicKey());
}
