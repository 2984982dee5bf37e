// What the log says of one thing that can fail for a while (a broker
// connection, a controller's answers): the failure once, with its cause,
// when it begins; a cause not yet said in this failure once, when it comes;
// while it lasts, at most once a minute that it still does; and once that
// it ended, with how long it lasted. Times are passed in (ms on a monotonic
// clock), so that the rule is the same in the tests as in the gateway.
#ifndef VESKOR_GATEWAY_OUTAGE_H
#define VESKOR_GATEWAY_OUTAGE_H

#include <QString>
#include <QStringList>

namespace veskorgw {

class Outage
{
public:
    enum class Say { Nothing, Began, NewCause, Still, Ended };
    static constexpr qint64 kRepeatMs = 60000;
    static constexpr int kCausesKept = 8;   // more distinct causes in one failure go unsaid until "still"

    explicit Outage(qint64 repeatMs = kRepeatMs) : m_repeatMs(repeatMs) {}

    // It fails now for `cause`. sinceMs: when the failure began, when that
    // was earlier than now (a controller is offline after some silent
    // cycles); taken only when it begins.
    Say fail(qint64 nowMs, const QString &cause, qint64 sinceMs = -1);
    // It works now.
    Say recover(qint64 nowMs);

    bool failing() const { return m_failing; }
    qint64 sinceMs() const { return m_sinceMs; }
    // The cause given last.
    const QString &cause() const { return m_cause; }
    // How long the failure has lasted (or lasted, right after Ended).
    qint64 lastedMs(qint64 nowMs) const { return nowMs - m_sinceMs; }

private:
    const qint64 m_repeatMs;
    bool m_failing = false;
    qint64 m_sinceMs = 0;
    qint64 m_saidMs = 0;
    QString m_cause;
    QStringList m_said;   // the causes said in this failure
};

} // namespace veskorgw

#endif
