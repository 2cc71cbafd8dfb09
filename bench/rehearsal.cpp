// Restore rehearsal: the Rehearsal class on an online backup of the ~1 GB bench database beside the raw
// gbak -b -g + gbak -c cycle of the same file, while a till-like client works on the running engine;
// its commit latency idle, during the raw cycle and during the rehearsal.
#include "benchsupport.h"
#include "tillclient.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "maintenance/rehearsal.h"
#include "platform/clock.h"
#include "platform/processlauncher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

namespace {

QString loadAverage()
{
    QFile f(u"/proc/loadavg"_s);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(f.readAll()).section(u' ', 0, 2);
}

/// Runs one rehearsal of \a backupFolder in this thread's event loop and waits for its result.
RehearsalResult rehearse(const QString &gs_path, const QString &backupFolder, bool idlePriority)
{
    Rehearsal rehearsal(gs_path);
    if (!idlePriority)
        rehearsal.tools.lowPriority.clear();
    RehearsalResult result;
    QEventLoop loop;
    QObject::connect(&rehearsal, &Rehearsal::finished, &loop, [&](const RehearsalResult &r) {
        result = r;
        loop.quit();
    });
    if (!rehearsal.start(backupFolder))
        return result;
    loop.exec();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"rehearsal"_s);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Times a restore rehearsal (copy, gbak -b -g, gbak -c, full validation, row counts, at idle "
        u"priority) of "
        u"an online backup of the cached ~1 GB bench database beside the raw gbak -b -g + gbak -c cycle of "
        u"the "
        u"same file, with a till-like client at work on the running engine, and its single-row commit p99 "
        u"idle, "
        u"during the raw cycle and during the rehearsal; prints the ratio rehearsal/idle last (goal <= 1.5)."_s);
    parser.addHelpOption();
    parser.addOption({u"rounds"_s, u"Measured rounds of each (default 1)."_s, u"N"_s, u"1"_s});
    parser.addOption(
        {u"db-mb"_s, u"Size of the cached database in MB (default 1024)."_s, u"MB"_s, u"1024"_s});
    parser.addOption(
        {u"idle-seconds"_s, u"Length of each idle latency window in s (default 30)."_s, u"S"_s, u"30"_s});
    parser.addOption({u"think-ms"_s, u"Client pause after each operation (default 5)."_s, u"MS"_s, u"5"_s});
    parser.addOption({u"normal-priority"_s, u"Experiment: run the rehearsal's tools at normal priority."_s});
    parser.addOption({u"keep"_s, u"Keep the program folder under /var/tmp/garvina-bench/."_s});
    parser.process(app);
    const int rounds = intOption(parser, u"rounds"_s, 1);
    const int dbMb = intOption(parser, u"db-mb"_s, 16);
    const int idleSeconds = intOption(parser, u"idle-seconds"_s, 1);
    const int thinkMs = intOption(parser, u"think-ms"_s, 0);
    const bool idlePriority = !parser.isSet(u"normal-priority"_s);

    say(u"load average at start: "_s + loadAverage());
    const QString cached = ensureBenchDatabase(dbMb);
    if (cached.isEmpty())
        return 1;

    BenchFolder folder(u"rehearsal-run-"_s + QString::number(QCoreApplication::applicationPid()));
    if (!prepareRunFolder(folder, parser.isSet(u"keep"_s), cached))
        return 1;
    const int port = freePort();
    folder.setPort(port);
    say(u"settings: "_s + (idlePriority ? u"as the product runs (tools at nice 19, ionice idle)"_s
                                        : u"tools at normal priority"_s));

    BenchConsole console(folder.gs_path);
    AppContext &ctx = console.ctx;
    EngineControl &engine = console.engine;
    PrintingMessageBoxes &boxes = console.boxes;
    if (!console.startEngine())
        return 1;

    // What the console rehearses: its own online backup of the live database.
    const QString root = folder.gs_path + u"backups/"_s;
    QString error;
    if (!f_backup_db(ctx, engine, root, error)) {
        warn(u"backup failed: "_s + error);
        return 1;
    }
    const QStringList made = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    const QString backupFolder = root + made.value(0);
    const QString backupFile = backupFolder + u"/garvina.db"_s;
    const qint64 backupBytes = QFileInfo(backupFile).size();
    say(u"backup "_s + backupFile + u": "_s + num(mib(backupBytes), 0) + u" MB"_s);

