#pragma once

#include "support/testprogramfolder.h"
#include "ui/filedialogs.h"
#include "ui/form/dataform.h"

#include <QList>
#include <QQueue>
#include <QTest>

namespace garvina::test {

/// Answers the file dialogs as scripted (the empty text, a cancel, when nothing is queued) and keeps
/// every request.
class RecordingFileDialogs final : public FileDialogs
{
public:
    struct Request
    {
        QString title;
        QString start;
        QString filter; ///< empty for the folder chooser
    };

    QString chooseFolder(QWidget *, const QString &title, const QString &start) override
    {
        requests.append({title, start, QString()});
        return answers.isEmpty() ? QString() : answers.dequeue();
    }
    QString chooseOpenFile(QWidget *, const QString &title, const QString &start,
                           const QString &filter) override
    {
        requests.append({title, start, filter});
        return answers.isEmpty() ? QString() : answers.dequeue();
    }

    QQueue<QString> answers;
    QList<Request> requests;
};

/// Clicks the middle of a drawn form object, as the user would.
inline void clickObject(DataForm *form, const QString &name)
{
    QTest::mouseClick(form, Qt::LeftButton, {}, form->objectRect(name).center());
}

/// Copies the skin pictures, icons and menu pictures of the source tree's program folder into
/// \a gs_path; false when the copy failed.

} // namespace garvina::test
