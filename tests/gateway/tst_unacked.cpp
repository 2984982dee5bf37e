// UnackedCount: the gateway's count of QoS 1 and 2 messages the broker has
// not acknowledged, which holds values back above max_unacked; UnsentCount:
// the QoS 0 messages the library has not written yet, held the same way.
#include "Unacked.h"

#include <QtTest>

using veskorgw::UnackedCount;
using veskorgw::UnsentCount;

class tst_Unacked : public QObject
{
    Q_OBJECT

private slots:
    void holdsAtTheLimitAndResumesAtHalf();
    void acknowledgementBeforeRecord();
    void completionsOfUnrecordedIdsDoNotCount();
    void unsentQos0_data();
    void unsentQos0();
};

// Values go out below the limit; at it they are held until half the
// messages are acknowledged, and the resume is told once.
void tst_Unacked::holdsAtTheLimitAndResumesAtHalf()
{
    UnackedCount c(4);
    for (int mid = 1; mid <= 4; ++mid) {
        QVERIFY(c.admit());
        c.sent(mid);
    }
    QCOMPARE(c.count(), 4);
    QVERIFY(!c.admit());
    QVERIFY(c.held());
    QVERIFY(!c.completed(1));   // 3 left: still above half
    QVERIFY(!c.admit());
    QVERIFY(c.completed(2));    // 2 left: half, the held values go out again
    QVERIFY(!c.held());
    QVERIFY(!c.completed(3));   // told once only
    QVERIFY(c.admit());
    QCOMPARE(c.count(), 1);
}

// The library may report an acknowledgement before the publishing thread
// records the id: the two cancel out.
void tst_Unacked::acknowledgementBeforeRecord()
{
    UnackedCount c(10);
    QVERIFY(!c.completed(7));
    c.sent(7);
    QCOMPARE(c.count(), 0);
    c.sent(8);
    QCOMPARE(c.count(), 1);
}

// QoS 0 messages complete without ever being recorded: they neither count
// nor cancel a later message (ids only come back after 65535 others).
void tst_Unacked::completionsOfUnrecordedIdsDoNotCount()
{
    UnackedCount c(10);
    for (int mid = 1; mid <= 1000; ++mid)
        QVERIFY(!c.completed(mid));
    QCOMPARE(c.count(), 0);
    c.sent(1);   // an id completed long ago, now reused
    QCOMPARE(c.count(), 1);
    QVERIFY(c.admit());
}

// Steps on an UnsentCount of limit 4: "s<mid>" published (QoS 0), "w<mid>"
// the library reports mid written or acknowledged, "r" a new connection.
// After the steps: whether a value is admitted, the count, and what the last
// report was taken for (0 not QoS 0, 1 written, 2 caught up).
void tst_Unacked::unsentQos0_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("admitted");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("lastReport");
    QTest::newRow("below the limit") << QStringList{"s1", "s2", "w1"} << true << 1 << 1;
    QTest::newRow("at the limit") << QStringList{"s1", "s2", "s3", "s4"} << false << 4 << -1;
    QTest::newRow("held until half") << QStringList{"s1", "s2", "s3", "s4", "a", "w1"} << false << 3 << 1;
    QTest::newRow("caught up at half, once") << QStringList{"s1", "s2", "s3", "s4", "a", "w1", "w2"} << true << 2 << 2;
    QTest::newRow("after the catch-up") << QStringList{"s1", "s2", "s3", "s4", "a", "w1", "w2", "w3"} << true << 1 << 1;
    QTest::newRow("a QoS 1 acknowledgement") << QStringList{"s1", "s2", "w9"} << true << 2 << 0;
    QTest::newRow("written out of order is not ours") << QStringList{"s1", "s2", "w2"} << true << 2 << 0;
    QTest::newRow("a new connection") << QStringList{"s1", "s2", "s3", "s4", "a", "r"} << true << 0 << -1;
    QTest::newRow("old ids after a new connection") << QStringList{"s1", "s2", "r", "s5", "w1"} << true << 1 << 0;
}

void tst_Unacked::unsentQos0()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, admitted);
    QFETCH(int, count);
    QFETCH(int, lastReport);
    UnsentCount c(4);
    int last = -1;
    for (const QString &step : steps) {
        const int mid = step.mid(1).toInt();
        if (step.startsWith('s')) {
            const auto publishing = c.publishing();
            c.sent(mid, publishing);
        } else if (step.startsWith('w')) {
            last = int(c.completed(mid));
        } else if (step == QLatin1String("r")) {
            c.reset();
        } else {
            c.admit();
        }
    }
    QCOMPARE(c.admit(), admitted);
    QCOMPARE(c.count(), count);
    QCOMPARE(last, lastReport);
}

QTEST_GUILESS_MAIN(tst_Unacked)
#include "tst_unacked.moc"
