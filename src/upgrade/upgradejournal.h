#pragma once

#include <QList>
#include <QString>

namespace garvina {

class FileSystem;

/// \brief The record of one upgrade's swap of program files, written before the first file moves.
///
/// Whoever finds it (the upgrade program's watcher after the upgrade program died, or the console
/// at its start) can tell from it and the folder whether the swap was done and put the old files
/// back if not, whatever moment the swap was cut off at: each file of the package is either still
/// the old one, or kept aside under ".upgrade-old/", or already the new one.
class UpgradeJournal
{
public:
    struct Entry
    {
        enum Kind : char
        {
            Replaced = 'R', ///< a file of the folder the package replaces; the old one goes aside
            Added = 'N',    ///< a file the folder did not have
            Folder = 'D',   ///< a folder the folder did not have
        };
        Kind kind = Added;
        QString path; ///< relative to the program folder
    };

    /// \a folder ends with "/".
    UpgradeJournal(QString folder, const FileSystem &files);

    QString path() const { return m_folder + QStringLiteral(".upgrade-journal"); }
    QString asideFolder() const { return m_folder + QStringLiteral(".upgrade-old/"); }
    bool exists() const;

    /// Writes the journal (flushed to disk) before any file moves.
    bool write(const QList<Entry> &entries, QString &error) const;
    /// The entries written, or an empty list when there is no readable journal.
    QList<Entry> entries() const;
    /// True when every file of the package is in place and every old one aside: the swap was done.
    bool swapDone() const;
    /// The swap was confirmed: the old files and the journal go.
    void complete() const;
    /// Puts the old files back and removes what the swap added, then the journal. False (journal
    /// kept, the old files aside) when a file could not be put back.
    bool rollBack(QString &error) const;

private:
    QString m_folder;
    const FileSystem &m_files;
};

/// Process ids of running programs whose file is \a programFile (compared by real path; a file
/// renamed or replaced while it runs counts too).
QList<qint64> programsRunning(const QString &programFile);

/// What the console's start found of an earlier upgrade.
enum class HalfDoneUpgrade
{
    None,       ///< no swap was under way
    Busy,       ///< an upgrade program still works on it, and is left to finish
    Completed,  ///< the swap was done: the new files are kept
    RolledBack, ///< the swap was cut short: the old files are back
    Failed      ///< the old files could not all be put back; they stay in .upgrade-old/
};

/// \brief Completes or undoes the swap of an upgrade no upgrade program works on any more (killed,
/// the power gone), so the console never runs on a mix of old and new files. Called at the start.
HalfDoneUpgrade finishHalfDoneUpgrade(const QString &folder, const FileSystem &files, QString &error);

} // namespace garvina
