#include "MqttLink.h"

#include "Log.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veskorgw {

namespace {

const char kOffline[] = "offline";

void connectCallback(mosquitto *, void *self, int rc, int, const mosquitto_property *)
{
    static_cast<MqttLink *>(self)->handleConnect(rc);
}

void disconnectCallback(mosquitto *, void *self, int rc, const mosquitto_property *)
{
    static_cast<MqttLink *>(self)->handleDisconnect(rc);
}

// A message is done with: sent (QoS 0) or acknowledged (QoS 1 and 2).
void publishCallback(mosquitto *, void *self, int mid, int, const mosquitto_property *)
{
    static_cast<MqttLink *>(self)->handlePublished(mid);
}

// The library's own error lines: a failed TLS handshake (a broker
// certificate that the CA did not sign, say) is told only there.
void logCallback(mosquitto *, void *self, int level, const char *text)
{
    if (level == MOSQ_LOG_ERR && text)
        static_cast<MqttLink *>(self)->handleLibraryError(QString::fromUtf8(text));
}

// What the sender says its client id is, when it put one in a user
// property; at most kClaimedSenderBytes of it.
QString claimedSender(const mosquitto_property *props)
{
    QString who;
    bool skipFirst = false;
    for (const mosquitto_property *p = props; p;) {
        char *name = nullptr, *value = nullptr;
        p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, skipFirst);
        skipFirst = true;
        if (p && name && value && (qstrcmp(name, "client-id") == 0 || qstrcmp(name, "client_id") == 0))
            who = QString::fromUtf8(value, int(qMin<size_t>(std::strlen(value), kClaimedSenderBytes)));
        std::free(name);
        std::free(value);
    }
    return who;
}

// The response topic and correlation data of an MQTT 5 request.
void requestProperties(const mosquitto_property *props, MqttMessage *message)
{
    char *topic = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &topic, false))
        message->responseTopic = QByteArray(topic);
    std::free(topic);
    void *data = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length, false))
        message->correlationData = QByteArray(static_cast<const char *>(data), length);
    std::free(data);
}

void messageCallback(mosquitto *, void *self, const mosquitto_message *m, const mosquitto_property *props)
{
    MqttMessage message;
    message.topic = QByteArray(m->topic);
    // Not copied: a set payload is checked for its size before anything reads it.
    message.payload = QByteArray::fromRawData(static_cast<const char *>(m->payload), m->payloadlen);
    message.retained = m->retain;
    message.claimedSender = claimedSender(props);
    requestProperties(props, &message);
    static_cast<MqttLink *>(self)->handleMessage(message);
}

QString mosqError(int rc)
{
    return QString::fromUtf8(mosquitto_strerror(rc));
}

// Why a call of the library failed; for a failed system call, its errno
// (taken right after the call).
QString causeOf(int rc, int error)
{
    return rc == MOSQ_ERR_ERRNO && error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : mosqError(rc);
}

// What ended a connection: the library's error, or the reason code of the
// broker's DISCONNECT.
QString disconnectCause(int rc)
{
    return rc >= 128 ? QStringLiteral("the broker disconnected: %1").arg(QString::fromUtf8(mosquitto_reason_string(rc)))
                     : mosqError(rc);
}

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char kNoAnswerYet[] = "no answer from the broker yet; still trying";
const qint64 kNoAnswerAfterMs = 5000;

} // namespace

void mqttLibraryInit()
{
    mosquitto_lib_init();
}

void mqttLibraryCleanup()
{
    mosquitto_lib_cleanup();
}

