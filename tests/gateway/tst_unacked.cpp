// UnackedCount: the gateway's count of QoS 1 and 2 messages the broker has
// not acknowledged, which holds values back above max_unacked.
#include "Unacked.h"

#include <QtTest>

using veskorgw::UnackedCount;

class tst_Unacked : public QObject
{
    Q_OBJECT

private slots:
    void holdsAtTheLimitAndResumesAtHalf();
    void acknowledgementBeforeRecord();
    void completionsOfUnrecordedIdsDoNotCount();
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

QTEST_GUILESS_MAIN(tst_Unacked)
#include "tst_unacked.moc"
