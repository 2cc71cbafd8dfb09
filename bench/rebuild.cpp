// Rebuild: f_executewait on a copy of the ~1 GB bench database (engine stopped) beside the raw
// gbak -b -g + gbak -c cycle of the same file with the same embedded environment.
#include "benchsupport.h"

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "maintenance/dbunload.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/notice.h"
#include "platform/processlauncher.h"
#include "platform/systemload.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

namespace {

/// The rebuild notice of a run without windows: it only keeps its state.
class SilentNotice final : public Notice
{
public:
    void open() override { m_open = true; }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }

private:
    bool m_open = false;
};

QString loadAverage()
{
    return loadAverageText();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"rebuild"_s);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Times f_executewait (rebuild through gbak beside the live file, "
                                     u"engine stopped) on a copy of the cached "
                                     u"~1 GB bench database beside the raw gbak -b -g + gbak -c cycle of the "
                                     u"same file, and prints the ratio "
                                     u"of the medians (goal <= 1.2)."_s);
    parser.addHelpOption();
    parser.addOption({u"rounds"_s, u"Measured rounds (default 3)."_s, u"N"_s, u"3"_s});
    parser.addOption(
        {u"db-mb"_s, u"Size of the cached database in MB (default 1024)."_s, u"MB"_s, u"1024"_s});
    parser.addOption(
        {u"gbak"_s, u"The gbak program (default /usr/bin/gbak)."_s, u"PATH"_s, u"/usr/bin/gbak"_s});
    parser.addOption({u"keep"_s, u"Keep the program folder under /var/tmp/garvina-bench/."_s});
    parser.process(app);
    const int rounds = intOption(parser, u"rounds"_s, 1);
    const int dbMb = intOption(parser, u"db-mb"_s, 16);
    const QString gbak = parser.value(u"gbak"_s);

    say(u"load average at start: "_s + loadAverage());
    const QString cached = ensureBenchDatabase(dbMb);
    if (cached.isEmpty())
        return 1;

    BenchFolder folder(u"rebuild-run-"_s + QString::number(QCoreApplication::applicationPid()));
    if (!prepareRunFolder(folder, parser.isSet(u"keep"_s), cached))
        return 1;
    // The rebuild's safety copy goes to the backup folder: keep it inside the run's folder.
    const QString safetyRoot = folder.gs_path + u"safety/"_s;
    folder.writeConfig(u"backup"_s, u"backuppath"_s, safetyRoot);

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
    SilentNotice notice;
    RebuildTools tools;
    tools.gbak = gbak;

    const QString live = folder.databaseFile();
    // Exactly the environment the rebuild gives gbak: ours plus the instance's entries.
    ProgramEnvironment env;
    env.extra = EngineInstance(folder.gs_path).toolEnvironment();

    const qint64 sizeBefore = QFileInfo(live).size();
    say(u"database "_s + live + u": "_s + QString::number(sizeBefore) + u" bytes ("_s +
        num(mib(sizeBefore), 1) + u" MB) before"_s);

    int failures = 0;
    const auto rawRound = [&]() -> double {
        const QString fbk = folder.gs_path + u"data/raw.fbk"_s;
        const QString restored = folder.gs_path + u"data/raw.db"_s;
        QFile::remove(fbk);
        QFile::remove(restored);
        QString output;
        QElapsedTimer t;
        t.start();
        const bool ok =
            runProgram(gbak, {u"-b"_s, u"-g"_s, u"-user"_s, u"DBA"_s, live, fbk}, env, &output) == 0 &&
            runProgram(gbak, {u"-c"_s, u"-user"_s, u"DBA"_s, fbk, restored}, env, &output) == 0;
        const double s = seconds(t);
        if (!ok) {
            warn(u"raw gbak cycle failed: "_s + output);
            ++failures;
        }
        QFile::remove(fbk);
        QFile::remove(restored);
        return s;
    };
    qint64 sizeAfter = sizeBefore;
    const auto productRound = [&]() -> double {
        QElapsedTimer t;
        t.start();
        const bool ok = f_executewait(ctx, notice, tools);
        const double s = seconds(t);
        const QFileInfo after(live);
        if (!ok || !after.isFile() || notice.isOpen()) {
            warn(u"f_executewait failed"_s);
            ++failures;
        }
        sizeAfter = after.size();
        removePath(safetyRoot);
        return s;
    };

    std::vector<double> product, raw;
    say(u"round  gbak -b -g + gbak -c s   f_executewait s   size after"_s);
    for (int i = 0; i < rounds; ++i) {
        // Both work on the same live file: the raw cycle first, then the rebuild that replaces it.
        const double r = rawRound();
        const double p = productRound();
        raw.push_back(r);
        product.push_back(p);
        say(QString::number(i + 1).rightJustified(5) + num(r, 2).rightJustified(25) +
            num(p, 2).rightJustified(18) + QString::number(sizeAfter).rightJustified(13));
    }

    const double mp = median(product), mr = median(raw);
    say(u"load average at end: "_s + loadAverage());
    say(u"spread (max-min)/median: rebuild "_s + num(spreadPercent(product), 0) + u" %, raw "_s +
        num(spreadPercent(raw), 0) + u" %"_s);
    if (!boxes.shown.isEmpty())
        say(u"message boxes shown: "_s + QString::number(boxes.shown.size()));
    if (failures)
        say(u"failed steps: "_s + QString::number(failures));
    say(u"size before = "_s + QString::number(sizeBefore) + u" bytes ("_s + num(mib(sizeBefore), 1) +
        u" MB), after = "_s + QString::number(sizeAfter) + u" bytes ("_s + num(mib(sizeAfter), 1) +
        u" MB)"_s);
    say(u"median f_executewait = "_s + num(mp, 2) + u" s over "_s + QString::number(rounds) + u" rounds"_s);
    say(u"median raw gbak -b -g + gbak -c = "_s + num(mr, 2) + u" s"_s);
    say(u"ratio rebuild/raw = "_s + num(mr > 0 ? mp / mr : 0, 2));
    return failures ? 1 : 0;
}
