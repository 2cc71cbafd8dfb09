#include "leftovers.h"

#include "engine/enginecontrol.h"
#include "maintenance/rehearsal.h"
#include "maintenance/retention.h"
#include "platform/processtable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// The dated folders directly under \a root (real folders, none through a link).
QStringList datedFolders(const QString &root)
{
    QStringList folders;
    const QString clean = QDir::cleanPath(root);
    for (const QString &name : QDir(clean).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        BackupFolder parsed;
        if (parseBackupFolderName(name, parsed))
            folders.append(clean + u'/' + name);
    }
    return folders;
}

void removeFile(const QString &file, QStringList &removed)
{
    const QFileInfo info(file);
    if (info.isFile() && !info.isSymLink() && QFile::remove(file))
        removed.append(file);
}

} // namespace

QStringList removeRehearsalLeftovers(const QString &gs_path, const QString &backupRoot)
{
    QStringList removed;
    QStringList folders = Rehearsal::scratchFolders(gs_path, backupRoot);
    const qsizetype ownFolders = folders.size();
    folders += datedFolders(backupRoot);
    for (qsizetype i = 0; i < folders.size(); ++i) {
        for (const QString &file : Rehearsal::scratchFiles(folders.at(i)))
            removeFile(file, removed);
        if (i < ownFolders && QDir().rmdir(folders.at(i)))
            removed.append(folders.at(i));
    }
    // An engine tool killed while it held a mutex in this folder would leave it held for every later
    // rehearsal.
    const QString lock = EngineInstance(gs_path).root() + u"lock-rehearsal"_s;
    if (QFileInfo(lock).isDir() && QDir(lock).removeRecursively())
        removed.append(lock);
    return removed;
}

QStringList removeAbandonedCopies(const QString &backupRoot, const ProcessTable &processes)
{
    QStringList removed;
    // Without the process list nobody can tell a copy being written from an abandoned one.
    if (!processes.processes())
        return removed;
    for (const QString &folder : datedFolders(backupRoot)) {
        const QString part = folder + u"/garvina.db.part"_s;
        if (QFileInfo(part).isFile() && processes.holdersOf(part).isEmpty())
            removeFile(part, removed);
    }
    return removed;
}

QStringList removeLeftovers(const QString &gs_path, const QString &backupRoot, const ProcessTable &processes)
{
    QStringList removed = removeRehearsalLeftovers(gs_path, backupRoot);
    removed += removeAbandonedCopies(backupRoot, processes);
    const QString root = QDir::cleanPath(backupRoot);
    for (const QString &name : removeEmptyBackupFolders(root))
        removed.append(root + u'/' + name);
    return removed;
}

} // namespace garvina
