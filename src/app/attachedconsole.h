#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QMenu;

namespace garvina {

class MessageBoxes;
class TrayBackend;
class u_icontray;

/// \brief The desktop console beside a running service: no engine of its own, a tray icon that
/// shows the service's state, and a menu whose commands (start or stop, back up now) the service
/// carries out over its local socket.
class AttachedConsole : public QObject
{
    Q_OBJECT
public:
    /// \a tray is taken over; null: the desktop's tray.
    AttachedConsole(const QString &gs_path, MessageBoxes &boxes, TrayBackend *tray = nullptr,
                    QObject *parent = nullptr);
    ~AttachedConsole() override;

    /// Adds the tray icon and shows the state; the state is asked for again every few seconds.
    void open();
    /// Asks the service for its state and shows it on the icon. False when the service is gone.
    bool refresh();
    /// Stops the service's engine and client service (after asking), or starts them.
    void startStop();
    void backupNow();
    /// Shows the whole state in a box.
    void showState();

    /// The state as the service last told it (several lines).
    QString stateText() const { return m_state; }
    bool serviceRunning() const;
    bool trayAvailable() const;
    QMenu *menu() const { return m_menu.get(); }

    static constexpr int RefreshMsecs = 5000;

private:
    void trayAction(int message);
    /// Sends \a request; shows its answer in a balloon (a box when it failed). True when it was done.
    bool carryOut(const QString &request, int timeoutMs);

    QString m_gs_path;
    MessageBoxes &m_boxes;
    std::unique_ptr<u_icontray> m_tray;
    std::unique_ptr<QMenu> m_menu;
    QTimer m_timer;
    QString m_state;
    bool m_stateOk = false;
};

/// \brief When a service answers on the socket of \a gs_path, runs the attached console until it
/// ends and returns the exit code; -1 when no service answers (the console then works on its own).
int runAttachedWhenServiceRuns(const QString &gs_path, MessageBoxes &boxes);

} // namespace garvina
