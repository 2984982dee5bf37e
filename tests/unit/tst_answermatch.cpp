// Which datagram answers which request, without a socket.
#include <QtTest>

#include "AnswerMatch.h"
#include "Frames.h"

using namespace veskor;

namespace {
RequestView viewOf(const QByteArray &request)
{
    return RequestView::of(request.constData(), request.size());
}
} // namespace

namespace {

const QByteArray kRead = buildReadRequest(5, 0x30008200u, 1);    // sequence 5
const QByteArray kWrite = buildWriteRequest(0x30008200u, 12, 2, QByteArray("\x01\x02", 2));
const QByteArray kOtherWrite = buildWriteRequest(0x30008200u, 14, 2, QByteArray(2, '\0'));

QByteArray readAnswerWithSequence(quint16 seq)
{
    QByteArray a = buildReadRequest(seq, 0x30008200u, 1);
    a.append('\x7f');
    return a;
}

PeerKey peerKey(quint8 last, quint16 port)
{
    PeerKey k;
    k.family = 2;
    k.address = {{127, 0, 0, last}};
    k.port = port;
    return k;
}

const PeerKey kPeer = peerKey(1, 5000);
const PeerKey kFormer = peerKey(1, 5001);

// What is known as a short text: "s" echoes
// the sequence, "h" echoes the write header, "n" its sequence field names
// nothing, "c" copies area codes, "w" kWrite went unanswered, a number an
// unanswered read sequence, "r" and a number a read sent, "a" and a number a read
// answered, "W" kOtherWrite sent; "f" before a number or "w": sent to the former
// peer (127.0.0.1:5001) before the current one (127.0.0.1:5000).
struct Known {
    PeerHabits habits;
    SentRecord sent;
};

Known knownOf(const QString &text)
{
    Known k;
    k.sent.talkTo(kFormer);
    k.sent.talkTo(kPeer);
    for (QString part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const bool former = part.startsWith(QLatin1Char('f'));
        if (former) {
            part = part.mid(1);
            k.sent.talkTo(kFormer);
        }
        if (part == QLatin1String("s"))
            k.habits.echoesSequence = true;
        else if (part == QLatin1String("h"))
            k.habits.echoesWriteHeader = true;
        else if (part == QLatin1String("n"))
            k.habits.sequenceNamesNothing = true;
        else if (part == QLatin1String("c"))
            k.habits.copiesAreaCode = true;
        else if (part == QLatin1String("W"))
            k.sent.requestSent(viewOf(kOtherWrite));
        else if (part == QLatin1String("w"))
            k.sent.requestUnanswered(viewOf(kWrite), 0);
        else if (part.startsWith(QLatin1Char('r')) || part.startsWith(QLatin1Char('a'))) {
            const QByteArray r = buildReadRequest(quint16(part.mid(1).toUInt()), 0x30008200u, 1);
            k.sent.requestSent(viewOf(r));
            if (part.startsWith(QLatin1Char('a')))
                k.sent.requestAnswered(viewOf(r));
        } else {
            const QByteArray r = buildReadRequest(quint16(part.toUInt()), 0x30008200u, 1);
            k.sent.requestUnanswered(viewOf(r), 0);
        }
        if (former)
            k.sent.talkTo(kPeer);
    }
    return k;
}

} // namespace

class TestAnswerMatch : public QObject
{
    Q_OBJECT

private slots:
    void judge_data();
    void judge();
    void learning_data();
    void learning();
    void habitsOverExchanges();
    void unansweredBelongsToTheSocket();
    void recentReads();
};

