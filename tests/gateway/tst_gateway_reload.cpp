// veskor-gateway's reload, readiness and health end to end, with real
// processes on 127.0.0.1: a mosquitto broker of the test's own, two
// veskor-sim controllers, the gateway, mosquitto_sub and curl. press1 and
// press2 are simulators; "late" names a port nobody answers on, so its
// first cycle ends only after the plug-in's answer wait (/readyz says 503
// until then). The reload steps run in order on one gateway.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include "GatewayTestTools.h"

#include <memory>

#include <signal.h>

class tst_GatewayReload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void readyAndHealthy();
    void reload_data();
    void reload();
    void stopAfterReloads();

private:
    QString startSim(QProcess *p);
    void writeConfig(const QString &step);
    QByteArray get(const QString &path, int *code);
    double metric(const QByteArray &series);

    QTemporaryDir m_dir;
    Broker m_broker{m_dir.filePath(QStringLiteral("mosquitto.conf"))};
    quint16 m_metricsPort = 0, m_silentPort = 0;
    QString m_sim[2];
    std::unique_ptr<QProcess> m_gateway, m_sims[2], m_sub;
    std::unique_ptr<OutputLines> m_log, m_msgs;
    QUdpSocket m_silent;   // holds the port "late" points at; never answers
    bool m_saw503 = false;
    QByteArray m_first503;
};

QString tst_GatewayReload::startSim(QProcess *p)
{
    // speed (ID4x0) = 4660, word (ID3x60) = 305419896
    p->start(QStringLiteral(VESKOR_SIM_EXE), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                              QStringLiteral("--set"), QStringLiteral("ID4x:0:3412"),
                                              QStringLiteral("--set"), QStringLiteral("ID3x:60:78563412")});
    if (!p->waitForReadyRead(5000))
        return QString();
    return QRegularExpression(QStringLiteral("listening on (\\S+)"))
        .match(QString::fromUtf8(p->readAllStandardOutput())).captured(1);
}

// The configuration of a step: "start" press1, press2 and late with one tag
// each; "addTag" press1 with a second tag; "broken" that with a type no
// one knows; "remove" without press2.
void tst_GatewayReload::writeConfig(const QString &step)
{
    const QJsonObject speed{{"name", "speed"}, {"tag", "ID4x0"}, {"type", "int16"}};
    const QJsonObject word{{"name", "word"}, {"tag", "ID3x60"}, {"type", step == "broken" ? "uint33" : "uint32"}};
    const QJsonArray press1Tags = step == "start" ? QJsonArray{speed} : QJsonArray{speed, word};
    auto controller = [](const char *name, const QString &connect, const QJsonArray &tags) {
        return QJsonObject{{"name", name}, {"connect", connect}, {"period_ms", 100}, {"publish_every_ms", 200},
                           {"tags", tags}};
    };
    QJsonArray controllers{controller("press1", m_sim[0], press1Tags)};
    if (step != "remove")
        controllers.append(controller("press2", m_sim[1], QJsonArray{speed}));
    controllers.append(controller("late", QStringLiteral("127.0.0.1:%1").arg(m_silentPort), QJsonArray{speed}));
    const QJsonObject config{{"mqtt", QJsonObject{{"host", "127.0.0.1"}, {"port", m_broker.port()}, {"prefix", "plant"}}},
                             {"metrics", QStringLiteral("127.0.0.1:%1").arg(m_metricsPort)},
                             {"controllers", controllers}};
    QFile f(m_dir.filePath(QStringLiteral("gateway.json")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(config).toJson());
}

// curl's body of http://metrics/path and its HTTP status in *code.
QByteArray tst_GatewayReload::get(const QString &path, int *code)
{
    QProcess p;
    p.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-w"), QStringLiteral("\n%{http_code}"),
                                     QStringLiteral("http://127.0.0.1:%1%2").arg(m_metricsPort).arg(path)});
    p.waitForFinished(10000);
    QByteArray out = p.readAllStandardOutput();
    const int nl = out.lastIndexOf('\n');
    *code = out.mid(nl + 1).toInt();
    return out.left(nl);
}

