#include "Controller.h"

#include "driver/ExportTCPDLL.h"
#include "Log.h"
#include "driver/ResultCodes.h"
#include "veskor/Values.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace veskorgw {

using Clock = std::chrono::steady_clock;

namespace {

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

} // namespace

const char *qualityName(Quality q)
{
    switch (q) {
    case Quality::Good: return "good";
    case Quality::Stale: return "stale";
    case Quality::Bad: return "bad";
    }
    return "bad";
}

const double RoundTrips::kBounds[RoundTrips::kBuckets] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                          0.05,   0.1,   0.25,   0.5,   1,    2.5};

void RoundTrips::add(double seconds)
{
    for (int i = 0; i < kBuckets; ++i)
        if (seconds <= kBounds[i])
            ++counts[i];
    ++count;
    sum += seconds;
}

// A tag's latest value and what was last published of it. Worker thread only.
struct Controller::TagState {
    QByteArray topic;
    QByteArray raw;            // grouped reads: the bytes the value came from
    QJsonValue json;           // the value as published; null before the first read
    double number = 0;
    bool numeric = false;
    QDateTime ts;              // time of the read that gave the value
    int code = veskor::RcNothing;
    int failures = 0;          // failed reads since the last good one
    bool read = false;         // a read of it has ended, well or not

    bool published = false;
    bool owed = false;         // to go out again: after a reconnect, or held back
    QJsonValue pubJson;
    double pubNumber = 0;
    Quality pubQuality = Quality::Bad;
    int pubCode = -1;
    qint64 pubAtMs = 0;
};

Controller::Controller(const ControllerConfig &config, const MqttConfig &mqtt)
    : m_config(config), m_plan(planReads(config.tags, config.group)),
      m_topicPrefix((mqtt.prefix + QLatin1Char('/') + config.name + QLatin1Char('/')).toUtf8()),
      m_mqttPrefix((mqtt.prefix + QLatin1Char('/')).toUtf8()),
      m_qos(mqtt.qos), m_link(new MqttLink(mqtt, config.name)), m_tags(size_t(config.tags.size())),
      m_latest(config.tags.size(), config.writeIntervalMs), m_held(size_t(config.tags.size())),
      m_refusals(config.tags.size() + 1, RefusalLimits::Limits())
{
    bool anyWritable = false;
    for (int i = 0; i < config.tags.size(); ++i) {
        m_tagByName.insert(config.tags.at(i).name, i);
        m_tags[size_t(i)].topic = m_topicPrefix + config.tags.at(i).name.toUtf8();
        anyWritable = anyWritable || config.tags.at(i).writable;
    }
    m_stats.hasNumber.fill(false, config.tags.size());
    m_stats.numbers.fill(0, config.tags.size());
    // Writes are off unless a tag is listed as writable: then, and only
    // then, the set topics are subscribed to.
    if (anyWritable) {
        m_link->setSubscription(m_topicPrefix + "+/set");
        m_link->setMaxIncomingPacket(maxSetPacketBytes(config.tags));
    }
    m_link->onMessage([this](const MqttMessage &m) { onSet(m); });
    // After a reconnect every latest value goes out again; once the broker
    // has caught up with unacknowledged messages, those held back.
    m_link->onConnect([this] { wakeToPublish(&m_republish); });
    m_link->onCaughtUp([this] { wakeToPublish(&m_caughtUp); });
}

Controller::~Controller()
{
    requestStop();
    if (m_thread.joinable()) {
        if (waitStopped(Clock::now() + std::chrono::seconds(3)))
            m_thread.join();
        else
            m_thread.detach();   // a call in flight is abandoned with the process
    }
}

