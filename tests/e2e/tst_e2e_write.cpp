// Writing tags through the interface against a scripted controller: the
// write request on the wire, what is refused before anything is sent, and the
// result of an exchange.
#include "E2E.h"
#include "driver/ResultCodes.h"

#include <QtTest>

using namespace e2e;

namespace {

QList<unsigned char> countingList(int size)
{
    QList<unsigned char> l;
    for (int i = 0; i < size; ++i)
        l.append(uchar(i));
    return l;
}

const QDateTime kCallerTime(QDate(2019, 12, 31), QTime(23, 59, 58));

CLabelVariable callerRecord(const QVariant &value)
{
    CLabelVariable v;
    v.value = value;
    v.timeStamp = kCallerTime;
    return v;
}

} // namespace

class TestWrite : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes_data();
    void requestBytes();
    void areaIsNotOnTheWire();
    void refusedWithoutTraffic_data();
    void refusedWithoutTraffic();
    void largestWriteGoesOut();
    void silentPeerTimeout();
    void anyAnswerIsDone_data();
    void anyAnswerIsDone();
};

void TestWrite::requestBytes_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("request");

    // Header: 02 01 01 00, area code's low byte, address and length as
    // (bits 16..23, bits 0..7, bits 8..15), then the data.
    QTest::newRow("int16 x2")
        << "ID4x100" << int(DT_INT16) << 2 << listVariant(QList<short>{0x1234, -2})
        << QByteArray::fromHex("0201010000" "006400" "000400" "3412feff");
    QTest::newRow("address high, low, middle")
        << "ID4x1193046" << int(DT_UINT8) << 1 << listVariant(QList<unsigned char>{0xab})
        << QByteArray::fromHex("0201010000" "125634" "000100" "ab");
    QTest::newRow("largest address")
        << "ID4x16777215" << int(DT_INT8) << 1 << listVariant(QList<char>{char(-1)})
        << QByteArray::fromHex("0201010000" "ffffff" "000100" "ff");
    QTest::newRow("length high, low, middle")
        << "ID2x0" << int(DT_UINT8) << 300 << listVariant(countingList(300))
        << QByteArray::fromHex("0201010000" "000000" "002c01") + counting(300);
    QTest::newRow("only count elements of a longer list")
        << "ID4x7" << int(DT_UINT32) << 1 << listVariant(QList<unsigned int>{0xa1b2c3d4, 5})
        << QByteArray::fromHex("0201010000" "000700" "000400" "d4c3b2a1");
    QTest::newRow("int64 LSB first")
        << "ID4x0" << int(DT_INT64) << 1 << listVariant(QList<long long>{0x0102030405060708LL})
        << QByteArray::fromHex("0201010000" "000000" "000800" "0807060504030201");
    QTest::newRow("double")
        << "ID4x0" << int(DT_DOUBLE) << 1 << listVariant(QList<double>{1.0})
        << QByteArray::fromHex("0201010000" "000000" "000800" "000000000000f03f");
    QTest::newRow("float")
        << "ID4x0" << int(DT_FLOAT) << 1 << listVariant(QList<float>{-2.0f})
        << QByteArray::fromHex("0201010000" "000000" "000400" "000000c0");
    QTest::newRow("bool x1 true")
        << "ID4x3" << int(DT_BOOL) << 1 << listVariant(QList<bool>{true})
        << QByteArray::fromHex("0201010000" "000300" "000100" "01");
    QTest::newRow("bool x1 false")
        << "ID4x3" << int(DT_BOOL) << 1 << listVariant(QList<bool>{false})
        << QByteArray::fromHex("0201010000" "000300" "000100" "00");
    QTest::newRow("bool x10 packed LSB first")
        << "ID4x3" << int(DT_BOOL) << 10
        << listVariant(QList<bool>{true, false, true, false, false, true, false, true, false, true})
        << QByteArray::fromHex("0201010000" "000300" "000200" "a502");
    QTest::newRow("bool x8")
        << "ID4x3" << int(DT_BOOL) << 8 << listVariant(QList<bool>{true, true, true, true, true, true, true, true})
        << QByteArray::fromHex("0201010000" "000300" "000100" "ff");
    QTest::newRow("string in 8 bytes")
        << "ID4x20" << int(DT_STRING) << 8 << listVariant(QList<QString>{"abc"})
        << QByteArray::fromHex("0201010000" "001400" "000800" "0361626300000000");
    QTest::newRow("string filling its field")
        << "ID4x20" << int(DT_STRING) << 8 << listVariant(QList<QString>{"abcdefg"})
        << QByteArray::fromHex("0201010000" "001400" "000800" "0761626364656667");
    QTest::newRow("UTF-8 string")
        << "ID4x20" << int(DT_STRING) << 16 << listVariant(QList<QString>{QStringLiteral("Grüße")})
        << QByteArray::fromHex("0201010000" "001400" "001000" "074772c3bcc39f65" "0000000000000000");
    QTest::newRow("empty string")
        << "ID4x20" << int(DT_STRING) << 2 << listVariant(QList<QString>{QString()})
        << QByteArray::fromHex("0201010000" "001400" "000200" "0000");
}

