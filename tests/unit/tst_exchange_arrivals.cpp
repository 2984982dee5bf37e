// The exchange on a socket that tells each datagram's arrival against the
// send (UdpLink::tellsArrivals): nothing is read before the send, and what
// came before it is dropped as it is read after it. Each scripted exchange
// runs twice, once on an io that tells arrivals and once on one that does
// not (the exchange then drops what is pending before its send), and the two
// must end alike: outcome, answer, datagrams passed over, what was learned.
#include <QtTest>

#include "Exchange.h"
#include "Frames.h"

#include <deque>
#include <random>

using namespace veskor;

namespace {

constexpr int kWaitMs = 2000;

struct Scripted {
    QByteArray bytes;
    Endpoint from;
    UdpLink::Arrival arrival = UdpLink::Arrival::Unknown;
};

// A socket in scripted time: `pending` is on it before the send, `fresh`
// comes right after it. A wait that finds nothing takes all of its time.
class ScriptIo final : public ExchangeIo
{
public:
    explicit ScriptIo(bool tells) : m_tells(tells) {}

    std::deque<Scripted> queue;   // on the socket
    std::vector<Scripted> fresh;  // sent back when the request leaves
    qint64 now = 0;
    int callsBeforeSend = 0;
    int callsAfterSend = 0;
    bool sent = false;

    int send(const char *, int) override
    {
        sent = true;
        for (Scripted &f : fresh) {
            f.arrival = UdpLink::Arrival::AfterSend;
            queue.push_back(f);
        }
        fresh.clear();
        return 0;
    }
    UdpLink::Received receive(char *buffer, int capacity, int waitMs) override
    {
        UdpLink::Received r;
        if (queue.empty()) {
            if (waitMs != 0)
                now += 1000LL * (waitMs == UdpLink::kBlock ? kWaitMs - 50 : waitMs);
            return r;
        }
        const Scripted d = queue.front();
        queue.pop_front();
        r.status = UdpLink::Status::Datagram;
        r.size = qMin(int(d.bytes.size()), capacity);
        memcpy(buffer, d.bytes.constData(), size_t(r.size));
        r.from = d.from;
        r.arrival = m_tells ? d.arrival : UdpLink::Arrival::Unknown;
        return r;
    }
    int receiveMany(UdpLink::Received *got, char *const *buffers, int capacity, int count,
                    int waitMs) override
    {
        ++(sent ? callsAfterSend : callsBeforeSend);
        return ExchangeIo::receiveMany(got, buffers, capacity, count, waitMs);
    }
    bool tellsArrivals() override { return m_tells; }
    qint64 nowUs() override { return now; }

private:
    bool m_tells;
};

const Endpoint kPeer = Endpoint::of(QHostAddress(QStringLiteral("127.0.0.1")), 50001);
const Endpoint kOtherPort = Endpoint::of(QHostAddress(QStringLiteral("127.0.0.1")), 50002);
const Endpoint kStranger = Endpoint::of(QHostAddress(QStringLiteral("127.0.0.2")), 50001);

QByteArray readAnswer(quint16 sequence, quint32 area, int mark)
{
    QByteArray a = buildReadRequest(sequence, area, 1);
    a.append(QByteArray::number(mark).rightJustified(8, '0'));
    return a;
}

struct Run {
    Exchange::Outcome outcome;
    QByteArray answer;
};

// One exchange of `request` on a new io; `clock` goes on from one to the next.
Run runOne(Exchange &ex, bool tells, const QByteArray &request, const std::vector<Scripted> &pending,
           const std::vector<Scripted> &fresh, qint64 &clock, ScriptIo *shown = nullptr)
{
    ScriptIo io(tells);
    io.now = clock;
    io.queue.assign(pending.begin(), pending.end());
    io.fresh = fresh;
    const Exchange::Outcome o = ex.run(io, request.constData(), request.size(), kWaitMs, true);
    clock = io.now + 1000;
    if (shown) {
        shown->callsBeforeSend = io.callsBeforeSend;
        shown->callsAfterSend = io.callsAfterSend;
    }
    return {o, ex.answer()};
}

bool sameState(const Exchange &a, const Exchange &b)
{
    for (int v = 0; v < kVerdictCount; ++v) {
        if (a.passedOver(Verdict(v)) != b.passedOver(Verdict(v)))
            return false;
    }
    const PeerHabits &x = a.habits();
    const PeerHabits &y = b.habits();
    return x.echoesSequence == y.echoesSequence
        && x.echoesWriteHeader == y.echoesWriteHeader && x.sequenceNamesNothing == y.sequenceNamesNothing
        && x.copiesAreaCode == y.copiesAreaCode && x.strayRuns == y.strayRuns
        && x.slowestAnswerUs == y.slowestAnswerUs;
}

} // namespace

class TestExchangeArrivals : public QObject
{
    Q_OBJECT

private slots:
    void oneReceiveAfterTheSend();
    void earlierDatagramsNeverAnswer();
    void lastOfThoseTogetherCounts();
    void refusalEndsTheWait();
    void sameAsDroppingFirst();
};

void TestExchangeArrivals::oneReceiveAfterTheSend()
{
    Exchange ex;
    ex.talkTo(kPeer);
    qint64 clock = 0;
    const QByteArray request = buildReadRequest(7, 0x30008200u, 1);
    ScriptIo calls(true);
    const Run r = runOne(ex, true, request, {}, {{readAnswer(7, 0x30008200u, 1), kPeer}}, clock, &calls);
    QCOMPARE(int(r.outcome), int(Exchange::Outcome::Answer));
    QCOMPARE(calls.callsBeforeSend, 0);
    QCOMPARE(calls.callsAfterSend, 1);

    // Without arrivals told, what is pending is read first.
    runOne(ex, false, buildReadRequest(8, 0x30008200u, 1), {}, {{readAnswer(8, 0x30008200u, 2), kPeer}},
           clock, &calls);
    QCOMPARE(calls.callsBeforeSend, 1);
    QCOMPARE(calls.callsAfterSend, 1);
}

