// A console that does what the upgrade program waits for and nothing else: it answers "HELLO" on
// the client service port of its folder's garvinainfo.dll, writes "new" into the folder's file
// "marker", and ends a moment after its first answer (or after half a minute). With a file "silent"
// beside it, it only writes its process id into "../console.pid" and waits, answering nothing.
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString folder = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const QSettings config(folder + QStringLiteral("garvinainfo.dll"), QSettings::IniFormat);
    const quint16 port = quint16(config.value(QStringLiteral("system/sockect"), 2639).toUInt());

    if (QFile::exists(folder + QStringLiteral("silent"))) {
        QFile pid(folder + QStringLiteral("../console.pid"));
        if (!pid.open(QIODevice::WriteOnly) ||
            pid.write(QByteArray::number(QCoreApplication::applicationPid())) <= 0)
            return 1;
        pid.close();
        QTimer::singleShot(30000, &app, &QCoreApplication::quit);
        return app.exec();
    }

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, port))
        return 1;
    QFile marker(folder + QStringLiteral("marker"));
    if (!marker.open(QIODevice::WriteOnly) || marker.write("new\n") != 4)
        return 1;
    marker.close();

    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server]() {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket]() {
                if (!socket->canReadLine())
                    return;
                if (socket->readLine().startsWith("HELLO ")) {
                    socket->write("OK 9.9.999999\n");
                    QTimer::singleShot(2000, QCoreApplication::instance(), &QCoreApplication::quit);
                }
            });
        }
    });
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    return app.exec();
}
