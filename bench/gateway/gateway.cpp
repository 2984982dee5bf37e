// The gateway under the load of a plant: 64 simulated controllers of 200
// tags in 4 areas, read every 100 ms, a tenth of the values changing every
// cycle, values published to a mosquitto broker the benchmark starts (when
// installed; without one the values are kept, not sent, and the message
// rates read 0).
//
//   gateway/grouped:1   one request per used area and cycle
//   gateway/grouped:0   one request per tag ("group": false)
//   gateway_flood       grouped, every tag changing every period of
//                       VESKOR_GW_BENCH_FLOOD_PERIOD_MS (default 50): more
//                       values than the gateway can publish. Then, in the same
//                       run against the same broker, a bare libmosquitto
//                       publisher of the same topics, payload sizes, QoS and
//                       retain flag, on one connection, as fast as it can;
//                       both rates as the broker counted them, and their ratio
//                       (no subscriber in this one)
//
// The window (VESKOR_GW_BENCH_SECONDS, default 5) runs from one renewal of
// the broker's $SYS counters to the first renewal at least the window's
// length less half a second later, and every counter is taken at those two
// instants: the window is stretched to the broker's renewals (mosquitto 2.0
// renews them every 2 s with sys_interval 1, so 5 s become 6). Without a
// broker, or when its renewals do not come, the window is a plain sleep and
// the broker's rate reads 0.
//
// Counters, over the measured window:
//   mqtt_broker_received_per_s  MQTT packets the broker read, by its own count
//                       ($SYS/broker/messages/received). In the window these
//                       are the gateway's value PUBLISHes (QoS 0: nothing
//                       comes back) and now and then a client's keep-alive
//                       ping; no other client sends anything
//   mqtt_publish_calls_per_s  mosquitto_publish calls of the gateway that
//                       the library took: queued on the client, not
//                       necessarily sent, let alone received
//   mqtt_subscriber_per_s  tag values that reached a subscriber of the
//                       benchmark's own on the gateway's topics (0 with
//                       VESKOR_GW_BENCH_SUBSCRIBER=0: then it does not run)
//   mqtt_broker_dropped messages the broker dropped since it started (a
//                       subscriber's queue full), as it last told before the
//                       window's end
//   watch_cpu_ms_per_s  CPU time of the benchmark's two broker clients
//   broker_cpu_ms_per_s CPU time of the broker (/proc, clock ticks)
//   tags_per_s          tag values taken from answered reads
//   requests_per_cycle  read requests one controller's cycle makes
//   cpu_ms_per_1000     the gateway's CPU time (this process, less the two
//                       broker clients' threads: the simulators run in a
//                       child, the broker in a process of its own) per 1000
//                       tag values
//   overruns            cycles that took longer than their period, all controllers
//   changes_per_s       values the simulators changed (their whole run)
//   stale_reads         reads that did not end with result code 0
//   bare_broker_received_per_s  gateway_flood: the bare publisher's rate, by
//                       the broker's count as above
//   gateway_to_bare     gateway_flood: mqtt_broker_received_per_s over it
#include <benchmark/benchmark.h>

#include "Config.h"
#include "Controller.h"
#include "MqttLink.h"
#include "Tags.h"
#include "VeskorSim.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int kControllers = 64;
constexpr int kTags = 200;
constexpr int kAreas = 4;
constexpr int kPeriodMs = 100;
const char *const kAreaNames[kAreas] = {"ID1x", "ID2x", "ID3x", "ID4x"};
const char *const kPrefix = "bench";   // the gateway's topics: bench/<controller>/<tag>
// Every MQTT packet the broker read, from any client. Not the count of
// PUBLISH packets received ($SYS/broker/publish/messages/received): mosquitto
// 2.0 leaves retained messages out of that one, and the gateway's values are
// all retained.
const char *const kSysReceived = "$SYS/broker/messages/received";
const char *const kSysDropped = "$SYS/broker/publish/messages/dropped";

