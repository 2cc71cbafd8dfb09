#pragma once

namespace garvina {

/// \brief A small "please wait" window shown while the console does slow work on its one thread.
///
/// open() shows it and returns at once, after it has been painted; close() is skipped when it is
/// no longer open.
class Notice
{
public:
    virtual ~Notice() = default;
    virtual void open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
};

} // namespace garvina
