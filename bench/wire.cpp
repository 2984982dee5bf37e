// Round trips over UDP on 127.0.0.1, all against the same in-process
// responder (responder.h):
//   wire/raw_read     POSIX sendto of a 16-byte request, blocking recvfrom of
//                     the 216-byte answer: the floor for a read
//   wire/raw_write    the same for a 15-byte write request and its 11-byte ack
//   wire/raw_read_rules  the raw read with the system calls the driver's
//                     matching rules need and the raw floor does without:
//                     receive stamps on the socket (SO_TIMESTAMPING), the
//                     clocks read before the send and after the receive, and
//                     one recvmmsg that also looks for datagrams pending
//                     behind the first. ReadVariable's x_rules is its time
//                     over this row's median: what the driver adds above the
//                     kernel's share of the rules
//   wire/libmodbus_read  the peer baseline: libmodbus reads 100 holding
//                     registers (200 bytes) over TCP from a libmodbus server
//                     thread on 127.0.0.1 (modbuspeer.h)
//   wire/ReadVariable  ReadVariable("ID4x0", DT_INT16, 100) through the
//                     CDriveBaseClass interface of the plug-in, loaded with
//                     dlopen + getSharedLibrary as a host loads it
//   wire/WriteVariable WriteVariable of DT_INT16, count 2
//   wire/scale_raw     64 raw sockets on 8 threads, 8 each, each thread
//                     reading from its own responder in turn: the floor for
//                     many drivers at once
//   wire/scale_raw_rules  the same with raw_read_rules' calls
//   wire/scale_ReadVariable  the same with 64 driver objects (8 per thread)
//                     and ReadVariable; reads_vs_raw is its aggregate reads
//                     per second over the raw sockets' (median) in the same run,
//                     reads_vs_rules over scale_raw_rules'.
// In the scale runs every answer is checked: the raw one byte for byte, the
// driver's 100 values against those the responder sends.
// Times are wall-clock per round trip. The counters x_raw_read and
// x_raw_write are each repetition's time over the median of the raw floor's
// repetitions in the same run (the raw benchmarks run first); x_modbus is the
// time over the libmodbus read's median.
//
// --heap_reads=N  after the benchmarks, N more ReadVariable calls with the
//                 process's heap traffic counted (heapcount.h): allocations
//                 per read and the net growth over the N reads.
// --heap_only     skip the benchmarks, do only the heap check.
// --profile_reads=N  only N ReadVariable calls in profileReads(), for a profiler.
// Pinning the process (taskset -c 0) pins the responder thread with it.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QVariant>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CDriveBaseClass.h"

#include <modbus.h>
#include "heapcount.h"
#include "modbuspeer.h"
#include "ratio.h"
#include "responder.h"

#ifndef VESKOR_PLUGIN_PATH
#define VESKOR_PLUGIN_PATH "libLibVESKOR.so.1"
#endif

