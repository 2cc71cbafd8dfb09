#include "ui/form/dataform.h"

#include <QImage>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {

const QColor BackgroundColour(200, 220, 240);
const QColor ClosePictureColour(220, 30, 30);
const QColor ButtonColour(19, 179, 253);
const QColor Red(255, 0, 0);
const QColor Grey(51, 51, 51);

/// A rectangle given in pixels, as form units: the layouts below read more easily in pixels.
QRect units(int x, int y, int w, int h)
{
    return {formPixelsToUnitsX(x), formPixelsToUnitsY(y), formPixelsToUnitsX(w), formPixelsToUnitsY(h)};
}

QString writePicture(const QString &path, const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image.save(path) ? path : QString();
}

/// A small skin in the manner of the main window: a background picture, hotspots with captions that
/// highlight while hovered, a close cross that shows only while hovered, buttons drawn as rounded
/// rectangles with a text on top, a separator line and a group box behind everything but the picture.
struct SampleForm
{
    explicit SampleForm(const QString &folder)
    {
        form.addColumn(u"a"_s, u"停止"_s);
        form.addColumn(u"name"_s);
        form.setFormSize(units(0, 0, 320, 220).size());

        form.addPicture(u"p_1"_s, units(0, 0, 0, 0),
                        writePicture(folder + u"/bg.png"_s, {300, 200}, BackgroundColour));

        FormText &status = form.addText(u"t_1"_s, units(120, 0, 140, 18), u"服务端已停止！"_s);
        status.bindTextColor([](const DataForm &f) {
            return f.getItem(u"a"_s).contains(u"停止"_s) ? Red : QColor(Qt::white);
        });

        form.addText(u"t_13"_s, units(20, 20, 60, 40)).setCursorShape(Qt::PointingHandCursor);

        FormText &server = form.addText(u"t_server"_s, units(10, 50, 100, 20), u"开启服务"_s);
        server.setCursorShape(Qt::PointingHandCursor);
        server.bindTextColor([](const DataForm &f) {
            return f.itemIn(u"name"_s, {u"t_13"_s, u"t_server"_s}) ? Red : Grey;
        });
        server.bindY([](const DataForm &f) {
            return f.itemIn(u"name"_s, {u"t_13"_s, u"t_server"_s}) ? formPixelsToUnitsY(49)
                                                                   : formPixelsToUnitsY(50);
        });

        form.addGroupBox(u"gb_1"_s, units(150, 40, 100, 80), u"常规选项"_s);
        form.addText(u"t_hidden"_s, units(160, 60, 40, 20), u"hidden"_s).setVisible(false);

        form.addText(u"t_close"_s, units(270, 0, 30, 20)).setCursorShape(Qt::PointingHandCursor);
        FormPicture &close =
            form.addPicture(u"p_close"_s, units(272, 2, 0, 0),
                            writePicture(folder + u"/close.png"_s, {17, 17}, ClosePictureColour));
        close.bindVisible([](const DataForm &f) {
            return f.itemIn(u"name"_s, {u"t_close"_s, u"p_close"_s});
        });

        addButton(u"ok"_s, units(120, 150, 60, 24), u"确 定"_s);
        addButton(u"cancel"_s, units(200, 150, 60, 24), u"取 消"_s);

        FormLine &separator = form.addLine(u"l_1"_s, {0, formPixelsToUnitsY(100)},
                                           {formPixelsToUnitsX(300), formPixelsToUnitsY(100)});
        separator.setColor(QColor(145, 165, 185));

        // As the windows do after building: the picture and the group box behind, the cross in front.
        form.sendToBack(u"gb_1"_s);
        form.sendToBack(u"p_1"_s);
        form.bringToFront(u"t_close"_s);
        form.bringToFront(u"p_close"_s);
    }

    void addButton(const QString &key, const QRect &area, const QString &caption)
    {
        const QStringList hovered{u"rr_"_s + key, u"t_"_s + key};
        FormRoundRect &body = form.addRoundRect(u"rr_"_s + key, area);
        body.setCursorShape(Qt::PointingHandCursor);
        body.bindFillColor(
            [hovered](const DataForm &f) { return f.itemIn(u"name"_s, hovered) ? Red : ButtonColour; });
        FormText &text = form.addText(u"t_"_s + key, area, caption);
        text.setAlignment(Qt::AlignCenter);
        text.bindFontWeight(
            [hovered](const DataForm &f) { return f.itemIn(u"name"_s, hovered) ? 700 : 400; });
    }

