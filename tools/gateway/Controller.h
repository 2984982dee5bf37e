// One controller: its driver object on a worker thread of its own, its read
// cycle, its tags' latest values and qualities, its MQTT connection and the
// writes that come from it. A controller that does not answer holds up
// nobody but itself.
#ifndef VESKOR_GATEWAY_CONTROLLER_H
#define VESKOR_GATEWAY_CONTROLLER_H

#include "Config.h"
#include "CycleClock.h"
#include "LatestSet.h"
#include "MqttLink.h"
#include "Outage.h"
#include "ReadPlan.h"
#include "SetLimits.h"
#include "TagOutput.h"
#include "TagTable.h"

#include <QDateTime>
#include <QHash>
#include <QJsonValue>
#include <QMap>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class CDriveBaseClass;

namespace veskorgw {

// Codes a set is refused with before anything is sent; the plug-in's own
// result codes (0 done, 7 device error, 8 no answer, ...) answer the rest.
enum WriteRefusal {
    WriteNotWritable = 101,   // no such tag, or not listed as writable
    WriteBadValue = 102,      // not a value of the tag's type and count
    WriteRateLimited = 103,   // no longer given: such sets are held (LatestSet)
    WritePending = 104,       // no longer given: such sets are held (LatestSet)
    WriteRetained = 105,      // published with the retain flag: a set is a command, never state
    WriteSuperseded = 106     // held, and a later set for the tag took its place before it was written
};

// Seconds (round trips, cycles, late starts), as a cumulative histogram.
struct RoundTrips {
    static constexpr int kBuckets = 12;
    static const double kBounds[kBuckets];
    quint64 counts[kBuckets] = {};   // observations <= kBounds[i]
    quint64 count = 0;
    double sum = 0;
    void add(double seconds);
};

// What the metrics endpoint shows of a controller; a copy taken under lock.
struct ControllerStats {
    QMap<int, quint64> readsByCode;
    QMap<int, quint64> writesByCode;
    RoundTrips roundTrips;
    bool up = false;
    quint64 overruns = 0;           // cycles whose own work took longer than their period
    quint64 cycles = 0;
    quint64 readsSkipped = 0;       // reads left out of a cycle after one went unanswered
    RoundTrips cycleWork;           // each cycle's reads and publishing
    RoundTrips wakeupLateness;      // how late the worker woke for a cycle's planned start
    quint64 published = 0;
    quint64 setResultsHeld = 0;     // refused sets whose result was not published (the refusal limits)
    quint64 tagsRead = 0;           // tag values taken from answered reads
    bool mqttConnected = false;
    quint64 mqttConnects = 0;       // connections the broker took, the first included
};

class Controller
{
public:
    Controller(const ControllerConfig &config, const MqttConfig &mqtt);
    ~Controller();

    const ControllerConfig &config() const { return m_config; }
    int requestsPerCycle() const { return m_plan.size(); }

    // Starts the MQTT connection and the worker thread.
    bool start(QString *error);
    // Asks the worker to end after the call in flight; does not wait.
    void requestStop();
    // Waits until the worker has ended or the deadline passed; true when it
    // ended or never started.
    bool waitStopped(std::chrono::steady_clock::time_point deadline);
    // "offline" on $state and a clean MQTT disconnect; then finishMqtt().
    void disconnectMqtt();
    void finishMqtt();

    ControllerStats stats() const;
    // Why its worker or its MQTT network thread counts as stuck (Health.h);
    // empty while both turn.
    QString stuck(qint64 nowMs) const;
    // Its first read cycle ended, answered or not.
    bool firstCycleEnded() const { return m_firstCycleEnded.load(); }
    // Every tag as the table says it is now, in the configuration's order.
    QVector<TagReading> readings() const;

private:
    // Where a set's result goes besides .../set/result: the MQTT 5 response
    // topic the set named, with its correlation data; empty topic: nowhere.
    struct SetReply {
        QByteArray topic;
        QByteArray correlation;
    };
    struct PendingWrite {
        int tag = 0;
        QVariant values;
        QString text;   // the payload, for the log
        QString who;
        SetReply reply;
    };

    void run();
    void connectDriver();
    bool cycle();
    int readRequest(const ReadRequest &r);
    void skipRead(const ReadRequest &r);
    void takeImage(const ReadRequest &r, const QByteArray &image, const QDateTime &ts);
    void takeValue(int index, const QVariant &value, const QDateTime &ts);
    void publishTags(bool all, qint64 nowMs);
    void setState(bool online);
    void noteSilence(bool answered, qint64 nowMs);
    void publishState();
    bool waitForNextCycle(std::chrono::steady_clock::time_point next);
    void wakeToPublish(std::atomic<bool> *flag);
    void noteCycle(const CycleEnd &end);
    void noteWakeup(std::chrono::steady_clock::duration late);
    void onSet(const MqttMessage &message);
    SetReply replyOf(const MqttMessage &m) const;
    void holdSet(int key, const QString &name, PendingWrite w);
    void refuseSet(int key, const QString &name, int code, const QString &error, const QString &who,
                   const QString &text, const SetReply &reply);
    void answerSet(const QString &name, int code, const QString &error, const PendingWrite &w);
    void sendResult(const QString &name, const QByteArray &json, const SetReply &reply);
    void logUnloggedRefusals();
    void releaseDueSets();
    std::chrono::steady_clock::time_point heldDue(std::chrono::steady_clock::time_point next) const;
    void doWrites();

    const ControllerConfig m_config;
    const QVector<ReadRequest> m_plan;
    const QByteArray m_topicPrefix;   // "<prefix>/<controller>/"
    const QByteArray m_mqttPrefix;    // "<prefix>/": no response topic under it
    const int m_qos;
    std::unique_ptr<MqttLink> m_link;
    CDriveBaseClass *m_driver = nullptr;
    QHash<QString, int> m_tagByName;
    mutable std::mutex m_tableMutex;   // the table and the outputs
    TagTable m_table;
    std::vector<std::unique_ptr<TagOutput>> m_outputs;
    int m_failedCycles = 0;
    qint64 m_silentSinceMs = 0;        // the first cycle of m_failedCycles, monotonic
    QDateTime m_silentSince;           // ... as the wall clock had it
    Outage m_silence;                  // what the log says of a silent controller
    enum class State { Unknown, Online, Offline } m_state = State::Unknown;

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_republish{false};   // every value again, and the state
    std::atomic<bool> m_caughtUp{false};    // the values held back
    std::atomic<bool> m_firstCycleEnded{false};
    Heartbeat m_beat;                       // every turn of the worker
    bool m_finished = false;           // under m_mutex
    mutable std::mutex m_mutex;        // the fields below, the wakeup and m_finished
    std::condition_variable m_wake;
    std::deque<PendingWrite> m_writes;  // to be made now
    LatestSet m_latest;                 // which set of a tag is written, and when
    std::vector<PendingWrite> m_held;   // per tag: the set held, when m_latest says so
    bool m_heldChanged = false;         // the worker's wait is to be worked out again

    std::mutex m_refusalMutex;
    RefusalLimits m_refusals;          // keys: the tags, then one for all unknown tags

    mutable std::mutex m_statsMutex;
    ControllerStats m_stats;
    qint64 m_lastOverrunLogMs = 0;
};

} // namespace veskorgw

#endif
