// Which datagram answers which request when a host switches one driver object
// between two controllers, when a stranger forges answers, and with
// controllers that echo less than the simulator does: one that counts its
// answers where the sequence goes, and one that copies the area code but not
// the sequence.
//
// Each row is a script of requests to two scripted controllers, A and B, on
// 127.0.0.1 (another port each). Every read's own answer carries a value of
// its own (0x10 + the step's index), so a value taken from another request's
// answer shows; forged answers carry 0xEE.
#include "E2E.h"
#include "driver/ResultCodes.h"

#include <QtTest>

#include <memory>

using namespace e2e;

namespace {

using Source = ScriptedPeer::Source;

// What one datagram of the script is.
enum class Sent {
    Echo,     // read: the request whole, then the value; write: the request's 11-byte header
    NoSeq,    // read: as Echo with 0 where the sequence goes (area code and device id copied)
    OneArea,  // read: as NoSeq, with the area code of the controller's first request in every answer
    Counter,  // read: as Echo with the controller's own answer count (from 1) where the sequence goes
    OneByte,  // one byte, as a controller that does not copy the header acknowledges a write
    Forged    // read: the request with its sequence plus `guess`, then 0xEE; write: the header
};

struct Out {
    Sent what = Sent::Echo;
    int delayMs = 0;
    Source from = Source::Main;
    int of = -1;       // the step whose request this datagram answers; -1: this one
    int gate = -1;     // sent once the request of that step has reached its controller
    int guess = 0;
};

Out echo(Sent what = Sent::Echo, int delayMs = 0)
{
    Out o;
    o.what = what;
    o.delayMs = delayMs;
    return o;
}

// This request's answer, sent once the request of step `gate` (to the other
// controller, or to this one later) has been received: after the wait.
Out lateUntil(Sent what, int gate)
{
    Out o = echo(what);
    o.gate = gate;
    return o;
}

// The answer of an earlier step's request, sent again now.
Out answerOf(Sent what, int step)
{
    Out o = echo(what);
    o.of = step;
    return o;
}

// What a stranger at 127.0.0.2 sends for one request: read answers with the
// sequence guessed around the right one, or a write's header and a byte.
QList<Out> flood(bool write)
{
    QList<Out> outs;
    if (write) {
        for (Sent s : {Sent::Forged, Sent::OneByte}) {
            Out o = echo(s);
            o.from = Source::Stranger;
            outs << o;
        }
        return outs;
    }
    for (int guess : {-1, 0, 1, 2}) {
        Out o = echo(Sent::Forged);
        o.from = Source::Stranger;
        o.guess = guess;
        outs << o;
    }
    return outs;
}

enum class Want {
    Value,          // code 0 and this read's own value
    NoAnswer,       // code 8
    Done,           // a write: code 0
    ValueOrNoAnswer // code 0 and the own value, or 8 (counted against the row's allowance)
};

struct Step {
    int peer = 0;      // 0: A, 1: B; a change of controller is a ConnectDrive
    bool write = false;
    int area = 4;      // a read is of ID<area>x0, a write of ID<area>x<step>
    QList<Out> outs;
    bool together = false;   // all outs reach the driver at once
    Want want = Want::Value;
};

Step read(QList<Out> outs, Want want = Want::Value)
{
    Step s;
    s.outs = outs;
    s.want = want;
    return s;
}

Step write(QList<Out> outs, Want want)
{
    Step s = read(outs, want);
    s.write = true;
    return s;
}

Step atB(Step s) { s.peer = 1; return s; }
Step ofArea(int area, Step s) { s.area = area; return s; }
Step together(Step s) { s.together = true; return s; }

char valueOf(int step)
{
    return char(0x10 + step);
}

QByteArray withSequence(QByteArray frame, quint16 seq)
{
    frame[4] = char(seq & 0xff);
    frame[5] = char(seq >> 8);
    return frame;
}

quint16 sequenceOf(const QByteArray &frame)
{
    return quint16(uchar(frame.at(4)) | uchar(frame.at(5)) << 8);
}

// The datagram `what` for `request`, whose own value is `value`.
QByteArray datagram(Sent what, const QByteArray &request, char value, int guess, const ScriptedPeer *peer,
                    int *counter)
{
    const bool isRead = request.startsWith("MR");
    switch (what) {
    case Sent::Echo: return isRead ? readAnswer(request, QByteArray(1, value)) : request.left(11);
    case Sent::NoSeq: return isRead ? withSequence(readAnswer(request, QByteArray(1, value)), 0) : request.left(11);
    case Sent::OneArea: {
        QByteArray a = withSequence(readAnswer(request, QByteArray(1, value)), 0);
        a.replace(8, 4, peer->received().first().bytes.mid(8, 4));
        return a;
    }
    case Sent::Counter:
        ++*counter;
        return isRead ? withSequence(readAnswer(request, QByteArray(1, value)), quint16(*counter))
                      : request.left(11);
    case Sent::OneByte: return QByteArray(1, '\x01');
    case Sent::Forged:
        return isRead ? withSequence(readAnswer(request, QByteArray(1, '\xee')), quint16(sequenceOf(request) + guess))
                      : request.left(11);
    }
    return QByteArray();
}

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestMatching : public QObject
{
    Q_OBJECT

private slots:
    void wrongAnswersPassedOverTimeout_data();
    void wrongAnswersPassedOverTimeout();
};

void TestMatching::wrongAnswersPassedOverTimeout_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<int>("allowance");   // steps ValueOrNoAnswer may end in 8

