#pragma once

#include "config/profilefile.h"
#include "engine/engineprobe.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

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
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(qEnvironmentVariable("GARVINA_SOURCE_DIR") + QStringLiteral("/scripts/setup-instance.sh"),
                {gs_path});
        const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (log)
            *log = QString::fromUtf8(p.readAll());
        return ok;
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
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("FIREBIRD"), gs_path + QStringLiteral("tool/"));
        env.insert(QStringLiteral("FIREBIRD_LOCK"), gs_path + QStringLiteral("tool/lock"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("isql-fb"), {QStringLiteral("-q"), QStringLiteral("-user"), QStringLiteral("DBA"), file});
        p.write("set heading off;\n" + sql + "\nquit;\n");
        p.closeWriteChannel();
        if (!p.waitForFinished(60000) || p.exitCode() != 0)
            return QString();
        return QString::fromUtf8(p.readAllStandardOutput()).simplified();
    }

    /// Kills an engine left running by a test, whatever state it is in.
    void killEngine() const
    {
        const qint64 pid = runningEnginePid(gs_path);
        if (pid > 0) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            for (int i = 0; i < 100 && processAlive(pid); ++i)
                QThread::msleep(20);
        }
    }

    QString gs_path;

private:
    QTemporaryDir m_dir;
};

} // namespace garvina::test
