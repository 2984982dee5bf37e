#include "Gateway.h"

#include "ConfigDiff.h"
#include "Health.h"
#include "Log.h"
#include "MqttLink.h"
#include "RetainedClean.h"
#include "protocol/CmdVESKOR.h"

namespace veskorgw {

using Clock = std::chrono::steady_clock;

bool setupsAccepted(const GatewayConfig &config, const std::function<void(int, const QString &)> &report,
                    const QVector<int> *only)
{
    bool accepted = true;
    for (int i = 0; i < config.controllers.size(); ++i) {
        if (only && !only->contains(i))
            continue;
        QString error;
        if (!MqttLink(config.mqtt, config.controllers.at(i).name).prepare(&error)) {
            report(i, error);
            accepted = false;
        }
    }
    return accepted;
}

Gateway::Gateway(const GatewayConfig &config, std::function<void(GatewayConfig *)> adjust)
    : m_config(config), m_adjust(std::move(adjust)),
      m_metrics(MetricsSources{[this] { return controllers(); }, [this] { return notAlive(); },
                               [this] { return notReady(); }})
{
    QVector<std::shared_ptr<Controller>> list;
    for (const ControllerConfig &c : m_config.controllers)
        list.append(std::make_shared<Controller>(c, m_config.mqtt));
    setControllers(list);
}

Gateway::~Gateway()
{
    m_cleaner.reset();
}

QVector<std::shared_ptr<Controller>> Gateway::controllers() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controllers;
}

void Gateway::setControllers(const QVector<std::shared_ptr<Controller>> &list)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_controllers = list;
}

QString Gateway::notAlive() const
{
    const qint64 now = monotonicNowMs();
    QStringList reasons;
    for (const auto &c : controllers()) {
        const QString r = c->stuck(now);
        if (!r.isEmpty())
            reasons << r;
    }
    return reasons.join(QLatin1String("; "));
}

QString Gateway::notReady() const
{
    QStringList waiting;
    for (const auto &c : controllers())
        if (!c->firstCycleEnded())
            waiting << c->config().name;
    if (waiting.isEmpty())
        return QString();
    return QStringLiteral("first cycle not ended yet: %1").arg(waiting.join(QLatin1String(", ")));
}

bool Gateway::startController(const std::shared_ptr<Controller> &c)
{
    QString error;
    if (c->start(&error))
        return true;
    logLine(LogLevel::Error, c->config().name, error);
    return false;
}

bool Gateway::start()
{
    QString error;
    if (!m_config.metrics.isEmpty() && !m_metrics.start(m_config.metrics, &error)) {
        logLine(LogLevel::Error, error);
        return false;
    }
    for (const auto &c : controllers())
        if (!startController(c))
            return false;
    cleanRetained();
    return true;
}

void Gateway::cleanRetained()
{
    m_cleaner.reset();
    if (!m_config.mqtt.cleanRetained)
        return;
    m_cleaner.reset(new RetainedCleaner(m_config));
    m_cleaner->start();
}

// The clean stop of `going`: each worker asked to end, "offline" on each
// $state (its tags stale), each connection closed; the metrics server with
// them at the gateway's stop. Workers still in a call at the deadline are
// not waited for: false.
bool Gateway::stopControllers(const QVector<std::shared_ptr<Controller>> &going, Clock::time_point deadline,
                              bool withServer)
{
    for (const auto &c : going)
        c->requestStop();
    for (const auto &c : going)
        c->disconnectMqtt();
    if (withServer)
        m_metrics.stop();
    for (const auto &c : going)
        c->finishMqtt();
    bool allEnded = true;
    for (const auto &c : going)
        allEnded = c->waitStopped(deadline) && allEnded;
    return allEnded;
}

bool Gateway::stop()
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(500);
    m_cleaner.reset();
    QVector<std::shared_ptr<Controller>> all = controllers();
    setControllers({});
    const bool ended = stopControllers(all, deadline, true);
    bool lingeringEnded = true;
    for (const auto &c : m_lingering)
        lingeringEnded = c->waitStopped(deadline) && lingeringEnded;
    return ended && lingeringEnded;
}

// What keeps the new configuration from being taken: the rules of a reload
// and the MQTT setups of the controllers that would start.
bool Gateway::refused(const GatewayConfig &next, const ConfigDiff &diff, QStringList *faults) const
{
    *faults << reloadFaults(m_config, next, diff);
    QVector<int> starting = diff.added;
    for (const auto &p : diff.changed)
        starting.append(p.second);
    setupsAccepted(next, [&](int i, const QString &error) {
        *faults << QStringLiteral("%1: controllers[%2] (%3) would not start: %4")
                       .arg(next.path).arg(i).arg(next.controllers.at(i).name, error);
    }, &starting);
    return !faults->isEmpty();
}

void Gateway::reload()
{
    logLine(QStringLiteral("SIGHUP: reading %1 again").arg(m_config.path));
    GatewayConfig next;
    QStringList faults;
    ConfigDiff diff;
    if (loadConfig(m_config.path, &next, &faults)) {
        if (m_adjust)
            m_adjust(&next);
        diff = diffConfigs(m_config, next);
        refused(next, diff, &faults);
    }
    if (!faults.isEmpty()) {
        for (const QString &f : faults)
            logLine(LogLevel::Error, f);
        logLine(LogLevel::Warning, QStringLiteral("reload refused: %1 fault(s); the running configuration stays").arg(faults.size()));
        return;
    }
    for (const QString &line : writeOverlapWarnings(next))
        logLine(LogLevel::Warning, line);
    // A cleaner of the old configuration could take a topic the new one
    // names again for left over: it ends before anything new starts.
    m_cleaner.reset();
    apply(next, diff);
    logLine(QStringLiteral("reload accepted: %1").arg(diffSummary(diff)));
    cleanRetained();
}

// Removed and changed controllers stop first (a changed one's client id
// and controller are then free for its successor), then added and changed
// ones start. Unchanged ones run on untouched.
void Gateway::apply(const GatewayConfig &next, const ConfigDiff &diff)
{
    const QVector<std::shared_ptr<Controller>> running = controllers();
    QVector<std::shared_ptr<Controller>> list(next.controllers.size());
    QVector<std::shared_ptr<Controller>> kept;
    for (const auto &p : diff.unchanged) {
        list[p.second] = running.at(p.first);
        kept.append(running.at(p.first));
    }
    QVector<std::shared_ptr<Controller>> going;
    for (int i : diff.removed)
        going.append(running.at(i));
    for (const auto &p : diff.changed)
        going.append(running.at(p.first));
    setControllers(kept);
    // A worker ends after the call in flight: at most one answer wait.
    const auto deadline = Clock::now() + std::chrono::milliseconds(CmdVESKOR::kAnswerWaitMs + 1000);
    if (!stopControllers(going, deadline, false)) {
        for (const auto &c : going)
            if (!c->waitStopped(Clock::now()))
                m_lingering.append(c);
    }
    QVector<int> starting = diff.added;
    for (const auto &p : diff.changed)
        starting.append(p.second);
    for (int i : starting) {
        list[i] = std::make_shared<Controller>(next.controllers.at(i), next.mqtt);
        startController(list[i]);
    }
    setControllers(list);
    m_config = next;
}

} // namespace veskorgw
