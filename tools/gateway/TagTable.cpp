#include "TagTable.h"

#include <cmath>

namespace veskorgw {

const char *qualityName(Quality q)
{
    switch (q) {
    case Quality::Good: return "good";
    case Quality::Stale: return "stale";
    case Quality::Bad: return "bad";
    }
    return "bad";
}

TagTable::TagTable(const QVector<TagRules> &rules) : m_tags(size_t(rules.size()))
{
    for (int i = 0; i < rules.size(); ++i)
        m_tags[size_t(i)].rules = rules.at(i);
}

bool TagTable::sameBytes(int i, const QByteArray &raw) const
{
    const Tag &t = m_tags[size_t(i)];
    return t.good && t.failures == 0 && !raw.isEmpty() && t.raw == raw;
}

void TagTable::refresh(int i, const QDateTime &ts, qint64 nowMs)
{
    Tag &t = m_tags[size_t(i)];
    t.goodTs = ts;
    t.goodAtMs = nowMs;
    t.code = 0;
    t.failures = 0;
    t.read = true;
}

void TagTable::take(int i, const QJsonValue &value, const QVector<double> &numbers, const QByteArray &raw,
                    const QDateTime &ts, qint64 nowMs)
{
    Tag &t = m_tags[size_t(i)];
    t.value = value;
    t.numbers = numbers;
    t.raw = QByteArray(raw.constData(), raw.size());   // its own copy: the image it was cut from goes
    t.good = true;
    refresh(i, ts, nowMs);
}

void TagTable::fail(int i, int code)
{
    Tag &t = m_tags[size_t(i)];
    t.code = code;
    ++t.failures;
    t.read = true;
}

// Good while reads answer and the last good one is recent; stale with the
// last value after a failure or once it is old; bad after offlineAfter
// failures in a row, or when no read was ever good.
Quality TagTable::quality(int i, qint64 nowMs) const
{
    const Tag &t = m_tags[size_t(i)];
    if (!t.good || t.failures >= t.rules.offlineAfter)
        return Quality::Bad;
    if (t.failures > 0)
        return Quality::Stale;
    if (t.rules.staleAfterMs > 0 && nowMs - t.goodAtMs > t.rules.staleAfterMs)
        return Quality::Stale;
    return Quality::Good;
}

TagReading TagTable::reading(int i, qint64 nowMs) const
{
    const Tag &t = m_tags[size_t(i)];
    TagReading r;
    r.read = t.read;
    r.value = t.value;
    r.numbers = t.numbers;
    r.quality = quality(i, nowMs);
    r.code = t.code;
    r.goodTs = t.goodTs;
    return r;
}

bool TagTable::valueMoved(const Tag &t) const
{
    if (t.numbers.size() == 1 && t.rules.deadband > 0) {
        const double now = t.numbers.first(), then = t.sentNumber;
        return std::fabs(now - then) > t.rules.deadband || std::isnan(now) != std::isnan(then);
    }
    return t.value != t.sentValue;
}

bool TagTable::due(int i, qint64 nowMs) const
{
    const Tag &t = m_tags[size_t(i)];
    if (!t.read)
        return false;
    const Quality q = quality(i, nowMs);
    if (t.owed || !t.sent || q != t.sentQuality || t.code != t.sentCode)
        return true;
    if (t.rules.publishEveryMs > 0 && nowMs - t.sentAtMs >= t.rules.publishEveryMs)
        return true;
    return q == Quality::Good && valueMoved(t);
}

void TagTable::published(int i, Quality q, qint64 nowMs)
{
    Tag &t = m_tags[size_t(i)];
    t.sent = true;
    t.owed = false;
    t.sentValue = t.value;
    t.sentNumber = t.numbers.size() == 1 ? t.numbers.first() : 0;
    t.sentQuality = q;
    t.sentCode = t.code;
    t.sentAtMs = nowMs;
}

void TagTable::owe(int i)
{
    m_tags[size_t(i)].owed = true;
}

void TagTable::oweAll()
{
    for (Tag &t : m_tags)
        t.owed = true;
}

} // namespace veskorgw
