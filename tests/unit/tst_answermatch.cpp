// Which datagram answers which request, without a socket.
#include <QtTest>

#include "AnswerMatch.h"
#include "Frames.h"

using namespace veskor;

namespace {

const QByteArray kRead = buildReadRequest(5, 0x30008200u, 1);    // sequence 5
const QByteArray kWrite = buildWriteRequest(0x30008200u, 12, 2, QByteArray("\x01\x02", 2));

QByteArray readAnswerWithSequence(quint16 seq)
{
    QByteArray a = buildReadRequest(seq, 0x30008200u, 1);
    a.append('\x7f');
    return a;
}

// Habits as a short text: "a" answers from its address, "s" echoes the
// sequence, "h" echoes the write header, "w" kWrite went unanswered, a number
// an unanswered read sequence.
PeerHabits habitsOf(const QString &text)
{
    PeerHabits h;
    for (const QString &part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("a"))
            h.answersFromPeerAddress = true;
        else if (part == QLatin1String("s"))
            h.echoesSequence = true;
        else if (part == QLatin1String("h"))
            h.echoesWriteHeader = true;
        else if (part == QLatin1String("w"))
            h.requestUnanswered(kWrite.constData(), kWrite.size());
        else
            h.rememberUnanswered(quint16(part.toUInt()));
    }
    return h;
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
    void unansweredKeepsTheLastEight();
};

void TestAnswerMatch::judge_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("fromPeer");
    QTest::addColumn<QString>("habits");
    QTest::addColumn<int>("verdict");

    const int answer = int(Verdict::Answer);
    QTest::newRow("empty") << kRead << QByteArray() << true << "" << int(Verdict::Empty);
    QTest::newRow("nothing learned: any sender, any sequence")
        << kRead << readAnswerWithSequence(9) << false << "" << answer;
    QTest::newRow("answers from its address: a stranger")
        << kRead << readAnswerWithSequence(5) << false << "a" << int(Verdict::ForeignAddress);
    QTest::newRow("answers from its address: it")
        << kRead << readAnswerWithSequence(5) << true << "a" << answer;
    QTest::newRow("answer to a read that timed out")
        << kRead << readAnswerWithSequence(3) << true << "3" << int(Verdict::Late);
    QTest::newRow("answer to a read that timed out, during a write")
        << kWrite << readAnswerWithSequence(3) << true << "3" << int(Verdict::Late);
    QTest::newRow("copied header of a write that timed out, during a read")
        << kRead << kWrite.left(11) << true << "w" << int(Verdict::Late);
    QTest::newRow("not a read answer, bytes 4-5 as a timed-out sequence")
        << kRead << QByteArray("\x02\x01\x01\x00\x03\x00", 6) << true << "3" << answer;
    QTest::newRow("echoes the sequence: another one")
        << kRead << readAnswerWithSequence(4) << true << "s" << int(Verdict::NoEcho);
    QTest::newRow("echoes the sequence: an answer cut before it")
        << kRead << readAnswerWithSequence(4).left(5) << true << "s" << answer;
    QTest::newRow("echoes the write header: another header")
        << kWrite << buildWriteRequest(0x30008200u, 14, 2, QByteArray(2, '\0')).left(11) << true << "h"
        << int(Verdict::NoEcho);
    QTest::newRow("echoes the write header: a cut copy") << kWrite << kWrite.left(1) << true << "h" << answer;
    QTest::newRow("echoes the write header: one other byte")
        << kWrite << QByteArray(1, '\x01') << true << "h" << int(Verdict::NoEcho);
}

void TestAnswerMatch::judge()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, datagram);
    QFETCH(bool, fromPeer);
    QFETCH(QString, habits);
    QFETCH(int, verdict);

    const Verdict got = judgeDatagram(request.constData(), request.size(), datagram.constData(),
                                      datagram.size(), fromPeer, habitsOf(habits));
    QCOMPARE(QString::fromLatin1(verdictName(got)), QString::fromLatin1(verdictName(Verdict(verdict))));
}

void TestAnswerMatch::learning_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("fromPeer");
    QTest::addColumn<QString>("learned");

    QTest::newRow("read echoed, from its address") << kRead << readAnswerWithSequence(5) << true << "a s";
    QTest::newRow("read not echoed, from elsewhere") << kRead << readAnswerWithSequence(6) << false << "";
    // Zeros where the sequence goes are what many non-echoing controllers send.
    QTest::newRow("sequence 0 echoed") << buildReadRequest(0, 0x30008200u, 1) << readAnswerWithSequence(0)
                                       << true << "a";
    QTest::newRow("write header echoed") << kWrite << kWrite.left(11) << true << "a h";
    QTest::newRow("write header cut") << kWrite << kWrite.left(10) << true << "a";
}

void TestAnswerMatch::learning()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(bool, fromPeer);
    QFETCH(QString, learned);

    PeerHabits h;
    learnFromAnswer(h, request.constData(), request.size(), answer.constData(), answer.size(), fromPeer);
    QStringList got;
    if (h.answersFromPeerAddress)
        got << QStringLiteral("a");
    if (h.echoesSequence)
        got << QStringLiteral("s");
    if (h.echoesWriteHeader)
        got << QStringLiteral("h");
    QCOMPARE(got.join(QLatin1Char(' ')), learned);
}

void TestAnswerMatch::unansweredKeepsTheLastEight()
{
    PeerHabits h;
    for (quint16 s = 1; s <= 9; ++s)
        h.rememberUnanswered(s);
    QVERIFY(!h.isUnanswered(1));
    for (quint16 s = 2; s <= 9; ++s)
        QVERIFY(h.isUnanswered(s));
    h.forgetUnanswered(4);   // sent again after a wrap of the counter
    QVERIFY(!h.isUnanswered(4));
    QVERIFY(!h.isUnanswered(0xFFFF));

    h.requestUnanswered(kWrite.constData(), kWrite.size());
    QVERIFY(h.isUnansweredWrite(kWrite.constData()));
    h.requestSent(kWrite.constData(), kWrite.size());   // the same write again
    QVERIFY(!h.isUnansweredWrite(kWrite.constData()));

    // A late answer comes once: then its request is no longer awaited.
    const QByteArray late = readAnswerWithSequence(9);
    QVERIFY(h.isUnanswered(9));
    h.lateAnswerCame(late.constData(), late.size());
    QVERIFY(!h.isUnanswered(9));
    QVERIFY(h.isUnanswered(8));
}

QTEST_GUILESS_MAIN(TestAnswerMatch)
#include "tst_answermatch.moc"
