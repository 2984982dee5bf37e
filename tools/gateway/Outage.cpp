#include "Outage.h"

namespace veskorgw {

Outage::Say Outage::fail(qint64 nowMs, const QString &cause, qint64 sinceMs)
{
    m_cause = cause;
    if (!m_failing) {
        m_failing = true;
        m_sinceMs = sinceMs >= 0 && sinceMs < nowMs ? sinceMs : nowMs;
        m_saidMs = nowMs;
        m_said = QStringList{cause};
        return Say::Began;
    }
    if (!m_said.contains(cause) && m_said.size() < kCausesKept) {
        m_said.append(cause);
        m_saidMs = nowMs;
        return Say::NewCause;
    }
    if (nowMs - m_saidMs < m_repeatMs)
        return Say::Nothing;
    m_saidMs = nowMs;
    return Say::Still;
}

Outage::Say Outage::recover(qint64)
{
    if (!m_failing)
        return Say::Nothing;
    m_failing = false;
    m_said.clear();
    return Say::Ended;
}

} // namespace veskorgw
