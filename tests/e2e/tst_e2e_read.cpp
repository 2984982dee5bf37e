// Reading tags through the interface against a scripted controller: the
// request on the wire, the result codes with and without traffic, and the
// values decoded from the answer's payload.
#include "E2E.h"
#include "driver/ResultCodes.h"

#include <QtTest>

#include <cstring>

using namespace e2e;

namespace {

QByteArray floatBytes(float f)
{
    QByteArray b(4, '\0');
    std::memcpy(b.data(), &f, 4);   // the test machine is little-endian like the wire
    return b;
}

QByteArray doubleBytes(double d)
{
    QByteArray b(8, '\0');
    std::memcpy(b.data(), &d, 8);
    return b;
}

} // namespace

class TestRead : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes_data();
    void requestBytes();
    void sequencePerObject();
    void refusedWithoutTraffic_data();
    void refusedWithoutTraffic();
    void badAnswer_data();
    void badAnswer();
    void noAnswerTimeout();
    void hostCode13IsTransferredButNotDecoded();
    void hostCode22ReadsNothing();
    void values_data();
    void values();
    void stringFields();
};

void TestRead::requestBytes_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("request");   // with sequence number 1

    QTest::newRow("ID1x") << "ID1x0" << int(DT_UINT8) << 1
                          << QByteArray::fromHex("4d520e0001001e002000970001000000");
    QTest::newRow("ID4x") << "ID4x300" << int(DT_INT32) << 2
                          << QByteArray::fromHex("4d520e0001001e003000820001000000");
    QTest::newRow("ID3x") << "ID3x1" << int(DT_BOOL) << 9
                          << QByteArray::fromHex("4d520e0001001e004001800001000000");
    QTest::newRow("ID10x") << "ID10x5" << int(DT_DOUBLE) << 1
                           << QByteArray::fromHex("4d520e0001001e00c000820001000000");
    QTest::newRow("ID16x") << "ID16x5" << int(DT_INT16) << 1
                           << QByteArray::fromHex("4d520e0001001e00d100820001000000");
    QTest::newRow("ID23x") << "ID23x0" << int(DT_STRING) << 4
                           << QByteArray::fromHex("4d520e0001001e00e400820001000000");
    QTest::newRow("area name in any letter case") << "id7X2x0" << int(DT_UINT8) << 1
                           << QByteArray::fromHex("4d520e0001001e003000970001000000");
}

void TestRead::requestBytes()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QByteArray, request);

    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray(1024, '\0')));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(tag, DataType(type), count).resultCode, int(veskor::RcDone));
    const QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.at(0).bytes.toHex(), request.toHex());
}

void TestRead::sequencePerObject()
{
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray(8, '\0')));
    Driver a;
    Driver b;
    QCOMPARE(a->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(b->ConnectDrive(peer.endpoint()), 0);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(a->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));
    QCOMPARE(b->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));
    QCOMPARE(a->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));

    QList<QByteArray> sequences;
    for (const ScriptedPeer::Datagram &g : peer.received())
        sequences.append(g.bytes.mid(4, 2).toHex());
    QCOMPARE(sequences, (QList<QByteArray>{"0100", "0200", "0300", "0100", "0400"}));
}

void TestRead::refusedWithoutTraffic_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("result");

    QTest::newRow("no area") << "XY100" << int(DT_INT16) << 1 << int(veskor::RcNoArea);
    QTest::newRow("no area, count 0") << "XY100" << int(DT_INT16) << 0 << int(veskor::RcNoArea);
    QTest::newRow("count 0") << "ID4x100" << int(DT_INT16) << 0 << int(veskor::RcLength);
    QTest::newRow("count -5") << "ID4x100" << int(DT_INT16) << -5 << int(veskor::RcLength);
    QTest::newRow("type 0") << "ID4x100" << int(DT_NONE) << 1 << int(veskor::RcType);
    QTest::newRow("address 2^31") << "ID4x2147483648" << int(DT_INT16) << 1 << int(veskor::RcLength);
    QTest::newRow("address 2^32") << "ID4x4294967296" << int(DT_INT16) << 1 << int(veskor::RcLength);
    QTest::newRow("address past 64 bits") << "ID4x99999999999999999999" << int(DT_INT16) << 1 << int(veskor::RcLength);
    QTest::newRow("no lower-case x") << "ID4X100" << int(DT_INT16) << 1 << int(veskor::RcLength);
    QTest::newRow("length past 32 bits") << "ID4x0" << int(DT_DOUBLE) << 300000000 << int(veskor::RcLength);
}