void TestAnswerMatch::judge_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("known");
    QTest::addColumn<int>("verdict");

    const int peer = int(Origin::Peer), stranger = int(Origin::Stranger), former = int(Origin::FormerPeer);
    const int answer = int(Verdict::Answer);
    const int foreign = int(Verdict::ForeignAddress);
    QTest::newRow("empty") << kRead << QByteArray() << peer << "" << int(Verdict::Empty);
    QTest::newRow("nothing learned: it, any sequence")
        << kRead << readAnswerWithSequence(9) << peer << "" << answer;
    QTest::newRow("nothing learned: another port of its address")
        << kRead << readAnswerWithSequence(9) << int(Origin::PeerAddress) << "" << answer;
    QTest::newRow("nothing learned: a stranger with the right sequence")
        << kRead << readAnswerWithSequence(5) << stranger << "" << foreign;
    QTest::newRow("nothing learned: a stranger acknowledging a write")
        << kWrite << kWrite.left(11) << stranger << "" << foreign;
    QTest::newRow("nothing learned: another controller talked to before")
        << kRead << readAnswerWithSequence(5) << former << "" << foreign;
    QTest::newRow("answer to a read that timed out")
        << kRead << readAnswerWithSequence(3) << peer << "3" << int(Verdict::Late);
    QTest::newRow("answer to a read that timed out at another controller, from another port")
        << kRead << readAnswerWithSequence(3) << int(Origin::PeerAddress) << "f3" << int(Verdict::Late);
    QTest::newRow("answer to a read that timed out at another controller, from this one's port")
        << kRead << readAnswerWithSequence(3) << peer << "f3" << answer;
    QTest::newRow("answer to a read that timed out, during a write")
        << kWrite << readAnswerWithSequence(3) << peer << "3" << int(Verdict::Late);
    QTest::newRow("sequence field names nothing: its own earlier read")
        << kRead << readAnswerWithSequence(3) << peer << "n 3" << answer;
    QTest::newRow("sequence field names nothing: a read to another controller")
        << kRead << readAnswerWithSequence(3) << int(Origin::PeerAddress) << "n f3" << int(Verdict::Late);
    QTest::newRow("copied header of a write that timed out, during a read")
        << kRead << kWrite.left(11) << peer << "w" << int(Verdict::Late);
    // The first write's late answer cannot be told from this one's.
    QTest::newRow("the same write again after it timed out")
        << kWrite << kWrite.left(11) << peer << "w" << int(Verdict::Late);
    QTest::newRow("the same write, timed out at another controller: from another port")
        << kWrite << kWrite.left(11) << int(Origin::PeerAddress) << "fw" << int(Verdict::Late);
    QTest::newRow("the same write, timed out at another controller: from this one's port")
        << kWrite << kWrite.left(11) << peer << "fw" << answer;
    QTest::newRow("nothing learned: a copy of a read's answer, during a write")
        << kWrite << readAnswerWithSequence(3) << peer << "r3" << int(Verdict::Late);
    QTest::newRow("nothing learned: a read answer with a sequence never sent, during a write")
        << kWrite << readAnswerWithSequence(4) << peer << "r3" << answer;
    QTest::newRow("not a read answer, bytes 4-5 as a timed-out sequence")
        << kRead << QByteArray("\x02\x01\x01\x00\x03\x00", 6) << peer << "3" << answer;
    QTest::newRow("echoes the sequence: another one")
        << kRead << readAnswerWithSequence(4) << peer << "s" << int(Verdict::NoEcho);
    QTest::newRow("echoes the sequence: a copy of an answered read's answer")
        << kRead << readAnswerWithSequence(4) << peer << "s a4" << int(Verdict::Late);
    QTest::newRow("echoes the sequence: 0, a read 0 answered")
        << kRead << readAnswerWithSequence(0) << peer << "s a0" << int(Verdict::NoEcho);
    QTest::newRow("echoes the sequence: a read sent, not answered")
        << kRead << readAnswerWithSequence(4) << peer << "s r4" << int(Verdict::NoEcho);
    QTest::newRow("echoes the sequence: a write's acknowledgement")
        << kRead << kWrite.left(11) << peer << "s" << int(Verdict::Late);
    QTest::newRow("echoes the sequence: an answer cut before it")
        << kRead << readAnswerWithSequence(4).left(5) << peer << "s" << answer;
    QTest::newRow("copies area codes: another area")
        << kRead << buildReadRequest(9, 0x30008300u, 1) << peer << "c" << int(Verdict::OtherArea);
    QTest::newRow("copies area codes: this area") << kRead << readAnswerWithSequence(9) << peer << "c" << answer;
    QTest::newRow("echoes the write header: another header")
        << kWrite << buildWriteRequest(0x30008200u, 14, 2, QByteArray(2, '\0')).left(11) << peer << "h"
        << int(Verdict::NoEcho);
    QTest::newRow("echoes the write header: the header of another write sent")
        << kWrite << kOtherWrite.left(11) << peer << "h W" << int(Verdict::Late);
    QTest::newRow("echoes the write header: a cut copy") << kWrite << kWrite.left(1) << peer << "h" << answer;
    QTest::newRow("echoes the write header: one other byte")
        << kWrite << QByteArray(1, '\x01') << peer << "h" << int(Verdict::NoEcho);
    QTest::newRow("echoes the write header: a read answer with a sequence never sent")
        << kWrite << readAnswerWithSequence(4) << peer << "h" << int(Verdict::Late);
}

