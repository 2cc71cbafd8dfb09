#pragma once

#include "platform/messageboxes.h"

#include <QList>
#include <QQueue>

namespace garvina::test {

/// Answers questions as scripted (the box's default when nothing is queued) and keeps every box.
/// Boxes with only an OK button take no scripted answer.
class RecordingMessageBoxes final : public MessageBoxes
{
public:
    MsgAnswer show(const MessageRequest &request) override
    {
        shown.append(request);
        if (request.buttons == MsgButtons::YesNo && !answers.isEmpty())
            return answers.dequeue();
        return request.defaultAnswer;
    }

    void answerNext(MsgAnswer answer) { answers.enqueue(answer); }
    QStringList texts() const
    {
        QStringList out;
        for (const MessageRequest &r : shown)
            out.append(r.text);
        return out;
    }
    const MessageRequest &last() const { return shown.constLast(); }

    QList<MessageRequest> shown;
    QQueue<MsgAnswer> answers;
};

} // namespace garvina::test