namespace {

vbench::Responder g_responder;
vbench::ModbusPeer g_modbus;
CDriveBaseClass *g_driver = nullptr;

const QString kTag = QStringLiteral("ID4x0");
constexpr int kReadCount = 100;   // DT_INT16 elements: 200 bytes
constexpr int kWriteCount = 2;
// The raw clients' read request: area code 0x30008200 ("ID4x"),
// device 1, as the driver sends them.
const unsigned char kReadRequest[vbench::kReadRequestBytes] = {
    'M', 'R', 0x0E, 0x00, 0x01, 0x00, 0x1E, 0x00, 0x30, 0x00, 0x82, 0x00, 0x01, 0x00, 0x00, 0x00};

vbench::Baselines g_base;

void setRatios(benchmark::State &state, const vbench::Stopwatch &w)
{
    g_base.ratio(state, "x_raw_read", "raw_read", w);
    g_base.ratio(state, "x_raw_write", "raw_write", w);
    g_base.ratio(state, "x_modbus", "libmodbus_read", w);
}

// ---------------------------------------------------------------- raw floor

class RawClient
{
public:
    explicit RawClient(std::uint16_t port = g_responder.port())
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        timeval tv{2, 0};   // never hang on a lost datagram
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(port);
        m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~RawClient() { ::close(m_fd); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;
    const unsigned char *answer() const { return m_in; }

    // One request out, one answer of exactly `expect` bytes back.
    bool exchange(const unsigned char *req, size_t len, size_t expect)
    {
        if (::sendto(m_fd, req, len, 0, reinterpret_cast<const sockaddr *>(&m_to), sizeof m_to)
            != ssize_t(len))
            return false;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, m_in, sizeof m_in, 0, reinterpret_cast<sockaddr *>(&from),
                                     &fromLen);
        return n == ssize_t(expect);
    }

private:
    int m_fd = -1;
    sockaddr_in m_to{};
    unsigned char m_in[2048];
};

void rawRoundTrip(benchmark::State &state, const unsigned char *req, size_t len, size_t expect,
                  const char *name)
{
    RawClient client;
    vbench::Stopwatch w(vbench::Clock::Wall);
    for (auto _ : state) {
        if (!client.exchange(req, len, expect)) {
            state.SkipWithError("raw exchange failed");
            return;
        }
    }
    w.stop(state);
    g_base.record(name, w);
    if (std::strcmp(name, "raw_write") == 0)
        g_base.ratio(state, "x_raw_read", "raw_read", w);
}

void BM_RawRead(benchmark::State &state)
{
    rawRoundTrip(state, kReadRequest, sizeof kReadRequest, vbench::kReadAnswerBytes, "raw_read");
}

void BM_RawWrite(benchmark::State &state)
{
    // 11-byte header and two INT16 elements.
    static const unsigned char req[15] = {0x02, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0x04, 0x00, 0x01, 0x00, 0x02, 0x00};
    rawRoundTrip(state, req, sizeof req, vbench::kWriteAckBytes, "raw_write");
}

// The raw read with the kernel's share of the driver's rules (see the head
// of this file). Answers are not judged: only the calls are made.
class RulesClient
{
public:
    explicit RulesClient(std::uint16_t port = g_responder.port())
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int stamps = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
        ::setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPING, &stamps, sizeof stamps);
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        timeval tv{2, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(port);
        m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~RulesClient() { ::close(m_fd); }
    RulesClient(const RulesClient &) = delete;
    RulesClient &operator=(const RulesClient &) = delete;

    const unsigned char *answer() const { return m_in[0]; }

    bool exchange(const unsigned char *req, size_t len, size_t expect)
    {
        readClocks();
        if (::sendto(m_fd, req, len, 0, reinterpret_cast<const sockaddr *>(&m_to), sizeof m_to)
            != ssize_t(len))
            return false;
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        sockaddr_storage from[kBatch];
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {m_in[i], sizeof m_in[i]};
            msghdr &m = msgs[i].msg_hdr;
            m = msghdr();
            m.msg_name = &from[i];
            m.msg_namelen = sizeof from[i];
            m.msg_iov = &iov[i];
            m.msg_iovlen = 1;
            m.msg_control = m_control[i];
            m.msg_controllen = sizeof m_control[i];
        }
        const int n = ::recvmmsg(m_fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
        readClocks();
        return n >= 1 && msgs[0].msg_len == expect;
    }

private:
    static constexpr int kBatch = 8;
    // Monotonic, wall, monotonic: the wall clock's offset, bounded.
    static void readClocks()
    {
        timespec t[3];
        clock_gettime(CLOCK_MONOTONIC, &t[0]);
        clock_gettime(CLOCK_REALTIME, &t[1]);
        clock_gettime(CLOCK_MONOTONIC, &t[2]);
        benchmark::DoNotOptimize(t);
    }
    int m_fd = -1;
    sockaddr_in m_to{};
    unsigned char m_in[kBatch][65536];
    alignas(cmsghdr) char m_control[kBatch][128];
};

void BM_RawReadRules(benchmark::State &state)
{
    auto client = std::make_unique<RulesClient>();
    vbench::Stopwatch w(vbench::Clock::Wall);
    for (auto _ : state) {
        if (!client->exchange(kReadRequest, sizeof kReadRequest, vbench::kReadAnswerBytes)) {
            state.SkipWithError("raw exchange with the rules' calls failed");
            return;
        }
    }
    w.stop(state);
    g_base.record("raw_read_rules", w);
    g_base.ratio(state, "x_raw_read", "raw_read", w);
}

void BM_LibmodbusRead(benchmark::State &state)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", int(g_modbus.port()));
    if (!ctx || modbus_connect(ctx) != 0) {
        if (ctx)
            modbus_free(ctx);
        state.SkipWithError("cannot connect to the libmodbus server");
        return;
    }
    uint16_t regs[vbench::kModbusRegisters];
    vbench::Stopwatch w(vbench::Clock::Wall);
    for (auto _ : state) {
        if (modbus_read_registers(ctx, 0, vbench::kModbusRegisters, regs) != vbench::kModbusRegisters) {
            state.SkipWithError("libmodbus read failed");
            break;
        }
    }
    w.stop(state);
    modbus_close(ctx);
    modbus_free(ctx);
    g_base.record("libmodbus_read", w);
    g_base.ratio(state, "x_raw_read", "raw_read", w);
}

