// Messages to the service manager: a path socket, an abstract one, and names that must not be used.
#include "platform/servicenotify.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace garvina;

class TestServiceNotify : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void delivered_data()
    {
        QTest::addColumn<QByteArray>("bound"); // where the manager listens; empty: nowhere
        QTest::addColumn<QByteArray>("named"); // what NOTIFY_SOCKET says; empty: not set
        QTest::addColumn<bool>("sent");
        const QByteArray path = QFile::encodeName(m_dir.path()) + "/notify";
        const QByteArray abstract =
            "@garvina-notify-" + QByteArray::number(QCoreApplication::applicationPid());
        QTest::newRow("path") << path << path << true;
        QTest::newRow("abstract") << abstract << abstract << true;
        QTest::newRow("abstract name is not the path") << abstract << abstract.mid(1) << false;
        QTest::newRow("not set") << path << QByteArray() << false;
        QTest::newRow("nobody listens") << QByteArray() << path + "-gone" << false;
    }
    void delivered()
    {
        QFETCH(QByteArray, bound);
        QFETCH(QByteArray, named);
        QFETCH(bool, sent);
        std::optional<ServiceNotifyReceiver> manager;
        if (!bound.isEmpty()) {
            manager.emplace(bound);
            QVERIFY(manager->isValid());
        }
        if (named.isEmpty())
            qunsetenv("NOTIFY_SOCKET");
        else
            qputenv("NOTIFY_SOCKET", named);
        QCOMPARE(notifyServiceManager("READY=1\nSTATUS=服务端已启动工作!"), sent);
        if (manager)
            QCOMPARE(manager->receive(sent ? 2000 : 100),
                     sent ? QByteArray("READY=1\nSTATUS=服务端已启动工作!") : QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestServiceNotify)
#include "tst_servicenotify.moc"
