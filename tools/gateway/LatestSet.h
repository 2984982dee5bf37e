// Which set of a tag is written, and when: the latest wins. A set that
// comes while the tag's previous write is pending, or closer than the
// write interval to its start, is held; a later set held for the same tag
// supersedes it. Once the previous write has ended and the interval has
// passed, the held set is due. Pure: the caller gives the time and holds
// any lock; the values themselves stay with the caller, per tag.
#ifndef VESKOR_GATEWAY_LATESTSET_H
#define VESKOR_GATEWAY_LATESTSET_H

#include <QVector>
#include <QtGlobal>

namespace veskorgw {

class LatestSet
{
public:
    enum class Take {
        WriteNow,      // write it now: the tag's write is pending from here on
        Held,          // keep it until due()
        HeldSuperseding // keep it instead of the one held before, which is superseded
    };

    LatestSet(int tags, qint64 intervalMs);

    Take offer(int tag, qint64 nowMs);
    // The tag's write has been made (well or not).
    void written(int tag);
    // Tags whose held set is due now; each is taken as a write started now.
    QVector<int> due(qint64 nowMs);
    // When the next held set becomes due, if its tag's write has ended; -1: none.
    qint64 nextDueMs() const;

    bool pending(int tag) const { return m_tags.at(tag).pending; }
    bool held(int tag) const { return m_tags.at(tag).held; }

private:
    struct Tag {
        bool pending = false;
        bool held = false;
        bool started = false;   // a write was ever started
        qint64 startMs = 0;     // the last write's start
    };
    bool free(const Tag &t, qint64 nowMs) const;

    qint64 m_intervalMs;
    QVector<Tag> m_tags;
};

} // namespace veskorgw

#endif
