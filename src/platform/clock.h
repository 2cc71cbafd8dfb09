#pragma once

#include <QDateTime>

namespace garvina {

/// \brief Source of the current local date and time.
///
/// Everything that reads the time goes through this interface, so that tests can move the clock.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

} // namespace garvina
