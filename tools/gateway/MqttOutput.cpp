#include "MqttOutput.h"

#include "MqttLink.h"
#include "common/Values.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace veskorgw {

QByteArray tagPayload(const TagReading &r, Quality sentAs, const QString &unit)
{
    const QString ts = veskortool::formatTimestamp(r.goodTs);
    QJsonObject o;
    o.insert(QStringLiteral("value"), r.value);
    o.insert(QStringLiteral("ts"), ts.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(ts));
    o.insert(QStringLiteral("quality"), QLatin1String(qualityName(sentAs)));
    o.insert(QStringLiteral("code"), r.code);
    if (!unit.isEmpty())
        o.insert(QStringLiteral("unit"), unit);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

int MqttOutput::publish(TagTable &table, qint64 nowMs, bool all)
{
    if (m_stopped)
        return 0;
    if (all)
        table.oweAll();
    int sent = 0;
    for (int i = 0; i < table.size(); ++i) {
        if (!table.due(i, nowMs))
            continue;
        const TagReading r = table.reading(i, nowMs);
        // Not connected, or too many messages unacknowledged: nothing is
        // queued; the latest value goes out on reconnect or when the broker
        // caught up.
        if (!m_link->publishValue(m_topics.at(i), tagPayload(r, r.quality, m_units.at(i)), m_qos, true)) {
            table.owe(i);
            continue;
        }
        table.published(i, r.quality, nowMs);
        ++sent;
    }
    return sent;
}

void MqttOutput::stop(const TagTable &table, qint64 nowMs)
{
    m_stopped = true;
    for (int i = 0; i < table.size(); ++i) {
        const TagReading r = table.reading(i, nowMs);
        if (!r.read)
            continue;
        // Past the unacknowledged bound too: these are the last words.
        m_link->publish(m_topics.at(i), tagPayload(r, std::min(r.quality, Quality::Stale), m_units.at(i)), m_qos, true,
                         true);
    }
}

} // namespace veskorgw