    const Want NoAnswer = Want::NoAnswer, Done = Want::Done;
    const Want Either = Want::ValueOrNoAnswer;

    // A's answer to a read that timed out comes while the driver, switched
    // to B, waits for B's slower answer.
    QTest::newRow("switching: A's late read answer during B's read")
        << QList<Step>{read({echo()}), read({lateUntil(Sent::Echo, 2)}, NoAnswer),
                       atB(read({echo(Sent::Echo, 300)}, Either)), atB(read({echo()}))}
        << 1;
    // Neither echoes the sequence: only where A's answer comes from tells it.
    QTest::newRow("switching: A's late answer without an echo during B's read")
        << QList<Step>{read({echo(Sent::NoSeq)}), read({lateUntil(Sent::NoSeq, 2)}, NoAnswer),
                       atB(read({echo(Sent::NoSeq, 300)}, Either)), atB(read({echo(Sent::NoSeq)}))}
        << 1;
    QTest::newRow("switching: A's late write acknowledgement while B loses the write")
        << QList<Step>{write({echo()}, Done), write({lateUntil(Sent::Echo, 2)}, NoAnswer),
                       atB(write({}, NoAnswer)), atB(read({echo()}))}
        << 0;
    // Back on A after B, A's answer to the read that timed out comes first.
    QTest::newRow("switching back: A's late answer after a read of B")
        << QList<Step>{read({echo()}), read({}, NoAnswer), atB(read({echo()})),
                       read({answerOf(Sent::Echo, 1), echo(Sent::Echo, 300)}, Either)}
        << 1;

    // The stranger's datagrams come first, from the very first request on;
    // the controller's, if any, 200 ms later.
    QTest::newRow("a stranger at 127.0.0.2 forges answers while the controller loses some")
        << QList<Step>{read(flood(false) << echo(Sent::Echo, 200)), read(flood(false), NoAnswer),
                       read(flood(false) << echo(Sent::Echo, 200)), write(flood(true), NoAnswer),
                       write(flood(true) << echo(Sent::Echo, 200), Done),
                       read(flood(false) << echo(Sent::Echo, 200))}
        << 0;

    // Its count is the sequence until a request is lost; from then on its
    // answers carry the number of the request before.
    QTest::newRow("controller that counts its answers, one request lost")
        << QList<Step>{read({echo(Sent::Counter)}), read({echo(Sent::Counter)}), read({echo(Sent::Counter)}),
                       read({}, NoAnswer), read({echo(Sent::Counter)}, Either), read({echo(Sent::Counter)}, Either),
                       read({echo(Sent::Counter)}, Either), read({echo(Sent::Counter)}, Either),
                       read({echo(Sent::Counter)}, Either)}
        << 2;

    // After reads of two areas, the answer to the ID4x read again, first
    // alone and then right behind the own answer of a later ID4x read.
    QTest::newRow("controller that copies the area code, not the sequence: another area's answer again")
        << QList<Step>{ofArea(4, read({echo(Sent::NoSeq)})), ofArea(5, read({echo(Sent::NoSeq)})),
                       ofArea(4, read({echo(Sent::NoSeq)})),
                       ofArea(5, read({answerOf(Sent::NoSeq, 2), echo(Sent::NoSeq, 200)})),
                       together(ofArea(4, read({echo(Sent::NoSeq), answerOf(Sent::NoSeq, 3)})))}
        << 0;
    // Nothing to learn from an area code that never changes: every answer counts.
    QTest::newRow("controller that puts one area code in every answer")
        << QList<Step>{ofArea(4, read({echo(Sent::OneArea)})), ofArea(5, read({echo(Sent::OneArea)})),
                       ofArea(4, read({echo(Sent::OneArea)})), ofArea(5, read({echo(Sent::OneArea)}))}
        << 0;
}

