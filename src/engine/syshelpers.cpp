#include "syshelpers.h"

#include "platform/filesystem.h"
#include "platform/messageboxes.h"
#include "platform/toolrunner.h"

#include <QCoreApplication>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

std::optional<int> f_len(const QString &as_values)
{
    if (as_values.isNull())
        return std::nullopt;
    qsizetype begin = 0;
    qsizetype end = as_values.size();
    while (begin < end && as_values.at(begin) == u' ')
        ++begin;
    while (end > begin && as_values.at(end - 1) == u' ')
        --end;
    return static_cast<int>(QStringView(as_values).mid(begin, end - begin).toUtf8().size());
}

bool f_createdirectory(QString as_path, QString &as_error, const FileSystem &files)
{
    // An empty text would become "/" below; it names no folder and is refused like a relative one.
    const bool absolute = as_path.startsWith(u'/');
    if (!as_path.endsWith(u'/'))
        as_path += u'/';
    if (!absolute) {
        as_error = u"非法路径:"_s + as_path;
        return false;
    }
    if (as_path == u"/"_s) {
        if (QFileInfo(as_path).isDir())
            return true;
        as_error = u"路径 "_s + as_path + u" 无效!"_s;
        return false;
    }
    // Walk from the first "/" to each following one; every prefix must exist as a folder.
    qsizetype p = 0;
    for (;;) {
        const qsizetype next = as_path.indexOf(u'/', p + 1);
        if (next < 0)
            return true;
        const QString prefix = as_path.left(next);
        p = next;
        if (prefix.isEmpty())
            continue;
        const QFileInfo info(prefix);
        if (info.isDir())
            continue;
        if (!files.makeFolder(prefix)) {
            as_error = u"创建目录 "_s + prefix + u" 出错!"_s;
            return false;
        }
    }
}

bool of_executewait(MessageBoxes &boxes, const QString &as_executable, const QStringList &arguments,
                    bool ab_yield, bool ab_show, const QStringList &extraEnvironment, int *exitCode,
                    int timeoutMs)
{
    Q_UNUSED(ab_show) // the programs started here have no windows to show or hide

    ToolRequest request;
    request.program = as_executable;
    request.arguments = arguments;
    request.extraEnvironment = extraEnvironment;
    request.output = ToolRequest::Output::Inherited;
    request.keepEventLoop = ab_yield;
    request.timeoutMs = timeoutMs;
    const ToolResult result = runTool(request);
    if (result.status == ToolResult::Status::NotStarted) {
        boxes.tell(u"警告"_s, u"创建子进程错误，错误码:"_s + QString::number(result.startError));
        return false;
    }
    if (exitCode)
        *exitCode = result.exitCode;
    return true;
}

namespace {

QString programNameOf(const ProcessTable &processes, qint64 pid)
{
    QString target = processes.programFile(pid);
    if (!target.isEmpty()) {
        // A program file replaced while it runs reads as "/path/name (deleted)".
        if (target.endsWith(u" (deleted)"_s))
            target.chop(10);
        return QFileInfo(target).fileName();
    }
    // Another user's processes do not let us read their exe link; their short name still tells.
    return processes.shortName(pid);
}

} // namespace

nvo_cst_api32::nvo_cst_api32() : m_own(std::make_unique<LinuxProcessTable>()), m_processes(*m_own) {}

nvo_cst_api32::nvo_cst_api32(const ProcessTable &processes) : m_processes(processes) {}

nvo_cst_api32::~nvo_cst_api32() = default;

int nvo_cst_api32::of_isrun() const
{
    const qint64 own = m_processes.ownPid();
    if (own <= 0)
        return -1;
    const std::optional<QList<qint64>> pids = m_processes.processes();
    if (!pids)
        return -2;
    QStringList names;
    QString ownName;
    for (const qint64 pid : *pids) {
        // A copy that crashed and was not yet reaped (a zombie) runs no more.
        if (pid != own && !m_processes.alive(pid))
            continue;
        // A copy asked for the service's state, its version or an off-site fetch keeps no shop: a
        // monitoring system polling --status must not make the service's start refuse itself.
        if (pid != own) {
            const QByteArrayList arguments = m_processes.commandLine(pid).mid(1);
            if (arguments.contains("--status") || arguments.contains("--version") ||
                arguments.contains("--fetch-offsite"))
                continue;
        }
        const QString name = programNameOf(m_processes, pid);
        if (name.isEmpty())
            continue; // the process ended while we looked
        names.append(name);
        if (pid == own)
            ownName = name;
    }
    if (names.isEmpty())
        return -3;
    if (ownName.isEmpty())
        ownName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    // comm is cut at 15 bytes; a name read from it matches the start of ours.
    const QString shortOwn = ownName.left(15);
    int count = 0;
    for (const QString &n : std::as_const(names)) {
        if (n == ownName || (n.size() == 15 && n == shortOwn))
            ++count;
    }
    return count;
}

} // namespace garvina