MqttLink::MqttLink(const MqttConfig &config, const QString &controller)
    : m_config(config), m_controller(controller),
      m_stateTopic(topicOf(config, controller, QStringLiteral("$state"))),
      m_unacked(config.maxUnacked), m_unsent(config.maxUnacked)
{
    const QByteArray id = clientIdOf(config, controller);
    m_mosq = mosquitto_new(id.constData(), true, this);
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

MqttLink::~MqttLink()
{
    finish();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void MqttLink::wake()
{
    const quint64 one = 1;
    if (m_wakeFd >= 0 && ::write(m_wakeFd, &one, sizeof one) < 0) {
        // Full (it never is: the network thread reads it) or gone: its turn ends within 100 ms anyway.
    }
}

// A broker slower than the gateway (one on a busy machine, or far away)
// leaves what was written in the socket's send queue, which the kernel lets
// grow to megabytes per connection; the values in it are out of date long
// before they arrive. Above this much, a cycle's values are held (the latest
// of each goes out with a later cycle), as they are above max_unacked.
constexpr int kBacklogBytes = 128 * 1024;

void MqttLink::checkBacklog()
{
    int queued = 0;
    const int sock = m_connected.load() ? mosquitto_socket(m_mosq) : -1;
    m_backlog.store(sock >= 0 && ::ioctl(sock, SIOCOUTQ, &queued) == 0 && queued > kBacklogBytes);
}

// A turn of the network thread while connected. The library's own loop
// (mosquitto_loop) is woken by every publish, through a socket pair, and
// takes one byte of that pair per turn: a cycle's 200 values cost 200 turns
// of the network thread, each a select and a read, while the worker is still
// publishing. Here the thread waits on the connection's socket and on its
// own event, which a publish sets once per cycle (Batch), and sends
// everything queued at once. The library still writes its byte per publish
// to its pair; unread, the pair fills (a few hundred bytes) and later
// writes fail at once, which the library ignores.
int MqttLink::connectedTurn()
{
    pollfd p[2] = {{mosquitto_socket(m_mosq), short(POLLIN | (mosquitto_want_write(m_mosq) ? POLLOUT : 0)), 0},
                   {m_wakeFd, POLLIN, 0}};
    if (::poll(p, 2, 100) > 0 && (p[1].revents & POLLIN)) {
        quint64 count = 0;
        if (::read(m_wakeFd, &count, sizeof count) < 0) {
            // Nothing to take: another turn took it.
        }
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (p[0].revents & (POLLIN | POLLERR | POLLHUP))
        rc = mosquitto_loop_read(m_mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(m_mosq))
        rc = mosquitto_loop_write(m_mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_loop_misc(m_mosq);
    return rc;
}

int setClientCredentials(mosquitto *mosq, const MqttConfig &config)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (!config.username.isEmpty())
        rc = mosquitto_username_pw_set(mosq, config.username.toUtf8().constData(),
                                       config.password.isEmpty() ? nullptr : config.password.constData());
    if (rc == MOSQ_ERR_SUCCESS && !config.caFile.isEmpty()) {
        const QByteArray ca = config.caFile.toLocal8Bit(), cert = config.certFile.toLocal8Bit(),
                         key = config.keyFile.toLocal8Bit();
        rc = mosquitto_tls_set(mosq, ca.constData(), nullptr, cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), nullptr);
    }
    return rc;
}

QString mqttCause(int rc, int error)
{
    return causeOf(rc, error);
}

bool MqttLink::configure(QString *error)
{
    if (!m_mosq) {
        *error = QStringLiteral("cannot create an MQTT client");
        return false;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(m_mosq, connectCallback);
    mosquitto_disconnect_v5_callback_set(m_mosq, disconnectCallback);
    mosquitto_message_v5_callback_set(m_mosq, messageCallback);
    mosquitto_log_callback_set(m_mosq, logCallback);
    mosquitto_publish_v5_callback_set(m_mosq, publishCallback);
    int rc = mosquitto_will_set_v5(m_mosq, m_stateTopic.constData(), int(sizeof kOffline - 1), kOffline, 1,
                                   true, nullptr);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = setClientCredentials(m_mosq, m_config);
    // Other threads publish while the network thread runs the connection.
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_threaded_set(m_mosq, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("MQTT setup: %1").arg(mosqError(rc));
        return false;
    }
    return true;
}

bool MqttLink::start(QString *error)
{
    if (!configure(error))
        return false;
    m_beat.beat();
    m_network = std::thread([this] { network(connectFirst()); });
    m_started = true;
    return true;
}

namespace {

// Whether a TCP connection to `address` is taken: 0, or why not (an errno;
// ETIMEDOUT after 30 s without an answer). Waits in turns of 100 ms;
// `stopping` ends the wait at its next turn; `slow` is called once after 5 s.
int tcpConnect(const addrinfo &address, const std::atomic<bool> &stopping, const std::function<void()> &slow)
{
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address.ai_protocol);
    if (fd < 0)
        return errno;
    int error = ::connect(fd, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
    for (int turn = 0; error == EINPROGRESS && !stopping.load(); ++turn) {
        if (turn == 300) {
            error = ETIMEDOUT;
            break;
        }
        if (turn == int(kNoAnswerAfterMs / 100))
            slow();
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) == 0)
            continue;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
    }
    ::close(fd);
    return error;
}

} // namespace

// Whether the broker takes a TCP connection now, asked without blocking so
// that a stop is never held by an address that swallows the attempt. Empty
// when taken; else why not.
QString MqttLink::brokerTakesConnections()
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const int rc = ::getaddrinfo(m_config.host.toUtf8().constData(), QByteArray::number(m_config.port).constData(),
                                 &hints, &list);
    if (rc != 0)
        return QStringLiteral("cannot resolve the name: %1").arg(QString::fromLocal8Bit(::gai_strerror(rc)));
    int error = EHOSTUNREACH;
    for (const addrinfo *a = list; a && error != 0 && !m_stopping.load(); a = a->ai_next)
        error = tcpConnect(*a, m_stopping, [this] { failing(QLatin1String(kNoAnswerYet)); });
    ::freeaddrinfo(list);
    if (error == ETIMEDOUT)
        return QStringLiteral("no answer from the broker in 30 s");
    return error == 0 ? QString() : QString::fromLocal8Bit(std::strerror(error));
}

