#pragma once

#include <QString>

#include <optional>

namespace garvina {

/// The state of the engine's physical-backup lock, as the header page keeps it.
enum class BackupLock
{
    None,    ///< the file holds the whole database
    Stalled, ///< a backup began: changes go into "<file>.delta" until it ends
    Merge,   ///< the backup ended and the delta is being merged back
};

/// What the header page and the first page inventory page of a database file tell.
struct DbHeader
{
    int pageSize = 0;
    BackupLock lock = BackupLock::None;
    /// Pages the file must hold (the pages the page inventory counts as allocated); 0 when unknown.
    qint64 pagesInUse = 0;
};

/// \brief Reads the header of the database file \a file; nothing when it is not a database file of
/// the engine's format (too short, wrong page type, page size outside 1–32 KB).
std::optional<DbHeader> readDbHeader(const QString &file);

/// \brief Checks that \a file is as long as its header says: a whole number of pages and not fewer
/// than the page inventory counts. Returns the problem, or an empty text when the size fits.
QString checkDatabaseSize(const QString &file);

/// The backup lock of \a file; None also when the file cannot be read.
BackupLock backupLockOf(const QString &file);

} // namespace garvina
