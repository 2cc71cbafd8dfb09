#pragma once

#include "config/profilefile.h"
#include "engine/enginecontrol.h"
#include "engine/engineprobe.h"
#include "platform/processtable.h"
#include "platform/toolrunner.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

namespace garvina::test {

/// A program folder in a temporary directory with its own engine instance and shop database,
/// laid out by the project's set-up script. The engine port is a free one; HOME points into the
/// folder so that the data-source file of the test stays there.
class TestProgramFolder
{
public:
    explicit TestProgramFolder(const QString &subfolder = QStringLiteral("店 铺"))
    {
        gs_path = m_dir.path() + QLatin1Char('/') + subfolder + QLatin1Char('/');
        QDir().mkpath(gs_path);
        qputenv("HOME", QFile::encodeName(m_dir.path()));
    }
    ~TestProgramFolder() { killEngine(); }

    /// Runs the set-up script; false (with the script's output in \a log) when it failed.
    bool layOut(QString *log = nullptr)
    {
        ToolRequest request;
        request.program =
            qEnvironmentVariable("GARVINA_SOURCE_DIR") + QStringLiteral("/scripts/setup-instance.sh");
        request.arguments = {gs_path};
        request.timeoutMs = 120000;
        const ToolResult result = runTool(request);
        if (log)
            *log = QString::fromUtf8(result.output) + result.failureText();
        return result.succeeded();
    }

    static int freePort()
    {
        QTcpServer s;
        s.listen(QHostAddress::Any, 0);
        return s.serverPort();
    }

    ProfileFile config() const { return ProfileFile(gs_path + QStringLiteral("garvinainfo.dll")); }
    void setPort(int port) const
    {
        config().write(QStringLiteral("server"), QStringLiteral("dataport"), QString::number(port));
    }
    QString homePath() const { return m_dir.path(); }

    /// Runs \a sql on a closed database file with the instance's embedded tool and returns what it
    /// printed (no headings), or a null text when the tool failed.
    QString runSql(const QString &file, const QByteArray &sql) const
    {
        ToolRequest request;
        request.program = QStringLiteral("isql-fb");
        request.arguments = {QStringLiteral("-q"), QStringLiteral("-user"), QStringLiteral("DBA"), file};
        request.extraEnvironment = EngineInstance(gs_path).toolEnvironment();
        request.input = "set heading off;\n" + sql + "\nquit;\n";
        request.output = ToolRequest::Output::Separate;
        request.timeoutMs = 60000;
        const ToolResult result = runTool(request);
        if (!result.succeeded())
            return QString();
        return QString::fromUtf8(result.output).simplified();
    }

    /// Kills an engine left running by a test, whatever state it is in.
    void killEngine() const
    {
        const LinuxProcessTable processes;
        const qint64 pid = runningEnginePid(gs_path, processes);
        if (pid > 0) {
            processes.send(pid, ProcessTable::Signal::Kill);
            for (int i = 0; i < 100 && processes.alive(pid); ++i)
                QThread::msleep(20);
        }
    }

    QString gs_path;

private:
    QTemporaryDir m_dir;
};

/// Copies the skin pictures and icons of the program folder (resources/programfolder) into \a gs_path.
inline bool copyProgramFolderPictures(const QString &gs_path)
{
    ToolRequest cp;
    cp.program = QStringLiteral("cp");
    cp.arguments = {QStringLiteral("-r"),
                    qEnvironmentVariable("GARVINA_SOURCE_DIR") + QStringLiteral("/resources/programfolder/."),
                    gs_path};
    return runTool(cp).succeeded();
}

} // namespace garvina::test