// The first connect, on the network thread. It is the library's blocking
// one, as only that takes CONNECT properties (the maximum packet size); the
// library keeps them for every reconnect, which are asynchronous. So that an
// address that swallows connection attempts never holds a stop, the broker
// is first asked without blocking whether it takes a connection, with the
// reconnect backoff between tries. False: stopped, or the connect failed
// (the network loop then tries again as after a lost connection).
bool MqttLink::connectFirst()
{
    int delayS = m_config.reconnectMinS;
    for (QString cause; !(cause = brokerTakesConnections()).isEmpty();) {
        m_beat.beat();
        if (m_stopping.load())
            return false;
        failing(cause);
        if (!pause(delayS))
            return false;
        delayS = std::min(std::max(delayS, 1) * 2, m_config.reconnectMaxS);
    }
    mosquitto_property *props = nullptr;
    if (m_maxIncomingPacket > 0)
        mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, m_maxIncomingPacket);
    errno = 0;
    const int rc = mosquitto_connect_bind_v5(m_mosq, m_config.host.toUtf8().constData(), m_config.port,
                                             m_config.keepaliveS, nullptr, props);
    const int error = errno;
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS)
        failing(causeOf(rc, error));
    return rc == MOSQ_ERR_SUCCESS;
}

// The network thread. libmosquitto's own loop thread reconnects after a lost
// connection but ends for good after errors it takes for fatal: a failed TLS
// handshake (a broker certificate being renewed), a refused login, a broker
// name that does not resolve for a while. A gateway runs for months, so this
// loop reconnects after any error, with the backoff, until the stop; its
// short turns see the stop at once.
void MqttLink::network(bool connecting)
{
    int delayS = m_config.reconnectMinS;
    qint64 connectingSinceMs = steadyMs();
    while (!m_stopping.load()) {
        m_beat.beat();
        if (!connecting) {
            if (!pause(delayS))
                break;
            delayS = std::min(std::max(delayS, 1) * 2, m_config.reconnectMaxS);
            mosquitto_log_callback_set(m_mosq, logCallback);   // the causes of a failing connect
            errno = 0;
            const int rc = mosquitto_reconnect_async(m_mosq);
            connecting = rc == MOSQ_ERR_SUCCESS;
            connectingSinceMs = steadyMs();
            if (!connecting)
                failing(causeOf(rc, errno));
            continue;
        }
        const bool wasConnected = m_connected.load();
        errno = 0;
        const int rc = wasConnected && m_wakeFd >= 0 ? connectedTurn() : mosquitto_loop(m_mosq, 100, 1);
        const int error = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            if (m_connected.load())
                delayS = m_config.reconnectMinS;
            else if (steadyMs() - connectingSinceMs >= kNoAnswerAfterMs)
                failing(QLatin1String(kNoAnswerYet));
            continue;
        }
        // The connection ended: after the stop's DISCONNECT, or lost, or
        // it never came about.
        if (m_draining.load())
            break;
        if (wasConnected)
            handleDisconnect(rc);   // unless the library's callback did
        else
            failing(causeOf(rc, error));
        connecting = false;
    }
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_networkEnded = true;
    m_stopWake.notify_all();
}

