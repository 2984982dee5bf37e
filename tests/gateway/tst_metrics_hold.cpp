// The gateway's metrics server against clients that try to hold it, end to
// end on 127.0.0.1: a mosquitto broker, a veskor-sim controller and the
// gateway as processes; the holding clients are plain TCP sockets of the
// test's own, the scrapes curl and their text goes through promtool. Each row
// starts a gateway, opens its clients, scrapes, counts the gateway's file
// descriptors all the while and ends the gateway with SIGTERM with the
// clients still there.
#include "Metrics.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "GatewayTestTools.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using veskorgw::MetricsLimits;

namespace {

int openDescriptors(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System).size();
}

// Connections to the metrics port that send nothing, or that send one byte
// of a request that never ends every 100 ms, until destroyed.
class HoldingClients
{
public:
    HoldingClients(quint16 port, int count, bool trickle)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (fd < 0)
                break;
            ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to);   // completes in the background
            m_fds.push_back(fd);
        }
        if (trickle)
            m_thread = std::thread([this] { trickleBytes(); });
    }
    ~HoldingClients()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (int fd : m_fds)
            ::close(fd);
    }
    int size() const { return int(m_fds.size()); }
    // Clients whose connection the server has not closed.
    int open() const
    {
        int n = 0;
        char c;
        for (int fd : m_fds)
            n += ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
        return n;
    }