int windowSeconds()
{
    const int s = qEnvironmentVariableIntValue("VESKOR_GW_BENCH_SECONDS");
    return s > 0 ? s : 5;
}

// Tag t of a controller: area t % 4, an int32 at byte 4 * (t / 4).
int tagArea(int t) { return t % kAreas; }
int tagAddress(int t) { return 4 * (t / kAreas); }

// What the simulators change: a tenth of each one's tags every kPeriodMs,
// or every tag every periodMs. Set before startSimulators() forks.
struct SimPlan {
    int periodMs = kPeriodMs;
    bool everyTag = false;
};
SimPlan g_simPlan;

int floodPeriodMs()
{
    const int ms = qEnvironmentVariableIntValue("VESKOR_GW_BENCH_FLOOD_PERIOD_MS");
    return ms > 0 ? ms : 50;
}

// Every tag of every simulator a new value: each area written whole.
quint64 changeEveryTag(std::vector<std::unique_ptr<veskorsim::Simulator>> &sims, const quint32 *codes,
                       quint32 *counter)
{
    QByteArray area(4 * kTags / kAreas, '\0');
    for (auto &sim : sims)
        for (int a = 0; a < kAreas; ++a) {
            for (int at = 0; at < area.size(); at += 4) {
                ++*counter;
                std::memcpy(area.data() + at, counter, 4);
            }
            sim->setArea(codes[a], 0, area);
        }
    return quint64(sims.size()) * kTags;
}

// The child: the simulators, and every period a tenth of each one's values
// changed (or all, as g_simPlan says). Writes the ports to `out`, runs until
// `in` closes.
[[noreturn]] void simulatorsChild(int in, int out)
{
    int argc = 1;
    char name[] = "veskor-bench-sims";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    std::vector<std::unique_ptr<veskorsim::Simulator>> sims;
    for (int i = 0; i < kControllers; ++i) {
        veskorsim::SimConfig c;
        c.areaSize = 4 * kTags / kAreas;
        c.keepReceived = false;
        sims.emplace_back(new veskorsim::Simulator(c));
        if (!sims.back()->start())
            std::_Exit(1);
        const quint16 port = sims.back()->port();
        if (::write(out, &port, sizeof port) != sizeof port)
            std::_Exit(1);
    }
    quint32 codes[kAreas];
    for (int a = 0; a < kAreas; ++a)
        codes[a] = quint32(veskor::tagArea(QLatin1String(kAreaNames[a]) + QLatin1Char('0')));
    quint32 counter = 0;
    quint64 changes = 0;
    int cycle = 0;
    const auto began = std::chrono::steady_clock::now();
    for (;;) {
        pollfd p{in, POLLIN, 0};
        if (::poll(&p, 1, g_simPlan.periodMs) > 0)
            break;   // the parent closed its end
        if (g_simPlan.everyTag) {
            changes += changeEveryTag(sims, codes, &counter);
            continue;
        }
        // A tenth of the tags, each a different one, and each tag changed
        // only every tenth cycle: every change is one message to publish.
        ++cycle;
        for (auto &sim : sims)
            for (int k = 0; k < kTags / 10; ++k) {
                const int t = (cycle % 10 + 10 * k) % kTags;
                ++counter;
                sim->setArea(codes[tagArea(t)], tagAddress(t), QByteArray(reinterpret_cast<const char *>(&counter), 4));
                ++changes;
            }
    }
    const double rate = double(changes) / std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (::write(out, &rate, sizeof rate) != sizeof rate)
        std::_Exit(1);
    std::_Exit(0);
}

struct Child {
    pid_t pid = -1;
    int toChild = -1, fromChild = -1;
};

