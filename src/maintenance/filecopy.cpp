#include "filecopy.h"

#include "platform/filesystem.h"

#include <QFile>

namespace garvina {

int copyWith(const FileSystem &files, const FileCopier &copier, const QString &source, const QString &target)
{
    return copier ? copier(source, target) : files.copyFile(source, target);
}

QString partialCopyName(const QString &target)
{
    return target + QStringLiteral(".part");
}

int copyUnderPartialName(const FileSystem &files, const FileCopier &copier, const QString &source,
                         const QString &target)
{
    const QString partial = partialCopyName(target);
    QFile::remove(partial);
    const int copied = copyWith(files, copier, source, partial);
    if (copied != 1) {
        QFile::remove(partial);
        return copied;
    }
    if (!files.sync(partial) || !files.moveOver(partial, target)) {
        QFile::remove(partial);
        return -2;
    }
    return 1;
}

} // namespace garvina
