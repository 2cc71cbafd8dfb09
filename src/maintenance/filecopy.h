#pragma once

#include <QString>

#include <functional>

namespace garvina {

/// \brief Copies \a source to \a target (replacing it), flushed to disk before it returns.
/// 1 on success, -1 when the source cannot be opened or read, -2 when the target cannot be written.
/// A failed copy removes what it wrote of the target.
int copyFileSynced(const QString &source, const QString &target);

using FileCopier = std::function<int(const QString &source, const QString &target)>;

/// The name a copy is written under until it is complete: \a target + ".part".
QString partialCopyName(const QString &target);

/// \brief Copies \a source to \a target with \a copier under the partial name, flushes it and only
/// then renames it to \a target (and flushes the folder): a copy cut short by a crash never bears
/// the final name. Returns what \a copier returned, or -2 when the rename failed.
int copyUnderPartialName(const FileCopier &copier, const QString &source, const QString &target);

/// Flushes a file or a folder to disk; false when it cannot.
bool syncToDisk(const QString &path);

/// \brief Flushes a large file to disk in steps of \a step bytes, then as a whole.
///
/// One fsync of a freshly written gigabyte sends it all to the disk in one burst, and every commit
/// of the running engine waits behind it; written out step by step, the engine's commits slip in
/// between. False when the file cannot be flushed.
bool syncToDiskInSteps(const QString &path, qint64 step = 1 << 20);

} // namespace garvina
