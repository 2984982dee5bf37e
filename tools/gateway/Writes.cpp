// Writes from MQTT: <prefix>/<controller>/<tag>/set. Checked on the MQTT
// thread (not retained, tag listed as writable, payload no larger than the
// tag can need, value of its type and count), made on the controller's
// worker between cycles, answered on .../set/result (and on the set's MQTT 5
// response topic, if it named one) and logged. Per tag the latest set wins:
// one that comes within the write interval or while a write is pending is
// held, and answered as superseded if a later one replaces it (LatestSet).
// Refusals are counted always, but logged and answered within the bounds of
// RefusalLimits.
#include "Controller.h"

#include "host/CDriveBaseClass.h"
#include "Log.h"
#include "driver/ResultCodes.h"
#include "common/Values.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace veskorgw {

namespace {

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The payload as the log shows it: one line, not too long; only its first
// bytes are ever decoded.
QString payloadText(const QByteArray &payload)
{
    const int shown = 60;
    const QByteArray head = payload.left(4 * shown);
    return logSafe(QString::fromUtf8(head.constData(), head.size()), shown);
}

// Who sent a set, as far as anyone can tell. A PUBLISH that a broker passes
// on names no sender: all the gateway has is what the client chose to say.
QString senderText(const QString &claimed)
{
    if (claimed.isEmpty())
        return QStringLiteral("an MQTT client");
    return QStringLiteral("an MQTT client (says \"%1\")").arg(logSafe(claimed, 40));
}

} // namespace

void Controller::onSet(const MqttMessage &m)
{
    if (!m.topic.startsWith(m_topicPrefix) || !m.topic.endsWith("/set"))
        return;
    const QString name =
        QString::fromUtf8(m.topic.mid(m_topicPrefix.size(), m.topic.size() - m_topicPrefix.size() - 4));
    const QString text = payloadText(m.payload);
    const QString who = senderText(m.claimedSender);
    const int index = m_tagByName.value(name, -1);
    const int key = index < 0 ? m_config.tags.size() : index;
    const SetReply reply = replyOf(m);
    if (m.retained) {
        refuseSet(key, name, WriteRetained,
                  QStringLiteral("retained sets are ignored: a set is a command, publish it without the retain flag"),
                  who, text, reply);
        return;
    }
    if (index < 0 || !m_config.tags.at(index).writable) {
        refuseSet(key, name, WriteNotWritable,
                  index < 0 ? QStringLiteral("no tag %1").arg(veskortool::quoted(name))
                            : QStringLiteral("tag %1 is not writable").arg(veskortool::quoted(name)),
                  who, text, reply);
        return;
    }
    PendingWrite w{index, QVariant(), text, who, reply};
    QString error;
    if (!valuesForWrite(m_config.tags.at(index), m.payload, &w.values, &error)) {
        refuseSet(key, name, WriteBadValue, error, who, text, reply);
        return;
    }
    holdSet(key, name, std::move(w));
}

// The set's response topic, when it named one the gateway may publish on
// (responseTopicAllowed) with correlation data of a bounded size.
Controller::SetReply Controller::replyOf(const MqttMessage &m) const
{
    if (!responseTopicAllowed(m.responseTopic, m_mqttPrefix) || m.correlationData.size() > kMaxCorrelationBytes)
        return SetReply();
    return SetReply{m.responseTopic, m.correlationData};
}

