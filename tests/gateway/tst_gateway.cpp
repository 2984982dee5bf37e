// veskor-gateway end to end, with real processes on 127.0.0.1: a mosquitto
// broker of the test's own (free port, password file, ACL), two veskor-sim
// controllers, the gateway, mosquitto_sub and mosquitto_pub, veskor, curl
// and promtool; for TLS, openssl and a second broker. One run, its steps in order; the tag table drives the
// value checks. The tags of kWritable take sets on press1.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "GatewayTestTools.h"

#include <algorithm>
#include <memory>

#include <signal.h>

namespace {

// A tag as the gateway reads it, the bytes the simulators hold for it, and
// the value those bytes are.
struct TagRow {
    const char *name, *tag, *type;
    int count;
    const char *seedHex;
    const char *expected;   // the payload's "value", as JSON
};

const TagRow kTags[] = {
    {"speed", "ID4x0", "int16", 1, "3412", "4660"},
    {"negative", "ID4x2", "int16", 1, "feff", "-2"},
    {"triple", "ID4x4", "uint16", 3, "010002000300", "[1,2,3]"},
    {"setpoint", "ID4x12", "float", 1, "0000c841", "25"},
    {"big", "ID4x20", "uint64", 1, "ffffffffffffffff", "\"18446744073709551615\""},
    {"small", "ID4x28", "int64", 1, "fbffffffffffffff", "-5"},
    {"ratio", "ID4x36", "double", 1, "000000000000f83f", "1.5"},
    {"counter", "ID4x70", "int32", 1, "00000000", "0"},
    {"flag", "ID1x40", "bool", 1, "01", "true"},
    {"bits", "ID1x41", "bool", 10, "0502", "[true,false,true,false,false,false,false,false,false,true]"},
    {"label", "ID2x50", "string", 8, "0568656c6c6f", "\"hello\""},
    {"word", "ID3x60", "uint32", 1, "78563412", "305419896"},
};
// A scaled integer (press1 only): raw 200 shows as 200 x 0.5 - 40.
const TagRow kScaled = {"temperature", "ID4x80", "int16", 1, "c800", "60"};
const double kScale = 0.5, kOffset = -40;
const char kUnit[] = "\u00b0C";   // degrees Celsius, in UTF-8
const int kAreasUsed = 4;      // ID4x, ID1x, ID2x, ID3x
// At addresses no other tag of press1 uses in any area.
const char *const kWritable[] = {"setpoint", "big", "small", "label"};
const int kPeriod2Ms = 250;    // press2's period

QJsonValue jsonValue(const QByteArray &text)
{
    return QJsonDocument::fromJson("[" + text + "]").array().at(0);
}

// A subscriber's lines "topic payload", as they come.
class Subscriber
{
public:
    void start(const QStringList &args)
    {
        m_proc.reset(new QProcess);
        m_lines.reset(new OutputLines(m_proc.get()));
        m_proc->start(QStringLiteral("mosquitto_sub"), args);
        QVERIFY(m_proc->waitForStarted());
    }
    void stop() { m_proc->kill(); m_proc->waitForFinished(1000); }
    int size() { return m_lines->size(); }
    // The payload of the first line from index `from` on with this topic,
    // waiting up to ms for it; null when none came.
    QByteArray waitFor(const QByteArray &topic, int ms, int from = 0, const QByteArray &payload = QByteArray())
    {
        const QByteArray prefix = topic + ' ';
        const int i = m_lines->waitUntil([&](const QByteArray &l) {
            return l.startsWith(prefix) && (payload.isNull() || l.mid(prefix.size()).contains(payload));
        }, ms, from);
        return i < 0 ? QByteArray() : m_lines->lines().at(i).mid(prefix.size());
    }
    // Lines with this topic from index `from` on, as they are now.
    int count(const QByteArray &topic, int from)
    {
        const QByteArray prefix = topic + ' ';
        return m_lines->countIf([&](const QByteArray &l) { return l.startsWith(prefix); }, from);
    }
    // Every payload with this topic so far.
    QList<QByteArray> all(const QByteArray &topic)
    {
        const QByteArray prefix = topic + ' ';
        QList<QByteArray> out;
        for (const QByteArray &l : m_lines->lines())
            if (l.startsWith(prefix))
                out << l.mid(prefix.size());
        return out;
    }
    // The last payload seen on the topic.
    QByteArray last(const QByteArray &topic)
    {
        const QByteArray prefix = topic + ' ';
        const QByteArrayList &lines = m_lines->lines();
        for (int i = lines.size() - 1; i >= 0; --i)
            if (lines.at(i).startsWith(prefix))
                return lines.at(i).mid(prefix.size());
        return QByteArray();
    }

private:
    std::unique_ptr<QProcess> m_proc;
    std::unique_ptr<OutputLines> m_lines;   // m_proc's lines
};

} // namespace

class tst_Gateway : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void tagValues_data();
    void tagValues();
    void groupedRequests();
    void valueWrittenElsewhereArrives();
    void setRequests_data();
    void setRequests();
    void aclForbiddenSet();
    void metricsPassPromtool();
    void arraysByIndex_data();
    void arraysByIndex();
    void exactSets_data();
    void exactSets();
    void retainedSetsNeverWritten_data();
    void retainedSetsNeverWritten();
    void refusedSetsBounded();
    void scaledTag_data();
    void scaledTag();
    void latestSetWins_data();
    void latestSetWins();
    void silentController_data();
    void silentController();
    void brokerRestart();
    void controllerLost();
    void lostTagsOnMetrics_data();
    void lostTagsOnMetrics();
    void cleanStop();
    void retainedAfterStop_data();
    void retainedAfterStop();
    void tls_data();
    void tls();
    void badConfiguration();

private:
    void startBroker(bool tls = false);
    void startTlsBroker(const QString &openssl);
    void serveCertificate(const QString &name);
    QString startSim();
    QString startSim(QProcess *p, const QStringList &extra);
    void startGateway(QProcess *p, const QString &file, const QJsonObject &config);
    QByteArray run(const QString &program, const QStringList &args, int *status = nullptr,
                   QByteArray *err = nullptr, int ms = 10000);
    QJsonValue simValue(const QString &connect, const TagRow &row);
    QStringList mqttAuth(const char *user) const;
    void writeConfig(const QString &path);
    void startGateway();
    int publish(const QString &topic, const QByteArray &payload, const QStringList &options = {QStringLiteral("-s")});
    QByteArray metrics();
    const TagRow &row(const QString &name) const;
    static QByteArray series(const char *metric, const char *controller, const TagRow &r);

    QTemporaryDir m_dir;
    quint16 m_brokerPort = 0, m_metricsPort = 0, m_tlsPort = 0;
    QString m_mosquitto, m_veskor = QStringLiteral(VESKOR_EXE), m_sim[2];
    std::unique_ptr<QProcess> m_broker, m_gateway, m_sims[2], m_tlsBroker;
    std::unique_ptr<QProcess> m_lwSim, m_lwGateway;   // latestSetWins' own
    QString m_lwConnect;
    Subscriber m_sub;
    qint64 m_killedAtMs = 0;   // when press2's simulator was killed, ms since the epoch
};

QByteArray tst_Gateway::run(const QString &program, const QStringList &args, int *status, QByteArray *err, int ms)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(ms))
        p.kill();
    p.waitForFinished(1000);
    if (status)
        *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    if (err)
        *err = p.readAllStandardError();
    return p.readAllStandardOutput();
}

