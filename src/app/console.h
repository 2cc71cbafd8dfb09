#pragma once

#include "core/appcontext.h"
#include "engine/enginecontrol.h"
#include "maintenance/maintenance.h"
#include "ui/menu/n_coolmenu.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

namespace garvina {

class FileDialogs;
class TrayBackend;
class w_main;
class w_restore;
class w_setting;

/// \brief The application object: start-up, process-wide objects and the close hook.
class Console : public QObject
{
    Q_OBJECT
public:
    Console(MessageBoxes &boxes, Clock &clock, ProcessLauncher &launcher, FileSystem &files,
            QObject *parent = nullptr);
    ~Console() override;

    /// \brief Runs start-up up to the opening of the main window.
    ///
    /// Returns 0 when the console is up and the event loop should run, or the exit code with which
    /// the process ends after a start-up error (no close hook then: an engine another copy uses is
    /// left alone).
    int startUp(const QStringList &arguments, const QString &workingDirectory, const QString &programFile);

    /// The orderly end: stop the client connection service, then the engine. Runs once.
    void closeHook();
    /// Ends the event loop without the close hook (the upgrade takes over).
    void endWithoutCloseHook();

    /// Before startUp(): a tray to use instead of the desktop's (taken over).
    void setTrayBackend(TrayBackend *tray) { m_tray = tray; }
    /// \brief A program folder without a configuration gets the default one at start-up (the
    /// service: nobody is there to open the settings window), told in a message.
    void setWritesDefaultConfiguration(bool writes) { m_writesDefaultConfiguration = writes; }
    /// What the main window does when it cannot keep the engine up; unset: it tells the user.
    void setEngineAbandonedHandler(std::function<void()> handler) { m_engineAbandoned = std::move(handler); }

    AppContext &context() { return m_ctx; }
    w_main *mainWindow() const { return m_main.get(); }
    n_coolmenu &coolmenu() { return m_coolmenu; }
    EngineControl &engine() { return m_engine; }
    Maintenance *maintenance() const { return m_maintenance.get(); }

private:
    /// Opens the settings or the restore window into \a window, or raises the one already open there.
    template <typename Window> void openWindow(QPointer<Window> &window);

    AppContext m_ctx;
    EngineControl m_engine{m_ctx};
    std::unique_ptr<Maintenance> m_maintenance; ///< made once the program folder is known
    n_coolmenu m_coolmenu;
    std::unique_ptr<w_main> m_main;
    bool m_closed = false;
    TrayBackend *m_tray = nullptr;
    std::function<void()> m_engineAbandoned;
    bool m_writesDefaultConfiguration = false;
    /// Writes the default configuration when there is none and that is asked for.
    void writeDefaultConfiguration();
    std::unique_ptr<FileDialogs> m_fileDialogs;
    QPointer<w_setting> m_settingWindow;
    QPointer<w_restore> m_restoreWindow;
};

} // namespace garvina
