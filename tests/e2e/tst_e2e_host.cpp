// The host's view of the plug-in: objects from getSharedLibrary, identity,
// connection parameters and the life cycle, through CDriveBaseClass only.
#include "E2E.h"
#include "driver/ResultCodes.h"

#include <QtTest>

using namespace e2e;

namespace {

const QString kDriveName = QStringLiteral("Oxbrin");
const QString kVersion = QStringLiteral("V1.0.1 202001031");

// Bytes 12..15 of the last request the peer received.
QByteArray deviceIdOfLast(const ScriptedPeer &peer)
{
    const QList<ScriptedPeer::Datagram> got = peer.received();
    return got.isEmpty() ? QByteArray() : got.last().bytes.mid(12, 4);
}

} // namespace

class TestHost : public QObject
{
    Q_OBJECT

private slots:
    void objectsAreIndependent();
    void identityInEveryState();
    void connectParameter_data();
    void connectParameter();
    void destroyFreeResults();
    void disconnectBeforeConnect();
    void readWriteBeforeConnect_data();
    void readWriteBeforeConnect();
    void shortOverloadsAreCountOne();
    void connectAgainAfterDestroyFree();
    void deviceId_data();
    void deviceId();
};

void TestHost::objectsAreIndependent()
{
    Driver a;
    Driver b;
    QVERIFY(a.get() != b.get());

    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray(4, '\x01')));
    QCOMPARE(a->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(b->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(a->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));
    QCOMPARE(b->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));

    // Two sockets: the requests come from two local ports, and each object
    // counts its own sequence numbers from 1.
    QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), 2);
    QVERIFY(got.at(0).senderPort != got.at(1).senderPort);
    QCOMPARE(got.at(0).bytes.mid(4, 2), QByteArray::fromHex("0100"));
    QCOMPARE(got.at(1).bytes.mid(4, 2), QByteArray::fromHex("0100"));

    a->SetConnectPar(QStringLiteral("7"));
    a->DebugCmd(StartDebug);

    MessageCapture capture;
    QCOMPARE(b->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));
    QCOMPARE(deviceIdOfLast(peer), QByteArray::fromHex("01000000"));
    // a's debug flag is not b's
    QVERIFY2(capture.texts().isEmpty(), qPrintable(capture.texts().join(QLatin1Char('|'))));

    QCOMPARE(a->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));
    QCOMPARE(deviceIdOfLast(peer), QByteArray::fromHex("07000000"));
    QCOMPARE(capture.messages().size(), 2);

    // Ending one leaves the other working.
    QCOMPARE(a->DestroyFree(), 0);
    QCOMPARE(b->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));
    QCOMPARE(a->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcNoSocket));
}

void TestHost::identityInEveryState()
{
    Driver d;
    ScriptedPeer peer;
    auto check = [&](const char *state) {
        if (d->getDriveName() != kDriveName || d->getversion_number() != kVersion)
            QFAIL(qPrintable(QStringLiteral("identity changed %1: %2 / %3")
                                 .arg(QLatin1String(state), d->getDriveName(), d->getversion_number())));
    };
    check("before connect");
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    check("when connected");
    QCOMPARE(d->DisConnectDrive(), 0);
    check("after DisConnectDrive");
    QCOMPARE(d->DestroyFree(), 0);
    check("after DestroyFree");
}

