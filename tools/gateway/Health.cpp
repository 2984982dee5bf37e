#include "Health.h"

#include <chrono>

namespace veskorgw {

qint64 monotonicNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

qint64 workerAllowanceMs(const ControllerConfig &c, int answerWaitMs)
{
    return 2 * (qint64(c.periodMs) + answerWaitMs + c.pauseMs) + 1000;
}

qint64 mqttAllowanceMs(const MqttConfig &m)
{
    return 2 * (qint64(m.reconnectMaxS) * 1000 + 30000) + 1000;
}

QString stuckReason(const QString &who, qint64 lastBeatMs, qint64 nowMs, qint64 allowanceMs)
{
    if (lastBeatMs == 0)
        return QStringLiteral("%1: not started").arg(who);
    const qint64 since = nowMs - lastBeatMs;
    if (since <= allowanceMs)
        return QString();
    return QStringLiteral("%1: no turn for %2 ms (allowed %3 ms)").arg(who).arg(since).arg(allowanceMs);
}

} // namespace veskorgw
