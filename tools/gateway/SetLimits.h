// What refused sets may cost. Every refusal is counted, but a flood of them
// must neither fill the log nor the client library's queue of outgoing
// messages: per key (a writable tag, or all unknown tags together) a
// refusal is logged at most once per log interval, the ones not logged are
// told in the next line ("N more refused"), and its result goes out on
// .../set/result only while two token buckets allow, the key's own and the
// controller's. Pure: the caller gives the time and holds any lock.
#ifndef VESKOR_GATEWAY_SETLIMITS_H
#define VESKOR_GATEWAY_SETLIMITS_H

#include <QVector>
#include <QtGlobal>

namespace veskorgw {

class RefusalLimits
{
public:
    struct Limits {
        qint64 logIntervalMs = 10000;
        double answersPerS = 2;         // per key
        double answerBurst = 5;
        double allAnswersPerS = 20;     // all keys together
        double allAnswerBurst = 40;
    };
    struct Decision {
        bool log = false;        // log this refusal
        quint64 unlogged = 0;    // with log: refusals of the key not logged before it
        bool answer = false;     // publish its result
    };
    struct Unlogged {
        int key;
        quint64 count;
    };

    // keys: 0 .. keys - 1.
    RefusalLimits(int keys, const Limits &limits);

    Decision refused(int key, qint64 nowMs);
    // Keys whose refusals since their last line were not logged and whose
    // interval has passed: their counts, which start again from 0, as does
    // the interval (the line the caller logs for them counts as one).
    QVector<Unlogged> due(qint64 nowMs);

private:
    struct Bucket {
        double tokens = -1;   // below 0: not used yet, full
        qint64 lastMs = 0;
        bool take(double perS, double burst, qint64 nowMs);
    };
    struct Key {
        bool logged = false;
        qint64 lastLogMs = 0;
        quint64 unlogged = 0;
        Bucket answers;
    };
    Limits m_limits;
    QVector<Key> m_keys;
    Bucket m_all;
};

// A set's MQTT 5 response topic the gateway answers on: at most
// kMaxResponseTopicBytes of valid UTF-8, no wildcard, no NUL, not a $ topic,
// and nothing under the gateway's own prefix ("<prefix>/"), where values,
// $state and set topics are: a client must not have the gateway publish
// there. Correlation data longer than kMaxCorrelationBytes is not echoed:
// such a set is answered on .../set/result alone.
constexpr int kMaxResponseTopicBytes = 256;
constexpr int kMaxCorrelationBytes = 256;
bool responseTopicAllowed(const QByteArray &topic, const QByteArray &gatewayPrefix);

} // namespace veskorgw

#endif