// Forks the simulators' process; their ports in order.
std::vector<quint16> startSimulators(Child *child)
{
    int down[2], up[2];
    // Close-on-exec: the broker, spawned later, must not hold the ends open.
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0)
        return {};
    child->pid = ::fork();
    if (child->pid == 0) {
        ::close(down[1]);
        ::close(up[0]);
        simulatorsChild(down[0], up[1]);
    }
    ::close(down[0]);
    ::close(up[1]);
    child->toChild = down[1];
    child->fromChild = up[0];
    std::vector<quint16> ports(kControllers);
    for (quint16 &p : ports)
        if (::read(child->fromChild, &p, sizeof p) != sizeof p)
            return {};
    return ports;
}

// Stops them; the values they changed per second.
double stopSimulators(Child *child)
{
    double changes = 0;
    ::close(child->toChild);
    if (::read(child->fromChild, &changes, sizeof changes) != sizeof changes)
        changes = 0;
    ::close(child->fromChild);
    ::waitpid(child->pid, nullptr, 0);
    return changes;
}

// A mosquitto of the benchmark's own on a free port; 0 when not installed.
quint16 startBroker(pid_t *pid, const QString &confPath)
{
    QString exe = QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
    if (exe.isEmpty())
        exe = QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin")});
    if (exe.isEmpty())
        return 0;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QFile conf(confPath);
    if (!conf.open(QIODevice::WriteOnly))
        return 0;
    // sys_interval 1: the broker's own counts are renewed as often as it can.
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n"
                              "max_queued_messages 100000\nsys_interval 1\n")
                   .arg(port).toUtf8());
    conf.close();
    const QByteArray e = exe.toLocal8Bit(), c = confPath.toLocal8Bit();
    char *args[] = {const_cast<char *>(e.constData()), const_cast<char *>("-c"),
                    const_cast<char *>(c.constData()), nullptr};
    // Its log would run into the benchmark's table.
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(pid, e.constData(), &quiet, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (rc != 0)
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return port;
}

// Two libmosquitto clients of the benchmark's own on the broker. One reads
// the broker's counts of packets received and messages dropped, renewed
// every sys_interval; the other, when asked for, subscribes to the gateway's
// tag topics and counts the values that reach it. Each has its own connection
// (the broker's counts do not wait behind the flood of values) and runs its
// network loop on a thread of its own, whose CPU time the window takes out
// of the gateway's.
class BrokerWatch
{
public:
    using Tick = std::function<void(quint64 received)>;

    BrokerWatch() = default;
    BrokerWatch(const BrokerWatch &) = delete;
    BrokerWatch &operator=(const BrokerWatch &) = delete;
    ~BrokerWatch() { stop(); }

    // False when the broker cannot be reached.
    bool start(quint16 port, bool subscriber)
    {
        return connect(&m_sys, port, &BrokerWatch::sysMessage, "$SYS/broker/#")
            && (!subscriber || connect(&m_values, port, &BrokerWatch::valueMessage, QByteArray(kPrefix) + "/+/+"));
    }

    void stop()
    {
        for (Client *c : {&m_sys, &m_values}) {
            if (!c->mosq)
                continue;
            mosquitto_disconnect(c->mosq);
            c->loop.join();
            mosquitto_destroy(c->mosq);
            c->mosq = nullptr;
        }
    }

    bool running() const { return m_sys.mosq != nullptr; }

    // Runs `at` on the watch's thread as the next renewal of the broker's
    // received count arrives, with that count. False when none came within
    // `timeout` (then `at` does not run).
    bool atNextTick(const Tick &at, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_tickMutex);
        m_tick = &at;
        const bool came = m_tickDone.wait_for(lock, timeout, [this] { return m_tick == nullptr; });
        m_tick = nullptr;
        return came;
    }

    quint64 values() const { return m_valueCount.load(); }
    quint64 dropped() const { return m_dropped.load(); }

    // Both clients' network threads.
    double cpuSeconds()
    {
        double s = 0;
        for (Client *c : {&m_sys, &m_values}) {
            clockid_t id;
            timespec ts{};
            if (c->loop.joinable() && pthread_getcpuclockid(c->loop.native_handle(), &id) == 0
                && clock_gettime(id, &ts) == 0)
                s += double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
        }
        return s;
    }