void TestAnswerMatch::judge()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, datagram);
    QFETCH(int, from);
    QFETCH(QString, known);
    QFETCH(int, verdict);

    Known k = knownOf(known);
    k.sent.requestSent(viewOf(request));   // as the exchange does
    const Verdict got = judgeDatagram(viewOf(request), datagram.constData(),
                                      datagram.size(), Origin(from), k.habits, k.sent);
    QCOMPARE(QString::fromLatin1(verdictName(got)), QString::fromLatin1(verdictName(Verdict(verdict))));
}

void TestAnswerMatch::learning_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("learned");

    const int peer = int(Origin::Peer);
    QTest::newRow("read echoed, from its address") << kRead << readAnswerWithSequence(5) << peer << "s";
    QTest::newRow("read echoed, from a stranger: teaches nothing")
        << kRead << readAnswerWithSequence(5) << int(Origin::Stranger) << "";
    // Zeros where the sequence goes are what many non-echoing controllers send.
    QTest::newRow("sequence 0 echoed") << buildReadRequest(0, 0x30008200u, 1) << readAnswerWithSequence(0)
                                       << peer << "";
    QTest::newRow("read answered with another sequence") << kRead << readAnswerWithSequence(9) << peer << "n";
    QTest::newRow("read answered with sequence 0") << kRead << readAnswerWithSequence(0) << peer << "";
    QTest::newRow("write header echoed") << kWrite << kWrite.left(11) << peer << "h";
    QTest::newRow("write header cut") << kWrite << kWrite.left(10) << peer << "";
}

void TestAnswerMatch::learning()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(int, from);
    QFETCH(QString, learned);

    PeerHabits h;
    learnFromAnswer(h, viewOf(request), answer.constData(), answer.size(), Origin(from));
    QStringList got;
    if (h.echoesSequence)
        got << QStringLiteral("s");
    if (h.echoesWriteHeader)
        got << QStringLiteral("h");
    if (h.sequenceNamesNothing)
        got << QStringLiteral("n");
    QCOMPARE(got.join(QLatin1Char(' ')), learned);
}

// Habits that need several exchanges to learn or unlearn.
void TestAnswerMatch::habitsOverExchanges()
{
    PeerHabits h;
    const auto answered = [&h](quint16 seq, quint32 area, quint16 answerSeq) {
        const QByteArray r = buildReadRequest(seq, area, 1);
        const QByteArray a = buildReadRequest(answerSeq, area, 1);
        learnFromAnswer(h, viewOf(r), a.constData(), a.size(), Origin::Peer);
    };
    const auto silent = [&h](bool stray) {
        SilenceSigns signs;
        signs.strayPrompt = stray;
        learnFromSilence(h, viewOf(kRead), signs);
    };
    answered(1, 0x30008200u, 1);
    QVERIFY(h.echoesSequence);
    QVERIFY(!h.copiesAreaCode);   // one area code copied may be a constant
    answered(2, 0x30008300u, 2);
    QVERIFY(h.copiesAreaCode);

    // Stray answers unlearn the echo only in two exchanges in a row.
    silent(true);
    silent(false);
    silent(true);
    QVERIFY(h.echoesSequence && !h.sequenceNamesNothing);
    silent(true);
    QVERIFY(!h.echoesSequence && h.sequenceNamesNothing);
    answered(9, 0x30008200u, 8);   // a count one behind teaches nothing
    QVERIFY(h.sequenceNamesNothing);
    answered(10, 0x30008200u, 10);
    QVERIFY(h.echoesSequence && !h.sequenceNamesNothing);
}

