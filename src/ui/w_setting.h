#pragma once

#include "config/profilefile.h"
#include "ui/formwindow.h"

#include <QStringList>

namespace garvina {

struct AppContext;
class DataForm;
class EngineControl;
class FileDialogs;
class w_backuplist;
class w_main;

/// \brief The settings window: everything of the configuration file but the two ports, the
/// automatic start with the desktop session, and a backup taken at once.
///
/// A frameless, non-modal window drawn by one form, `dw_setting`, on the skin picture
/// skin/setting_bg.jpg. While it is open the main window is hidden; closing it, whichever way,
/// shows the main window again. Nothing is saved but by OK.
class w_setting : public FormWindow
{
    Q_OBJECT
public:
    /// Builds the form; open() loads and shows it. \a engine takes the immediate backup, \a dialogs
    /// asks for the backup folder; both must outlive the window.
    w_setting(AppContext &ctx, w_main &mainWindow, EngineControl &engine, FileDialogs &dialogs,
              QWidget *parent = nullptr);
    ~w_setting() override;

    /// \brief The window's opening: the automatic start read (an entry that starts anything else is
    /// deleted), every column filled from the file with this window's defaults, the window centred
    /// and shown, the main window hidden.
    void open();

    /// \brief OK: validates the form, telling the first problem in a message box; when it passes,
    /// writes every key, then the autostart entry, has the main window recompute the next backup
    /// and closes. False when refused; the window then stays as the user left it.
    bool f_ok();
    /// \brief Backs up at once into the folder shown (home + "/服装软件备份/" when it is shorter than
    /// three bytes) and reports the result in a tray balloon. Nothing is saved; the window stays open.
    bool nowBackup();
    /// Opens the list of the backups in the folder shown, over this window.
    w_backuplist *openBackupList();
    /// Lets the user choose the backup folder; the choice, with a trailing "/", goes into `backup_path`.
    void selectPath();

    DataForm *dw_setting() const { return m_form; }

    /// The columns of the retention and alarm keys of `[backup]`, named as their keys.
    static QStringList retentionColumns();
    static QStringList retentionDefaults();

    /// The command of the autostart entry that starts this console from \a gs_path.
    static QStringList autorunCommand(const QString &gs_path);

protected:
    void buttonClicked(const QString &key) override;

private:
    void buildForm();
    /// The validation message for the form as it stands, or the empty text when it may be saved.
    QString validationError() const;
    /// The retention and alarm keys to write with the others.
    QList<ProfileFile::Entry> retentionEntries() const;

    QString is_path;
    QString is_error;
};

} // namespace garvina