bool Controller::start(QString *error)
{
    if (!m_link->start(error))
        return false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void Controller::requestStop()
{
    m_stop.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake.notify_all();
}

bool Controller::waitStopped(Clock::time_point deadline)
{
    // One that never started (its MQTT setup was refused, or an earlier
    // controller's was) has no worker to wait for.
    if (!m_thread.joinable())
        return true;
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_wake.wait_until(lock, deadline, [this] { return m_finished; });
}

void Controller::disconnectMqtt()
{
    m_link->disconnect();
}

void Controller::finishMqtt()
{
    m_link->finish();
}

ControllerStats Controller::stats() const
{
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ControllerStats s = m_stats;
    s.mqttConnected = m_link->connected();
    return s;
}

void Controller::connectDriver()
{
    // Made on this thread, used from it alone: one call at a time.
    m_driver = getSharedLibrary();
    m_driver->SetConnectPar(QString::number(m_config.device));
    if (m_driver->ConnectDrive(m_config.connect) != 0)
        logLine(QStringLiteral("%1: the plug-in refused the connection %2").arg(m_config.name, m_config.connect));
    QStringList reads;
    for (const ReadRequest &r : m_plan)
        reads << (r.image ? QStringLiteral("%1 %2 bytes").arg(r.tag.chopped(1)).arg(r.count) : r.tag);
    logLine(QStringLiteral("%1: %2 (device %3), %4 tags every %5 ms, %6 request(s) per cycle, %7: %8")
                .arg(m_config.name, m_config.connect).arg(m_config.device).arg(m_config.tags.size())
                .arg(m_config.periodMs).arg(m_plan.size())
                .arg(m_config.group ? QStringLiteral("grouped") : QStringLiteral("tag by tag"),
                     reads.join(QStringLiteral(", "))));
}

void Controller::run()
{
    connectDriver();
    const auto period = std::chrono::milliseconds(m_config.periodMs);
    Clock::time_point planned = Clock::now();
    while (!m_stop.load()) {
        const Clock::time_point began = Clock::now();
        const bool answered = cycle();
        if (m_stop.load())
            break;
        setState(answered);
        m_caughtUp.store(false);   // what was held back goes out with this cycle
        publishTags(m_republish.exchange(false), monotonicMs());
        logUnloggedRefusals();
        const CycleEnd end = endOfCycle(planned, began, Clock::now(), period);
        noteCycle(end);
        planned = end.next;
        if (!waitForNextCycle(planned))
            break;
    }
    m_driver->DestroyFree();
    // The interface has no destructor slot; the object behind it is a QObject.
    delete dynamic_cast<QObject *>(m_driver);
    m_driver = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished = true;
    m_wake.notify_all();
}

// A controller that does not answer costs one wait per cycle, not one per
// request: after the first read without an answer the cycle's other reads
// are skipped, their tags failing as that read's did. The next cycle tries
// again.
bool Controller::cycle()
{
    bool answered = false;
    bool silent = false;
    for (int i = 0; i < m_plan.size() && !m_stop.load(); ++i) {
        if (silent) {
            skipRead(m_plan.at(i));
            continue;
        }
        if (i > 0 && m_config.pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_config.pauseMs));
        const int code = readRequest(m_plan.at(i));
        answered = answered || code == veskor::RcDone;
        silent = code == veskor::RcNoAnswer;
    }
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ++m_stats.cycles;
    return answered;
}

void Controller::skipRead(const ReadRequest &r)
{
    for (int t : r.tags)
        markFailed(t, veskor::RcNoAnswer);
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ++m_stats.readsSkipped;
}

int Controller::readRequest(const ReadRequest &r)
{
    QElapsedTimer clock;
    clock.start();
    const CLabelVariable rec = m_driver->ReadVariable(r.tag, DataType(r.type), r.count);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    int code = rec.resultCode;
    if (code == veskor::RcDone) {
        if (r.image)
            takeImage(r, imageBytes(rec.value), rec.timeStamp);
        else
            takeValue(r.tags.first(), rec.value, rec.timeStamp);
    } else {
        for (int t : r.tags)
            markFailed(t, code);
    }
    std::lock_guard<std::mutex> lock(m_statsMutex);
    ++m_stats.readsByCode[code];
    // Round trips of answered reads only: a missing answer is the wait, not a trip.
    if (code != veskor::RcNoAnswer && code != veskor::RcNoSocket)
        m_stats.roundTrips.add(seconds);
    if (code == veskor::RcDone)
        m_stats.tagsRead += quint64(r.tags.size());
    return code;
}

