// Which retained topics a clean removes, and when the broker's retained
// messages count as all handed over: the rules alone, no broker.
#include <QtTest>

#include "RetainedClean.h"

using namespace veskorgw;

class tst_RetainedClean : public QObject
{
    Q_OBJECT

private slots:
    void leftOverTopics_data();
    void leftOverTopics();
    void collectionEnds_data();
    void collectionEnds();
};

// press1 with speed and the writable word, under the prefix "site/plant".
static GatewayConfig plant()
{
    GatewayConfig c;
    c.mqtt.prefix = QStringLiteral("site/plant");
    ControllerConfig press1;
    press1.name = QStringLiteral("press1");
    TagConfig speed, word;
    speed.name = QStringLiteral("speed");
    word.name = QStringLiteral("word");
    word.writable = true;
    press1.tags = {speed, word};
    c.controllers = {press1};
    return c;
}

void tst_RetainedClean::leftOverTopics_data()
{
    QTest::addColumn<QByteArray>("topic");
    QTest::addColumn<bool>("removed");
    QTest::newRow("a tag's value") << QByteArray("site/plant/press1/speed") << false;
    QTest::newRow("a configured controller's $state") << QByteArray("site/plant/press1/$state") << false;
    QTest::newRow("a writable tag's set") << QByteArray("site/plant/press1/word/set") << false;
    QTest::newRow("a writable tag's set result") << QByteArray("site/plant/press1/word/set/result") << false;
    QTest::newRow("a tag no longer configured") << QByteArray("site/plant/press1/old") << true;
    QTest::newRow("the set of a tag not writable") << QByteArray("site/plant/press1/speed/set") << true;
    QTest::newRow("a controller no longer configured") << QByteArray("site/plant/press9/$state") << true;
    QTest::newRow("a level below a value") << QByteArray("site/plant/press1/speed/x") << true;
    QTest::newRow("the prefix itself") << QByteArray("site/plant") << false;
    QTest::newRow("the prefix and a slash") << QByteArray("site/plant/") << false;
    QTest::newRow("a prefix that only begins the same") << QByteArray("site/plantx/press1/old") << false;
    QTest::newRow("a level above the prefix") << QByteArray("site/press1/old") << false;
    QTest::newRow("another prefix") << QByteArray("veskor/press1/speed") << false;
    QTest::newRow("$SYS") << QByteArray("$SYS/broker/uptime") << false;
}

void tst_RetainedClean::leftOverTopics()
{
    QFETCH(QByteArray, topic);
    QFETCH(bool, removed);
    const GatewayConfig c = plant();
    QCOMPARE(leftOver(topic, c.mqtt.prefix.toUtf8(), namedTopics(c)), removed);
}

void tst_RetainedClean::collectionEnds_data()
{
    QTest::addColumn<qint64>("subscribedAt");
    QTest::addColumn<qint64>("lastAt");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<bool>("done");
    QTest::newRow("before the SUBACK") << qint64(-1) << qint64(-1) << qint64(100000) << false;
    QTest::newRow("none retained, quiet not over") << qint64(1000) << qint64(-1) << qint64(1499) << false;
    QTest::newRow("none retained, quiet over") << qint64(1000) << qint64(-1) << qint64(1500) << true;
    QTest::newRow("one lately") << qint64(1000) << qint64(1400) << qint64(1800) << false;
    QTest::newRow("quiet after the last") << qint64(1000) << qint64(1400) << qint64(1900) << true;
    QTest::newRow("still coming at the bound") << qint64(1000) << qint64(5990) << qint64(6000) << true;
    QTest::newRow("still coming before the bound") << qint64(1000) << qint64(5890) << qint64(5990) << false;
}

void tst_RetainedClean::collectionEnds()
{
    QFETCH(qint64, subscribedAt);
    QFETCH(qint64, lastAt);
    QFETCH(qint64, now);
    QFETCH(bool, done);
    RetainedCollection c;
    c.subscribedAtMs = subscribedAt;
    c.lastAtMs = lastAt;
    QCOMPARE(c.done(now), done);
}

QTEST_GUILESS_MAIN(tst_RetainedClean)
#include "tst_retainedclean.moc"