// The value of a sample "name{labels}" on /metrics; -1 when absent.
double tst_GatewayReload::metric(const QByteArray &series)
{
    int code = 0;
    const QByteArray text = get(QStringLiteral("/metrics"), &code);
    for (const QByteArray &line : text.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    return -1;
}

void tst_GatewayReload::initTestCase()
{
    for (const char *tool : {"mosquitto", "mosquitto_sub", "curl"})
        if (findTool(tool).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed (Debian: mosquitto, mosquitto-clients, curl)")
                                 .arg(QLatin1String(tool))));
    QVERIFY(m_dir.isValid());
    QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFileDevice::ExeOther | QFileDevice::ReadOther);
    m_metricsPort = freeTcpPort();
    QVERIFY(m_silent.bind(QHostAddress(QHostAddress::LocalHost), quint16(0)));
    m_silentPort = m_silent.localPort();
    QVERIFY2(m_broker.start(), m_broker.output().constData());
    for (int i = 0; i < 2; ++i) {
        m_sims[i].reset(new QProcess);
        m_sim[i] = startSim(m_sims[i].get());
        QVERIFY(!m_sim[i].isEmpty());
    }
    m_sub.reset(new QProcess);
    m_sub->start(findTool("mosquitto_sub"), {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                             QString::number(m_broker.port()), QStringLiteral("-t"), QStringLiteral("plant/#"),
                                             QStringLiteral("-v")});
    QVERIFY(m_sub->waitForStarted());
    m_msgs.reset(new OutputLines(m_sub.get()));
    writeConfig(QStringLiteral("start"));
    m_gateway.reset(new QProcess);
    m_gateway->setProcessChannelMode(QProcess::MergedChannels);
    m_gateway->start(QStringLiteral(VESKOR_GATEWAY_EXE), {QStringLiteral("--config"), m_dir.filePath(QStringLiteral("gateway.json"))});
    QVERIFY(m_gateway->waitForStarted());
    m_log.reset(new OutputLines(m_gateway.get()));
    // Before "late" has waited out its first read: not ready yet.
    QVERIFY(m_log->waitFor("metrics http://", 5000) >= 0);
    int code = 0;
    m_first503 = get(QStringLiteral("/readyz"), &code);
    m_saw503 = code == 503;
}

void tst_GatewayReload::cleanupTestCase()
{
    for (auto *p : {m_gateway.get(), m_sub.get(), m_sims[0].get(), m_sims[1].get()})
        if (p && p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(2000);
        }
    m_broker.stop();
}

// /readyz 503 naming "late" before its first cycle ended, 200 after; /healthz
// 200 while every worker and MQTT loop turns, "late" waiting on its reads too.
void tst_GatewayReload::readyAndHealthy()
{
    QVERIFY2(m_saw503, m_first503.constData());
    QVERIFY2(m_first503.contains("late"), m_first503.constData());
    int code = 0;
    QByteArray body;
    QTRY_VERIFY_WITH_TIMEOUT((body = get(QStringLiteral("/readyz"), &code), code == 200), 10000);
    QCOMPARE(body, QByteArray("ok\n"));
    body = get(QStringLiteral("/healthz"), &code);
    QCOMPARE(code, 200);
    QCOMPARE(body, QByteArray("ok\n"));
    QVERIFY(m_msgs->waitFor("plant/press1/speed {", 5000) >= 0);
    QVERIFY(m_msgs->waitFor("plant/press2/speed {", 5000) >= 0);
    QCOMPARE(metric("veskor_mqtt_connects_total{controller=\"press2\"}"), 1.0);
}

