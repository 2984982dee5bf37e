// What a reload does with each controller: the running configuration beside
// the new one, both parsed from text as the gateway reads its file; and
// when a worker or an MQTT network thread counts as stuck.
#include "ConfigDiff.h"
#include "Health.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace veskorgw;

namespace {

QJsonObject controller(const QString &name, int port, const QJsonArray &tags, int periodMs = 100)
{
    return QJsonObject{{"name", name}, {"connect", QStringLiteral("127.0.0.1:%1").arg(port)},
                       {"period_ms", periodMs}, {"tags", tags}};
}

const QJsonArray kTags{QJsonObject{{"name", "speed"}, {"tag", "ID4x0"}, {"type", "int16"}},
                       QJsonObject{{"name", "flag"}, {"tag", "ID1x4"}, {"type", "bool"}}};

// Three controllers a, b, c on MQTT port 1883 with metrics on 9463.
QJsonObject base()
{
    return QJsonObject{{"mqtt", QJsonObject{{"host", "127.0.0.1"}, {"port", 1883}}},
                       {"metrics", "127.0.0.1:9463"},
                       {"controllers", QJsonArray{controller("a", 50200, kTags), controller("b", 50201, kTags),
                                                  controller("c", 50202, kTags)}}};
}

GatewayConfig parsed(const QByteArray &text)
{
    GatewayConfig c;
    QStringList faults;
    if (!parseConfig(QStringLiteral("gateway.json"), text, &c, &faults))
        qWarning("%s", qPrintable(faults.join(QLatin1Char('\n'))));
    return c;
}

} // namespace

class tst_ConfigDiff : public QObject
{
    Q_OBJECT

private slots:
    void diff_data();
    void diff();
    void stuck_data();
    void stuck();
};

void tst_ConfigDiff::diff_data()
{
    QTest::addColumn<QByteArray>("next");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("changedNames");   // of the new file
    QTest::addColumn<int>("faults");

    const QJsonObject b = base();
    QJsonArray list = b.value("controllers").toArray();
    auto with = [&](const QJsonArray &controllers) {
        QJsonObject o = b;
        o.insert("controllers", controllers);
        return QJsonDocument(o).toJson();
    };
    QTest::newRow("same file") << QJsonDocument(b).toJson() << "3 unchanged, 0 added, 0 removed, 0 changed" << "" << 0;
    QTest::newRow("reformatted and reordered") << QJsonDocument(b).toJson(QJsonDocument::Compact).replace("\"controllers\"", " \"controllers\" ")
                                               << "3 unchanged, 0 added, 0 removed, 0 changed" << "" << 0;
    QJsonArray moved{list.at(2), list.at(0), list.at(1)};
    QTest::newRow("controllers in another order") << with(moved) << "3 unchanged, 0 added, 0 removed, 0 changed" << "" << 0;
    QJsonArray added = list;
    added.append(controller("d", 50203, kTags));
    QTest::newRow("one added") << with(added) << "3 unchanged, 1 added, 0 removed, 0 changed" << "" << 0;
    QJsonArray removed{list.at(0), list.at(2)};
    QTest::newRow("one removed") << with(removed) << "2 unchanged, 0 added, 1 removed, 0 changed" << "" << 0;
    QJsonArray moreTags = list;
    QJsonArray tags = kTags;
    tags.append(QJsonObject{{"name", "word"}, {"tag", "ID3x8"}, {"type", "uint32"}});
    moreTags[1] = controller("b", 50201, tags);
    QTest::newRow("a tag added") << with(moreTags) << "2 unchanged, 0 added, 0 removed, 1 changed" << "b" << 0;
    QJsonArray period = list;
    period[2] = controller("c", 50202, kTags, 250);
    QTest::newRow("a period changed") << with(period) << "2 unchanged, 0 added, 0 removed, 1 changed" << "c" << 0;
    QJsonArray renamed{list.at(0), list.at(1), controller("e", 50202, kTags)};
    QTest::newRow("renamed: removed and added") << with(renamed) << "2 unchanged, 1 added, 1 removed, 0 changed" << "" << 0;
    QJsonObject mqtt = b;
    mqtt.insert("mqtt", QJsonObject{{"host", "127.0.0.1"}, {"port", 1884}});
    QTest::newRow("mqtt changed: all restart") << QJsonDocument(mqtt).toJson()
                                               << "0 unchanged, 0 added, 0 removed, 3 changed" << "a,b,c" << 0;
    QJsonObject metrics = b;
    metrics.insert("metrics", "127.0.0.1:9464");
    QTest::newRow("metrics address refused") << QJsonDocument(metrics).toJson()
                                             << "3 unchanged, 0 added, 0 removed, 0 changed" << "" << 1;
    metrics.insert("metrics", false);
    QTest::newRow("metrics off refused") << QJsonDocument(metrics).toJson()
                                         << "3 unchanged, 0 added, 0 removed, 0 changed" << "" << 1;
}

void tst_ConfigDiff::diff()
{
    QFETCH(QByteArray, next);
    QFETCH(QString, summary);
    QFETCH(QString, changedNames);
    QFETCH(int, faults);
    const GatewayConfig running = parsed(QJsonDocument(base()).toJson());
    const GatewayConfig n = parsed(next);
    QCOMPARE(running.controllers.size(), 3);
    QVERIFY(!n.controllers.isEmpty());
    const ConfigDiff d = diffConfigs(running, n);
    QCOMPARE(diffSummary(d), summary);
    QStringList names;
    for (const auto &p : d.changed) {
        QCOMPARE(running.controllers.at(p.first).name, n.controllers.at(p.second).name);
        names << n.controllers.at(p.second).name;
    }
    QCOMPARE(names.join(QLatin1Char(',')), changedNames);
    for (const auto &p : d.unchanged)
        QVERIFY(sameController(running.controllers.at(p.first), n.controllers.at(p.second)));
    const QStringList lines = reloadFaults(running, n, d);
    QCOMPARE(lines.size(), faults);
    for (const QString &l : lines)
        QVERIFY2(l.contains(QLatin1String("restart")), qPrintable(l));
}

void tst_ConfigDiff::stuck_data()
{
    QTest::addColumn<qint64>("lastBeat");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<bool>("alive");
    // A 100 ms controller with the driver's 2 s answer wait: allowed
    // 2 * (100 + 2000) + 1000 = 5200 ms between beats.
    QTest::newRow("just beaten") << qint64(10000) << qint64(10000) << true;
    QTest::newRow("within a silent read") << qint64(10000) << qint64(12100) << true;
    QTest::newRow("at the allowance") << qint64(10000) << qint64(15200) << true;
    QTest::newRow("past it") << qint64(10000) << qint64(15201) << false;
    QTest::newRow("never beaten") << qint64(0) << qint64(10000) << false;
}

void tst_ConfigDiff::stuck()
{
    QFETCH(qint64, lastBeat);
    QFETCH(qint64, now);
    QFETCH(bool, alive);
    ControllerConfig c;
    c.periodMs = 100;
    const qint64 allowance = workerAllowanceMs(c, 2000);
    QCOMPARE(allowance, qint64(5200));
    const QString reason = stuckReason(QStringLiteral("a: worker"), lastBeat, now, allowance);
    QCOMPARE(reason.isEmpty(), alive);
    if (!alive)
        QVERIFY(reason.startsWith(QLatin1String("a: worker: ")));
}

QTEST_GUILESS_MAIN(tst_ConfigDiff)
#include "tst_configdiff.moc"
