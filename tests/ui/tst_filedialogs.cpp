// The production file dialogs, driven like a user would: the dialog opens, is looked at and answered.
#include "core/chinesetranslations.h"
#include "ui/filedialogs.h"
#include "ui/w_restore.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>

using namespace Qt::Literals::StringLiterals;
using namespace garvina;

namespace {

/// Runs \a handle on the file dialog as soon as it is up.
void whenDialogOpens(const std::function<void(QFileDialog *)> &handle)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, handle] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            handle(dialog);
        }
    });
    poll->start(20);
}

/// The names the dialog lists in its current folder.
QStringList listed(QFileDialog *dialog)
{
    QStringList names;
    const auto *view = dialog->findChild<QAbstractItemView *>(u"listView"_s);
    if (!view || !view->model())
        return names;
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
        names.append(view->model()->index(row, 0, view->rootIndex()).data().toString());
    names.sort();
    return names;
}

} // namespace

class TestFileDialogs : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void restoreFilterListsDatabaseFilesOfAnyCase()
    {
        for (const QString &name : {u"a.db"_s, u"b.DB"_s, u"c.Db"_s, u"d.txt"_s, u"e.db.part"_s}) {
            QFile f(m_dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        // Qt's own dialog ignores case, the desktop's may not: every spelling must match as written.
        const QString filter = w_restore::fileFilter();
        const QStringList patterns =
            filter.mid(filter.lastIndexOf(u'(') + 1).chopped(1).split(u' ', Qt::SkipEmptyParts);
        for (const QString &name : {u"a.db"_s, u"b.DB"_s, u"c.Db"_s, u"d.dB"_s}) {
            QVERIFY2(std::any_of(patterns.begin(), patterns.end(),
                                 [&](const QString &p) {
                                     return QRegularExpression(
                                                QRegularExpression::wildcardToRegularExpression(p))
                                         .match(name)
                                         .hasMatch();
                                 }),
                     qPrintable(name));
        }

        QtFileDialogs dialogs;
        QString title;
        QString folder;
        QStringList names;
        whenDialogOpens([&](QFileDialog *dialog) {
            title = dialog->windowTitle();
            folder = dialog->directory().absolutePath();
            // The folder is read in the background; always answer, so that a failure cannot hang.
            if (QTest::qWaitFor([&] { return listed(dialog).size() >= 3; }, 5000))
                QTest::qWait(100); // a file listed late would show here
            names = listed(dialog);
            // Typed into the name field and accepted, as the user does.
            auto *name = dialog->findChild<QLineEdit *>(u"fileNameEdit"_s);
            if (name)
                name->setText(u"c.Db"_s);
            static_cast<QDialog *>(dialog)->accept();
        });
        const QString chosen =
            dialogs.chooseOpenFile(nullptr, u"选择还原的数据库文件"_s, m_dir.path(), w_restore::fileFilter());
        QCOMPARE(title, u"选择还原的数据库文件"_s);
        QCOMPARE(folder, m_dir.path());
        QCOMPARE(names, (QStringList{u"a.db"_s, u"b.DB"_s, u"c.Db"_s}));
        QCOMPARE(chosen, m_dir.filePath(u"c.Db"_s));

        whenDialogOpens([](QFileDialog *dialog) { dialog->reject(); });
        QCOMPARE(dialogs.chooseOpenFile(nullptr, u"t"_s, m_dir.path(), w_restore::fileFilter()), QString());
    }

    void folderChooserSpeaksChineseUnderTheCLocale()
    {
        installChineseTranslations(*qApp);
        const QString folder = m_dir.filePath(u"备份"_s);
        QVERIFY(QDir().mkpath(folder));
        QStringList columns;
        whenDialogOpens([&](QFileDialog *dialog) {
            (void)QTest::qWaitFor([&] { return listed(dialog).contains(u"备份"_s); }, 5000);
            const auto *view = dialog->findChild<QAbstractItemView *>(u"listView"_s);
            const QAbstractItemModel *model = view->model();
            for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
                const QModelIndex name = model->index(row, 0, view->rootIndex());
                if (name.data().toString() == u"备份"_s)
                    columns = {name.siblingAtColumn(2).data().toString(),
                               name.siblingAtColumn(3).data().toString()};
            }
            dialog->findChild<QLineEdit *>(u"fileNameEdit"_s)->setText(u"备份"_s);
            static_cast<QDialog *>(dialog)->accept();
        });
        QCOMPARE(QtFileDialogs().chooseFolder(nullptr, u"请选择备份目录"_s, m_dir.path()), folder);
        QCOMPARE(columns, (QStringList{u"文件夹"_s, QLocale(QLocale::Chinese, QLocale::China)
                                                        .toString(QFileInfo(folder).lastModified(),
                                                                  QLocale::ShortFormat)}));
    }
};

QTEST_MAIN(TestFileDialogs)
#include "tst_filedialogs.moc"