void Controller::takeImage(const ReadRequest &r, const QByteArray &image, const QDateTime &ts)
{
    for (int index : r.tags) {
        const TagConfig &cfg = m_config.tags.at(index);
        TagState &t = m_tags[size_t(index)];
        if (qint64(cfg.address) + cfg.bytes > image.size()) {
            markFailed(index, veskor::RcLength);
            continue;
        }
        // Unchanged bytes decode to the unchanged value: only its time moves.
        // Compared in place: most tags do not change from one cycle to the next.
        const QByteArray raw = QByteArray::fromRawData(image.constData() + cfg.address, cfg.bytes);
        if (t.read && t.failures == 0 && t.raw == raw) {
            t.ts = ts;
            continue;
        }
        t.raw = QByteArray(raw.constData(), raw.size());   // its own copy: the image goes
        takeValue(index, decodeFromImage(cfg, image), ts);
    }
}

void Controller::takeValue(int index, const QVariant &value, const QDateTime &ts)
{
    const TagConfig &cfg = m_config.tags.at(index);
    TagState &t = m_tags[size_t(index)];
    t.json = valueJson(cfg, value);
    t.numeric = numericValue(cfg, value, &t.number);
    t.ts = ts;
    t.code = veskor::RcDone;
    t.failures = 0;
    t.read = true;
    std::lock_guard<std::mutex> lock(m_statsMutex);
    m_stats.hasNumber[index] = t.numeric;
    m_stats.numbers[index] = t.number;
}

void Controller::markFailed(int index, int code)
{
    TagState &t = m_tags[size_t(index)];
    t.code = code;
    ++t.failures;
    t.read = true;
}

// good while reads answer; stale with the last value after failures; bad
// after offline_after of them in a row.
Quality Controller::qualityOf(const TagState &t) const
{
    if (t.failures == 0)
        return Quality::Good;
    return t.failures < m_config.offlineAfter ? Quality::Stale : Quality::Bad;
}

void Controller::publishTags(bool all, qint64 nowMs)
{
    if (all) {
        publishState();
        for (TagState &t : m_tags)
            t.owed = true;
    }
    int sent = 0;
    for (int i = 0; i < int(m_tags.size()); ++i) {
        TagState &t = m_tags[size_t(i)];
        if (!t.read)
            continue;
        const TagConfig &cfg = m_config.tags.at(i);
        const Quality q = qualityOf(t);
        bool due = t.owed || !t.published || q != t.pubQuality || t.code != t.pubCode
                   || (m_config.publishEveryMs > 0 && nowMs - t.pubAtMs >= m_config.publishEveryMs);
        if (!due && q == Quality::Good) {
            if (t.numeric && cfg.deadband > 0)
                due = std::fabs(t.number - t.pubNumber) > cfg.deadband || std::isnan(t.number) != std::isnan(t.pubNumber);
            else
                due = t.json != t.pubJson;
        }
        if (due && publishTag(i, nowMs))
            ++sent;
    }
    std::lock_guard<std::mutex> lock(m_statsMutex);
    m_stats.published += quint64(sent);
}

bool Controller::publishTag(int index, qint64 nowMs)
{
    TagState &t = m_tags[size_t(index)];
    const Quality q = qualityOf(t);
    const QString ts = veskortool::formatTimestamp(t.ts);
    QJsonObject o;
    o.insert(QStringLiteral("value"), t.json);
    o.insert(QStringLiteral("ts"), ts.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(ts));
    o.insert(QStringLiteral("quality"), QLatin1String(qualityName(q)));
    o.insert(QStringLiteral("code"), t.code);
    // Not connected, or too many messages unacknowledged: nothing is queued;
    // the latest value goes out on reconnect or when the broker caught up.
    if (!m_link->publishValue(t.topic, QJsonDocument(o).toJson(QJsonDocument::Compact), m_qos, true)) {
        t.owed = true;
        return false;
    }
    t.owed = false;
    t.published = true;
    t.pubJson = t.json;
    t.pubNumber = t.number;
    t.pubQuality = q;
    t.pubCode = t.code;
    t.pubAtMs = nowMs;
    return true;
}

