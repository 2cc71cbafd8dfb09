// A console killed (SIGKILL) in the middle of a restore rehearsal: what it leaves (scratch files, the
// rehearsal's lock folder), whether the rehearsed backup still shows in the backup list, and what the
// next start-up's clean-up leaves of it.
#include "benchsupport.h"

#include "core/startup.h"
#include "maintenance/backup.h"
#include "maintenance/leftovers.h"
#include "maintenance/rehearsal.h"
#include "maintenance/retention.h"
#include "platform/processtable.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;
using namespace garvina::bench;

namespace {

/// The child: rehearses \a folder with the instance of \a gs_path until it is killed.
int rehearse(const QString &gs_path, const QString &folder)
{
    Rehearsal rehearsal(gs_path);
    QObject::connect(&rehearsal, &Rehearsal::finished, qApp, [] { QCoreApplication::exit(0); });
    rehearsal.start(folder);
    return QCoreApplication::exec();
}

/// Scratch files of a rehearsal under \a places.
QStringList scratchFilesUnder(const QStringList &places)
{
    QStringList found;
    for (const QString &place : places) {
        QDirIterator it(place, {u"garvina.rehearsal.*"_s}, QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            found.append(it.next());
    }
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Kills a rehearsal with SIGKILL and counts what stays."_s);
    parser.addHelpOption();
    parser.addOption({u"rounds"_s, u"Kills (default 5)."_s, u"N"_s, u"5"_s});
    parser.addOption(
        {u"child"_s, u"(internal) rehearse FOLDER of the program folder PATH."_s, u"PATH|FOLDER"_s});
    parser.addOption({u"keep"_s, u"Keep the program folder."_s});
    parser.process(app);
    if (parser.isSet(u"child"_s)) {
        const QStringList a = parser.value(u"child"_s).split(u'|');
        return rehearse(a.value(0), a.value(1));
    }
    const int rounds = intOption(parser, u"rounds"_s, 1);

    BenchFolder folder(u"rehearsal-kill-"_s + QString::number(QCoreApplication::applicationPid()));
    if (!prepareRunFolder(folder, parser.isSet(u"keep"_s)))
        return 1;
    folder.setPort(freePort());
    BenchConsole console(folder.gs_path);
    const QString root = folder.gs_path + u"backups/"_s;
    const QString backup = console.takeOneBackup(root);
    if (backup.isEmpty())
        return 1;
    const QString name = QFileInfo(backup).fileName();
    const QString lock = folder.gs_path + u"tool/lock-rehearsal"_s;
    // The temporary folder is shared: only the rehearsal's own folders in it are searched.
    QStringList places{root, folder.gs_path + u"tool"_s};
    const auto addTemporary = [&] {
        const QDir temp(QDir::tempPath());
        for (const QString &own :
             temp.entryList({u"garvina-rehearsal-*"_s}, QDir::Dirs | QDir::NoDotAndDotDot))
            if (!places.contains(temp.filePath(own)))
                places.append(temp.filePath(own));
    };
    const auto listed = [&] {
        for (const BackupFolder &f : listBackupFolders(root))
            if (f.name == name)
                return true;
        return false;
    };

    int scratchLeft = 0, lockLeft = 0, hidden = 0, scratchAfter = 0, lockAfter = 0, hiddenAfter = 0;
    for (int i = 0; i < rounds; ++i) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {u"--child"_s, folder.gs_path + u'|' + backup});
        // Killed once the unloaded file has grown for a while: the tools are at work on the scratch.
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 120000) {
            addTemporary();
            const QStringList files = scratchFilesUnder(places);
            if (std::any_of(files.begin(), files.end(), [](const QString &f) {
                    return f.endsWith(u".fbk"_s) && QFileInfo(f).size() > 0;
                }))
                break;
            QThread::msleep(20);
        }
        child.kill();
        child.waitForFinished(10000);
        const int scratch = int(scratchFilesUnder(places).size());
        scratchLeft += scratch > 0 ? 1 : 0;
        lockLeft += QFileInfo(lock).isDir() ? 1 : 0;
        hidden += listed() ? 0 : 1;
        say(u"kill "_s + QString::number(i + 1) + u": scratch files "_s + QString::number(scratch) +
            u", lock folder "_s + (QFileInfo(lock).isDir() ? u"left"_s : u"gone"_s) + u", backup "_s +
            (listed() ? u"listed"_s : u"hidden"_s));

        // The next start-up: the dead console's tools are ended, then its leftovers go.
        endLeftoverTools(folder.gs_path, LinuxProcessTable());
        removeLeftovers(folder.gs_path, root, LinuxProcessTable());
        scratchAfter += scratchFilesUnder(places).isEmpty() ? 0 : 1;
        lockAfter += QFileInfo(lock).isDir() ? 1 : 0;
        hiddenAfter += listed() ? 0 : 1;
    }
    const QString of = u" of "_s + QString::number(rounds);
    say(u"after the kill:     scratch left "_s + QString::number(scratchLeft) + of +
        u", lock folder left "_s + QString::number(lockLeft) + of + u", backup hidden "_s +
        QString::number(hidden) + of);
    say(u"after the start-up: scratch left "_s + QString::number(scratchAfter) + of +
        u", lock folder left "_s + QString::number(lockAfter) + of + u", backup hidden "_s +
        QString::number(hiddenAfter) + of);
    return 0;
}
