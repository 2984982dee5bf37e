// What veskor-gateway logs of failures and how its lines look, end to end
// on 127.0.0.1: the real gateway, a mosquitto broker of the test's own and
// veskor-sim controllers. A broker that refuses (nothing listens on its
// port) is said within 5 s with its cause and once more when it takes the
// connection; a controller that falls silent is said once each way; every
// line has its time and level, or is a JSON object.
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include "GatewayTestTools.h"

#include <memory>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

quint16 freeUdpPort()
{
    QUdpSocket s;
    s.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return s.localPort();
}

// A plain line: time (ISO 8601, ms, offset), level, the program's name.
const QRegularExpression kPlainLine(QStringLiteral(
    "^(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d) (error|warning|info|debug) veskor-gateway: (.*)$"));

// A process of the test's and what it writes, as lines: the gateway's log,
// the broker's.
struct Peer
{
    QProcess proc;
    OutputLines out{&proc};

    void stop()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.terminate();
            if (!proc.waitForFinished(3000))
                proc.kill();
            proc.waitForFinished(1000);
        }
    }
};

// A listener on 127.0.0.1 that takes no connection: its backlog is full of
// connections of its own, so that the kernel drops every further SYN and a
// connect waits without an answer.
class Swallower
{
public:
    explicit Swallower(quint16 port)
    {
        // Not inherited by the processes the test starts.
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(m_listener, 0) == 0;
        for (int i = 0; m_ok && i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            m_fill.push_back(fd);
        }
    }
    ~Swallower() { close(); }
    bool ok() const { return m_ok; }
    void close()
    {
        for (int fd : m_fill)
            ::close(fd);
        m_fill.clear();
        if (m_listener >= 0)
            ::close(m_listener);
        m_listener = -1;
    }

private:
    int m_listener = -1;
    bool m_ok = false;
    std::vector<int> m_fill;
};

QRegularExpression re(const QString &pattern)
{
    return QRegularExpression(pattern);
}

} // namespace

class tst_GatewayLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void brokerRefused_data();
    void brokerRefused();
    void controllerSilent_data();
    void controllerSilent();
    void lineFormat_data();
    void lineFormat();

private:
    void startBroker(quint16 port);
    void startSim(quint16 port);
    void startGateway(const QJsonArray &controllers, const QStringList &extra = {});
    QJsonObject controller(const QString &name, quint16 simPort, int offlineAfter = 1) const;

    QTemporaryDir m_dir;
    QString m_mosquitto;
    quint16 m_brokerPort = 0;
    std::unique_ptr<Peer> m_broker, m_sim, m_gateway;
};

void tst_GatewayLog::initTestCase()
{
    m_mosquitto = findTool("mosquitto");
    if (m_mosquitto.isEmpty())
        QSKIP("mosquitto is not installed (Debian: mosquitto)");
    QVERIFY(m_dir.isValid());
}

void tst_GatewayLog::cleanup()
{
    for (auto *p : {m_gateway.get(), m_sim.get(), m_broker.get()})
        if (p)
            p->stop();
    if (QTest::currentTestFailed() && m_gateway)
        qWarning("gateway's log:\n%s", m_gateway->out.joined(0).constData());
    m_gateway.reset();
    m_sim.reset();
    m_broker.reset();
}

// A broker on the port, ready once it takes a connection.
void tst_GatewayLog::startBroker(quint16 port)
{
    m_broker.reset(new Peer);
    m_broker->proc.setProcessChannelMode(QProcess::MergedChannels);
    m_broker->proc.start(m_mosquitto, {QStringLiteral("-p"), QString::number(port)});
    QVERIFY(m_broker->proc.waitForStarted());
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (s.waitForConnected(200))
            return;
        QTest::qWait(50);
    }
    QFAIL(qPrintable("mosquitto did not start: " + m_broker->out.joined(0)));
}

void tst_GatewayLog::startSim(quint16 port)
{
    m_sim.reset(new Peer);
    m_sim->proc.start(QStringLiteral(VESKOR_SIM_EXE), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)});
    QVERIFY(m_sim->proc.waitForStarted());
    QVERIFY(m_sim->out.waitFor(re(QStringLiteral("listening on")), 5000) >= 0);
}

QJsonObject tst_GatewayLog::controller(const QString &name, quint16 simPort, int offlineAfter) const
{
    return QJsonObject{{"name", name}, {"connect", QStringLiteral("127.0.0.1:%1").arg(simPort)}, {"period_ms", 200},
                       {"offline_after", offlineAfter},
                       {"tags", QJsonArray{QJsonObject{{"name", "speed"}, {"tag", "ID4x0"}, {"type", "int16"}}}}};
}

