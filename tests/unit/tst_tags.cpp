// Tag names to area codes and addresses, and byte lengths of element counts.
#include <QtTest>

#include "Tags.h"
#include "libVESKOR.h"
#include "driver/ResultCodes.h"

class TestTags : public QObject
{
    Q_OBJECT

private slots:
    void areaAndAddress_data();
    void areaAndAddress();
    void parseTagAddress_data();
    void parseTagAddress();
    void everyAreaName_data();
    void everyAreaName();
    void byteLength_data();
    void byteLength();
    void byteLengthIsExact();
    void elementBytes();
    void requestAddress_data();
    void requestAddress();
};

void TestTags::areaAndAddress_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<uint>("area");
    QTest::addColumn<int>("address");

    QTest::newRow("ID1x100") << "ID1x100" << 0x20009700u << 100;
    QTest::newRow("lower case name") << "id1x100" << 0x20009700u << 100;
    QTest::newRow("ID10x5") << "ID10x5" << 0xC0008200u << 5;
    QTest::newRow("ID23x0") << "ID23x0" << 0xE4008200u << 0;
    QTest::newRow("ID24x1 unknown") << "ID24x1" << 0u << 1;
    QTest::newRow("AB1x1 unknown") << "AB1x1" << 0u << 1;
    QTest::newRow("no digits") << "ID1x" << 0x20009700u << 0;
    QTest::newRow("second x ends") << "ID1x12x7" << 0x20009700u << 12;
    QTest::newRow("2^31-1") << "ID1x2147483647" << 0x20009700u << 2147483647;
    QTest::newRow("2^31") << "ID1x2147483648" << 0x20009700u << -1;
    QTest::newRow("2^32") << "ID1x4294967296" << 0x20009700u << 0;
    QTest::newRow("not decimal") << "ID1x1A" << 0x20009700u << 0;
    QTest::newRow("0x10") << "ID1x0x10" << 0x20009700u << 0;
    QTest::newRow("ID2x then ID1x") << "ID2x5ID1x" << 0x20009700u << 0;   // "5ID1" is no number
    QTest::newRow("ID1x then ID2x") << "ID1x5ID2x" << 0x20009700u << 0;
    QTest::newRow("ID1x after ID2x") << "ID2x_ID1x" << 0x20009700u << 0;
    QTest::newRow("upper case X") << "ID1X100" << 0x20009700u << -1;
    QTest::newRow("empty") << "" << 0u << -1;
}

void TestTags::areaAndAddress()
{
    QFETCH(QString, tag);
    QFETCH(uint, area);
    QFETCH(int, address);

    LibVESKORS driver;
    QCOMPARE(uint(driver.getArea(tag)), area);
    QCOMPARE(driver.getAddr(tag), address);
    QCOMPARE(uint(veskor::tagArea(tag)), area);
    QCOMPARE(veskor::tagAddress(tag), address);
}

void TestTags::parseTagAddress_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("address");   // -1: no request is made

    // A number too large for 32 bits must not wrap to a real address.
    QTest::newRow("2^32") << "ID1x4294967296" << -1;
    QTest::newRow("2^32 then x") << "ID1x4294967296x5" << -1;
    QTest::newRow("20 digits") << "ID1x99999999999999999999" << -1;
    QTest::newRow("2^32-1") << "ID1x4294967295" << -1;
    QTest::newRow("small") << "ID1x100" << 100;
    QTest::newRow("not decimal") << "ID1x1A" << -1;
    QTest::newRow("no digits") << "ID1x" << -1;
    QTest::newRow("no lower-case x") << "ID1X4294967296" << -1;
    QTest::newRow("zero") << "ID4x0" << 0;
    QTest::newRow("leading zeros") << "ID4x007" << 7;
    QTest::newRow("2^31-1") << "ID4x2147483647" << 2147483647;
    QTest::newRow("2^31") << "ID4x2147483648" << -1;
    QTest::newRow("to the second x") << "ID4x12x34" << 12;
    QTest::newRow("nothing between two x") << "ID4xx5" << -1;
    QTest::newRow("x last") << "ID4x12x" << 12;
    QTest::newRow("sign") << "ID4x+5" << -1;
    QTest::newRow("other digit") << QString::fromUtf8("ID4x\u0661") << -1;
}

