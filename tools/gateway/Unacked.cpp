#include "Unacked.h"

#include <algorithm>

namespace veskorgw {

bool UnackedCount::admit()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_held && int(m_pending.size()) >= m_limit)
        m_held = true;
    return !m_held;
}

void UnackedCount::sent(int mid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto early = std::find(m_early.begin(), m_early.end(), mid);
    if (early != m_early.end())
        m_early.erase(early);   // acknowledged already
    else
        m_pending.insert(mid);
}

bool UnackedCount::completed(int mid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pending.erase(mid) == 0) {
        m_early.push_back(mid);
        if (m_early.size() > kEarlyKept)
            m_early.pop_front();
        return false;
    }
    if (!m_held || int(m_pending.size()) > m_limit / 2)
        return false;
    m_held = false;
    return true;
}

int UnackedCount::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_pending.size());
}

bool UnackedCount::held() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held;
}

bool UnsentCount::admit()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (int(m_mids.size()) >= m_limit)
        m_held = true;
    return !m_held;
}

void UnsentCount::sent(int mid, const std::unique_lock<std::mutex> &)
{
    m_mids.push_back(mid);
}

UnsentCount::Completion UnsentCount::completed(int mid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_mids.empty() || m_mids.front() != mid)
        return Completion::NotQos0;
    m_mids.pop_front();
    if (m_held && int(m_mids.size()) <= m_limit / 2) {
        m_held = false;
        return Completion::CaughtUp;
    }
    return Completion::Written;
}

void UnsentCount::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mids.clear();
    m_held = false;
}

int UnsentCount::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_mids.size());
}

} // namespace veskorgw
