#include "support/recordingtray.h"
#include "ui/u_icontray.h"
#include "ui/w_notice.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

class TestIconTray : public QObject
{
    Q_OBJECT

    QString pictures() const
    {
        return qEnvironmentVariable("GARVINA_SOURCE_DIR") + u"/resources/programfolder/"_s;
    }

private Q_SLOTS:
    void iconsLoadOrFallBack()
    {
        const QIcon start = u_icontray::ufp_get_hicon(pictures() + u"serverstart.ico"_s);
        const QIcon own = u_icontray::ufp_get_hicon(QString());
        QVERIFY(!start.isNull());
        QVERIFY(!own.isNull());
        const QImage startImage = start.pixmap(32, 32).toImage();
        const QImage ownImage = own.pixmap(32, 32).toImage();
        QVERIFY(startImage != ownImage);

        // The ending is compared without regard to case.
        QTemporaryDir tmp;
        const QString upper = tmp.filePath(u"START.ICO"_s);
        QVERIFY(QFile::copy(pictures() + u"serverstart.ico"_s, upper));
        QCOMPARE(u_icontray::ufp_get_hicon(upper).pixmap(32, 32).toImage(), startImage);

        // Missing files and unreadable pictures show the program's own icon.
        for (const QString &name : {tmp.filePath(u"none.ico"_s), pictures() + u"skin/bg.jpg,x"_s + u"zz"_s,
                                    tmp.filePath(u"none.dll,3"_s)})
            QCOMPARE(u_icontray::ufp_get_hicon(name).pixmap(32, 32).toImage(), ownImage);

        // "file,index" picks a picture inside a file: index 3 of a four-size icon file.
        const QIcon third = u_icontray::ufp_get_hicon(pictures() + u"serverstop.ico,3"_s);
        QVERIFY(!third.isNull());
        QVERIFY(third.pixmap(48, 48).toImage() != ownImage);
        // Letters after the comma read as index 0.
        QVERIFY(!u_icontray::ufp_get_hicon(pictures() + u"serverstop.ico,abc"_s).isNull());
    }

    void operationsAndCuts()
    {
        auto *backend = new test::RecordingTray(true);
        u_icontray tray(backend);
        QVERIFY(tray.trayexists());
        QWidget owner;
        const QString tip200 = QString(200, u'x');
        tray.add_icon(pictures() + u"serverstart.ico"_s, tip200, &owner);
        QVERIFY(backend->visible);
        QCOMPARE(backend->toolTip.size(), 127);
        QCOMPARE(tray.notifyicondata_copy().uflags, 7);

        // Chinese text is cut on a character boundary: 42 characters of 3 bytes fit in 127.
        tray.modify_tip(QString(60, QChar(0x670D)));
        QCOMPARE(backend->toolTip, QString(42, QChar(0x670D)));

        tray.modify_icon(pictures() + u"serverstop.ico"_s);
        tray.show_balloontip(u"温馨提示"_s, u"服务端已停止工作!"_s);
        QCOMPARE(backend->balloons.size(), 1);
        QCOMPARE(backend->balloons.last().title, u"温馨提示"_s);
        QCOMPARE(backend->balloons.last().text, u"服务端已停止工作!"_s);
        // Long enough to be read; an error stays until clicked.
        QCOMPARE(backend->balloons.last().msecs, 10000);
        tray.show_balloontip(u"备份数据库出错"_s, u"x"_s, u_icontray::BalloonKind::Error);
        QCOMPARE(backend->balloons.last().msecs, 0);
        // The balloon comes with the new icon and the tooltip kept from before.
        QCOMPARE(tray.notifyicondata_copy().iconName, pictures() + u"serverstop.ico"_s);
        QCOMPARE(backend->toolTip, QString(42, QChar(0x670D)));
        tray.show_balloontip(QString(100, u't'), QString(300, u'b'));
        QCOMPARE(backend->balloons.last().title.size(), 63);
        QCOMPARE(backend->balloons.last().text.size(), 255);

        QSignalSpy restore(&tray, &u_icontray::restore);
        backend->click(514);
        backend->click(517);
        QCOMPARE(restore.size(), 2);
        QCOMPARE(restore.at(1).at(0).toInt(), 517);

        tray.del_icon();
        QVERIFY(!backend->visible);
    }

    void withoutTrayEverythingIsSilent()
    {
        auto *backend = new test::RecordingTray(false);
        {
            u_icontray tray(backend);
            QVERIFY(!tray.trayexists());
            QWidget owner;
            tray.add_icon(pictures() + u"serverstart.ico"_s, u"tip"_s, &owner);
            tray.show_balloontip(u"a"_s, u"b"_s);
            tray.modify_icon(pictures() + u"serverstop.ico"_s);
            QCOMPARE(backend->iconChanges, 0);
            QVERIFY(backend->balloons.isEmpty());
            QVERIFY(!backend->visible);
        }
    }

    void destroyingRemovesTheIcon()
    {
        auto *backend = new test::RecordingTray(true);
        bool visibleAtEnd = true;
        {
            u_icontray tray(backend);
            QWidget owner;
            tray.add_icon(pictures() + u"serverstart.ico"_s, u"tip"_s, &owner);
            QVERIFY(backend->visible);
            connect(backend, &QObject::destroyed, this, [&] { visibleAtEnd = backend->visible; });
        }
        QVERIFY(!visibleAtEnd);
    }

    void noticeWindows()
    {
        auto notice = NoticeWindow::w_msg();
        QVERIFY(!notice->isOpen());
        notice->close(); // closing a notice that is not open is harmless
        notice->open();
        QVERIFY(notice->isOpen());
        QVERIFY(notice->window()->isVisible());
        QCOMPARE(notice->window()->pixmap().size(), QSize(251, 51));
        QVERIFY(notice->window()->windowFlags() & Qt::FramelessWindowHint);
        notice->close();
        QVERIFY(!notice->isOpen());
        notice->close();

        auto rebuild = NoticeWindow::w_dbunload_msg();
        rebuild->open();
        QCOMPARE(rebuild->window()->pixmap().size(), QSize(251, 51));
        // The two notices show different pictures.
        notice->open();
        QVERIFY(notice->window()->pixmap().toImage() != rebuild->window()->pixmap().toImage());
    }
};

QTEST_MAIN(TestIconTray)
#include "tst_icontray.moc"
