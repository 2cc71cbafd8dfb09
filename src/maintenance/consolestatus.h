#pragma once

#include "engine/workslot.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <optional>

namespace garvina {

/// \brief What the console is doing, as values: what the windows, the tray, the service manager,
/// `--status` and the control socket show. Nothing reads it back from a label.
struct ConsoleStatus
{
    /// Started by the user (or the first start): the service is meant to run.
    bool serviceOn = false;
    /// The engine's process runs and listens on its port.
    bool engineUp = false;
    int enginePort = 0;
    /// The client connection service listens on its port.
    bool clientUp = false;
    int clientPort = 0;
    WorkKind work = WorkKind::None;
    /// The last good backup; invalid when there is none that is still good.
    QDateTime lastGood;
    bool alarm = false;
    /// The next scheduled backup with its date, tomorrow's included; invalid when none is.
    QDateTime nextBackup;
    /// The texts people read beside the fields.
    QString nextBackupLine;
    QString lastGoodLine;
    QString alarmText; ///< empty while the alarm is down
    /// The alarm's hours (0: no alarm); the alarm is near in its last hour.
    int alarmHours = 0;
    /// Why the last backup this console tried failed; empty when it succeeded or none was tried.
    QString lastBackupError;
    /// Off-site copies are configured; their alarm is up, with its text; the line about the last one.
    bool offsiteOn = false;
    bool offsiteAlarm = false;
    QString offsiteAlarmText;
    QString lastOffsiteLine;

    /// The engine and the client service run and no alarm is up.
    bool healthy() const { return serviceOn && engineUp && clientUp && !alarm && !offsiteAlarm; }
    bool operator==(const ConsoleStatus &o) const;
    bool operator!=(const ConsoleStatus &o) const { return !(*this == o); }
};

/// \brief Holds the console's status and tells when it changes.
class StatusModel : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    const ConsoleStatus &status() const { return m_status; }
    /// Replaces the status; changed() only when something differs.
    void set(const ConsoleStatus &status);

Q_SIGNALS:
    void changed(const garvina::ConsoleStatus &status);

private:
    ConsoleStatus m_status;
};

/// \brief The status as the control protocol's fields, one "name=value" a line (engine, client,
/// work, last_good, alarm, …), followed by the texts for people, each line starting with "text=".
QString statusFields(const ConsoleStatus &status);

/// \brief Reads what statusFields wrote; nothing when a field the console needs is missing or has
/// a value it does not know.
std::optional<ConsoleStatus> parseStatusFields(const QString &text);

/// The lines for people, as `--status` and the desktop console show them.
QString statusText(const ConsoleStatus &status);

/// \brief How a monitoring system is to take the status: its code (0 OK, 1 warning: the alarm is
/// near or the last backup failed; 2 critical: the service, the engine or the client service is
/// down, or the backup or off-site alarm is up) and the one line it shows ("GARVINASERVER OK - …").
struct MonitoringVerdict
{
    int code = 3;
    QString line;
};
MonitoringVerdict monitoringVerdict(const ConsoleStatus &status, const QDateTime &now);
/// The verdict when no status could be had (code 3): \a why says what happened.
MonitoringVerdict unknownVerdict(const QString &why);

} // namespace garvina

Q_DECLARE_METATYPE(garvina::ConsoleStatus)