private:
    using Handler = void (BrokerWatch::*)(const mosquitto_message *);
    struct Client {
        BrokerWatch *self = nullptr;
        Handler handler = nullptr;
        QByteArray filter;
        mosquitto *mosq = nullptr;
        std::thread loop;
    };

    bool connect(Client *c, quint16 port, Handler handler, const QByteArray &filter);
    void sysMessage(const mosquitto_message *m);
    void valueMessage(const mosquitto_message *m);

    Client m_sys, m_values;
    std::atomic<quint64> m_valueCount{0};
    std::atomic<quint64> m_dropped{0};
    std::mutex m_tickMutex;
    std::condition_variable m_tickDone;
    const Tick *m_tick = nullptr;   // under m_tickMutex; null once run
};

// Subscribes to `filter` on every connect and hands each message to
// `handler`; the network loop on the client's thread.
bool BrokerWatch::connect(Client *c, quint16 port, Handler handler, const QByteArray &filter)
{
    c->self = this;
    c->handler = handler;
    c->filter = filter;
    c->mosq = mosquitto_new(nullptr, true, c);
    if (!c->mosq)
        return false;
    mosquitto_threaded_set(c->mosq, true);
    mosquitto_connect_callback_set(c->mosq, [](mosquitto *m, void *obj, int rc) {
        if (rc == 0)
            mosquitto_subscribe(m, nullptr, static_cast<Client *>(obj)->filter.constData(), 0);
    });
    mosquitto_message_callback_set(c->mosq, [](mosquitto *, void *obj, const mosquitto_message *msg) {
        auto *client = static_cast<Client *>(obj);
        (client->self->*client->handler)(msg);
    });
    if (mosquitto_connect(c->mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(c->mosq);
        c->mosq = nullptr;
        return false;
    }
    mosquitto *mosq = c->mosq;
    c->loop = std::thread([mosq] { mosquitto_loop_forever(mosq, -1, 1); });
    return true;
}

quint64 payloadCount(const mosquitto_message *m)
{
    return QByteArray(static_cast<const char *>(m->payload), m->payloadlen).toULongLong();
}

void BrokerWatch::sysMessage(const mosquitto_message *m)
{
    if (qstrcmp(m->topic, kSysDropped) == 0) {
        m_dropped = payloadCount(m);
        return;
    }
    // A retained count is the one kept from before the subscription, not a
    // renewal.
    if (m->retain || qstrcmp(m->topic, kSysReceived) != 0)
        return;
    std::lock_guard<std::mutex> lock(m_tickMutex);
    if (m_tick) {
        (*m_tick)(payloadCount(m));
        m_tick = nullptr;
        m_tickDone.notify_all();
    }
}

// <prefix>/<controller>/<tag>; not <prefix>/<controller>/$state.
void BrokerWatch::valueMessage(const mosquitto_message *m)
{
    const char *last = std::strrchr(m->topic, '/');
    if (!m->retain && last && last[1] != '$')
        ++m_valueCount;
}

QByteArray configText(const std::vector<quint16> &ports, quint16 brokerPort, bool group, int periodMs = kPeriodMs)
{
    QJsonArray tags;
    for (int t = 0; t < kTags; ++t)
        tags.append(QJsonObject{{"name", QStringLiteral("t%1").arg(t)},
                                {"tag", QStringLiteral("%1%2").arg(QLatin1String(kAreaNames[tagArea(t)])).arg(tagAddress(t))},
                                {"type", "int32"}});
    QJsonArray controllers;
    for (int i = 0; i < kControllers; ++i)
        controllers.append(QJsonObject{{"name", QStringLiteral("c%1").arg(i)},
                                       {"connect", QStringLiteral("127.0.0.1:%1").arg(ports.at(size_t(i)))},
                                       {"period_ms", periodMs}, {"group", group}, {"tags", tags}});
    const QJsonObject mqtt{{"host", "127.0.0.1"}, {"port", brokerPort ? brokerPort : 1}, {"prefix", kPrefix}};
    return QJsonDocument(QJsonObject{{"mqtt", mqtt}, {"metrics", false}, {"controllers", controllers}}).toJson();
}

struct Totals {
    quint64 tags = 0, published = 0, overruns = 0, failed = 0;
    int requests = 0;
};

Totals totals(const std::vector<std::unique_ptr<veskorgw::Controller>> &controllers)
{
    Totals t;
    for (const auto &c : controllers) {
        const veskorgw::ControllerStats s = c->stats();
        t.tags += s.tagsRead;
        t.published += s.published;
        t.overruns += s.overruns;
        for (auto it = s.readsByCode.begin(); it != s.readsByCode.end(); ++it)
            if (it.key() != 0)
                t.failed += it.value();
        t.requests = c->requestsPerCycle();
    }
    return t;
}

double cpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Another process's CPU time (user and system) from /proc; 0 when unknown.
double processCpuSeconds(pid_t pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !f.open(QIODevice::ReadOnly))
        return 0;
    // The command's name may hold spaces: fields are counted after its ')'.
    const QByteArray line = f.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields.at(11).toULongLong() + fields.at(12).toULongLong()) / double(::sysconf(_SC_CLK_TCK));
}

