// The running gateway: its controllers, the metrics server, the clean stop
// and the reload of the configuration file (SIGHUP). Controllers a reload
// leaves as they were keep their driver, connection and values; added
// ones start, removed ones say "offline" and stop, changed ones restart.
// A file with faults is refused as a whole and the running one kept.
#ifndef VESKOR_GATEWAY_GATEWAY_H
#define VESKOR_GATEWAY_GATEWAY_H

#include "Config.h"
#include "Controller.h"
#include "Metrics.h"

#include <QStringList>
#include <QVector>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace veskorgw {

struct ConfigDiff;
class RetainedCleaner;

// Every controller's MQTT setup made as its start makes it, on a client of
// its own that never connects: what the library refuses is known before
// anything starts. report(index, reason) for each refusal of the
// controllers listed (all when `only` is null); false when any.
bool setupsAccepted(const GatewayConfig &config, const std::function<void(int, const QString &)> &report,
                    const QVector<int> *only = nullptr);

class Gateway
{
public:
    // adjust: what the command line changes in every configuration read
    // (--metrics), applied before it is compared with the running one.
    Gateway(const GatewayConfig &config, std::function<void(GatewayConfig *)> adjust);
    ~Gateway();

    // The metrics server and every controller; false (logged) when one
    // does not start.
    bool start();
    // Rereads the file the configuration came from and applies it, or
    // refuses it with one line per fault. Logs the outcome.
    void reload();
    // "offline" on every $state, the controllers and the server stopped.
    // False when a controller's call was still in flight at the deadline.
    bool stop();

    QVector<std::shared_ptr<Controller>> controllers() const;
    // Why /healthz says 503 (a worker or an MQTT network thread stuck);
    // empty while every one turns.
    QString notAlive() const;
    // Why /readyz says 503 (a controller whose first cycle did not end yet).
    QString notReady() const;

private:
    bool refused(const GatewayConfig &next, const ConfigDiff &diff, QStringList *faults) const;
    void apply(const GatewayConfig &next, const ConfigDiff &diff);
    bool startController(const std::shared_ptr<Controller> &c);
    bool stopControllers(const QVector<std::shared_ptr<Controller>> &going,
                         std::chrono::steady_clock::time_point deadline, bool withServer);
    void setControllers(const QVector<std::shared_ptr<Controller>> &list);
    // With mqtt.clean_retained: a cleaner for the configuration now running,
    // in place of any earlier one (which removes nothing more).
    void cleanRetained();

    GatewayConfig m_config;
    std::function<void(GatewayConfig *)> m_adjust;
    mutable std::mutex m_mutex;
    QVector<std::shared_ptr<Controller>> m_controllers;   // under m_mutex; the configuration's order
    QVector<std::shared_ptr<Controller>> m_lingering;     // stopped by a reload while in a call
    MetricsServer m_metrics;
    std::unique_ptr<RetainedCleaner> m_cleaner;   // start, reload and stop only (the main thread)
};

} // namespace veskorgw

#endif