    int failures = 0;
    // The raw cycle works on a copy too (gbak writes to the file it unloads); the copy is not timed.
    const auto rawRound = [&]() -> double {
        const QString copy = folder.gs_path + u"raw.db"_s, fbk = folder.gs_path + u"raw.fbk"_s,
                      restored = folder.gs_path + u"raw.restored.db"_s;
        for (const QString &f : {copy, fbk, restored})
            QFile::remove(f);
        QString output;
        const ProgramEnvironment env = toolEnvironment(folder.gs_path);
        if (runProgram(u"cp"_s, {backupFile, copy}, env, &output) != 0) {
            warn(u"cp failed: "_s + output);
            ++failures;
            return 0;
        }
        QElapsedTimer t;
        t.start();
        const bool ok =
            runProgram(u"gbak"_s, {u"-b"_s, u"-g"_s, u"-user"_s, u"DBA"_s, copy, fbk}, env, &output) == 0 &&
            runProgram(u"gbak"_s, {u"-c"_s, u"-user"_s, u"DBA"_s, fbk, restored}, env, &output) == 0;
        const double s = seconds(t);
        if (!ok) {
            warn(u"raw gbak cycle failed: "_s + output);
            ++failures;
        }
        for (const QString &f : {copy, fbk, restored})
            QFile::remove(f);
        return s;
    };
    qint64 tables = 0, rows = 0;
    const auto rehearsalRound = [&]() -> double {
        const RehearsalResult r = rehearse(folder.gs_path, backupFolder, idlePriority);
        if (!r.ok) {
            warn(u"rehearsal failed: "_s + r.error);
            ++failures;
        }
        tables = r.tables;
        rows = r.rows;
        return double(r.durationMs) / 1000.0;
    };

    // The tills work throughout: an idle window, then the raw cycle (tools at normal priority), then a
    // rehearsal, each round. Their durations are taken with the tills at work.
    ::sync();
    QThread::sleep(2);
    const QByteArray database = "127.0.0.1/" + QByteArray::number(port) + ":GARVINANET";
    LatencyWorker worker(database, readDbaPassword(folder.gs_path).toUtf8(), thinkMs);
    if (!worker.start(error)) {
        warn(u"latency client: "_s + error);
        return 1;
    }
    std::vector<double> raw, rehearsals;
    std::vector<Sample> idle, duringRaw, during;
    say(u"round  gbak -b -g + gbak -c s   rehearsal s   commit p99 idle / raw cycle / rehearsal ms"_s);
    for (int i = 0; i < rounds; ++i) {
        const auto idleFrom = SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        const auto idleSamples = worker.samples(idleFrom, SteadyClock::now());
        idle.insert(idle.end(), idleSamples.begin(), idleSamples.end());

        const auto rawFrom = SteadyClock::now();
        raw.push_back(rawRound());
        const auto rawSamples = worker.samples(rawFrom, SteadyClock::now());
        duringRaw.insert(duringRaw.end(), rawSamples.begin(), rawSamples.end());
        ::sync();
        QThread::sleep(2);

        const auto from = SteadyClock::now();
        rehearsals.push_back(rehearsalRound());
        const auto samples = worker.samples(from, SteadyClock::now());
        during.insert(during.end(), samples.begin(), samples.end());
        ::sync();
        QThread::sleep(2);
        say(QString::number(i + 1).rightJustified(5) + num(raw.back(), 2).rightJustified(25) +
            num(rehearsals.back(), 2).rightJustified(14) + u"   "_s + num(latencyOf(idleSamples, 1).p99, 2) +
            u" / "_s + num(latencyOf(rawSamples, 1).p99, 2) + u" / "_s + num(latencyOf(samples, 1).p99, 2));
    }
    worker.stop();
    if (worker.errors())
        warn(u"client errors: "_s + QString::number(worker.errors()) + u", last: "_s + worker.lastError());
    const Latency idleCommits = latencyOf(idle, 1), idleReads = latencyOf(idle, 0);
    const Latency rawCommits = latencyOf(duringRaw, 1);
    const Latency duringCommits = latencyOf(during, 1), duringReads = latencyOf(during, 0);

    engine.f_db_server(u"STOP"_s);
    folder.killEngine();

    say(u"load average at end: "_s + loadAverage());
    if (failures)
        say(u"failed steps: "_s + QString::number(failures));
    if (!boxes.shown.isEmpty())
        say(u"message boxes shown: "_s + QString::number(boxes.shown.size()));
    say(u"rehearsed: "_s + QString::number(tables) + u" tables, "_s + QString::number(rows) +
        u" rows of a "_s + num(mib(backupBytes), 0) + u" MB backup"_s);
    say(u"client idle,   reads:   "_s + describe(idleReads));
    say(u"client idle,   commits: "_s + describe(idleCommits));
    say(u"client during raw cycle, commits: "_s + describe(rawCommits));
    say(u"client during rehearsal, reads:   "_s + describe(duringReads));
    say(u"client during rehearsal, commits: "_s + describe(duringCommits));
    const double mp = median(rehearsals), mr = median(raw);
    say(u"median rehearsal = "_s + num(mp, 2) + u" s, median raw gbak -b -g + gbak -c = "_s + num(mr, 2) +
        u" s over "_s + QString::number(rounds) + u" rounds (ratio "_s + num(mr > 0 ? mp / mr : 0, 2) +
        u")"_s);
    say(u"ratio commit p99 during/idle = "_s +
        num(idleCommits.p99 > 0 ? duringCommits.p99 / idleCommits.p99 : 0, 2) + u" (reads "_s +
        num(idleReads.p99 > 0 ? duringReads.p99 / idleReads.p99 : 0, 2) + u")"_s);
    return failures || worker.errors() ? 1 : 0;
}
