#pragma once

// Shared pieces of the measuring programs: program folders of their own under /var/tmp, the cached
// shop database of about 1 GB, embedded tool runs, figures and plain-line output.

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/messageboxes.h"
#include "platform/processlauncher.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

class QCommandLineParser;

namespace garvina::bench {

/// Prints one line on standard output at once (the programs are watched while they run).
void say(const QString &line);
/// Prints one line on standard error at once.
void warn(const QString &line);

/// Where the programs keep their folders: /var/tmp/garvina-bench/ (GARVINA_BENCH_ROOT overrides).
QString benchRoot();
/// The project's source folder (GARVINA_SOURCE_DIR overrides the one compiled in).
QString sourceDir();

/// A free TCP port on this machine.
int freePort();

/// Seconds elapsed on \a timer, with nanosecond resolution.
inline double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

/// Median of \a values (0 when empty).
double median(std::vector<double> values);
/// The \a p-th percentile (0..100, nearest rank) of \a values (0 when empty).
double percentile(std::vector<double> values, double p);
/// Relative spread of \a values: (max - min) / median, in percent.
double spreadPercent(const std::vector<double> &values);
/// "1.23" with \a decimals decimals.
QString num(double value, int decimals = 2);
/// Megabytes (MiB) of \a bytes, as a number.
inline double mib(qint64 bytes)
{
    return double(bytes) / 1048576.0;
}

/// \brief Reads "--rounds N" style integer options, leaving the program with usage on a bad value.
int intOption(const QCommandLineParser &parser, const QString &name, int minimum);

/// Message boxes for a measuring run: nothing is expected, so each box is printed and kept.
class PrintingMessageBoxes final : public MessageBoxes
{
public:
    MsgAnswer show(const MessageRequest &request) override;
    QList<MessageRequest> shown;
};

/// \brief A program folder of a measuring program, laid out by the project's set-up script below
/// benchRoot(); removed again when the object ends unless keep is set.
class BenchFolder
{
public:
    /// \a name is the folder's name below benchRoot(); an existing folder of that name is removed first.
    explicit BenchFolder(const QString &name);
    ~BenchFolder();
    BenchFolder(const BenchFolder &) = delete;
    BenchFolder &operator=(const BenchFolder &) = delete;

    /// Copies \a database to data/garvina.db (before layOut(), so that set-up keeps it). False on failure.
    bool seedDatabase(const QString &database);
    /// Runs scripts/setup-instance.sh on the folder; false with its output in \a log on failure.
    bool layOut(QString *log);
    /// Writes the engine port into the configuration.
    void setPort(int port) const;
    /// Writes one configuration value.
    void writeConfig(const QString &section, const QString &key, const QString &value) const;
    /// Kills an engine of this folder that is still running.
    void killEngine() const;

    QString databaseFile() const { return gs_path + QStringLiteral("data/garvina.db"); }

    QString gs_path; ///< ends in "/"
    bool keep = false;
};

/// \brief Makes \a folder a run's program folder: HOME pointing into it (the data-source file stays
/// there), seeded with the database \a cached when given, laid out. False, with the reason printed.
bool prepareRunFolder(BenchFolder &folder, bool keep, const QString &cached = QString());

/// \brief The console's context for a measuring run on \a gs_path: printed message boxes, the system
/// clock and launcher, and the folder's engine control (a stop waits at most 5 s).
struct BenchConsole
{
    explicit BenchConsole(const QString &gs_path);
    /// Starts the engine; false, with the reason printed, when it does not run afterwards.
    bool startEngine();
    /// \brief Starts the engine, takes one backup under \a root and stops the engine again. The
    /// backup's folder (full path), or an empty text, with the reason printed.
    QString takeOneBackup(const QString &root);

    PrintingMessageBoxes boxes;
    SystemClock clock;
    SystemProcessLauncher launcher;
    LinuxFileSystem files;
    AppContext ctx;
    EngineControl engine;
};

/// A child's environment: ours with entries "NAME=value" added or replaced and names taken out.
struct ProgramEnvironment
{
    QStringList extra;
    QStringList removed;
};

/// The environment of the instance's embedded tools: ours plus FIREBIRD/FIREBIRD_LOCK, without ISC_PASSWORD.
ProgramEnvironment toolEnvironment(const QString &gs_path);

/// \brief Runs \a program with \a args in \a env and waits (at most \a timeoutMs). Returns its exit
/// code, -1 when it did not start, ended by a signal or timed out; its merged output in \a output.
int runProgram(const QString &program, const QStringList &args, const ProgramEnvironment &env = {},
               QString *output = nullptr, const QByteArray &input = QByteArray(),
               int timeoutMs = 3600 * 1000);

/// Flushes a file or folder to disk; false when it cannot.
bool syncToDiskPath(const QString &path);

/// Removes a file or a folder tree; quiet when it is not there.
void removePath(const QString &path);

/// \brief The cached shop database of about \a targetMb MiB below benchRoot()/backup-db/, built when
/// missing or not valid (progress is printed). Returns its path, or an empty text on failure.
QString ensureBenchDatabase(int targetMb);

/// \brief Counts rows of a closed database with the embedded tool of \a gs_path; -1 on failure.
qint64 countRows(const QString &gs_path, const QString &database, const QString &table);

} // namespace garvina::bench
