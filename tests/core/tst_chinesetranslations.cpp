#include "core/chinesetranslations.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

using namespace garvina;
using namespace Qt::Literals::StringLiterals;

// The standard buttons and dialogs speak Chinese whatever the locale (the test runs under C).
class TestChineseTranslations : public QObject
{
    Q_OBJECT

    static bool hasLatinWord(const QString &text)
    {
        // Accelerators such as "(&Y)" keep one Latin letter; a whole English word has several.
        QString letters = text;
        letters.remove(u"&"_s);
        int run = 0;
        for (QChar c : letters) {
            run = (c.isLetter() && c.unicode() < 0x80) ? run + 1 : 0;
            if (run >= 2)
                return true;
        }
        return false;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(installChineseTranslations(*qApp)); }

    void messageBoxButtons()
    {
        QMessageBox box(QMessageBox::Question, u"提示"_s, u"是否?"_s,
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Cancel);
        for (auto which : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok, QMessageBox::Cancel}) {
            const QString text = box.button(which)->text();
            QVERIFY2(!text.isEmpty() && !hasLatinWord(text), qPrintable(text));
        }
    }

    void fileDialogLabelsAndButtons()
    {
        QFileDialog dialog(nullptr, u"选择"_s, QDir::tempPath());
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.show();
        const auto labels = dialog.findChildren<QLabel *>();
        QVERIFY(!labels.isEmpty());
        for (const QLabel *label : labels)
            QVERIFY2(!hasLatinWord(label->text()), qPrintable(label->text()));
        const auto buttons = dialog.findChild<QDialogButtonBox *>()->buttons();
        QVERIFY(!buttons.isEmpty());
        for (const QAbstractButton *b : buttons)
            QVERIFY2(!hasLatinWord(b->text()), qPrintable(b->text()));
    }
};

QTEST_MAIN(TestChineseTranslations)
#include "tst_chinesetranslations.moc"