void TestHost::connectParameter_data()
{
    QTest::addColumn<QString>("par");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("socketMade");   // DestroyFree then frees one

    QTest::newRow("address and port") << "127.0.0.1:5000" << 0 << true;
    QTest::newRow("lowest port") << "127.0.0.1:1" << 0 << true;
    QTest::newRow("highest port") << "127.0.0.1:65535" << 0 << true;
    QTest::newRow("no port separator") << "127.0.0.1" << -1 << false;
    QTest::newRow("two separators") << "a:b:c" << -1 << false;
    QTest::newRow("empty text") << "" << -1 << false;
    // A port that is not a decimal number from 1 to 65535 makes no socket.
    QTest::newRow("empty port") << "127.0.0.1:" << -1 << false;
    QTest::newRow("port not a number") << "127.0.0.1:abc" << -1 << false;
    QTest::newRow("port 0") << "127.0.0.1:0" << -1 << false;
    QTest::newRow("port 65536") << "127.0.0.1:65536" << -1 << false;
    QTest::newRow("port 99999") << "127.0.0.1:99999" << -1 << false;
    QTest::newRow("port -1") << "127.0.0.1:-1" << -1 << false;
    QTest::newRow("port with a sign") << "127.0.0.1:+80" << -1 << false;
    QTest::newRow("port with a space") << "127.0.0.1: 80" << -1 << false;
    // The transport makes its socket, then refuses the address.
    QTest::newRow("name, not an address") << "localhost:5000" << -1 << true;
    QTest::newRow("empty address") << ":5000" << -1 << true;
}

void TestHost::connectParameter()
{
    QFETCH(QString, par);
    QFETCH(int, result);
    QFETCH(bool, socketMade);

    Driver d;
    QCOMPARE(d->ConnectDrive(par), result);
    if (result != 0) {
        // Nobody to send to: refused at once, nothing waits for an answer.
        QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcNoSocket));
        QCOMPARE(d->WriteVariable(QStringLiteral("ID4x0"), DT_INT16, recordOf(QList<short>{1})).resultCode,
                 int(veskor::RcNoSocket));
    }
    QCOMPARE(d->DestroyFree(), socketMade ? 0 : 1);
}

void TestHost::destroyFreeResults()
{
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->DestroyFree(), 1);
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->DestroyFree(), 0);
    QCOMPARE(d->DestroyFree(), 1);
}

void TestHost::disconnectBeforeConnect()
{
    Driver d;
    QCOMPARE(d->DisConnectDrive(), 0);
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcNoSocket));
    QCOMPARE(d->WriteVariable(QStringLiteral("ID4x0"), DT_INT16, recordOf(QList<short>{1})).resultCode,
             int(veskor::RcNoSocket));
    QCOMPARE(d->DestroyFree(), 1);
}

void TestHost::readWriteBeforeConnect_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("int16") << "ID4x10" << int(DT_INT16) << 1 << listVariant(QList<short>{-3});
    QTest::newRow("double x2") << "ID1x0" << int(DT_DOUBLE) << 2 << listVariant(QList<double>{1.5, -2});
    QTest::newRow("bool x10") << "ID23x7" << int(DT_BOOL) << 10
                              << listVariant(QList<bool>{true, false, true, false, true, false, true, false, true, true});
    QTest::newRow("string") << "ID2x0" << int(DT_STRING) << 8 << listVariant(QList<QString>{"abc"});
}

void TestHost::readWriteBeforeConnect()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QVariant, value);

    Driver d;
    const CLabelVariable r = d->ReadVariable(tag, DataType(type), count);
    QCOMPARE(r.resultCode, int(veskor::RcNoSocket));
    QVERIFY(!r.value.isValid());
    QVERIFY(r.timeStamp.isNull());
    QCOMPARE(r.labelName, tag);
    QCOMPARE(r.elementCount, count);
    QCOMPARE(int(r.dataType), type);

    CLabelVariable v;
    v.value = value;
    const QDateTime callerTime(QDate(2020, 1, 3), QTime(4, 5, 6));
    v.timeStamp = callerTime;
    const CLabelVariable w = d->WriteVariable(tag, DataType(type), v, count);
    QCOMPARE(w.resultCode, int(veskor::RcNoSocket));
    QCOMPARE(w.timeStamp, callerTime);
    QCOMPARE(w.value.userType(), value.userType());
    QVERIFY(!value.value<QVariantList>().isEmpty());
    QCOMPARE(w.value.value<QVariantList>(), value.value<QVariantList>());
    QCOMPARE(w.labelName, tag);
    QCOMPARE(w.elementCount, count);
}