void TestAnswerMatch::unansweredBelongsToTheSocket()
{
    SentRecord sent;
    sent.talkTo(kFormer);
    for (quint16 s = 1; s <= SentRecord::kKept + 1; ++s) {
        const QByteArray r = buildReadRequest(s, 0x30008200u, 1);
        sent.requestUnanswered(viewOf(r), 0);
    }
    QVERIFY(!sent.isUnansweredRead(1));
    for (quint16 s = 2; s <= SentRecord::kKept + 1; ++s)
        QVERIFY(sent.isUnansweredRead(s));
    sent.talkTo(kPeer);   // another controller: the reads stay unanswered
    QVERIFY(sent.isUnansweredRead(9));
    QVERIFY(sent.isUnansweredRead(9, true));   // they were not sent to this one
    const QByteArray again = buildReadRequest(4, 0x30008200u, 1);
    sent.requestSent(viewOf(again));   // sent again after a wrap of the counter
    QVERIFY(!sent.isUnansweredRead(4));

    // A write's header is awaited until acknowledged, for its window, or
    // until copies of its late answer can no longer come.
    sent.requestUnanswered(viewOf(kWrite), 1000);
    sent.forgetOldWrites(11000, 10000);
    QVERIFY(sent.isUnansweredWrite(kWrite.constData()));
    sent.forgetOldWrites(11001, 10000);
    QVERIFY(!sent.isUnansweredWrite(kWrite.constData()));
    sent.requestUnanswered(viewOf(kWrite), 1000);
    sent.lateAnswerCame(kWrite.constData(), kWrite.size(), 2000);
    sent.forgetOldWrites(2000 + SentRecord::kCopiesWindowUs, 1000000);
    QVERIFY(sent.isUnansweredWrite(kWrite.constData()));
    sent.forgetOldWrites(2001 + SentRecord::kCopiesWindowUs, 1000000);
    QVERIFY(!sent.isUnansweredWrite(kWrite.constData()));
    sent.requestUnanswered(viewOf(kWrite), 2000);
    sent.requestAnswered(viewOf(kWrite));
    QVERIFY(!sent.isUnansweredWrite(kWrite.constData()));

    QCOMPARE(int(sent.originOf(kFormer)), int(Origin::FormerPeer));
    QCOMPARE(int(sent.originOf(kPeer)), int(Origin::Peer));
    QCOMPARE(int(sent.originOf(peerKey(1, 6000))), int(Origin::PeerAddress));
    QCOMPARE(int(sent.originOf(peerKey(2, 5000))), int(Origin::Stranger));
}

// The reads a socket sent lately: the oldest goes when a new one comes, and
// with it whether it was answered.
void TestAnswerMatch::recentReads()
{
    RecentReads recent;
    const int kept = RecentReads::kKept;
    for (int s = 0; s < kept; ++s)
        recent.sent(quint16(s));
    recent.answered(0);
    recent.answered(1);
    recent.answered(quint16(kept + 5));   // never sent: stays unknown
    QVERIFY(recent.contains(0) && recent.wasAnswered(0) && !recent.wasAnswered(2));
    QVERIFY(!recent.contains(quint16(kept + 5)) && !recent.wasAnswered(quint16(kept + 5)));
    recent.sent(1);   // sent again: waits for its answer again, and keeps its place
    QVERIFY(recent.contains(1) && !recent.wasAnswered(1));
    recent.sent(quint16(kept));
    QVERIFY(!recent.contains(0) && !recent.wasAnswered(0));
    QVERIFY(recent.contains(1) && recent.contains(quint16(kept)));
    for (int s = kept + 1; s < 2 * kept; ++s)
        recent.sent(quint16(s));
    QVERIFY(!recent.contains(quint16(kept - 1)) && recent.contains(quint16(2 * kept - 1)));
}

QTEST_GUILESS_MAIN(TestAnswerMatch)
#include "tst_answermatch.moc"