void TestExchangeArrivals::earlierDatagramsNeverAnswer()
{
    // Datagrams that would answer the request, had they come after it: one
    // that came before the send, one whose arrival is not known.
    for (const UdpLink::Arrival arrival : {UdpLink::Arrival::BeforeSend, UdpLink::Arrival::Unknown}) {
        Exchange ex;
        ex.talkTo(kPeer);
        qint64 clock = 0;
        const QByteArray request = buildReadRequest(9, 0x30008200u, 1);
        const Run r = runOne(ex, true, request, {{readAnswer(9, 0x30008200u, 1), kPeer, arrival}}, {}, clock);
        QCOMPARE(int(r.outcome), int(Exchange::Outcome::NoAnswer));
        QVERIFY(r.answer.isEmpty());
    }
}

void TestExchangeArrivals::lastOfThoseTogetherCounts()
{
    Exchange ex;
    ex.talkTo(kPeer);
    qint64 clock = 0;
    const QByteArray request = buildReadRequest(11, 0x30008200u, 1);
    const QByteArray first = readAnswer(11, 0x30008200u, 1);
    const QByteArray second = readAnswer(11, 0x30008200u, 2);
    const Run r = runOne(ex, true, request, {{readAnswer(11, 0x30008200u, 0), kPeer, UdpLink::Arrival::BeforeSend}},
                         {{first, kPeer}, {second, kPeer}}, clock);
    QCOMPARE(int(r.outcome), int(Exchange::Outcome::Answer));
    QCOMPARE(r.answer, second);
}

void TestExchangeArrivals::refusalEndsTheWait()
{
    // A refusal met after a datagram that came before the send.
    class RefusingIo final : public ExchangeIo
    {
    public:
        int calls = 0;
        int send(const char *, int) override { return 0; }
        UdpLink::Received receive(char *buffer, int, int) override
        {
            UdpLink::Received r;
            if (++calls == 1) {
                r.status = UdpLink::Status::Datagram;
                r.size = 3;
                memcpy(buffer, "abc", 3);
                r.from = kStranger;
                r.arrival = UdpLink::Arrival::BeforeSend;
            } else {
                r.status = UdpLink::Status::Refused;
            }
            return r;
        }
        bool tellsArrivals() override { return true; }
        qint64 nowUs() override { return 0; }
    } io;
    Exchange ex;
    ex.talkTo(kPeer);
    const QByteArray request = buildReadRequest(3, 0x30008200u, 1);
    QCOMPARE(int(ex.run(io, request.constData(), request.size(), kWaitMs, true)), int(Exchange::Outcome::Refused));
}

void TestExchangeArrivals::sameAsDroppingFirst()
{
    std::mt19937_64 rng(20261208);
    const auto pick = [&rng](int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(rng)); };
    Exchange told;
    Exchange dropped;
    told.talkTo(kPeer);
    dropped.talkTo(kPeer);
    qint64 clockA = 0;
    qint64 clockB = 0;
    quint16 sequence = 1;
    int mark = 0;
    int answered = 0;
    const Endpoint senders[] = {kPeer, kPeer, kPeer, kOtherPort, kStranger};
    for (int n = 0; n < 20000; ++n) {
        const bool write = pick(3) == 0;
        const quint32 area = pick(2) ? 0x30008200u : 0x30008300u;
        const QByteArray request = write ? buildWriteRequest(area, pick(4) * 2, 2, QByteArray("ab"))
                                         : buildReadRequest(sequence, area, 1);
        // Datagrams of any kind: this request's answer, an earlier one's,
        // another area's, a write's header, from the controller or not.
        const auto datagram = [&](bool forThis) {
            const quint16 s = forThis || pick(2) ? sequence : quint16(sequence - 1 - pick(3));
            QByteArray bytes = write && pick(2) ? request.left(kWriteHeaderSize) + QByteArray::number(++mark)
                                                : readAnswer(s, pick(4) ? area : 0x30008400u, ++mark);
            return Scripted{bytes, senders[pick(5)], pick(3) ? UdpLink::Arrival::BeforeSend
                                                             : UdpLink::Arrival::Unknown};
        };
        std::vector<Scripted> pending, fresh;
        for (int i = pick(3); i > 0; --i)
            pending.push_back(datagram(false));
        for (int i = pick(3); i > 0; --i)
            fresh.push_back(datagram(true));
        if (!write)
            ++sequence;
        const Run a = runOne(told, true, request, pending, fresh, clockA);
        const Run b = runOne(dropped, false, request, pending, fresh, clockB);
        QCOMPARE(int(a.outcome), int(b.outcome));
        QCOMPARE(a.answer, b.answer);
        QVERIFY2(sameState(told, dropped), qPrintable(QStringLiteral("exchange %1").arg(n)));
        for (const Scripted &p : pending)
            QVERIFY(a.answer.isEmpty() || a.answer != p.bytes);
        answered += a.outcome == Exchange::Outcome::Answer;
    }
    QVERIFY(answered > 1000);
}

QTEST_GUILESS_MAIN(TestExchangeArrivals)
#include "tst_exchange_arrivals.moc"