void TestHost::shortOverloadsAreCountOne()
{
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray::fromHex("0000aabbccdd")));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);

    const QString tag = QStringLiteral("ID4x2");
    const CLabelVariable r3 = d->ReadVariable(tag, DT_UINT16);
    const CLabelVariable r4 = d->ReadVariable(tag, DT_UINT16, 1);
    QCOMPARE(r3.resultCode, int(veskor::RcDone));
    QCOMPARE(r4.resultCode, r3.resultCode);
    QCOMPARE(r4.accessStatus, r3.accessStatus);
    QCOMPARE(listIn<unsigned short>(r3), QList<unsigned short>{0xbbaa});
    QCOMPARE(listIn<unsigned short>(r4), listIn<unsigned short>(r3));
    QCOMPARE(r4.labelName, r3.labelName);
    QCOMPARE(r4.elementCount, r3.elementCount);
    QCOMPARE(r4.dataType, r3.dataType);
    QCOMPARE(r4.auxInt, r3.auxInt);
    QCOMPARE(r4.auxText, r3.auxText);

    // Both send the same request (apart from the sequence number).
    QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), 2);
    QCOMPARE(got.at(0).bytes.left(4) + got.at(0).bytes.mid(6), got.at(1).bytes.left(4) + got.at(1).bytes.mid(6));

    peer.clearReceived();
    CLabelVariable v = recordOf(QList<unsigned short>{0x1234, 0x5678});
    v.auxInt = 42;
    v.auxText = QStringLiteral("host's");
    const CLabelVariable w3 = d->WriteVariable(tag, DT_UINT16, v);
    const CLabelVariable w4 = d->WriteVariable(tag, DT_UINT16, v, 1);
    QCOMPARE(w3.resultCode, int(veskor::RcDone));
    QCOMPARE(w4.resultCode, w3.resultCode);
    QCOMPARE(w4.accessStatus, w3.accessStatus);
    QCOMPARE(listIn<unsigned short>(w4), listIn<unsigned short>(w3));
    QCOMPARE(w4.labelName, w3.labelName);
    QCOMPARE(w4.elementCount, 1);
    QCOMPARE(w3.elementCount, 1);
    QCOMPARE(w4.dataType, w3.dataType);
    QCOMPARE(w4.auxInt, w3.auxInt);
    QCOMPARE(w4.auxText, w3.auxText);
    got = peer.received();
    QCOMPARE(got.size(), 2);
    QCOMPARE(got.at(0).bytes, got.at(1).bytes);
    QCOMPARE(got.at(0).bytes.size(), 11 + 2);
}

void TestHost::connectAgainAfterDestroyFree()
{
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray::fromHex("2a")));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));
    QCOMPARE(d->DestroyFree(), 0);
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcNoSocket));

    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable r = d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QCOMPARE(listIn<unsigned char>(r), QList<unsigned char>{0x2a});
    QCOMPARE(peer.received().size(), 2);
}

void TestHost::deviceId_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("par");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("fresh object") << false << QString() << QByteArray::fromHex("01000000");
    QTest::newRow("7") << true << "7" << QByteArray::fromHex("07000000");
    QTest::newRow("not a number") << true << "abc" << QByteArray::fromHex("00000000");
    QTest::newRow("four bytes LSB first") << true << "16909060" << QByteArray::fromHex("04030201");
}

void TestHost::deviceId()
{
    QFETCH(bool, set);
    QFETCH(QString, par);
    QFETCH(QByteArray, bytes);

    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray(2, '\0')));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    if (set)
        d->SetConnectPar(par);
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_INT16).resultCode, int(veskor::RcDone));
    QCOMPARE(peer.received().size(), 1);
    QCOMPARE(deviceIdOfLast(peer), bytes);
}

QTEST_GUILESS_MAIN(TestHost)
#include "tst_e2e_host.moc"
