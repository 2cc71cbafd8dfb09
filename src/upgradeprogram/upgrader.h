#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

namespace garvina {

/// Bounds of one upgrade run.
struct UpgradeLimits
{
    /// The largest package accepted.
    qint64 maxPackageBytes = qint64(512) * 1024 * 1024;
    /// The download gives up after this long without data, or after downloadTotalMs in all.
    int downloadIdleMs = 30 * 1000;
    int downloadTotalMs = 30 * 60 * 1000;
    /// How long the console of the program folder is given to end before nothing is replaced.
    int consoleEndMs = 10 * 1000;
    /// Bounds of each run of unzip and of the archiver.
    int toolMs = 5 * 60 * 1000;
};

/// \brief Replaces the program files of one program folder with the server's package and starts
/// the console again.
///
/// The steps: download the package into the program folder (to a temporary name, renamed only
/// when it arrived completely), test it as a zip archive and refuse entries that leave the folder
/// or touch the shop's own files (data/, tool/, garvinainfo.dll, the backup error log), wait until
/// the console of this folder has ended, unpack with the folder's archiver ("rar x -e -o+ PACKAGE"),
/// remove the package and start the console detached. Files the unpack replaces are kept aside
/// until it succeeded and put back when it failed. After any failure the console is started again
/// as it was, unless one still runs, so the shop is not left without it.
class Upgrader
{
public:
    /// \a programFolder ends with "/".
    explicit Upgrader(QString programFolder, UpgradeLimits limits = {});

    /// Progress lines go here (standard output in the program).
    std::function<void(const QString &)> progress;

    /// Runs every step. False with a readable reason in \a error.
    bool run(QString &error);

    QString packagePath() const { return m_folder + QStringLiteral("garvinaserver.zip"); }

    /// Process ids of running programs whose file is \a programFile (compared by real path).
    static QList<qint64> processesRunning(const QString &programFile);

private:
    /// The steps; \a restartOld tells run() whether the old console is to be brought back.
    bool upgrade(QString &error, bool &restartOld);
    bool download(const QUrl &url, QString &error);
    bool checkPackage(QStringList &entries, QString &error) const;
    bool waitForConsoleToEnd() const;
    bool unpack(const QStringList &entries, QString &error) const;
    bool startConsole(QString &error) const;
    bool runTool(const QString &program, const QStringList &arguments, QByteArray *output,
                 QString &error) const;
    void say(const QString &line) const;

    QString m_folder;
    UpgradeLimits m_limits;
};

} // namespace garvina
