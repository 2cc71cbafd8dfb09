#pragma once

#include <QString>

#include <functional>

namespace garvina {

class FileSystem;

/// Copies a file as FileSystem::copyFile does (1, -1 or -2); tests put a failing one in.
using FileCopier = std::function<int(const QString &source, const QString &target)>;

/// Copies with \a copier, or FileSystem::copyFile of \a files when it is empty.
int copyWith(const FileSystem &files, const FileCopier &copier, const QString &source, const QString &target);

/// The name a copy is written under until it is complete: \a target + ".part".
QString partialCopyName(const QString &target);

/// \brief Copies \a source to \a target with \a copier (when empty, FileSystem::copyFile of
/// \a files) under the partial name, flushes it and only then renames it to \a target (and flushes
/// the folder): a copy cut short by a crash never bears the final name. Returns what the copier
/// returned, or -2 when the rename failed.
int copyUnderPartialName(const FileSystem &files, const FileCopier &copier, const QString &source,
                         const QString &target);

} // namespace garvina
