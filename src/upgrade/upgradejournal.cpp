#include "upgradejournal.h"

#include "platform/filesystem.h"
#include "platform/processtable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

UpgradeJournal::UpgradeJournal(QString folder, const FileSystem &files)
    : m_folder(std::move(folder)), m_files(files)
{}

bool UpgradeJournal::exists() const
{
    return QFileInfo(path()).isFile();
}

bool UpgradeJournal::write(const QList<Entry> &entries, QString &error) const
{
    QByteArray text;
    for (const Entry &e : entries)
        text += char(e.kind) + QByteArray(" ") + e.path.toUtf8() + '\n';
    const FileResult result = m_files.replaceFile(path(), text);
    if (!result.ok()) {
        error = u"无法写入升级记录 "_s + path();
        return false;
    }
    return true;
}

QList<UpgradeJournal::Entry> UpgradeJournal::entries() const
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<Entry> entries;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.size() < 3 || line.at(1) != ' ' || !QByteArray("RND").contains(line.at(0)))
            continue;
        entries.append({Entry::Kind(line.at(0)), QString::fromUtf8(line.mid(2))});
    }
    return entries;
}

bool UpgradeJournal::swapDone() const
{
    const QList<Entry> all = entries();
    for (const Entry &e : all) {
        const bool inPlace = QFileInfo::exists(m_folder + e.path);
        if (!inPlace || (e.kind == Entry::Replaced && !QFileInfo::exists(asideFolder() + e.path)))
            return false;
    }
    return !all.isEmpty();
}

void UpgradeJournal::complete() const
{
    QDir(asideFolder()).removeRecursively();
    QFile::remove(path());
}

bool UpgradeJournal::rollBack(QString &error) const
{
    const QList<Entry> all = entries();
    QStringList notRestored;
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        const QString target = m_folder + it->path;
        switch (it->kind) {
        case Entry::Replaced: {
            // Not kept aside yet: the file in the folder is still the old one.
            const QString aside = asideFolder() + it->path;
            if (QFileInfo::exists(aside) && !m_files.moveOver(aside, target).ok())
                notRestored.append(it->path);
            break;
        }
        case Entry::Added:
            QFile::remove(target);
            break;
        case Entry::Folder:
            QDir(m_folder).rmdir(it->path); // a folder that is not empty stays
            break;
        }
    }
    if (!notRestored.isEmpty()) {
        error = u"无法恢复 (原文件保存在 "_s + asideFolder() + u"): "_s + notRestored.join(u", "_s);
        return false;
    }
    complete();
    return true;
}

QList<qint64> programsRunning(const QString &programFile)
{
    const QFileInfo info(programFile);
    QString target = info.canonicalFilePath();
    if (target.isEmpty())
        target = QDir(info.absolutePath()).canonicalPath() + u'/' + info.fileName();
    // A program file replaced while it runs shows as "PATH (deleted)".
    const QString wantedDeleted = target + u" (deleted)"_s;

    QList<qint64> pids;
    const LinuxProcessTable processes;
    const qint64 self = processes.ownPid();
    for (const qint64 pid : processes.processes().value_or(QList<qint64>())) {
        if (pid == self)
            continue;
        // Ended processes not yet reaped (zombies) have no readable link and do not count.
        const QString exe = processes.programFile(pid);
        if (!exe.isEmpty() && (exe == target || exe == wantedDeleted))
            pids.append(pid);
    }
    return pids;
}

HalfDoneUpgrade finishHalfDoneUpgrade(const QString &folder, const FileSystem &files, QString &error)
{
    const UpgradeJournal journal(folder, files);
    if (!journal.exists())
        return HalfDoneUpgrade::None;
    // The upgrade program that swaps (or its watcher) runs its file from the folder, or, once the
    // package replaced it, from the aside folder.
    if (!programsRunning(folder + u"upgrade"_s).isEmpty() ||
        !programsRunning(journal.asideFolder() + u"upgrade"_s).isEmpty())
        return HalfDoneUpgrade::Busy;
    // The console is moved in last: a console that starts on a swap not done is the old one.
    if (journal.swapDone()) {
        journal.complete();
        return HalfDoneUpgrade::Completed;
    }
    return journal.rollBack(error) ? HalfDoneUpgrade::RolledBack : HalfDoneUpgrade::Failed;
}

} // namespace garvina
