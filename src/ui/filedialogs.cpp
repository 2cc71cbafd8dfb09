#include "filedialogs.h"

#include <QFileDialog>

namespace garvina {

QString QtFileDialogs::chooseFolder(QWidget *parent, const QString &title, const QString &start)
{
    return QFileDialog::getExistingDirectory(parent, title, start);
}

QString QtFileDialogs::chooseOpenFile(QWidget *parent, const QString &title, const QString &start,
                                      const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, title, start, filter);
}

} // namespace garvina
