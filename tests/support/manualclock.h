#pragma once

#include "platform/clock.h"

namespace garvina::test {

/// A clock that stands still until the test moves it.
class ManualClock final : public Clock
{
public:
    explicit ManualClock(QDateTime start = QDateTime(QDate(2013, 8, 29), QTime(15, 13, 0)))
        : current(std::move(start))
    {}
    QDateTime now() const override { return current; }
    void set(const QDateTime &t) { current = t; }
    void advance(qint64 msecs) { current = current.addMSecs(msecs); }

    QDateTime current;
};

} // namespace garvina::test
