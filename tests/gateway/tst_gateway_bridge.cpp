// Two halls, one plant: gateways on a broker network, end to end with real
// processes on 127.0.0.1 (docs/GATEWAY.md, "Many gateways, one plant").
//
//   veskor-sim 1 -- gateway hall1 (prefix plant/hall1) --------> central broker C
//   veskor-sim 2 -- gateway hall2 (prefix plant/hall2) -> hall broker H --bridge--^
//
// H bridges plant/hall2/# out to C and states its link on C in
// plant/hall2/$bridge (1 up, 0 down, the down being its last will on C).
// One subscriber on C watches the whole plant. The steps run in order on
// the same processes: both halls flow; H dies (SIGKILL, as a crash or a
// power cut of the hall); H comes back on the same port; a write published
// on C reaches hall2's controller through the bridge (set topics go in),
// and its result and the new value come back out.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "GatewayTestTools.h"

#include <memory>

namespace {

// Start: what came since everything started; the others: what comes after.
enum class Step { Start, KillHallBroker, StartHallBroker, WriteFromCentral };

// Values of ID4x0 in the two simulators (--set writes bytes, least
// significant first): 0x1234 in hall1, 0x5678 in hall2.
const QByteArray kHall1Speed = "\"value\":4660";
const QByteArray kHall2Speed = "\"value\":22136";

} // namespace

Q_DECLARE_METATYPE(Step)

class tst_GatewayBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void plant_data();
    void plant();

private:
    QString startSim(QProcess *p, const char *speed);
    bool startGateway(std::unique_ptr<QProcess> &p, const QString &hall, quint16 brokerPort, const QString &sim);
    QByteArrayList retainedOnCentral();
    QString hallBridge() const;

    QTemporaryDir m_dir;
    Broker m_central{m_dir.filePath(QStringLiteral("central.conf"))};
    Broker m_hall{m_dir.filePath(QStringLiteral("hall.conf"))};
    std::unique_ptr<QProcess> m_sims[2], m_gateways[2], m_sub;
    std::unique_ptr<OutputLines> m_seen;
};

QString tst_GatewayBridge::startSim(QProcess *p, const char *speed)
{
    p->start(QStringLiteral(VESKOR_SIM_EXE), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                              QStringLiteral("--set"), QStringLiteral("ID4x:0:%1").arg(QLatin1String(speed))});
    if (!p->waitForReadyRead(5000))
        return QString();
    return QRegularExpression(QStringLiteral("listening on (\\S+)"))
        .match(QString::fromUtf8(p->readAllStandardOutput())).captured(1);
}

// A gateway of one hall: its own client id and prefix, a controller "press"
// with a tag to read and one to write, values again every 300 ms,
// reconnects every second.
bool tst_GatewayBridge::startGateway(std::unique_ptr<QProcess> &p, const QString &hall, quint16 brokerPort,
                                     const QString &sim)
{
    const QJsonObject mqtt{{"host", "127.0.0.1"}, {"port", brokerPort}, {"prefix", "plant/" + hall},
                           {"client_id", "veskor-gateway-" + hall}, {"qos", 1},
                           {"reconnect_min_s", 1}, {"reconnect_max_s", 1}};
    const QJsonObject press{{"name", "press"}, {"connect", sim}, {"period_ms", 100}, {"publish_every_ms", 300},
                            {"tags", QJsonArray{QJsonObject{{"name", "speed"}, {"tag", "ID4x0"}, {"type", "int16"}},
                                                QJsonObject{{"name", "setpoint"}, {"tag", "ID4x16"}, {"type", "int16"},
                                                            {"writable", true}}}}};
    const QJsonObject config{{"mqtt", mqtt},
                             {"metrics", QStringLiteral("127.0.0.1:%1").arg(freeTcpPort())},
                             {"controllers", QJsonArray{press}}};
    QFile f(m_dir.filePath(hall + QStringLiteral(".json")));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QJsonDocument(config).toJson());
    f.close();
    p.reset(new QProcess);
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->start(QStringLiteral(VESKOR_GATEWAY_EXE), {QStringLiteral("--config"), f.fileName()});
    return p->waitForStarted();
}