// ------------------------------------------------------------ via the plug-in

void BM_ReadVariable(benchmark::State &state)
{
    vbench::Stopwatch w(vbench::Clock::Wall);
    for (auto _ : state) {
        CLabelVariable r = g_driver->ReadVariable(kTag, DT_INT16, kReadCount);
        if (r.resultCode != 0) {
            state.SkipWithError("ReadVariable failed");
            return;
        }
        benchmark::DoNotOptimize(r);
    }
    w.stop(state);
    setRatios(state, w);
    g_base.ratio(state, "x_rules", "raw_read_rules", w);
}

void BM_WriteVariable(benchmark::State &state)
{
    CLabelVariable v;
    v.value = QVariant::fromValue(QList<short>{1234, -5});
    v.dataType = DT_INT16;
    v.elementCount = kWriteCount;
    vbench::Stopwatch w(vbench::Clock::Wall);
    for (auto _ : state) {
        CLabelVariable r = g_driver->WriteVariable(kTag, DT_INT16, v, kWriteCount);
        if (r.resultCode != 0) {
            state.SkipWithError("WriteVariable failed");
            return;
        }
        benchmark::DoNotOptimize(r);
    }
    w.stop(state);
    setRatios(state, w);
}

// ------------------------------------------------------------------ at scale

constexpr int kScaleThreads = 8;
constexpr int kScalePerThread = 8;   // sockets or driver objects per thread

// The responders, raw sockets and driver objects of the scale runs, made
// before they start: thread t uses responder t and clients 8t to 8t+7.
struct Scale {
    std::vector<std::unique_ptr<vbench::Responder>> responders;
    std::vector<std::unique_ptr<RawClient>> raw;
    std::vector<std::unique_ptr<RulesClient>> rules;
    std::vector<CDriveBaseClass *> drivers;
    std::vector<unsigned char> payload;   // what every read answer carries
    QList<short> values;                  // the same as the driver decodes it
};
Scale g_scale;

bool setUpScale(GetSharedLibraryFn get)
{
    for (int i = 0; i < vbench::kReadPayloadBytes; ++i)
        g_scale.payload.push_back(static_cast<unsigned char>(i * 7 + 3));
    for (int i = 0; i < kReadCount; ++i)
        g_scale.values.append(short(g_scale.payload[size_t(2 * i)] | g_scale.payload[size_t(2 * i + 1)] << 8));
    for (int t = 0; t < kScaleThreads; ++t) {
        g_scale.responders.push_back(std::make_unique<vbench::Responder>());
        if (!g_scale.responders.back()->start())
            return false;
        const std::uint16_t port = g_scale.responders.back()->port();
        for (int k = 0; k < kScalePerThread; ++k) {
            g_scale.raw.push_back(std::make_unique<RawClient>(port));
            g_scale.rules.push_back(std::make_unique<RulesClient>(port));
            CDriveBaseClass *d = get();
            d->SetConnectPar(QStringLiteral("1"));
            if (d->ConnectDrive(QStringLiteral("127.0.0.1:%1").arg(port)) != 0)
                return false;
            g_scale.drivers.push_back(d);
        }
    }
    return true;
}

void tearDownScale()
{
    for (CDriveBaseClass *d : g_scale.drivers)
        d->DestroyFree();
    for (auto &r : g_scale.responders)
        r->stop();
}

