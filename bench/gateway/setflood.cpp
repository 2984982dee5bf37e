// The gateway's set path under a flood, as processes on 127.0.0.1: a
// mosquitto broker, one veskor-sim controller and the veskor-gateway
// program, each started here. For VESKOR_SETFLOOD_SECONDS (default 30) a
// client of the benchmark's own publishes VESKOR_SETFLOOD_RATE (default
// 29000) sets a second, every one of which the gateway refuses or rate
// limits:
//   4 in 10  a value for the writable tag (all but one per write interval: 103)
//   2 in 10  "abc" for it (102)
//   1 in 10  4 KiB of digits for it, larger than the tag can need (102)
//   1 in 10  a value published retained (105)
//   2 in 10  a tag the controller does not have, a new name each time (101)
// Every second it takes the gateway's resident memory (/proc) and the size
// of its log (its standard error, to a file). Then one 256 MiB set, and the
// memory again. Figures on standard output, one "name value" per line.
#include <mosquitto.h>

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// A /proc/<pid>/status field in KiB ("VmRSS", "VmHWM").
qint64 statusKiB(qint64 pid, const char *field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression re(QStringLiteral("^%1:\\s+(\\d+) kB").arg(QLatin1String(field)),
                                QRegularExpression::MultilineOption);
    return re.match(QString::fromLatin1(f.readAll())).captured(1).toLongLong();
}

// The metrics endpoint's text.
QByteArray scrape(quint16 port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000))
        return QByteArray();
    s.write("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray all;
    while (s.waitForReadyRead(2000) || s.bytesAvailable())
        all += s.readAll();
    return all;
}

// The sum of a counter's series whose line starts with `series`.
qint64 counterSum(const QByteArray &text, const QByteArray &series)
{
    qint64 sum = 0;
    for (const QByteArray &line : text.split('\n'))
        if (line.startsWith(series))
            sum += line.mid(line.lastIndexOf(' ') + 1).toLongLong();
    return sum;
}

int lineCount(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return int(f.readAll().count('\n'));
}

struct Processes {
    QProcess broker, sim, gateway;
    quint16 mqttPort = 0, metricsPort = 0;
    ~Processes()
    {
        for (QProcess *p : {&gateway, &sim, &broker}) {
            p->terminate();
            if (!p->waitForFinished(3000))
                p->kill();
        }
    }
};

// Broker, simulator and gateway; false when one of them is missing or does not start.
bool startAll(Processes *p, const QTemporaryDir &dir)
{
    QString mosquitto = QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
    if (mosquitto.isEmpty())
        mosquitto = QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin")});
    if (mosquitto.isEmpty())
        return false;
    p->mqttPort = freePort();
    p->metricsPort = freePort();
    QFile conf(dir.filePath(QStringLiteral("mosquitto.conf")));
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n").arg(p->mqttPort).toUtf8());
    conf.close();
    p->broker.setStandardOutputFile(QProcess::nullDevice());
    p->broker.setStandardErrorFile(QProcess::nullDevice());
    p->broker.start(mosquitto, {QStringLiteral("-c"), conf.fileName()});
    p->sim.start(QStringLiteral(VESKOR_SIM_EXE), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    if (!p->broker.waitForStarted() || !p->sim.waitForReadyRead(5000))
        return false;
    const QString sim = QRegularExpression(QStringLiteral("listening on (\\S+)"))
                            .match(QString::fromUtf8(p->sim.readAllStandardOutput())).captured(1);
    QFile config(dir.filePath(QStringLiteral("gateway.json")));
    if (sim.isEmpty() || !config.open(QIODevice::WriteOnly))
        return false;
    config.write(QStringLiteral(R"({"mqtt": {"host": "127.0.0.1", "port": %1, "prefix": "flood"},
        "metrics": "127.0.0.1:%2", "controllers": [{"name": "c1", "connect": "%3", "period_ms": 100,
        "tags": [{"name": "sp", "tag": "ID4x0", "type": "int16", "writable": true},
                 {"name": "speed", "tag": "ID4x2", "type": "int16"}]}]})")
                     .arg(p->mqttPort).arg(p->metricsPort).arg(sim).toUtf8());
    config.close();
    p->gateway.setStandardOutputFile(QProcess::nullDevice());
    p->gateway.setStandardErrorFile(dir.filePath(QStringLiteral("gateway.log")));
    p->gateway.start(QStringLiteral(VESKOR_GATEWAY_EXE), {QStringLiteral("--config"), config.fileName()});
    if (!p->gateway.waitForStarted())
        return false;
    std::this_thread::sleep_for(std::chrono::seconds(2));   // connected, first cycles read
    return p->gateway.state() == QProcess::Running;
}

