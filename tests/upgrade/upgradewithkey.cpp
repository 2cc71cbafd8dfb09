// The upgrade program as built, but verifying with a public key the test made at run time
// (GARVINA_UPGRADE_TEST_KEY, base64) instead of the publisher's, waiting 5 s for a new console to
// answer, and keeping GARVINA_UPGRADE_TEST_MARGIN bytes free when that is set.
#include "upgradeprogram/programmain.h"

#include <QByteArray>

#include <cstdio>

int main(int argc, char *argv[])
{
    const QByteArray key = QByteArray::fromBase64(qgetenv("GARVINA_UPGRADE_TEST_KEY"));
    if (key.isEmpty()) {
        std::fprintf(stderr, "GARVINA_UPGRADE_TEST_KEY is not set\n");
        return 3;
    }
    garvina::UpgradeLimits limits;
    limits.consoleReadyMs = 5000;
    if (qEnvironmentVariableIsSet("GARVINA_UPGRADE_TEST_MARGIN"))
        limits.freeSpaceMarginBytes = qgetenv("GARVINA_UPGRADE_TEST_MARGIN").toLongLong();
    return garvina::runUpgradeProgram(argc, argv, key, limits);
}
