// A controller's tags as the gateway knows them: each tag's latest value,
// its quality, the time of its last good read and whether it is due to go
// out again. The rules live here and nowhere else; the outputs (MQTT,
// Prometheus) only read what the table says. No threads, no sockets and no
// clock of its own: every call that depends on time is given it, as
// milliseconds of a monotonic clock.
#ifndef VESKOR_GATEWAY_TAGTABLE_H
#define VESKOR_GATEWAY_TAGTABLE_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QVector>

#include <vector>

namespace veskorgw {

// In the order of their numbers on /metrics: 0 bad, 1 stale, 2 good.
enum class Quality { Bad = 0, Stale = 1, Good = 2 };
const char *qualityName(Quality q);

// What decides a tag's quality and when it is due.
struct TagRules {
    double deadband = 0;       // numeric scalars: a change within it is not due
    int offlineAfter = 3;      // failed reads in a row that make it bad
    qint64 publishEveryMs = 0; // due again after this long anyway; 0: never
    qint64 staleAfterMs = 0;   // no good read for longer than this: stale; 0: never
};

// A tag as it is at one moment, for the outputs.
struct TagReading {
    bool read = false;         // a read of it has ended, well or not
    QJsonValue value;          // the last good value; null before one
    QVector<double> numbers;   // its numeric elements (bools 0, 1); empty for text
    Quality quality = Quality::Bad;
    int code = -1;             // the last read's result code (0 done); -1 before one
    QDateTime goodTs;          // the time of the last good read; invalid before one
};

class TagTable
{
public:
    explicit TagTable(const QVector<TagRules> &rules);
    int size() const { return int(m_tags.size()); }

    // A good read whose value comes from these bytes: true when they are
    // the ones the present value came from, so it need not be decoded again.
    bool sameBytes(int i, const QByteArray &raw) const;
    // The same value read again at ts.
    void refresh(int i, const QDateTime &ts, qint64 nowMs);
    // A good read with a new value. raw: the bytes it came from (may be empty).
    void take(int i, const QJsonValue &value, const QVector<double> &numbers, const QByteArray &raw,
              const QDateTime &ts, qint64 nowMs);
    // A read that failed with the plug-in's result code.
    void fail(int i, int code);

    Quality quality(int i, qint64 nowMs) const;
    TagReading reading(int i, qint64 nowMs) const;

    // Publishing: due when never sent, owed, its quality or code moved, the
    // value moved (past the deadband for numeric scalars), or publishEveryMs
    // passed. A tag not read yet is never due.
    bool due(int i, qint64 nowMs) const;
    // What reading(i, nowMs) says went out (sent as quality q).
    void published(int i, Quality q, qint64 nowMs);
    // To go out again whatever changed: after a reconnect, or when held back.
    void owe(int i);
    void oweAll();

private:
    struct Tag {
        TagRules rules;
        QByteArray raw;
        QJsonValue value;
        QVector<double> numbers;
        QDateTime goodTs;
        qint64 goodAtMs = 0;
        int code = -1;
        int failures = 0;       // failed reads since the last good one
        bool read = false;
        bool good = false;      // a good read was ever taken

        bool sent = false;
        bool owed = false;
        QJsonValue sentValue;
        double sentNumber = 0;
        Quality sentQuality = Quality::Bad;
        int sentCode = -1;
        qint64 sentAtMs = 0;
    };
    bool valueMoved(const Tag &t) const;
    std::vector<Tag> m_tags;
};

} // namespace veskorgw

#endif
