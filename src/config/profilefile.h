#pragma once

#include <QList>
#include <QString>

namespace garvina {

class FileSystem;

/// \brief The console's INI file, read and written like the Win32 private profile functions.
///
/// Section and key names are matched without regard to case, the first match wins, blanks around
/// names and values are ignored, and a value wrapped in matching quotes is read without them.
/// Lines before the first section and lines without "=" are ignored. The file is read afresh on
/// every call: there is no cache, so a change made by hand is seen at the next read.
///
/// Reading accepts UTF-8 and falls back to GBK for a file that is not valid UTF-8 (files written by
/// the Windows edition). Writing is UTF-8, through a temporary file that is renamed over the old
/// one, so a failed write never leaves a truncated or half-written file behind.
class ProfileFile
{
public:
    /// Writes go through \a files; without one, through the system's file system.
    explicit ProfileFile(QString path, const FileSystem *files = nullptr)
        : m_path(std::move(path)), m_files(files)
    {}

    const QString &path() const { return m_path; }

    /// The stored value, or \a defaultValue when the file, the section or the key is absent or the
    /// file cannot be read.
    QString read(const QString &section, const QString &key, const QString &defaultValue) const;

    /// Creates the file (mode 0600), the section and the key as needed, or replaces the value in place,
    /// keeping every other line as it was. The file may hold the settings password: a rewritten file
    /// keeps its owner's rights only, whatever it had before. Returns false when nothing was written (a
    /// read-only or unreadable file, a folder that cannot be written); callers are free to ignore it.
    bool write(const QString &section, const QString &key, const QString &value) const;

    struct Entry
    {
        QString section;
        QString key;
        QString value;
    };
    /// Writes several values in order with one replacement of the file: what a series of write()
    /// calls would leave, at the cost of one.
    bool write(const QList<Entry> &entries) const;

    /// Decodes file contents line by line (a leading byte order mark is dropped): see decodeLine().
    static QString decode(const QByteArray &bytes);
    /// \brief One line of the file: UTF-8 when valid, else GBK. A line that is valid UTF-8 but reads as
    /// signs no text holds (Latin-1 signs, Latin Extended, Greek...) and as plain Chinese in GBK is GBK.
    static QString decodeLine(QByteArrayView line);

    /// \brief Takes every right of the group and of others away from the file, when it has any (a
    /// file copied in or written by hand): it may hold the settings password. True when the file is
    /// the owner's alone afterwards, or absent.
    bool keepPrivate() const;

private:
    QString m_path;
    const FileSystem *m_files;
};

} // namespace garvina