void TestTags::parseTagAddress()
{
    QFETCH(QString, tag);
    QFETCH(int, address);
    QCOMPARE(veskor::parseTag(tag).address, address);
}

void TestTags::everyAreaName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<uint>("code");

    const struct { const char *name; uint code; } areas[] = {
        {"ID1x", 0x20009700u},  {"ID2x", 0x10009200u},  {"ID3x", 0x40018000u},
        {"ID4x", 0x30008200u},  {"ID5x", 0x10008800u},  {"ID6x", 0x10008200u},
        {"ID7x", 0x30009700u},  {"ID8x", 0x50008200u},  {"ID9x", 0x40008200u},
        {"ID10x", 0xC0008200u}, {"ID11x", 0xA0008200u}, {"ID12x", 0x50008800u},
        {"ID13x", 0xA0009700u}, {"ID14x", 0xD0008200u}, {"ID15x", 0xE0008200u},
        {"ID16x", 0xD1008200u}, {"ID17x", 0xE1008200u}, {"ID18x", 0xD2008200u},
        {"ID19x", 0xE2008200u}, {"ID20x", 0xD3008200u}, {"ID21x", 0xE3008200u},
        {"ID22x", 0xD4008200u}, {"ID23x", 0xE4008200u},
    };
    for (const auto &a : areas)
        QTest::newRow(a.name) << QString::fromLatin1(a.name) << a.code;

    int count = 0;
    veskor::areaTable(&count);
    QCOMPARE(count, 23);
}

void TestTags::everyAreaName()
{
    QFETCH(QString, name);
    QFETCH(uint, code);

    LibVESKORS driver;
    QCOMPARE(uint(driver.getArea(name + "42")), code);
    QCOMPARE(driver.getAddr(name + "42"), 42);
    QCOMPARE(uint(driver.getArea(name.toLower() + "7")), code);
    QCOMPARE(uint(veskor::tagArea(name + "42")), code);
}

void TestTags::byteLength_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("bytes");

    QTest::newRow("bool 1") << 1 << 1 << 1;
    QTest::newRow("bool 8") << 1 << 8 << 1;
    QTest::newRow("bool 9") << 1 << 9 << 2;
    QTest::newRow("bool 17") << 1 << 17 << 3;
    QTest::newRow("int16 3") << 4 << 3 << 6;
    QTest::newRow("double 2") << 11 << 2 << 16;
    QTest::newRow("string 10") << 12 << 10 << 10;
    QTest::newRow("int8 5") << 2 << 5 << 5;
    QTest::newRow("uint8 5") << 3 << 5 << 5;
    QTest::newRow("uint16 5") << 5 << 5 << 10;
    QTest::newRow("int32 5") << 6 << 5 << 20;
    QTest::newRow("uint32 5") << 7 << 5 << 20;
    QTest::newRow("float 5") << 8 << 5 << 20;
    QTest::newRow("int64 5") << 9 << 5 << 40;
    QTest::newRow("uint64 5") << 10 << 5 << 40;
    for (int code : {13, 14, 15, 16})
        QTest::newRow(qPrintable(QString("code %1").arg(code))) << code << 5 << 10;
    QTest::newRow("code 18") << 18 << 5 << 20;
    for (int code = 19; code <= 40; ++code)
        QTest::newRow(qPrintable(QString("code %1").arg(code))) << code << 5 << 0;
    for (int code : {17, 0, -1, 41, INT_MIN})
        QTest::newRow(qPrintable(QString("code %1").arg(code))) << code << 5 << 0;
}

void TestTags::byteLength()
{
    QFETCH(int, type);
    QFETCH(int, n);
    QFETCH(int, bytes);

    LibVESKORS driver;
    QCOMPARE(driver.getBytelen(DataType(type), n), bytes);
    QCOMPARE(veskor::byteLength(type, n), qint64(bytes));
}

void TestTags::byteLengthIsExact()
{
    QCOMPARE(veskor::byteLength(DT_DOUBLE, 300000000), Q_INT64_C(2400000000));
    QCOMPARE(veskor::byteLength(DT_INT32, INT_MAX), Q_INT64_C(4) * INT_MAX);
    QCOMPARE(veskor::byteLength(DT_BOOL, INT_MAX), Q_INT64_C(268435456));
}

