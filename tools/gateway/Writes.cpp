// Writes from MQTT: <prefix>/<controller>/<tag>/set. Checked on the MQTT
// thread (tag listed as writable, value of its type and count, rate, one
// pending write per tag), made on the controller's worker between cycles,
// answered on .../set/result and logged.
#include "Controller.h"

#include "host/CDriveBaseClass.h"
#include "Log.h"
#include "driver/ResultCodes.h"
#include "veskor/Values.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace veskorgw {

namespace {

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The payload as the log shows it: one line, not too long.
QString payloadText(const QByteArray &payload)
{
    QString s = QString::fromUtf8(payload).simplified();
    return s.size() > 60 ? s.left(57) + QStringLiteral("...") : s;
}

} // namespace

void Controller::onSet(const QByteArray &topic, const QByteArray &payload, const QString &who)
{
    if (!topic.startsWith(m_topicPrefix) || !topic.endsWith("/set"))
        return;
    const QString name = QString::fromUtf8(topic.mid(m_topicPrefix.size(), topic.size() - m_topicPrefix.size() - 4));
    const QString text = payloadText(payload);
    const int index = m_tagByName.value(name, -1);
    if (index < 0 || !m_config.tags.at(index).writable) {
        answerSet(name, WriteNotWritable,
                  index < 0 ? QStringLiteral("no tag %1").arg(veskortool::quoted(name))
                            : QStringLiteral("tag %1 is not writable").arg(veskortool::quoted(name)),
                  who, text);
        return;
    }
    PendingWrite w{index, QVariant(), text, who};
    QString error;
    if (!valuesForWrite(m_config.tags.at(index), payload, &w.values, &error)) {
        answerSet(name, WriteBadValue, error, who, text);
        return;
    }
    int refusal = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const qint64 now = nowMs();
        if (m_writePending.at(index)) {
            refusal = WritePending;
        } else if (m_lastWriteMs.at(index) != 0 && now - m_lastWriteMs.at(index) < m_config.writeIntervalMs) {
            refusal = WriteRateLimited;
        } else {
            m_writePending[index] = true;
            m_lastWriteMs[index] = now;
            m_writes.push_back(w);
            m_wake.notify_all();
        }
    }
    if (refusal == WritePending)
        answerSet(name, refusal, QStringLiteral("the last write to this tag is still pending"), who, text);
    else if (refusal == WriteRateLimited)
        answerSet(name, refusal,
                  QStringLiteral("rate limited: one write per %1 ms to this tag").arg(m_config.writeIntervalMs),
                  who, text);
}

void Controller::answerSet(const QString &name, int code, const QString &error, const QString &who,
                           const QString &text)
{
    QJsonObject o;
    o.insert(QStringLiteral("code"), code);
    if (code != veskor::RcDone)
        o.insert(QStringLiteral("error"), error);
    const QByteArray topic = m_topicPrefix + name.toUtf8() + "/set/result";
    m_link->publish(topic, QJsonDocument(o).toJson(QJsonDocument::Compact), 1, false);
    logLine(QStringLiteral("write %1/%2 by %3: %4 -> %5%6")
                .arg(m_config.name, name, who.isEmpty() ? QStringLiteral("a client that did not say") : who,
                     text)
                .arg(code)
                .arg(code == veskor::RcDone ? QString() : QStringLiteral(" (%1)").arg(error)));
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ++m_stats.writesByCode[code];
}

void Controller::doWrites()
{
    std::deque<PendingWrite> writes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        writes.swap(m_writes);
    }
    for (const PendingWrite &w : writes) {
        const TagConfig &cfg = m_config.tags.at(w.tag);
        CLabelVariable v;
        v.value = w.values;
        v.labelName = cfg.tag;
        v.dataType = DataType(cfg.type);
        v.elementCount = cfg.count;
        const CLabelVariable r = m_driver->WriteVariable(cfg.tag, DataType(cfg.type), v, cfg.count);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_writePending[w.tag] = false;
        }
        answerSet(cfg.name, r.resultCode, veskortool::resultMeaning(r.resultCode), w.who, w.text);
    }
}

} // namespace veskorgw