QStringList tst_Gateway::mqttAuth(const char *user) const
{
    return {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_brokerPort),
            QStringLiteral("-u"), QLatin1String(user), QStringLiteral("-P"), QLatin1String(user) + QStringLiteral("-pw")};
}

void tst_Gateway::startBroker(bool tls)
{
    auto &broker = tls ? m_tlsBroker : m_broker;
    const quint16 port = tls ? m_tlsPort : m_brokerPort;
    broker.reset(new QProcess);
    broker->setProcessChannelMode(QProcess::MergedChannels);
    broker->start(m_mosquitto, {QStringLiteral("-c"), m_dir.filePath(tls ? QStringLiteral("tls.conf") : QStringLiteral("mosquitto.conf"))});
    QVERIFY(broker->waitForStarted());
    // Ready once it takes a connection.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (s.waitForConnected(200))
            return;
        QTest::qWait(50);
    }
    QFAIL(qPrintable("mosquitto did not start: " + broker->readAll()));
}

QString tst_Gateway::startSim()
{
    auto &p = m_sims[m_sims[0] ? 1 : 0];
    p.reset(new QProcess);
    QStringList args{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")};
    std::vector<TagRow> seeded(std::begin(kTags), std::end(kTags));
    seeded.push_back(kScaled);
    for (const TagRow &r : seeded) {
        const QString tag = QLatin1String(r.tag);
        args << QStringLiteral("--set") << QStringLiteral("%1:%2:%3").arg(tag.section(QLatin1Char('x'), 0, 0) + QLatin1Char('x'),
                                                                           tag.section(QLatin1Char('x'), 1), QLatin1String(r.seedHex));
    }
    p->start(QStringLiteral(VESKOR_SIM_EXE), args);
    if (!p->waitForReadyRead(5000))
        return QString();
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("listening on (\\S+)")).match(QString::fromUtf8(p->readAllStandardOutput()));
    return m.captured(1);
}

// A simulator of a test's own, with extra arguments (faults); its address.
QString tst_Gateway::startSim(QProcess *p, const QStringList &extra)
{
    p->start(QStringLiteral(VESKOR_SIM_EXE), QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} + extra);
    if (!p->waitForReadyRead(5000))
        return QString();
    return QRegularExpression(QStringLiteral("listening on (\\S+)")).match(QString::fromUtf8(p->readAllStandardOutput())).captured(1);
}

// A gateway of a test's own on the test's broker, its log on its standard output.
void tst_Gateway::startGateway(QProcess *p, const QString &file, const QJsonObject &config)
{
    QFile f(m_dir.filePath(file));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(config).toJson());
    f.close();
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->start(QStringLiteral(VESKOR_GATEWAY_EXE), {QStringLiteral("--config"), f.fileName()});
    QVERIFY(p->waitForStarted());
}

void tst_Gateway::writeConfig(const QString &path)
{
    QJsonArray tags, writableTags;
    for (const TagRow &r : kTags) {
        QJsonObject t{{"name", r.name}, {"tag", r.tag}, {"type", r.type}, {"count", r.count}};
        tags.append(t);
        t.insert(QStringLiteral("writable"), std::any_of(std::begin(kWritable), std::end(kWritable), [&](const char *w) {
                     return qstrcmp(w, r.name) == 0;
                 }));
        writableTags.append(t);
    }
    writableTags.append(QJsonObject{{"name", kScaled.name}, {"tag", kScaled.tag}, {"type", kScaled.type}, {"writable", true},
                                    {"scale", kScale}, {"offset", kOffset},
                                    {"unit", QString::fromUtf8(kUnit)}});
    const QJsonObject mqtt{{"host", "127.0.0.1"}, {"port", m_brokerPort}, {"prefix", "plant"},
                           {"username", "gateway"}, {"password_file", "gateway.pw"}, {"retain_expiry_s", 600}};
    const QJsonArray controllers{
        QJsonObject{{"name", "press1"}, {"connect", m_sim[0]}, {"period_ms", 100}, {"tags", writableTags}},
        QJsonObject{{"name", "press1t"}, {"connect", m_sim[0]}, {"period_ms", 100}, {"group", false}, {"tags", tags}},
        QJsonObject{{"name", "press2"}, {"connect", m_sim[1]}, {"period_ms", kPeriod2Ms}, {"offline_after", 2}, {"tags", tags}}};
    const QJsonObject config{{"mqtt", mqtt}, {"metrics", QStringLiteral("127.0.0.1:%1").arg(m_metricsPort)},
                             {"controllers", controllers}};
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(config).toJson());
}

void tst_Gateway::initTestCase()
{
    m_mosquitto = findTool("mosquitto");
    for (const char *tool : {"mosquitto", "mosquitto_sub", "mosquitto_pub", "mosquitto_passwd", "promtool", "curl"})
        if (findTool(tool).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed (Debian: mosquitto, mosquitto-clients, prometheus, curl)")
                                 .arg(QLatin1String(tool))));
    QVERIFY(m_dir.isValid());
    // The broker may drop to its own user when started as root: it must read its files.
    QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFileDevice::ExeOther | QFileDevice::ReadOther);
    const QString pw = m_dir.filePath(QStringLiteral("passwd")), acl = m_dir.filePath(QStringLiteral("acl"));
    for (const char *user : {"gateway", "operator", "viewer"}) {
        int status = -1;
        QStringList args{QStringLiteral("-b"), pw, QLatin1String(user), QLatin1String(user) + QStringLiteral("-pw")};
        if (!QFile::exists(pw))
            args.prepend(QStringLiteral("-c"));
        QByteArray err;
        run(findTool("mosquitto_passwd"), args, &status, &err);
        QVERIFY2(status == 0, err.constData());
    }
    QFile a(acl);
    QVERIFY(a.open(QIODevice::WriteOnly));
    a.write("user gateway\ntopic readwrite plant/#\ntopic write replies/#\n\n"
            "user operator\ntopic read plant/#\ntopic write plant/+/+/set\ntopic read replies/#\n\n"
            "user viewer\ntopic read plant/#\n");
    a.close();
    QFile gw(m_dir.filePath(QStringLiteral("gateway.pw")));
    QVERIFY(gw.open(QIODevice::WriteOnly));
    gw.write("gateway-pw\n");
    gw.close();
    m_brokerPort = freeTcpPort();
    m_metricsPort = freeTcpPort();
    QFile conf(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous false\npassword_file %2\nacl_file %3\npersistence false\n")
                   .arg(m_brokerPort).arg(pw, acl).toUtf8());
    conf.close();
    for (const QString &f : {pw, acl})
        QFile::setPermissions(f, QFile::permissions(f) | QFileDevice::ReadOther);
    startBroker();
    m_sim[0] = startSim();
    m_sim[1] = startSim();
    QVERIFY(!m_sim[0].isEmpty() && !m_sim[1].isEmpty());
    writeConfig(m_dir.filePath(QStringLiteral("gateway.json")));
    m_sub.start(mqttAuth("viewer") << QStringLiteral("-t") << QStringLiteral("plant/#") << QStringLiteral("-v"));
    startGateway();
}

