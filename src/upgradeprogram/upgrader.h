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
/// starts the console again.
///
/// The steps: fetch the release manifest (up.txt.sig) and verify its signature with the public
/// key; refuse a version not newer than the installed one; download the package into the program
/// folder (to a temporary name, renamed only when it arrived completely) and compare its size and
/// SHA-256 with the manifest; check every entry (no links or devices, no path out of the folder or
/// onto the shop's own files, a bounded unpacked size that leaves a free-space margin) and unpack
/// it into a staging folder with fixed modes; wait until the console of this folder has ended;
/// move the replaced files aside and the new ones in; start the new console and wait until it
/// answers "HELLO" on its client service port. Only then are the old files dropped: when the new
/// console cannot start, ends or never answers, it is stopped, the old files are put back and the
/// old console is started again.
class Upgrader
{
public:
    /// \a programFolder ends with "/"; \a publicKey is the 32-byte Ed25519 key that signs releases.
    Upgrader(QString programFolder, QByteArray publicKey, UpgradeLimits limits = {});

    /// Progress lines go here (standard output in the program).
    std::function<void(const QString &)> progress;

    /// Runs every step. False with a readable reason in \a error.
    bool run(QString &error);

    QString packagePath() const { return m_folder + QStringLiteral("garvinaserver.zip"); }

    /// Process ids of running programs whose file is \a programFile (compared by real path).
    static QList<qint64> processesRunning(const QString &programFile);

private:
    /// What the swap did, so that it can be undone.
    struct Installed
    {
        QStringList moved;      ///< package files now in the folder
        QStringList keptAside;  ///< of those, the ones whose old file is in the aside folder
        QStringList newFolders; ///< folders made, in the order made
    };

    /// The steps; \a restartOld tells run() whether the old console is to be brought back.
    bool upgrade(QString &error, bool &restartOld);
    bool fetchManifest(const QUrl &url, ReleaseManifest &manifest, QString &error);
    bool download(const QUrl &url, const ReleaseManifest &manifest, QString &error);
    bool checkTargets(const QList<PackageEntry> &entries, QString &error) const;
    bool waitForConsoleToEnd() const;
    bool install(const QList<PackageEntry> &entries, Installed &done, QString &error) const;
    bool rollBack(const Installed &done, QString &error) const;
    bool waitForConsoleReady(QString &error) const;
    bool consoleAnswers(quint16 port) const;
    bool startConsole(QString &error) const;
    void stopConsole() const;
    void say(const QString &line) const;
    QStringList protectedPaths() const;
    QString stagingFolder() const { return m_folder + QStringLiteral(".upgrade-new/"); }
    QString asideFolder() const { return m_folder + QStringLiteral(".upgrade-old/"); }

    QString m_folder;
    QByteArray m_publicKey;
    UpgradeLimits m_limits;
};

} // namespace garvina
