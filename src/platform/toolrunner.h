#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace garvina {

/// The bound of a tool run that names none: a tool that hangs must not hold its caller for ever.
constexpr int DefaultToolTimeoutMs = 60 * 60 * 1000;

/// \brief A bound for a tool that reads and writes files of \a bytes (gbak, dd on a database).
///
/// Ten minutes, and one second more for every 512 KB: the engine's tools unload and reload at tens
/// of megabytes a second even at idle priority, so only a tool that hangs or a disk that is
/// failing reaches it. At most eight hours, so that a rebuild or rehearsal begun at night ends,
/// one way or the other, before the shop opens.
int toolTimeoutForBytes(qint64 bytes);

/// \brief The command that runs a tool after it at idle processor and disk priority (nice 19,
/// ionice idle): for maintenance that must give way to the tills.
inline QStringList idlePriorityCommand()
{
    return {QStringLiteral("/usr/bin/nice"),   QStringLiteral("-n"), QStringLiteral("19"),
            QStringLiteral("/usr/bin/ionice"), QStringLiteral("-c"), QStringLiteral("3")};
}

/// \brief One run of a tool or helper program that is waited for.
struct ToolRequest
{
    enum class Output
    {
        Separate, ///< standard output and standard error each kept on their own
        Merged,   ///< both kept as one stream, in the order written
        Inherited ///< both go where the console's own go
    };

    QString program;
    QStringList arguments;
    /// Entries "NAME=value" added to (or replacing those of) the console's own environment.
    QStringList extraEnvironment;
    /// Names taken out of the environment the child gets.
    QStringList removedEnvironment;
    QString workingDirectory;
    /// Bytes for the child's standard input; without them it reads an empty input.
    std::optional<QByteArray> input;
    Output output = Output::Merged;
    /// After this many milliseconds the child is asked to end (SIGTERM), after \a graceMs more it is
    /// killed. There is always a bound: a negative one is taken as DefaultToolTimeoutMs.
    int timeoutMs = DefaultToolTimeoutMs;
    int graceMs = 5000;
    /// While waiting, run the event loop (timers, painting, sockets; no user input). Only for runTool.
    bool keepEventLoop = false;
};

struct ToolResult
{
    enum class Status
    {
        Exited,    ///< ended by itself; exitCode holds its code
        Signalled, ///< ended by a signal it was not sent by us
        TimedOut,  ///< ended by us when the bound ran out
        Cancelled, ///< ended by us on cancel()
        NotStarted ///< could not be started; startError holds errno
    };

    Status status = Status::NotStarted;
    /// The exit code when status is Exited, otherwise -1.
    int exitCode = -1;
    int startError = 0;
    /// Standard output (with standard error when merged), and standard error when kept apart.
    QByteArray output;
    QByteArray errorOutput;

    bool succeeded() const { return status == Status::Exited && exitCode == 0; }
    /// A short readable reason for a run that did not exit by itself (empty otherwise).
    QString failureText() const;
};

/// \brief Runs \a request and waits until the child has ended.
///
/// The wait sleeps on the kernel's notice of the child's end and of its output (no polling). Once
/// the console's end is requested the child is ended as by cancel(), and nothing is started any more:
/// the result is Cancelled.
ToolResult runTool(const ToolRequest &request);

/// \brief A tool run in the background: start(), then finished() with the same result as runTool.
///
/// cancel() asks the child to end and kills it after the request's grace. Destroying a job whose
/// child still runs does the same, waiting for the child's end (at most the grace), and reaps it.
class ToolJob final : public QObject
{
    Q_OBJECT

public:
    explicit ToolJob(ToolRequest request, QObject *parent = nullptr);
    ~ToolJob() override;

    /// Starts the child. finished() follows also when it cannot start (then from the event loop).
    void start();
    void cancel();
    bool isRunning() const;
    /// The child's process id while it runs, else 0.
    qint64 pid() const;
    const ToolResult &result() const { return m_result; }

Q_SIGNALS:
    void finished(const garvina::ToolResult &result);

private:
    struct Child;
    void endChild();
    void finish();

    ToolRequest m_request;
    ToolResult m_result;
    std::unique_ptr<Child> m_child;
};

} // namespace garvina