void tst_Gateway::startGateway()
{
    m_gateway.reset(new QProcess);
    m_gateway->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_gateway->start(QStringLiteral(VESKOR_GATEWAY_EXE), {QStringLiteral("--config"), m_dir.filePath(QStringLiteral("gateway.json"))});
    QVERIFY(m_gateway->waitForStarted());
}

// mosquitto_pub as the operator, the payload on its standard input (-s: one
// message, NUL bytes and all; -l: a message per line). Its exit status.
int tst_Gateway::publish(const QString &topic, const QByteArray &payload, const QStringList &options)
{
    QProcess p;
    p.start(QStringLiteral("mosquitto_pub"), mqttAuth("operator") << QStringLiteral("-t") << topic << options);
    if (!p.waitForStarted())
        return -1;
    p.write(payload);
    p.closeWriteChannel();
    if (!p.waitForFinished(20000))
        p.kill();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QByteArray tst_Gateway::metrics()
{
    return run(QStringLiteral("curl"), {QStringLiteral("-sf"), QStringLiteral("http://127.0.0.1:%1/metrics").arg(m_metricsPort)});
}

// The start of a tag's sample line: "metric{controller=...,tag=...,name=...".
QByteArray tst_Gateway::series(const char *metric, const char *controller, const TagRow &r)
{
    return QByteArray(metric) + "{controller=\"" + controller + "\",tag=\"" + r.tag + "\",name=\"" + r.name + '"';
}

const TagRow &tst_Gateway::row(const QString &name) const
{
    for (const TagRow &r : kTags)
        if (name == QLatin1String(r.name))
            return r;
    return kTags[0];
}

void tst_Gateway::cleanupTestCase()
{
    for (auto *p : {m_gateway.get(), m_lwGateway.get(), m_lwSim.get(), m_sims[0].get(), m_sims[1].get(), m_broker.get(),
                    m_tlsBroker.get()})
        if (p && p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(2000);
        }
}

QJsonValue tst_Gateway::simValue(const QString &connect, const TagRow &row)
{
    const QByteArray out = run(m_veskor, {QStringLiteral("--connect"), connect, QStringLiteral("--json"), QStringLiteral("read"),
                                          QStringLiteral("%1:%2:%3").arg(QLatin1String(row.tag), QLatin1String(row.type)).arg(row.count)});
    const QJsonArray values = QJsonDocument::fromJson(out).object().value(QLatin1String("values")).toArray();
    if (QLatin1String(row.type) == QLatin1String("string") || values.size() == 1)
        return values.at(0);
    return values;
}

void tst_Gateway::tagValues_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(sizeof kTags / sizeof kTags[0]); ++i)
        QTest::newRow(kTags[i].name) << i;
}

// Every tag reaches MQTT from each controller: grouped, tag by tag and the
// second simulator agree with the seeded bytes and with veskor's own read.
void tst_Gateway::tagValues()
{
    QFETCH(int, row);
    const TagRow &r = kTags[row];
    const QJsonValue expected = jsonValue(r.expected);
    QCOMPARE(simValue(m_sim[0], r), expected);
    for (const char *controller : {"press1", "press1t", "press2"}) {
        const QByteArray topic = QByteArray("plant/") + controller + '/' + r.name;
        const QByteArray payload = m_sub.waitFor(topic, 10000);
        QVERIFY2(!payload.isEmpty(), topic.constData());
        const QJsonObject o = QJsonDocument::fromJson(payload).object();
        QCOMPARE(o.value(QLatin1String("value")), expected);
        QCOMPARE(o.value(QLatin1String("quality")).toString(), QStringLiteral("good"));
        QCOMPARE(o.value(QLatin1String("code")).toInt(-1), 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"))
                     .match(o.value(QLatin1String("ts")).toString()).hasMatch(), payload.constData());
    }
}

// A cycle makes one request per used area; tag by tag, one per tag.
void tst_Gateway::groupedRequests()
{
    const QByteArray text = run(QStringLiteral("curl"), {QStringLiteral("-sf"), QStringLiteral("http://127.0.0.1:%1/metrics").arg(m_metricsPort)});
    QVERIFY(text.contains(QByteArray("veskor_requests_per_cycle{controller=\"press1\"} ") + QByteArray::number(kAreasUsed) + '\n'));
    QVERIFY(text.contains(QByteArray("veskor_requests_per_cycle{controller=\"press1t\"} ")
                          + QByteArray::number(int(sizeof kTags / sizeof kTags[0])) + '\n'));
}

// A value a second host writes into the controller is published within two periods.
void tst_Gateway::valueWrittenElsewhereArrives()
{
    const int from = m_sub.size();
    QElapsedTimer t;
    t.start();
    int status = -1;
    run(m_veskor, {QStringLiteral("--connect"), m_sim[1], QStringLiteral("write"), QStringLiteral("ID4x70"),
                   QStringLiteral("int32"), QStringLiteral("777")}, &status);
    QCOMPARE(status, 0);
    const qint64 written = t.elapsed();
    const QByteArray payload = m_sub.waitFor("plant/press2/counter", 5000, from, "\"value\":777");
    QVERIFY(!payload.isEmpty());
    QVERIFY2(t.elapsed() - written <= 2 * kPeriod2Ms, qPrintable(QString::number(t.elapsed() - written)));
}

void tst_Gateway::setRequests_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("simAfter");   // the tag's value in the simulator afterwards, as JSON
    QTest::newRow("writable") << "setpoint" << "12.5" << 0 << "12.5";
    QTest::newRow("not writable") << "speed" << "7" << 101 << "4660";
    QTest::newRow("not its type") << "setpoint" << "abc" << 102 << "12.5";
    QTest::newRow("JSON object, too many values") << "setpoint" << "{\"value\": [1, 2]}" << 102 << "12.5";
}

void tst_Gateway::scaledTag_data()
{
    QTest::addColumn<QString>("payload");    // a set of the scaled tag; empty: none
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("raw");        // the controller's value afterwards
    QTest::addColumn<QString>("shown");      // the published value afterwards
    QTest::newRow("read") << "" << 0 << "200" << "60";
    QTest::newRow("write") << "75.5" << 0 << "231" << "75.5";
    QTest::newRow("not a whole step of 0.5") << "75.25" << 102 << "231" << "75.5";
    QTest::newRow("raw value past int16") << "16400" << 102 << "231" << "75.5";
}

// A scaled tag: published and on /metrics as raw x scale + offset with its
// unit; a set is written as the raw value it stands for, or refused when
// the controller could not hold it.
void tst_Gateway::scaledTag()
{
    QFETCH(QString, payload);
    QFETCH(int, code);
    QFETCH(QString, raw);
    QFETCH(QString, shown);
    const QByteArray topic = QByteArray("plant/press1/") + kScaled.name;
    const int from = m_sub.size();
    if (!payload.isEmpty()) {
        QTest::qWait(250);   // past the tag's write interval
        int status = -1;
        run(QStringLiteral("mosquitto_pub"), mqttAuth("operator") << QStringLiteral("-t") << QString::fromUtf8(topic + "/set")
                                                                  << QStringLiteral("-m") << payload, &status);
        QCOMPARE(status, 0);
        const QJsonObject result = QJsonDocument::fromJson(m_sub.waitFor(topic + "/set/result", 5000, from)).object();
        QCOMPARE(result.value(QLatin1String("code")).toInt(-1), code);
    }
    QCOMPARE(simValue(m_sim[0], kScaled), jsonValue(raw.toUtf8()));
    const QByteArray published = m_sub.waitFor(topic, 5000, code == 0 && !payload.isEmpty() ? from : 0,
                                               "\"value\":" + shown.toUtf8());
    QVERIFY2(!published.isEmpty(), qPrintable(shown));
    QCOMPARE(QJsonDocument::fromJson(published).object().value(QLatin1String("unit")).toString(), QString::fromUtf8(kUnit));
    QVERIFY(metrics().contains(series("veskor_tag_value", "press1", kScaled) + ",unit=\"" + kUnit + "\"} " + shown.toUtf8() + '\n'));
}