// Waits the seconds, or less when the stop comes. False: stopped.
bool MqttLink::pause(int seconds)
{
    std::unique_lock<std::mutex> lock(m_stopMutex);
    return !m_stopWake.wait_for(lock, std::chrono::seconds(seconds),
                                [this] { return m_stopping.load() || m_draining.load(); });
}

void MqttLink::handleConnect(int rc)
{
    if (rc != 0) {
        failing(QStringLiteral("the broker refused the connection: %1")
                    .arg(QString::fromUtf8(mosquitto_reason_string(rc))));
        return;
    }
    if (!m_subscription.isEmpty())
        mosquitto_subscribe_v5(m_mosq, nullptr, m_subscription.constData(), 1,
                               MQTT_SUB_OPT_SEND_RETAIN_NEVER | MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    // Connected, the library's lines are not asked for: it would format one
    // for every packet it sends, to be dropped here. What ends the
    // connection is told by the reason it returns.
    mosquitto_log_callback_set(m_mosq, nullptr);
    m_unsent.reset();   // the library dropped the QoS 0 messages it had not written
    m_connected.store(true);
    m_connects.fetch_add(1);
    working();
    if (m_onConnect)
        m_onConnect();
}

void MqttLink::handleDisconnect(int rc)
{
    if (m_connected.exchange(false))
        failing(disconnectCause(rc), true);
}

// The library's own error lines: while connecting, a cause of the failure
// (a TLS handshake's). Once connected none come (handleConnect); one that
// came in between is said as it is.
void MqttLink::handleLibraryError(const QString &text)
{
    if (m_connected.load())
        logLine(LogLevel::Error, m_controller,
                QStringLiteral("MQTT broker %1:%2: %3").arg(m_config.host).arg(m_config.port).arg(text));
    else
        failing(text);
}

void MqttLink::failing(const QString &cause, bool lost)
{
    std::lock_guard<std::mutex> lock(m_outageMutex);
    const qint64 now = steadyMs();
    const Outage::Say say = m_outage.fail(now, cause);
    const QString broker = QStringLiteral("MQTT broker %1:%2: ").arg(m_config.host).arg(m_config.port);
    if (say == Outage::Say::Began && lost)
        logLine(LogLevel::Warning, m_controller,
                broker + QStringLiteral("connection lost (%1); values are kept and sent again on reconnect").arg(cause));
    else if (say == Outage::Say::Began || say == Outage::Say::NewCause)
        logLine(LogLevel::Error, m_controller, broker + QStringLiteral("cannot connect: ") + cause);
    else if (say == Outage::Say::Still)
        logLine(LogLevel::Warning, m_controller,
                broker + QStringLiteral("still failing (%1 min): %2").arg(m_outage.lastedMs(now) / 60000).arg(cause));
}

void MqttLink::working()
{
    std::lock_guard<std::mutex> lock(m_outageMutex);
    const qint64 now = steadyMs();
    const QString broker = QStringLiteral("MQTT broker %1:%2: ").arg(m_config.host).arg(m_config.port);
    if (m_outage.recover(now) == Outage::Say::Ended)
        logLine(LogLevel::Info, m_controller,
                broker + QStringLiteral("connected again after %1 s").arg((m_outage.lastedMs(now) + 500) / 1000));
    else if (m_connects.load() == 1)
        logLine(LogLevel::Info, m_controller, broker + QStringLiteral("connected"));
}

void MqttLink::handleMessage(const MqttMessage &message)
{
    if (m_onMessage)
        m_onMessage(message);
}

bool MqttLink::publish(const QByteArray &topic, const QByteArray &payload, int qos, bool retain,
                       bool expires)
{
    if (!m_connected.load())
        return false;
    mosquitto_property *props = nullptr;
    if (expires && m_config.retainExpiryS > 0
        && mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, uint32_t(m_config.retainExpiryS))
               != MOSQ_ERR_SUCCESS)
        return false;
    int mid = 0;
    int rc;
    if (qos == 0) {
        const auto publishing = m_unsent.publishing();
        rc = mosquitto_publish_v5(m_mosq, &mid, topic.constData(), payload.size(), payload.constData(), qos, retain,
                                  props);
        if (rc == MOSQ_ERR_SUCCESS)
            m_unsent.sent(mid, publishing);
    } else {
        rc = mosquitto_publish_v5(m_mosq, &mid, topic.constData(), payload.size(), payload.constData(), qos, retain,
                                  props);
    }
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS)
        return false;
    if (qos > 0)
        m_unacked.sent(mid);
    if (m_batching.load() == 0)
        wake();
    return true;
}

