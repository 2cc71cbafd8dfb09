#pragma once

#include <QString>

#include <functional>

namespace garvina {

/// \brief Copies \a source to \a target (replacing it), flushed to disk before it returns.
/// 1 on success, -1 when the source cannot be opened or read, -2 when the target cannot be written.
/// A failed copy removes what it wrote of the target.
int copyFileSynced(const QString &source, const QString &target);

using FileCopier = std::function<int(const QString &source, const QString &target)>;

/// Flushes a file or a folder to disk; false when it cannot.
bool syncToDisk(const QString &path);

} // namespace garvina
