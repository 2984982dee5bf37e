// The driver's UDP exchange seen from the wire: one request, one answer within
// the wait, the last of several datagrams wins, stale datagrams are dropped,
// any sender is heard, and what reconnecting and disconnecting do.
#include "E2E.h"

#include <QtTest>

using namespace e2e;

namespace {

const QString kTag = QStringLiteral("ID4x0");

// A read answer with the request's echo broken.
ScriptedPeer::Reply wrongEcho(const QByteArray &payload)
{
    return [payload](const QByteArray &request) {
        QByteArray a = readAnswer(request, payload);
        a[13] = char(a.at(13) ^ 0x5a);
        return a;
    };
}

// A datagram that looks like a valid answer to any one-byte read of this
// object (device id 1): 'M', echo bytes 12..14, payload byte 0 = value.
QByteArray lookalikeAnswer(char value)
{
    QByteArray a = QByteArray::fromHex("4d520e0063001e003000820001000000");
    a.append(value);
    return a;
}

// A read answer whose sequence number (bytes 4..5) is the one of the request
// before: a late answer to the previous read.
ScriptedPeer::Reply previousSequence(const QByteArray &payload)
{
    return [payload](const QByteArray &request) {
        QByteArray a = readAnswer(request, payload);
        const quint16 seq = quint16(uchar(a.at(4)) | uchar(a.at(5)) << 8) - 1;
        a[4] = char(seq & 0xff);
        a[5] = char(seq >> 8);
        return a;
    };
}

// A controller that puts 0 where others echo the sequence number.
ScriptedPeer::Reply noSequenceEcho(const QByteArray &payload)
{
    return [payload](const QByteArray &request) {
        QByteArray a = readAnswer(request, payload);
        a[4] = 0;
        a[5] = 0;
        return a;
    };
}

} // namespace

class TestTransport : public QObject
{
    Q_OBJECT

private slots:
    void oneRequestOneAnswer();
    void lastOfTwoAnswersCounts_data();
    void lastOfTwoAnswersCounts();
    void staleDatagramWithSilentPeerTimeout();
    void staleDatagramIsNotTheAnswer_data();
    void staleDatagramIsNotTheAnswer();
    void answerFromAnotherPort();
    void connectAgainKeepsSocket();
    void nothingSentAfterDisconnect();
    void answerToAnEarlierRequestIsPassedOver();
    void controllerWithoutSequenceEcho();
};

void TestTransport::oneRequestOneAnswer()
{
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answer(readReply(QByteArray::fromHex("7f")));
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, 0);
    QCOMPARE(listIn<unsigned char>(r), QList<unsigned char>{0x7f});
    const QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.at(0).bytes.size(), 16);
    QVERIFY(got.at(0).senderPort != 0);
}

void TestTransport::lastOfTwoAnswersCounts_data()
{
    QTest::addColumn<bool>("firstValid");
    QTest::addColumn<int>("result");

    QTest::newRow("invalid then valid") << false << 0;
    QTest::newRow("valid then invalid") << true << 7;
}

void TestTransport::lastOfTwoAnswersCounts()
{
    QFETCH(bool, firstValid);
    QFETCH(int, result);

    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const QByteArray firstPayload = QByteArray::fromHex("11");
    const QByteArray secondPayload = QByteArray::fromHex("22");
    if (firstValid)
        peer.answerTogether({readReply(firstPayload), wrongEcho(secondPayload)});
    else
        peer.answerTogether({wrongEcho(firstPayload), readReply(secondPayload)});

    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, result);
    if (result == 0)
        QCOMPARE(listIn<unsigned char>(r), QList<unsigned char>{0x22});
    else
        QVERIFY(!r.value.isValid());
    QCOMPARE(peer.received().size(), 1);
}

void TestTransport::staleDatagramWithSilentPeerTimeout()
{
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answer(readReply(QByteArray::fromHex("01")));
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, 0);
    const quint16 driverPort = peer.received().last().senderPort;

    // Arrives while no request waits; the next request must not take it.
    peer.sendUnsolicited(lookalikeAnswer('\x33'), driverPort);
    peer.silent();
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, 8);
    QVERIFY(!r.value.isValid());
    QCOMPARE(peer.received().size(), 2);
}

void TestTransport::staleDatagramIsNotTheAnswer_data()
{
    QTest::addColumn<bool>("duplicate");

    QTest::newRow("unsolicited datagram") << false;
    QTest::newRow("second copy of the previous answer") << true;
}

