// Tag values to MQTT: one retained message per tag on
// <prefix>/<controller>/<name>, a JSON object {"value", "ts", "quality",
// "code"}, sent when the tag table says it is due.
#ifndef VESKOR_GATEWAY_MQTTOUTPUT_H
#define VESKOR_GATEWAY_MQTTOUTPUT_H

#include "TagOutput.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QVector>

namespace veskorgw {

class MqttLink;

// The payload of a tag's message, with the quality it is sent as: the
// compact JSON of {"value", "ts", "quality", "code"} as QJsonDocument
// writes it (keys in its order), written directly. ts: r.goodTs as
// veskortool::formatTimestamp gives it (empty: null), passed in so that the
// tags of one read share one formatting.
// unit: ,"unit":"..." for a tag with a unit (unitMember), else empty.
QByteArray tagPayload(const TagReading &r, Quality sentAs, const QByteArray &ts,
                      const QByteArray &unit = QByteArray());
QByteArray unitMember(const QString &unit);
QByteArray tagPayload(const TagReading &r, Quality sentAs);
// A JSON value as QJsonDocument writes it (Compact), appended to *out.
void appendJson(QByteArray *out, const QJsonValue &v);

class MqttOutput : public TagOutput
{
public:
    // topics and units (empty: none): per tag, in the table's order.
    MqttOutput(MqttLink *link, const QVector<QByteArray> &topics, const QVector<QString> &units, int qos)
        : m_link(link), m_topics(topics), m_qos(qos)
    {
        for (const QString &unit : units)
            m_units.append(unitMember(unit));
    }
    int publish(TagTable &table, qint64 nowMs, bool all) override;
    // Every tag read so far again, as stale at best, before $state goes offline.
    void stop(const TagTable &table, qint64 nowMs) override;

private:
    // r.goodTs formatted. The last few are kept: a cycle's tags share the
    // time stamps of its reads (one per area), and formatting one asks the
    // C library for the local time zone, which looks at its file each time.
    const QByteArray &timestamp(const QDateTime &ts);

    MqttLink *m_link;
    const QVector<QByteArray> m_topics;
    QVector<QByteArray> m_units;   // unitMember of each tag
    const int m_qos;
    bool m_stopped = false;
    struct FormattedTs {
        QDateTime ts;
        QByteArray text;   // null: not formatted yet
    };
    static constexpr int kTsKept = 8;
    FormattedTs m_ts[kTsKept];
    int m_tsNext = 0;   // the one to replace next
};

} // namespace veskorgw

#endif
