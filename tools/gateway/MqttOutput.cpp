#include "MqttOutput.h"

#include "MqttLink.h"
#include "common/Values.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace veskorgw {

void appendJson(QByteArray *out, const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Null:
        out->append("null");
        return;
    case QJsonValue::Bool:
        out->append(v.toBool() ? "true" : "false");
        return;
    case QJsonValue::Double: {
        // Whole numbers up to 2^53 are written as integers, as Qt's writer
        // does; -0 and everything else go through the writer itself.
        const double d = v.toDouble();
        if (d == std::trunc(d) && std::fabs(d) <= 9007199254740992.0 && !(d == 0 && std::signbit(d))) {
            out->append(QByteArray::number(qint64(d)));
            return;
        }
        break;
    }
    default:
        break;
    }
    const QByteArray one = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    out->append(one.constData() + 1, one.size() - 2);   // without the brackets
}

QByteArray unitMember(const QString &unit)
{
    if (unit.isEmpty())
        return QByteArray();
    QByteArray out(",\"unit\":");
    appendJson(&out, unit);
    return out;
}

QByteArray tagPayload(const TagReading &r, Quality sentAs, const QByteArray &ts, const QByteArray &unit)
{
    QByteArray out;
    out.reserve(96);
    out.append("{\"code\":").append(QByteArray::number(r.code)).append(",\"quality\":\"").append(qualityName(sentAs));
    if (ts.isEmpty())
        out.append("\",\"ts\":null");
    else
        out.append("\",\"ts\":\"").append(ts).append('"');   // digits, '-', ':', '.', 'T', '+': nothing to escape
    out.append(unit).append(",\"value\":");
    appendJson(&out, r.value);
    out.append('}');
    return out;
}

QByteArray tagPayload(const TagReading &r, Quality sentAs)
{
    return tagPayload(r, sentAs, veskortool::formatTimestamp(r.goodTs).toUtf8());
}

const QByteArray &MqttOutput::timestamp(const QDateTime &ts)
{
    for (const FormattedTs &f : m_ts)
        if (!f.text.isNull() && f.ts == ts && f.ts.timeSpec() == ts.timeSpec())
            return f.text;
    FormattedTs &f = m_ts[m_tsNext];
    m_tsNext = (m_tsNext + 1) % kTsKept;
    f.ts = ts;
    f.text = veskortool::formatTimestamp(ts).toUtf8();
    if (f.text.isNull())
        f.text = QByteArray("");   // formatted, and empty: no time
    return f.text;
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
        if (!m_link->publishValue(m_topics.at(i), tagPayload(r, r.quality, timestamp(r.goodTs), m_units.at(i)), m_qos, true)) {
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
        m_link->publish(m_topics.at(i), tagPayload(r, std::min(r.quality, Quality::Stale), timestamp(r.goodTs), m_units.at(i)),
                        m_qos, true, true);
    }
}

} // namespace veskorgw