// Every counter at one instant.
struct Snapshot {
    std::chrono::steady_clock::time_point at;
    Totals gateway;
    double cpu = 0;              // the process's, less the broker clients' threads
    double watchCpu = 0;         // the broker clients' threads
    double brokerCpu = 0;        // the broker's process
    quint64 subscriber = 0;      // values that reached the subscriber
    quint64 brokerReceived = 0;  // the broker's count; 0 without one
    quint64 brokerDropped = 0;   // since the broker started
};

// The window's two ends, taken as the broker renews its counts (see the top
// of the file); false when it does not and the broker's counts are unknown.
bool measureWindow(const std::vector<std::unique_ptr<veskorgw::Controller>> &controllers, BrokerWatch *watch,
                   pid_t broker, Snapshot *begin, Snapshot *end)
{
    Snapshot *into = begin;
    const BrokerWatch::Tick take = [&](quint64 received) {
        into->at = std::chrono::steady_clock::now();
        into->gateway = totals(controllers);
        into->watchCpu = watch->cpuSeconds();
        into->cpu = cpuSeconds() - into->watchCpu;
        into->brokerCpu = processCpuSeconds(broker);
        into->subscriber = watch->values();
        into->brokerReceived = received;
        into->brokerDropped = watch->dropped();
    };
    // Renewals come every sys_interval, 2 s on mosquitto 2.0: a few missed
    // ones are a broker that stopped telling.
    const auto patience = std::chrono::milliseconds(5000);
    const std::chrono::duration<double> length(windowSeconds() - 0.5);
    if (watch->running() && watch->atNextTick(take, patience)) {
        std::this_thread::sleep_until(begin->at + std::chrono::duration_cast<std::chrono::nanoseconds>(length));
        into = end;
        if (watch->atNextTick(take, patience))
            return true;
        take(0);
        return false;
    }
    take(0);
    std::this_thread::sleep_for(std::chrono::seconds(windowSeconds()));
    into = end;
    take(0);
    return false;
}

