#pragma once

#include <QMenu>

#include <memory>

namespace garvina {

struct AppContext;
class PasswordPrompt;

/// \brief The tray icon's pop-up menu: show the console, settings, start or stop the service, exit.
///
/// The menu only decides whether a command may go on; what the command does belongs to the main
/// window, which connects to the *Requested() signals. The settings and exit commands pass the
/// password guard first (`system`/`settingpass`, `system`/`exitpass`).
///
/// Every command item carries the tag "id=N" and the picture name "server.dll:N" for the menu
/// renderer (kMenuTagProperty, kMenuPictureNameProperty in ui/menu/n_coolmenu.h). Each item's object
/// name is its design name ("m_显示主界面", "m_-", ...); the members use ASCII names for the
/// Chinese ones: m_show is m_显示主界面, m_setting is m_功能设置, m_exit is m_退出服务器, and the
/// separators m_-, m_-1, m_-0 are m_sep, m_sep1, m_sep0.
class m_popmenu : public QMenu
{
    Q_OBJECT
public:
    /// The pictures of server.dll the items show.
    enum Picture
    {
        ShowPicture = 2,
        StartPicture = 5,
        StopPicture = 6,
        ExitPicture = 7,
        SettingPicture = 8,
    };
    /// \brief Adds the item \a name to \a menu with the tag "id=N" and the picture "server.dll:N" of
    /// \a picture, as the menu renderer draws the console's items.
    static QAction *addCommand(QMenu &menu, const QString &name, const QString &text, int picture);

    /// Asks for passwords with the w_pass dialog.
    explicit m_popmenu(AppContext &ctx, QWidget *parent = nullptr);
    /// Asks for passwords through \a prompt, which must outlive the menu.
    m_popmenu(AppContext &ctx, PasswordPrompt &prompt, QWidget *parent = nullptr);
    ~m_popmenu() override;

    /// \brief Shows exactly one of m_start and m_stop: m_stop while the service runs, else m_start.
    /// The main window calls it just before popping the menu up.
    void setServiceRunning(bool running);

    void showMainCommand();
    /// Emits settingsRequested() unless `system`/`settingpass` is "1" and the password is not given.
    void settingsCommand();
    void startStopCommand();
    /// Emits exitRequested() unless `system`/`exitpass` is "1" and the password is not given.
    void exitCommand();

    QAction *m_show = nullptr;
    QAction *m_sep = nullptr;
    QAction *m_setting = nullptr;
    QAction *m_sep1 = nullptr;
    QAction *m_start = nullptr;
    QAction *m_stop = nullptr;
    QAction *m_sep0 = nullptr;
    QAction *m_exit = nullptr;

Q_SIGNALS:
    /// Show the main window if it is hidden (clearing its form's hover marker).
    void showMainRequested();
    /// Open the settings window; the password, if any, has been given.
    void settingsRequested();
    /// Run the main window's start/stop toggle.
    void startStopRequested();
    /// End the program in the orderly way; the password, if any, has been given.
    void exitRequested();

private:
    void build();

    AppContext &m_ctx;
    std::unique_ptr<PasswordPrompt> m_ownPrompt;
    PasswordPrompt &m_prompt;
};

} // namespace garvina
