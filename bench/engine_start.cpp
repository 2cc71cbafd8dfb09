// Engine start: EngineControl::f_db_server("START") until it returns, beside the raw time from
// launching the same server (same arguments, same environment) to its first successful attachment.
#include "benchsupport.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/processlauncher.h"
#include "platform/processtable.h"

#include <ibase.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

namespace {

void addDpb(std::vector<char> &dpb, char tag, const QByteArray &value)
{
    dpb.push_back(tag);
    dpb.push_back(static_cast<char>(value.size()));
    dpb.insert(dpb.end(), value.begin(), value.end());
}

/// One attachment as DBA over TCP through the client library; true when it succeeded.
bool attachOnce(const QByteArray &database, const QByteArray &password)
{
    std::vector<char> dpb{static_cast<char>(isc_dpb_version1)};
    addDpb(dpb, isc_dpb_user_name, "DBA");
    addDpb(dpb, isc_dpb_password, password);
    addDpb(dpb, isc_dpb_lc_ctype, "UTF8");
    ISC_STATUS_ARRAY status{};
    isc_db_handle handle = 0;
    const bool ok = isc_attach_database(status, 0, database.constData(), &handle,
                                        static_cast<short>(dpb.size()), dpb.data()) == 0;
    std::fill(dpb.begin(), dpb.end(), '\0');
    if (ok)
        isc_detach_database(status, &handle);
    return ok;
}

/// SIGTERM, then SIGKILL after \a timeoutMs; true when SIGTERM alone ended it.
bool endProcess(qint64 pid, int timeoutMs)
{
    const LinuxProcessTable processes;
    processes.send(pid, ProcessTable::Signal::Terminate);
    QElapsedTimer t;
    t.start();
    while (processAlive(pid) && t.elapsed() < timeoutMs)
        QThread::msleep(10);
    if (!processAlive(pid))
        return true;
    processes.send(pid, ProcessTable::Signal::Kill);
    while (processAlive(pid) && t.elapsed() < timeoutMs + 5000)
        QThread::msleep(10);
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"engine_start"_s);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Times f_db_server(\"START\") of a program folder of its own beside the raw time from launching the "
        u"same "
        u"firebird server to its first successful attachment, and prints the ratio of the medians (goal <= 1.5)."_s);
    parser.addHelpOption();
    parser.addOption({u"rounds"_s, u"Measured rounds (default 10)."_s, u"N"_s, u"10"_s});
    parser.addOption({u"warmup"_s, u"Unmeasured rounds first (default 1)."_s, u"N"_s, u"1"_s});
    parser.addOption({u"poll-ms"_s, u"Pause between attachment attempts of the raw start (default 2)."_s,
                      u"MS"_s, u"2"_s});
    parser.addOption({u"stop-timeout-ms"_s, u"How long a stop waits before SIGKILL (default 3000)."_s,
                      u"MS"_s, u"3000"_s});
    parser.addOption({u"trace"_s, u"Print each attachment attempt of the raw start."_s});
    parser.addOption({u"keep"_s, u"Keep the program folder under /var/tmp/garvina-bench/."_s});
    parser.process(app);
    const int rounds = intOption(parser, u"rounds"_s, 1);
    const int warmup = intOption(parser, u"warmup"_s, 0);
    const int pollMs = intOption(parser, u"poll-ms"_s, 0);
    const int stopTimeoutMs = intOption(parser, u"stop-timeout-ms"_s, 100);
    const bool traceAttempts = parser.isSet(u"trace"_s);

    BenchFolder folder(u"engine-start-"_s + QString::number(QCoreApplication::applicationPid()));
    if (!prepareRunFolder(folder, parser.isSet(u"keep"_s)))
        return 1;
    const int port = freePort();
    folder.setPort(port);

    PrintingMessageBoxes boxes;
    SystemClock clock;
    SystemProcessLauncher launcher;
    LinuxFileSystem files;
    AppContext ctx;
    ctx.gs_path = folder.gs_path;
    ctx.boxes = &boxes;
    ctx.clock = &clock;
    ctx.launcher = &launcher;
    ctx.files = &files;
    EngineControlOptions engineOptions;
    engineOptions.stopTimeoutMs = stopTimeoutMs;
    EngineControl engine(ctx, engineOptions);

