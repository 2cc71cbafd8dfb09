#include "filedialogs.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QIdentityProxyModel>
#include <QLocale>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

namespace {

/// \brief The dialog's columns as the program's locale has them. Qt's file model writes dates in the
/// machine's locale ("11 Dec 2026" under C) whatever QLocale's default, and qtbase's Chinese
/// translations leave its types ("Folder", "db File") in English.
class ChineseFileColumns final : public QIdentityProxyModel
{
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex &index, int role) const override
    {
        const auto *files = qobject_cast<const QFileSystemModel *>(sourceModel());
        if (role != Qt::DisplayRole || !files ||
            (index.column() != TypeColumn && index.column() != DateColumn))
            return QIdentityProxyModel::data(index, role);
        const QModelIndex source = mapToSource(index);
        if (index.column() == DateColumn)
            return QLocale().toString(files->lastModified(source), QLocale::ShortFormat);
        const QFileInfo info = files->fileInfo(source);
        if (info.isDir())
            return u"文件夹"_s;
        return info.suffix().isEmpty() ? u"文件"_s : info.suffix() + u" 文件"_s;
    }

private:
    static constexpr int TypeColumn = 2;
    static constexpr int DateColumn = 3;
};

QString runDialog(QFileDialog &dialog)
{
    // The desktop's own dialog would speak the machine's language.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setProxyModel(new ChineseFileColumns(&dialog));
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

} // namespace

QString QtFileDialogs::chooseFolder(QWidget *parent, const QString &title, const QString &start)
{
    QFileDialog dialog(parent, title, start);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    return runDialog(dialog);
}

QString QtFileDialogs::chooseOpenFile(QWidget *parent, const QString &title, const QString &start,
                                      const QString &filter)
{
    QFileDialog dialog(parent, title, start, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    return runDialog(dialog);
}

} // namespace garvina
