// One controller's connection to the MQTT broker (libmosquitto), with its
// own last will on <prefix>/<controller>/$state, so that every controller
// goes offline by itself when the gateway vanishes. The library's network
// thread connects, reconnects with backoff and calls back; publishing is
// safe from any thread. While the broker is away nothing is queued: a
// publish is refused and the caller keeps its latest value. The same holds
// for values while too many messages wait for the broker's acknowledgement
// (QoS 1 or 2) or to be written (QoS 0) (Unacked.h), and while the socket
// holds a backlog the broker has not taken.
#ifndef VESKOR_GATEWAY_MQTTLINK_H
#define VESKOR_GATEWAY_MQTTLINK_H

#include "Config.h"
#include "Health.h"
#include "Outage.h"
#include "Unacked.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

struct mosquitto;

namespace veskorgw {

// A message on a subscribed topic, as the broker delivered it. The payload
// is the library's own buffer, not copied: valid only during the handler's
// call. retained: the broker delivered it with the retain flag (with the
// gateway's subscription options, a message its sender published retained).
// claimedSender: what the sender put in an MQTT 5 user property
// "client-id" or "client_id", at most kClaimedSenderBytes of it, empty when
// none; any client can put anything there, so it is a claim, not an identity.
struct MqttMessage {
    QByteArray topic;
    QByteArray payload;
    bool retained = false;
    QString claimedSender;
    // MQTT 5 request and response: where the sender wants its answer, and
    // what to echo with it (both copied; empty when not given).
    QByteArray responseTopic;
    QByteArray correlationData;
};
constexpr int kClaimedSenderBytes = 64;

class MqttLink
{
public:
    using MessageHandler = std::function<void(const MqttMessage &)>;
    using ConnectHandler = std::function<void()>;

    MqttLink(const MqttConfig &config, const QString &controller);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Set before start(). subscription: the topic filter to subscribe to on
    // every connect (empty: none), at QoS 1, with the broker asked never to
    // send the retained messages it holds for it and to keep the retain flag
    // of what it passes on as the sender set it.
    void setSubscription(const QByteArray &filter) { m_subscription = filter; }
    // The largest packet the broker may send on this connection (MQTT 5
    // maximum packet size, on every CONNECT): larger messages it drops
    // instead of sending them. 0: no limit asked.
    void setMaxIncomingPacket(quint32 bytes) { m_maxIncomingPacket = bytes; }
    void onMessage(MessageHandler h) { m_onMessage = std::move(h); }
    void onConnect(ConnectHandler h) { m_onConnect = std::move(h); }
    // Values held back for unacknowledged messages may go out again.
    void onCaughtUp(ConnectHandler h) { m_onCaughtUp = std::move(h); }

    // Sets the last will, TLS and credentials, starts the network thread and
    // the first connect. A broker that is not there yet is retried; false
    // only for a setup the library refuses, with the reason in *error.
    bool start(QString *error);
    // The same setup without the network thread and the connect: what
    // veskor-gateway --check asks of every controller.
    bool prepare(QString *error) { return configure(error); }

    bool connected() const { return m_connected.load(); }
    // False when not connected or the library refused it. expires: with
    // the message expiry of retain_expiry_s, when set (tag values).
    bool publish(const QByteArray &topic, const QByteArray &payload, int qos, bool retain, bool expires = false);
    // A tag's value, expiring as retain_expiry_s says: also false at QoS 1
    // or 2 while max_unacked messages wait for their acknowledgement;
    // onCaughtUp tells when that is over.
    bool publishValue(const QByteArray &topic, const QByteArray &payload, int qos, bool retain);
    int unacked() const { return m_unacked.count(); }
    // Held while a cycle's values are published: the network thread is
    // woken once at its end, and sends them all in one turn, instead of once
    // per message.
    class Batch
    {
    public:
        explicit Batch(MqttLink *link) : m_link(link)
        {
            m_link->m_batching.fetch_add(1);
            m_link->checkBacklog();
        }
        ~Batch()
        {
            m_link->m_batching.fetch_sub(1);
            m_link->wake();
        }
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        MqttLink *m_link;
    };
    // An answer on a requester's response topic, QoS 1, not retained, with
    // its correlation data (none when empty).
    bool publishReply(const QByteArray &topic, const QByteArray &payload, const QByteArray &correlation);

    // A clean end: "offline" on $state (the will is not sent on a clean
    // disconnect), then the disconnect. finish() waits for the network thread.
    void disconnect();
    void finish();

    const QByteArray &stateTopic() const { return m_stateTopic; }
    const MqttConfig &config() const { return m_config; }
    quint64 connects() const { return m_connects.load(); }
    // Beaten on every turn of the network thread, from start() on.
    const Heartbeat &heartbeat() const { return m_beat; }

    // The library's callbacks, on its network thread.
    void handleConnect(int rc);
    void handleDisconnect(int rc);
    void handleLibraryError(const QString &text);
    void handlePublished(int mid);
    void handleMessage(const MqttMessage &message);

private:
    bool configure(QString *error);
    bool connectFirst();
    QString brokerTakesConnections();
    // The connection fails now for `cause` (lost: it was up until now), or
    // works again: said as Outage.h says.
    void failing(const QString &cause, bool lost = false);
    void working();
    void network(bool connecting);
    bool pause(int seconds);


    const MqttConfig m_config;
    const QString m_controller;
    const QByteArray m_stateTopic;
    QByteArray m_subscription;
    quint32 m_maxIncomingPacket = 0;
    mosquitto *m_mosq = nullptr;
    bool m_started = false;
    bool m_cleanDisconnect = false;  // a DISCONNECT went out: the network thread ends once it is sent
    std::thread m_network;
    std::atomic<bool> m_stopping{false};   // the network thread ends at its next turn
    std::atomic<bool> m_draining{false};   // ... once the DISCONNECT has gone out
    // Wakes the network thread of a connected link to send what was queued.
    void wake();
    // Whether the connection's socket still holds more than kBacklogBytes
    // that the broker has not taken: then values are held this cycle.
    void checkBacklog();
    int connectedTurn();

    std::atomic<int> m_batching{0};  // Batch objects alive: they wake at their end
    std::atomic<bool> m_backlog{false};  // see checkBacklog()
    int m_wakeFd = -1;               // eventfd the network thread of a connected link polls
    std::mutex m_stopMutex;
    std::condition_variable m_stopWake;
    bool m_networkEnded = false;           // under m_stopMutex
    std::atomic<bool> m_connected{false};
    std::atomic<quint64> m_connects{0};
    std::atomic<bool> m_holdLogged{false};
    std::mutex m_outageMutex;
    Outage m_outage;                 // the broker's failures, under m_outageMutex
    MessageHandler m_onMessage;
    ConnectHandler m_onConnect;
    ConnectHandler m_onCaughtUp;
    UnackedCount m_unacked;
    UnsentCount m_unsent;
    Heartbeat m_beat;
};

// A client's user name, password and TLS as the configuration has them:
// the library's result code.
int setClientCredentials(mosquitto *mosq, const MqttConfig &config);
// Why a call of the library failed; for a failed system call, its errno
// (taken right after the call).
QString mqttCause(int rc, int error);

// mosquitto_lib_init / cleanup for the process.
void mqttLibraryInit();
void mqttLibraryCleanup();

} // namespace veskorgw

#endif