// Sets from a client the ACL allows: made only for the writable tag and a
// value of its type, each answered on .../set/result.
void tst_Gateway::setRequests()
{
    QFETCH(QString, tag);
    QFETCH(QString, payload);
    QFETCH(int, code);
    QFETCH(QString, simAfter);
    QTest::qWait(250);   // past the tag's write interval
    const int from = m_sub.size();
    const QByteArray topic = "plant/press1/" + tag.toUtf8() + "/set";
    int status = -1;
    run(QStringLiteral("mosquitto_pub"), mqttAuth("operator") << QStringLiteral("-t") << QString::fromUtf8(topic)
                                                              << QStringLiteral("-m") << payload, &status);
    QCOMPARE(status, 0);
    const QJsonObject result = QJsonDocument::fromJson(m_sub.waitFor(topic + "/result", 5000, from)).object();
    QCOMPARE(result.value(QLatin1String("code")).toInt(-1), code);
    QCOMPARE(result.contains(QLatin1String("error")), code != 0);
    for (const TagRow &r : kTags)
        if (tag == QLatin1String(r.name))
            QCOMPARE(simValue(m_sim[0], r), jsonValue(simAfter.toUtf8()));
    if (code == 0)
        QVERIFY(!m_sub.waitFor("plant/press1/" + tag.toUtf8(), 2000, from, "\"value\":" + simAfter.toUtf8()).isEmpty());
}

// A client the ACL does not let write cannot get a set through.
void tst_Gateway::aclForbiddenSet()
{
    QTest::qWait(250);
    const int from = m_sub.size();
    run(QStringLiteral("mosquitto_pub"), mqttAuth("viewer") << QStringLiteral("-t") << QStringLiteral("plant/press1/setpoint/set")
                                                            << QStringLiteral("-m") << QStringLiteral("99"));
    QVERIFY(m_sub.waitFor("plant/press1/setpoint/set/result", 1500, from).isNull());
    QCOMPARE(simValue(m_sim[0], kTags[3]), QJsonValue(12.5));
}

void tst_Gateway::metricsPassPromtool()
{
    const QString file = m_dir.filePath(QStringLiteral("metrics.txt"));
    int status = -1;
    run(QStringLiteral("curl"), {QStringLiteral("-sf"), QStringLiteral("-o"), file,
                                 QStringLiteral("http://127.0.0.1:%1/metrics").arg(m_metricsPort)}, &status);
    QCOMPARE(status, 0);
    QProcess promtool;
    promtool.setStandardInputFile(file);
    promtool.start(findTool("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(promtool.waitForFinished(10000));
    QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    QVERIFY(text.contains("veskor_tag_value{controller=\"press1\",tag=\"ID4x0\",name=\"speed\"} 4660\n"));
    QVERIFY(text.contains("veskor_controller_up{controller=\"press2\"} 1\n"));
    QVERIFY(text.contains("veskor_mqtt_connected{controller=\"press1\"} 1\n"));
    QVERIFY(text.contains("veskor_writes_total{controller=\"press1\",code=\"0\"} 1\n"));
    for (const char *name : {"process_cpu_seconds_total", "process_resident_memory_bytes", "process_virtual_memory_bytes",
                             "process_open_fds", "process_max_fds", "process_start_time_seconds"})
        QVERIFY2(QRegularExpression(QStringLiteral("\n%1 [0-9.e+]+\n").arg(QLatin1String(name)))
                     .match(QString::fromLatin1(text)).hasMatch(), name);
}

void tst_Gateway::arraysByIndex_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("elements");   // the samples' values in index order; empty: none
    QTest::newRow("uint16 x3") << "triple" << "1 2 3";
    QTest::newRow("bool x10") << "bits" << "1 0 1 0 0 0 0 0 0 1";
    QTest::newRow("scalar") << "speed" << "";
    QTest::newRow("string") << "label" << "";
}

// A numeric array has one veskor_tag_value sample per element, labelled by
// its index, and none without one; scalars and strings have no indexed ones.
void tst_Gateway::arraysByIndex()
{
    QFETCH(QString, name);
    QFETCH(QString, elements);
    const QByteArray text = metrics();
    const TagRow &r = row(name);
    const QStringList values = elements.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const char *controller : {"press1", "press1t"}) {
        const QByteArray lead = series("veskor_tag_value", controller, r);
        for (int i = 0; i < values.size(); ++i)
            QVERIFY2(text.contains(lead + ",index=\"" + QByteArray::number(i) + "\"} " + values.at(i).toLatin1() + '\n'),
                     lead.constData());
        QCOMPARE(text.count(lead + ",index=\""), values.size());
        QCOMPARE(text.contains(lead + "} "), !values.isEmpty() ? false : name == QLatin1String("speed"));
        QVERIFY(text.contains(series("veskor_tag_quality", controller, r) + "} 2\n"));
    }
}

void tst_Gateway::exactSets_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("simAfter");   // the tag's value read back from the simulator, as JSON
    QTest::newRow("int64 2^53+1, JSON number") << "small" << QByteArray("9007199254740993") << 0 << "\"9007199254740993\"";
    QTest::newRow("int64 min") << "small" << QByteArray("-9223372036854775808") << 0 << "\"-9223372036854775808\"";
    QTest::newRow("int64 2^53+1, plain hex") << "small" << QByteArray("0x20000000000001") << 0 << "\"9007199254740993\"";
    QTest::newRow("int64 past its range") << "small" << QByteArray("9223372036854775808") << 102 << "\"9007199254740993\"";
    QTest::newRow("uint64 17 digits in an object") << "big" << QByteArray("{\"value\": 12345678901234567}") << 0
                                                   << "\"12345678901234567\"";
    QTest::newRow("uint64 max") << "big" << QByteArray("18446744073709551615") << 0 << "\"18446744073709551615\"";
    QTest::newRow("string with a NUL escape") << "label" << QByteArray("\"a\\u0000bc\"") << 102 << "\"hello\"";
    QTest::newRow("string with a NUL byte") << "label" << QByteArray("a\0bc", 4) << 102 << "\"hello\"";
    QTest::newRow("string whole") << "label" << QByteArray("\"a b\"") << 0 << "\"a b\"";
}

// Values go to the controller exactly as sent, or are refused: 64-bit
// integers keep every digit, a string with NUL is not cut.
void tst_Gateway::exactSets()
{
    QFETCH(QString, tag);
    QFETCH(QByteArray, payload);
    QFETCH(int, code);
    QFETCH(QString, simAfter);
    QTest::qWait(250);   // past the tag's write interval
    const int from = m_sub.size();
    const QString topic = QStringLiteral("plant/press1/%1/set").arg(tag);
    QCOMPARE(publish(topic, payload), 0);
    const QJsonObject result = QJsonDocument::fromJson(m_sub.waitFor(topic.toUtf8() + "/result", 5000, from)).object();
    QCOMPARE(result.value(QLatin1String("code")).toInt(-1), code);
    QCOMPARE(simValue(m_sim[0], row(tag)), jsonValue(simAfter.toUtf8()));
    if (code == 0)
        QVERIFY(!m_sub.waitFor("plant/press1/" + tag.toUtf8(), 2000, from, "\"value\":" + simAfter.toUtf8()).isNull());
}

