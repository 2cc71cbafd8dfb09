// Rehearsals that cannot run (the backup file missing, no room for the scratch files): how many good
// backups they mark bad in the state file, and how many of those retention would then delete.
#include "benchsupport.h"

#include "maintenance/backup.h"
#include "maintenance/backupstate.h"
#include "maintenance/maintenance.h"
#include "maintenance/retention.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

namespace {

/// A file system whose every disk is nearly full.
class FullDisks final : public LinuxFileSystem
{
public:
    std::optional<quint64> freeBytes(const QString &) const override { return 1u << 20; }
    std::optional<quint64> availableBytes(const QString &) const override { return 1u << 20; }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Rehearsals that cannot run, and the good backups they mark bad."_s);
    parser.addHelpOption();
    parser.addOption(
        {u"rounds"_s, u"Rehearsals (default 10; every second one with no room)."_s, u"N"_s, u"10"_s});
    parser.addOption({u"keep"_s, u"Keep the program folder."_s});
    parser.process(app);
    const int rounds = intOption(parser, u"rounds"_s, 1);

    BenchFolder folder(u"cannot-run-"_s + QString::number(QCoreApplication::applicationPid()));
    if (!prepareRunFolder(folder, parser.isSet(u"keep"_s)))
        return 1;
    folder.setPort(freePort());
    BenchConsole console(folder.gs_path);
    const QString root = folder.gs_path + u"backups/"_s;
    const QString good = console.takeOneBackup(root);
    if (good.isEmpty())
        return 1;

    // A second good backup that no rehearsal touches: with two good ones, retention deletes bad ones.
    QDir().mkpath(root + u"20130731-0300"_s);
    QFile::copy(good + u"/garvina.db"_s, root + u"20130731-0300/garvina.db"_s);

    FullDisks full;
    int markedBad = 0, notRun = 0;
    QStringList folders;
    for (int i = 0; i < rounds; ++i) {
        // Good copies of the backup, a day apart, as the schedule makes them.
        const QString name = QDate(2013, 8, 1).addDays(i).toString(u"yyyyMMdd"_s) + u"-0300"_s;
        const QString copy = root + name;
        QDir().mkpath(copy);
        QFile::copy(good + u"/garvina.db"_s, copy + u"/garvina.db"_s);
        folders.append(name);
        const bool noRoom = i % 2 == 1;
        // The disk is away at the rehearsal time (the file missing), or full.
        const QString aside = copy + u".away"_s;
        if (!noRoom)
            QDir().rename(copy, aside);
        console.ctx.files = noRoom ? static_cast<FileSystem *>(&full) : &console.files;
        Maintenance maintenance(console.ctx, console.engine);
        QEventLoop loop;
        RehearsalResult result;
        QObject::connect(&maintenance, &Maintenance::rehearsalRecorded, &loop,
                         [&](const RehearsalOutcome &o) {
                             result = o.result;
                             loop.quit();
                         });
        QTimer::singleShot(600000, &loop, &QEventLoop::quit);
        if (!maintenance.startRehearsal(copy)) {
            warn(u"rehearsal did not start"_s);
            return 1;
        }
        loop.exec();
        console.ctx.files = &console.files;
        if (!noRoom)
            QDir().rename(aside, copy);
        const BackupState state = loadBackupState(folder.gs_path);
        const bool bad = state.isFailed(copy);
        markedBad += bad ? 1 : 0;
        notRun += state.lastRehearsal.error.isEmpty() || state.lastRehearsal.ok ? 0 : 1;
        say(u"round "_s + QString::number(i + 1) + (noRoom ? u" no room:      "_s : u" file missing: "_s) +
            (bad ? u"marked bad"_s : u"not marked"_s) + u" ("_s + state.lastRehearsal.error.simplified() +
            u')');
    }

    // Retention as after the next good backup, with the good one of the first run as the last good.
    const BackupState state = loadBackupState(folder.gs_path);
    RetentionInput in;
    in.folders = listBackupFolders(root);
    in.now = QDateTime::currentDateTime();
    in.lastGood = QFileInfo(good).fileName();
    for (const QString &f : state.failedFolders)
        in.failed.insert(QFileInfo(f).fileName());
    int deleted = 0;
    for (const RetentionPlan::Removal &r : planRetention(in).remove)
        deleted += r.reason == u"还原演练失败的备份"_s ? 1 : 0;
    say(u"rehearsals that could not run: "_s + QString::number(notRun) + u" of "_s + QString::number(rounds));
    say(u"good backups retention would delete as failed: "_s + QString::number(deleted));
    say(u"good backups marked bad: "_s + QString::number(markedBad) + u" of "_s + QString::number(rounds));
    return 0;
}
