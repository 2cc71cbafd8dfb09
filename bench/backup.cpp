// Online backup: f_backup_db's throughput on a ~1 GB shop database beside cp + fsync of the same
// file, then the latency of a till-like client (reads by primary key, single-row commits over TCP)
// while idle and while backups run back to back. Options try out what lowers the latency.
#include "benchsupport.h"
#include "tillclient.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/backup.h"
#include "platform/clock.h"
#include "platform/iopriority.h"
#include "platform/processlauncher.h"
#include "platform/systemload.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <map>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

namespace {

QString loadAverage()
{
    return loadAverageText();
}

/// Replaces (or adds) "name = value" in a generated configuration file of the instance.
bool setConfLine(const QString &file, const QString &name, const QString &value)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
    f.close();
    bool found = false;
    for (QString &line : lines) {
        if (line.trimmed().startsWith(name + u' ') || line.trimmed().startsWith(name + u'=')) {
            const qsizetype indent = line.indexOf(name);
            line = line.left(indent) + name + u" = "_s + value;
            found = true;
        }
    }
    if (!found)
        lines.append(name + u" = "_s + value);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(lines.join(u'\n').toUtf8());
    return true;
}

/// Wrapper scripts that run the fix-up and check tools f_backup_db finds through PATH at the lowest
/// CPU and I/O priority.
bool writeToolWrappers(const QString &dir)
{
    QDir().mkpath(dir);
    for (const QString &tool : {u"nbackup"_s, u"gfix"_s, u"isql-fb"_s}) {
        QFile f(dir + u'/' + tool);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        f.write("#!/bin/sh\nexec nice -n 19 ionice -c 3 /usr/bin/" + tool.toUtf8() + " \"$@\"\n");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                         QFile::ExeGroup);
    }
    return true;
}