// Written now, or held until the tag's write interval has passed and its
// pending write ended; the set held before is superseded.
void Controller::holdSet(int key, const QString &name, PendingWrite w)
{
    PendingWrite superseded;
    bool replaced = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int index = w.tag;
        switch (m_latest.offer(index, nowMs())) {
        case LatestSet::Take::WriteNow:
            m_writes.push_back(std::move(w));
            break;
        case LatestSet::Take::HeldSuperseding:
            superseded = std::move(m_held[size_t(index)]);
            replaced = true;
            // fall through
        case LatestSet::Take::Held:
            m_held[size_t(index)] = std::move(w);
            m_heldChanged = true;
            break;
        }
        m_wake.notify_all();
    }
    if (replaced)
        refuseSet(key, name, WriteSuperseded, QStringLiteral("superseded by a later set before it was written"),
                  superseded.who, superseded.text, superseded.reply);
}
// A refused set: counted, and logged and answered as far as the limits let.
void Controller::refuseSet(int key, const QString &name, int code, const QString &error, const QString &who,
                           const QString &text, const SetReply &reply)
{
    RefusalLimits::Decision d;
    {
        std::lock_guard<std::mutex> lock(m_refusalMutex);
        d = m_refusals.refused(key, nowMs());
    }
    {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        ++m_stats.writesByCode[code];
        if (!d.answer)
            ++m_stats.setResultsHeld;
    }
    if (d.answer) {
        QJsonObject o{{QStringLiteral("code"), code}, {QStringLiteral("error"), error}};
        sendResult(name, QJsonDocument(o).toJson(QJsonDocument::Compact), reply);
    }
    if (d.log)
        logLine(LogLevel::Warning, m_config.name,
                QStringLiteral("write %1 by %2: %3 -> %4 (%5)%6")
                    .arg(logSafe(name, 80), who, text)
                    .arg(code)
                    .arg(error,
                         d.unlogged ? QStringLiteral("; %1 more refused before it, not logged").arg(d.unlogged)
                                    : QString()));
}

// Refusals not logged for a log interval: one line per tag that had them.
void Controller::logUnloggedRefusals()
{
    QVector<RefusalLimits::Unlogged> due;
    {
        std::lock_guard<std::mutex> lock(m_refusalMutex);
        due = m_refusals.due(nowMs());
    }
    for (const RefusalLimits::Unlogged &u : due)
        logLine(LogLevel::Warning, m_config.name,
                QStringLiteral("write %1: %2 more refused, not logged")
                    .arg(u.key < m_config.tags.size() ? m_config.tags.at(u.key).name : QStringLiteral("(unknown tags)"))
                    .arg(u.count));
}

// A write that was made: always answered and logged (their rate is the
// tags' write interval).
void Controller::answerSet(const QString &name, int code, const QString &error, const PendingWrite &w)
{
    QJsonObject o;
    o.insert(QStringLiteral("code"), code);
    if (code != veskor::RcDone)
        o.insert(QStringLiteral("error"), error);
    sendResult(name, QJsonDocument(o).toJson(QJsonDocument::Compact), w.reply);
    logLine(code == veskor::RcDone ? LogLevel::Info : LogLevel::Warning, m_config.name,
            QStringLiteral("write %1 by %2: %3 -> %4%5")
                .arg(name, w.who, w.text)
                .arg(code)
                .arg(code == veskor::RcDone ? QString() : QStringLiteral(" (%1)").arg(error)));
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ++m_stats.writesByCode[code];
}

// A result on .../set/result for every watcher, and on the set's own
// response topic, with its correlation data, for the client that asked.
void Controller::sendResult(const QString &name, const QByteArray &json, const SetReply &reply)
{
    m_link->publish(m_topicPrefix + name.toUtf8() + "/set/result", json, 1, false);
    if (!reply.topic.isEmpty())
        m_link->publishReply(reply.topic, json, reply.correlation);
}

// Held sets whose turn has come join the writes to be made now.
void Controller::releaseDueSets()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int tag : m_latest.due(nowMs()))
        m_writes.push_back(std::move(m_held[size_t(tag)]));
}

// The next cycle's start, or sooner when a held set falls due before it.
// Called with m_mutex held.
std::chrono::steady_clock::time_point Controller::heldDue(std::chrono::steady_clock::time_point next) const
{
    const qint64 due = m_latest.nextDueMs();
    if (due < 0)
        return next;
    return std::min(next, std::chrono::steady_clock::time_point(std::chrono::milliseconds(due)));
}

void Controller::doWrites()
{
    std::deque<PendingWrite> writes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        writes.swap(m_writes);
    }
    for (const PendingWrite &w : writes) {
        m_beat.beat();
        const TagConfig &cfg = m_config.tags.at(w.tag);
        CLabelVariable v;
        v.value = w.values;
        v.labelName = cfg.tag;
        v.dataType = DataType(cfg.type);
        v.elementCount = cfg.count;
        const CLabelVariable r = m_driver->WriteVariable(cfg.tag, DataType(cfg.type), v, cfg.count);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_latest.written(w.tag);
        }
        answerSet(cfg.name, r.resultCode, veskortool::resultMeaning(r.resultCode), w);
    }
}

} // namespace veskorgw
