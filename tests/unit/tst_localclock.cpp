// Local-time stamps from the per-second clock against Qt's own, across the
// instants where a zone's offset changes.
#include <QtTest>

#include <cstdlib>
#include <ctime>

#include "LocalClock.h"

using veskor::LocalClock;

namespace {

void setZone(const QByteArray &zone)
{
    if (zone.isEmpty())
        qunsetenv("TZ");
    else
        qputenv("TZ", zone);
    tzset();
}

QString fields(const QDateTime &t)
{
    return QStringLiteral("%1 timeSpec %2 offset %3 dst %4 ms %5")
        .arg(t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz t")))
        .arg(int(t.timeSpec()))
        .arg(t.offsetFromUtc())
        .arg(t.isDaylightTime())
        .arg(t.toMSecsSinceEpoch());
}

} // namespace

class TestLocalClock : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setZone(QByteArray()); }
    void offsetChanges_data();
    void offsetChanges();
    void nowIsQtsNow();
};

void TestLocalClock::offsetChanges_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QDateTime>("change");

    QTest::newRow("Europe/Berlin, summer time begins")
        << QByteArray("Europe/Berlin") << QDateTime(QDate(2026, 3, 29), QTime(1, 0), Qt::UTC);
    QTest::newRow("Europe/Berlin, summer time ends")
        << QByteArray("Europe/Berlin") << QDateTime(QDate(2026, 10, 25), QTime(1, 0), Qt::UTC);
    // An offset of -0:44:30 ended at 00:44:30 UTC: a change inside a minute.
    QTest::newRow("Africa/Monrovia, 1972")
        << QByteArray("Africa/Monrovia") << QDateTime(QDate(1972, 1, 7), QTime(0, 44, 30), Qt::UTC);
}

void TestLocalClock::offsetChanges()
{
    QFETCH(QByteArray, zone);
    QFETCH(QDateTime, change);
    if (!QFile::exists(QStringLiteral("/usr/share/zoneinfo/") + QString::fromLatin1(zone)))
        QSKIP("tzdata is not installed");
    setZone(zone);

    LocalClock clock;
    if (sizeof(void *) == 8)
        QVERIFY(clock.isFast());   // the cheap path is the one under test
    const qint64 at = change.toMSecsSinceEpoch();
    // Qt's stamps on either side of the change differ in offset.
    QVERIFY(QDateTime::fromMSecsSinceEpoch(at - 1, Qt::LocalTime).offsetFromUtc()
            != QDateTime::fromMSecsSinceEpoch(at, Qt::LocalTime).offsetFromUtc());
    // A faked clock: every millisecond of 3 s around the change, in order,
    // then the same instants again in a scattered order.
    for (int pass = 0; pass < 2; ++pass) {
        for (qint64 i = 0; i <= 3000; ++i) {
            const qint64 ms = at - 1500 + (pass == 0 ? i : (i * 1237) % 3001);
            const QDateTime want = QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
            const QDateTime got = clock.at(ms);
            if (got != want || fields(got) != fields(want))
                QFAIL(qPrintable(QStringLiteral("at %1: %2, Qt says %3").arg(ms).arg(fields(got), fields(want))));
        }
    }
}

void TestLocalClock::nowIsQtsNow()
{
    // What the clock stands in for: currentDateTime() is Qt's local time of
    // the current instant, so both ways agree but for the time between calls.
    LocalClock clock;
    const QDateTime before = QDateTime::currentDateTime();
    const QDateTime got = clock.now();
    const QDateTime after = QDateTime::currentDateTime();
    QVERIFY(before <= got && got <= after);
    QCOMPARE(got.timeSpec(), before.timeSpec());
    QCOMPARE(fields(clock.at(before.toMSecsSinceEpoch())), fields(before));
}

QTEST_GUILESS_MAIN(TestLocalClock)
#include "tst_localclock.moc"
