// The set path's pure parts: a set payload read as a tag's values (exact
// 64-bit integers, strings whole or refused, size bound), the bound itself,
// the limits on refused sets, and text from outside made safe for the log.
#include "Log.h"
#include "ReadPlan.h"
#include "SetLimits.h"

#include "host/DataType.h"
#include "common/Values.h"

#include <QtTest>

using namespace veskorgw;

class tst_SetPath : public QObject
{
    Q_OBJECT

private slots:
    void payloads_data();
    void payloads();
    void payloadBound_data();
    void payloadBound();
    void refusalLimits_data();
    void refusalLimits();
    void logSafe_data();
    void logSafe();
};

namespace {

TagConfig tagOf(int type, int count)
{
    TagConfig t;
    t.name = QStringLiteral("t");
    t.type = type;
    t.count = count;
    t.writable = true;
    return t;
}

} // namespace

void tst_SetPath::payloads_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("values");   // as veskortool::formatValues prints them; empty: refused
    QTest::addColumn<QString>("error");        // the refusal contains this

    const QByteArray nul("a\0b", 3);
    QTest::newRow("int64 2^53+1 as a JSON number") << int(DT_INT64) << 1 << QByteArray("9007199254740993")
                                                 << QStringList{"9007199254740993"} << QString();
    QTest::newRow("int64 as plain text") << int(DT_INT64) << 1 << QByteArray(" 12345678901234567\n")
                                         << QStringList{"12345678901234567"} << QString();
    QTest::newRow("int64 in an object, other keys skipped")
        << int(DT_INT64) << 1 << QByteArray(R"({"by": {"x": [1, 2]}, "value": 9007199254740993})")
        << QStringList{"9007199254740993"} << QString();
    QTest::newRow("int64 min") << int(DT_INT64) << 1 << QByteArray("-9223372036854775808")
                               << QStringList{"-9223372036854775808"} << QString();
    QTest::newRow("int64 past max") << int(DT_INT64) << 1 << QByteArray("9223372036854775808") << QStringList()
                                    << "out of range for int64";
    QTest::newRow("uint64 max") << int(DT_UINT64) << 1 << QByteArray("18446744073709551615")
                                << QStringList{"18446744073709551615"} << QString();
    QTest::newRow("uint64 max as a JSON string") << int(DT_UINT64) << 1 << QByteArray("\"18446744073709551615\"")
                                                 << QStringList{"18446744073709551615"} << QString();
    QTest::newRow("uint64 exponent, exact") << int(DT_UINT64) << 1 << QByteArray("1e19")
                                            << QStringList{"10000000000000000000"} << QString();
    QTest::newRow("uint64 past max") << int(DT_UINT64) << 1 << QByteArray("18446744073709551616") << QStringList()
                                     << "out of range for uint64";
    QTest::newRow("int32 5.0 is 5") << int(DT_INT32) << 1 << QByteArray("5.0") << QStringList{"5"} << QString();
    QTest::newRow("int32 fraction") << int(DT_INT32) << 1 << QByteArray("1.5") << QStringList() << "not an integer";
    QTest::newRow("uint16 array") << int(DT_UINT16) << 3 << QByteArray("[1, 2, 65535]")
                                  << QStringList{"1", "2", "65535"} << QString();
    QTest::newRow("uint16 plain list") << int(DT_UINT16) << 3 << QByteArray("1, 2 3") << QStringList{"1", "2", "3"}
                                       << QString();
    QTest::newRow("count checked") << int(DT_UINT16) << 3 << QByteArray("[1, 2]") << QStringList()
                                   << "2 value(s) for a tag of 3 element(s)";
    QTest::newRow("double exact text") << int(DT_DOUBLE) << 1 << QByteArray("0.1") << QStringList{"0.1"} << QString();
    QTest::newRow("nested array") << int(DT_INT16) << 1 << QByteArray("[[1]]") << QStringList()
                                  << "values are numbers, true/false or strings";
    QTest::newRow("null") << int(DT_INT16) << 1 << QByteArray("null") << QStringList()
                          << "values are numbers, true/false or strings";
    QTest::newRow("object without value") << int(DT_INT16) << 1 << QByteArray(R"({"v": 1})") << QStringList()
                                          << "needs the key \"value\"";
    QTest::newRow("string escapes") << int(DT_STRING) << 8 << QByteArray(R"("h\u00e9\ud83d\ude00")")
                                    << QStringList{QStringLiteral("\"h\u00e9\U0001F600\"")} << QString();
    QTest::newRow("string NUL escaped in JSON") << int(DT_STRING) << 8 << QByteArray(R"("a\u0000b")") << QStringList()
                                                << "holds a NUL character";
    QTest::newRow("string NUL byte in plain text") << int(DT_STRING) << 8 << nul << QStringList()
                                                   << "holds a NUL character";
    QTest::newRow("string not UTF-8") << int(DT_STRING) << 8 << QByteArray("a\xff") << QStringList()
                                      << "not UTF-8";
    QTest::newRow("string longer than its field") << int(DT_STRING) << 4 << QByteArray("abcd") << QStringList()
                                                  << "does not fit the 4-byte field";
    QTest::newRow("int16 payload too large") << int(DT_INT16) << 1 << QByteArray(75, ' ') + "1" << QStringList()   // "+0x7fff" is 7
                                             << "larger than a value of this tag can be (at most 75)";
    QTest::newRow("1 MB of numbers for 3 elements") << int(DT_UINT16) << 3 << QByteArray(1 << 20, '1')
                                                    << QStringList() << "payload of 1048576 bytes is larger";
}

