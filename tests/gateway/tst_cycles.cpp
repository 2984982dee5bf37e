// The cycle's and the write path's pure rules: which set of a tag is
// written and when (the latest wins), when a cycle overran and when the
// next one starts, and which response topics a set may name.
#include "CycleClock.h"
#include "LatestSet.h"
#include "SetLimits.h"

#include <QtTest>

using namespace veskorgw;
using namespace std::chrono;

class tst_Cycles : public QObject
{
    Q_OBJECT

private slots:
    void latestSet_data();
    void latestSet();
    void cycleEnd_data();
    void cycleEnd();
    void responseTopic_data();
    void responseTopic();
};

// Steps on one tag with a 200 ms write interval: "s@T" a set at T ms (its
// expected take: w now, h held, x held superseding the one before), "e" the
// pending write ended, "d@T" the tags due at T (expected: 1 if the tag is).
void tst_Cycles::latestSet_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("takes");      // one letter per s and d step
    QTest::addColumn<qint64>("nextDue");     // nextDueMs() at the end
    QTest::newRow("first set written") << QStringList{"s@0"} << "w" << qint64(-1);
    QTest::newRow("second inside the interval held") << QStringList{"s@0", "e", "s@100"} << "wh" << qint64(200);
    QTest::newRow("third supersedes the second") << QStringList{"s@0", "e", "s@100", "s@150"} << "whx" << qint64(200);
    QTest::newRow("held one due at the interval's end") << QStringList{"s@0", "e", "s@100", "d@199", "d@200"}
                                                        << "wh01" << qint64(-1);
    QTest::newRow("held while pending, past the interval") << QStringList{"s@0", "s@500", "d@600"} << "wh0" << qint64(-1);
    QTest::newRow("pending write ends: held one due") << QStringList{"s@0", "s@500", "e", "d@600"} << "wh1" << qint64(-1);
    QTest::newRow("interval counts from the released write") << QStringList{"s@0", "e", "s@50", "d@200", "e", "s@300"}
                                                             << "wh1h" << qint64(400);
    QTest::newRow("after the interval, written at once") << QStringList{"s@0", "e", "s@200"} << "ww" << qint64(-1);
    QTest::newRow("a newer set never jumps a held one") << QStringList{"s@0", "e", "s@100", "s@900"} << "whx"
                                                        << qint64(200);
}

void tst_Cycles::latestSet()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, takes);
    QFETCH(qint64, nextDue);
    LatestSet rule(2, 200);
    QString got;
    for (const QString &step : steps) {
        const qint64 at = step.section(QLatin1Char('@'), 1).toLongLong();
        if (step.startsWith(QLatin1Char('s'))) {
            const LatestSet::Take t = rule.offer(1, at);
            got += t == LatestSet::Take::WriteNow ? QLatin1Char('w') : t == LatestSet::Take::Held ? QLatin1Char('h') : QLatin1Char('x');
        } else if (step == QLatin1String("e")) {
            rule.written(1);
        } else {
            const QVector<int> due = rule.due(at);
            got += QString::number(due.size());
            if (!due.isEmpty())
                QCOMPARE(due, QVector<int>{1});
        }
    }
    QCOMPARE(got, takes);
    QCOMPARE(rule.nextDueMs(), nextDue);
    // The other tag is never touched.
    QVERIFY(!rule.pending(0) && !rule.held(0));
}

void tst_Cycles::cycleEnd_data()
{
    QTest::addColumn<int>("beganMs");     // after the planned start
    QTest::addColumn<int>("workMs");
    QTest::addColumn<bool>("overrun");
    QTest::addColumn<int>("nextMs");      // the next planned start, after this one's
    QTest::addColumn<int>("skipped");
    // Period 200 ms.
    QTest::newRow("on time, quick") << 0 << 5 << false << 200 << 0;
    QTest::newRow("woke late, quick: no overrun") << 150 << 10 << false << 200 << 0;
    QTest::newRow("woke late past the next start: skipped, no overrun") << 195 << 10 << false << 400 << 1;
    QTest::newRow("work exactly its period") << 0 << 200 << false << 400 << 1;
    QTest::newRow("work past its period") << 0 << 201 << true << 400 << 1;
    QTest::newRow("one 2 s wait") << 0 << 2003 << true << 2200 << 10;
    QTest::newRow("five 2 s waits") << 0 << 10010 << true << 10200 << 50;
    QTest::newRow("late and long") << 300 << 250 << true << 600 << 2;
}

void tst_Cycles::cycleEnd()
{
    QFETCH(int, beganMs);
    QFETCH(int, workMs);
    QFETCH(bool, overrun);
    QFETCH(int, nextMs);
    QFETCH(int, skipped);
    const steady_clock::time_point planned = steady_clock::now();
    const steady_clock::time_point began = planned + milliseconds(beganMs);
    const CycleEnd e = endOfCycle(planned, began, began + milliseconds(workMs), milliseconds(200));
    QCOMPARE(e.overrun, overrun);
    QCOMPARE(duration_cast<milliseconds>(e.work).count(), qint64(workMs));
    QCOMPARE(duration_cast<milliseconds>(e.lateness).count(), qint64(beganMs));
    QCOMPARE(duration_cast<milliseconds>(e.next - planned).count(), qint64(nextMs));
    QCOMPARE(e.skipped, qint64(skipped));
    QVERIFY(e.next > began + milliseconds(workMs));   // never a start in the past
}

void tst_Cycles::responseTopic_data()
{
    QTest::addColumn<QByteArray>("topic");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("client's own") << QByteArray("replies/op1") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("under the gateway's prefix") << QByteArray("plant/press1/setpoint/set") << false;
    QTest::newRow("the prefix itself") << QByteArray("plant") << false;
    QTest::newRow("prefix as part of a word") << QByteArray("plantfloor/replies") << true;
    QTest::newRow("$ topic") << QByteArray("$SYS/x") << false;
    QTest::newRow("wildcard +") << QByteArray("replies/+") << false;
    QTest::newRow("wildcard #") << QByteArray("replies/#") << false;
    QTest::newRow("NUL") << QByteArray("rep\0lies", 8) << false;
    QTest::newRow("not UTF-8") << QByteArray("replies/\xff") << false;
    QTest::newRow("longest") << QByteArray(kMaxResponseTopicBytes, 'r') << true;
    QTest::newRow("too long") << QByteArray(kMaxResponseTopicBytes + 1, 'r') << false;
}

void tst_Cycles::responseTopic()
{
    QFETCH(QByteArray, topic);
    QFETCH(bool, allowed);
    QCOMPARE(responseTopicAllowed(topic, "plant/"), allowed);
}

QTEST_GUILESS_MAIN(tst_Cycles)
#include "tst_cycles.moc"
