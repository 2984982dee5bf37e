// The driver's UDP exchange seen from the wire: one request, one answer within
// the wait, the last of several datagrams wins, stale datagrams are dropped,
// any sender is heard, and what reconnecting and disconnecting do.
#include "E2E.h"
#include "driver/ResultCodes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <limits>
#include <malloc.h>
#include <memory>

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
    void answerMatchingTimeout_data();
    void answerMatchingTimeout();
    void closedPortFailsFast();
    void connectManyTimes();
};

void TestTransport::oneRequestOneAnswer()
{
    Driver d;
    ScriptedPeer peer;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answer(readReply(QByteArray::fromHex("7f")));
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
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

    QTest::newRow("invalid then valid") << false << int(veskor::RcDone);
    QTest::newRow("valid then invalid") << true << int(veskor::RcDevice);
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
    if (result == veskor::RcDone)
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
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, int(veskor::RcDone));
    const quint16 driverPort = peer.received().last().senderPort;

    // Arrives while no request waits; the next request must not take it.
    peer.sendUnsolicited(lookalikeAnswer('\x33'), driverPort);
    peer.silent();
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, int(veskor::RcNoAnswer));
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
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, int(veskor::RcDone));
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
        QCOMPARE(r.resultCode, int(veskor::RcDone));
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
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QCOMPARE(listIn<short>(r), QList<short>{0x1234});

    // Writes as well: any answer from anyone ends the wait.
    peer.answerFromOtherPort(fixedReply(QByteArray::fromHex("00")));
    QCOMPARE(d->WriteVariable(kTag, DT_INT16, recordOf(QList<short>{1})).resultCode, int(veskor::RcDone));
}

void TestTransport::connectAgainKeepsSocket()
{
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray::fromHex("0102")));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(kTag, DT_UINT16).resultCode, int(veskor::RcDone));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT16);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
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
    QCOMPARE(r2.resultCode, int(veskor::RcDone));
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
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, int(veskor::RcDone));
    QCOMPARE(d->DisConnectDrive(), 0);

    // A write the host believes failed must not reach the controller.
    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, int(veskor::RcNoSocket));
    QVERIFY(!r.value.isValid());
    QCOMPARE(d->WriteVariable(kTag, DT_UINT8, recordOf(QList<unsigned char>{1})).resultCode, int(veskor::RcNoSocket));

    // Connecting again opens a socket and the exchange goes on. Loopback
    // keeps order: had the refused requests gone out, the peer would have
    // seen them before this one.
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, int(veskor::RcDone));
    QCOMPARE(peer.received().size(), 2);
    QCOMPARE(d->DestroyFree(), 0);
}