bool MqttLink::publishReply(const QByteArray &topic, const QByteArray &payload, const QByteArray &correlation)
{
    if (!m_connected.load())
        return false;
    mosquitto_property *props = nullptr;
    if (!correlation.isEmpty()
        && mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.constData(),
                                         uint16_t(correlation.size())) != MOSQ_ERR_SUCCESS)
        return false;
    int mid = 0;
    const int rc = mosquitto_publish_v5(m_mosq, &mid, topic.constData(), payload.size(), payload.constData(), 1,
                                        false, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS)
        return false;
    m_unacked.sent(mid);
    wake();
    return true;
}

bool MqttLink::publishValue(const QByteArray &topic, const QByteArray &payload, int qos, bool retain)
{
    // The socket still full of what the broker has not taken (checkBacklog),
    // or at QoS 0 too many messages not written yet: held without a word,
    // as flow control; each tag's latest value goes out with a later cycle,
    // or once half of them are written (onCaughtUp).
    if (m_backlog.load() || (qos == 0 && !m_unsent.admit()))
        return false;
    if (qos > 0 && !m_unacked.admit()) {
        if (!m_holdLogged.exchange(true))
            logLine(LogLevel::Warning, m_controller,
                    QStringLiteral("%1 MQTT messages wait for the broker's acknowledgement; values are held "
                                   "and the latest sent when it catches up").arg(m_unacked.count()));
        return false;
    }
    return publish(topic, payload, qos, retain, true);
}

void MqttLink::handlePublished(int mid)
{
    const UnsentCount::Completion written = m_unsent.completed(mid);
    if (written == UnsentCount::Completion::CaughtUp && m_onCaughtUp)
        m_onCaughtUp();
    if (written != UnsentCount::Completion::NotQos0 || !m_unacked.completed(mid))
        return;
    if (m_holdLogged.exchange(false))
        logLine(LogLevel::Info, m_controller, QStringLiteral("the MQTT broker caught up; sending the latest values"));
    if (m_onCaughtUp)
        m_onCaughtUp();
}

void MqttLink::disconnect()
{
    if (!m_started)
        return;
    publish(m_stateTopic, QByteArray(kOffline), 1, true);
    m_connected.store(false);
    m_draining.store(true);   // the connection's end is the stop's, not a loss
    m_cleanDisconnect = mosquitto_disconnect_v5(m_mosq, 0, nullptr) == MOSQ_ERR_SUCCESS;
    wake();
}

void MqttLink::finish()
{
    if (!m_started)
        return;
    m_started = false;
    // A DISCONNECT on its way gets half a second to go out, after the
    // offline state queued before it; without one the thread ends at its
    // next turn.
    std::unique_lock<std::mutex> lock(m_stopMutex);
    m_draining.store(true);
    if (!m_cleanDisconnect)
        m_stopping.store(true);
    m_stopWake.notify_all();
    m_stopWake.wait_for(lock, std::chrono::milliseconds(500), [this] { return m_networkEnded; });
    m_stopping.store(true);
    lock.unlock();
    m_network.join();
}

} // namespace veskorgw