// Reconnects every second, so that a broker that comes is taken at once.
void tst_GatewayLog::startGateway(const QJsonArray &controllers, const QStringList &extra)
{
    const QJsonObject mqtt{{"host", "127.0.0.1"}, {"port", m_brokerPort}, {"prefix", "plant"},
                           {"reconnect_min_s", 1}, {"reconnect_max_s", 1}};
    QFile f(m_dir.filePath(QStringLiteral("gateway.json")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(QJsonObject{{"mqtt", mqtt}, {"metrics", false}, {"controllers", controllers}}).toJson());
    f.close();
    m_gateway.reset(new Peer);
    m_gateway->proc.setProcessChannelMode(QProcess::MergedChannels);
    m_gateway->proc.start(QStringLiteral(VESKOR_GATEWAY_EXE), QStringList{QStringLiteral("--config"), f.fileName()} + extra);
    QVERIFY(m_gateway->proc.waitForStarted());
}

void tst_GatewayLog::brokerRefused_data()
{
    QTest::addColumn<bool>("upFirst");     // the broker is there at the start and then stops
    QTest::addColumn<bool>("swallowed");   // a listener takes no connection: no answer at all
    QTest::addColumn<QString>("cause");
    QTest::addColumn<int>("withinMs");     // from the start, or from the broker's stop
    QTest::newRow("refused from the start") << false << false << "Connection refused" << 5000;
    QTest::newRow("refused after a lost connection") << true << false << "Connection refused" << 5000;
    // Said once the first 5 s went by without an answer.
    QTest::newRow("no answer from the start") << false << true << "no answer from the broker yet; still trying" << 6000;
}

// Nothing listens on the broker's port, or nothing answers there: said in
// time with the cause, not again every retry; once a broker listens there,
// said that the connection is back and after how long.
void tst_GatewayLog::brokerRefused()
{
    QFETCH(bool, upFirst);
    QFETCH(bool, swallowed);
    QFETCH(QString, cause);
    QFETCH(int, withinMs);
    m_brokerPort = freeTcpPort();
    Swallower swallower(m_brokerPort);
    if (!swallowed)
        swallower.close();
    QVERIFY(!swallowed || swallower.ok());
    const quint16 simPort = freeUdpPort();
    startSim(simPort);
    if (upFirst)
        startBroker(m_brokerPort);
    QElapsedTimer t;
    t.start();
    startGateway(QJsonArray{controller(QStringLiteral("press1"), simPort)});
    const QString broker = QStringLiteral("press1: MQTT broker 127\\.0\\.0\\.1:%1: ").arg(m_brokerPort);
    if (upFirst) {
        QVERIFY(m_gateway->out.waitFor(re(broker + QStringLiteral("connected$")), 10000) >= 0);
        t.restart();
        m_broker->stop();
        QVERIFY(m_gateway->out.waitFor(re(QStringLiteral(" warning veskor-gateway: ") + broker + QStringLiteral("connection lost \\(")),
                                   5000) >= 0);
    }
    const QRegularExpression failed(QStringLiteral(" error veskor-gateway: ") + broker + QStringLiteral("cannot connect: ")
                                    + QRegularExpression::escape(cause) + QLatin1Char('$'));
    QVERIFY(m_gateway->out.waitFor(failed, withinMs) >= 0);
    QVERIFY2(t.elapsed() < withinMs, qPrintable(QString::number(t.elapsed())));
    QTest::qWait(3000);   // retries, every second
    QCOMPARE(m_gateway->out.count(failed), 1);
    swallower.close();
    startBroker(m_brokerPort);
    const int back = m_gateway->out.waitFor(re(QStringLiteral(" info veskor-gateway: ") + broker
                                               + QStringLiteral("connected again after (\\d+) s$")), 5000);
    QVERIFY(back >= 0);
    const QByteArray backLine = m_gateway->out.lines().at(back);
    const int seconds = re(QStringLiteral("after (\\d+) s$")).match(QString::fromUtf8(backLine)).captured(1).toInt();
    QVERIFY2(seconds >= 3 && seconds <= 15, backLine.constData());
    QCOMPARE(m_gateway->out.count(re(QStringLiteral("connected again"))), 1);
    QCOMPARE(m_gateway->out.count(re(QStringLiteral("still failing"))), 0);
}

void tst_GatewayLog::controllerSilent_data()
{
    QTest::addColumn<int>("offlineAfter");
    QTest::newRow("offline after 1 cycle") << 1;
    QTest::newRow("offline after 3 cycles") << 3;
}

// A controller's simulator stops and comes back on the same port: the
// silence is said once, with when it began, and its end once.
void tst_GatewayLog::controllerSilent()
{
    QFETCH(int, offlineAfter);
    m_brokerPort = freeTcpPort();
    startBroker(m_brokerPort);
    const quint16 simPort = freeUdpPort();
    startSim(simPort);
    startGateway(QJsonArray{controller(QStringLiteral("press1"), simPort, offlineAfter)});
    QVERIFY(m_gateway->out.waitFor(re(QStringLiteral("press1: online$")), 10000) >= 0);
    m_sim->stop();
    const QRegularExpression silent(QStringLiteral(" warning veskor-gateway: press1: no answer since "
                                                   "(\\d{4}-\\d\\d-\\d\\dT[0-9:.+-]+) \\((\\d+) cycles\\); offline$"));
    const int said = m_gateway->out.waitFor(silent, 20000);
    QVERIFY(said >= 0);
    const QByteArray saidLine = m_gateway->out.lines().at(said);
    const QRegularExpressionMatch m = silent.match(QString::fromUtf8(saidLine));
    QCOMPARE(m.captured(2).toInt(), offlineAfter);
    // The time named is when the silence began: before the line's own.
    const QDateTime since = QDateTime::fromString(m.captured(1), Qt::ISODateWithMs);
    const QDateTime lineTime = QDateTime::fromString(kPlainLine.match(QString::fromUtf8(saidLine)).captured(1),
                                                     Qt::ISODateWithMs);
    QVERIFY2(since.isValid() && lineTime.isValid() && since <= lineTime, saidLine.constData());
    QTest::qWait(2000);   // more silent cycles: nothing more said
    startSim(simPort);
    const QRegularExpression back(QStringLiteral(" info veskor-gateway: press1: answering again after (\\d+) s; online$"));
    QVERIFY(m_gateway->out.waitFor(back, 20000, said) >= 0);
    QTest::qWait(1000);
    QCOMPARE(m_gateway->out.count(silent), 1);
    QCOMPARE(m_gateway->out.count(back), 1);
    QCOMPARE(m_gateway->out.count(re(QStringLiteral("still silent"))), 0);
}

void tst_GatewayLog::lineFormat_data()
{
    QTest::addColumn<QString>("format");   // empty: the default
    QTest::newRow("default") << QString();
    QTest::newRow("text") << "text";
    QTest::newRow("json") << "json";
}

// Every line: its time, level and text; with json, an object with time,
// level, msg and the controller when the line is about one.
void tst_GatewayLog::lineFormat()
{
    QFETCH(QString, format);
    m_brokerPort = freeTcpPort();   // nothing there: an error line too
    const quint16 simPort = freeUdpPort();
    startSim(simPort);
    startGateway(QJsonArray{controller(QStringLiteral("press1"), simPort)},
                 format.isEmpty() ? QStringList() : QStringList{QStringLiteral("--log-format"), format});
    QVERIFY(m_gateway->out.waitFor(re(QStringLiteral("Connection refused")), 5000) >= 0);
    QVERIFY(m_gateway->out.waitFor(re(QStringLiteral("online")), 5000) >= 0);
    m_gateway->stop();
    QVERIFY(m_gateway->out.lines().size() >= 5);   // start, press1, refused, online, stopping, stopped
    QSet<QString> levels;
    for (const QByteArray &line : m_gateway->out.lines()) {
        if (format != QLatin1String("json")) {
            const QRegularExpressionMatch m = kPlainLine.match(QString::fromUtf8(line));
            QVERIFY2(m.hasMatch(), line.constData());
            levels.insert(m.captured(2));
            continue;
        }
        QJsonParseError e;
        const QJsonObject o = QJsonDocument::fromJson(line, &e).object();
        QVERIFY2(e.error == QJsonParseError::NoError, line.constData());
        QVERIFY2(QDateTime::fromString(o.value(QLatin1String("time")).toString(), Qt::ISODateWithMs).isValid(), line.constData());
        QVERIFY2(!o.value(QLatin1String("msg")).toString().isEmpty(), line.constData());
        const QString msg = o.value(QLatin1String("msg")).toString();
        QCOMPARE(o.contains(QLatin1String("controller")), !msg.contains(QLatin1String("controller(s)"))
                                                              && !msg.contains(QLatin1String("stop")));
        if (o.contains(QLatin1String("controller")))
            QCOMPARE(o.value(QLatin1String("controller")).toString(), QStringLiteral("press1"));
        levels.insert(o.value(QLatin1String("level")).toString());
    }
    QCOMPARE(levels, (QSet<QString>{QStringLiteral("info"), QStringLiteral("error")}));
}

QTEST_GUILESS_MAIN(tst_GatewayLog)
#include "tst_gateway_log.moc"
