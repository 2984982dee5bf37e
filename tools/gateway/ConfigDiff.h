// What a reload changes: the running configuration beside the one just
// read, controller by controller, matched by name and compared as parsed
// (a file only reformatted, reordered or commented changes nothing).
#ifndef VESKOR_GATEWAY_CONFIGDIFF_H
#define VESKOR_GATEWAY_CONFIGDIFF_H

#include "Config.h"

#include <QPair>
#include <QStringList>
#include <QVector>

namespace veskorgw {

bool sameTag(const TagConfig &a, const TagConfig &b);
// Every key as parsed; the address as resolved, not as written: a name
// that resolves to the same address is the same controller.
bool sameController(const ControllerConfig &a, const ControllerConfig &b);
bool sameMqtt(const MqttConfig &a, const MqttConfig &b);

struct ConfigDiff {
    // Pairs are (index in the running configuration, index in the new one);
    // the others index the configuration they are in.
    QVector<QPair<int, int>> unchanged;   // kept as they run: driver, connection, values
    QVector<int> added;                   // new: started
    QVector<int> removed;                 // running: stopped ("offline" on $state)
    QVector<QPair<int, int>> changed;     // stopped, then started with the new keys
    bool mqttChanged = false;             // every running controller is then changed
    bool metricsChanged = false;
};

ConfigDiff diffConfigs(const GatewayConfig &running, const GatewayConfig &next);

// Why the new configuration cannot be taken by a reload (one line each):
// the metrics server stays on the address it was started with.
QStringList reloadFaults(const GatewayConfig &running, const GatewayConfig &next, const ConfigDiff &diff);

// "N unchanged, N added, N removed, N changed"
QString diffSummary(const ConfigDiff &diff);

} // namespace veskorgw

#endif
