#pragma once

#include "maintenance/restore.h"
#include "ui/formwindow.h"

namespace garvina {

struct AppContext;
class DataForm;
class EngineControl;
class FileDialogs;
class w_main;

/// \brief The restore window: choose a database file and put it in place of the live database.
///
/// A frameless, non-modal window showing the form `dw_restore_db` on the upper part of the skin
/// picture skin/setting_bg.jpg. While it is open the main window is hidden; closing it shows the
/// main window again. The window stays open after every outcome of a restore.
class w_restore : public FormWindow
{
    Q_OBJECT
public:
    /// \a engine is stopped and started again by the restore, \a dialogs asks for the file; both must
    /// outlive the window.
    w_restore(AppContext &ctx, w_main &mainWindow, EngineControl &engine, FileDialogs &dialogs,
              QWidget *parent = nullptr);
    ~w_restore() override;

    /// The window's opening: sized to its form, centred and shown; the main window hidden.
    void open();

    /// "开始还原": restores the file in `restore_path` (see garvina::f_restore for every step and message).
    RestoreOutcome f_restore();
    /// Lets the user choose the file to restore, starting in the configured backup folder.
    void selectFile();

    DataForm *dw_restore_db() const { return m_form; }

    /// The file chooser's one filter: database files, whatever the case of their ending.
    static QString fileFilter();

protected:
    void buttonClicked(const QString &key) override;

private:
    void buildForm();
};

} // namespace garvina