void report(benchmark::State &state, const Snapshot &a, const Snapshot &b, bool brokerCounted)
{
    const double seconds = std::chrono::duration<double>(b.at - a.at).count();
    state.SetIterationTime(seconds);
    const double tags = double(b.gateway.tags - a.gateway.tags);
    state.counters["mqtt_broker_received_per_s"] =
        brokerCounted ? double(b.brokerReceived - a.brokerReceived) / seconds : 0;
    state.counters["mqtt_publish_calls_per_s"] = double(b.gateway.published - a.gateway.published) / seconds;
    state.counters["mqtt_subscriber_per_s"] = double(b.subscriber - a.subscriber) / seconds;
    state.counters["mqtt_broker_dropped"] = double(b.brokerDropped);
    state.counters["watch_cpu_ms_per_s"] = (b.watchCpu - a.watchCpu) * 1e3 / seconds;
    state.counters["broker_cpu_ms_per_s"] = (b.brokerCpu - a.brokerCpu) * 1e3 / seconds;
    state.counters["tags_per_s"] = tags / seconds;
    state.counters["requests_per_cycle"] = b.gateway.requests;
    state.counters["cpu_ms_per_1000"] = tags > 0 ? (b.cpu - a.cpu) * 1e6 / tags : 0;
    state.counters["overruns"] = double(b.gateway.overruns - a.gateway.overruns);
    state.counters["stale_reads"] = double(b.gateway.failed - a.gateway.failed);
}

// The simulators, a broker, the benchmark's clients on it and the gateway's
// controllers, started in that order; stopped in the other.
struct Rig {
    Child child;
    pid_t broker = -1;
    quint16 brokerPort = 0;
    QString brokerConf;
    BrokerWatch watch;
    std::vector<std::unique_ptr<veskorgw::Controller>> controllers;

    // Empty when all started; else why not.
    QString start(bool group, bool subscriber, int periodMs)
    {
        const std::vector<quint16> ports = startSimulators(&child);
        if (ports.size() != size_t(kControllers))
            return QStringLiteral("the simulators did not start");
        brokerConf = QStringLiteral("/tmp/veskor-bench-gateway-%1.conf").arg(::getpid());
        brokerPort = startBroker(&broker, brokerConf);
        veskorgw::GatewayConfig config;
        QStringList faults;
        if (!veskorgw::parseConfig(QStringLiteral("bench"), configText(ports, brokerPort, group, periodMs), &config,
                                   &faults))
            return faults.join(QLatin1Char('\n'));
        veskorgw::mqttLibraryInit();
        // Before the gateway: the subscriber sees its values from the first.
        if (brokerPort && !watch.start(brokerPort, subscriber))
            std::fprintf(stderr, "the benchmark's broker clients did not connect: the broker's rate reads 0\n");
        QString error;
        for (const veskorgw::ControllerConfig &c : config.controllers) {
            controllers.emplace_back(new veskorgw::Controller(c, config.mqtt));
            controllers.back()->start(&error);
        }
        return QString();
    }

    void stopGateway()
    {
        for (auto &c : controllers)
            c->requestStop();
        for (auto &c : controllers)
            c->disconnectMqtt();
        for (auto &c : controllers)
            c->finishMqtt();
        controllers.clear();
    }

    // The values the simulators changed per second.
    double stop()
    {
        stopGateway();
        watch.stop();
        const double changes = stopSimulators(&child);
        if (broker > 0) {
            ::kill(broker, SIGTERM);
            ::waitpid(broker, nullptr, 0);
        }
        QFile::remove(brokerConf);
        return changes;
    }
};

void BM_Gateway(benchmark::State &state)
{
    const bool group = state.range(0) != 0;
    g_simPlan = SimPlan();
    Rig rig;
    const QString error =
        rig.start(group, qEnvironmentVariable("VESKOR_GW_BENCH_SUBSCRIBER") != QLatin1String("0"), kPeriodMs);
    if (!error.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));   // connected, first values published
    for (auto _ : state) {
        Snapshot a, b;
        const bool counted = measureWindow(rig.controllers, &rig.watch, rig.broker, &a, &b);
        if (rig.brokerPort && !counted)
            std::fprintf(stderr, "the broker did not renew its counts: its rate reads 0\n");
        report(state, a, b, counted);
    }
    state.counters["changes_per_s"] = rig.stop();
}

// A publisher with nothing around it: one libmosquitto connection, its own
// thread, the gateway's topics in turn with payloads of the gateway's form
// and size ({"code","quality","ts","value"}, an int32 value), QoS 0,
// retained, as fast as the socket takes them. The client writes each
// message as it is published; when the socket is full it waits for room, so
// nothing piles up on its side.
class BarePublisher
{
public:
    ~BarePublisher() { stop(); }

