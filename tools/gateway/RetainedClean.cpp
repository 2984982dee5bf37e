#include "RetainedClean.h"

#include "Health.h"
#include "Log.h"
#include "MqttLink.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QHash>
#include <QVector>

#include <cerrno>
#include <cstring>

namespace veskorgw {

QSet<QByteArray> namedTopics(const GatewayConfig &config)
{
    QSet<QByteArray> named;
    for (const ControllerConfig &c : config.controllers) {
        named.insert(topicOf(config.mqtt, c.name, QStringLiteral("$state")));
        for (const TagConfig &t : c.tags) {
            named.insert(topicOf(config.mqtt, c.name, t.name));
            if (t.writable) {
                named.insert(topicOf(config.mqtt, c.name, t.name + QStringLiteral("/set")));
                named.insert(topicOf(config.mqtt, c.name, t.name + QStringLiteral("/set/result")));
            }
        }
    }
    return named;
}

bool leftOver(const QByteArray &topic, const QByteArray &prefix, const QSet<QByteArray> &named)
{
    return topic.size() > prefix.size() + 1 && topic.startsWith(prefix) && topic.at(prefix.size()) == '/'
        && !named.contains(topic);
}

bool RetainedCollection::done(qint64 nowMs) const
{
    if (subscribedAtMs < 0)
        return false;
    return nowMs - qMax(subscribedAtMs, lastAtMs) >= kQuietMs || nowMs - subscribedAtMs >= kMostMs;
}

QByteArray cleanerClientId(const MqttConfig &mqtt)
{
    return clientIdOf(mqtt, QStringLiteral("$clean-retained"));
}

namespace {

// A broker that does not take the connection in this time is given up on
// until the next start or reload; removals not acknowledged in this time
// are told as such.
constexpr qint64 kConnectMs = 30000;
constexpr qint64 kAcknowledgeMs = 10000;

} // namespace

// The connection's state, touched only on the cleaner's thread (the
// library's callbacks run inside its mosquitto_loop calls).
struct RetainedCleaner::Run {
    QByteArray prefix;
    bool connected = false;
    int refused = 0;                  // the broker's CONNACK code, when it refused
    RetainedCollection collection;
    QVector<QByteArray> retained;     // as they came, each once
    QSet<QByteArray> seen;
    QHash<int, QByteArray> removing;  // message id -> topic, until acknowledged
    int removed = 0;
    int refusedRemovals = 0;          // the broker answered with an error (its ACL, say)
    bool subscriptionRefused = false;
};

namespace {

using Run = RetainedCleaner::Run;

void onConnect(mosquitto *mosq, void *obj, int rc)
{
    auto *r = static_cast<Run *>(obj);
    if (rc != 0) {
        r->refused = rc;
        return;
    }
    r->connected = true;
    mosquitto_subscribe(mosq, nullptr, (r->prefix + "/#").constData(), 0);
}

void onSubscribe(mosquitto *, void *obj, int, int count, const int *granted)
{
    auto *r = static_cast<Run *>(obj);
    r->subscriptionRefused = count < 1 || granted[0] >= 128;
    r->collection.subscribedAtMs = monotonicNowMs();
}

// Retained messages come with the retain flag; the controllers' values as
// they are published now come without it, and are not looked at.
void onMessage(mosquitto *, void *obj, const mosquitto_message *m)
{
    auto *r = static_cast<Run *>(obj);
    if (!m->retain || m->payloadlen == 0)
        return;
    r->collection.lastAtMs = monotonicNowMs();
    const QByteArray topic(m->topic);
    if (!r->seen.contains(topic)) {
        r->seen.insert(topic);
        r->retained.append(topic);
    }
}

// MQTT 5: the broker's PUBACK says whether it took the removal.
void onPublish(mosquitto *, void *obj, int mid, int reason, const mosquitto_property *)
{
    auto *r = static_cast<Run *>(obj);
    const auto it = r->removing.find(mid);
    if (it == r->removing.end())
        return;
    const QString topic = shownName(QString::fromUtf8(it.value()));
    if (reason >= 128) {
        logLine(LogLevel::Warning, QStringLiteral("retained topic %1 not removed: the broker refused: %2")
                                       .arg(topic, QString::fromUtf8(mosquitto_reason_string(reason))));
        ++r->refusedRemovals;
    } else {
        logLine(LogLevel::Info, QStringLiteral("removed retained topic %1: the configuration no longer names it").arg(topic));
        ++r->removed;
    }
    r->removing.erase(it);
}

// ": 2 removed, 5 kept", and what did not go as asked.
QString summary(const Run &r, bool cancelled)
{
    const int kept = r.retained.size() - r.removed - r.refusedRemovals - r.removing.size();
    QString s = QStringLiteral(": %1 removed, %2 kept").arg(r.removed).arg(kept);
    if (r.refusedRemovals > 0)
        s += QStringLiteral(", %1 removal(s) refused").arg(r.refusedRemovals);
    if (!r.removing.isEmpty())
        s += QStringLiteral(", %1 removal(s) not acknowledged").arg(r.removing.size());
    if (cancelled)
        s += QStringLiteral(" (cut short by a reload or the stop)");
    return s;
}

} // namespace

RetainedCleaner::RetainedCleaner(const GatewayConfig &config) : m_mqtt(config.mqtt), m_named(namedTopics(config))
{
}

RetainedCleaner::~RetainedCleaner()
{
    cancel();
}

void RetainedCleaner::start()
{
    m_thread = std::thread([this] { run(); });
}

void RetainedCleaner::cancel()
{
    m_cancel.store(true);
    if (m_thread.joinable())
        m_thread.join();
}

void RetainedCleaner::run()
{
    Run r;
    r.prefix = m_mqtt.prefix.toUtf8();
    const QString where = QStringLiteral("retained topics under ") + m_mqtt.prefix + QLatin1Char('/');
    mosquitto *mosq = mosquitto_new(cleanerClientId(m_mqtt).constData(), true, &r);
    if (!mosq) {
        logLine(LogLevel::Warning, where + QStringLiteral(": not cleaned: cannot create an MQTT client"));
        return;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(mosq, onConnect);
    mosquitto_subscribe_callback_set(mosq, onSubscribe);
    mosquitto_message_callback_set(mosq, onMessage);
    mosquitto_publish_v5_callback_set(mosq, onPublish);
    int rc = setClientCredentials(mosq, m_mqtt);
    errno = 0;
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(mosq, m_mqtt.host.toUtf8().constData(), m_mqtt.port, m_mqtt.keepaliveS);
    QString cause = rc == MOSQ_ERR_SUCCESS ? QString() : mqttCause(rc, errno);
    const qint64 began = monotonicNowMs();
    qint64 removalsAt = -1;
    while (cause.isEmpty() && !m_cancel.load()) {
        errno = 0;
        rc = mosquitto_loop(mosq, 100, 1);
        const qint64 now = monotonicNowMs();
        if (rc != MOSQ_ERR_SUCCESS) {
            cause = mqttCause(rc, errno);
        } else if (r.refused != 0) {
            cause = QStringLiteral("the broker refused the connection: %1")
                        .arg(QString::fromUtf8(mosquitto_connack_string(r.refused)));
        } else if (!r.connected) {
            if (now - began >= kConnectMs)
                cause = QStringLiteral("no connection in %1 s").arg(kConnectMs / 1000);
        } else if (r.subscriptionRefused) {
            cause = QStringLiteral("the broker refused the subscription to ") + QString::fromUtf8(r.prefix) + "/#";
        } else if (removalsAt < 0 && r.collection.done(now)) {
            // The values that keep coming are not wanted any more.
            mosquitto_unsubscribe(mosq, nullptr, (r.prefix + "/#").constData());
            removalsAt = now;
            for (const QByteArray &topic : qAsConst(r.retained)) {
                if (m_cancel.load())
                    break;
                int mid = 0;
                if (leftOver(topic, r.prefix, m_named)
                    && mosquitto_publish(mosq, &mid, topic.constData(), 0, nullptr, 1, true) == MOSQ_ERR_SUCCESS)
                    r.removing.insert(mid, topic);
            }
        } else if (removalsAt >= 0 && (r.removing.isEmpty() || now - removalsAt >= kAcknowledgeMs)) {
            break;
        }
    }
    if (!cause.isEmpty())
        logLine(LogLevel::Warning, where + QStringLiteral(": not cleaned: MQTT broker %1:%2: ")
                                               .arg(m_mqtt.host).arg(m_mqtt.port) + cause);
    else
        logLine(LogLevel::Info, where + summary(r, m_cancel.load()));
    if (r.connected && mosquitto_disconnect(mosq) == MOSQ_ERR_SUCCESS)
        for (int turn = 0; turn < 5 && mosquitto_loop(mosq, 100, 1) == MOSQ_ERR_SUCCESS; ++turn) {
        }
    mosquitto_destroy(mosq);
}

} // namespace veskorgw