/// The longest the event loop of this thread went without turning while \a work ran, in ms.
template <typename Work> double longestLoopGap(Work &&work)
{
    QElapsedTimer since;
    since.start();
    double longest = 0;
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        longest = std::max(longest, double(since.nsecsElapsed()) / 1e6);
        since.restart();
    });
    timer.start();
    work();
    return std::max(longest, double(since.nsecsElapsed()) / 1e6);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"backup"_s);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Builds (once) a shop database of about 1 GB, then measures "
                                     u"f_backup_db's MB/s beside cp + fsync of the same "
                                     u"file (goal >= 0.8x), and a client's p50/p99 latency of reads by "
                                     u"primary key and single-row commits idle "
                                     u"and during back-to-back backups (goal p99 during <= 3x idle)."_s);
    parser.addHelpOption();
    parser.addOption(
        {u"db-mb"_s, u"Size of the cached database in MB (default 1024)."_s, u"MB"_s, u"1024"_s});
    parser.addOption({u"build-only"_s, u"Only build (or check) the cached database."_s});
    parser.addOption({u"rounds"_s, u"Throughput rounds (default 3)."_s, u"N"_s, u"3"_s});
    parser.addOption({u"seconds"_s, u"Length of each latency window in s (default 10)."_s, u"S"_s, u"10"_s});
    parser.addOption({u"latency-rounds"_s, u"Idle/during window pairs (default 1)."_s, u"N"_s, u"1"_s});
    parser.addOption({u"think-ms"_s, u"Client pause after each operation (default 5)."_s, u"MS"_s, u"5"_s});
    parser.addOption({u"skip-throughput"_s, u"Leave out the MB/s part."_s});
    parser.addOption({u"skip-latency"_s, u"Leave out the latency part."_s});
    parser.addOption(
        {u"pause-ms"_s, u"Experiment: pause between back-to-back backups (default 0)."_s, u"MS"_s, u"0"_s});
    parser.addOption({u"backup-ioprio"_s,
                      u"Experiment: I/O priority of the thread calling f_backup_db (and so of its fsync and "
                      u"its nbackup/isql children) during each backup: none, idle, be0..be7."_s,
                      u"P"_s, u"none"_s});
    parser.addOption({u"server-ioprio"_s,
                      u"Experiment: I/O priority of every server thread: none, idle, be0..be7."_s, u"P"_s,
                      u"none"_s});
    parser.addOption({u"server-ioprio-scope"_s,
                      u"Experiment: apply --server-ioprio for the whole run (run) or only around each backup "
                      u"(backup; default)."_s,
                      u"S"_s, u"backup"_s});
    parser.addOption(
        {u"tools-nice"_s, u"Experiment: run nbackup -F and isql at nice 19 and I/O class idle."_s});
    parser.addOption({u"flush-step-kb"_s,
                      u"Experiment: steps in which the copy is written out while the engine writes it and "
                      u"the tools read it (default 1024 as the product runs; 0: one flush at the end)."_s,
                      u"KB"_s, u"1024"_s});
    parser.addOption({u"flush-mbps"_s,
                      u"Experiment: at most this many MB/s for that writing (default 100 as the product "
                      u"runs; 0: unbounded)."_s,
                      u"MB"_s, u"100"_s});
    parser.addOption({u"cache-pages"_s,
                      u"Experiment: DefaultDbCachePages of the database (default: as set up)."_s, u"N"_s,
                      u"0"_s});
    parser.addOption(
        {u"fs-cache-threshold"_s, u"Experiment: FileSystemCacheThreshold in firebird.conf."_s, u"V"_s});
    parser.addOption(
        {u"forced-writes"_s, u"Experiment: on (default, as a shop runs) or off."_s, u"X"_s, u"on"_s});
    parser.addOption(
        {u"remove-during"_s, u"Experiment: remove each backup at once, also inside a latency window."_s});
    parser.addOption(
        {u"trace"_s, u"Print each slow client operation of the windows with backups and where it fell."_s});
    parser.addOption({u"trace-ms"_s, u"What counts as slow for --trace (default 50)."_s, u"MS"_s, u"50"_s});
    parser.addOption({u"phases"_s, u"Diagnosis: time the steps of --rounds single backups."_s});
    parser.addOption({u"keep"_s, u"Keep the program folder under /var/tmp/garvina-bench/."_s});
    parser.process(app);

    const int dbMb = intOption(parser, u"db-mb"_s, 16);
    const int rounds = intOption(parser, u"rounds"_s, 1);
    const int windowSeconds = intOption(parser, u"seconds"_s, 1);
    const int latencyRounds = intOption(parser, u"latency-rounds"_s, 1);
    const int thinkMs = intOption(parser, u"think-ms"_s, 0);
    const int pauseMs = intOption(parser, u"pause-ms"_s, 0);
    const int cachePages = intOption(parser, u"cache-pages"_s, 0);
    BackupRun backupRun;
    backupRun.flushStep = qint64(intOption(parser, u"flush-step-kb"_s, 0)) * 1024;
    backupRun.flushBytesPerSecond = qint64(intOption(parser, u"flush-mbps"_s, 0)) * 1048576;
    const int backupIoprio = iopriority::parse(parser.value(u"backup-ioprio"_s));
    const int serverIoprio = iopriority::parse(parser.value(u"server-ioprio"_s));
    const bool serverIoprioWholeRun = parser.value(u"server-ioprio-scope"_s) == u"run"_s;
    const bool trace = parser.isSet(u"trace"_s);
    const int traceMs = intOption(parser, u"trace-ms"_s, 0);
    const bool forcedWrites = parser.value(u"forced-writes"_s) != u"off"_s;

    say(u"load average at start: "_s + loadAverage());
    const QString cached = ensureBenchDatabase(dbMb);
    if (cached.isEmpty())
        return 1;
    if (parser.isSet(u"build-only"_s))
        return 0;

    // A program folder of its own with a copy of the cached database.
    BenchFolder folder(u"backup-run-"_s + QString::number(QCoreApplication::applicationPid()));
    if (!prepareRunFolder(folder, parser.isSet(u"keep"_s), cached))
        return 1;
    const int port = freePort();
    folder.setPort(port);
    const EngineInstance instance(folder.gs_path);
    QStringList settings;
    if (cachePages > 0) {
        setConfLine(instance.root() + u"databases.conf"_s, u"DefaultDbCachePages"_s,
                    QString::number(cachePages));
        settings << u"DefaultDbCachePages="_s + QString::number(cachePages);
    }
    if (parser.isSet(u"fs-cache-threshold"_s)) {
        setConfLine(instance.root() + u"firebird.conf"_s, u"FileSystemCacheThreshold"_s,
                    parser.value(u"fs-cache-threshold"_s));
        settings << u"FileSystemCacheThreshold="_s + parser.value(u"fs-cache-threshold"_s);
    }
    if (!forcedWrites) {
        runProgram(u"gfix"_s, {u"-w"_s, u"async"_s, folder.databaseFile()}, toolEnvironment(folder.gs_path));
        settings << u"ForcedWrites=off"_s;
    }
    if (parser.isSet(u"tools-nice"_s)) {
        const QString wrappers = folder.gs_path + u"wrappers"_s;
        if (!writeToolWrappers(wrappers))
            return 1;
        qputenv("PATH", QFile::encodeName(wrappers) + ':' + qgetenv("PATH"));
        settings << u"tools at nice 19 / ionice idle"_s;
    }
    if (backupRun.flushStep != BackupRun().flushStep ||
        backupRun.flushBytesPerSecond != BackupRun().flushBytesPerSecond)
        settings << (backupRun.flushStep > 0
                         ? u"copy written out in "_s + QString::number(backupRun.flushStep / 1024) +
                               u" KB steps"_s +
                               (backupRun.flushBytesPerSecond > 0
                                    ? u" at "_s + QString::number(backupRun.flushBytesPerSecond / 1048576) +
                                          u" MB/s"_s
                                    : QString())
                         : u"copy flushed at the end only"_s);
    if (backupIoprio >= 0)
        settings << u"backup thread ioprio "_s + parser.value(u"backup-ioprio"_s);
    if (serverIoprio >= 0)
        settings << u"server ioprio "_s + parser.value(u"server-ioprio"_s) +
                        (serverIoprioWholeRun ? u" (whole run)"_s : u" (around each backup)"_s);
    if (pauseMs > 0)
        settings << u"pause "_s + QString::number(pauseMs) + u" ms between backups"_s;
    say(u"settings: "_s + (settings.isEmpty() ? u"as the product runs"_s : settings.join(u", "_s)));

    BenchConsole console(folder.gs_path);
    AppContext &ctx = console.ctx;
    EngineControl &engine = console.engine;
    PrintingMessageBoxes &boxes = console.boxes;
    if (!console.startEngine())
        return 1;
    const qint64 serverPid = runningEnginePid(folder.gs_path);
    if (serverIoprio >= 0 && serverIoprioWholeRun)
        iopriority::setAllThreads(serverPid, serverIoprio);

    const qint64 dbBytes = QFileInfo(folder.databaseFile()).size();
    say(u"database "_s + folder.databaseFile() + u": "_s + num(mib(dbBytes), 0) + u" MB, engine pid "_s +
        QString::number(serverPid) + u", port "_s + QString::number(port));

    int backupSerial = 0;
    // The engine copies the pages in use, which can be fewer than the file holds.
    qint64 lastBackupBytes = 0;
    int backupFailures = 0;
    // One backup through the product code, into a root folder of its own that is removed afterwards.
    // Backups made during a latency window are removed after it: a shop keeps its backups, and
    // freeing a gigabyte (with online discard) is work of its own that would land in the window.
    QStringList pendingRemoval;
    const bool removeDuring = parser.isSet(u"remove-during"_s);
    std::vector<std::pair<SteadyClock::time_point, SteadyClock::time_point>> backupSpans;
    const auto oneBackup = [&](bool removeNow) -> double {
        const QString root = folder.gs_path + u"backups/b"_s + QString::number(++backupSerial) + u'/';
        QList<QPair<int, int>> serverOld;
        if (serverIoprio >= 0 && !serverIoprioWholeRun)
            serverOld = iopriority::setAllThreads(serverPid, serverIoprio);
        const int ownOld = iopriority::get(0);
        if (backupIoprio >= 0)
            iopriority::set(0, backupIoprio);
        QString error;
        QElapsedTimer t;
        t.start();
        const auto from = SteadyClock::now();
        const bool ok = f_backup_db(ctx, engine, root, error, backupRun);
        const double s = seconds(t);
        backupSpans.emplace_back(from, SteadyClock::now());
        if (backupIoprio >= 0)
            iopriority::set(0, ownOld);
        iopriority::restore(serverOld);
        const QStringList made = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        const qint64 size = made.isEmpty() ? 0 : QFileInfo(root + made.first() + u"/garvina.db"_s).size();
        lastBackupBytes = size;
        if (!ok || size <= 0) {
            ++backupFailures;
            warn(u"backup failed: "_s + error + u" (size "_s + QString::number(size) + u")"_s);
        }
        if (removeNow)
            removePath(root);
        else
            pendingRemoval.append(root);
        return s;
    };
    const auto oneCopy = [&]() -> double {
        const QString target = folder.gs_path + u"cp-copy.db"_s;
        QFile::remove(target);
        QElapsedTimer t;
        t.start();
        QString output;
        const bool ok =
            runProgram(u"cp"_s, {folder.databaseFile(), target}, ProgramEnvironment(), &output) == 0 &&
            syncToDiskPath(target);
        const double s = seconds(t);
        if (!ok)
            warn(u"cp failed: "_s + output);
        QFile::remove(target);
        return s;
    };

    if (parser.isSet(u"phases"_s)) {
        // The steps of single backups through the product code, and how long the event loop of the
        // calling thread (the window's, in the console) went without turning meanwhile.
        std::map<QString, std::vector<double>> times;
        QStringList order;
        std::vector<double> gaps;
        for (int i = 0; i < rounds; ++i) {
            const QString root = folder.gs_path + u"phases/"_s;
            std::vector<BackupStep> steps;
            BackupRun timed = backupRun;
            timed.steps = &steps;
            QString error;
            bool ok = false;
            gaps.push_back(longestLoopGap([&] { ok = f_backup_db(ctx, engine, root, error, timed); }));
            QString line = u"phases:"_s;
            for (const BackupStep &step : steps) {
                line += u' ' + step.name + u' ' + num(step.seconds(), 3) + u" s,"_s;
                times[step.name].push_back(step.seconds());
                if (!order.contains(step.name))
                    order << step.name;
            }
            say(line + u" longest event-loop gap "_s + num(gaps.back(), 0) + u" ms"_s +
                (ok ? QString() : u" FAILED: "_s + error));
            removePath(root);
        }
        QString medians = u"phase medians:"_s;
        for (const QString &name : order)
            medians += u' ' + name + u' ' + num(median(times[name]), 3) + u" s,"_s;
        say(medians + u" event-loop gap "_s + num(median(gaps), 0) + u" ms"_s);
    }

    double backupMbps = 0, writtenMbps = 0, cpMbps = 0;
    if (!parser.isSet(u"skip-throughput"_s)) {
        // Unmeasured first pass: both read a database that is then in the page cache.
        oneBackup(true);
        oneCopy();
        std::vector<double> backupRates, writtenRates, cpRates;
        say(u"round  f_backup_db s   MB/s   cp+fsync s   MB/s"_s);
        for (int i = 0; i < rounds; ++i) {
            double b = 0, c = 0;
            if (i % 2 == 0) {
                b = oneBackup(true);
                c = oneCopy();
            } else {
                c = oneCopy();
                b = oneBackup(true);
            }
            // Both rates count the same database: the ratio is the copy's time over the backup's.
            backupRates.push_back(mib(dbBytes) / b);
            writtenRates.push_back(mib(lastBackupBytes) / b);
            cpRates.push_back(mib(dbBytes) / c);
            say(QString::number(i + 1).rightJustified(5) + num(b, 2).rightJustified(14) +
                num(backupRates.back(), 0).rightJustified(7) + num(c, 2).rightJustified(13) +
                num(cpRates.back(), 0).rightJustified(7));
        }
        backupMbps = median(backupRates);
        writtenMbps = median(writtenRates);
        cpMbps = median(cpRates);
        say(u"spread (max-min)/median: backup "_s + num(spreadPercent(backupRates), 0) + u" %, cp "_s +
            num(spreadPercent(cpRates), 0) + u" %"_s);
    }

    Latency idleReads, idleCommits, idleAll, busyReads, busyCommits, busyAll;
    int backupsDuring = 0;
    int workerErrors = 0;
    if (!parser.isSet(u"skip-latency"_s)) {
        ::sync();
        QThread::sleep(2);
        const QByteArray database = "127.0.0.1/" + QByteArray::number(port) + ":GARVINANET";
        LatencyWorker worker(database, readDbaPassword(folder.gs_path).toUtf8(), thinkMs);
        QString error;
        if (!worker.start(error)) {
            warn(u"latency client: "_s + error);
            return 1;
        }
        std::vector<Sample> idle, busy;
        const auto window = std::chrono::seconds(windowSeconds);
        for (int r = 0; r < latencyRounds; ++r) {
            const auto idleFrom = SteadyClock::now();
            std::this_thread::sleep_for(window);
            const auto idleSamples = worker.samples(idleFrom, idleFrom + window);
            idle.insert(idle.end(), idleSamples.begin(), idleSamples.end());

            const auto busyFrom = SteadyClock::now();
            while (SteadyClock::now() - busyFrom < window) {
                oneBackup(removeDuring);
                ++backupsDuring;
                if (pauseMs > 0 && SteadyClock::now() - busyFrom < window)
                    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            }
            const auto busySamples = worker.samples(busyFrom, busyFrom + window);
            busy.insert(busy.end(), busySamples.begin(), busySamples.end());
            if (trace) {
                // Where the slow operations fell: offset into the backup that ran then.
                for (const Sample &smp : busySamples) {
                    if (smp.ms < traceMs)
                        continue;
                    QString where = u"between backups"_s;
                    for (const auto &[b0, b1] : backupSpans)
                        if (smp.at >= b0 && smp.at < b1)
                            where = u"at "_s + num(msSince(b0, smp.at), 0) + u" ms of a "_s +
                                    num(msSince(b0, b1), 0) + u" ms backup"_s;
                    say(u"  slow "_s + (smp.commit ? u"commit "_s : u"read "_s) + num(smp.ms, 1) +
                        u" ms, "_s + where);
                }
            }
            for (const QString &root : pendingRemoval)
                removePath(root);
            pendingRemoval.clear();
            say(u"latency round "_s + QString::number(r + 1) + u": commits p99 idle "_s +
                num(latencyOf(idleSamples, 1).p99, 2) + u" ms, during "_s +
                num(latencyOf(busySamples, 1).p99, 2) + u" ms; reads p99 idle "_s +
                num(latencyOf(idleSamples, 0).p99, 2) + u" ms, during "_s +
                num(latencyOf(busySamples, 0).p99, 2) + u" ms"_s);
            // Let the last backup's writes settle before the next idle window.
            ::sync();
            QThread::sleep(2);
        }
        worker.stop();
        workerErrors = worker.errors();
        if (workerErrors)
            warn(u"client errors: "_s + QString::number(workerErrors) + u", last: "_s + worker.lastError());
        idleReads = latencyOf(idle, 0);
        idleCommits = latencyOf(idle, 1);
        idleAll = latencyOf(idle, 2);
        busyReads = latencyOf(busy, 0);
        busyCommits = latencyOf(busy, 1);
        busyAll = latencyOf(busy, 2);
    }

    engine.f_db_server(u"STOP"_s);
    folder.killEngine();

    say(u"load average at end: "_s + loadAverage());
    if (backupFailures)
        say(u"failed backups: "_s + QString::number(backupFailures));
    if (!boxes.shown.isEmpty())
        say(u"message boxes shown: "_s + QString::number(boxes.shown.size()));
    say(u"settings: "_s + (settings.isEmpty() ? u"as the product runs"_s : settings.join(u", "_s)));
    if (!parser.isSet(u"skip-latency"_s)) {
        say(u"client idle,   reads:   "_s + describe(idleReads));
        say(u"client idle,   commits: "_s + describe(idleCommits));
        say(u"client during, reads:   "_s + describe(busyReads));
        say(u"client during, commits: "_s + describe(busyCommits));
        say(u"p50/p99 idle = "_s + num(idleAll.p50, 2) + u"/"_s + num(idleAll.p99, 2) + u" ms, during = "_s +
            num(busyAll.p50, 2) + u"/"_s + num(busyAll.p99, 2) + u" ms (all operations)"_s);
        say(u"backups during the windows: "_s + QString::number(backupsDuring) + u" in "_s +
            QString::number(latencyRounds * windowSeconds) + u" s"_s);
    }
    if (!parser.isSet(u"skip-throughput"_s)) {
        say(u"median backup (f_backup_db) = "_s + num(backupMbps, 0) + u" MB/s of the "_s +
            num(mib(dbBytes), 0) + u" MB database over "_s + QString::number(rounds) +
            u" rounds (it writes a "_s + num(mib(lastBackupBytes), 0) + u" MB file: "_s +
            num(writtenMbps, 0) + u" MB/s written)"_s);
        say(u"median cp + fsync = "_s + num(cpMbps, 0) + u" MB/s of the same database file"_s);
        say(u"ratio backup/cp = "_s + num(cpMbps > 0 ? backupMbps / cpMbps : 0, 2));
    }
    if (!parser.isSet(u"skip-latency"_s)) {
        say(u"ratio p99 during/idle = "_s +
            num(idleCommits.p99 > 0 ? busyCommits.p99 / idleCommits.p99 : 0, 2) +
            u" (single-row commits; reads "_s +
            num(idleReads.p99 > 0 ? busyReads.p99 / idleReads.p99 : 0, 2) + u", all "_s +
            num(idleAll.p99 > 0 ? busyAll.p99 / idleAll.p99 : 0, 2) + u")"_s);
    }
    return backupFailures || workerErrors ? 1 : 0;
}
