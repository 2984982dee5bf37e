// A tag's MQTT payload is written directly, without building a JSON
// object: it must be, byte for byte, what QJsonDocument makes of the same
// object (what the gateway sent before, and what its subscribers parse).
#include <QtTest>

#include "MqttOutput.h"
#include "common/Values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <limits>

using namespace veskorgw;

Q_DECLARE_METATYPE(QJsonValue)

class tst_Payload : public QObject
{
    Q_OBJECT

private slots:
    void sameAsTheJsonWriter_data();
    void sameAsTheJsonWriter();
};

// The payload as QJsonDocument writes the object.
static QByteArray written(const TagReading &r, Quality q, const QString &unit)
{
    const QString ts = veskortool::formatTimestamp(r.goodTs);
    QJsonObject o;
    if (!unit.isEmpty())
        o.insert(QStringLiteral("unit"), unit);
    o.insert(QStringLiteral("value"), r.value);
    o.insert(QStringLiteral("ts"), ts.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(ts));
    o.insert(QStringLiteral("quality"), QLatin1String(qualityName(q)));
    o.insert(QStringLiteral("code"), r.code);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void tst_Payload::sameAsTheJsonWriter_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("code");
    QTest::addColumn<QDateTime>("ts");
    const QDateTime local = QDateTime::currentDateTime();
    const QDateTime east(QDate(2026, 5, 1), QTime(8, 9, 10, 123), Qt::OffsetFromUTC, 2 * 3600);
    const QDateTime west(QDate(2026, 12, 31), QTime(23, 59, 59, 999), Qt::OffsetFromUTC, -(9 * 3600 + 30 * 60));
    const double big = 9007199254740992.0;   // 2^53
    QTest::newRow("int32") << QJsonValue(305419896) << 0 << local;
    QTest::newRow("negative") << QJsonValue(-32768) << 0 << east;
    QTest::newRow("zero") << QJsonValue(0) << 0 << west;
    QTest::newRow("minus zero") << QJsonValue(-0.0) << 0 << local;
    QTest::newRow("int64 as double") << QJsonValue(qint64(-2147483648LL) * 4) << 0 << local;
    QTest::newRow("2^53") << QJsonValue(big) << 0 << local;
    QTest::newRow("-2^53") << QJsonValue(-big) << 0 << local;
    QTest::newRow("past 2^53") << QJsonValue(big * 4) << 0 << local;
    QTest::newRow("1e15") << QJsonValue(1e15) << 0 << local;
    QTest::newRow("1e21") << QJsonValue(1e21) << 0 << local;
    QTest::newRow("1e300") << QJsonValue(1e300) << 0 << local;
    QTest::newRow("fraction") << QJsonValue(21.5) << 0 << local;
    QTest::newRow("float as double") << QJsonValue(double(0.1f)) << 0 << local;
    QTest::newRow("tiny") << QJsonValue(1.5e-7) << 0 << local;
    QTest::newRow("negative fraction") << QJsonValue(-123.456) << 0 << local;
    QTest::newRow("denormal") << QJsonValue(std::numeric_limits<double>::denorm_min()) << 0 << local;
    QTest::newRow("true") << QJsonValue(true) << 0 << local;
    QTest::newRow("false") << QJsonValue(false) << 0 << local;
    QTest::newRow("null before a good read") << QJsonValue(QJsonValue::Null) << 8 << QDateTime();
    QTest::newRow("text") << QJsonValue(QStringLiteral("hello")) << 0 << local;
    QTest::newRow("text to escape") << QJsonValue(QStringLiteral("a\"b\\c\nd\te\x01f/")) << 0 << local;
    QTest::newRow("text beyond ASCII") << QJsonValue(QStringLiteral("Grüße ✓ \U0001F600")) << 0 << local;
    QTest::newRow("64-bit as text") << QJsonValue(QStringLiteral("18446744073709551615")) << 0 << local;
    QTest::newRow("nan as text") << QJsonValue(QStringLiteral("nan")) << 0 << local;
    QTest::newRow("array") << QJsonValue(QJsonArray{1, -2.5, 3e20, true}) << 0 << local;
    QTest::newRow("empty text") << QJsonValue(QString()) << 0 << local;
    QTest::newRow("failed read, old value") << QJsonValue(42) << 7 << east;
    QTest::newRow("no code yet") << QJsonValue(QJsonValue::Null) << -1 << QDateTime();
}

void tst_Payload::sameAsTheJsonWriter()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, code);
    QFETCH(QDateTime, ts);
    TagReading r;
    r.read = true;
    r.value = value;
    r.code = code;
    r.goodTs = ts;
    for (Quality q : {Quality::Good, Quality::Stale, Quality::Bad}) {
        QCOMPARE(tagPayload(r, q), written(r, q, QString()));
        for (const QString &unit : {QString::fromUtf8("\u00b0C"), QStringLiteral("m\"/s")})
            QCOMPARE(tagPayload(r, q, veskortool::formatTimestamp(r.goodTs).toUtf8(), unitMember(unit)),
                     written(r, q, unit));
    }
}

QTEST_GUILESS_MAIN(tst_Payload)
#include "tst_payload.moc"