void tst_Gateway::retainedSetsNeverWritten_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("published") << "";
    QTest::newRow("gateway restarted") << "restart";
    QTest::newRow("connection cut") << "cut";
}

// A set published retained is refused (105), and the broker's retained copy
// is not written when the gateway comes back, restarted or reconnected:
// the newer value stays.
void tst_Gateway::retainedSetsNeverWritten()
{
    QFETCH(QString, then);
    const QString topic = QStringLiteral("plant/press1/setpoint/set");
    QTest::qWait(250);
    int from = m_sub.size();
    QCOMPARE(publish(topic, "42", {QStringLiteral("-s"), QStringLiteral("-r")}), 0);
    QCOMPARE(QJsonDocument::fromJson(m_sub.waitFor(topic.toUtf8() + "/result", 5000, from)).object()
                 .value(QLatin1String("code")).toInt(-1), 105);
    from = m_sub.size();
    QCOMPARE(publish(topic, "7"), 0);
    QVERIFY(!m_sub.waitFor(topic.toUtf8() + "/result", 5000, from, "{\"code\":0}").isNull());
    from = m_sub.size();
    if (then == QLatin1String("restart")) {
        m_gateway->terminate();
        QVERIFY(m_gateway->waitForFinished(3000));
        startGateway();
    } else if (then == QLatin1String("cut")) {
        // A client with the gateway's id takes the session over: the broker
        // drops the gateway's connection, and the gateway connects again.
        run(QStringLiteral("mosquitto_sub"), mqttAuth("gateway") << QStringLiteral("-i") << QStringLiteral("veskor-gateway-press1")
                                                                 << QStringLiteral("-t") << QStringLiteral("plant/none") << QStringLiteral("-W")
                                                                 << QStringLiteral("1"));
    }
    if (!then.isEmpty()) {
        // Connected again: every value is published anew.
        QVERIFY(!m_sub.waitFor("plant/press1/speed", 10000, from).isNull());
        QTest::qWait(1000);
    }
    QCOMPARE(simValue(m_sim[0], row(QStringLiteral("setpoint"))), QJsonValue(7));
    QVERIFY(m_sub.waitFor(topic.toUtf8() + "/result", 0, from, "{\"code\":0}").isNull());
    if (then == QLatin1String("cut"))
        QCOMPARE(publish(topic, QByteArray(), {QStringLiteral("-n"), QStringLiteral("-r")}), 0);   // the broker forgets it
}

// Sets in a burst: the first and the last written, the ones between
// superseded (106), all counted but few answered; a
// payload too large for its tag is answered as such, and one too large for
// the connection's packet limit never reaches the gateway.
void tst_Gateway::refusedSetsBounded()
{
    const auto counter = [](const QByteArray &text, const QByteArray &series) {
        const int at = text.indexOf(series + ' ');
        return at < 0 ? 0 : text.mid(at + series.size() + 1, text.indexOf('\n', at) - at - series.size() - 1).toLongLong();
    };
    const QByteArray written = "veskor_writes_total{controller=\"press1\",code=\"", held = "veskor_set_results_held_total{controller=\"press1\"}";
    const auto outcomes = [&](const QByteArray &text) {
        return counter(text, written + "0\"}") + counter(text, written + "106\"}");
    };
    const QByteArray before = metrics();
    const int sets = 300;
    QTest::qWait(250);
    const int from = m_sub.size();
    QByteArray lines;
    for (int i = 0; i < sets; ++i)
        lines += QByteArray::number(20 + i % 10) + '\n';
    QCOMPARE(publish(QStringLiteral("plant/press1/setpoint/set"), lines, {QStringLiteral("-l")}), 0);
    QCOMPARE(publish(QStringLiteral("plant/press1/setpoint/set"), QByteArray(512 * 1024, '1')), 0);
    QCOMPARE(publish(QStringLiteral("plant/press1/setpoint/set"), QByteArray(2 * 1024 * 1024, '1')), 0);
    QByteArray after;
    QElapsedTimer t;
    t.start();
    do {
        QTest::qWait(200);
        after = metrics();
    } while (outcomes(after) - outcomes(before) < sets && t.elapsed() < 10000);
    QTest::qWait(1000);   // what else might come
    after = metrics();
    QCOMPARE(outcomes(after) - outcomes(before), qint64(sets));
    QCOMPARE(counter(after, written + "102\"}") - counter(before, written + "102\"}"), qint64(1));
    QCOMPARE(counter(after, written + "0\"}") - counter(before, written + "0\"}"), qint64(2));
    QCOMPARE(simValue(m_sim[0], row(QStringLiteral("setpoint"))), QJsonValue(20 + (sets - 1) % 10));
    const int answers = m_sub.count("plant/press1/setpoint/set/result", from);
    QVERIFY2(answers <= 2 + 5 + 1, qPrintable(QString::number(answers)));   // the writes, the tag's burst, the 102
    QVERIFY(counter(after, held) - counter(before, held) >= sets - 2 - 5);
}

void tst_Gateway::latestSetWins_data()
{
    QTest::addColumn<QStringList>("payloads");   // published 100 ms apart
    QTest::addColumn<QList<int>>("codes");       // each set's result, in the order published
    QTest::addColumn<int>("simAfter");
    QTest::addColumn<bool>("reply");             // each set names a response topic and correlation data
    QTest::newRow("-123456 then 7 inside a write's interval") << QStringList{"1", "-123456", "7"}
                                                              << QList<int>{0, 106, 0} << 7 << false;
    QTest::newRow("-123456 then 7 on a quiet tag") << QStringList{"-123456", "7"} << QList<int>{0, 0} << 7 << false;
    QTest::newRow("five in a row") << QStringList{"1", "2", "3", "4", "5"} << QList<int>{0, 106, 106, 106, 0} << 5
                                   << false;
    QTest::newRow("answered on the response topic") << QStringList{"1", "-123456", "7"} << QList<int>{0, 106, 0} << 7
                                                    << true;
}