void Controller::setState(bool answered)
{
    const State before = m_state;
    if (answered) {
        m_failedCycles = 0;
        m_state = State::Online;
    } else if (++m_failedCycles >= m_config.offlineAfter) {
        m_state = State::Offline;
    }
    if (m_state == before)
        return;
    logLine(QStringLiteral("%1: %2").arg(m_config.name, m_state == State::Online
                                                         ? QStringLiteral("online")
                                                         : QStringLiteral("offline after %1 failed cycles").arg(m_failedCycles)));
    {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        m_stats.up = m_state == State::Online;
    }
    publishState();
}

void Controller::publishState()
{
    if (m_state == State::Unknown)
        return;
    m_link->publish(m_link->stateTopic(), m_state == State::Online ? QByteArray("online") : QByteArray("offline"),
                    1, true);
}

// Between cycles: writes as they come and held sets as they fall due,
// publishing after a reconnect or once the broker caught up; then the next
// cycle's start. A wake-up that reached the start by the clock is measured
// for its lateness; one kept past the start by writes is not.
bool Controller::waitForNextCycle(Clock::time_point next)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const Clock::time_point until = heldDue(next);
        const bool ahead = Clock::now() < until;
        const bool woken = m_wake.wait_until(lock, until, [this] {
            return m_stop.load() || !m_writes.empty() || m_republish.load() || m_caughtUp.load() || m_heldChanged;
        });
        if (m_stop.load())
            return false;
        m_heldChanged = false;
        lock.unlock();
        releaseDueSets();
        lock.lock();
        if (!m_writes.empty()) {
            lock.unlock();
            doWrites();
            lock.lock();
            continue;
        }
        const bool all = m_republish.exchange(false);
        if (all || m_caughtUp.exchange(false)) {
            lock.unlock();
            publishTags(all, monotonicMs());
            lock.lock();
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (now >= next) {
            if (!woken && ahead && until == next)
                noteWakeup(now - next);
            return true;
        }
    }
}

void Controller::wakeToPublish(std::atomic<bool> *flag)
{
    flag->store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake.notify_all();
}

void Controller::noteCycle(const CycleEnd &end)
{
    const double work = std::chrono::duration<double>(end.work).count();
    quint64 total;
    {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        m_stats.cycleWork.add(work);
        if (end.overrun)
            ++m_stats.overruns;
        total = m_stats.overruns;
    }
    // An overrun or skipped starts are logged once in a while, not per cycle
    // (a silent controller overruns every time).
    if (!end.overrun && end.skipped == 0)
        return;
    const qint64 now = monotonicMs();
    if (!verbose() && m_lastOverrunLogMs != 0 && now - m_lastOverrunLogMs < 60000)
        return;
    m_lastOverrunLogMs = now;
    const auto ms = [](Clock::duration d) {
        return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    logLine(QStringLiteral("%1: a cycle's work took %2 ms, %3 its period of %4 ms (%5 overrun(s) so far); it started "
                           "%6 ms after its planned start; %7 planned start(s) skipped")
                .arg(m_config.name)
                .arg(ms(end.work))
                .arg(end.overrun ? QStringLiteral("longer than") : QStringLiteral("within"))
                .arg(m_config.periodMs)
                .arg(total)
                .arg(ms(end.lateness))
                .arg(end.skipped));
}

void Controller::noteWakeup(Clock::duration late)
{
    std::lock_guard<std::mutex> lock(m_statsMutex);
    m_stats.wakeupLateness.add(std::chrono::duration<double>(late).count());
}

} // namespace veskorgw
