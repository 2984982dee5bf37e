// Tag values to MQTT: one retained message per tag on
// <prefix>/<controller>/<name>, a JSON object {"value", "ts", "quality",
// "code"}, sent when the tag table says it is due.
#ifndef VESKOR_GATEWAY_MQTTOUTPUT_H
#define VESKOR_GATEWAY_MQTTOUTPUT_H

#include "TagOutput.h"

#include <QByteArray>
#include <QVector>

namespace veskorgw {

class MqttLink;

// The payload of a tag's message, with the quality it is sent as.
QByteArray tagPayload(const TagReading &r, Quality sentAs, const QString &unit = QString());

class MqttOutput : public TagOutput
{
public:
    // topics and units (empty: none): per tag, in the table's order.
    MqttOutput(MqttLink *link, const QVector<QByteArray> &topics, const QVector<QString> &units, int qos)
        : m_link(link), m_topics(topics), m_units(units), m_qos(qos)
    {
    }
    int publish(TagTable &table, qint64 nowMs, bool all) override;
    // Every tag read so far again, as stale at best, before $state goes offline.
    void stop(const TagTable &table, qint64 nowMs) override;

private:
    MqttLink *m_link;
    const QVector<QByteArray> m_topics;
    const QVector<QString> m_units;
    const int m_qos;
    bool m_stopped = false;
};

} // namespace veskorgw

#endif
