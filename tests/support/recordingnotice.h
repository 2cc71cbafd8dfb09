#pragma once

#include "platform/notice.h"

namespace garvina::test {

/// A notice that counts how often it was opened and closed.
struct RecordingNotice final : Notice
{
    void open() override
    {
        ++opened;
        shown = true;
    }
    void close() override
    {
        ++closed;
        shown = false;
    }
    bool isOpen() const override { return shown; }
    int opened = 0;
    int closed = 0;
    bool shown = false;
};

} // namespace garvina::test