// Each step writes the file and sends SIGHUP. logged: the outcome line;
// topic/payload: a message it must bring (empty: none); flowing: a
// controller whose values keep coming and whose MQTT connection and cycle
// count run on untouched.
void tst_GatewayReload::reload_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QByteArray>("logged");
    QTest::addColumn<QByteArray>("faultLine");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("messageHas");
    QTest::addColumn<QByteArray>("flowing");
    QTest::newRow("added tag") << "addTag" << QByteArray("reload accepted: 2 unchanged, 0 added, 0 removed, 1 changed")
                               << QByteArray() << QByteArray("plant/press1/word {") << QByteArray("\"value\":305419896}")
                               << QByteArray("press2");
    QTest::newRow("broken file") << "broken" << QByteArray("reload refused: 1 fault(s)")
                                 << QByteArray("uint33") << QByteArray() << QByteArray() << QByteArray("press2");
    QTest::newRow("removed controller") << "remove" << QByteArray("reload accepted: 2 unchanged, 0 added, 1 removed, 0 changed")
                                        << QByteArray() << QByteArray("plant/press2/$state offline") << QByteArray()
                                        << QByteArray("press1");
}

void tst_GatewayReload::reload()
{
    QFETCH(QString, step);
    QFETCH(QByteArray, logged);
    QFETCH(QByteArray, faultLine);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, messageHas);
    QFETCH(QByteArray, flowing);
    const QByteArray connects = "veskor_mqtt_connects_total{controller=\"" + flowing + "\"}";
    const QByteArray cycles = "veskor_cycles_total{controller=\"" + flowing + "\"}";
    const QByteArray values = "plant/" + flowing + "/speed {";
    const double connectsBefore = metric(connects);
    QCOMPARE(connectsBefore, 1.0);
    writeConfig(step);
    const int logFrom = m_log->size(), msgFrom = m_msgs->size();
    const double cyclesBefore = metric(cycles);
    QVERIFY(cyclesBefore > 0);
    QCOMPARE(::kill(pid_t(m_gateway->processId()), SIGHUP), 0);
    const int at = m_log->waitFor(logged, 10000, logFrom);
    QVERIFY2(at >= 0, m_log->joined(logFrom).constData());
    if (!faultLine.isEmpty())
        QVERIFY2(m_log->waitFor(faultLine, 0, logFrom) >= 0 && m_log->waitFor(faultLine, 0, logFrom) < at,
                 m_log->joined(logFrom).constData());
    if (!message.isEmpty())
        QVERIFY2(m_msgs->waitFor(message, 5000, msgFrom, messageHas) >= 0, m_msgs->joined(msgFrom).right(3000).constData());
    // Values keep coming after the reload, on the connection they came on.
    const int afterReload = m_msgs->size();
    QVERIFY(m_msgs->waitFor(values, 3000, afterReload) >= 0);
    QVERIFY(m_msgs->waitFor(values, 3000, m_msgs->waitFor(values, 0, afterReload) + 1) >= 0);
    QCOMPARE(metric(connects), 1.0);
    QVERIFY(metric(cycles) > cyclesBefore);
    QCOMPARE(m_log->count("MQTT connected again", logFrom), 0);
    QCOMPARE(m_gateway->state(), QProcess::Running);
    int code = 0;
    get(QStringLiteral("/healthz"), &code);
    QCOMPARE(code, 200);
}

// SIGTERM after the reloads: the clean stop, status 0.
void tst_GatewayReload::stopAfterReloads()
{
    QCOMPARE(::kill(pid_t(m_gateway->processId()), SIGTERM), 0);
    QVERIFY(m_gateway->waitForFinished(5000));
    QCOMPARE(m_gateway->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_gateway->exitCode(), 0);
    QVERIFY2(m_log->waitFor("veskor-gateway: stopped", 0) >= 0, m_log->joined(m_log->size() - 3).constData());
    QCOMPARE(m_log->count("not alive"), 0);
}

QTEST_GUILESS_MAIN(tst_GatewayReload)
#include "tst_gateway_reload.moc"