// H's bridge to C, as docs/GATEWAY.md shows it: hall2's topics go out, the
// link's state is told on C (retained, and "0" as the bridge's will), and a
// lost link is tried again every second.
QString tst_GatewayBridge::hallBridge() const
{
    return QStringLiteral("connection hall2\n"
                          "address 127.0.0.1:%1\n"
                          "remote_clientid hall2-bridge\n"
                          "topic plant/hall2/# out 1\n"
                          "topic plant/hall2/+/+/set in 1\n"
                          "notifications true\n"
                          "notification_topic plant/hall2/$bridge\n"
                          "restart_timeout 1\n")
        .arg(m_central.port());
}

// What a client that subscribes to C now is handed: the retained messages.
QByteArrayList tst_GatewayBridge::retainedOnCentral()
{
    QProcess p;
    p.start(findTool("mosquitto_sub"), {QStringLiteral("-p"), QString::number(m_central.port()), QStringLiteral("-t"),
                                        QStringLiteral("plant/#"), QStringLiteral("-v"), QStringLiteral("--retained-only"),
                                        QStringLiteral("-W"), QStringLiteral("2")});
    p.waitForFinished(5000);
    QByteArrayList lines = p.readAllStandardOutput().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

void tst_GatewayBridge::initTestCase()
{
    for (const char *tool : {"mosquitto", "mosquitto_sub", "mosquitto_pub"})
        if (findTool(tool).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed (Debian: mosquitto, mosquitto-clients)")
                                 .arg(QLatin1String(tool))));
    QVERIFY(m_dir.isValid());
    QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFileDevice::ExeOther | QFileDevice::ReadOther);
    QVERIFY2(m_central.start(), m_central.output().constData());
    m_sub.reset(new QProcess);
    m_sub->start(findTool("mosquitto_sub"), {QStringLiteral("-p"), QString::number(m_central.port()), QStringLiteral("-t"),
                                             QStringLiteral("plant/#"), QStringLiteral("-v")});
    QVERIFY(m_sub->waitForStarted());
    m_seen.reset(new OutputLines(m_sub.get()));
    QVERIFY2(m_hall.start(hallBridge()), m_hall.output().constData());
    const char *speeds[2] = {"3412", "7856"};
    QString sims[2];
    for (int i = 0; i < 2; ++i) {
        m_sims[i].reset(new QProcess);
        sims[i] = startSim(m_sims[i].get(), speeds[i]);
        QVERIFY(!sims[i].isEmpty());
    }
    QVERIFY(startGateway(m_gateways[0], QStringLiteral("hall1"), m_central.port(), sims[0]));
    QVERIFY(startGateway(m_gateways[1], QStringLiteral("hall2"), m_hall.port(), sims[1]));
}

void tst_GatewayBridge::cleanupTestCase()
{
    for (auto *p : {m_gateways[0].get(), m_gateways[1].get(), m_sub.get(), m_sims[0].get(), m_sims[1].get()})
        if (p && p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(2000);
        }
    m_hall.stop();
    m_central.stop();
}