void TestTags::elementBytes()
{
    // n elements of every sized type take n times one element's bytes.
    for (int type = DT_NONE; type <= DT_HOST_LAST + 1; ++type) {
        if (type == DT_BOOL)
            continue;
        QCOMPARE(veskor::byteLength(type, 7), qint64(7) * veskor::elementBytes(type));
    }
    QCOMPARE(veskor::elementBytes(DT_BOOL), 0);
    QCOMPARE(veskor::elementBytes(DT_STRING), 1);
    QCOMPARE(veskor::elementBytes(DT_HOST_14), 2);
    QCOMPARE(veskor::elementBytes(veskor::HostType18), 4);
    QCOMPARE(veskor::elementBytes(DT_DOUBLE), 8);
    QCOMPARE(veskor::elementBytes(DT_HOST_22), 0);
}

void TestTags::requestAddress_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("getAddr");     // what getAddr() keeps saying
    QTest::addColumn<int>("readCode");    // 9: the request was made (no socket here)
    QTest::addColumn<int>("writeCode");

    // Typos in a panel project: no request, code 4.
    QTest::newRow("minus sign") << "ID4x-5" << 0 << int(veskor::RcLength) << int(veskor::RcLength);
    QTest::newRow("letters") << "ID4xabc" << 0 << int(veskor::RcLength) << int(veskor::RcLength);
    QTest::newRow("hex digit") << "ID4x1A" << 0 << int(veskor::RcLength) << int(veskor::RcLength);
    QTest::newRow("nothing after x") << "ID4x" << 0 << int(veskor::RcLength) << int(veskor::RcLength);
    QTest::newRow("x before the area") << "xID4x120" << 0 << int(veskor::RcLength) << int(veskor::RcLength);
    QTest::newRow("trailing NUL")
        << QStringLiteral("ID4x12") + QChar(0) << 0 << int(veskor::RcLength) << int(veskor::RcLength);
    QTest::newRow("fullwidth digits")
        << QString::fromUtf8("ID4x\uff11\uff12") << 0 << int(veskor::RcLength) << int(veskor::RcLength);
    QTest::newRow("plus sign") << "ID4x+12" << 12 << int(veskor::RcLength) << int(veskor::RcLength);
    QTest::newRow("no lower-case x") << "ID4X12" << -1 << int(veskor::RcLength) << int(veskor::RcLength);
    // Valid forms.
    QTest::newRow("plain") << "ID4x120" << 120 << int(veskor::RcNoSocket) << int(veskor::RcNoSocket);
    QTest::newRow("second x ends the address")
        << "ID4x12x7" << 12 << int(veskor::RcNoSocket) << int(veskor::RcNoSocket);
    QTest::newRow("0x10 is 0") << "ID4x0x10" << 0 << int(veskor::RcNoSocket) << int(veskor::RcNoSocket);
    QTest::newRow("area named after the address")
        << "ID2x7xID1x" << 7 << int(veskor::RcNoSocket) << int(veskor::RcNoSocket);
    QTest::newRow("2^31-1: past a write's 24 bits")
        << "ID4x2147483647" << 2147483647 << int(veskor::RcNoSocket) << int(veskor::RcLength);
    QTest::newRow("leading zeros") << "ID4x000000000120" << 120 << int(veskor::RcNoSocket) << int(veskor::RcNoSocket);
    QTest::newRow("2^31") << "ID4x2147483648" << -1 << int(veskor::RcLength) << int(veskor::RcLength);
}

void TestTags::requestAddress()
{
    QFETCH(QString, tag);
    QFETCH(int, getAddr);
    QFETCH(int, readCode);
    QFETCH(int, writeCode);

    LibVESKORS d;   // never connected: a request that is made ends in 9
    QCOMPARE(d.getAddr(tag), getAddr);
    const int sequence = d.transport().sequence();
    const CLabelVariable r = d.ReadVariable(tag, DT_INT16, 1);
    QCOMPARE(r.resultCode, readCode);
    QCOMPARE(d.transport().sequence() != sequence, readCode == veskor::RcNoSocket);   // a request was built
    if (readCode != veskor::RcNoSocket)
        QVERIFY(r.timeStamp.isValid());   // a refusal carries the time of the call
    CLabelVariable v;
    v.value = QVariant::fromValue(QList<short>{1});
    QCOMPARE(d.WriteVariable(tag, DT_INT16, v, 1).resultCode, writeCode);
}

QTEST_GUILESS_MAIN(TestTags)
#include "tst_tags.moc"
