#include "core/appcontext.h"
#include "support/recordingmessageboxes.h"
#include "ui/m_popmenu.h"
#include "ui/menu/coolmenustyle.h"
#include "ui/menu/n_coolmenu.h"
#include "ui/menu/syscolors.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QRandomGenerator>
#include <QResource>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {

QString serverDll()
{
    return qEnvironmentVariable("GARVINA_SOURCE_DIR") + u"/resources/programfolder/server.dll"_s;
}

QAction *addItem(QMenu &menu, const QString &text, const QString &picture, const QString &tag)
{
    QAction *a = menu.addAction(text);
    if (!picture.isNull())
        a->setProperty(kMenuPictureNameProperty, picture);
    if (!tag.isNull())
        a->setProperty(kMenuTagProperty, tag);
    return a;
}

/// A picture as the library keeps it for painting. A pixmap holds premultiplied pixels, and turning
/// them back into straight ones rounds differently from one processor to the next: pictures are
/// compared premultiplied, which is exact everywhere.
QImage pictureOf(const CoolMenuLibrary &lib, int index, qreal ratio = 1.0)
{
    return lib.image(index)
        .icon.pixmap(QSize(16, 16), ratio)
        .toImage()
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

bool near(const QColor &a, const QColor &b, int tolerance = 8)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}

QByteArray describe(const QColor &c)
{
    return QByteArray::number(c.red()) + ',' + QByteArray::number(c.green()) + ',' +
           QByteArray::number(c.blue()) + " alpha " + QByteArray::number(c.alpha());
}

/// Pops \a menu up and returns what is on screen.
QImage shown(QMenu &menu, QAction *active = nullptr)
{
    menu.popup(QPoint(30, 30));
    if (!QTest::qWaitForWindowExposed(&menu))
        return QImage();
    if (active)
        menu.setActiveAction(active);
    return menu.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

const QStringList kTrayTexts{u"显示主界面"_s, u"功能设置"_s, u"开启服务"_s, u"停止服务"_s, u"退出服务器"_s};
const QList<int> kTrayNumbers{2, 8, 5, 6, 7};

} // namespace