// Each iteration is one read on the thread's next client. Thread 0 times
// the run (the threads start and stop together) and sets the counters.
template <typename ReadOne>
void scaleRun(benchmark::State &state, const char *name, ReadOne readOne)
{
    const int first = state.thread_index() * kScalePerThread;
    vbench::Stopwatch w(vbench::Clock::Wall);
    int next = 0;
    for (auto _ : state) {
        if (!readOne(first + next)) {
            state.SkipWithError("a read failed or gave other values");
            return;
        }
        next = (next + 1) % kScalePerThread;
    }
    w.stop(state);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() != 0)
        return;
    // Every thread made as many reads as thread 0.
    vbench::Stopwatch all = w;
    all.perReads(state.iterations() * state.threads());
    if (std::strcmp(name, "scale_raw") == 0) {
        g_base.record(name, all);
        return;
    }
    const double base = g_base.median("scale_raw");
    if (base > 0)
        state.counters["reads_vs_raw"] = base / all.perOpNs();
    if (std::strcmp(name, "scale_raw_rules") == 0) {
        g_base.record(name, all);
        return;
    }
    const double rules = g_base.median("scale_raw_rules");
    if (rules > 0)
        state.counters["reads_vs_rules"] = rules / all.perOpNs();
}

// One read on a raw client of the scale runs, its answer checked byte for byte.
template <typename Client>
bool scaleRead(Client &c)
{
    return c.exchange(kReadRequest, sizeof kReadRequest, vbench::kReadAnswerBytes)
        && std::memcmp(c.answer() + vbench::kReadRequestBytes, g_scale.payload.data(),
                       g_scale.payload.size()) == 0;
}

void BM_ScaleRaw(benchmark::State &state)
{
    scaleRun(state, "scale_raw", [](int i) { return scaleRead(*g_scale.raw[size_t(i)]); });
}

void BM_ScaleRawRules(benchmark::State &state)
{
    scaleRun(state, "scale_raw_rules", [](int i) { return scaleRead(*g_scale.rules[size_t(i)]); });
}

void BM_ScaleReadVariable(benchmark::State &state)
{
    scaleRun(state, "scale_ReadVariable", [](int i) {
        const CLabelVariable r = g_scale.drivers[size_t(i)]->ReadVariable(kTag, DT_INT16, kReadCount);
        return r.resultCode == 0 && r.value.value<QList<short>>() == g_scale.values;
    });
}

// ---------------------------------------------------------------- heap check

// Reads in a loop with the heap counted. Prints allocations per read and the
// net change of live blocks and bytes, also at every tenth of the run so a
// slow climb shows. Returns the number of failed reads.
long heapCheck(long reads)
{
    for (int i = 0; i < 1000; ++i)   // warm up: first-use statics, socket buffers
        g_driver->ReadVariable(kTag, DT_INT16, kReadCount);

    long failed = 0;
    const long step = std::max(1L, reads / 10);
    // Output first: stdout's buffer is allocated on first use.
    std::printf("heap check: %ld x ReadVariable(\"ID4x0\", DT_INT16, %d)\n", reads, kReadCount);
    std::printf("%12s %14s %14s %16s\n", "reads", "allocations", "live blocks", "live bytes");
    std::fflush(stdout);
    vbench::heapCounting(true);
    const vbench::HeapSnapshot s0 = vbench::heapSnapshot();
    for (long i = 1; i <= reads; ++i) {
        {
            const CLabelVariable r = g_driver->ReadVariable(kTag, DT_INT16, kReadCount);
            if (r.resultCode != 0)
                ++failed;
        }
        if (i % step == 0 || i == reads) {
            const vbench::HeapSnapshot s = vbench::heapSnapshot();
            std::printf("%12ld %14llu %+14lld %+16lld\n", i,
                        (unsigned long long)(s.allocations - s0.allocations),
                        (long long)((s.allocations - s0.allocations) - (s.frees - s0.frees)),
                        (long long)(s.liveBytes - s0.liveBytes));
        }
    }
    const vbench::HeapSnapshot s1 = vbench::heapSnapshot();
    vbench::heapCounting(false);
    const double perRead = double(s1.allocations - s0.allocations) / double(reads);
    std::printf("allocations per read: %.2f\n", perRead);
    std::printf("net growth over %ld reads: %lld blocks, %lld bytes\n", reads,
                (long long)((s1.allocations - s0.allocations) - (s1.frees - s0.frees)),
                (long long)(s1.liveBytes - s0.liveBytes));
    std::printf("failed reads: %ld\n", failed);
    return failed;
}