    DataForm form;
};

} // namespace

class TestDataForm : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    bool showForm(DataForm &form)
    {
        form.resize(form.formSize());
        form.move(40, 40);
        form.show();
        return QTest::qWaitForWindowExposed(&form);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void unitConversion_data()
    {
        QTest::addColumn<QRect>("units");
        QTest::addColumn<QRect>("pixels");
        QTest::newRow("main skin") << QRect(0, 0, 2761, 1664) << QRect(0, 0, 604, 416);
        QTest::newRow("close hint") << QRect(2089, 116, 649, 56) << QRect(457, 29, 142, 14);
        QTest::newRow("close cross") << QRect(2651, 20, 78, 68) << QRect(580, 5, 17, 17);
        QTest::newRow("caption at rest") << QRect(192, 1044, 768, 88) << QRect(42, 261, 168, 22);
        QTest::newRow("caption hovered") << QRect(192, 1040, 768, 88) << QRect(42, 260, 168, 22);
        QTest::newRow("icon hotspot") << QRect(1189, 788, 411, 352) << QRect(260, 197, 90, 88);
    }
    void unitConversion()
    {
        QFETCH(QRect, units);
        QFETCH(QRect, pixels);
        QCOMPARE(formUnitsToPixels(units), pixels);
        // And back: the layouts of the skins convert both ways without drift.
        const QRect back(formPixelsToUnitsX(pixels.x()), formPixelsToUnitsY(pixels.y()),
                         formPixelsToUnitsX(pixels.width()), formPixelsToUnitsY(pixels.height()));
        QCOMPARE(back, units);
    }

    void formSizeFromExtentOrGiven()
    {
        // The restore window shows only the top of its 547 x 416 background.
        DataForm form;
        form.addPicture(u"p_1"_s, {0, 0, 0, 0},
                        writePicture(m_dir.filePath(u"setting_bg.png"_s), {547, 416}, BackgroundColour));
        QCOMPARE(form.formSize(), QSize(547, 416));
        form.setFormSize({2501, 952});
        QCOMPARE(form.formSize(), QSize(547, 238));
        QCOMPARE(form.sizeHint(), QSize(547, 238));
    }

    void pictureThatCannotBeRead()
    {
        DataForm form;
        FormPicture &natural =
            form.addPicture(u"p_missing"_s, units(0, 0, 0, 0), m_dir.filePath(u"nope.jpg"_s));
        FormPicture &sized =
            form.addPicture(u"p_sized"_s, units(50, 0, 20, 20), m_dir.filePath(u"nope.jpg"_s));
        QVERIFY(!natural.isLoaded());
        QVERIFY(natural.pixelRect().isEmpty());
        QCOMPARE(form.objectAt({5, 5}), QString());
        // With a size it still takes its place, draws nothing and does not crash the drawing.
        QCOMPARE(sized.pixelRect(), QRect(50, 0, 20, 20));
        QCOMPARE(form.objectAt({55, 5}), u"p_sized"_s);
        form.resize(80, 30);
        QVERIFY(!form.grab().isNull());

        QVERIFY(sized.setFileName(writePicture(m_dir.filePath(u"late.png"_s), {8, 8}, ClosePictureColour)));
        QVERIFY(sized.isLoaded());
    }

    void objectUnderPointer_data()
    {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<QString>("expected");
        QTest::newRow("background picture") << QPoint(130, 20) << u"p_1"_s;
        QTest::newRow("transparent hotspot") << QPoint(40, 30) << u"t_13"_s;
        QTest::newRow("later object wins where two overlap") << QPoint(40, 55) << u"t_server"_s;
        QTest::newRow("invisible text skipped") << QPoint(170, 65) << u"gb_1"_s;
        QTest::newRow("group box above the background") << QPoint(240, 50) << u"gb_1"_s;
        QTest::newRow("hidden close cross skipped") << QPoint(280, 10) << u"t_close"_s;
        QTest::newRow("button text over its rectangle") << QPoint(150, 160) << u"t_ok"_s;
        QTest::newRow("on the line") << QPoint(50, 101) << u"l_1"_s;
        QTest::newRow("beside the line") << QPoint(50, 104) << u"p_1"_s;
        QTest::newRow("empty space") << QPoint(310, 210) << QString();
    }
    void objectUnderPointer()
    {
        QFETCH(QPoint, point);
        QFETCH(QString, expected);
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        QCOMPARE(form.objectAt(point), expected);

        // The same through the real pointer.
        QVERIFY(showForm(form));
        QTest::mouseMove(&form, point);
        QTRY_COMPARE(form.getObjectAtPointer(), expected.isEmpty() ? QString() : expected + u"\t1"_s);
    }

    void zOrderAndVisibilityChangeTheAnswer()
    {
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        QCOMPARE(form.objectNames().constFirst(), u"p_1"_s);
        QCOMPARE(form.objectNames().at(1), u"gb_1"_s);
        QCOMPARE(form.objectNames().constLast(), u"p_close"_s);

        QVERIFY(form.bringToFront(u"t_13"_s));
        QCOMPARE(form.objectAt({40, 55}), u"t_13"_s);
        QVERIFY(form.sendToBack(u"t_ok"_s));
        QCOMPARE(form.objectAt({150, 160}), u"rr_ok"_s);
        QVERIFY(!form.sendToBack(u"t_nothing"_s));

        form.setItem(u"name"_s, u"t_close"_s);
        QCOMPARE(form.objectAt({280, 10}), u"p_close"_s);
        form.text(u"t_hidden"_s)->setVisible(true);
        QCOMPARE(form.objectAt({170, 65}), u"t_hidden"_s);
    }

    void hoverWritesNameOnChange_data()
    {
        QTest::addColumn<DataForm::HoverRule>("rule");
        QTest::addColumn<QList<QPoint>>("path");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QList<int>>("writes");
        const QPoint hotspot(40, 30), sameHotspot(45, 35), empty(310, 210), caption(60, 62), picture(130, 20);
        const QList<QPoint> path{hotspot, sameHotspot, empty, caption, picture};
        QTest::newRow("settings: empty answers are skipped")
            << DataForm::HoverRule::SkipEmpty << path
            << QStringList{u"t_13"_s, u"t_13"_s, u"t_13"_s, u"t_server"_s, u"p_1"_s}
            << QList<int>{1, 1, 1, 2, 3};
        QTest::newRow("main window: empty space clears the highlight")
            << DataForm::HoverRule::IncludeEmpty << path
            << QStringList{u"t_13"_s, u"t_13"_s, QString(), u"t_server"_s, u"p_1"_s}
            << QList<int>{1, 1, 2, 3, 4};
    }
    void hoverWritesNameOnChange()
    {
        QFETCH(DataForm::HoverRule, rule);
        QFETCH(QList<QPoint>, path);
        QFETCH(QStringList, names);
        QFETCH(QList<int>, writes);
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        form.setHoverColumn(u"name"_s, rule);
        QVERIFY(showForm(form));
        QSignalSpy changed(&form, &DataForm::itemChanged);
        QSignalSpy moved(&form, &DataForm::pointerMoved);

        for (int i = 0; i < path.size(); ++i) {
            QTest::mouseMove(&form, path.at(i));
            QTRY_VERIFY(!moved.isEmpty());
            QCOMPARE(moved.constLast().constFirst().toString(),
                     form.objectAt(path.at(i)).isEmpty() ? QString() : form.objectAt(path.at(i)) + u"\t1"_s);
            QCOMPARE(form.getItem(u"name"_s), names.at(i));
            QCOMPARE(changed.count(), writes.at(i));
            moved.clear();
        }
        for (const QList<QVariant> &signal : std::as_const(changed))
            QCOMPARE(signal.constFirst().toString(), u"name"_s);
    }

    void clearHoverForgetsPreviousAnswer()
    {
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        form.setHoverColumn(u"name"_s);
        QVERIFY(showForm(form));
        QTest::mouseMove(&form, {40, 30});
        QTRY_COMPARE(form.getItem(u"name"_s), u"t_13"_s);

        // Emptying the column by hand keeps the previous answer: no rewrite while still over t_13.
        form.setItem(u"name"_s, QString());
        QTest::mouseMove(&form, {42, 31});
        QTRY_COMPARE(form.getObjectAtPointer(), u"t_13\t1"_s);
        QCOMPARE(form.getItem(u"name"_s), QString());

        form.clearHover();
        QTest::mouseMove(&form, {44, 32});
        QTRY_COMPARE(form.getItem(u"name"_s), u"t_13"_s);
    }

    void expressionsFollowTheRow_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QColor>("serverColour");
        QTest::addColumn<int>("serverTop");
        QTest::addColumn<bool>("closeVisible");
        QTest::addColumn<int>("okWeight");
        QTest::addColumn<int>("cancelWeight");
        QTest::newRow("nothing hovered") << QString() << Grey << 50 << false << 400 << 400;
        QTest::newRow("icon hotspot") << u"t_13"_s << Red << 49 << false << 400 << 400;
        QTest::newRow("caption") << u"t_server"_s << Red << 49 << false << 400 << 400;
        QTest::newRow("close hotspot") << u"t_close"_s << Grey << 50 << true << 400 << 400;
        QTest::newRow("close picture") << u"p_close"_s << Grey << 50 << true << 400 << 400;
        QTest::newRow("ok rectangle") << u"rr_ok"_s << Grey << 50 << false << 700 << 400;
        QTest::newRow("cancel text") << u"t_cancel"_s << Grey << 50 << false << 400 << 700;
    }
    void expressionsFollowTheRow()
    {
        QFETCH(QString, name);
        QFETCH(QColor, serverColour);
        QFETCH(int, serverTop);
        QFETCH(bool, closeVisible);
        QFETCH(int, okWeight);
        QFETCH(int, cancelWeight);
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        // Start from another state so that every row is a change.
        form.setItem(u"name"_s, u"t_ok"_s);
        QSignalSpy changed(&form, &DataForm::itemChanged);

        QVERIFY(form.setItem(u"name"_s, name));
        QCOMPARE(changed.count(), 1);
        const FormText *server = form.text(u"t_server"_s);
        QCOMPARE(server->textColor(), serverColour);
        QCOMPARE(form.objectRect(u"t_server"_s).top(), serverTop);
        QCOMPARE(form.picture(u"p_close"_s)->isVisible(), closeVisible);
        QCOMPARE(form.text(u"t_ok"_s)->fontWeight(), okWeight);
        QCOMPARE(form.text(u"t_ok"_s)->font().weight(), QFont::Weight(okWeight));
        QCOMPARE(form.text(u"t_cancel"_s)->fontWeight(), cancelWeight);
    }

    void statusColourFollowsStateColumn()
    {
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        QCOMPARE(form.text(u"t_1"_s)->textColor(), Red);
        form.setItem(u"a"_s, u"启动"_s);
        QCOMPARE(form.text(u"t_1"_s)->textColor(), QColor(Qt::white));
        form.setItem(u"a"_s, u"已停止"_s);
        QCOMPARE(form.text(u"t_1"_s)->textColor(), Red);

        // A constant replaces the expression.
        form.text(u"t_1"_s)->setTextColor(Grey);
        form.setItem(u"a"_s, u"启动"_s);
        QCOMPARE(form.text(u"t_1"_s)->textColor(), Grey);

        // So can the text itself follow the row, and a constant text take over again.
        form.text(u"t_1"_s)->bindText([](const DataForm &f) {
            return f.getItem(u"a"_s) == u"启动"_s ? u"服务端已启动!"_s : u"服务端已停止!"_s;
        });
        QCOMPARE(form.text(u"t_1"_s)->text(), u"服务端已启动!"_s);
        form.setItem(u"a"_s, u"停止"_s);
        QCOMPARE(form.text(u"t_1"_s)->text(), u"服务端已停止!"_s);
        form.text(u"t_1"_s)->setText(u"服务端已停止！"_s);
        form.setItem(u"a"_s, u"启动"_s);
        QCOMPARE(form.text(u"t_1"_s)->text(), u"服务端已停止！"_s);
    }

    void drawingFollowsExpressions()
    {
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        form.resize(form.formSize());
        const QPoint insideButton(127, 157); // inside rr_ok, away from its caption and corners
        const QPoint onCross(280, 10);

        const QImage before = form.grab().toImage();
        QCOMPARE(before.pixelColor(insideButton), ButtonColour);
        QCOMPARE(before.pixelColor(onCross), BackgroundColour);

        form.setItem(u"name"_s, u"t_ok"_s);
        QCOMPARE(form.grab().toImage().pixelColor(insideButton), Red);
        form.setItem(u"name"_s, u"t_close"_s);
        const QImage after = form.grab().toImage();
        QCOMPARE(after.pixelColor(insideButton), ButtonColour);
        QCOMPARE(after.pixelColor(onCross), ClosePictureColour);
    }

    void clickReportsTopmostObject_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<QString>("expected");
        QTest::newRow("hotspot") << QString() << QPoint(40, 30) << u"t_13"_s;
        QTest::newRow("caption over hotspot") << QString() << QPoint(40, 55) << u"t_server"_s;
        QTest::newRow("button text") << QString() << QPoint(220, 160) << u"t_cancel"_s;
        QTest::newRow("invisible cross") << QString() << QPoint(280, 10) << u"t_close"_s;
        QTest::newRow("visible cross") << u"t_close"_s << QPoint(280, 10) << u"p_close"_s;
        QTest::newRow("empty space") << QString() << QPoint(310, 210) << QString();
    }
    void clickReportsTopmostObject()
    {
        QFETCH(QString, name);
        QFETCH(QPoint, point);
        QFETCH(QString, expected);
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        form.setItem(u"name"_s, name);
        QVERIFY(showForm(form));
        QSignalSpy clicked(&form, &DataForm::clicked);
        QSignalSpy pressed(&form, &DataForm::pressed);
        QSignalSpy drag(&form, &DataForm::dragRequested);

        QTest::mouseClick(&form, Qt::LeftButton, {}, point);
        QCOMPARE(pressed.count(), 1);
        QCOMPARE(drag.count(), 0);
        QCOMPARE(clicked.count(), expected.isEmpty() ? 0 : 1);
        if (!expected.isEmpty())
            QCOMPARE(clicked.constFirst().constFirst().toString(), expected);

        // Other buttons press but do not click.
        QTest::mouseClick(&form, Qt::RightButton, {}, point);
        QCOMPARE(pressed.count(), 2);
        QCOMPARE(clicked.count(), expected.isEmpty() ? 0 : 1);
    }

    void dragRequestedInsteadOfClick_data()
    {
        QTest::addColumn<QPoint>("offset");
        QTest::addColumn<bool>("drags");
        QTest::newRow("a jitter is still a click") << QPoint(2, 1) << false;
        QTest::newRow("a real move drags") << QPoint(30, 20) << true;
    }
    void dragRequestedInsteadOfClick()
    {
        QFETCH(QPoint, offset);
        QFETCH(bool, drags);
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        QVERIFY(showForm(form));
        QSignalSpy clicked(&form, &DataForm::clicked);
        QSignalSpy drag(&form, &DataForm::dragRequested);

        const QPoint start(130, 20);
        QTest::mousePress(&form, Qt::LeftButton, {}, start);
        QTest::mouseMove(&form, start + offset / 2);
        QTest::mouseMove(&form, start + offset);
        QTest::mouseRelease(&form, Qt::LeftButton, {}, start + offset);
        QCOMPARE(drag.count(), drags ? 1 : 0);
        QCOMPARE(clicked.count(), drags ? 0 : 1);
    }

    void pointerShapeFollowsObject()
    {
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        QVERIFY(showForm(form));
        QTest::mouseMove(&form, {40, 30});
        QTRY_COMPARE(form.cursor().shape(), Qt::PointingHandCursor);
        QTest::mouseMove(&form, {130, 20});
        QTRY_COMPARE(form.cursor().shape(), Qt::ArrowCursor);
    }

    void unknownColumnIsRefused()
    {
        DataForm form;
        form.addColumn(u"a"_s, u"x"_s);
        QSignalSpy changed(&form, &DataForm::itemChanged);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"no column.*nmae"_s));
        QVERIFY(!form.setItem(u"nmae"_s, u"t_ok"_s));
        QVERIFY(!form.hasColumn(u"nmae"_s));
        QVERIFY(form.getItem(u"nmae"_s).isNull());
        QCOMPARE(changed.count(), 0);

        // Declaring an existing column keeps its value.
        form.addColumn(u"a"_s, u"y"_s);
        QCOMPARE(form.getItem(u"a"_s), u"x"_s);
    }

    void lookupsCheckTheKind()
    {
        SampleForm sample(m_dir.path());
        DataForm &form = sample.form;
        QVERIFY(form.text(u"t_ok"_s));
        QVERIFY(!form.roundRect(u"t_ok"_s));
        QVERIFY(form.roundRect(u"rr_ok"_s));
        QVERIFY(form.line(u"l_1"_s));
        QVERIFY(form.groupBox(u"gb_1"_s));
        QVERIFY(!form.field(u"name"_s));
        QVERIFY(!form.object(u"t_none"_s));
        QVERIFY(form.objectRect(u"t_none"_s).isNull());
    }
};

QTEST_MAIN(TestDataForm)
#include "tst_dataform.moc"