// Sets closer together than the tag's write interval (1 s here): the first
// written at once, the latest when the interval ends, those between answered
// as superseded (106); the controller ends on the last value. A set that
// names an MQTT 5 response topic gets its result there too, with its
// correlation data.
void tst_Gateway::latestSetWins()
{
    QFETCH(QStringList, payloads);
    QFETCH(QList<int>, codes);
    QFETCH(int, simAfter);
    QFETCH(bool, reply);
    QString &connect = m_lwConnect;
    if (!m_lwGateway) {   // one gateway for the rows, ended with the run
        m_lwSim.reset(new QProcess);
        connect = startSim(m_lwSim.get(), {});
        QVERIFY(!connect.isEmpty());
        const QJsonArray tags{QJsonObject{{"name", "target"}, {"tag", "ID4x100"}, {"type", "int32"}, {"writable", true}}};
        m_lwGateway.reset(new QProcess);
        startGateway(m_lwGateway.get(), QStringLiteral("latest.json"),
                     QJsonObject{{"mqtt", QJsonObject{{"host", "127.0.0.1"}, {"port", m_brokerPort}, {"prefix", "plant"},
                                                      {"username", "gateway"}, {"password_file", "gateway.pw"}}},
                                 {"metrics", false},
                                 {"controllers", QJsonArray{QJsonObject{{"name", "lw"}, {"connect", connect}, {"period_ms", 100},
                                                                        {"write_interval_ms", 1000}, {"tags", tags}}}}});
        QVERIFY(!m_sub.waitFor("plant/lw/target", 10000).isNull());
    }
    QTest::qWait(1200);   // past the interval of the row before
    Subscriber results;
    results.start(mqttAuth("operator") << "-V" << "5" << "-t" << "plant/lw/target/set/result" << "-t" << "replies/#"
                                       << "-F" << "%t %D %p");
    QTest::qWait(300);   // subscribed
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < payloads.size(); ++i) {
        if (i > 0)
            QTest::qWait(100);
        QStringList options{QStringLiteral("-s")};
        if (reply)
            options << "-V" << "5" << "-D" << "publish" << "response-topic" << "replies/op1" << "-D" << "publish"
                    << "correlation-data" << QStringLiteral("req%1").arg(i);
        QCOMPARE(publish(QStringLiteral("plant/lw/target/set"), payloads.at(i).toUtf8(), options), 0);
    }
    QVERIFY2(t.elapsed() < 1000, "the sets were not all inside one write interval");
    // Results come in the order the sets were published: a superseded one
    // when the next comes, the last one when the interval ends.
    QElapsedTimer wait;
    wait.start();
    while (results.count("plant/lw/target/set/result", 0) < codes.size() && wait.elapsed() < 5000)
        QTest::qWait(20);
    QTest::qWait(300);   // nothing more
    QList<int> got;
    for (const QByteArray &line : results.all("plant/lw/target/set/result"))
        got << QJsonDocument::fromJson(line.mid(line.indexOf('{'))).object().value(QLatin1String("code")).toInt(-1);
    QCOMPARE(got, codes);
    QVERIFY2(t.elapsed() >= 900, "the last set was written before the interval ended");
    QCOMPARE(simValue(connect, TagRow{"target", "ID4x100", "int32", 1, "", ""}), QJsonValue(simAfter));
    if (reply)
        for (int i = 0; i < payloads.size(); ++i) {
            const QByteArray line = results.waitFor("replies/op1", 2000, 0, QStringLiteral("req%1 ").arg(i).toUtf8());
            QVERIFY2(!line.isNull(), qPrintable(QStringLiteral("no answer to set %1 on the response topic").arg(i)));
            QCOMPARE(QJsonDocument::fromJson(line.mid(line.indexOf('{'))).object().value(QLatin1String("code")).toInt(-1),
                     codes.at(i));
        }
    results.stop();
}

namespace {

// A sample's value in the exposition text; -1 when absent.
double sampleValue(const QByteArray &text, const QByteArray &series)
{
    const int at = text.indexOf('\n' + series + ' ');
    if (at < 0)
        return -1;
    const int from = at + series.size() + 2;
    return text.mid(from, text.indexOf('\n', from) - from).toDouble();
}

} // namespace

void tst_Gateway::silentController_data()
{
    QTest::addColumn<bool>("group");
    QTest::addColumn<QString>("silence");   // drop: every answer dropped; stop: the simulator stopped, then continued
    QTest::newRow("5 areas, every answer dropped") << true << "drop";
    QTest::newRow("5 tags one by one, every answer dropped") << false << "drop";
    QTest::newRow("5 areas, stopped, then continued with a set pending") << true << "stop";
}

// A controller that does not answer costs one wait (2 s) per cycle, not
// one per request: the cycle's other reads are skipped, its tags go bad,
// and the cycle's work shows about one wait in the metrics and the log. A
// set made while it is silent is written once it answers again.
void tst_Gateway::silentController()
{
    QFETCH(bool, group);
    QFETCH(QString, silence);
    QProcess sim;
    const QString connect = startSim(&sim, silence == QLatin1String("drop") ? QStringList{"--fault", "drop=1"} : QStringList());
    QVERIFY(!connect.isEmpty());
    QJsonArray tags;
    for (int i = 0; i < 5; ++i)
        tags.append(QJsonObject{{"name", QStringLiteral("t%1").arg(i)}, {"type", "int16"}, {"writable", i == 0},
                                {"tag", group ? QStringLiteral("ID%1x100").arg(i + 1) : QStringLiteral("ID4x%1").arg(100 + 2 * i)}});
    const quint16 metricsPort = freeTcpPort();
    QProcess gateway;
    startGateway(&gateway, QStringLiteral("silent.json"),
                 QJsonObject{{"mqtt", QJsonObject{{"host", "127.0.0.1"}, {"port", m_brokerPort}, {"prefix", "plant"},
                                                  {"username", "gateway"}, {"password_file", "gateway.pw"}}},
                             {"metrics", QStringLiteral("127.0.0.1:%1").arg(metricsPort)},
                             {"controllers", QJsonArray{QJsonObject{{"name", "silent"}, {"connect", connect}, {"period_ms", 200},
                                                                    {"group", group}, {"tags", tags}}}}});
    const int from = m_sub.size();
    if (silence == QLatin1String("stop")) {
        QVERIFY(!m_sub.waitFor("plant/silent/t4", 10000, from, "\"quality\":\"good\"").isNull());
        QCOMPARE(::kill(pid_t(sim.processId()), SIGSTOP), 0);
    }
    QVERIFY(!m_sub.waitFor("plant/silent/t4", 15000, from, "\"code\":8").isNull());
    const auto figures = [&] {
        return run(QStringLiteral("curl"), {QStringLiteral("-sf"), QStringLiteral("http://127.0.0.1:%1/metrics").arg(metricsPort)});
    };
    const QByteArray label = "{controller=\"silent\"}";
    QByteArray before = figures(), after;
    QElapsedTimer t;
    t.start();
    do {
        QTest::qWait(200);
        after = figures();
    } while (sampleValue(after, "veskor_cycle_seconds_count" + label) - sampleValue(before, "veskor_cycle_seconds_count" + label) < 2
             && t.elapsed() < 15000);
    const double cycles = sampleValue(after, "veskor_cycle_seconds_count" + label) - sampleValue(before, "veskor_cycle_seconds_count" + label);
    const double seconds = sampleValue(after, "veskor_cycle_seconds_sum" + label) - sampleValue(before, "veskor_cycle_seconds_sum" + label);
    QVERIFY2(cycles >= 2, qPrintable(QString::number(cycles)));
    // One wait is 2 s, five would be 10: generous for a loaded machine.
    qInfo("%.0f cycles, %.3f s of work each", cycles, seconds / cycles);
    QVERIFY2(seconds / cycles < 3.5, qPrintable(QStringLiteral("%1 s per cycle").arg(seconds / cycles)));
    QVERIFY(sampleValue(after, "veskor_reads_skipped_total" + label) >= 4 * sampleValue(after, "veskor_reads_total{controller=\"silent\",code=\"8\"}") - 4);
    QVERIFY(sampleValue(after, "veskor_cycle_overrun_total" + label) >= 1);
    QByteArray log = gateway.readAll();
    const QRegularExpressionMatch line =
        QRegularExpression(QStringLiteral("silent: a cycle's work took (\\d+) ms, longer than its period of 200 ms"))
            .match(QString::fromUtf8(log));
    QVERIFY2(line.hasMatch() && line.captured(1).toInt() < 3500, log.constData());
    if (silence == QLatin1String("stop")) {
        const int sets = m_sub.size();
        QCOMPARE(publish(QStringLiteral("plant/silent/t0/set"), "-321"), 0);
        QCOMPARE(::kill(pid_t(sim.processId()), SIGCONT), 0);
        QVERIFY(!m_sub.waitFor("plant/silent/t0/set/result", 6000, sets, "{\"code\":0}").isNull());
        QCOMPARE(simValue(connect, TagRow{"t0", "ID1x100", "int16", 1, "", ""}), QJsonValue(-321));
    }
    gateway.terminate();
    QVERIFY(gateway.waitForFinished(3000));
    sim.kill();
    sim.waitForFinished(2000);
}

