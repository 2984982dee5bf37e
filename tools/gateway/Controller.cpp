#include "Controller.h"

#include "MqttOutput.h"

#include "driver/ExportTCPDLL.h"
#include "Log.h"
#include "driver/ResultCodes.h"
#include "protocol/CmdVESKOR.h"
#include "common/Values.h"

#include <QElapsedTimer>

namespace veskorgw {

using Clock = std::chrono::steady_clock;

namespace {

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// A tag is stale once its last good read is older than two periods: a
// cycle may run late by up to one.
QVector<TagRules> tagRules(const ControllerConfig &c)
{
    QVector<TagRules> rules;
    for (const TagConfig &t : c.tags) {
        TagRules r;
        r.deadband = t.deadband;
        r.offlineAfter = c.offlineAfter;
        r.publishEveryMs = c.publishEveryMs;
        r.staleAfterMs = 2 * qint64(c.periodMs);
        rules.append(r);
    }
    return rules;
}

} // namespace

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

Controller::Controller(const ControllerConfig &config, const MqttConfig &mqtt)
    : m_config(config), m_plan(planReads(config.tags, config.group)),
      m_topicPrefix(topicOf(mqtt, config.name, QString())),
      m_mqttPrefix((mqtt.prefix + QLatin1Char('/')).toUtf8()),
      m_qos(mqtt.qos), m_link(new MqttLink(mqtt, config.name)), m_table(tagRules(config)),
      m_latest(config.tags.size(), config.writeIntervalMs), m_held(size_t(config.tags.size())),
      m_refusals(config.tags.size() + 1, RefusalLimits::Limits())
{
    bool anyWritable = false;
    QVector<QByteArray> topics;
    QVector<QString> units;
    for (int i = 0; i < config.tags.size(); ++i) {
        m_tagByName.insert(config.tags.at(i).name, i);
        topics.append(m_topicPrefix + config.tags.at(i).name.toUtf8());
        units.append(config.tags.at(i).scaling.unit);
        anyWritable = anyWritable || config.tags.at(i).writable;
    }
    m_outputs.emplace_back(new MqttOutput(m_link.get(), topics, units, m_qos));
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
    m_beat.beat();
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
    {
        // The worker may still be in a cycle: after this, it publishes nothing.
        std::lock_guard<std::mutex> lock(m_tableMutex);
        for (auto &o : m_outputs)
            o->stop(m_table, monotonicMs());
    }
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
    s.mqttConnects = m_link->connects();
    return s;
}

QString Controller::stuck(qint64 nowMs) const
{
    const QString worker = stuckReason(QStringLiteral("%1: worker").arg(m_config.name), m_beat.last(), nowMs,
                                       workerAllowanceMs(m_config, CmdVESKOR::kAnswerWaitMs));
    if (!worker.isEmpty())
        return worker;
    return stuckReason(QStringLiteral("%1: MQTT network thread").arg(m_config.name), m_link->heartbeat().last(),
                       nowMs, mqttAllowanceMs(m_link->config()));
}

QVector<TagReading> Controller::readings() const
{
    const qint64 now = monotonicMs();
    std::lock_guard<std::mutex> lock(m_tableMutex);
    QVector<TagReading> out;
    out.reserve(m_table.size());
    for (int i = 0; i < m_table.size(); ++i)
        out.append(m_table.reading(i, now));
    return out;
}

void Controller::connectDriver()
{
    // Made on this thread, used from it alone: one call at a time.
    m_driver = getSharedLibrary();
    m_driver->SetConnectPar(QString::number(m_config.device));
    if (m_driver->ConnectDrive(m_config.connect) != 0)
        logLine(LogLevel::Error, m_config.name, QStringLiteral("the plug-in refused the connection %1").arg(m_config.connect));
    logLine(LogLevel::Info, m_config.name,
            QStringLiteral("%1 (device %2), %3 tags every %4 ms, %5")
                .arg(m_config.connect).arg(m_config.device).arg(m_config.tags.size())
                .arg(m_config.periodMs).arg(describePlan(m_plan, m_config.group)));
}

void Controller::run()
{
    connectDriver();
    const auto period = std::chrono::milliseconds(m_config.periodMs);
    Clock::time_point planned = Clock::now();
    while (!m_stop.load()) {
        m_beat.beat();
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
        m_firstCycleEnded.store(true);
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
        m_beat.beat();
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
    {
        std::lock_guard<std::mutex> lock(m_tableMutex);
        for (int t : r.tags)
            m_table.fail(t, veskor::RcNoAnswer);
    }
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
    {
        std::lock_guard<std::mutex> lock(m_tableMutex);
        if (code != veskor::RcDone) {
            for (int t : r.tags)
                m_table.fail(t, code);
        } else if (r.image) {
            takeImage(r, imageBytes(rec.value), rec.timeStamp);
        } else {
            takeValue(r.tags.first(), rec.value, rec.timeStamp);
        }
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

// Under the table's lock.
void Controller::takeImage(const ReadRequest &r, const QByteArray &image, const QDateTime &ts)
{
    const qint64 now = monotonicMs();
    for (int index : r.tags) {
        const TagConfig &cfg = m_config.tags.at(index);
        if (qint64(cfg.address) + cfg.bytes > image.size()) {
            m_table.fail(index, veskor::RcLength);
            continue;
        }
        // Unchanged bytes decode to the unchanged value: only its time moves.
        // Compared in place: most tags do not change from one cycle to the next.
        const QByteArray raw = QByteArray::fromRawData(image.constData() + cfg.address, cfg.bytes);
        if (m_table.sameBytes(index, raw)) {
            m_table.refresh(index, ts, now);
            continue;
        }
        const QVariant value = decodeFromImage(cfg, image);
        m_table.take(index, valueJson(cfg, value), numericValues(cfg, value), raw, ts, now);
    }
}

// Under the table's lock.
void Controller::takeValue(int index, const QVariant &value, const QDateTime &ts)
{
    const TagConfig &cfg = m_config.tags.at(index);
    m_table.take(index, valueJson(cfg, value), numericValues(cfg, value), QByteArray(), ts, monotonicMs());
}

void Controller::publishTags(bool all, qint64 nowMs)
{
    if (all)
        publishState();
    int sent = 0;
    {
        const MqttLink::Batch batch(m_link.get());
        std::lock_guard<std::mutex> lock(m_tableMutex);
        for (auto &o : m_outputs)
            sent += o->publish(m_table, nowMs, all);
    }
    std::lock_guard<std::mutex> lock(m_statsMutex);
    m_stats.published += quint64(sent);
}

void Controller::setState(bool answered)
{
    const State before = m_state;
    const qint64 now = monotonicMs();
    if (answered) {
        m_failedCycles = 0;
        m_state = State::Online;
    } else {
        if (m_failedCycles++ == 0) {
            m_silentSinceMs = now;
            m_silentSince = QDateTime::currentDateTime();
        }
        if (m_failedCycles >= m_config.offlineAfter)
            m_state = State::Offline;
    }
    noteSilence(answered, now);
    if (m_state == before)
        return;
    if (before == State::Unknown && m_state == State::Online)
        logLine(LogLevel::Info, m_config.name, QStringLiteral("online"));
    {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        m_stats.up = m_state == State::Online;
    }
    publishState();
}

// A controller offline is said once, with the time of its first cycle
// without an answer; then at most once a minute while it stays silent; and
// once when it answers again (Outage.h).
void Controller::noteSilence(bool answered, qint64 nowMs)
{
    if (answered) {
        if (m_silence.recover(nowMs) == Outage::Say::Ended)
            logLine(LogLevel::Info, m_config.name,
                    QStringLiteral("answering again after %1 s; online").arg((m_silence.lastedMs(nowMs) + 500) / 1000));
        return;
    }
    if (m_state != State::Offline)
        return;
    const Outage::Say say = m_silence.fail(nowMs, QStringLiteral("no answer"), m_silentSinceMs);
    if (say == Outage::Say::Began)
        logLine(LogLevel::Warning, m_config.name,
                QStringLiteral("no answer since %1 (%2 cycles); offline")
                    .arg(veskortool::formatTimestamp(m_silentSince)).arg(m_failedCycles));
    else if (say == Outage::Say::Still)
        logLine(LogLevel::Warning, m_config.name,
                QStringLiteral("still silent (%1 min)").arg(m_silence.lastedMs(nowMs) / 60000));
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
        m_beat.beat();
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
    logLine(LogLevel::Warning, m_config.name,
            QStringLiteral("a cycle's work took %1 ms, %2 its period of %3 ms (%4 overrun(s) so far); it started "
                           "%5 ms after its planned start; %6 planned start(s) skipped")
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
