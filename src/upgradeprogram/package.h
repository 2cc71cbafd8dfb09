#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace garvina {

/// One file or folder of a program package, by its normalised path inside the program folder.
struct PackageEntry
{
    QString path; ///< "skin/bg.jpg": no "." or ".." parts, no empty parts, no leading or trailing "/"
    bool folder = false;
    qint64 size = 0;
    bool executable = false; ///< installed 0755, otherwise 0644
};

/// \brief The checks a package passes before anything of it is unpacked.
struct PackageRules
{
    /// The most bytes all files of the package may unpack to.
    qint64 maxUnpackedBytes = qint64(1024) * 1024 * 1024;
    /// The most entries a package may hold.
    int maxEntries = 20000;
    /// Paths of the program folder no package may write, compared without regard to case: a name
    /// ending in "/" protects a whole folder, one starting with "*" every name of the folder itself
    /// with that ending.
    QStringList protectedPaths;
};

/// \brief The path \a raw normalised, or an empty text when it is refused with the reason in \a error.
///
/// Refused: absolute paths, backslashes, control characters, "." and ".." parts.
QString normalisePackagePath(const QString &raw, QString &error);

/// \brief Reads the entries of the zip archive \a zipPath and refuses a package that could do harm.
///
/// Refused are links, devices and everything else that is neither a file nor a folder, entries of
/// a size not given, the same path twice (also differing only in case), protected paths, and a
/// package that unpacks to more than the rules allow.
bool listPackage(const QString &zipPath, const PackageRules &rules, QList<PackageEntry> &entries,
                 QString &error);

/// \brief Unpacks the files of \a zipPath into the empty folder \a staging (paths as listPackage
/// gave them), with fixed modes: 0755 for executables, 0644 otherwise, folders 0755.
///
/// A file that inflates to more bytes than the archive declared for it stops the unpack, so a
/// forged size cannot get past the bound.
bool unpackPackage(const QString &zipPath, const QString &staging, const QList<PackageEntry> &entries,
                   QString &error);

} // namespace garvina
