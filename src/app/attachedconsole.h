#pragma once

#include "maintenance/consolestatus.h"
#include "ui/menu/n_coolmenu.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QMenu;

namespace garvina {

class MessageBoxes;
class TrayBackend;
class u_icontray;

/// \brief The desktop console beside a running service: no engine of its own, a tray icon that
/// shows the service's state, and a menu whose commands (start or stop, back up now) the service
/// carries out over its local socket.
///
/// Every request goes out without blocking: the answer comes through the event loop, each within a
/// bound. While a command runs the tooltip says it waits; a service that does not answer in time is
/// said to, and the console goes on.
class AttachedConsole : public QObject
{
    Q_OBJECT
public:
    /// \a tray is taken over; null: the desktop's tray.
    AttachedConsole(const QString &gs_path, MessageBoxes &boxes, TrayBackend *tray = nullptr,
                    QObject *parent = nullptr);
    ~AttachedConsole() override;

    /// Adds the tray icon and asks for the state; it is asked for again every few seconds.
    void open();
    /// \brief Asks the service for its state and shows it on the icon when it comes, then runs
    /// \a then. A refresh under way is not doubled: \a then waits for that one.
    void refresh(std::function<void()> then = {});
    /// Stops the service's engine and client service (after asking), or starts them.
    void startStop();
    void backupNow();
    /// Shows the whole state in a box, once the service has told it again.
    void showState();

    /// The state as the service last told it (several lines); empty before its first answer.
    QString stateText() const;
    /// The service was last told to be on with its engine running.
    bool serviceRunning() const;
    /// A refresh or a command waits for the service.
    bool waiting() const { return m_refresh || m_command; }
    bool trayAvailable() const;
    QMenu *menu() const { return m_menu.get(); }

    static constexpr int RefreshMsecs = 5000;

Q_SIGNALS:
    /// A refresh found no service on the socket.
    void serviceGone();

private:
    void trayAction(int message);
    /// Sends \a request; its answer is shown in a balloon (a box when it failed).
    void carryOut(const QString &request);
    void showTip();

    QString m_gs_path;
    MessageBoxes &m_boxes;
    std::unique_ptr<u_icontray> m_tray;
    n_coolmenu m_coolmenu; ///< draws the menu, so it outlives it
    std::unique_ptr<QMenu> m_menu;
    QAction *m_start = nullptr;
    QAction *m_stop = nullptr;
    QTimer m_timer;
    std::optional<ConsoleStatus> m_status;
    /// What the tooltip says above the state: a command waits, or the service did not answer.
    QString m_notice;
    QPointer<QObject> m_refresh; ///< the STATUS request under way
    QPointer<QObject> m_command; ///< the START, STOP or BACKUP request under way
    std::vector<std::function<void()>> m_afterRefresh;
};

/// \brief When a service answers on the socket of \a gs_path, runs the attached console until it
/// ends and returns the exit code; -1 when no service answers (the console then works on its own).
///
/// A user who may not reach the socket, and with \a serviceOnly (the folder is the installed
/// service's, which no desktop console works on) a service that is not running, are told so in a box;
/// the result is then 1.
int runAttachedWhenServiceRuns(const QString &gs_path, MessageBoxes &boxes, bool serviceOnly = false);

} // namespace garvina
