// Off-site copies: a week of nights on the ~1 GB shop database. Each day changes rows spread over
// the whole sales table through the running engine, then runs the night's off-site run (a level 0 the
// first night, a level 1 after that) and prints what it sent against the level's size and the
// database's. One night runs with a till-like client at work on the engine for its commit p99. After
// the last night the newest chain is fetched back from the repository and assembled, beside a plain
// nbackup -R of the same two level files.
#include "benchsupport.h"
#include "tillclient.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "maintenance/offsite.h"
#include "platform/systemload.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QThread>

#include <chrono>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

namespace {

/// \brief Changes \a rows sales spread over the whole table, in one committed transaction through the
/// engine at \a database: one row in each of \a rows equal stretches of the sale ids, at a place in its
/// stretch that moves from day to day, so that each day dirties about as many pages as rows and not
/// the same ones as the day before. The number of rows changed, or -1 with the reason in \a error.
qint64 changeScatteredSales(const QByteArray &database, const QByteArray &password, int rows, int day,
                            QString &error)
{
    const QByteArray sql = "execute block returns (changed integer) as\n"
                           "declare k integer = 0;\n"
                           "declare n integer = " +
                           QByteArray::number(rows) +
                           ";\n"
                           "declare top integer;\n"
                           "declare step integer;\n"
                           "begin\n"
                           "  changed = 0;\n"
                           "  select max(sale_id) from sales into top;\n"
                           "  step = maxvalue(1, top / n);\n"
                           "  while (k < n) do begin\n"
                           "    update sales set total = total + 0.01\n"
                           "      where sale_id = 1 + :k * :step + mod(cast(:k as bigint) * 7919 + " +
                           QByteArray::number(day) +
                           " * 104729, :step);\n"
                           "    changed = changed + row_count;\n"
                           "    k = k + 1;\n"
                           "  end\n"
                           "  suspend;\n"
                           "end";

    isc_db_handle db = 0;
    if (!attachAsDba(database, password, db, error))
        return -1;
    ISC_STATUS_ARRAY status{};
    static const char tpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_read_committed, isc_tpb_rec_version,
                               isc_tpb_wait};
    isc_tr_handle tr = 0;
    isc_stmt_handle stmt = 0;
    XSQLDA *out = allocSqlda(1);
    ISC_LONG changed = 0;
    short indicator = 0;
    qint64 result = -1;
    if (isc_start_transaction(status, &tr, 1, &db, static_cast<unsigned short>(sizeof tpb), tpb) ||
        isc_dsql_allocate_statement(status, &db, &stmt) ||
        isc_dsql_prepare(status, &tr, &stmt, 0, sql.constData(), SQL_DIALECT_V6, out) || out->sqld != 1) {
        error = statusText(status);
    } else {
        out->sqlvar[0].sqltype = SQL_LONG | 1;
        out->sqlvar[0].sqllen = sizeof(ISC_LONG);
        out->sqlvar[0].sqlscale = 0;
        out->sqlvar[0].sqldata = reinterpret_cast<ISC_SCHAR *>(&changed);
        out->sqlvar[0].sqlind = &indicator;
        // A block with output is a cursor of one row: the changes are made when it is fetched.
        if (isc_dsql_execute(status, &tr, &stmt, SQL_DIALECT_V6, nullptr) ||
            isc_dsql_fetch(status, &stmt, SQL_DIALECT_V6, out) ||
            isc_dsql_free_statement(status, &stmt, DSQL_close) || isc_commit_transaction(status, &tr))
            error = statusText(status);
        else
            result = changed;
    }
    ISC_STATUS_ARRAY ignored{};
    if (stmt)
        isc_dsql_free_statement(ignored, &stmt, DSQL_drop);
    if (tr)
        isc_rollback_transaction(ignored, &tr);
    isc_detach_database(ignored, &db);
    std::free(out);
    return result;
}