    const EngineInstance instance(folder.gs_path);
    const QByteArray database = "127.0.0.1/" + QByteArray::number(port) + ":GARVINANET";
    say(u"program folder "_s + folder.gs_path + u", port "_s + QString::number(port) + u", server "_s +
        engine.options().serverProgram + u" "_s +
        serverArguments(instance, QString::number(port)).join(u' '));

    std::vector<double> product, raw;
    int deaf = 0;
    int failures = 0;

    const auto productRound = [&]() -> double {
        const qsizetype boxesBefore = boxes.shown.size();
        QElapsedTimer t;
        t.start();
        const bool ok = engine.f_db_server(u"START"_s);
        const double s = seconds(t);
        if (!ok || boxes.shown.size() != boxesBefore || runningEnginePid(folder.gs_path) == 0) {
            warn(u"f_db_server(\"START\") failed"_s);
            ++failures;
        }
        const qint64 pid = runningEnginePid(folder.gs_path);
        engine.f_db_server(u"STOP"_s);
        if (pid > 0 && processAlive(pid)) {
            // Stop gave up (login refused): end it here.
            endProcess(pid, stopTimeoutMs);
        }
        return s;
    };

    const auto rawRound = [&]() -> double {
        const QByteArray password = readDbaPassword(folder.gs_path).toUtf8();
        QElapsedTimer t;
        t.start();
        const qint64 pid = launcher.startDetached(engine.options().serverProgram,
                                                  serverArguments(instance, QString::number(port)),
                                                  instance.root(), instance.environment());
        bool ok = false;
        int attempts = 0;
        QString trace;
        while (pid > 0 && t.elapsed() < 20000) {
            ++attempts;
            QElapsedTimer a;
            a.start();
            const bool got = attachOnce(database, password);
            trace += QString::number(t.elapsed()) + u':' + QString::number(a.elapsed()) + u' ';
            if (got) {
                ok = true;
                break;
            }
            if (!processAlive(pid))
                break;
            if (pollMs > 0)
                QThread::msleep(static_cast<unsigned long>(pollMs));
        }
        const double s = seconds(t);
        if (traceAttempts)
            warn(u"raw start: "_s + QString::number(attempts) + u" attempts (start ms:duration ms) "_s +
                 trace);
        if (!ok) {
            warn(u"raw start: no attachment"_s);
            ++failures;
        }
        if (pid > 0 && !endProcess(pid, stopTimeoutMs))
            ++deaf;
        return s;
    };

    for (int i = 0; i < warmup; ++i) {
        productRound();
        rawRound();
    }
    say(u"round  f_db_server(START) ms  raw launch->attach ms"_s);
    for (int i = 0; i < rounds; ++i) {
        // Alternate which goes first, so that neither always follows the other's stop.
        double p = 0, r = 0;
        if (i % 2 == 0) {
            p = productRound();
            r = rawRound();
        } else {
            r = rawRound();
            p = productRound();
        }
        product.push_back(p * 1000);
        raw.push_back(r * 1000);
        say(QString::number(i + 1).rightJustified(5) + num(p * 1000, 1).rightJustified(25) +
            num(r * 1000, 1).rightJustified(23));
    }
    folder.killEngine();

    const double mp = median(product), mr = median(raw);
    say(u"spread (max-min)/median: start "_s + num(spreadPercent(product), 0) + u" %, raw "_s +
        num(spreadPercent(raw), 0) + u" %"_s);
    say(u"raw servers that ignored SIGTERM (killed): "_s + QString::number(deaf) + u" of "_s +
        QString::number(rounds + warmup));
    if (!boxes.shown.isEmpty())
        say(u"message boxes shown: "_s + QString::number(boxes.shown.size()));
    if (failures)
        say(u"failed rounds: "_s + QString::number(failures));
    say(u"median f_db_server(START) = "_s + num(mp, 1) + u" ms over "_s + QString::number(rounds) +
        u" rounds"_s);
    say(u"median raw launch->attach = "_s + num(mr, 1) + u" ms over "_s + QString::number(rounds) +
        u" rounds"_s);
    say(u"ratio start/raw = "_s + num(mr > 0 ? mp / mr : 0, 2));
    return failures ? 1 : 0;
}