private:
    void trickleBytes()
    {
        const QByteArray request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n" + QByteArray("X-Slow: 1\r\n").repeated(1000);
        for (int i = 0; !m_stop && i < request.size(); ++i) {
            for (int fd : m_fds)
                ::send(fd, request.constData() + i, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::vector<int> m_fds;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

class tst_MetricsHold : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void heldClients_data();
    void heldClients();

private:
    void startGateway(int fileLimit);
    QByteArray scrape(double *seconds, int *fdPeak);

    QTemporaryDir m_dir;
    Broker m_broker{m_dir.filePath(QStringLiteral("mosquitto.conf"))};
    quint16 m_metricsPort = 0;
    std::unique_ptr<QProcess> m_sim, m_gateway;
};

void tst_MetricsHold::initTestCase()
{
    for (const char *tool : {"mosquitto", "curl", "promtool"})
        if (findTool(tool).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed (Debian: mosquitto, curl, prometheus)").arg(QLatin1String(tool))));
    // The test itself holds 1100 sockets.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 1300)
        QSKIP("needs 1300 open files (ulimit -n)");
    QVERIFY(m_dir.isValid());
    m_metricsPort = freeTcpPort();
    QVERIFY2(m_broker.start(), m_broker.output().constData());
    m_sim.reset(new QProcess);
    m_sim->start(QStringLiteral(VESKOR_SIM_EXE), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    QVERIFY(m_sim->waitForReadyRead(5000));
    const QString sim = QRegularExpression(QStringLiteral("listening on (\\S+)"))
                            .match(QString::fromUtf8(m_sim->readAllStandardOutput())).captured(1);
    QVERIFY(!sim.isEmpty());
    QFile config(m_dir.filePath(QStringLiteral("gateway.json")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral(R"({"mqtt": {"host": "127.0.0.1", "port": %1, "prefix": "hold"}, "metrics": "127.0.0.1:%2",
        "controllers": [{"name": "press1", "connect": "%3", "period_ms": 100,
        "tags": [{"name": "speed", "tag": "ID4x0", "type": "int16"}]}]})").arg(m_broker.port()).arg(m_metricsPort).arg(sim).toUtf8());
}

void tst_MetricsHold::cleanupTestCase()
{
    for (auto *p : {m_gateway.get(), m_sim.get()})
        if (p && p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(2000);
        }
    m_broker.stop();
}

// The gateway, under a file limit when fileLimit > 0; ready once a scrape
// shows its MQTT connection up.
void tst_MetricsHold::startGateway(int fileLimit)
{
    m_gateway.reset(new QProcess);
    m_gateway->setProcessChannelMode(QProcess::ForwardedChannels);
    const QString command = QStringLiteral("%1exec '%2' --config '%3'")
                                .arg(fileLimit > 0 ? QStringLiteral("ulimit -n %1 && ").arg(fileLimit) : QString(),
                                     QStringLiteral(VESKOR_GATEWAY_EXE), m_dir.filePath(QStringLiteral("gateway.json")));
    m_gateway->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    QVERIFY(m_gateway->waitForStarted());
    QElapsedTimer t;
    t.start();
    double seconds = 0;
    while (!scrape(&seconds, nullptr).contains("veskor_mqtt_connected{controller=\"press1\"} 1")) {
        QVERIFY2(t.elapsed() < 10000, "the gateway did not come up");
        QTest::qWait(100);
    }
}

// One scrape by curl: its body, and its time as curl measured it. With
// fdPeak, the gateway's descriptors are counted every 20 ms while it runs,
// and for at least a second, the highest count in fdPeak.
QByteArray tst_MetricsHold::scrape(double *seconds, int *fdPeak)
{
    const QString body = m_dir.filePath(QStringLiteral("scrape.txt"));
    QFile::remove(body);
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("--max-time"), QStringLiteral("10"),
                                        QStringLiteral("-o"), body, QStringLiteral("-w"), QStringLiteral("%{http_code} %{time_total}"),
                                        QStringLiteral("http://127.0.0.1:%1/metrics").arg(m_metricsPort)});
    QElapsedTimer t;
    t.start();
    do {
        if (fdPeak)
            *fdPeak = qMax(*fdPeak, openDescriptors(m_gateway->processId()));
        curl.waitForFinished(20);
    } while (curl.state() != QProcess::NotRunning || (fdPeak && t.elapsed() < 1000));
    const QList<QByteArray> result = curl.readAllStandardOutput().split(' ');
    *seconds = result.value(1).toDouble();
    QFile f(body);
    return result.value(0) == "200" && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void tst_MetricsHold::heldClients_data()
{
    QTest::addColumn<int>("clients");
    QTest::addColumn<bool>("trickle");
    QTest::addColumn<int>("fileLimit");   // the gateway's, 0 for the test's own
    QTest::newRow("1 trickling") << 1 << true << 0;
    QTest::newRow("8 trickling") << 8 << true << 0;
    QTest::newRow("1000 idle") << 1000 << false << 0;
    QTest::newRow("1100 idle, 256 files") << 1100 << false << 256;
}

// Whatever the clients do, a scrape answers within 2 s with text promtool
// takes, the server's descriptors stay within its bound, and SIGTERM ends
// the gateway within 1 s, trickled requests still in flight.
void tst_MetricsHold::heldClients()
{
    QFETCH(int, clients);
    QFETCH(bool, trickle);
    QFETCH(int, fileLimit);
    startGateway(fileLimit);
    const int before = openDescriptors(m_gateway->processId());
    HoldingClients held(m_metricsPort, clients, trickle);
    QCOMPARE(held.size(), clients);
    QTest::qWait(300);

    double seconds = -1;
    int peak = before;
    const QByteArray text = scrape(&seconds, &peak);
    QVERIFY2(text.contains("veskor_mqtt_connected{controller=\"press1\"} 1"), text.left(200).constData());
    QVERIFY2(seconds >= 0 && seconds < 2.0, qPrintable(QString::number(seconds)));
    QVERIFY2(peak - before <= MetricsLimits::kServing + MetricsLimits::kWaiting + 1,
             qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(peak)));
    QProcess promtool;
    promtool.setStandardInputFile(m_dir.filePath(QStringLiteral("scrape.txt")));
    promtool.start(findTool("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(promtool.waitForFinished(10000));
    QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());

    const int stillOpen = held.open();
    if (trickle)   // the server holds every trickled request, none past its deadline yet
        QCOMPARE(stillOpen, clients);
    QElapsedTimer t;
    t.start();
    m_gateway->terminate();
    QVERIFY(m_gateway->waitForFinished(5000));
    const qint64 stopMs = t.elapsed();
    qInfo("%d %s client(s): scrape %.1f ms, descriptors %d, at most %d, SIGTERM %lld ms, %d client(s) open then",
          clients, trickle ? "trickling" : "idle", seconds * 1000, before, peak, stopMs, stillOpen);
    QVERIFY2(stopMs < 1000, qPrintable(QString::number(stopMs)));
    QCOMPARE(m_gateway->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_gateway->exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_MetricsHold)
#include "tst_metrics_hold.moc"
