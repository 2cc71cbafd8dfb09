#pragma once

#include <QString>

namespace garvina {

enum class MsgIcon
{
    Information,
    Question,
    Exclamation,
    StopSign
};
enum class MsgButtons
{
    Ok,
    YesNo
};
enum class MsgAnswer
{
    Ok,
    Yes,
    No
};

struct MessageRequest
{
    QString title;
    QString text;
    MsgIcon icon = MsgIcon::Information;
    MsgButtons buttons = MsgButtons::Ok;
    /// The answer given when the user just presses Enter; for questions always No here.
    MsgAnswer defaultAnswer = MsgAnswer::Ok;
};

/// \brief Every message box of the console goes through this interface.
///
/// The production implementation shows a modal QMessageBox; tests use a recorder that answers as
/// scripted and keeps what was shown.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    virtual MsgAnswer show(const MessageRequest &request) = 0;

    /// A box with one OK button.
    void tell(const QString &title, const QString &text, MsgIcon icon = MsgIcon::Information)
    {
        show({title, text, icon, MsgButtons::Ok, MsgAnswer::Ok});
    }

    /// A Yes/No question with No preselected; true only when the answer is Yes.
    bool ask(const QString &title, const QString &text, MsgIcon icon = MsgIcon::Question)
    {
        return show({title, text, icon, MsgButtons::YesNo, MsgAnswer::No}) == MsgAnswer::Yes;
    }
};

} // namespace garvina