// The broker goes and comes back with nothing retained: the gateway's
// latest values are there again within 5 s.
void tst_Gateway::brokerRestart()
{
    m_broker->kill();
    QVERIFY(m_broker->waitForFinished(5000));
    QTest::qWait(300);
    QElapsedTimer t;
    t.start();
    startBroker();
    Subscriber fresh;
    fresh.start(mqttAuth("viewer") << QStringLiteral("-t") << QStringLiteral("plant/#") << QStringLiteral("-v"));
    for (const TagRow &r : kTags)
        QVERIFY2(!fresh.waitFor(QByteArray("plant/press1/") + r.name, int(qMax<qint64>(0, 5000 - t.elapsed()))).isEmpty(), r.name);
    QVERIFY(t.elapsed() <= 5000);
    m_sub = std::move(fresh);
}

// A controller that stops answering goes offline with its tags bad; the other keeps coming.
void tst_Gateway::controllerLost()
{
    const int from = m_sub.size();
    const QByteArray speed2 = series("veskor_tag_value", "press2", kTags[0]) + "} ";
    QVERIFY(metrics().contains(speed2));
    QElapsedTimer gone;
    gone.start();
    m_killedAtMs = QDateTime::currentMSecsSinceEpoch();
    m_sims[1]->kill();
    // Its values leave /metrics within two periods (and the time a scrape takes).
    while (metrics().contains(speed2) && gone.elapsed() < 5000)
        QTest::qWait(20);
    QVERIFY2(gone.elapsed() <= 2 * kPeriod2Ms + 200, qPrintable(QString::number(gone.elapsed())));
    QVERIFY(m_sims[1]->state() == QProcess::NotRunning || m_sims[1]->waitForFinished(5000));
    QVERIFY(!m_sub.waitFor("plant/press2/$state", 10000, from, "offline").isNull());
    const QJsonObject speed = QJsonDocument::fromJson(m_sub.waitFor("plant/press2/speed", 5000, from, "bad")).object();
    QCOMPARE(speed.value(QLatin1String("value")).toInt(), 4660);   // the last value, kept
    QCOMPARE(speed.value(QLatin1String("code")).toInt(), 8);
    int status = -1;
    run(m_veskor, {QStringLiteral("--connect"), m_sim[0], QStringLiteral("write"), QStringLiteral("ID4x70"),
                   QStringLiteral("int32"), QStringLiteral("4242")}, &status);
    QCOMPARE(status, 0);
    QVERIFY(!m_sub.waitFor("plant/press1/counter", 2000, from, "\"value\":4242").isNull());
    QVERIFY(m_sub.waitFor("plant/press1/$state", 0, from, "offline").isNull());   // never offline
}

void tst_Gateway::lostTagsOnMetrics_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(sizeof kTags / sizeof kTags[0]); ++i)
        QTest::newRow(kTags[i].name) << i;
}

// Once press2 is offline, each of its tags has no value sample, quality 0
// (bad) and a last good read from before its simulator went; press1's same
// tag stays good with a last good read of now.
void tst_Gateway::lostTagsOnMetrics()
{
    QFETCH(int, row);
    const TagRow &r = kTags[row];
    const QByteArray text = metrics();
    QVERIFY(!text.contains(series("veskor_tag_value", "press2", r)));
    QVERIFY(text.contains(series("veskor_tag_quality", "press2", r) + "} 0\n"));
    QVERIFY(text.contains(series("veskor_tag_quality", "press1", r) + "} 2\n"));
    const auto lastGood = [&](const char *controller) {
        const QByteArray lead = series("veskor_tag_last_good_timestamp_seconds", controller, r) + "} ";
        const int at = text.indexOf(lead);
        return at < 0 ? -1.0 : text.mid(at + lead.size(), text.indexOf('\n', at) - at - lead.size()).toDouble() * 1000;
    };
    const double lost = lastGood("press2"), live = lastGood("press1");
    QVERIFY2(lost <= m_killedAtMs && lost > m_killedAtMs - 2 * kPeriod2Ms - 100, qPrintable(QString::number(lost, 'f')));
    QVERIFY2(live > QDateTime::currentMSecsSinceEpoch() - 1000, qPrintable(QString::number(live, 'f')));
}

// SIGTERM: every $state says offline, exit 0 within 1 s.
void tst_Gateway::cleanStop()
{
    const int from = m_sub.size();
    QElapsedTimer t;
    t.start();
    m_gateway->terminate();
    QVERIFY(m_gateway->waitForFinished(3000));
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(m_gateway->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_gateway->exitCode(), 0);
    for (const char *c : {"plant/press1/$state", "plant/press1t/$state"})
        QVERIFY2(!m_sub.waitFor(c, 2000, from, "offline").isNull(), c);
}

void tst_Gateway::retainedAfterStop_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("controller");
    QTest::addColumn<QString>("quality");
    for (int i = 0; i < int(sizeof kTags / sizeof kTags[0]); ++i)
        for (const char *c : {"press1", "press1t", "press2"})
            QTest::newRow(qPrintable(QStringLiteral("%1/%2").arg(QLatin1String(c), QLatin1String(kTags[i].name))))
                << i << c << (qstrcmp(c, "press2") == 0 ? "bad" : "stale");
}

// What the broker keeps after a clean stop: every tag's last value, none of
// them good (stale if it was good, bad if it was), within their expiry.
void tst_Gateway::retainedAfterStop()
{
    QFETCH(int, row);
    QFETCH(QString, controller);
    QFETCH(QString, quality);
    const TagRow &r = kTags[row];
    Subscriber retained;
    const QString topic = QStringLiteral("plant/%1/%2").arg(controller, QLatin1String(r.name));
    retained.start(mqttAuth("viewer") << QStringLiteral("-t") << topic << QStringLiteral("-v") << QStringLiteral("-C")
                                      << QStringLiteral("1") << QStringLiteral("-W") << QStringLiteral("5"));
    const QJsonObject o = QJsonDocument::fromJson(retained.waitFor(topic.toUtf8(), 5000)).object();
    QCOMPARE(o.value(QLatin1String("quality")).toString(), quality);
    QVERIFY(!o.value(QLatin1String("value")).isNull());
    QVERIFY(!o.value(QLatin1String("ts")).isNull());
}

