// The ring of the last N values that the matching code keeps its records in.
#include <QtTest>

#include <vector>

#include "Ring.h"

using namespace veskor;

namespace {

constexpr int kCapacity = 4;
using Ring4 = Ring<int, kCapacity>;

// 1, 2, ... count pushed into a fresh ring.
Ring4 pushed(int count)
{
    Ring4 ring;
    for (int v = 1; v <= count; ++v)
        ring.push(v);
    return ring;
}

std::vector<int> oldestFirst(const Ring4 &ring)
{
    std::vector<int> values;
    for (const int v : ring)
        values.push_back(v);
    return values;
}

std::vector<int> newestFirst(const Ring4 &ring)
{
    std::vector<int> values;
    for (int i = 0; i < ring.size(); ++i)
        values.push_back(ring.newest(i));
    return values;
}

QList<int> listOf(const std::vector<int> &values)
{
    return QList<int>(values.begin(), values.end());
}

} // namespace

class TestRing : public QObject
{
    Q_OBJECT

private slots:
    void heldInOrder_data();
    void heldInOrder();
    void clearEmpties_data();
    void clearEmpties();
    void changedInPlace();
};

void TestRing::heldInOrder_data()
{
    QTest::addColumn<int>("pushes");
    QTest::addColumn<QList<int>>("oldestFirst");
    QTest::addColumn<bool>("full");

    QTest::newRow("none") << 0 << QList<int>{} << false;
    QTest::newRow("one") << 1 << QList<int>{1} << false;
    QTest::newRow("fewer than N") << 3 << QList<int>{1, 2, 3} << false;
    QTest::newRow("exactly N") << 4 << QList<int>{1, 2, 3, 4} << true;
    QTest::newRow("one more than N: the oldest goes") << 5 << QList<int>{2, 3, 4, 5} << true;
    QTest::newRow("twice N") << 8 << QList<int>{5, 6, 7, 8} << true;
    QTest::newRow("past twice N") << 11 << QList<int>{8, 9, 10, 11} << true;
}

void TestRing::heldInOrder()
{
    QFETCH(int, pushes);
    QFETCH(QList<int>, oldestFirst);
    QFETCH(bool, full);

    const Ring4 ring = pushed(pushes);
    QCOMPARE(ring.size(), oldestFirst.size());
    QCOMPARE(ring.isFull(), full);
    QCOMPARE(listOf(::oldestFirst(ring)), oldestFirst);
    QList<int> reversed(oldestFirst.rbegin(), oldestFirst.rend());
    QCOMPARE(listOf(newestFirst(ring)), reversed);
    for (int i = 0; i < ring.size(); ++i)
        QCOMPARE(ring.at(i), oldestFirst.at(i));
    if (!oldestFirst.isEmpty()) {
        // The value the next push evicts, once full.
        QCOMPARE(ring.oldest(), oldestFirst.first());
        QCOMPARE(ring.newest(0), oldestFirst.last());
    }
}

void TestRing::clearEmpties_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::addColumn<QList<int>>("oldestFirst");

    QTest::newRow("empty, then fewer than N") << 0 << 2 << QList<int>{1, 2};
    QTest::newRow("fewer than N, then fewer") << 3 << 2 << QList<int>{1, 2};
    QTest::newRow("full, then nothing") << 6 << 0 << QList<int>{};
    QTest::newRow("full, then exactly N") << 6 << 4 << QList<int>{1, 2, 3, 4};
    QTest::newRow("full, then more than N") << 7 << 6 << QList<int>{3, 4, 5, 6};
}

void TestRing::clearEmpties()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(QList<int>, oldestFirst);

    Ring4 ring = pushed(before);
    ring.clear();
    QCOMPARE(ring.size(), 0);
    QVERIFY(!ring.isFull());
    for (int v = 1; v <= after; ++v)
        ring.push(v);
    QCOMPARE(listOf(::oldestFirst(ring)), oldestFirst);
}

void TestRing::changedInPlace()
{
    Ring4 ring = pushed(6);   // 3 4 5 6
    for (int &v : ring)
        v *= 10;
    ring.at(0) += 1;
    QCOMPARE(listOf(oldestFirst(ring)), (QList<int>{31, 40, 50, 60}));
    ring.push(7);             // evicts the changed oldest
    QCOMPARE(listOf(oldestFirst(ring)), (QList<int>{40, 50, 60, 7}));
}

QTEST_GUILESS_MAIN(TestRing)
#include "tst_ring.moc"