mosquitto *connectPublisher(quint16 port)
{
    mosquitto *m = mosquitto_new(nullptr, true, nullptr);
    if (!m || mosquitto_connect(m, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS || mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) {
        if (m)
            mosquitto_destroy(m);
        return nullptr;
    }
    return m;
}

// The i-th set of the flood's mix.
void publishSet(mosquitto *m, quint64 i, const QByteArray &oversized)
{
    static const QByteArray sp = "flood/c1/sp/set", value = "7", bad = "abc";
    switch (i % 10) {
    case 0: case 1: case 2: case 3:
        mosquitto_publish(m, nullptr, sp.constData(), value.size(), value.constData(), 0, false);
        break;
    case 4: case 5:
        mosquitto_publish(m, nullptr, sp.constData(), bad.size(), bad.constData(), 0, false);
        break;
    case 6:
        mosquitto_publish(m, nullptr, sp.constData(), oversized.size(), oversized.constData(), 0, false);
        break;
    case 7:
        mosquitto_publish(m, nullptr, sp.constData(), value.size(), value.constData(), 0, true);
        break;
    default: {
        const QByteArray unknown = "flood/c1/x" + QByteArray::number(i) + "/set";
        mosquitto_publish(m, nullptr, unknown.constData(), value.size(), value.constData(), 0, false);
    }
    }
}

struct Sample {
    int second;
    qint64 sent, rssKiB, logBytes;
};

// The flood at `rate` sets a second for `seconds`, paced every millisecond;
// a sample each second.
QVector<Sample> flood(mosquitto *m, const Processes &p, const QString &log, int rate, int seconds)
{
    const QByteArray oversized(4096, '1');
    QVector<Sample> samples;
    QElapsedTimer t;
    t.start();
    quint64 sent = 0;
    int nextSample = 0;
    while (t.elapsed() < qint64(seconds) * 1000) {
        const quint64 due = quint64(t.nsecsElapsed() / 1000) * quint64(rate) / 1000000u;
        for (; sent < due; ++sent)
            publishSet(m, sent, oversized);
        if (t.elapsed() >= qint64(nextSample) * 1000) {
            samples.append({nextSample, qint64(sent), statusKiB(p.gateway.processId(), "VmRSS"), QFileInfo(log).size()});
            ++nextSample;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    samples.append({seconds, qint64(sent), statusKiB(p.gateway.processId(), "VmRSS"), QFileInfo(log).size()});
    return samples;
}

void report(const char *name, qint64 value)
{
    std::printf("%s %lld\n", name, static_cast<long long>(value));
}

} // namespace

int main()
{
    const int seconds = envInt("VESKOR_SETFLOOD_SECONDS", 30), rate = envInt("VESKOR_SETFLOOD_RATE", 29000);
    QTemporaryDir dir;
    Processes p;
    if (!dir.isValid() || !startAll(&p, dir)) {
        std::fprintf(stderr, "setflood: mosquitto, veskor-sim or veskor-gateway did not start; nothing measured\n");
        return 0;
    }
    mosquitto_lib_init();
    mosquitto *m = connectPublisher(p.mqttPort);
    if (!m) {
        std::fprintf(stderr, "setflood: cannot connect to the broker\n");
        return 1;
    }
    const QString log = dir.filePath(QStringLiteral("gateway.log"));
    const qint64 pid = p.gateway.processId();
    const int logLinesBefore = lineCount(log);
    report("rss_kib_before", statusKiB(pid, "VmRSS"));
    const QVector<Sample> samples = flood(m, p, log, rate, seconds);
    for (const Sample &s : samples)
        std::printf("second %d sent %lld rss_kib %lld log_bytes %lld\n", s.second, static_cast<long long>(s.sent),
                    static_cast<long long>(s.rssKiB), static_cast<long long>(s.logBytes));
    std::this_thread::sleep_for(std::chrono::seconds(3));   // what the broker still had on its way
    const QByteArray text = scrape(p.metricsPort);
    qint64 maxRss = 0;
    for (const Sample &s : samples)
        maxRss = qMax(maxRss, s.rssKiB);
    report("sets_sent", samples.last().sent);
    report("sets_per_s", samples.last().sent / seconds);
    report("sets_counted_by_gateway", counterSum(text, "veskor_writes_total{controller=\"c1\""));
    report("sets_written", counterSum(text, "veskor_writes_total{controller=\"c1\",code=\"0\"}"));
    report("refusal_results_held", counterSum(text, "veskor_set_results_held_total{controller=\"c1\"}"));
    report("log_lines", lineCount(log) - logLinesBefore);
    report("log_bytes", QFileInfo(log).size());
    report("rss_kib_max_during", maxRss);
    report("rss_kib_after", statusKiB(pid, "VmRSS"));
    report("hwm_kib_after_flood", statusKiB(pid, "VmHWM"));

    // One set of 256 MiB for the writable tag.
    const QByteArray huge(256 * 1024 * 1024, '1');
    mosquitto_publish(m, nullptr, "flood/c1/sp/set", huge.size(), huge.constData(), 1, false);
    qint64 peak = 0;
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peak = qMax(peak, statusKiB(pid, "VmRSS"));
    }
    const QByteArray after = scrape(p.metricsPort);
    report("huge_set_counted_by_gateway",
           counterSum(after, "veskor_writes_total{controller=\"c1\"") - counterSum(text, "veskor_writes_total{controller=\"c1\""));
    report("rss_kib_max_after_huge_set", peak);
    report("hwm_kib_after_huge_set", statusKiB(pid, "VmHWM"));
    report("gateway_running", p.gateway.state() == QProcess::Running ? 1 : 0);
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
    mosquitto_lib_cleanup();
    return 0;
}