// A throwaway CA (ca.crt) and the broker's certificate for 127.0.0.1 it
// signs, a second CA (other.crt) that signed nothing, and a broker that takes
// TLS only, with that certificate, on a free port.
void tst_Gateway::startTlsBroker(const QString &openssl)
{
    const auto makeCert = [&](const QString &name, const QStringList &extra) {
        int status = -1;
        QByteArray err;
        run(openssl, QStringList{"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                 "-days", "2", "-keyout", m_dir.filePath(name + ".key"), "-out", m_dir.filePath(name + ".crt")}
                         + extra, &status, &err);
        QVERIFY2(status == 0, err.constData());
        for (const QString &f : {m_dir.filePath(name + ".key"), m_dir.filePath(name + ".crt")})
            QFile::setPermissions(f, QFile::permissions(f) | QFileDevice::ReadOther);   // the broker may not run as root
    };
    makeCert(QStringLiteral("ca"), {"-subj", "/CN=veskor test CA"});
    makeCert(QStringLiteral("other"), {"-subj", "/CN=veskor other CA"});
    for (const char *ca : {"ca", "other"})
        makeCert(QLatin1String(ca) + QStringLiteral("-server"),
                 {"-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-CA",
                  m_dir.filePath(QLatin1String(ca) + ".crt"), "-CAkey", m_dir.filePath(QLatin1String(ca) + ".key")});
    m_tlsPort = freeTcpPort();
    serveCertificate(QStringLiteral("ca-server"));
}

// (Re)starts the TLS broker with the named server certificate.
void tst_Gateway::serveCertificate(const QString &name)
{
    if (m_tlsBroker) {
        m_tlsBroker->terminate();
        m_tlsBroker->waitForFinished(3000);
    }
    QFile conf(m_dir.filePath(QStringLiteral("tls.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n"
                              "cafile %2\ncertfile %3\nkeyfile %4\n")
                   .arg(m_tlsPort).arg(m_dir.filePath("ca.crt"), m_dir.filePath(name + ".crt"), m_dir.filePath(name + ".key"))
                   .toUtf8());
    conf.close();
    startBroker(true);
}

void tst_Gateway::tls_data()
{
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<bool>("renewed");   // the broker comes back once with a certificate of another CA
    QTest::newRow("the broker's CA") << "ca.crt" << true << false;
    QTest::newRow("another CA") << "other.crt" << false << false;
    QTest::newRow("certificate renewed after a failed handshake") << "ca.crt" << true << true;
}

// A gateway given the CA that signed the broker's certificate publishes over
// TLS; given another CA it does not connect and says why.
void tst_Gateway::tls()
{
    QFETCH(QString, caFile);
    QFETCH(bool, connects);
    QFETCH(bool, renewed);
    const QString openssl = findTool("openssl");
    if (openssl.isEmpty())
        QSKIP("openssl is not installed (Debian: openssl): no certificates to test TLS with");
    if (!m_tlsBroker)
        startTlsBroker(openssl);
    QVERIFY(m_tlsBroker && m_tlsBroker->state() == QProcess::Running);
    const QString name = renewed ? QStringLiteral("renewed") : connects ? QStringLiteral("good") : QStringLiteral("bad");

    QFile f(m_dir.filePath(QStringLiteral("tls.json")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral(R"({"mqtt": {"host": "127.0.0.1", "port": %1, "prefix": "tls", "ca_file": "%2"}, "metrics": false,
        "controllers": [{"name": "%3", "connect": "%4", "tags": [{"name": "speed", "tag": "ID4x0", "type": "int16"}]}]})")
                .arg(m_tlsPort).arg(caFile, name, m_sim[0]).toUtf8());
    f.close();
    Subscriber sub;
    sub.start({"-h", "127.0.0.1", "-p", QString::number(m_tlsPort), "--cafile", m_dir.filePath("ca.crt"), "-t", "tls/#", "-v"});
    QProcess gateway;
    gateway.setProcessChannelMode(QProcess::MergedChannels);
    gateway.start(QStringLiteral(VESKOR_GATEWAY_EXE), {QStringLiteral("--config"), f.fileName()});
    QVERIFY(gateway.waitForStarted());
    QByteArray log;
    const auto awaitLog = [&](const QByteArray &text) {
        QElapsedTimer t;
        t.start();
        while (!log.contains(text) && t.elapsed() < 10000) {
            gateway.waitForReadyRead(100);
            log += gateway.readAll();
        }
        return log.contains(text);
    };
    // A failed handshake after a lost connection is no reason to give up:
    // once the broker shows a certificate the CA signed, the gateway is back.
    if (renewed) {
        QVERIFY(!sub.waitFor("tls/renewed/speed", 10000).isNull());
        serveCertificate(QStringLiteral("other-server"));
        QVERIFY2(awaitLog("certificate verify failed"), log.constData());
        serveCertificate(QStringLiteral("ca-server"));
        sub.stop();
        sub.start({"-h", "127.0.0.1", "-p", QString::number(m_tlsPort), "--cafile", m_dir.filePath("ca.crt"), "-t", "tls/#", "-v"});
    }
    if (connects) {
        const QJsonObject o = QJsonDocument::fromJson(sub.waitFor(QStringLiteral("tls/%1/speed").arg(name).toUtf8(), 10000)).object();
        QCOMPARE(o.value(QLatin1String("value")), QJsonValue(4660));
    } else {
        QVERIFY2(awaitLog("certificate verify failed") && log.contains(": cannot connect: OpenSSL Error"),
                 log.constData());
        QVERIFY(sub.waitFor("tls/bad/speed", 1500).isNull() && sub.waitFor("tls/bad/$state", 0).isNull());
    }
    sub.stop();
    gateway.terminate();
    QVERIFY(gateway.waitForFinished(3000));
}

// Each fault on a line of its own, exit 2, and nothing started: the
// metrics port stays free.
void tst_Gateway::badConfiguration()
{
    const QString path = m_dir.filePath(QStringLiteral("bad.json"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral(R"({"mqtt": {"host": "127.0.0.1", "port": %1, "prefix": "bad"}, "metrics": "127.0.0.1:%2",
        "controllers": [{"name": "a", "connect": "127.0.0.1:50200", "tags": [{"name": "x", "tag": "ID4x0", "type": "int16"},
        {"name": "y", "tag": "ID4x2", "type": "int61"}]}, {"name": "b", "connect": "nowhere", "tags": [
        {"name": "z", "tag": "IDx0", "type": "int16"}]}]})").arg(m_brokerPort).arg(m_metricsPort).toUtf8());
    f.close();
    int status = -1;
    QByteArray err;
    run(QStringLiteral(VESKOR_GATEWAY_EXE), {QStringLiteral("--config"), path}, &status, &err, 5000);
    QCOMPARE(status, 2);
    const QList<QByteArray> lines = err.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    const QByteArray file = path.toUtf8();
    QCOMPARE(lines.at(0), file + ": controllers[0].tags[1]: unknown type \"int61\"");
    QCOMPARE(lines.at(1), file + ": controllers[1].connect: \"nowhere\": expected \"HOST:PORT\"");
    QCOMPARE(lines.at(2), file + ": controllers[1].tags[0]: tag \"IDx0\" is no area name ID1x..ID23x followed by an address");
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, m_metricsPort));
}

QTEST_GUILESS_MAIN(tst_Gateway)
#include "tst_gateway.moc"
