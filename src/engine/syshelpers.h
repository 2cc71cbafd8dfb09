#pragma once

#include "platform/filesystem.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace garvina {

class MessageBoxes;

/// \brief Byte length (UTF-8) of \a as_values after removing leading and trailing blanks (character 32
/// only). A null text gives no value.
std::optional<int> f_len(const QString &as_values);

/// Convenience for the usual emptiness test: a null text counts as 0.
inline int f_len0(const QString &s)
{
    return f_len(s).value_or(0);
}

/// \brief Creates the absolute folder \a as_path level by level.
///
/// Returns true when every level exists afterwards. On false, \a as_error holds one of
/// "非法路径:" + path, "路径 " + path + " 无效!" (the path with its trailing "/") or
/// "创建目录 " + prefix + " 出错!" (the level that failed, without one). Folders created before a
/// failing level stay. The folders are made through \a files.
bool f_createdirectory(QString as_path, QString &as_error, const FileSystem &files = LinuxFileSystem());

/// \brief Runs \a as_executable with \a arguments and waits until it has ended.
///
/// The wait sleeps on the child's end (no processor is burnt); with \a ab_yield the event loop keeps
/// running meanwhile so windows still paint. \a ab_show has no meaning for the programs started here and is
/// kept for the callers' sake. A program that cannot be started is reported in a message box
/// "警告" / "创建子进程错误，错误码:" + errno, and the result is false. Otherwise true, whatever the
/// child's exit code, which is stored in \a exitCode when given (-1 for a child killed by a signal,
/// also by the one sent when \a timeoutMs ran out).
bool of_executewait(MessageBoxes &boxes, const QString &as_executable, const QStringList &arguments,
                    bool ab_yield, bool ab_show, const QStringList &extraEnvironment = QStringList(),
                    int *exitCode = nullptr, int timeoutMs = DefaultToolTimeoutMs);

/// \brief Counts the running processes whose program file has the same name as this one's.
class nvo_cst_api32
{
public:
    /// Counts in the system's process table.
    nvo_cst_api32();
    /// Counts in \a processes, which must outlive this object.
    explicit nvo_cst_api32(const ProcessTable &processes);
    ~nvo_cst_api32();

    /// The count (this process included), or -1 when the own process id cannot be had, -2 when the
    /// process list cannot be read, -3 when it holds no entry.
    int of_isrun() const;

private:
    std::unique_ptr<ProcessTable> m_own;
    const ProcessTable &m_processes;
};

} // namespace garvina