void tst_GatewayBridge::plant_data()
{
    QTest::addColumn<Step>("step");
    // Lines C's subscriber must see after the step: "topic part-of-payload".
    QTest::addColumn<QByteArrayList>("arrive");
    // Topic prefixes that must stay silent on C for a second after those arrived.
    QTest::addColumn<QByteArrayList>("silent");
    // Lines a client subscribing to C afterwards is handed as retained.
    QTest::addColumn<QByteArrayList>("retained");

    const QByteArray speed1 = "plant/hall1/press/speed ", speed2 = "plant/hall2/press/speed ";
    QTest::newRow("both halls on the central broker")
        << Step::Start
        << QByteArrayList{"plant/hall2/$bridge 1", "plant/hall1/press/$state online", speed1 + kHall1Speed,
                          "plant/hall2/press/$state online", speed2 + kHall2Speed}
        << QByteArrayList{}
        << QByteArrayList{"plant/hall1/press/$state online", speed1 + kHall1Speed, "plant/hall2/$bridge 1",
                          "plant/hall2/press/$state online", speed2 + kHall2Speed};
    // The bridge's will says the link is gone. hall2's own state stays
    // "online" on C: its will is with H, which is gone too. Its last value
    // stays, no longer renewed. hall1 goes on.
    QTest::newRow("hall broker gone")
        << Step::KillHallBroker
        << QByteArrayList{"plant/hall2/$bridge 0", speed1 + kHall1Speed}
        << QByteArrayList{"plant/hall2/press/"}
        << QByteArrayList{"plant/hall2/$bridge 0", "plant/hall2/press/$state online", speed2 + kHall2Speed,
                          "plant/hall1/press/$state online"};
    // The bridge connects again, the gateway reconnects to H and sends its
    // state and every value again; they reach C through the bridge.
    QTest::newRow("hall broker back")
        << Step::StartHallBroker
        << QByteArrayList{"plant/hall2/$bridge 1", "plant/hall2/press/$state online", speed2 + kHall2Speed,
                          speed2 + kHall2Speed}
        << QByteArrayList{}
        << QByteArrayList{"plant/hall2/$bridge 1", "plant/hall2/press/$state online", speed2 + kHall2Speed};
    // Set from the centre: the bridge takes it in to H, the gateway writes
    // it and answers; answer and value come out to C. The set does not
    // come back around the bridge, and hall1 is not touched.
    QTest::newRow("write from the central broker")
        << Step::WriteFromCentral
        << QByteArrayList{"plant/hall2/press/setpoint/set 77", "plant/hall2/press/setpoint/set/result {\"code\":0}",
                          "plant/hall2/press/setpoint \"value\":77"}
        << QByteArrayList{"plant/hall2/press/setpoint/set ", "plant/hall1/press/setpoint/"}
        << QByteArrayList{"plant/hall2/press/setpoint \"value\":77", "plant/hall1/press/setpoint \"value\":0"};
}

void tst_GatewayBridge::plant()
{
    QFETCH(Step, step);
    QFETCH(QByteArrayList, arrive);
    QFETCH(QByteArrayList, silent);
    QFETCH(QByteArrayList, retained);

    const int from = step == Step::Start ? 0 : m_seen->size();
    if (step == Step::KillHallBroker) {
        QVERIFY(m_hall.stop());
    } else if (step == Step::StartHallBroker) {
        QVERIFY2(m_hall.start(hallBridge()), m_hall.output().constData());
    } else if (step == Step::WriteFromCentral) {
        QProcess pub;
        pub.start(findTool("mosquitto_pub"), {QStringLiteral("-p"), QString::number(m_central.port()), QStringLiteral("-q"),
                                              QStringLiteral("1"), QStringLiteral("-t"),
                                              QStringLiteral("plant/hall2/press/setpoint/set"), QStringLiteral("-m"),
                                              QStringLiteral("77")});
        QVERIFY(pub.waitForFinished(5000));
        QCOMPARE(pub.exitCode(), 0);
    }
    // Each line after the step, in whatever order the two halls' messages
    // come; a line named twice must come twice.
    QHash<QByteArray, int> last;
    int at = from;
    for (const QByteArray &line : arrive) {
        const int space = line.indexOf(' ');
        const int found = m_seen->waitFor(line.left(space + 1), 8000, last.value(line, from - 1) + 1, line.mid(space + 1));
        QVERIFY2(found >= 0, (line + " did not come; C saw:\n" + m_seen->joined(from).right(3000)).constData());
        last.insert(line, found);
        at = qMax(at, found + 1);
    }
    for (const QByteArray &prefix : silent) {
        const QByteArrayList heard = m_seen->startingWith(prefix, at, 1000);
        QVERIFY2(heard.isEmpty(), heard.join('\n').constData());
    }
    const QByteArrayList held = retainedOnCentral();
    for (const QByteArray &line : retained) {
        const int space = line.indexOf(' ');
        bool found = false;
        for (const QByteArray &h : held)
            found = found || (h.startsWith(line.left(space + 1)) && h.mid(space + 1).contains(line.mid(space + 1)));
        QVERIFY2(found, (line + " is not retained on C:\n" + held.join('\n')).constData());
    }
}

QTEST_GUILESS_MAIN(tst_GatewayBridge)
#include "tst_gateway_bridge.moc"
