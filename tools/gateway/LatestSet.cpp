#include "LatestSet.h"

namespace veskorgw {

LatestSet::LatestSet(int tags, qint64 intervalMs) : m_intervalMs(intervalMs), m_tags(tags) {}

bool LatestSet::free(const Tag &t, qint64 nowMs) const
{
    return !t.pending && (!t.started || nowMs - t.startMs >= m_intervalMs);
}

LatestSet::Take LatestSet::offer(int tag, qint64 nowMs)
{
    Tag &t = m_tags[tag];
    // A set held already waits for its turn: a newer one takes its place,
    // never jumps ahead of it.
    if (t.held)
        return Take::HeldSuperseding;
    if (free(t, nowMs)) {
        t.pending = true;
        t.started = true;
        t.startMs = nowMs;
        return Take::WriteNow;
    }
    t.held = true;
    return Take::Held;
}

void LatestSet::written(int tag)
{
    m_tags[tag].pending = false;
}

QVector<int> LatestSet::due(qint64 nowMs)
{
    QVector<int> out;
    for (int i = 0; i < m_tags.size(); ++i) {
        Tag &t = m_tags[i];
        if (!t.held || !free(t, nowMs))
            continue;
        t.held = false;
        t.pending = true;
        t.started = true;
        t.startMs = nowMs;
        out.append(i);
    }
    return out;
}

qint64 LatestSet::nextDueMs() const
{
    qint64 next = -1;
    for (const Tag &t : m_tags) {
        if (!t.held || t.pending)
            continue;
        const qint64 at = t.started ? t.startMs + m_intervalMs : 0;
        if (next < 0 || at < next)
            next = at;
    }
    return next;
}

} // namespace veskorgw