namespace {

// What the controller sends for one request of a matching scenario. Every
// read answer's payload byte is the sequence number of the request it
// answers, so the value tells which request's answer was taken.
enum class Sent {
    Own,        // this request's answer, sequence echoed
    Previous,   // the answer to the request before this one
    Forged,     // this request's answer, sequence echoed, payload 0xEE
    ZeroSeq,    // this request's answer with 0 where the sequence goes
    ZeroSeqEE,  // the same with payload 0xEE
    Counter,    // this request's answer carrying the controller's own answer count
    OneByte,    // one byte
    Empty       // no bytes at all
};

struct Out {
    Sent what;
    int delayMs = 0;
    ScriptedPeer::Source from = ScriptedPeer::Source::Main;
};

struct Step {
    bool write = false;
    QList<Out> outs;
    bool together = false;      // all outs reach the driver at once
    int code = veskor::RcDone;
    int value = -1;             // the read's value; -1: none
    bool reconnectAfter = false;
};

Step read(QList<Out> outs, int code, int value = -1) { return Step{false, outs, false, code, value, false}; }
Step readTogether(QList<Out> outs, int value) { return Step{false, outs, true, veskor::RcDone, value, false}; }
Step write(QList<Out> outs, int code) { return Step{true, outs, false, code, -1, false}; }
Step reconnecting(Step s) { s.reconnectAfter = true; return s; }

QByteArray withSequence(QByteArray answer, quint16 seq)
{
    answer[4] = char(seq & 0xff);
    answer[5] = char(seq >> 8);
    return answer;
}

ScriptedPeer::Reply replyFor(Sent what, const ScriptedPeer *peer, std::shared_ptr<int> counter)
{
    return [what, peer, counter](const QByteArray &request) -> QByteArray {
        const bool isRead = request.startsWith("MR");
        const char seq = isRead ? request.at(4) : '\0';
        switch (what) {
        case Sent::Own: return readAnswer(request, QByteArray(1, seq));
        case Sent::Forged: return readAnswer(request, QByteArray(1, '\xee'));
        case Sent::Previous: {
            const QList<ScriptedPeer::Datagram> got = peer->received();
            const QByteArray before = got.at(got.size() - 2).bytes;
            return readAnswer(before, QByteArray(1, before.at(4)));
        }
        case Sent::ZeroSeq: return withSequence(readAnswer(request, QByteArray(1, seq)), 0);
        case Sent::ZeroSeqEE: return withSequence(readAnswer(request, QByteArray(1, '\xee')), 0);
        case Sent::Counter:
            ++*counter;
            return isRead ? withSequence(readAnswer(request, QByteArray(1, seq)), quint16(*counter))
                          : request.left(11);
        case Sent::OneByte: return QByteArray(1, '\x01');
        case Sent::Empty: return QByteArray();
        }
        return QByteArray();
    };
}

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

void TestTransport::answerMatchingTimeout_data()
{
    using S = ScriptedPeer::Source;
    QTest::addColumn<QList<Step>>("steps");

    // An empty datagram answers nothing, for a read nor for a write.
    QTest::newRow("an empty datagram first")
        << QList<Step>{read({{Sent::Empty}, {Sent::Own, 100}}, veskor::RcDone, 1),
                       write({{Sent::Empty}}, veskor::RcNoAnswer)};
    QTest::newRow("fresh driver: the answer to a lost read comes during the next")
        << QList<Step>{read({}, veskor::RcNoAnswer), read({{Sent::Previous}, {Sent::Own, 100}}, veskor::RcDone, 2)};
    QTest::newRow("own answer, then the previous one, back to back")
        << QList<Step>{read({{Sent::Own}}, veskor::RcDone, 1), readTogether({{Sent::Own}, {Sent::Previous}}, 2)};
    QTest::newRow("a stranger at 127.0.0.2 sends the right sequence")
        << QList<Step>{read({{Sent::Own}}, veskor::RcDone, 1),
                       read({{Sent::Forged, 0, S::Stranger}, {Sent::Own, 100}}, veskor::RcDone, 2),
                       write({{Sent::OneByte, 0, S::Stranger}}, veskor::RcNoAnswer),   // the controller never answered
                       read({{Sent::Own, 0, S::OtherPort}}, veskor::RcDone, 3)};   // any port of its address
    QTest::newRow("host reconnects after every timeout")
        << QList<Step>{read({{Sent::Own}}, veskor::RcDone, 1), reconnecting(read({}, veskor::RcNoAnswer)),
                       read({{Sent::Previous}, {Sent::Own, 100}}, veskor::RcDone, 3),
                       reconnecting(read({}, veskor::RcNoAnswer)),
                       readTogether({{Sent::Own}, {Sent::Previous}}, 5)};
    // Its count matches the sequence for three reads, then a write moves it
    // on: one read fails, and the controller is taken as one that does not echo.
    QTest::newRow("controller that counts its answers where the sequence goes")
        << QList<Step>{read({{Sent::Counter}}, veskor::RcDone, 1), read({{Sent::Counter}}, veskor::RcDone, 2),
                       read({{Sent::Counter}}, veskor::RcDone, 3), write({{Sent::Counter}}, veskor::RcDone),
                       read({{Sent::Counter}}, veskor::RcNoAnswer), read({{Sent::Counter}}, veskor::RcDone, 5),
                       read({{Sent::Counter}}, veskor::RcDone, 6)};
    // Nothing tells its answers apart: the last of those pending together counts.
    QTest::newRow("controller that never echoes")
        << QList<Step>{read({{Sent::ZeroSeq}}, veskor::RcDone, 1), readTogether({{Sent::ZeroSeqEE}, {Sent::ZeroSeq}}, 2),
                       readTogether({{Sent::ZeroSeq}, {Sent::ZeroSeqEE}}, 0xee)};
}

void TestTransport::answerMatchingTimeout()
{
    QFETCH(QList<Step>, steps);

    Driver d;
    ScriptedPeer peer;
    auto counter = std::make_shared<int>(0);
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    for (int i = 0; i < steps.size(); ++i) {
        const Step &step = steps.at(i);
        QList<ScriptedPeer::Send> sends;
        for (const Out &o : step.outs)
            sends.append(ScriptedPeer::Send{replyFor(o.what, &peer, counter), o.delayMs, o.from});
        peer.answerWith(sends, step.together);

        const CLabelVariable r = step.write
            ? d->WriteVariable(kTag, DT_UINT8, recordOf(QList<unsigned char>{7}))
            : d->ReadVariable(kTag, DT_UINT8);
        const QString where = QStringLiteral("step %1").arg(i + 1);
        QVERIFY2(r.resultCode == step.code,
                 qPrintable(where + QStringLiteral(": code %1, want %2").arg(r.resultCode).arg(step.code)));
        if (step.value >= 0) {
            const QList<unsigned char> got = listIn<unsigned char>(r);
            QVERIFY2(got == QList<unsigned char>{uchar(step.value)},
                     qPrintable(where + QStringLiteral(": value %1, want %2").arg(listText(r.value)).arg(step.value)));
        }
        if (step.reconnectAfter) {
            QCOMPARE(d->DisConnectDrive(), 0);
            QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
        }
    }
    // The socket stays bound through timeouts and reconnects: one source port.
    const QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), steps.size());
    for (const ScriptedPeer::Datagram &g : got)
        QCOMPARE(g.senderPort, got.first().senderPort);
}

