#pragma once

#include <QString>

class QWidget;

namespace garvina {

/// \brief The folder chooser and the file-open dialog, as the windows ask for them.
///
/// The production implementation shows the desktop's dialogs; tests answer through a recorder.
/// Both return the empty text when the user cancels.
class FileDialogs
{
public:
    virtual ~FileDialogs() = default;

    /// A folder chosen by the user, starting at \a start; the path without a trailing "/".
    virtual QString chooseFolder(QWidget *parent, const QString &title, const QString &start) = 0;
    /// An existing file chosen by the user in \a start, offering the name filter \a filter
    /// ("description (*.a *.b)").
    virtual QString chooseOpenFile(QWidget *parent, const QString &title, const QString &start,
                                   const QString &filter) = 0;
};

/// \brief FileDialogs on Qt's own QFileDialog, in Chinese whatever the machine's locale: the type
/// and date columns in the program's locale (QLocale's default).
class QtFileDialogs final : public FileDialogs
{
public:
    QString chooseFolder(QWidget *parent, const QString &title, const QString &start) override;
    QString chooseOpenFile(QWidget *parent, const QString &title, const QString &start,
                           const QString &filter) override;
};

} // namespace garvina
