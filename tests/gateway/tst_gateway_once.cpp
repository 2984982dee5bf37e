// veskor-gateway --once against two simulators: every tag read once and
// printed (a table, or JSON), no broker needed; the status says whether
// every read was answered.
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

struct TagRow {
    const char *name, *tag, *type;
    int count;
    const char *seedHex;   // the simulator's bytes at the tag's address
    const char *json;      // the value as --once shows it
};

const TagRow kTags[] = {
    {"speed", "ID4x0", "int16", 1, "3412", "4660"},
    {"negative", "ID4x2", "int16", 1, "feff", "-2"},
    {"triple", "ID4x4", "uint16", 3, "010002000300", "[1,2,3]"},
    {"setpoint", "ID4x12", "float", 1, "0000c841", "25"},
    {"big", "ID4x20", "uint64", 1, "ffffffffffffffff", "\"18446744073709551615\""},
    {"flag", "ID1x40", "bool", 1, "01", "true"},
    {"label", "ID2x50", "string", 8, "0568656c6c6f", "\"hello\""},
    {"word", "ID3x60", "uint32", 1, "78563412", "305419896"},
};

// What --once said of one tag: its value as JSON text, or "(code meaning)".
using Said = QHash<QString, QString>;   // "controller/name" -> value

Said fromTable(const QByteArray &out)
{
    Said said;
    const QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (int i = 1; i < lines.size(); ++i) {   // the first is the heading
        const QStringList cells = lines.at(i).split(QRegularExpression(QStringLiteral(" {2,}")));
        if (cells.size() == 5)
            said.insert(cells.at(0) + QLatin1Char('/') + cells.at(1), cells.at(4));
    }
    return said;
}

Said fromJson(const QByteArray &out)
{
    Said said;
    for (const QJsonValue &v : QJsonDocument::fromJson(out).array()) {
        const QJsonObject o = v.toObject();
        const QString key = o.value("controller").toString() + QLatin1Char('/') + o.value("name").toString();
        if (o.value("code").toInt(-1) != 0) {
            said.insert(key, QStringLiteral("(%1 %2)").arg(o.value("code").toInt()).arg(o.value("error").toString()));
            continue;
        }
        if (!o.value("time").toString().contains(QLatin1Char('T')))
            continue;   // a value without its time counts as not shown
        const QByteArray one = QJsonDocument(QJsonArray{o.value("value")}).toJson(QJsonDocument::Compact);
        said.insert(key, QString::fromUtf8(one.mid(1, one.size() - 2)));
    }
    return said;
}

} // namespace

class tst_GatewayOnce : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void once_data();
    void once();

private:
    QString m_sim[2];
    QProcess m_sims[2];
    QString m_closed;   // a UDP port of 127.0.0.1 nobody listens on
    QTemporaryDir m_dir;
};

void tst_GatewayOnce::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QStringList args{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")};
    for (const TagRow &r : kTags) {
        const QString tag = QLatin1String(r.tag);
        args << QStringLiteral("--set") << QStringLiteral("%1x:%2:%3").arg(tag.section(QLatin1Char('x'), 0, 0),
                                                                         tag.section(QLatin1Char('x'), 1), QLatin1String(r.seedHex));
    }
    for (int i = 0; i < 2; ++i) {
        m_sims[i].start(QStringLiteral(VESKOR_SIM_EXE), args);
        QVERIFY2(m_sims[i].waitForReadyRead(5000), "the simulator did not start");
        m_sim[i] = QRegularExpression(QStringLiteral("listening on (\\S+)"))
                       .match(QString::fromUtf8(m_sims[i].readAllStandardOutput())).captured(1);
        QVERIFY(!m_sim[i].isEmpty());
    }
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    m_closed = QStringLiteral("127.0.0.1:%1").arg(probe.localPort());
}

void tst_GatewayOnce::cleanupTestCase()
{
    for (QProcess &p : m_sims) {
        p.kill();
        p.waitForFinished(2000);
    }
}

void tst_GatewayOnce::once_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("secondSilent");   // the second controller's port has nobody
    QTest::addColumn<int>("status");
    QTest::newRow("table") << false << false << 0;
    QTest::newRow("json") << true << false << 0;
    QTest::newRow("table, one controller silent") << false << true << 1;
    QTest::newRow("json, one controller silent") << true << true << 1;
}

void tst_GatewayOnce::once()
{
    QFETCH(bool, json);
    QFETCH(bool, secondSilent);
    QFETCH(int, status);

    QJsonArray tags;
    for (const TagRow &r : kTags)
        tags.append(QJsonObject{{"name", r.name}, {"tag", r.tag}, {"type", r.type}, {"count", r.count}});
    const QJsonArray controllers{
        QJsonObject{{"name", "press1"}, {"connect", m_sim[0]}, {"tags", tags}},
        QJsonObject{{"name", "press2"}, {"connect", secondSilent ? m_closed : m_sim[1]}, {"group", false}, {"tags", tags}}};
    // The broker named is nowhere: --once never talks to it.
    const QJsonObject config{{"mqtt", QJsonObject{{"host", "127.0.0.1"}, {"port", 1}}}, {"controllers", controllers}};
    const QString path = m_dir.filePath(QStringLiteral("gw.json"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QJsonDocument(config).toJson());
    f.close();

    QProcess p;
    p.start(QStringLiteral(VESKOR_GATEWAY_EXE), QStringList{"--config", path, "--once"} + (json ? QStringList{"--json"} : QStringList()));
    QVERIFY(p.waitForFinished(15000));
    const QByteArray out = p.readAllStandardOutput();
    QCOMPARE(p.exitCode(), status);

    const Said said = json ? fromJson(out) : fromTable(out);
    QCOMPARE(said.size(), 2 * int(std::size(kTags)));
    for (const TagRow &r : kTags) {
        QCOMPARE(said.value(QStringLiteral("press1/") + r.name), QString::fromLatin1(r.json));
        QCOMPARE(said.value(QStringLiteral("press2/") + r.name),
                 secondSilent ? QStringLiteral("(8 no answer)") : QString::fromLatin1(r.json));
    }
}

QTEST_GUILESS_MAIN(tst_GatewayOnce)
#include "tst_gateway_once.moc"
