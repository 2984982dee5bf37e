// The gateway under the load of a plant: 64 simulated controllers of 200
// tags in 4 areas, read every 100 ms, a tenth of the values changing every
// cycle, values published to a mosquitto broker the benchmark starts (when
// installed; without one the values are kept, not sent, and the message
// rate reads 0).
//
//   gateway/grouped:1   one request per used area and cycle
//   gateway/grouped:0   one request per tag ("group": false)
//
// Counters, over the measured window (VESKOR_GW_BENCH_SECONDS, default 5):
//   tags_per_s          tag values taken from answered reads
//   requests_per_cycle  read requests one controller's cycle makes
//   cpu_ms_per_1000     the gateway's CPU time (this process: the
//                       simulators run in a child) per 1000 tag values
//   overruns            cycles that took longer than their period, all controllers
//   mqtt_msgs_per_s     tag values published to the broker
//   changes_per_s       values the simulators changed (their whole run)
//   stale_reads         reads that did not end with result code 0
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

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int kControllers = 64;
constexpr int kTags = 200;
constexpr int kAreas = 4;
constexpr int kPeriodMs = 100;
const char *const kAreaNames[kAreas] = {"ID1x", "ID2x", "ID3x", "ID4x"};

int windowSeconds()
{
    const int s = qEnvironmentVariableIntValue("VESKOR_GW_BENCH_SECONDS");
    return s > 0 ? s : 5;
}

// Tag t of a controller: area t % 4, an int32 at byte 4 * (t / 4).
int tagArea(int t) { return t % kAreas; }
int tagAddress(int t) { return 4 * (t / kAreas); }

// The child: the simulators, and every period a tenth of each one's values
// changed. Writes the ports to `out`, runs until `in` closes.
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
        if (::poll(&p, 1, kPeriodMs) > 0)
            break;   // the parent closed its end
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
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 100000\n")
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

QByteArray configText(const std::vector<quint16> &ports, quint16 brokerPort, bool group)
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
                                       {"period_ms", kPeriodMs}, {"group", group}, {"tags", tags}});
    const QJsonObject mqtt{{"host", "127.0.0.1"}, {"port", brokerPort ? brokerPort : 1}, {"prefix", "bench"}};
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

void BM_Gateway(benchmark::State &state)
{
    const bool group = state.range(0) != 0;
    Child child;
    const std::vector<quint16> ports = startSimulators(&child);
    if (ports.size() != size_t(kControllers)) {
        state.SkipWithError("the simulators did not start");
        return;
    }
    pid_t broker = -1;
    const QString brokerConf = QStringLiteral("/tmp/veskor-bench-gateway-%1.conf").arg(::getpid());
    const quint16 brokerPort = startBroker(&broker, brokerConf);
    veskorgw::GatewayConfig config;
    QStringList faults;
    if (!veskorgw::parseConfig(QStringLiteral("bench"), configText(ports, brokerPort, group), &config, &faults)) {
        state.SkipWithError(qPrintable(faults.join(QLatin1Char('\n'))));
        return;
    }
    veskorgw::mqttLibraryInit();
    std::vector<std::unique_ptr<veskorgw::Controller>> controllers;
    QString error;
    for (const veskorgw::ControllerConfig &c : config.controllers) {
        controllers.emplace_back(new veskorgw::Controller(c, config.mqtt));
        controllers.back()->start(&error);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));   // connected, first values published
    for (auto _ : state) {
        const Totals before = totals(controllers);
        const double cpu0 = cpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(windowSeconds()));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = cpuSeconds() - cpu0;
        const Totals after = totals(controllers);
        state.SetIterationTime(seconds);
        const double tags = double(after.tags - before.tags);
        state.counters["tags_per_s"] = tags / seconds;
        state.counters["requests_per_cycle"] = after.requests;
        state.counters["cpu_ms_per_1000"] = tags > 0 ? cpu * 1e6 / tags : 0;
        state.counters["overruns"] = double(after.overruns - before.overruns);
        state.counters["mqtt_msgs_per_s"] = double(after.published - before.published) / seconds;
        state.counters["stale_reads"] = double(after.failed - before.failed);
    }
    for (auto &c : controllers)
        c->requestStop();
    for (auto &c : controllers)
        c->disconnectMqtt();
    for (auto &c : controllers)
        c->finishMqtt();
    controllers.clear();
    state.counters["changes_per_s"] = stopSimulators(&child);
    if (broker > 0) {
        ::kill(broker, SIGTERM);
        ::waitpid(broker, nullptr, 0);
    }
    QFile::remove(brokerConf);
}

BENCHMARK(BM_Gateway)->Name("gateway")->ArgName("grouped")->Arg(1)->Arg(0)
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
