#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace garvina {

/// What the console is doing with the database besides serving it.
enum class WorkKind
{
    None,
    StartStop, ///< the engine is being started or stopped
    Backup,
    Restore,
    Rebuild,
    Rehearsal, ///< a restore rehearsal of a backup (gives way to every other kind)
    Offsite,   ///< the night's off-site copy
};

/// The name of \a kind in the control protocol ("none", "backup", …).
QString workKindName(WorkKind kind);

/// \brief The one place that knows whether work on the database is under way, and which.
///
/// Every backup, restore, rebuild, rehearsal and engine start or stop holds a Claim while it runs.
/// Their tools keep the event loop going, so a timer, the service's socket or a click can ask for
/// more work meanwhile: it finds the slot taken and is refused or waits, never runs beside it.
class WorkSlot : public QObject
{
    Q_OBJECT
public:
    /// \brief Held while one piece of work runs; frees the slot when it goes. An empty claim (the slot
    /// was taken) holds nothing.
    class Claim
    {
    public:
        Claim() = default;
        Claim(Claim &&other) noexcept : m_slot(other.m_slot) { other.m_slot = nullptr; }
        Claim &operator=(Claim &&other) noexcept;
        Claim(const Claim &) = delete;
        Claim &operator=(const Claim &) = delete;
        ~Claim() { release(); }
        explicit operator bool() const { return m_slot != nullptr; }
        /// Frees the slot now.
        void release();

    private:
        friend class WorkSlot;
        explicit Claim(WorkSlot *slot) : m_slot(slot) {}
        WorkSlot *m_slot = nullptr;
    };

    using QObject::QObject;

    WorkKind current() const { return m_current; }
    bool busy() const { return m_current != WorkKind::None; }
    /// True when a claim for other work would be granted now: the slot is free or a rehearsal,
    /// which gives way, holds it.
    bool yields() const { return m_current == WorkKind::None || m_current == WorkKind::Rehearsal; }
    /// \brief The slot for \a kind when it is free; an empty claim when other work holds it. A
    /// rehearsal gives way to any other work: it is stopped through the handler set below first.
    Claim claim(WorkKind kind);
    /// Stops a running rehearsal, which then frees the slot (through its claim going).
    void setRehearsalStop(std::function<void()> stop) { m_stopRehearsal = std::move(stop); }

    /// \brief Marks the engine's online copy as being written (within a backup): its backup lock is
    /// not stale, and the engine is not restarted under it.
    void setCopyBeingWritten(bool writing) { m_copying = writing; }
    bool copyBeingWritten() const { return m_copying; }
    /// \brief Marks the engine as being started or stopped right now (within whatever work holds the
    /// slot): a start or stop asked for meanwhile, from a timer of the waiting loop, does nothing.
    void setEngineWaiting(bool waiting) { m_engineWaiting = waiting; }
    bool engineWaiting() const { return m_engineWaiting; }

Q_SIGNALS:
    void changed(garvina::WorkKind current);

private:
    void set(WorkKind kind);

    WorkKind m_current = WorkKind::None;
    bool m_copying = false;
    bool m_engineWaiting = false;
    std::function<void()> m_stopRehearsal;
};

/// The text for a backup, a restore or a stop refused while another backup or restore is under way.
inline QString dataWorkRunningText()
{
    return QStringLiteral("数据库正在备份或还原,请稍后再试!");
}

} // namespace garvina