    bool start(quint16 port)
    {
        m_mosq = mosquitto_new(nullptr, true, nullptr);
        if (!m_mosq || mosquitto_connect(m_mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
            return false;
        for (int c = 0; c < kControllers; ++c)
            for (int t = 0; t < kTags; ++t)
                m_topics.push_back(QByteArray(kPrefix) + "/c" + QByteArray::number(c) + "/t" + QByteArray::number(t));
        m_thread = std::thread([this] { run(); });
        return true;
    }

    void stop()
    {
        m_stop.store(true);
        if (m_thread.joinable())
            m_thread.join();
        if (m_mosq) {
            mosquitto_disconnect(m_mosq);
            mosquitto_destroy(m_mosq);
            m_mosq = nullptr;
        }
    }

    double cpuSeconds()
    {
        clockid_t id;
        timespec ts{};
        if (m_thread.joinable() && pthread_getcpuclockid(m_thread.native_handle(), &id) == 0
            && clock_gettime(id, &ts) == 0)
            return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
        return 0;
    }

private:
    void run()
    {
        quint32 value = 0;
        char payload[128];
        while (!m_stop.load()) {
            // One time stamp per round, as a cycle's reads share theirs.
            const QDateTime now = QDateTime::currentDateTime();
            const QByteArray ts = now.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")).toLatin1() + "+00:00";
            for (size_t i = 0; i < m_topics.size() && !m_stop.load(); ++i) {
                const int n = std::snprintf(payload, sizeof payload,
                                            "{\"code\":0,\"quality\":\"good\",\"ts\":\"%s\",\"value\":%d}",
                                            ts.constData(), int(++value));
                mosquitto_publish(m_mosq, nullptr, m_topics[i].constData(), n, payload, 0, true);
                // Room in the socket before the next controller's worth.
                if (i % kTags == kTags - 1)
                    while (mosquitto_want_write(m_mosq) && !m_stop.load())
                        mosquitto_loop(m_mosq, 10, 1);
            }
            mosquitto_loop(m_mosq, 0, 1);   // the broker's pings
        }
    }

    mosquitto *m_mosq = nullptr;
    std::vector<QByteArray> m_topics;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Every tag changing every period of floodPeriodMs(): the gateway's rate at
// the broker; then, with the gateway stopped, a bare publisher's on the same
// broker; and the ratio.
void BM_GatewayFlood(benchmark::State &state)
{
    g_simPlan.periodMs = floodPeriodMs();
    g_simPlan.everyTag = true;
    Rig rig;
    const QString error = rig.start(true, false, g_simPlan.periodMs);
    if (!error.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (auto _ : state) {
        Snapshot a, b;
        const bool counted = measureWindow(rig.controllers, &rig.watch, rig.broker, &a, &b);
        report(state, a, b, counted);
        rig.stopGateway();
        // What the gateway had sent reaches the broker before the other window.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        BarePublisher bare;
        if (!rig.brokerPort || !bare.start(rig.brokerPort)) {
            state.SkipWithError("the bare publisher did not connect");
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        Snapshot c, d;
        const bool bareCounted = measureWindow(rig.controllers, &rig.watch, rig.broker, &c, &d);
        bare.stop();
        const double bareRate = bareCounted ? double(d.brokerReceived - c.brokerReceived)
                                                  / std::chrono::duration<double>(d.at - c.at).count()
                                            : 0;
        state.counters["bare_broker_received_per_s"] = bareRate;
        state.counters["gateway_to_bare"] =
            bareRate > 0 ? double(state.counters["mqtt_broker_received_per_s"]) / bareRate : 0;
    }
    state.counters["changes_per_s"] = rig.stop();
}

BENCHMARK(BM_Gateway)->Name("gateway")->ArgName("grouped")->Arg(1)->Arg(0)
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_GatewayFlood)->Name("gateway_flood")->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
