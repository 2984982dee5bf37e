#include "ConfigDiff.h"

#include <QHash>

namespace veskorgw {

bool sameTag(const TagConfig &a, const TagConfig &b)
{
    return a.name == b.name && a.tag == b.tag && a.type == b.type && a.count == b.count
        && a.writable == b.writable && a.deadband == b.deadband && a.area == b.area && a.address == b.address
        && a.bytes == b.bytes;
}

bool sameController(const ControllerConfig &a, const ControllerConfig &b)
{
    if (a.name != b.name || a.connect != b.connect || a.device != b.device || a.periodMs != b.periodMs
        || a.group != b.group || a.pauseMs != b.pauseMs || a.offlineAfter != b.offlineAfter
        || a.publishEveryMs != b.publishEveryMs || a.writeIntervalMs != b.writeIntervalMs
        || a.tags.size() != b.tags.size())
        return false;
    for (int i = 0; i < a.tags.size(); ++i)
        if (!sameTag(a.tags.at(i), b.tags.at(i)))
            return false;
    return true;
}

bool sameMqtt(const MqttConfig &a, const MqttConfig &b)
{
    return a.host == b.host && a.port == b.port && a.prefix == b.prefix && a.clientId == b.clientId
        && a.qos == b.qos && a.keepaliveS == b.keepaliveS && a.username == b.username
        && a.password == b.password && a.caFile == b.caFile && a.certFile == b.certFile
        && a.keyFile == b.keyFile && a.maxUnacked == b.maxUnacked && a.retainExpiryS == b.retainExpiryS
        && a.reconnectMinS == b.reconnectMinS && a.reconnectMaxS == b.reconnectMaxS;
}

ConfigDiff diffConfigs(const GatewayConfig &running, const GatewayConfig &next)
{
    ConfigDiff d;
    d.mqttChanged = !sameMqtt(running.mqtt, next.mqtt);
    d.metricsChanged = running.metrics != next.metrics;
    QHash<QString, int> nextByName;
    for (int i = 0; i < next.controllers.size(); ++i)
        nextByName.insert(next.controllers.at(i).name, i);
    QHash<QString, int> runningByName;
    for (int i = 0; i < running.controllers.size(); ++i) {
        const ControllerConfig &c = running.controllers.at(i);
        runningByName.insert(c.name, i);
        const auto found = nextByName.constFind(c.name);
        if (found == nextByName.constEnd())
            d.removed.append(i);
        else if (!d.mqttChanged && sameController(c, next.controllers.at(found.value())))
            d.unchanged.append(qMakePair(i, found.value()));
        else
            d.changed.append(qMakePair(i, found.value()));
    }
    for (int i = 0; i < next.controllers.size(); ++i)
        if (!runningByName.contains(next.controllers.at(i).name))
            d.added.append(i);
    return d;
}

QStringList reloadFaults(const GatewayConfig &running, const GatewayConfig &next, const ConfigDiff &diff)
{
    QStringList faults;
    if (diff.metricsChanged) {
        const auto shown = [](const QString &m) { return m.isEmpty() ? QStringLiteral("off") : m; };
        faults << QStringLiteral("%1: metrics: %2 -> %3 is taken only at a start (restart the gateway for it)")
                      .arg(next.path, shown(running.metrics), shown(next.metrics));
    }
    return faults;
}

QString diffSummary(const ConfigDiff &diff)
{
    return QStringLiteral("%1 unchanged, %2 added, %3 removed, %4 changed")
        .arg(diff.unchanged.size())
        .arg(diff.added.size())
        .arg(diff.removed.size())
        .arg(diff.changed.size());
}

} // namespace veskorgw
