// Whether the gateway's threads still turn: each worker and each MQTT
// network thread beats a heartbeat on every turn; one whose last beat is
// older than its allowance counts as stuck. /healthz and the systemd
// watchdog ask this; /readyz and READY=1 ask whether every controller's
// first cycle ended.
#ifndef VESKOR_GATEWAY_HEALTH_H
#define VESKOR_GATEWAY_HEALTH_H

#include "Config.h"

#include <QString>

#include <atomic>

namespace veskorgw {

qint64 monotonicNowMs();

class Heartbeat
{
public:
    void beat() { m_ms.store(monotonicNowMs()); }
    qint64 last() const { return m_ms.load(); }

private:
    std::atomic<qint64> m_ms{0};
};

// The longest a worker goes between two beats when nothing is wrong: a
// wait for the next cycle (a period), one call to the driver (a read or a
// write without an answer: answerWaitMs), a pause between requests; each
// counted twice, and a second for a loaded machine.
qint64 workerAllowanceMs(const ControllerConfig &c, int answerWaitMs);
// An MQTT network thread: a turn of its loop is 100 ms, a pause between
// reconnects at most reconnect_max_s, an address that swallows a connect
// is given up after 30 s.
qint64 mqttAllowanceMs(const MqttConfig &m);

// Why `who` counts as stuck: its last beat (monotonic ms, 0: none yet) is
// older than allowanceMs at nowMs. Empty when it is alive.
QString stuckReason(const QString &who, qint64 lastBeatMs, qint64 nowMs, qint64 allowanceMs);

} // namespace veskorgw

#endif
