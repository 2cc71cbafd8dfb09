#include "ui/qtmessageboxes.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

using namespace garvina;
using namespace Qt::Literals::StringLiterals;

// What a real box shows: texts from servers and files as they are, the buttons and default asked for.
class TestQtMessageBoxes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void boxes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<int>("defaultAnswer");
        QTest::newRow("markup stays text")
            << u"新版本 <b>4.6</b>"_s << int(MsgButtons::Ok) << int(MsgAnswer::Ok);
        QTest::newRow("question, default No")
            << u"是否升级?"_s << int(MsgButtons::YesNo) << int(MsgAnswer::No);
        QTest::newRow("question, default Yes")
            << u"a & b < c"_s << int(MsgButtons::YesNo) << int(MsgAnswer::Yes);
    }
    void boxes()
    {
        QFETCH(QString, text);
        QFETCH(int, buttons);
        QFETCH(int, defaultAnswer);
        QMessageBox box;
        QtMessageBoxes::configure(
            box, {u"提示"_s, text, MsgIcon::Question, MsgButtons(buttons), MsgAnswer(defaultAnswer)});
        QCOMPARE(box.textFormat(), Qt::PlainText);
        box.show();
        const auto labels = box.findChildren<QLabel *>();
        const bool shownAsTyped = std::any_of(labels.begin(), labels.end(), [&](const QLabel *l) {
            return l->text() == text && l->textFormat() == Qt::PlainText;
        });
        QVERIFY(shownAsTyped);
        if (MsgButtons(buttons) == MsgButtons::YesNo) {
            QCOMPARE(box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
            QCOMPARE(
                box.defaultButton(),
                box.button(MsgAnswer(defaultAnswer) == MsgAnswer::Yes ? QMessageBox::Yes : QMessageBox::No));
        } else {
            QCOMPARE(box.standardButtons(), QMessageBox::Ok);
        }
    }
};

QTEST_MAIN(TestQtMessageBoxes)
#include "tst_qtmessageboxes.moc"
