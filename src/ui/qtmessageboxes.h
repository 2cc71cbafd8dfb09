#pragma once

#include "platform/messageboxes.h"

class QMessageBox;

namespace garvina {

/// \brief Message boxes on QMessageBox, each also written to standard error as one line "title: text".
///
/// Without a display (the offscreen or minimal platform) nobody could click a box, so each box is
/// answered at once with its default button; questions default to No, which is the safe answer everywhere in
/// the console.
class QtMessageBoxes final : public MessageBoxes
{
public:
    MsgAnswer show(const MessageRequest &request) override;

    static bool headless();
    /// \brief Gives \a box the title, text (always plain text, never markup), icon and buttons of
    /// \a request.
    static void configure(QMessageBox &box, const MessageRequest &request);
};

} // namespace garvina
