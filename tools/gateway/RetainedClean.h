// Retained topics that no configuration names any more: a tag removed from
// the file, a controller removed, a tag no longer writable leave their last
// retained messages at the broker for good. With mqtt.clean_retained (or
// --clean-retained) a cleaner of their own, on a connection and a thread of
// its own, asks the broker for every retained topic under "<prefix>/" after
// the start and after each accepted reload, and removes (an empty retained
// publish) each one the running configuration does not name. It never
// touches a topic outside the prefix, and the controllers' publishing does
// not wait for it.
#ifndef VESKOR_GATEWAY_RETAINEDCLEAN_H
#define VESKOR_GATEWAY_RETAINEDCLEAN_H

#include "Config.h"

#include <QByteArray>
#include <QSet>

#include <atomic>
#include <memory>
#include <thread>

namespace veskorgw {

// The topics the configuration names under its prefix: each controller's
// $state, each tag's value topic and, for a writable tag, its "set" and
// "set/result" topics.
QSet<QByteArray> namedTopics(const GatewayConfig &config);

// Whether a retained topic is one to remove: under "<prefix>/" and not named.
bool leftOver(const QByteArray &topic, const QByteArray &prefix, const QSet<QByteArray> &named);

// When the broker has handed over the retained messages of a subscription.
// It sends them after its SUBACK, with no end marker: the collection ends
// once kQuietMs passed without one, and kMostMs after the SUBACK at the latest.
struct RetainedCollection {
    static constexpr qint64 kQuietMs = 500;
    static constexpr qint64 kMostMs = 5000;
    qint64 subscribedAtMs = -1;   // the SUBACK; -1 before it
    qint64 lastAtMs = -1;         // the last retained message
    bool done(qint64 nowMs) const;
};

// The client id of the cleaner's connection: "<client_id>-$clean-retained",
// which no controller's can be (a controller's name never starts with '$').
QByteArray cleanerClientId(const MqttConfig &mqtt);

class RetainedCleaner
{
public:
    // Takes the configuration as it is now: a reload makes a new cleaner.
    explicit RetainedCleaner(const GatewayConfig &config);
    ~RetainedCleaner();   // cancel()
    RetainedCleaner(const RetainedCleaner &) = delete;
    RetainedCleaner &operator=(const RetainedCleaner &) = delete;

    // Connects, collects, removes and disconnects on a thread of its own.
    void start();
    // Nothing more is removed once this returns (a reload is about to start
    // controllers that may name topics this cleaner took for left over).
    // Waits at most one turn of its loop (100 ms).
    void cancel();

    struct Run;   // the connection's state, on the cleaner's thread

private:
    void run();

    const MqttConfig m_mqtt;
    const QSet<QByteArray> m_named;
    std::atomic<bool> m_cancel{false};
    std::thread m_thread;
};

} // namespace veskorgw

#endif