/// restic's environment for the instance's repository: the password comes from its file only.
ProgramEnvironment resticEnvironment(const QString &gs_path)
{
    ProgramEnvironment env;
    env.extra = {u"RESTIC_PASSWORD_FILE="_s + offsitePasswordFile(gs_path)};
    env.removed = {u"RESTIC_PASSWORD"_s, u"RESTIC_PASSWORD_COMMAND"_s, u"RESTIC_REPOSITORY"_s};
    return env;
}

/// The files below \a folder whose header makes them a level of the stream, level 0 first.
QList<QPair<QString, LevelHeader>> levelFilesBelow(const QString &folder)
{
    QList<QPair<QString, LevelHeader>> found;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (const auto header = readLevelHeader(file))
            found.append({file, *header});
    }
    std::sort(found.begin(), found.end(),
              [](const auto &a, const auto &b) { return a.second.level < b.second.level; });
    return found;
}

/// The bytes of the files below \a folder.
qint64 bytesBelow(const QString &folder)
{
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

QString mbText(qint64 bytes)
{
    return num(mib(bytes), 2);
}

double ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"offsite"_s);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Runs the nightly off-site copy (restic to a local repository) on nights of a copy of the "
        u"cached ~1 GB bench database, each day after changing rows spread over the sales table: a "
        u"level 0 the first night, a level 1 after that. Prints per night the level's size, the bytes "
        u"restic sent and the times; a till-like client's commit p99 idle and during one level-1 night "
        u"(goal <= 1.5); then fetches the newest chain back and assembles it beside a plain nbackup -R of "
        u"the same levels (goal (fetch + assemble) / nbackup -R <= 1.2). Ends with the ratios judged: "
        u"bytes sent per level-1 night / level-1 size (goal <= 1.2), bytes per night / database size, "
        u"time per night, the restore ratio and the p99 ratio."_s);
    parser.addHelpOption();
    parser.addOption({u"days"_s, u"Nights to run (default 7)."_s, u"N"_s, u"7"_s});
    parser.addOption({u"rows"_s, u"Sales changed each day (default 1000)."_s, u"N"_s, u"1000"_s});
    parser.addOption({u"latency-day"_s,
                      u"The level-1 night with the till-like client at work (default 3; 0 for none; "
                      u"the last night when there are fewer)."_s,
                      u"N"_s, u"3"_s});
    parser.addOption(
        {u"latency-nights"_s,
         u"Nights from --latency-day on with the client at work, their samples pooled (default 1)."_s, u"N"_s,
         u"1"_s});
    parser.addOption({u"idle-seconds"_s,
                      u"Length of the idle window before each such night (default 0: as long as the night "
                      u"before it)."_s,
                      u"S"_s, u"0"_s});
    parser.addOption(
        {u"restore-rounds"_s,
         u"Rounds of the fetch of the chain and of the plain restore, taking turns at going first "
         u"(default 3)."_s,
         u"N"_s, u"3"_s});
    parser.addOption({u"think-ms"_s, u"Client pause after each operation (default 5)."_s, u"MS"_s, u"5"_s});
    parser.addOption(
        {u"db-mb"_s, u"Size of the cached database in MB (default 1024)."_s, u"MB"_s, u"1024"_s});
    parser.addOption({u"repository"_s,
                      u"The repository's folder (default: in the program folder, on the database's own "
                      u"disk; a folder on /dev/shm stands in for a line to another machine)."_s,
                      u"FOLDER"_s});
    parser.addOption({u"keep"_s, u"Keep the program folder under /var/tmp/garvina-bench/."_s});
    parser.process(app);
    const int days = intOption(parser, u"days"_s, 1);
    const int rows = intOption(parser, u"rows"_s, 1);
    int latencyDay = intOption(parser, u"latency-day"_s, 0);
    const int idleSecondsOption = intOption(parser, u"idle-seconds"_s, 0);
    const int latencyNights = intOption(parser, u"latency-nights"_s, 1);
    const int thinkMs = intOption(parser, u"think-ms"_s, 0);
    const int restoreRounds = intOption(parser, u"restore-rounds"_s, 1);
    const int dbMb = intOption(parser, u"db-mb"_s, 16);
    if (latencyDay > days)
        latencyDay = days;
    if (latencyDay == 1)
        latencyDay = days >= 2 ? 2 : 0; // the first night is the level 0

    say(u"load average at start: "_s + loadAverageText());
    const QString cached = ensureBenchDatabase(dbMb);
    if (cached.isEmpty())
        return 1;

    BenchFolder folder(u"offsite-run-"_s + QString::number(QCoreApplication::applicationPid()));
    if (!prepareRunFolder(folder, parser.isSet(u"keep"_s), cached))
        return 1;
    const int port = freePort();
    folder.setPort(port);
    const QString repository = parser.isSet(u"repository"_s)
                                   ? QDir(parser.value(u"repository"_s)).absolutePath() +
                                         u"/offsite-repository-"_s +
                                         QString::number(QCoreApplication::applicationPid())
                                   : folder.gs_path + u"offsite-repository"_s;
    // A repository outside the program folder goes with it (restic keeps its files read-only).
    const auto dropRepository = qScopeGuard([&] {
        if (parser.isSet(u"repository"_s) && !parser.isSet(u"keep"_s))
            QProcess::execute(u"rm"_s, {u"-rf"_s, repository});
    });
    const QString backupRoot = folder.gs_path + u"backups/"_s;
    QDir().mkpath(backupRoot);
    folder.writeConfig(u"offsite"_s, u"repository"_s, repository);
    folder.writeConfig(u"offsite"_s, u"time"_s, u"21:00:00"_s);
    folder.writeConfig(u"backup"_s, u"backuppath"_s, backupRoot);
    say(u"program folder "_s + folder.gs_path + u", repository "_s + repository + u", backups "_s +
        backupRoot);

    BenchConsole console(folder.gs_path);
    AppContext &ctx = console.ctx;
    EngineControl &engine = console.engine;
    if (!console.startEngine())
        return 1;
    const QByteArray database = "127.0.0.1/" + QByteArray::number(port) + ":GARVINANET";
    const QByteArray password = readDbaPassword(folder.gs_path).toUtf8();
    say(u"database "_s + folder.databaseFile() + u": "_s + mbText(QFileInfo(folder.databaseFile()).size()) +
        u" MB, engine pid "_s + QString::number(runningEnginePid(folder.gs_path)) + u", "_s +
        QString::number(rows) + u" sales changed a day"_s);

    struct Night
    {
        int day = 0;
        OffsiteOutcome outcome;
        qint64 dbBytes = 0;
        qint64 repositoryGrowth = 0; ///< what the repository's files grew by: after restic's compression
        double wallSeconds = 0;      ///< the whole night as the caller sees it
    };
    std::vector<Night> nights;
    int failures = 0;
    // The client's samples of every measured night and of the idle window before each, pooled.
    std::vector<Sample> idleSamples, nightSamples;
    double idleWindow = 0, nightWindow = 0;
    int workerErrors = 0;

    say(u"day  rows   change s  level  level MB   sent MB  sent/level  sent/db   night s  level s  "
        u"repo+MB  check"_s);
    for (int day = 1; day <= days; ++day) {
        QString error;
        QElapsedTimer change;
        change.start();
        const qint64 changed = changeScatteredSales(database, password, rows, day, error);
        const double changeSeconds = seconds(change);
        if (changed < 0) {
            warn(u"day "_s + QString::number(day) + u": the day's changes failed: "_s + error);
            ++failures;
            break;
        }

        std::unique_ptr<LatencyWorker> worker;
        SteadyClock::time_point nightFrom;
        if (latencyDay > 0 && day >= latencyDay && day < latencyDay + latencyNights) {
            // The idle window is as long as the night before (the night to come is not known yet).
            double window = idleSecondsOption;
            if (window <= 0)
                window = nights.empty() ? 10.0 : std::max(2.0, nights.back().wallSeconds);
            ::sync();
            QThread::sleep(2);
            worker = std::make_unique<LatencyWorker>(database, password, thinkMs);
            if (!worker->start(error)) {
                warn(u"latency client: "_s + error);
                return 1;
            }
            const auto idleFrom = SteadyClock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(window));
            const auto idle = worker->samples(idleFrom, SteadyClock::now());
            idleSamples.insert(idleSamples.end(), idle.begin(), idle.end());
            idleWindow += window;
            say(u"     night "_s + QString::number(day) + u": client idle for "_s + num(window, 1) +
                u" s first, commits "_s + describe(latencyOf(idle, 1)));
            nightFrom = SteadyClock::now();
        }

        Night night;
        night.day = day;
        QElapsedTimer wall;
        wall.start();
        const qint64 repositoryBefore = bytesBelow(repository);
        night.outcome = runOffsite(ctx, engine, backupRoot);
        night.wallSeconds = seconds(wall);
        night.dbBytes = QFileInfo(folder.databaseFile()).size();
        night.repositoryGrowth = bytesBelow(repository) - repositoryBefore;

        if (worker) {
            const auto nightTo = SteadyClock::now();
            worker->stop();
            const auto samples = worker->samples(nightFrom, nightTo);
            nightSamples.insert(nightSamples.end(), samples.begin(), samples.end());
            nightWindow += msSince(nightFrom, nightTo) / 1000.0;
            say(u"     night "_s + QString::number(day) + u": client during the run, commits "_s +
                describe(latencyOf(samples, 1)));
            workerErrors += worker->errors();
            if (workerErrors)
                warn(u"client errors: "_s + QString::number(workerErrors) + u", last: "_s +
                     worker->lastError());
        }

        const OffsiteOutcome &o = night.outcome;
        say(QString::number(day).rightJustified(3) + QString::number(changed).rightJustified(6) +
            num(changeSeconds, 2).rightJustified(11) + QString::number(o.level).rightJustified(7) +
            mbText(o.levelBytes).rightJustified(10) + mbText(o.bytesSent).rightJustified(10) +
            num(ratio(double(o.bytesSent), double(o.levelBytes)), 3).rightJustified(12) +
            num(ratio(double(o.bytesSent), double(night.dbBytes)), 4).rightJustified(9) +
            num(night.wallSeconds, 2).rightJustified(10) + num(o.levelSeconds, 2).rightJustified(9) +
            mbText(night.repositoryGrowth).rightJustified(9) + (o.checked ? u"  yes"_s : u"  no"_s) +
            (worker ? u"  (tills at work)"_s : QString()));
        if (!o.ok) {
            warn(u"day "_s + QString::number(day) + u": the off-site run failed: "_s + o.error);
            ++failures;
            break;
        }
        if (!o.forgotten.isEmpty())
            say(u"     retention took out "_s + o.forgotten.join(u", "_s));
        nights.push_back(night);
    }

    engine.f_db_server(u"STOP"_s);
    folder.killEngine();

    // The newest chain: the last level 0 and the last level 1 sent after it.
    int base = -1, top = -1;
    for (int i = 0; i < int(nights.size()); ++i) {
        if (nights[size_t(i)].outcome.level == 0) {
            base = i;
            top = -1;
        } else if (base >= 0) {
            top = i;
        }
    }

    // The fetch of the chain and the plain way of the same levels, in rounds that take turns at going
    // first: the second of a pair finds the repository's files in the page cache.
    std::vector<double> fetchTimes, assembleTimes, validateTimes, restoreTimes, nbackupTimes, flushTimes;
    int fetchFailures = 0, plainFailures = 0;
    const auto fetchRound = [&] {
        const QString scratch = folder.gs_path + u"fetch/"_s;
        QDir().mkpath(scratch);
        const OffsiteFetch fetch = fetchOffsiteChain(ctx, scratch);
        QStringList levels;
        for (const LevelHeader &h : fetch.chain)
            levels << u"level "_s + QString::number(h.level) + u' ' + mbText(h.bytes) + u" MB"_s;
        say(u"  fetch "_s + num(fetch.fetchSeconds, 2) + u" s, assemble "_s + num(fetch.assembleSeconds, 2) +
            u" s, validate "_s + num(fetch.validateSeconds, 2) + u" s: "_s + levels.join(u" + "_s) +
            u" -> "_s + mbText(QFileInfo(fetch.database).size()) + u" MB"_s);
        if (!fetch.ok) {
            warn(u"fetching the chain failed: "_s + fetch.error);
            ++fetchFailures;
        }
        // A validation that ran, even one that failed, had an assembled database to check.
        if (fetch.ok || fetch.validateSeconds > 0) {
            fetchTimes.push_back(fetch.fetchSeconds);
            assembleTimes.push_back(fetch.assembleSeconds);
            validateTimes.push_back(fetch.validateSeconds);
        }
        removePath(scratch);
    };
    QStringList snapshots;
    if (base >= 0) {
        snapshots << nights[size_t(base)].outcome.snapshot;
        if (top >= 0)
            snapshots << nights[size_t(top)].outcome.snapshot;
    }
    // The same levels taken out of the repository by restic itself, then joined by nbackup -R.
    const auto plainRound = [&] {
        const QString plain = folder.gs_path + u"plain/"_s;
        QDir().mkpath(plain);
        QElapsedTimer restore;
        restore.start();
        QString output;
        bool restored = true;
        for (int i = 0; i < snapshots.size(); ++i) {
            // Each into a folder of its own: two levels may have been sent under the same name.
            const QString &snapshot = snapshots[i];
            if (runProgram(u"restic"_s,
                           {u"-r"_s, repository, u"--cache-dir"_s, offsiteFolder(folder.gs_path) + u"cache"_s,
                            u"restore"_s, snapshot, u"--target"_s, plain + u"levels/"_s + QString::number(i)},
                           resticEnvironment(folder.gs_path), &output) != 0) {
                warn(u"restic restore "_s + snapshot + u" failed: "_s + output);
                restored = false;
            }
        }
        const double restoreSeconds = seconds(restore);
        const auto files = levelFilesBelow(plain + u"levels"_s);
        if (!restored || files.size() != snapshots.size()) {
            warn(u"the restored snapshots hold "_s + QString::number(files.size()) + u" level files, not "_s +
                 QString::number(snapshots.size()));
            ++plainFailures;
            removePath(plain);
            return;
        }
        const QString target = plain + u"garvina.db"_s;
        QStringList args{u"-R"_s, target};
        for (const auto &f : files)
            args << f.first;
        QElapsedTimer t;
        t.start();
        const int rc = runProgram(u"nbackup"_s, args, toolEnvironment(folder.gs_path), &output);
        const double nbackupSeconds = seconds(t);
        t.restart();
        syncToDiskPath(target);
        const double flushSeconds = seconds(t);
        if (rc != 0) {
            warn(u"nbackup -R failed: "_s + output);
            ++plainFailures;
        } else {
            restoreTimes.push_back(restoreSeconds);
            nbackupTimes.push_back(nbackupSeconds);
            flushTimes.push_back(flushSeconds);
            say(u"  plain: restic restore "_s + num(restoreSeconds, 2) + u" s, nbackup -R "_s +
                num(nbackupSeconds, 2) + u" s, then a flush "_s + num(flushSeconds, 2) + u" s -> "_s +
                mbText(QFileInfo(target).size()) + u" MB"_s);
        }
        removePath(plain);
    };
    if (base >= 0) {
        say(u"restore of the newest chain, "_s + QString::number(restoreRounds) + u" rounds:"_s);
        for (int r = 0; r < restoreRounds; ++r) {
            for (int step = 0; step < 2; ++step) {
                ::sync();
                QThread::sleep(2);
                if ((r + step) % 2 == 0)
                    fetchRound();
                else
                    plainRound();
            }
        }
        failures += fetchFailures + plainFailures;
    }

    say(u"load average at end: "_s + loadAverageText());
    if (failures)
        say(u"failed steps: "_s + QString::number(failures));
    if (!console.boxes.shown.isEmpty())
        say(u"message boxes shown: "_s + QString::number(console.boxes.shown.size()));

    // The figures the goals are judged by.
    double sentL1 = 0, growthL1 = 0, levelL1 = 0, sentPerDb = 0, secondsAll = 0, secondsL1 = 0;
    int countL1 = 0;
    for (const Night &n : nights) {
        sentPerDb += ratio(double(n.outcome.bytesSent), double(n.dbBytes));
        secondsAll += n.wallSeconds;
        if (n.outcome.level == 1) {
            sentL1 += ratio(double(n.outcome.bytesSent), double(n.outcome.levelBytes));
            levelL1 += double(n.outcome.levelBytes);
            secondsL1 += n.wallSeconds;
            growthL1 += ratio(double(n.repositoryGrowth), double(n.outcome.levelBytes));
            ++countL1;
        }
    }
    double sentPerDbL1 = 0;
    for (const Night &n : nights)
        if (n.outcome.level == 1)
            sentPerDbL1 += ratio(double(n.outcome.bytesSent), double(n.dbBytes));
    const int count = int(nights.size());
    const Latency idleCommits = latencyOf(idleSamples, 1), idleReads = latencyOf(idleSamples, 0);
    const Latency duringCommits = latencyOf(nightSamples, 1), duringReads = latencyOf(nightSamples, 0);
    QString measuredNights = QString::number(latencyDay);
    if (latencyNights > 1)
        measuredNights += u'-' + QString::number(std::min(days, latencyDay + latencyNights - 1));
    if (latencyDay > 0) {
        say(u"client idle ("_s + num(idleWindow, 1) + u" s), reads:   "_s + describe(idleReads));
        say(u"client idle ("_s + num(idleWindow, 1) + u" s), commits: "_s + describe(idleCommits));
        say(u"client during night "_s + measuredNights + u" ("_s + num(nightWindow, 1) + u" s), reads:   "_s +
            describe(duringReads));
        say(u"client during night "_s + measuredNights + u" ("_s + num(nightWindow, 1) + u" s), commits: "_s +
            describe(duringCommits));
    }
    say(u"mean bytes sent per level-1 night / level-1 size = "_s + num(ratio(sentL1, countL1), 3) +
        u" over "_s + QString::number(countL1) + u" nights, mean level 1 "_s +
        mbText(qint64(ratio(levelL1, countL1))) + u" MB (goal <= 1.2; the repository grew by "_s +
        num(ratio(growthL1, countL1), 3) + u" of it)"_s);
    say(u"mean bytes sent per night / database size = "_s + num(ratio(sentPerDb, count), 4) +
        u" over all "_s + QString::number(count) + u" nights, "_s + num(ratio(sentPerDbL1, countL1), 4) +
        u" over the level-1 nights"_s);
    say(u"mean time per night = "_s + num(ratio(secondsAll, count), 2) + u" s, level-1 nights "_s +
        num(ratio(secondsL1, countL1), 2) + u" s"_s);
    if (!fetchTimes.empty() && !nbackupTimes.empty()) {
        const double fetched = median(fetchTimes) + median(assembleTimes);
        say(u"ratio restore (fetch "_s + num(median(fetchTimes), 2) + u" s + assemble "_s +
            num(median(assembleTimes), 2) + u" s) / nbackup -R "_s + num(median(nbackupTimes), 2) +
            u" s = "_s + num(ratio(fetched, median(nbackupTimes)), 2) +
            u" (goal <= 1.2; against restic restore "_s + num(median(restoreTimes), 2) +
            u" s + nbackup -R "_s + num(ratio(fetched, median(restoreTimes) + median(nbackupTimes)), 2) +
            u"); validate "_s + num(median(validateTimes), 2) + u" s on its own"_s +
            (fetchFailures ? u" (the fetch FAILED "_s + QString::number(fetchFailures) + u" times)"_s
                           : QString()) +
            u", medians of "_s + QString::number(nbackupTimes.size()) + u" rounds"_s);
    } else {
        say(u"ratio restore: not measured"_s);
    }
    if (latencyDay > 0)
        say(u"ratio commit p99 during/idle = "_s + num(ratio(duringCommits.p99, idleCommits.p99), 2) +
            u" (goal <= 1.5; reads "_s + num(ratio(duringReads.p99, idleReads.p99), 2) + u")"_s);
    else
        say(u"ratio commit p99 during/idle: not measured"_s);
    return failures || workerErrors ? 1 : 0;
}