void TestTransport::closedPortFailsFast()
{
    // A port nobody listens on: the host answers with ICMP port-unreachable.
    quint16 closedPort = 0;
    {
        ScriptedPeer gone;
        closedPort = gone.port();
    }
    Driver d;
    QCOMPARE(d->ConnectDrive(QStringLiteral("127.0.0.1:%1").arg(closedPort)), 0);
    qint64 fastest = std::numeric_limits<qint64>::max();
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer t;
        t.start();
        const CLabelVariable r = i == 2 ? d->WriteVariable(kTag, DT_UINT8, recordOf(QList<unsigned char>{1}))
                                        : d->ReadVariable(kTag, DT_UINT8);
        fastest = qMin(fastest, t.elapsed());
        QCOMPARE(r.resultCode, int(veskor::RcNoAnswer));
    }
    QVERIFY2(fastest < 50, qPrintable(QStringLiteral("fastest refusal took %1 ms").arg(fastest)));
}

namespace {

// Bytes in use on the C library's heap. Under valgrind or a sanitizer, whose
// allocators stand in for it, this stays put and the check below is void:
// their own books and quarantines would make the resident size meaningless.
qint64 heapInUse()
{
    return qint64(mallinfo2().uordblks);
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

} // namespace

void TestTransport::connectManyTimes()
{
    // Hosts reconnect after every timeout: a long-running panel calls
    // ConnectDrive without end, and nothing may pile up.
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray::fromHex("42")));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(kTag, DT_UINT8).resultCode, int(veskor::RcDone));
    const int fds = openDescriptors();
    const qint64 heap = heapInUse();

    int refused = 0;
    for (int i = 0; i < 100000; ++i)
        refused += d->ConnectDrive(peer.endpoint()) != 0;
    QCOMPARE(refused, 0);

    const CLabelVariable r = d->ReadVariable(kTag, DT_UINT8);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QCOMPARE(listIn<unsigned char>(r), QList<unsigned char>{0x42});
    QCOMPARE(openDescriptors(), fds);
    const qint64 grown = heapInUse() - heap;
    QVERIFY2(grown < 64 * 1024, qPrintable(QStringLiteral("the heap grew by %1 bytes").arg(grown)));
    const QList<ScriptedPeer::Datagram> got = peer.received();
    QCOMPARE(got.size(), 2);
    QCOMPARE(got.at(1).senderPort, got.at(0).senderPort);
}

QTEST_GUILESS_MAIN(TestTransport)
#include "tst_e2e_transport.moc"