class TestCoolMenu : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    test::RecordingMessageBoxes m_boxes;
    AppContext m_ctx;
    /// 16 x 16 without an alpha channel: red ground, a green block over x 2..5, y 3..6.
    QString m_plainPicture;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_ctx.gs_path = m_dir.path() + u"/"_s;
        m_ctx.boxes = &m_boxes;
        QVERIFY2(QFile::exists(serverDll()), qPrintable(serverDll()));
        // The same file under a root of the test's own, to compare with what the renderer loaded.
        QVERIFY(QResource::registerResource(serverDll(), u"/reference"_s));

        QImage plain(16, 16, QImage::Format_RGB32);
        plain.fill(QColor(255, 0, 0));
        for (int y = 3; y <= 6; ++y)
            for (int x = 2; x <= 5; ++x)
                plain.setPixelColor(x, y, QColor(0, 255, 0));
        m_plainPicture = m_dir.filePath(u"plain.bmp"_s);
        QVERIFY(plain.save(m_plainPicture));
    }

    void serverDllPicturesLoad_data()
    {
        QTest::addColumn<int>("number");
        for (int n : kTrayNumbers)
            QTest::addRow("picture %d", n) << n;
    }
    void serverDllPicturesLoad()
    {
        QFETCH(int, number);
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        const int index = cm.of_addimage(u"server.dll:%1"_s.arg(number), u"id=%1"_s.arg(number));
        QVERIFY(index >= 0);
        QCOMPARE(cm.library().image(index).number, number);

        // Loaded as drawn, without a background colour taken out, in both resolutions.
        const QImage small = QImage(u":/reference/menu/%1.png"_s.arg(number))
                                 .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QImage large = QImage(u":/reference/menu/%1@2x.png"_s.arg(number))
                                 .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QCOMPARE(small.size(), QSize(16, 16));
        QCOMPARE(large.size(), QSize(32, 32));
        QCOMPARE(pictureOf(cm.library(), index), small);
        QCOMPARE(pictureOf(cm.library(), index, 2.0), large);
    }

    void unknownPictureFails_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("tag");
        QTest::newRow("number not in the file") << u"server.dll:3"_s << u"id=3"_s;
        QTest::newRow("number 0 and no such file") << u"server.dll:0"_s << u"id=0"_s;
        QTest::newRow("no number, no such file") << u"server.dll:x"_s << u"id=x"_s;
        QTest::newRow("unknown stock picture") << u"NoSuchStockPicture!"_s << QString();
    }
    void unknownPictureFails()
    {
        QFETCH(QString, name);
        QFETCH(QString, tag);
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        QVERIFY(cm.of_addimage(name, tag) < 0);
        QCOMPARE(cm.library().imageCount(), 0);
    }

    void unusableResourceFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("makeFile");
        QFile real(serverDll());
        QVERIFY(real.open(QIODevice::ReadOnly));
        const QByteArray bytes = real.readAll();
        QByteArray garbage(4096, '\0');
        for (char &c : garbage)
            c = char(QRandomGenerator::global()->bounded(256));

        QTest::newRow("missing") << QByteArray() << false;
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("garbage") << garbage << true;
        QTest::newRow("header only") << bytes.left(20) << true;
        QTest::newRow("cut in the middle") << bytes.left(bytes.size() / 2) << true;
    }
    void unusableResourceFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, makeFile);
        const QString path =
            m_dir.filePath(u"broken-%1.dll"_s.arg(QString::fromUtf8(QTest::currentDataTag())));
        if (makeFile) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(content);
        }

        n_coolmenu cm;
        const bool accepted = cm.of_setresourcefile(path);
        m_popmenu menu(m_ctx);
        QCOMPARE(cm.of_loadimagesfrommenu(&menu), 1);
        if (!accepted) {
            QCOMPARE(cm.library().imageCount(), 0);
            QVERIFY(cm.istr_menudata.isEmpty());
        }
        // Whatever was accepted, every picture that did load is a real one.
        for (int i = 0; i < cm.library().imageCount(); ++i)
            QVERIFY(!pictureOf(cm.library(), i).isNull());
        // The menu still opens and draws.
        cm.of_initialize();
        QVERIFY(!shown(menu).isNull());
        menu.close();

        // The right file later still works.
        QVERIFY(cm.of_setresourcefile(serverDll()));
        QVERIFY(cm.of_addimage(u"server.dll:2"_s, u"id=2"_s) >= 0);
    }

    void trayMenuLoadsOnce()
    {
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        m_popmenu menu(m_ctx);
        QCOMPARE(cm.of_loadimagesfrommenu(&menu), 1);

        QCOMPARE(cm.library().imageCount(), 5);
        QCOMPARE(cm.istr_menudata.size(), 5);
        QCOMPARE(cm.ii_index, 5);
        for (int i = 0; i < kTrayTexts.size(); ++i) {
            const s_menudata &record = cm.istr_menudata.at(i);
            QCOMPARE(record.as_menutext, kTrayTexts[i]);
            QCOMPARE(record.as_toolbaritemname, u"server.dll:%1"_s.arg(kTrayNumbers[i]));
            const int id = cm.library().imageIdForText(kTrayTexts[i]);
            QCOMPARE(id, record.ai_imageid);
            QCOMPARE(cm.library().image(id).number, kTrayNumbers[i]);
            QVERIFY(!cm.library().image(id).transparentColor);
        }

        // The same menu again, and a second menu with the same items: nothing new.
        QCOMPARE(cm.of_loadimagesfrommenu(&menu), 1);
        m_popmenu other(m_ctx);
        QCOMPARE(cm.of_loadimagesfrommenu(&other), 1);
        QCOMPARE(cm.library().imageCount(), 5);
        QCOMPARE(cm.istr_menudata.size(), 5);
    }

    void sharedPictureNameLoadsOnce()
    {
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        QMenu menu;
        addItem(menu, u"甲"_s, u"server.dll:5"_s, u"id=5"_s);
        addItem(menu, u"乙"_s, u"server.dll:5"_s, u"id=5"_s);
        addItem(menu, u"丙"_s, u"server.dll:6"_s, u"id=6"_s);
        cm.of_loadimagesfrommenu(&menu);

        QCOMPARE(cm.library().imageCount(), 2);
        QCOMPARE(cm.istr_menudata.size(), 3);
        const int first = cm.library().imageIdForText(u"甲"_s);
        QVERIFY(first >= 0);
        QCOMPARE(cm.library().imageIdForText(u"乙"_s), first);
        QVERIFY(cm.library().imageIdForText(u"丙"_s) != first);

        int index = 42;
        QVERIFY(cm.of_isloaded(u"server.dll:5"_s, u"乙"_s, index));
        QVERIFY(!cm.of_isloaded(u"server.dll:5"_s, u"丁"_s, index));
        QCOMPARE(index, first);
        QVERIFY(!cm.of_isloaded(u"server.dll:9"_s, u"甲"_s, index));
        QCOMPARE(index, -1);
    }

    // Items with a tag but no picture name must not all share the first such item's picture.
    void itemsWithoutPictureName()
    {
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        QMenu menu;
        addItem(menu, u"A"_s, QString(), u"id=5"_s);
        addItem(menu, u"B"_s, QString(), u"id=6;bc=15"_s);
        addItem(menu, u"C"_s, QString(), u"id=5"_s);
        addItem(menu, u"D"_s, QString(), u"bt=1"_s);
        addItem(menu, u"E"_s, QString(), QString());
        cm.of_loadimagesfrommenu(&menu);

        const CoolMenuLibrary &lib = cm.library();
        QCOMPARE(lib.imageCount(), 2);
        QCOMPARE(lib.image(lib.imageIdForText(u"A"_s)).number, 5);
        QCOMPARE(lib.image(lib.imageIdForText(u"B"_s)).number, 6);
        QCOMPARE(lib.imageIdForText(u"C"_s), lib.imageIdForText(u"A"_s));
        QCOMPARE(lib.imageIdForText(u"D"_s), -1);
        QCOMPARE(lib.imageIdForText(u"E"_s), -1);
    }

    // What reaches the loader from a tag. -1 in "color" means no colour.
    void tagReachesTheLoader_data()
    {
        QTest::addColumn<bool>("throughMenu");
        QTest::addColumn<bool>("filePicture");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<int>("number");
        QTest::addColumn<qint64>("color");
        QTest::addColumn<QPoint>("pixel");

        QTest::newRow("id=2;bc=15 on a menu item: only the part before ';'")
            << true << false << u"id=2;bc=15"_s << 2 << qint64(-1) << QPoint(0, 0);
        QTest::newRow("id=2;bc=15 given directly: button face")
            << false << false << u"id=2;bc=15"_s << 2 << qint64(sysColor(n_coolmenu::color_btnface))
            << QPoint(0, 0);
        QTest::newRow("bc=255: the colour itself, pure red")
            << false << true << u"bc=255"_s << 0 << qint64(0xFF) << QPoint(0, 0);
        QTest::newRow("bc=3-4: a pixel position")
            << false << true << u"bc=3-4"_s << 0 << qint64(-1) << QPoint(3, 4);
        QTest::newRow("bc=0: first system colour")
            << false << true << u"bc=0"_s << 0 << qint64(sysColor(n_coolmenu::color_scrollbar))
            << QPoint(0, 0);
        QTest::newRow("bc=28: last system colour")
            << false << true << u"bc=28"_s << 0 << qint64(sysColor(n_coolmenu::color_max)) << QPoint(0, 0);
        QTest::newRow("bc=29: a colour") << false << true << u"bc=29"_s << 0 << qint64(29) << QPoint(0, 0);
        QTest::newRow("bc=16777215: white")
            << false << true << u"bc=16777215"_s << 0 << qint64(0xFFFFFF) << QPoint(0, 0);
        QTest::newRow("bc= not a number: no colour")
            << false << true << u"bc=grey"_s << 0 << qint64(-1) << QPoint(0, 0);
        QTest::newRow("no bc") << false << false << u"id=6"_s << 6 << qint64(-1) << QPoint(0, 0);
        QTest::newRow("bc between other parts")
            << false << false << u"bt=1;bc=7-9;id=6"_s << 6 << qint64(-1) << QPoint(7, 9);
    }
    void tagReachesTheLoader()
    {
        QFETCH(bool, throughMenu);
        QFETCH(bool, filePicture);
        QFETCH(QString, tag);
        QFETCH(int, number);
        QFETCH(qint64, color);
        QFETCH(QPoint, pixel);

        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        const QString name = filePicture ? m_plainPicture : u"server.dll:x"_s;
        int index = -1;
        if (throughMenu) {
            QMenu menu;
            addItem(menu, u"项"_s, name, tag);
            cm.of_loadimagesfrommenu(&menu);
            index = cm.library().imageIdForText(u"项"_s);
        } else {
            index = cm.of_addimage(name, tag);
        }
        QVERIFY(index >= 0);
        const CoolMenuLibrary::Image &image = cm.library().image(index);
        QCOMPARE(image.number, number);
        QCOMPARE(image.source, filePicture ? m_plainPicture : QString());
        QCOMPARE(image.transparentColor.has_value(), color >= 0);
        if (color >= 0)
            QCOMPARE(qint64(*image.transparentColor), color);
        QCOMPARE(image.transparentPixel, pixel);
    }

    // The background colour really turns transparent in the loaded picture.
    void transparentColourTakesEffect_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<bool>("redGone");
        QTest::addColumn<bool>("greenGone");
        QTest::newRow("bc=255 (red)") << u"bc=255"_s << true << false;
        QTest::newRow("bc=65280 (green)") << u"bc=65280"_s << false << true;
        QTest::newRow("bc=16711680 (blue, not in the picture)") << u"bc=16711680"_s << false << false;
        QTest::newRow("bc=3-4 (a green pixel)") << u"bc=3-4"_s << false << true;
        QTest::newRow("bc=15 (button face, not in the picture)") << u"bc=15"_s << false << false;
        QTest::newRow("no bc: the top left pixel's colour") << QString() << true << false;
        QTest::newRow("bc=99-99 (outside the picture)") << u"bc=99-99"_s << false << false;
    }
    void transparentColourTakesEffect()
    {
        QFETCH(QString, tag);
        QFETCH(bool, redGone);
        QFETCH(bool, greenGone);
        n_coolmenu cm;
        const int index = cm.of_addimage(m_plainPicture, tag);
        QVERIFY(index >= 0);
        const QImage img = pictureOf(cm.library(), index);
        QCOMPARE(qAlpha(img.pixel(0, 0)) == 0, redGone);
        QCOMPARE(qAlpha(img.pixel(15, 15)) == 0, redGone);
        QCOMPARE(qAlpha(img.pixel(3, 4)) == 0, greenGone);
        QCOMPARE(qAlpha(img.pixel(5, 6)) == 0, greenGone);
    }

    void backgroundOfANumberedPicture()
    {
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        // Picture 6 is a red square with transparent corners: its centre colour goes, at both sizes.
        const int plain = cm.of_addimage(u"server.dll:6"_s, u"id=6"_s);
        const int masked = cm.of_addimage(u"server.dll:6b"_s, u"id=6;bc=8-8"_s);
        QCOMPARE(qAlpha(pictureOf(cm.library(), plain).pixel(8, 8)), 255);
        QCOMPARE(qAlpha(pictureOf(cm.library(), masked).pixel(8, 8)), 0);
        QCOMPARE(qAlpha(pictureOf(cm.library(), masked, 2.0).pixel(16, 16)), 0);
        // A transparent corner pixel names no colour: nothing else changes.
        const int corner = cm.of_addimage(u"server.dll:6c"_s, u"id=6;bc=0-0"_s);
        QCOMPARE(pictureOf(cm.library(), corner), pictureOf(cm.library(), plain));
    }

    void textStyleFromTag_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<bool>("applied");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<bool>("underline");
        QTest::addColumn<uint>("color");
        QTest::newRow("bold") << u"bt=1"_s << true << true << false << false << 0u;
        QTest::newRow("italic and colour") << u"it=1;tc=255"_s << true << false << true << false << 255u;
        QTest::newRow("underline") << u"ut=1"_s << true << false << false << true << 0u;
        QTest::newRow("with a picture id") << u"id=2;bt=1;ut=1"_s << true << true << false << true << 0u;
        QTest::newRow("colour only") << u"tc=16711680"_s << true << false << false << false << 16711680u;
        QTest::newRow("picture only") << u"id=2"_s << false << false << false << false << 0u;
        QTest::newRow("bold switched off") << u"bt=0"_s << false << false << false << false << 0u;
        QTest::newRow("empty") << QString() << false << false << false << false << 0u;
    }
    void textStyleFromTag()
    {
        QFETCH(QString, tag);
        QFETCH(bool, applied);
        QFETCH(bool, bold);
        QFETCH(bool, italic);
        QFETCH(bool, underline);
        QFETCH(uint, color);
        n_coolmenu cm;
        QCOMPARE(cm.of_setmenuitemprops(u"项"_s, tag), applied);
        const auto props = cm.library().menuItemProps(u"项"_s);
        QCOMPARE(props.has_value(), applied);
        if (!props)
            return;
        QCOMPARE(props->bold, bold);
        QCOMPARE(props->italic, italic);
        QCOMPARE(props->underline, underline);
        QCOMPARE(props->color, color);
    }

    void subMenusAreWalked()
    {
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        QMenu top;
        QMenu *file = top.addMenu(u"文件"_s); // an item without a picture of its own
        addItem(*file, u"打开"_s, u"server.dll:5"_s, u"id=5"_s);
        file->addSeparator();
        QMenu *deeper = file->addMenu(u"更多"_s);
        addItem(*deeper, u"关闭"_s, u"server.dll:7"_s, u"id=7"_s);
        deeper->addMenu(&top); // a loop back to the top: walked once, not forever

        QCOMPARE(cm.of_loadimagesfrommenu(&top), 1);
        QCOMPARE(cm.library().imageCount(), 2);
        QCOMPARE(cm.library().image(cm.library().imageIdForText(u"打开"_s)).number, 5);
        QCOMPARE(cm.library().image(cm.library().imageIdForText(u"关闭"_s)).number, 7);
        QCOMPARE(cm.library().imageIdForText(u"文件"_s), -1);
    }

    void toolbarVisibleOnly_data()
    {
        QTest::addColumn<bool>("visibleOnly");
        QTest::newRow("all items") << false;
        QTest::newRow("visible toolbar entries only") << true;
    }
    void toolbarVisibleOnly()
    {
        QFETCH(bool, visibleOnly);
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        cm.of_settoolbarvisibleonly(visibleOnly);
        QMenu menu;
        addItem(menu, u"隐"_s, u"server.dll:5"_s, u"id=5"_s)->setProperty(kMenuToolbarVisibleProperty, false);
        addItem(menu, u"显"_s, u"server.dll:6"_s, u"id=6"_s)->setProperty(kMenuToolbarVisibleProperty, true);
        addItem(menu, u"无"_s, u"server.dll:7"_s, u"id=7"_s);
        cm.of_loadimagesfrommenu(&menu);
        QCOMPARE(cm.library().imageIdForText(u"隐"_s) >= 0, !visibleOnly);
        QVERIFY(cm.library().imageIdForText(u"显"_s) >= 0);
        QVERIFY(cm.library().imageIdForText(u"无"_s) >= 0);
    }

    void pictureFollowsChangedText()
    {
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        QMenu menu;
        addItem(menu, u"开启服务"_s, u"server.dll:5"_s, u"id=5;bt=1"_s);
        cm.of_loadimagesfrommenu(&menu);
        const int id = cm.library().imageIdForText(u"开启服务"_s);
        QVERIFY(id >= 0);

        QVERIFY(cm.of_changemenutext(u"开启服务"_s, u"启动"_s));
        QCOMPARE(cm.library().imageIdForText(u"启动"_s), id);
        QCOMPARE(cm.library().imageIdForText(u"开启服务"_s), -1);
        QVERIFY(cm.library().menuItemProps(u"启动"_s).has_value());
        QVERIFY(!cm.of_changemenutext(u"没有的"_s, u"别的"_s));

        // Rebinding a new text: an already loaded picture is reused, a new one loaded.
        QCOMPARE(cm.of_changemenutext(u"再启动"_s, u"启动"_s, u"server.dll:5"_s, u"id=5"_s), 1);
        QCOMPARE(cm.library().imageIdForText(u"再启动"_s), id);
        QCOMPARE(cm.of_changemenutext(u"停"_s, u"再启动"_s, u"server.dll:6"_s, u"id=6"_s), 1);
        QCOMPARE(cm.library().image(cm.library().imageIdForText(u"停"_s)).number, 6);
        QCOMPARE(cm.library().imageCount(), 2);
        QCOMPARE(cm.of_changemenutext(u"坏"_s, u"停"_s, u"server.dll:3"_s, u"id=3"_s), -1);
    }

    void requestorWindowAndNamedMenu()
    {
        n_coolmenu cm;
        QVERIFY(cm.of_setresourcefile(serverDll()));
        QWidget window;
        auto *menu = new QMenu(&window);
        menu->setObjectName(u"m_window"_s);
        addItem(*menu, u"窗口项"_s, u"server.dll:8"_s, u"id=8"_s);

        cm.of_setrequestor(&window);
        cm.of_setrequestor(&window);
        QCOMPARE(cm.iw_requestor.data(), &window);
        auto *style = qobject_cast<CoolMenuStyle *>(menu->style());
        QVERIFY(style);
        QCOMPARE(&style->library(), &cm.library());
        QCOMPARE(window.findChildren<CoolMenuStyle *>().size(), 1);

        QCOMPARE(cm.of_setmenu(u"m_window"_s), 1);
        QCOMPARE(cm.library().image(cm.library().imageIdForText(u"窗口项"_s)).number, 8);
        QCOMPARE(cm.of_setmenu(u"m_nosuchmenu"_s), 1);
        QCOMPARE(cm.library().imageCount(), 1);

        cm.of_uninitialize();
        auto *after = qobject_cast<CoolMenuStyle *>(menu->style());
        QVERIFY(!after || &after->library() != &cm.library());

        // Installed for the whole application, and taken out again.
        cm.of_initialize();
        QVERIFY(cm.library().installedForApplication());
        cm.of_uninitialize();
        QVERIFY(!qobject_cast<CoolMenuStyle *>(QApplication::style()));
    }

    void stockAndBoundPictures()
    {
        n_coolmenu cm;
        const int save = cm.of_addimage(u"Save!"_s, QString());
        QVERIFY(save >= 0);
        QCOMPARE(cm.library().image(save).source, u"Save!"_s);
        QVERIFY(!pictureOf(cm.library(), save).isNull());

        const int bound = cm.of_addmenubitmap(u"另存"_s, QIcon(m_plainPicture));
        QVERIFY(bound >= 0);
        QCOMPARE(cm.library().imageIdForText(u"另存"_s), bound);
        QVERIFY(cm.of_addmenubitmap(u"空"_s, QIcon()) < 0);
    }

    // ------------------------------------------------------------------------------ drawing

    void pictureIsDrawnAtTheItemsLeft()
    {
        n_coolmenu with;
        with.of_initialize();
        QVERIFY(with.of_setresourcefile(serverDll()));
        m_popmenu menu(m_ctx);
        with.of_loadimagesfrommenu(&menu);
        menu.setServiceRunning(false);

        // The most frequent fully opaque colour of picture 5 (the green triangle).
        const QImage picture = QImage(u":/reference/menu/5.png"_s).convertToFormat(QImage::Format_ARGB32);
        QHash<QRgb, int> counts;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                if (qAlpha(picture.pixel(x, y)) == 255)
                    ++counts[picture.pixel(x, y)];
        QRgb dominant = 0;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            if (it.value() > counts.value(dominant))
                dominant = it.key();
        QVERIFY(counts.value(dominant) > 10);

        auto countInColumn = [&](const QImage &img, QAction *item) {
            const QRect r = menu.actionGeometry(item);
            int n = 0;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = 0; x < r.left() + CoolMenuStyle::PictureColumn; ++x)
                    n += img.pixel(x, y) == dominant;
            return n;
        };
        const QImage img = shown(menu);
        menu.close();
        QVERIFY(countInColumn(img, menu.m_start) >= counts.value(dominant));
        QCOMPARE(countInColumn(img, menu.m_setting), 0);

        // The binding is by text, so any menu showing it gets the picture; a renderer with nothing
        // loaded draws none.
        n_coolmenu without;
        without.of_initialize();
        m_popmenu bare(m_ctx);
        bare.setServiceRunning(false);
        const QImage bareImg = shown(bare);
        bare.close();
        const QRect r = bare.actionGeometry(bare.m_start);
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = 0; x < r.left() + CoolMenuStyle::PictureColumn; ++x)
                n += bareImg.pixel(x, y) == dominant;
        QCOMPARE(n, 0);
    }

    // Colours are given as Windows stores them (0x00BBGGRR).
    void looksAndColours_data()
    {
        QTest::addColumn<int>("look");
        QTest::addColumn<QColor>("column");
        QTest::newRow("normal") << n_coolmenu::menustylenormal << QColor(255, 255, 0);
        QTest::newRow("2000") << n_coolmenu::menustyleoffice2k << QColor(255, 255, 0);
        QTest::newRow("XP") << n_coolmenu::menustyleofficexp << QColor(0, 255, 0);
        QTest::newRow("2003") << n_coolmenu::menustyleoffice2k3 << QColor(255, 0, 0);
    }
    void looksAndColours()
    {
        QFETCH(int, look);
        QFETCH(QColor, column);
        n_coolmenu cm;
        cm.of_initialize();
        switch (look) {
        case n_coolmenu::menustylenormal:
            cm.of_setnormalstyle();
            break;
        case n_coolmenu::menustyleoffice2k:
            cm.of_set2kstyle();
            break;
        case n_coolmenu::menustyleofficexp:
            cm.of_setxpstyle();
            break;
        default:
            cm.of_set2k3style();
            break;
        }
        QCOMPARE(cm.of_getmenustyle(), look);
        cm.of_setxpmenucolor(0x00FFFF);           // yellow
        cm.of_setxpbmpbkcolor(0x00FF00);          // green
        cm.of_set2k3gradient(0x0000FF, 0xFF0000); // red to blue
        cm.of_setxpselectedcolor(0xFF00FF);       // magenta
        cm.of_setxppencolor(0x000000);

        m_popmenu menu(m_ctx);
        const QImage img = shown(menu, menu.m_setting);
        menu.close();
        QVERIFY(!img.isNull());
        const int fw = menu.style()->pixelMetric(QStyle::PM_MenuPanelWidth, nullptr, &menu);

        const QRect plain = menu.actionGeometry(menu.m_exit);
        const QColor atColumnStart = img.pixelColor(fw, plain.top() + 1);
        QVERIFY2(near(atColumnStart, column, 12), describe(atColumnStart));
        const QColor inText = img.pixelColor(plain.right() - 6, plain.top() + 1);
        QVERIFY2(near(inText, QColor(255, 255, 0)), describe(inText));

        const QRect selected = menu.actionGeometry(menu.m_setting);
        const QColor highlight = img.pixelColor(selected.right() - 6, selected.center().y());
        QVERIFY2(near(highlight, QColor(255, 0, 255)), describe(highlight));

        // Back to the library's own colours.
        cm.of_setxpdefaults();
        const QImage again = shown(menu);
        menu.close();
        QVERIFY(!near(again.pixelColor(plain.right() - 6, plain.top() + 1), QColor(255, 255, 0), 30));
    }

    void frameAndShadow_data()
    {
        QTest::addColumn<bool>("flat");
        QTest::addColumn<bool>("shadow");
        QTest::newRow("raised") << false << false;
        QTest::newRow("flat") << true << false;
        QTest::newRow("raised with shadow") << false << true;
        QTest::newRow("flat with shadow") << true << true;
    }
    void frameAndShadow()
    {
        QFETCH(bool, flat);
        QFETCH(bool, shadow);
        n_coolmenu cm;
        cm.of_initialize();
        cm.of_set2k3style();
        cm.of_setxpmenucolor(0x00FFFF);           // yellow
        cm.of_set2k3gradient(0x0000FF, 0x0000FF); // red column
        cm.of_setxppencolor(0x800000);            // navy
        cm.of_setflatmenu(flat);
        cm.of_setshadow(false);
        m_popmenu reference(m_ctx);
        const QSize plainSize = shown(reference).size();
        reference.close();

        cm.of_setshadow(shadow);
        m_popmenu menu(m_ctx);
        const QImage img = shown(menu);
        menu.close();
        QVERIFY(!img.isNull());

        const int extra = shadow ? CoolMenuStyle::ShadowWidth : 0;
        QCOMPARE(img.size(), plainSize + QSize(extra, extra));
        const int y = menu.actionGeometry(menu.m_exit).center().y();
        QVERIFY2(near(img.pixelColor(0, y), QColor(0, 0, 128)), describe(img.pixelColor(0, y)));
        // A flat frame is one line, the column starts right after it; a raised one is two lines.
        const QColor second = img.pixelColor(1, y);
        QVERIFY2(near(second, flat ? QColor(255, 0, 0) : QColor(255, 255, 0)), describe(second));

        const int right = img.width() - 1;
        if (shadow) {
            QCOMPARE(img.pixelColor(right, 0).alpha(), 0);
            const QColor shade = img.pixelColor(right - extra + 1, img.height() / 2);
            QVERIFY2(shade.alpha() > 0 && shade.alpha() < 255 && shade.value() < 60, describe(shade));
        } else {
            QVERIFY2(near(img.pixelColor(right, y), QColor(0, 0, 128)), describe(img.pixelColor(right, y)));
            QCOMPARE(img.pixelColor(right, 0).alpha(), 255);
        }
    }

    void boldTagWidensTheItem()
    {
        n_coolmenu cm;
        cm.of_initialize();
        QMenu menu;
        // Latin text: a CJK font without a bold face keeps its width when made bold.
        addItem(menu, u"Exit the server"_s, QString(), u"bt=1"_s);
        const int before = menu.sizeHint().width();
        cm.of_loadimagesfrommenu(&menu);
        // The menu measures its items again once their text style is known.
        QVERIFY(menu.sizeHint().width() > before);
    }
};

QTEST_MAIN(TestCoolMenu)
#include "tst_coolmenu.moc"
