#pragma once

#include "platform/messageboxes.h"

#include <QList>
#include <QQueue>

namespace garvina::test {

/// Answers message boxes as scripted (the box's default when nothing is queued) and keeps them.
class RecordingMessageBoxes final : public MessageBoxes
{
public:
    MsgAnswer show(const MessageRequest &request) override
    {
        shown.append(request);
        if (!answers.isEmpty())
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
