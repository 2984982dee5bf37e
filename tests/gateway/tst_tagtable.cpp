// TagTable: a tag's quality, last good read and when it is due to go out,
// driven by a script of reads and publishes at given times.
#include "TagTable.h"

#include <QJsonArray>
#include <QtTest>

using veskorgw::Quality;
using veskorgw::TagRules;
using veskorgw::TagTable;

Q_DECLARE_METATYPE(veskorgw::Quality)

class tst_TagTable : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
};

namespace {

// Runs "op [arg] @ms; ..." on tag 0:
//   take V   a good read of the number V (bytes: V's text), read time ms
//   takes A  a good read of the text A
//   same V   a good read whose bytes are V's text: refreshed when they
//            are the present value's, taken otherwise
//   fail C   a failed read with result code C
//   pub      what is there now went out
//   owe      to go out again
void play(TagTable *table, const QString &script)
{
    for (const QString &step : script.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList parts = step.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QVERIFY2(parts.size() >= 2 && parts.last().startsWith(QLatin1Char('@')), qPrintable(step));
        const QString op = parts.first(), arg = parts.size() > 2 ? parts.at(1) : QString();
        const qint64 at = parts.last().mid(1).toLongLong();
        const QDateTime ts = QDateTime::fromMSecsSinceEpoch(1700000000000 + at, Qt::UTC);
        if (op == QLatin1String("take") || (op == QLatin1String("same") && !table->sameBytes(0, arg.toUtf8())))
            table->take(0, arg.toDouble(), {arg.toDouble()}, arg.toUtf8(), ts, at);
        else if (op == QLatin1String("same"))
            table->refresh(0, ts, at);
        else if (op == QLatin1String("takes"))
            table->take(0, arg, {}, arg.toUtf8(), ts, at);
        else if (op == QLatin1String("fail"))
            table->fail(0, arg.toInt());
        else if (op == QLatin1String("pub"))
            table->published(0, table->quality(0, at), at);
        else if (op == QLatin1String("owe"))
            table->owe(0);
        else
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
    }
}

} // namespace

void tst_TagTable::rules_data()
{
    QTest::addColumn<double>("deadband");
    QTest::addColumn<int>("publishEveryMs");
    QTest::addColumn<QString>("script");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<Quality>("quality");
    QTest::addColumn<bool>("due");
    QTest::addColumn<qint64>("goodAt");   // the last good read's time; -1: none
    QTest::addColumn<int>("code");

    // Rules of every row: bad after 3 failures, stale 250 ms after the last good read.
    QTest::newRow("nothing read") << 0.0 << 0 << "" << qint64(0) << Quality::Bad << false << qint64(-1) << -1;
    QTest::newRow("first read due") << 0.0 << 0 << "take 5 @0" << qint64(0) << Quality::Good << true << qint64(0) << 0;
    QTest::newRow("sent, unchanged") << 0.0 << 0 << "take 5 @0; pub @0; take 5 @100" << qint64(100) << Quality::Good
                                     << false << qint64(100) << 0;
    QTest::newRow("changed") << 0.0 << 0 << "take 5 @0; pub @0; take 6 @100" << qint64(100) << Quality::Good << true
                             << qint64(100) << 0;
    QTest::newRow("within deadband") << 0.5 << 0 << "take 5 @0; pub @0; take 5.4 @100" << qint64(100) << Quality::Good
                                     << false << qint64(100) << 0;
    QTest::newRow("deadband from last sent") << 0.5 << 0 << "take 5 @0; pub @0; take 5.4 @100; take 5.8 @200"
                                             << qint64(200) << Quality::Good << true << qint64(200) << 0;
    QTest::newRow("past deadband") << 0.5 << 0 << "take 5 @0; pub @0; take 4.4 @100" << qint64(100) << Quality::Good
                                   << true << qint64(100) << 0;
    QTest::newRow("text changed") << 0.0 << 0 << "takes a @0; pub @0; takes b @100" << qint64(100) << Quality::Good
                                  << true << qint64(100) << 0;
    QTest::newRow("heartbeat not yet") << 0.0 << 1000 << "take 5 @0; pub @0; take 5 @900" << qint64(900)
                                       << Quality::Good << false << qint64(900) << 0;
    QTest::newRow("heartbeat") << 0.0 << 1000 << "take 5 @0; pub @0; take 5 @1000" << qint64(1000) << Quality::Good
                               << true << qint64(1000) << 0;
    QTest::newRow("owed") << 0.0 << 0 << "take 5 @0; pub @0; owe @50" << qint64(50) << Quality::Good << true
                          << qint64(0) << 0;
    QTest::newRow("same bytes refresh") << 0.0 << 0 << "take 5 @0; pub @0; same 5 @200" << qint64(400)
                                        << Quality::Good << false << qint64(200) << 0;
    QTest::newRow("other bytes taken") << 0.0 << 0 << "take 5 @0; pub @0; same 7 @200" << qint64(200)
                                       << Quality::Good << true << qint64(200) << 0;
    QTest::newRow("one failure stale") << 0.0 << 0 << "take 5 @0; pub @0; fail 8 @100" << qint64(100)
                                       << Quality::Stale << true << qint64(0) << 8;
    QTest::newRow("stale sent") << 0.0 << 0 << "take 5 @0; fail 8 @100; pub @100; fail 8 @200" << qint64(200)
                                << Quality::Stale << false << qint64(0) << 8;
    QTest::newRow("failures make bad") << 0.0 << 0 << "take 5 @0; fail 8 @100; pub @100; fail 8 @200; fail 8 @300"
                                       << qint64(300) << Quality::Bad << true << qint64(0) << 8;
    QTest::newRow("never good is bad") << 0.0 << 0 << "fail 9 @0" << qint64(0) << Quality::Bad << true << qint64(-1)
                                       << 9;
    QTest::newRow("good again") << 0.0 << 0 << "take 5 @0; fail 8 @100; fail 8 @200; fail 8 @300; pub @300; take 5 @400"
                                << qint64(400) << Quality::Good << true << qint64(400) << 0;
    QTest::newRow("old at the limit") << 0.0 << 0 << "take 5 @0; pub @0" << qint64(250) << Quality::Good << false
                                      << qint64(0) << 0;
    QTest::newRow("old past the limit") << 0.0 << 0 << "take 5 @0; pub @0" << qint64(251) << Quality::Stale << true
                                        << qint64(0) << 0;
    QTest::newRow("old, changes not due") << 0.0 << 0 << "take 5 @0; pub @300" << qint64(300) << Quality::Stale
                                          << false << qint64(0) << 0;
}

void tst_TagTable::rules()
{
    QFETCH(double, deadband);
    QFETCH(int, publishEveryMs);
    QFETCH(QString, script);
    QFETCH(qint64, now);
    TagRules rules;
    rules.deadband = deadband;
    rules.offlineAfter = 3;
    rules.publishEveryMs = publishEveryMs;
    rules.staleAfterMs = 250;
    TagTable table({rules});
    play(&table, script);
    if (QTest::currentTestFailed())
        return;
    const veskorgw::TagReading r = table.reading(0, now);
    QTEST(r.quality, "quality");
    QCOMPARE(table.quality(0, now), r.quality);
    QTEST(table.due(0, now), "due");
    QFETCH(qint64, goodAt);
    QCOMPARE(r.goodTs.isValid() ? r.goodTs.toMSecsSinceEpoch() - 1700000000000 : qint64(-1), goodAt);
    QTEST(r.code, "code");
    QCOMPARE(r.value.isNull(), goodAt < 0);
}

QTEST_APPLESS_MAIN(tst_TagTable)
#include "tst_tagtable.moc"
