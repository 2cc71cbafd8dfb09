#pragma once

#include "upgradeprogram/package.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

namespace garvina {

struct ReleaseManifest;

/// Bounds of one upgrade run.
struct UpgradeLimits
{
    /// The largest package accepted.
    qint64 maxPackageBytes = qint64(512) * 1024 * 1024;
    /// The most bytes a package may unpack to.
    qint64 maxUnpackedBytes = qint64(1024) * 1024 * 1024;
    /// Free space that must remain on the program folder's disk once the package is unpacked.
    qint64 freeSpaceMarginBytes = qint64(256) * 1024 * 1024;
    /// The download gives up after this long without data, or after downloadTotalMs in all.
    int downloadIdleMs = 30 * 1000;
    int downloadTotalMs = 30 * 60 * 1000;
    /// How long the console of the program folder is given to end before nothing is replaced.
    int consoleEndMs = 10 * 1000;
    /// How long the new console is given to answer on its client service port; it starts the
    /// engine first when none runs, which can take a while.
    int consoleReadyMs = 120 * 1000;
};

/// \brief Replaces the program files of one program folder with the server's signed package and
/// starts the console again, in two steps.
///
/// download(), while the console keeps serving: fetch the release manifest (up.txt.sig) and verify
/// its signature with the public key; refuse a version not newer than the installed one, and a disk
/// without room for the package, its unpacked files and the free-space margin; download the package
/// into the program folder (to a temporary name, renamed only when it arrived completely), compare
/// its size and SHA-256 with the manifest and check every entry (no links or devices, no path out of
/// the folder or onto the shop's own files, a bounded unpacked size); keep the manifest beside it.
///
/// install(), once the console hands over: verify the staged manifest and package again, unpack
/// into a staging folder with fixed modes; wait until the console of this folder has ended; record
/// the swap in an UpgradeJournal, move the replaced files aside and the new ones in (the console
/// last); start the new console and wait until it answers "HELLO" on its client service port. Only
/// then are the old files dropped: when the new console cannot start, ends or never answers, it is
/// stopped, the old files are put back and the old console is started again.
///
/// watchInstall(), the hand-over the console starts: runs install() as a child process and, when
/// that dies before it reported how it ended, does what it left undone.
class Upgrader
{
public:
    /// \a programFolder ends with "/"; \a publicKey is the 32-byte Ed25519 key that signs releases.
    Upgrader(QString programFolder, QByteArray publicKey, UpgradeLimits limits = {});

    /// Progress lines go here (standard output in the program).
    std::function<void(const QString &)> progress;

    /// Fetches and checks the package and leaves it staged. False with a readable reason in \a error
    /// and nothing left behind.
    bool download(QString &error);
    /// Installs the staged package. False with a readable reason in \a error; the old console then
    /// runs again.
    bool install(QString &error);
    /// Runs "\a program install" and waits for it. When it ends otherwise than by reporting (exit code
    /// 0 or 1), the console it may have started is stopped, the old files are put back, and the
    /// console is started unless one runs. Returns the exit code to end with.
    int watchInstall(const QString &program);

    QString packagePath() const { return m_folder + QStringLiteral("garvinaserver.zip"); }
    QString stagedManifestPath() const { return m_folder + QStringLiteral("garvinaserver.zip.sig"); }

private:
    /// The steps of install(); \a restartOld tells it whether the old console is to be brought back.
    bool installStaged(QString &error, bool &restartOld);
    bool fetchManifest(const QUrl &url, ReleaseManifest &manifest, QByteArray &text, QString &error);
    bool acceptManifest(const QByteArray &text, ReleaseManifest &manifest, QString &error) const;
    bool fetchPackage(const QUrl &url, const ReleaseManifest &manifest, QString &error);
    bool packageMatches(const ReleaseManifest &manifest, QString &error) const;
    bool checkPackage(QList<PackageEntry> &entries, QString &error) const;
    bool roomFor(qint64 bytes, QString &error) const;
    bool checkTargets(const QList<PackageEntry> &entries, QString &error) const;
    bool waitForConsoleToEnd() const;
    bool swapIn(const QList<PackageEntry> &entries, QString &error) const;
    bool waitForConsoleReady(QString &error) const;
    bool consoleAnswers(quint16 port) const;
    bool startConsole(QString &error) const;
    void stopConsole() const;
    void removeStaged() const;
    void say(const QString &line) const;
    QStringList protectedPaths() const;
    QString stagingFolder() const { return m_folder + QStringLiteral(".upgrade-new/"); }

    QString m_folder;
    QByteArray m_publicKey;
    UpgradeLimits m_limits;
};

} // namespace garvina
