#pragma once

#include "ui/dataform.h"
#include "ui/filedialogs.h"
#include "ui/passwordprompt.h"

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

/// Lets everybody through; the windows under test are opened after the guard.
class GrantingPrompt final : public PasswordPrompt
{
public:
    bool askPassword() override { return true; }
};

/// Clicks the middle of a drawn form object, as the user would.
inline void clickObject(DataForm *form, const QString &name)
{
    QTest::mouseClick(form, Qt::LeftButton, {}, form->objectRect(name).center());
}

} // namespace garvina::test
