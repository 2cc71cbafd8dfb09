#include "workslot.h"

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString workKindName(WorkKind kind)
{
    switch (kind) {
    case WorkKind::None:
        return u"none"_s;
    case WorkKind::StartStop:
        return u"startstop"_s;
    case WorkKind::Backup:
        return u"backup"_s;
    case WorkKind::Restore:
        return u"restore"_s;
    case WorkKind::Rebuild:
        return u"rebuild"_s;
    case WorkKind::Rehearsal:
        return u"rehearsal"_s;
    case WorkKind::Offsite:
        return u"offsite"_s;
    }
    return u"none"_s;
}

WorkSlot::Claim &WorkSlot::Claim::operator=(Claim &&other) noexcept
{
    if (this != &other) {
        release();
        m_slot = other.m_slot;
        other.m_slot = nullptr;
    }
    return *this;
}

void WorkSlot::Claim::release()
{
    if (!m_slot)
        return;
    WorkSlot *slot = m_slot;
    m_slot = nullptr;
    slot->m_copying = false;
    slot->set(WorkKind::None);
}

WorkSlot::Claim WorkSlot::claim(WorkKind kind)
{
    if (kind == WorkKind::None)
        return Claim();
    if (m_current == WorkKind::Rehearsal && kind != WorkKind::Rehearsal && m_stopRehearsal)
        m_stopRehearsal();
    if (busy())
        return Claim();
    set(kind);
    return Claim(this);
}

void WorkSlot::set(WorkKind kind)
{
    if (m_current == kind)
        return;
    m_current = kind;
    Q_EMIT changed(kind);
}

} // namespace garvina