// Each payload gives exactly the values written, or a refusal saying why.
void tst_SetPath::payloads()
{
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, values);
    QFETCH(QString, error);
    QVariant out;
    QString got;
    const bool ok = valuesForWrite(tagOf(type, count), payload, &out, &got);
    QVERIFY2(ok == error.isEmpty(), qPrintable(got));
    if (ok)
        QCOMPARE(veskortool::formatValues(out), values);
    else
        QVERIFY2(got.contains(error), qPrintable(got));
}

void tst_SetPath::payloadBound_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<qint64>("bytes");
    // The longest element text and 4 around it, per element, and 64.
    QTest::newRow("int64") << int(DT_INT64) << 1 << qint64(20 + 4 + 64);
    QTest::newRow("uint64 x 2") << int(DT_UINT64) << 2 << qint64((21 + 4) * 2 + 64);   // "+18446744073709551615"
    QTest::newRow("uint8 x 4") << int(DT_UINT8) << 4 << qint64((5 + 4) * 4 + 64);      // "+0xff", "+255"
    QTest::newRow("bool x 10") << int(DT_BOOL) << 10 << qint64((5 + 4) * 10 + 64);
    QTest::newRow("double x 2") << int(DT_DOUBLE) << 2 << qint64((32 + 4) * 2 + 64);
    // A string: its text in \u escapes, the quotes, and 64.
    QTest::newRow("string of 8 bytes") << int(DT_STRING) << 8 << qint64(6 * 7 + 2 + 64);
    QTest::newRow("string of 1000 bytes") << int(DT_STRING) << 1000 << qint64(6 * 255 + 2 + 64);
}

void tst_SetPath::payloadBound()
{
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(qint64, bytes);
    QCOMPARE(maxSetPayloadBytes(tagOf(type, count)), bytes);
}

void tst_SetPath::refusalLimits_data()
{
    // Refusals as "key@ms", and what each gets: L<n> logged (n not logged
    // before it) or "-", then A answered or "-". due: after the last event,
    // the keys owed a line at that time as "key:count".
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("decisions");
    QTest::addColumn<qint64>("dueAt");
    QTest::addColumn<QStringList>("due");
    QTest::newRow("one tag flooded") << QStringList{"0@0", "0@1", "0@2", "0@3"}
                                     << QStringList{"L0A", "-A", "--", "--"} << qint64(999) << QStringList();
    QTest::newRow("the ones not logged are owed a line") << QStringList{"0@0", "0@1", "0@2"}
                                                         << QStringList{"L0A", "-A", "--"} << qint64(1000)
                                                         << QStringList{"0:2"};
    QTest::newRow("logged again after the interval, with the count") << QStringList{"0@0", "0@10", "0@1000"}
                                                                     << QStringList{"L0A", "-A", "L1A"}
                                                                     << qint64(5000) << QStringList();
    QTest::newRow("tags share the controller's answers") << QStringList{"0@0", "0@0", "1@0", "1@0", "2@0"}
                                                         << QStringList{"L0A", "-A", "L0A", "--", "L0-"}
                                                         << qint64(0) << QStringList();
    QTest::newRow("answers come back at their rate") << QStringList{"0@0", "0@0", "0@0", "0@500", "0@1000"}
                                                     << QStringList{"L0A", "-A", "--", "--", "L3A"}
                                                     << qint64(1000) << QStringList();
}

// Logged once per key per interval, answered within both buckets.
void tst_SetPath::refusalLimits()
{
    QFETCH(QStringList, events);
    QFETCH(QStringList, decisions);
    QFETCH(qint64, dueAt);
    QFETCH(QStringList, due);
    RefusalLimits::Limits limits;
    limits.logIntervalMs = 1000;
    limits.answersPerS = 1;
    limits.answerBurst = 2;
    limits.allAnswersPerS = 3;
    limits.allAnswerBurst = 3;
    RefusalLimits r(3, limits);
    QStringList got;
    for (const QString &e : events) {
        const RefusalLimits::Decision d = r.refused(e.section('@', 0, 0).toInt(), e.section('@', 1).toLongLong());
        got << (d.log ? QStringLiteral("L%1").arg(d.unlogged) : QStringLiteral("-")) + (d.answer ? "A" : "-");
    }
    QCOMPARE(got, decisions);
    QStringList owed;
    for (const RefusalLimits::Unlogged &u : r.due(dueAt))
        owed << QStringLiteral("%1:%2").arg(u.key).arg(u.count);
    QCOMPARE(owed, due);
    QVERIFY(r.due(dueAt).isEmpty());   // told once
}

void tst_SetPath::logSafe_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("max");
    QTest::addColumn<QString>("logged");
    QTest::newRow("white space") << "a\nb\t\tc " << 80 << "a b c";
    QTest::newRow("terminal escape") << "\x1b[31mred" << 80 << "?[31mred";
    QTest::newRow("quotes and backslash") << "say \"hi\" \\" << 80 << "say \\\"hi\\\" \\\\";
    QTest::newRow("bidi override") << QStringLiteral("op\u202Eanna") << 80 << "op?anna";
    QTest::newRow("capped") << "operator-anna" << 8 << "operator...";
    QTest::newRow("NUL") << QString(QStringLiteral("a")) + QChar(0) + QStringLiteral("b") << 80 << "a?b";
}

void tst_SetPath::logSafe()
{
    QFETCH(QString, text);
    QFETCH(int, max);
    QFETCH(QString, logged);
    QCOMPARE(veskorgw::logSafe(text, max), logged);
}

QTEST_GUILESS_MAIN(tst_SetPath)
#include "tst_setpath.moc"