void TestMatching::wrongAnswersPassedOverTimeout()
{
    QFETCH(QList<Step>, steps);
    QFETCH(int, allowance);

    Driver d;
    ScriptedPeer a;
    ScriptedPeer b;
    ScriptedPeer *const peers[2] = {&a, &b};
    auto counter = std::make_shared<int>(0);

    // How many requests each controller has received once a step's request is in.
    QVector<int> receivedBy(steps.size());
    int sentTo[2] = {0, 0};
    for (int i = 0; i < steps.size(); ++i)
        receivedBy[i] = ++sentTo[steps.at(i).peer];

    QVector<QByteArray> requests(steps.size());
    int current = -1;
    int lateCosts = 0;           // ValueOrNoAnswer steps that ended in 8
    bool readAgain = false;      // a ValueOrNoAnswer step gave its value
    for (int i = 0; i < steps.size(); ++i) {
        const Step &step = steps.at(i);
        ScriptedPeer *peer = peers[step.peer];
        const QString where = QStringLiteral("step %1").arg(i);
        if (step.peer != current) {
            QCOMPARE(d->ConnectDrive(peer->endpoint()), 0);
            current = step.peer;
        }

        QList<ScriptedPeer::Send> sends;
        for (const Out &o : step.outs) {
            const int of = o.of < 0 ? i : o.of;
            const QByteArray earlier = o.of < 0 ? QByteArray() : requests.at(o.of);
            ScriptedPeer *gatePeer = o.gate < 0 ? nullptr : peers[steps.at(o.gate).peer];
            const int gateCount = o.gate < 0 ? 0 : receivedBy.at(o.gate);
            const Out out = o;
            ScriptedPeer::Reply reply = [=](const QByteArray &request) {
                if (gatePeer && !gatePeer->waitForReceived(gateCount, 5000))
                    qWarning("step %d: the request the late answer waits for did not come", of);
                return datagram(out.what, earlier.isEmpty() ? request : earlier, valueOf(of), out.guess,
                                peer, counter.get());
            };
            sends.append(ScriptedPeer::Send{reply, o.delayMs, o.from});
        }
        peer->answerWith(sends, step.together);

        // Each write its own address, so that no two writes share a header.
        const QString tag = QStringLiteral("ID%1x%2").arg(step.area).arg(step.write ? i : 0);
        const CLabelVariable r = step.write ? d->WriteVariable(tag, DT_UINT8, recordOf(QList<unsigned char>{7}))
                                            : d->ReadVariable(tag, DT_UINT8);
        QVERIFY2(peer->waitForReceived(receivedBy.at(i), 5000), qPrintable(where + QStringLiteral(": no request")));
        requests[i] = peer->received().at(receivedBy.at(i) - 1).bytes;

        const bool ownValue = r.resultCode == veskor::RcDone
                              && listIn<unsigned char>(r) == QList<unsigned char>{uchar(valueOf(i))};
        const QString got = step.write ? QStringLiteral(": code %1").arg(r.resultCode)
                                       : QStringLiteral(": code %1, value %2").arg(r.resultCode).arg(listText(r.value));
        switch (step.want) {
        case Want::Value:
            QVERIFY2(ownValue, qPrintable(where + got + QStringLiteral(", want 0 and %1").arg(int(valueOf(i)))));
            break;
        case Want::NoAnswer:
            QVERIFY2(r.resultCode == veskor::RcNoAnswer, qPrintable(where + got + QStringLiteral(", want 8")));
            break;
        case Want::Done:
            QVERIFY2(r.resultCode == veskor::RcDone, qPrintable(where + got + QStringLiteral(", want 0")));
            break;
        case Want::ValueOrNoAnswer:
            QVERIFY2(ownValue || r.resultCode == veskor::RcNoAnswer,
                     qPrintable(where + got + QStringLiteral(", want 8 or 0 and %1").arg(int(valueOf(i)))));
            if (r.resultCode == veskor::RcNoAnswer) {
                QVERIFY2(!readAgain, qPrintable(where + QStringLiteral(": 8 after the controller was read again")));
                QVERIFY2(++lateCosts <= allowance,
                         qPrintable(where + QStringLiteral(": %1 reads ended in 8, at most %2 may").arg(lateCosts).arg(allowance)));
            } else {
                readAgain = true;
            }
            break;
        }
    }

    // Each controller got its requests and no other; the sequence counts on
    // across ConnectDrive.
    QCOMPARE(a.received().size(), sentTo[0]);
    QCOMPARE(b.received().size(), sentTo[1]);
    int previous = -1;
    for (const QByteArray &request : requests) {
        if (!request.startsWith("MR"))
            continue;
        if (previous >= 0)
            QCOMPARE(int(sequenceOf(request)), (previous + 1) & 0xffff);
        previous = sequenceOf(request);
    }
}

QTEST_GUILESS_MAIN(TestMatching)
#include "tst_e2e_matching.moc"
