#pragma once

#include "clientsvc/clientservice.h"
#include "engine/enginewatch.h"
#include "maintenance/backuphealth.h"
#include "maintenance/backupstate.h"
#include "maintenance/consolestatus.h"
#include "maintenance/maintenance.h"
#include "maintenance/rehearsal.h"
#include "maintenance/schedule.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QPushButton;

namespace garvina {

struct AppContext;
class DataForm;
class EngineControl;
class NoticeWindow;
class PasswordPrompt;
class TrayBackend;
class m_popmenu;
class n_coolmenu;
class u_icontray;

/// \brief The console's only permanent window: the service state, host, clock, version and next backup,
/// the four actions drawn on the skin, the tray icon and menu, and the one-second timer.
///
/// Closing or minimising only hides it. Its state is the StatusModel (statusModel()); the labels and
/// the tray show it, nothing reads it back from them.
class w_main : public QWidget
{
    Q_OBJECT
public:
    /// What the window needs besides the context; tests pass recorders.
    struct Services
    {
        EngineControl *engine = nullptr;
        n_coolmenu *coolmenu = nullptr;
        TrayBackend *tray = nullptr;               ///< taken over; null: the desktop's tray
        PasswordPrompt *prompt = nullptr;          ///< null: the password dialog
        ClientServiceApi *clientService = nullptr; ///< null: the window's own service
        Maintenance *maintenance = nullptr;        ///< null: the window's own, on the engine above
        /// Windows opened from here; each may be empty until it exists.
        std::function<void()> openSettings;
        std::function<void()> openRestore;
        std::function<void()> onlineUpgrade;
        /// The engine could not be kept up: called instead of the balloon that tells the user so.
        std::function<void()> engineAbandoned;
    };

    w_main(AppContext &ctx, Services services, QWidget *parent = nullptr);
    ~w_main() override;

    /// The window's opening: title and size, tray menu and icon, host line, start_min, the timer, and
    /// the first start posted to run once opening has finished.
    void open();

    /// Starts the service when it is stopped; stops it, after asking, when it runs.
    int server_start_stop();
    /// Recomputes the next backup and writes the next-backup line.
    int wf_get_exit_backup_time();
    /// Starts ("START") or stops ("STOP") the client connection service; 1 when it is in that state.
    int wf_socket_start_stop(const QString &as_type);
    /// Stops the client connection service; its result code.
    int StopServer();
    /// Mouse actions on the tray icon (TrayMouseMessage): left release or double-click, right release.
    void restore(int lparam);

    /// The once-a-second timer's work (also called by tests with a moved clock).
    void timerTick();
    /// \brief Shows the last good backup (main window line, tray tooltip) from the state file and
    /// raises or clears the backup alarm: its tray icon, an hourly balloon, a line in the error log.
    void updateBackupHealth();
    /// \brief A backup asked for by the user (the settings window, the service's control socket) into
    /// \a root: taken, the backup health shown again, and the outcome told in a balloon.
    BackupOutcome backUpNow(const QString &root);
    bool backupAlarmUp() const { return m_backupAlarm.isUp(); }
    bool offsiteAlarmUp() const { return m_offsiteAlarm.isUp(); }
    /// The nightly restore rehearsal of the newest good backup (running or idle).
    Rehearsal &rehearsal() { return m_maintenance->rehearsal(); }
    Maintenance &maintenance() { return *m_maintenance; }
    /// The tray picture of the backup alarm.
    static QString alarmIconName();
    static constexpr int TimerMsecs = 1000;
    /// Free space, in MB, below which starting the service warns in a balloon.
    static constexpr int MinFreeMegabytes = 100;

