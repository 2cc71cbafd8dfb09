#pragma once

#include <QByteArrayList>
#include <QList>
#include <QString>

#include <optional>

namespace garvina {

/// \brief What the system tells about running processes.
///
/// Reads answer for the moment of the call; a process may end right after. A process that cannot
/// be read (ended, or another user's) gives empty answers.
class ProcessTable
{
public:
    enum class Signal
    {
        Terminate,
        Kill,
        Interrupt
    };

    virtual ~ProcessTable() = default;

    /// The process ids of all running processes, or nothing when the list cannot be read.
    virtual std::optional<QList<qint64>> processes() const = 0;
    /// This process's own id.
    virtual qint64 ownPid() const = 0;
    /// True while \a pid names a live process (a zombie is not alive).
    virtual bool alive(qint64 pid) const = 0;
    /// The program file \a pid runs, as the system names it (a replaced file ends in " (deleted)").
    virtual QString programFile(qint64 pid) const = 0;
    /// The short name the system keeps for \a pid (at most 15 bytes), readable also for other users'.
    virtual QString shortName(qint64 pid) const = 0;
    virtual QByteArrayList commandLine(qint64 pid) const = 0;
    /// The environment \a pid was started with, as "NAME=value" entries.
    virtual QByteArrayList environment(qint64 pid) const = 0;
    /// True while some process listens on TCP \a port (IPv4 or IPv6).
    virtual bool portListened(int port) const = 0;
    /// The TCP ports \a pid listens on.
    virtual QList<int> listeningPorts(qint64 pid) const = 0;
    /// Processor time (user and system) \a pid has used so far, in seconds.
    virtual double processorSeconds(qint64 pid) const = 0;
    /// True while \a pid is stopped by a signal or held by a tracer.
    virtual bool stopped(qint64 pid) const = 0;
    /// The processes that hold \a file open (any descriptor naming it), this one included.
    virtual QList<qint64> holdersOf(const QString &file) const = 0;
    /// Sends \a signal to \a pid; false when there is no such process or it may not be signalled.
    virtual bool send(qint64 pid, Signal signal) const = 0;
};

/// The Linux process table, read from /proc (or from a copy of its layout under another root).
class LinuxProcessTable final : public ProcessTable
{
public:
    explicit LinuxProcessTable(QString root = QStringLiteral("/proc"));

    std::optional<QList<qint64>> processes() const override;
    qint64 ownPid() const override;
    bool alive(qint64 pid) const override;
    QString programFile(qint64 pid) const override;
    QString shortName(qint64 pid) const override;
    QByteArrayList commandLine(qint64 pid) const override;
    QByteArrayList environment(qint64 pid) const override;
    bool portListened(int port) const override;
    QList<int> listeningPorts(qint64 pid) const override;
    double processorSeconds(qint64 pid) const override;
    bool stopped(qint64 pid) const override;
    QList<qint64> holdersOf(const QString &file) const override;
    bool send(qint64 pid, Signal signal) const override;

private:
    QString entry(qint64 pid, const char *name) const;

    QString m_root;
};

/// \brief Ends the process \a pid: asks it to terminate, and kills it when it is still there after
/// \a graceMs. True when it is gone (a zombie counts as gone).
bool stopProcess(const ProcessTable &processes, qint64 pid, int graceMs);

} // namespace garvina