// Reads only, for profilers: valgrind --tool=callgrind
// --toggle-collect='*profileReads*' veskor_bench_wire --profile_reads=1000
__attribute__((noinline)) long profileReads(long reads)
{
    long failed = 0;
    for (long i = 0; i < reads; ++i) {
        const CLabelVariable r = g_driver->ReadVariable(kTag, DT_INT16, kReadCount);
        if (r.resultCode != 0)
            ++failed;
    }
    return failed;
}

std::string affinityText()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return "unknown";
    std::string out;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (CPU_ISSET(c, &set)) {
            if (!out.empty())
                out += ',';
            out += std::to_string(c);
        }
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    long heapReads = 0;
    long profile = 0;
    bool heapOnly = false;
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--heap_reads=", 13) == 0)
            heapReads = std::atol(argv[i] + 13);
        else if (std::strncmp(argv[i], "--profile_reads=", 16) == 0)
            profile = std::atol(argv[i] + 16);
        else if (std::strcmp(argv[i], "--heap_only") == 0)
            heapOnly = true;
        else
            args.push_back(argv[i]);
    }
    int n = int(args.size());
    args.push_back(nullptr);

    QCoreApplication app(n, args.data());

    if (!g_responder.start()) {
        std::fprintf(stderr, "cannot start the responder on 127.0.0.1\n");
        return 2;
    }
    if (!g_modbus.start()) {
        std::fprintf(stderr, "cannot start the libmodbus server on 127.0.0.1\n");
        return 2;
    }

    const char *pluginPath = std::getenv("VESKOR_PLUGIN");
    if (!pluginPath)
        pluginPath = VESKOR_PLUGIN_PATH;
    void *handle = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "dlopen %s: %s\n", pluginPath, dlerror());
        return 2;
    }
    auto get = reinterpret_cast<GetSharedLibraryFn>(dlsym(handle, "getSharedLibrary"));
    if (!get) {
        std::fprintf(stderr, "getSharedLibrary not found in %s\n", pluginPath);
        return 2;
    }
    g_driver = get();
    g_driver->SetConnectPar(QStringLiteral("1"));
    if (g_driver->ConnectDrive(QStringLiteral("127.0.0.1:%1").arg(g_responder.port())) != 0) {
        std::fprintf(stderr, "ConnectDrive failed\n");
        return 2;
    }

    benchmark::AddCustomContext("cpus_allowed", affinityText());
    benchmark::AddCustomContext("plugin", pluginPath);

    int rc = 0;
    if (profile > 0) {
        g_driver->ReadVariable(kTag, DT_INT16, kReadCount);   // first use outside the profile
        const long failed = profileReads(profile);
        std::printf("profile: %ld reads, %ld failed\n", profile, failed);
        rc = failed == 0 ? 0 : 1;
    } else if (!heapOnly) {
        // Registration order is run order: the raw floors come first.
        benchmark::RegisterBenchmark("wire/raw_read", BM_RawRead)->UseRealTime();
        benchmark::RegisterBenchmark("wire/raw_write", BM_RawWrite)->UseRealTime();
        benchmark::RegisterBenchmark("wire/raw_read_rules", BM_RawReadRules)->UseRealTime();
        benchmark::RegisterBenchmark("wire/libmodbus_read", BM_LibmodbusRead)->UseRealTime();
        benchmark::RegisterBenchmark("wire/ReadVariable", BM_ReadVariable)->UseRealTime();
        benchmark::RegisterBenchmark("wire/WriteVariable", BM_WriteVariable)->UseRealTime();
        if (!setUpScale(get)) {
            std::fprintf(stderr, "cannot set up the scale runs\n");
            return 2;
        }
        benchmark::RegisterBenchmark("wire/scale_raw", BM_ScaleRaw)->Threads(kScaleThreads)->UseRealTime();
        benchmark::RegisterBenchmark("wire/scale_raw_rules", BM_ScaleRawRules)
            ->Threads(kScaleThreads)->UseRealTime();
        benchmark::RegisterBenchmark("wire/scale_ReadVariable", BM_ScaleReadVariable)
            ->Threads(kScaleThreads)->UseRealTime();
        int bn = n;
        benchmark::Initialize(&bn, args.data());
        if (benchmark::ReportUnrecognizedArguments(bn, args.data()))
            return 1;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        tearDownScale();
    }
    if (heapReads > 0 && profile == 0)
        rc = heapCheck(heapReads) == 0 ? 0 : 1;

    g_driver->DestroyFree();
    g_responder.stop();
    g_modbus.stop();
    return rc;
}