void TestTransport::staleDatagramIsNotTheAnswer()
{
    QFETCH(bool, duplicate);

    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    if (duplicate)
        peer.answerTimes(readReply(QByteArray::fromHex("33")), 2);
    else
        peer.answer(readReply(QByteArray::fromHex("01")));
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, 0);
    const quint16 driverPort = peer.received().last().senderPort;
    if (!duplicate)
        peer.sendUnsolicited(lookalikeAnswer('\x33'), driverPort);
    // Both are at the driver's socket before its next request: the copy came
    // too late for the first wait, or with the first answer.
    QVERIFY(peer.waitForSent(2, 5000));

    for (int i = 0; i < 3; ++i) {
        const char fresh = char(0x40 + i);
        peer.answerAfter(readReply(QByteArray(1, fresh)), 100);
        const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
        QCOMPARE(r.resultCode, 0);
        QCOMPARE(listIn<unsigned char>(r), QList<unsigned char>{uchar(fresh)});
    }
    QCOMPARE(peer.received().size(), 4);
}

void TestTransport::answerFromAnotherPort()
{
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answerFromOtherPort(readReply(QByteArray::fromHex("3412")));
    const CLabelVariable r = d->ReadVariable(kTag, DT_INT16);
    QCOMPARE(r.resultCode, 0);
    QCOMPARE(listIn<short>(r), QList<short>{0x1234});

    // Writes as well: any answer from anyone ends the wait.
    peer.answerFromOtherPort(fixedReply(QByteArray::fromHex("00")));
    QCOMPARE(d->WriteVariable(kTag, DT_INT16, recordOf(QList<short>{1})).resultCode, 0);
}

void TestTransport::connectAgainKeepsSocket()
{
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray::fromHex("0102")));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(kTag, DT_UINT16).resultCode, 0);
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT16);
    QCOMPARE(r.resultCode, 0);
    QCOMPARE(listIn<unsigned short>(r), QList<unsigned short>{0x0201});

    const QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), 2);
    QCOMPARE(got.at(1).senderPort, got.at(0).senderPort);   // the same socket
    QCOMPARE(got.at(1).bytes.mid(4, 2), QByteArray::fromHex("0200"));

    // A new peer address on the same socket.
    ScriptedPeer other;
    other.setDefault(readReply(QByteArray::fromHex("0304")));
    QCOMPARE(d->ConnectDrive(other.endpoint()), 0);
    const CLabelVariable r2 = d->ReadVariable(kTag, DT_UINT16);
    QCOMPARE(r2.resultCode, 0);
    QCOMPARE(listIn<unsigned short>(r2), QList<unsigned short>{0x0403});
    QCOMPARE(other.received().size(), 1);
    QCOMPARE(other.received().at(0).senderPort, got.at(0).senderPort);
    QCOMPARE(peer.received().size(), 2);
}

void TestTransport::nothingSentAfterDisconnect()
{
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray::fromHex("55")));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, 0);
    QCOMPARE(d->DisConnectDrive(), 0);

    // A write the host believes failed must not reach the controller.
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, 9);
    QVERIFY(!r.value.isValid());
    QCOMPARE(d->WriteVariable(kTag, DT_UINT8, recordOf(QList<unsigned char>{1})).resultCode, 9);

    // Connecting again opens a socket and the exchange goes on. Loopback
    // keeps order: had the refused requests gone out, the peer would have
    // seen them before this one.
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, 0);
    QCOMPARE(peer.received().size(), 2);
    QCOMPARE(d->DestroyFree(), 0);
}

QTEST_GUILESS_MAIN(TestTransport)

void TestTransport::answerToAnEarlierRequestIsPassedOver()
{
    // Once the controller has echoed the sequence number three times, an
    // answer with another sequence number cannot answer this read, even when
    // it comes last.
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    for (int i = 0; i < 3; ++i)
        peer.answer(readReply(QByteArray::fromHex("01")));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, 0);

    peer.answerTogether({readReply(QByteArray::fromHex("22")), previousSequence(QByteArray::fromHex("11"))});
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, 0);
    QCOMPARE(listIn<unsigned char>(r), QList<unsigned char>{0x22});
}

void TestTransport::controllerWithoutSequenceEcho()
{
    // A controller that does not echo the sequence number is answered as
    // before: whatever bytes 4..5 hold, the last datagram of the wait counts.
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    for (int i = 0; i < 5; ++i)
        peer.answer(noSequenceEcho(QByteArray::fromHex("01")));
    for (int i = 0; i < 5; ++i)
        QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, 0);

    peer.answerTogether({noSequenceEcho(QByteArray::fromHex("22")), noSequenceEcho(QByteArray::fromHex("33"))});
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, 0);
    QCOMPARE(listIn<unsigned char>(r), QList<unsigned char>{0x33});
}

#include "tst_e2e_transport.moc"
