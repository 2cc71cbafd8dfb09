#pragma once

#include "platform/servicenotify.h"
#include "support/testprogramfolder.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <memory>

namespace garvina::test {

/// \brief `garvinaserver --service` started in a program folder of its own, with a notify socket as
/// the service manager would give it, on free engine and client ports.
class ServiceProcess
{
public:
    explicit ServiceProcess(const QString &subfolder) : folder(subfolder) {}
    ~ServiceProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }

    /// Lays out the folder, writes \a config beside the ports and starts the service (not waiting).
    bool start(QList<ProfileFile::Entry> config, QString *log)
    {
        if (!folder.layOut(log) || !copyProgramFolderPictures(folder.gs_path) ||
            !QFile::copy(qEnvironmentVariable("GARVINA_BINARY"),
                         folder.gs_path + QStringLiteral("garvinaserver")))
            return false;
        enginePort = TestProgramFolder::freePort();
        folder.setPort(enginePort);
        clientPort = TestProgramFolder::freePort();
        config << ProfileFile::Entry{QStringLiteral("system"), QStringLiteral("sockect"),
                                     QString::number(clientPort)};
        folder.config().write(config);

        const QByteArray socket = QFile::encodeName(folder.homePath()) + "/notify";
        manager = std::make_unique<ServiceNotifyReceiver>(socket);
        if (!manager->isValid())
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), QFile::decodeName(socket));
        env.insert(QStringLiteral("HOME"), folder.homePath());
        env.remove(QStringLiteral("DISPLAY"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(folder.gs_path);
        process.setReadChannel(QProcess::StandardError);
        process.start(folder.gs_path + QStringLiteral("garvinaserver"), {QStringLiteral("--service")});
        return process.waitForStarted();
    }

    /// Waits for the next message to the service manager that holds \a what.
    bool notified(const QByteArray &what, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (manager->receive(static_cast<int>(qMax<qint64>(deadline.remainingTime(), 1))).contains(what))
                return true;
        }
        return false;
    }

    /// All the service wrote to standard error so far.
    QString output()
    {
        // Without an event loop here: take what the pipe holds.
        while (process.waitForReadyRead(10)) {
        }
        m_output += QString::fromUtf8(process.readAllStandardError());
        return m_output;
    }

    TestProgramFolder folder;
    int enginePort = 0;
    int clientPort = 0;
    std::unique_ptr<ServiceNotifyReceiver> manager;
    QProcess process;

private:
    QString m_output;
};

} // namespace garvina::test