void TestWrite::requestBytes()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QVariant, value);
    QFETCH(QByteArray, request);

    Driver d;
    ScriptedPeer peer;
    peer.setDefault([](const QByteArray &req) { return req.left(11); });
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable w = d->WriteVariable(tag, DataType(type), callerRecord(value), count);
    QCOMPARE(w.resultCode, int(veskor::RcDone));
    const QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.at(0).bytes.toHex(), request.toHex());
}

void TestWrite::areaIsNotOnTheWire()
{
    // Areas differ only above the low byte of their codes, which is all a
    // write request carries.
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(fixedReply(QByteArray::fromHex("00")));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable v = callerRecord(listVariant(QList<int>{77}));
    QCOMPARE(d->WriteVariable(QStringLiteral("ID1x100"), DT_INT32, v, 1).resultCode, int(veskor::RcDone));
    QCOMPARE(d->WriteVariable(QStringLiteral("ID4x100"), DT_INT32, v, 1).resultCode, int(veskor::RcDone));
    const QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), 2);
    QCOMPARE(got.at(0).bytes.toHex(), got.at(1).bytes.toHex());
}

void TestWrite::refusedWithoutTraffic_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("result");

    const QVariant one = listVariant(QList<short>{1});
    QTest::newRow("no area") << "XY100" << int(DT_INT16) << 1 << one << int(veskor::RcNoArea);
    QTest::newRow("count -1") << "ID4x100" << int(DT_INT16) << -1 << one << int(veskor::RcLength);
    QTest::newRow("count 0") << "ID4x100" << int(DT_INT16) << 0 << one << int(veskor::RcLength);
    QTest::newRow("type 0") << "ID4x100" << int(DT_NONE) << 1 << one << int(veskor::RcType);
    QTest::newRow("host code 14") << "ID4x100" << 14 << 1 << one << int(veskor::RcType);
    QTest::newRow("host code 22") << "ID4x100" << 22 << 1 << listVariant(QList<unsigned int>{1}) << int(veskor::RcLength);
    QTest::newRow("address past 24 bits") << "ID4x16777216" << int(DT_INT16) << 1 << one << int(veskor::RcLength);
    QTest::newRow("address 2^32") << "ID4x4294967296" << int(DT_INT16) << 1 << one << int(veskor::RcLength);
    QTest::newRow("no value") << "ID4x100" << int(DT_INT16) << 1 << QVariant() << int(veskor::RcType);
    QTest::newRow("value not a list") << "ID4x100" << int(DT_INT16) << 1
                                      << QVariant(QDateTime(QDate(2020, 1, 1), QTime(0, 0))) << int(veskor::RcType);
    QTest::newRow("bool from a date") << "ID4x100" << int(DT_BOOL) << 1
                                      << QVariant(QDate(2020, 1, 1)) << int(veskor::RcType);
    QTest::newRow("fewer elements than count") << "ID4x100" << int(DT_INT16) << 3
                                               << listVariant(QList<short>{1, 2}) << int(veskor::RcLength);
    QTest::newRow("bool: fewer elements than count")
        << "ID4x100" << int(DT_BOOL) << 9 << listVariant(QList<bool>{true, true, true, true, true, true, true, true})
        << int(veskor::RcLength);
    QTest::newRow("string longer than count-1 bytes") << "ID4x100" << int(DT_STRING) << 8
                                                      << listVariant(QList<QString>{"abcdefgh"}) << int(veskor::RcLength);
    QTest::newRow("UTF-8 string one byte too long")
        << "ID4x100" << int(DT_STRING) << 7 << listVariant(QList<QString>{QStringLiteral("Grüße")})
        << int(veskor::RcLength);
    QTest::newRow("string in a 1-byte field") << "ID4x100" << int(DT_STRING) << 1
                                              << listVariant(QList<QString>{"a"}) << int(veskor::RcLength);
    QTest::newRow("string list empty") << "ID4x100" << int(DT_STRING) << 8
                                       << listVariant(QList<QString>{}) << int(veskor::RcLength);
    // Header and data must fit one UDP datagram (65,507 bytes).
    QTest::newRow("one byte past a datagram")
        << "ID4x0" << int(DT_UINT8) << 65497 << listVariant(QVector<unsigned char>(65497, 1).toList())
        << int(veskor::RcLength);
    QTest::newRow("70,000 uint8") << "ID4x0" << int(DT_UINT8) << 70000
                                  << listVariant(QVector<unsigned char>(70000, 1).toList()) << int(veskor::RcLength);
    QTest::newRow("65,491 doubles") << "ID4x0" << int(DT_DOUBLE) << 65491
                                    << listVariant(QVector<double>(65491, 1.5).toList()) << int(veskor::RcLength);
    QTest::newRow("a 16 MB string field") << "ID4x0" << int(DT_STRING) << 16000000
                                          << listVariant(QList<QString>{"a"}) << int(veskor::RcLength);
    // A typo where the address belongs.
    QTest::newRow("address with a minus sign") << "ID4x-5" << int(DT_INT16) << 1 << one << int(veskor::RcLength);
    QTest::newRow("address in letters") << "ID4xabc" << int(DT_INT16) << 1 << one << int(veskor::RcLength);
}

