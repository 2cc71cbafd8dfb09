#include "enginewatch.h"

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString engineFaultText(EngineFault fault, int port)
{
    switch (fault) {
    case EngineFault::Gone:
        return u"进程已退出"_s;
    case EngineFault::NotListening:
        return u"端口%1没有监听"_s.arg(port);
    case EngineFault::None:
        break;
    }
    return QString();
}

EngineWatch::Action EngineWatch::check(EngineFault fault, const QDateTime &now)
{
    if (fault != EngineFault::NotListening)
        m_notListeningSince = QDateTime();
    if (fault == EngineFault::None || m_gaveUp)
        return Action::None;
    if (fault == EngineFault::NotListening) {
        if (!m_notListeningSince.isValid())
            m_notListeningSince = now;
        if (m_notListeningSince.secsTo(now) < NotListeningGraceSecs)
            return Action::None;
    }
    while (!m_restarts.empty() && m_restarts.front().secsTo(now) >= WindowSecs)
        m_restarts.pop_front();
    if (int(m_restarts.size()) >= MaxRestarts) {
        m_gaveUp = true;
        return Action::GiveUp;
    }
    return Action::Restart;
}

void EngineWatch::reset()
{
    m_restarts.clear();
    m_notListeningSince = QDateTime();
    m_gaveUp = false;
}

} // namespace garvina