    /// The service was started (by the first start or the user) and not stopped since.
    bool serviceRunning() const { return m_serviceOn; }
    /// \brief Looks at the engine while the service is on and nothing else works on the database, and
    /// starts it again when it stopped serving (each event told in a balloon, with its cause); gives
    /// up when it cannot be kept up (see EngineWatch). Called by the timer.
    void watchEngine(const QDateTime &now);
    /// True while the engine runs and listens on its port.
    bool engineServing() const;
    /// \brief Takes up the configuration file as it is now: the next backup is computed again and
    /// configurationRead() tells it. The timer calls it when the file changed; the service on SIGHUP.
    void reloadConfiguration();
    /// \brief Starts the engine again at once when it does not serve (asked for from outside while
    /// the service is on); whether it serves afterwards.
    bool restartEngineNow();
    /// The console's state as values, updated on every start, stop and timer tick.
    StatusModel &statusModel() { return m_statusModel; }
    /// Takes the engine's and the client service's state and the backup health into the model now.
    void refreshStatus();
    DataForm *dw_1() const { return m_form; }
    QPushButton *cb_start() const { return m_cbStart; }
    u_icontray *iuo_tray() const { return m_tray; }
    m_popmenu *im_popmenu() const { return m_menu; }
    ClientServiceApi &clientService() const { return *m_service; }
    const BackupSchedule &schedule() const { return m_schedule; }
    int ii_socketport() const { return m_ii_socketport; }

    /// The line "本机名称:" + host + "  地址:" + address.
    static QString hostLine();

Q_SIGNALS:
    /// The configuration file was read again (changed, or asked for).
    void configurationRead();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void customEvent(QEvent *event) override;

private:
    void buildForm();
    void onFormClicked(const QString &name);
    void cbStartClicked();
    void showFromTray();
    void hideToTray(bool withBalloon);
    void setStartingNotice(bool visible);
    void openGuarded(const std::function<void()> &open);

    AppContext &m_ctx;
    Services m_services;
    DataForm *m_form = nullptr;
    QPushButton *m_cbStart = nullptr;
    u_icontray *m_tray = nullptr;
    m_popmenu *m_menu = nullptr;
    std::unique_ptr<PasswordPrompt> m_ownPrompt;
    std::unique_ptr<ClientService> m_ownService;
    ClientServiceApi *m_service = nullptr;
    QTimer m_timer;
    BackupSchedule m_schedule;
    int m_ii_socketport = 0;
    int m_enginePort = 0; ///< the port the engine was started on
    int m_alarmHours = 0; ///< the alarm's hours as the last health check read them
    bool m_serviceOn = false;
    StatusModel m_statusModel;
    /// Starts the rehearsal of the newest good backup when its time of day has come.
    void startRehearsalWhenDue(const QDateTime &now);
    /// Runs the night's off-site copy when its time of day has come; a failure is told in a balloon.
    void runOffsiteWhenDue(const QDateTime &now);
    /// The state file as it is on disk, read again only when it was replaced since the last read.
    const BackupState &backupState();
    void rehearsalRecorded(const RehearsalOutcome &outcome);
    /// Tells in a balloon that the state file could not be saved.
    void tellStateNotSaved();
    /// Shows the status in the tray's picture.
    void showStatus(const ConsoleStatus &status);

    /// Starts the engine again after \a fault, telling it in balloons; whether it serves afterwards.
    bool restartEngine(EngineFault fault);
    EngineWatch m_engineWatch;

    BackupAlarm m_backupAlarm;
    BackupAlarm m_offsiteAlarm;
    int m_offsiteAlarmHours = 0;     ///< 0 while off-site copies are off or their alarm is
    QDateTime m_offsiteWatchedSince; ///< since when this console has seen off-site copies configured
    std::unique_ptr<Maintenance> m_ownMaintenance;
    Maintenance *m_maintenance = nullptr;
    BackupState m_backupState;
    QString m_backupStateStamp; ///< inode, size and time of the state file last read
    QString m_configStamp;      ///< the same of the configuration file last taken up
    OffsiteSettings m_offsite;  ///< the [offsite] keys as the configuration file was last taken up
    /// Inode, size and time of \a path: a replaced or rewritten file shows in one of them.
    QString fileStamp(const QString &path) const;
    QDateTime m_watchedSince; ///< the service's start: before a first good backup the alarm counts from here
    QString m_lastTip;
};

} // namespace garvina