void TestWrite::refusedWithoutTraffic()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QVariant, value);
    QFETCH(int, result);

    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable w = d->WriteVariable(tag, DataType(type), callerRecord(value), count);
    QCOMPARE(w.resultCode, result);
    QCOMPARE(w.timeStamp, kCallerTime);
    QCOMPARE(w.value.userType(), value.userType());
    if (value.userType() >= QMetaType::User)   // a list: compare the elements
        QCOMPARE(w.value.value<QVariantList>(), value.value<QVariantList>());
    else
        QCOMPARE(w.value, value);
    QCOMPARE(w.labelName, tag);
    QCOMPARE(w.elementCount, count);
    QCOMPARE(int(w.dataType), type);
    QCOMPARE(datagramsBeforeMarker(d.get(), peer), 0);
}

void TestWrite::largestWriteGoesOut()
{
    // 11 header bytes and 65,496 data bytes: exactly one full datagram.
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(fixedReply(QByteArray::fromHex("00")));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const QVariant value = listVariant(QVector<unsigned char>(65496, 7).toList());
    QCOMPARE(d->WriteVariable(QStringLiteral("ID4x0"), DT_UINT8, callerRecord(value), 65496).resultCode,
             int(veskor::RcDone));
    QCOMPARE(peer.received().size(), 1);
    QCOMPARE(peer.received().at(0).bytes.size(), 65507);
}

void TestWrite::silentPeerTimeout()
{
    Driver d;
    ScriptedPeer peer;   // silent
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const QVariant value = listVariant(QList<short>{5, 6});
    const CLabelVariable w = d->WriteVariable(QStringLiteral("ID4x0"), DT_INT16, callerRecord(value), 2);
    QCOMPARE(w.resultCode, int(veskor::RcNoAnswer));
    QCOMPARE(w.timeStamp, kCallerTime);
    QCOMPARE(listIn<short>(w), (QList<short>{5, 6}));
    QCOMPARE(peer.received().size(), 1);
}

void TestWrite::anyAnswerIsDone_data()
{
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("one byte") << QByteArray::fromHex("00");
    QTest::newRow("header echo") << QByteArray::fromHex("0201010000000000000400");
    QTest::newRow("an error-looking read answer") << QByteArray("ER") + QByteArray(14, '\0');
    QTest::newRow("1400 bytes") << counting(1400);
}

void TestWrite::anyAnswerIsDone()
{
    QFETCH(QByteArray, answer);

    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answer(fixedReply(answer));
    const QVariant value = listVariant(QList<int>{-7, 8});
    CLabelVariable v = callerRecord(value);
    v.auxInt = 3;
    v.auxText = QStringLiteral("host's own");
    const QDateTime before = QDateTime::currentDateTime();
    const CLabelVariable w = d->WriteVariable(QStringLiteral("ID4x0"), DT_INT32, v, 2);
    QCOMPARE(w.resultCode, int(veskor::RcDone));
    QVERIFY(w.timeStamp >= before);
    QCOMPARE(listIn<int>(w), (QList<int>{-7, 8}));
    QCOMPARE(w.auxInt, 3);
    QCOMPARE(w.auxText, QStringLiteral("host's own"));
    QCOMPARE(w.labelName, QStringLiteral("ID4x0"));
    QCOMPARE(w.elementCount, 2);
    QCOMPARE(w.dataType, DT_INT32);
    QCOMPARE(peer.received().size(), 1);
}

QTEST_GUILESS_MAIN(TestWrite)
#include "tst_e2e_write.moc"
