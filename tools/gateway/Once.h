// --once: every tag of every controller read once, as a cycle reads them,
// and shown; no MQTT, no metrics endpoint. For trying a configuration
// against the controllers before it goes into service.
#ifndef VESKOR_GATEWAY_ONCE_H
#define VESKOR_GATEWAY_ONCE_H

#include "Config.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QVector>

namespace veskorgw {

// One tag's outcome.
struct OnceReading {
    int controller = 0;   // index in the configuration
    int tag = 0;          // index in its controller's tags
    int code = 0;         // the read's result code (0: its value is in value)
    QJsonValue value;     // as a payload carries it
    QDateTime time;       // when it was read
};

// Reads every controller's tags once, each controller on a thread of its
// own, through the plug-in as a cycle does (grouped or tag by tag); after
// a read that goes unanswered the controller's other reads are not made
// and their tags take its code. In the configuration's order.
QVector<OnceReading> readOnce(const GatewayConfig &config);

// A table, a line per tag: controller, name, tag, type, value (or the
// result code and its meaning).
QByteArray onceTable(const GatewayConfig &config, const QVector<OnceReading> &readings);
// A JSON array, an object per tag: controller, name, tag, type, count,
// code, and value and time when read, error when not.
QByteArray onceJson(const GatewayConfig &config, const QVector<OnceReading> &readings);

} // namespace veskorgw

#endif