void TestRead::refusedWithoutTraffic()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(int, result);

    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable r = d->ReadVariable(tag, DataType(type), count);
    QCOMPARE(r.resultCode, result);
    QVERIFY(!r.value.isValid());
    QCOMPARE(r.labelName, tag);
    QCOMPARE(r.elementCount, count);
    QCOMPARE(int(r.dataType), type);
    QCOMPARE(datagramsBeforeMarker(d.get(), peer), 0);
}

void TestRead::badAnswer_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("byteToChange");   // -1: none
    QTest::addColumn<int>("payloadSize");
    QTest::addColumn<int>("result");

    QTest::newRow("wrong first byte") << "ID4x0" << int(DT_INT16) << 1 << 0 << 2 << int(veskor::RcDevice);
    QTest::newRow("wrong echo byte 12") << "ID4x0" << int(DT_INT16) << 1 << 12 << 2 << int(veskor::RcDevice);
    QTest::newRow("wrong echo byte 14") << "ID4x0" << int(DT_INT16) << 1 << 14 << 2 << int(veskor::RcDevice);
    QTest::newRow("payload one byte short") << "ID4x0" << int(DT_INT16) << 1 << -1 << 1 << int(veskor::RcLength);
    QTest::newRow("short of address + length") << "ID4x10" << int(DT_INT32) << 2 << -1 << 17 << int(veskor::RcLength);
    QTest::newRow("header only") << "ID4x0" << int(DT_UINT8) << 1 << -1 << 0 << int(veskor::RcLength);
}

void TestRead::badAnswer()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(int, byteToChange);
    QFETCH(int, payloadSize);
    QFETCH(int, result);

    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answer([=](const QByteArray &request) {
        QByteArray a = readAnswer(request, counting(payloadSize));
        if (byteToChange >= 0)
            a[byteToChange] = char(a.at(byteToChange) ^ 0x20);
        return a;
    });
    const CLabelVariable r = d->ReadVariable(tag, DataType(type), count);
    QCOMPARE(r.resultCode, result);
    QVERIFY(!r.value.isValid());
    QCOMPARE(r.labelName, tag);
    QCOMPARE(r.elementCount, count);
    QCOMPARE(peer.received().size(), 1);
}

void TestRead::noAnswerTimeout()
{
    Driver d;
    ScriptedPeer peer;   // silent
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable r = d->ReadVariable(QStringLiteral("ID4x8"), DT_UINT32, 2);
    QCOMPARE(r.resultCode, int(veskor::RcNoAnswer));
    QVERIFY(!r.value.isValid());
    QCOMPARE(r.labelName, QStringLiteral("ID4x8"));
    QCOMPARE(r.elementCount, 2);
    QCOMPARE(peer.received().size(), 1);
}

void TestRead::hostCode13IsTransferredButNotDecoded()
{
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answer(readReply(counting(8)));
    const CLabelVariable r = d->ReadVariable(QStringLiteral("ID4x0"), DataType(13), 2);
    QCOMPARE(r.resultCode, int(veskor::RcType));
    QVERIFY(!r.value.isValid());
    QVERIFY(r.timeStamp.isValid());
    QCOMPARE(int(r.dataType), 13);
    QCOMPARE(peer.received().size(), 1);
}

void TestRead::hostCode22ReadsNothing()
{
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    // An answer with no payload at all is enough for a read of 0 bytes.
    peer.answer(readReply(QByteArray()));
    const CLabelVariable r = d->ReadVariable(QStringLiteral("ID4x0"), DataType(22), 3);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QVERIFY(holdsList<unsigned int>(r));
    QVERIFY(listIn<unsigned int>(r).isEmpty());
    QCOMPARE(r.elementCount, 3);
    QCOMPARE(peer.received().size(), 1);
}

void TestRead::values_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("int16 x3 at address 5")
        << "ID4x5" << int(DT_INT16) << 3 << counting(16)
        << listVariant(QList<short>{0x0605, 0x0807, 0x0a09});
    QTest::newRow("int16 negative") << "ID4x0" << int(DT_INT16) << 1 << QByteArray::fromHex("feff")
                                    << listVariant(QList<short>{-2});
    QTest::newRow("uint16") << "ID4x1" << int(DT_UINT16) << 2 << QByteArray::fromHex("00ffff3412")
                            << listVariant(QList<unsigned short>{0xffff, 0x1234});
    QTest::newRow("int8") << "ID4x0" << int(DT_INT8) << 3 << QByteArray::fromHex("807f01")
                          << listVariant(QList<char>{char(-128), 127, 1});
    QTest::newRow("uint8") << "ID4x2" << int(DT_UINT8) << 2 << QByteArray::fromHex("0000ff80")
                           << listVariant(QList<unsigned char>{0xff, 0x80});
    QTest::newRow("int32") << "ID4x0" << int(DT_INT32) << 2 << QByteArray::fromHex("78563412ffffffff")
                           << listVariant(QList<int>{0x12345678, -1});
    QTest::newRow("uint32") << "ID4x0" << int(DT_UINT32) << 1 << QByteArray::fromHex("feffffff")
                            << listVariant(QList<unsigned int>{0xfffffffeu});
    QTest::newRow("float") << "ID4x4" << int(DT_FLOAT) << 2
                           << QByteArray(4, '\0') + floatBytes(1.5f) + floatBytes(-0.25f)
                           << listVariant(QList<float>{1.5f, -0.25f});
    QTest::newRow("int64 LSB first") << "ID4x0" << int(DT_INT64) << 2
                                     << QByteArray::fromHex("0807060504030201feffffffffffffff")
                                     << listVariant(QList<long long>{0x0102030405060708LL, -2});
    QTest::newRow("uint64") << "ID4x0" << int(DT_UINT64) << 1 << QByteArray::fromHex("ffffffffffffffff")
                            << listVariant(QList<unsigned long long>{~0ULL});
    QTest::newRow("double") << "ID4x8" << int(DT_DOUBLE) << 1
                            << QByteArray(8, '\0') + doubleBytes(-1234.5)
                            << listVariant(QList<double>{-1234.5});
    QTest::newRow("bool x1 from a non-zero byte") << "ID4x1" << int(DT_BOOL) << 1
                                                  << QByteArray::fromHex("0040")
                                                  << listVariant(QList<bool>{true});
    QTest::newRow("bool x1 from a zero byte") << "ID4x0" << int(DT_BOOL) << 1 << QByteArray::fromHex("00ff")
                                              << listVariant(QList<bool>{false});
    QTest::newRow("bool x10 as bits, LSB first")
        << "ID4x0" << int(DT_BOOL) << 10 << QByteArray::fromHex("a502ff")
        << listVariant(QList<bool>{true, false, true, false, false, true, false, true, false, true});
}

void TestRead::values()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QByteArray, payload);
    QFETCH(QVariant, expected);

    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answer(readReply(payload));
    const QDateTime before = QDateTime::currentDateTime();
    const CLabelVariable r = d->ReadVariable(tag, DataType(type), count);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QVERIFY(!expected.value<QVariantList>().isEmpty());
    QVERIFY2(sameList(r.value, expected),
             qPrintable(listText(r.value) + QStringLiteral(" instead of ") + listText(expected)));
    QVERIFY(r.timeStamp >= before);
    QCOMPARE(r.labelName, tag);
    QCOMPARE(r.elementCount, count);
    QCOMPARE(int(r.dataType), type);
}

void TestRead::stringFields()
{
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QByteArray payload = QByteArray::fromHex("ffff") + QByteArray::fromHex("03616263");
    payload.append(QByteArray(20, '\0'));
    peer.answer(readReply(payload));
    const CLabelVariable r = d->ReadVariable(QStringLiteral("ID4x2"), DT_STRING, 10);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QVERIFY(holdsList<QString>(r));
    const QList<QString> strings = listIn<QString>(r);
    QCOMPARE(strings.size(), 10);
    QCOMPARE(strings.first(), QStringLiteral("abc"));
    for (int i = 1; i < strings.size(); ++i)
        QVERIFY(strings.at(i).isEmpty());
}

QTEST_GUILESS_MAIN(TestRead)
#include "tst_e2e_read.moc"
