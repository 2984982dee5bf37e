#include "protocol/Exchange.h"

#include "protocol/Frames.h"

#include <netinet/in.h>

#include <cstring>

namespace veskor {

namespace {

// Whole milliseconds to the deadline, rounded up: a wait never ends early.
int msUntil(qint64 deadlineUs, qint64 nowUs)
{
    const qint64 left = deadlineUs - nowUs;
    return left <= 0 ? 0 : int((left + 999) / 1000);
}

} // namespace

PeerKey keyOf(const Endpoint &endpoint)
{
    PeerKey k;
    if (endpoint.family() == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(endpoint.addr);
        memcpy(k.address.data(), &a.sin_addr, sizeof a.sin_addr);
    } else if (endpoint.family() == AF_INET6) {
        const auto &a = reinterpret_cast<const sockaddr_in6 &>(endpoint.addr);
        memcpy(k.address.data(), &a.sin6_addr, sizeof a.sin6_addr);
    } else {
        return k;
    }
    k.family = quint8(endpoint.family());
    k.port = endpoint.port();
    return k;
}

void Exchange::talkTo(const Endpoint &peer)
{
    const PeerKey key = keyOf(peer);
    if (key == m_peer)
        return;
    if (m_peer.isValid()) {
        Known *slot = nullptr;
        for (Known &k : m_known)
            slot = k.peer == m_peer ? &k : slot;
        if (slot)
            *slot = Known{m_peer, m_habits};
        else
            m_known.push(Known{m_peer, m_habits});
    }
    m_habits = PeerHabits();
    for (Known &k : m_known) {
        if (k.peer == key) {
            m_habits = k.habits;
            k = Known();
        }
    }
    m_peer = key;
    m_sent.talkTo(m_peer);
}

bool Exchange::takeNoEchoNews()
{
    const bool news = m_noEchoNews;
    m_noEchoNews = false;
    return news;
}

int ExchangeIo::receiveMany(UdpLink::Received *got, char *const *buffers, int capacity, int count,
                            int waitMs)
{
    int n = 0;
    while (n < count) {
        got[n] = receive(buffers[n], capacity, n == 0 ? waitMs : 0);
        if (got[n].status != UdpLink::Status::Datagram)
            break;
        ++n;
    }
    return n;
}

// Drop what earlier exchanges left on the socket, send, then read datagrams
// until one answers this request or the wait is over. Of datagrams that
// arrive together the last one that answers counts.
Exchange::Outcome Exchange::run(ExchangeIo &io, const char *request, int size, int waitMs,
                                bool blockingFirstWait)
{
    m_answer.resize(0);
    if (!m_scratch) {
        m_scratch.reset(new char[kMaxDatagram]);
        m_more.reset(new char[size_t(kBatch - 1) * kMaxDatagram]);
        for (int i = 0; i < kBatch; ++i)
            m_slots[size_t(i)] = i == 0 ? m_scratch.get() : m_more.get() + size_t(i - 1) * kMaxDatagram;
        m_answer.reserve(1024);   // marks the capacity as kept
    }

    const RequestView view = RequestView::of(request, size);   // classified once

    // What is pending now answers nothing. Unless each datagram will tell
    // whether it came before the send, it is read and dropped first.
    const bool toldApart = io.tellsArrivals();
    if (!toldApart)
        dropPending(io);
    if (io.send(request, size) != 0)
        return Outcome::SendFailed;
    m_sent.requestSent(view);
    const qint64 sentAt = io.readingUs();
    const qint64 deadline = sentAt + qint64(waitMs) * 1000;
    m_sentAt = sentAt;
    m_writeWindowUs = kWriteWindowWaits * qint64(waitMs) * 1000;

    Taken taken;
    for (int round = 0;; ++round) {
        // The first wait is one blocking call bounded by the socket's own
        // timeout (most of the wait); later ones get what is left of it. Once
        // an answer is in, only what is already pending is read: a batch
        // holds all that was, unless it is full.
        int wait = 0;
        if (!taken.answered) {
            wait = round == 0 && blockingFirstWait ? UdpLink::kBlock : msUntil(deadline, io.nowUs());
            if (wait == 0)
                break;
        }
        const int n = io.receiveMany(m_got.data(), m_slots.data(), kMaxDatagram, kBatch, wait);
        for (int i = 0; i < n; ++i)
            takeIn(io, view, i, toldApart, taken);
        if (n == kBatch)
            continue;
        const UdpLink::Status ended = m_got[size_t(n)].status;
        if (ended == UdpLink::Status::Refused && !taken.answered)
            return Outcome::Refused;
        if (taken.answered || ended == UdpLink::Status::Failed)
            break;
    }
    learn(view, taken);
    return taken.answered ? Outcome::Answer : Outcome::NoAnswer;
}

void Exchange::takeIn(ExchangeIo &io, const RequestView &request, int i, bool toldApart, Taken &taken)
{
    const UdpLink::Received &got = m_got[size_t(i)];
    const Origin from = m_sent.originOf(keyOf(got.from));
    const qint64 now = io.readingUs();
    if (toldApart && got.arrival != UdpLink::Arrival::AfterSend) {
        dropEarlier(m_slots[size_t(i)], got.size, from, now);   // or not known to be later
        return;
    }
    if (i > 0)   // the datagram judged is the one in m_scratch
        memcpy(m_scratch.get(), m_slots[size_t(i)], size_t(got.size));
    m_sent.forgetOldWrites(now, m_writeWindowUs);
    judge(request, got.size, from, now, taken);
}

// What earlier exchanges left on the socket answers nothing now. A flood
// costs time, bounded.
void Exchange::dropPending(ExchangeIo &io)
{
    constexpr int kMaxDropped = 65536;
    for (int dropped = 0; dropped < kMaxDropped;) {
        const int n = io.receiveMany(m_got.data(), m_slots.data(), kMaxDatagram, kBatch, 0);
        for (int i = 0; i < n; ++i) {
            const UdpLink::Received &got = m_got[size_t(i)];
            dropEarlier(m_slots[size_t(i)], got.size, m_sent.originOf(keyOf(got.from)), io.readingUs());
        }
        // Nothing left once a read finds nothing (a refusal left by an
        // earlier exchange is cleared, and what lies behind it is read).
        if (n == 0 && m_got[0].status != UdpLink::Status::Refused)
            break;
        dropped += qMax(n, 1);
    }
}

void Exchange::dropEarlier(const char *datagram, int size, Origin from, qint64 nowUs)
{
    // A late write answer among it is not awaited any longer.
    if (from != Origin::Stranger)
        m_sent.lateAnswerCame(datagram, size, nowUs);
}

void Exchange::judge(const RequestView &request, int got, Origin from, qint64 nowUs, Taken &taken)
{
    const qint64 sinceSendUs = nowUs - m_sentAt;
    const char *datagram = m_scratch.get();
    const Verdict verdict = judgeDatagram(request, datagram, got, from, m_habits, m_sent);
    if (verdict == Verdict::Answer) {
        m_answer.resize(got);
        memcpy(m_answer.data(), datagram, size_t(got));
        taken.answered = true;
        taken.from = from;
        taken.sinceSendUs = sinceSendUs;
        return;
    }
    ++m_passedOver[size_t(verdict)];
    if (!isPeerAddress(from))
        return;   // it shows nothing of the controller, and answers none of its requests
    if (verdict == Verdict::Late) {
        m_sent.lateAnswerCame(datagram, got, nowUs);
        // Its own header, taken for an earlier write's late answer: it may
        // have been this write's answer, which then will not come again.
        taken.ownHeaderCame |= got >= kWriteHeaderSize && request.isWrite()
            && memcmp(datagram, request.header(), kWriteHeaderSize) == 0;
    }
    SilenceSigns &signs = taken.signs;
    signs.echoContradicted |= verdict == Verdict::NoEcho;
    signs.areaContradicted |= verdict == Verdict::OtherArea;
    // A copy or a late arrival of an answer this controller already gave is
    // no sign of a count: it answered that read, with its sequence.
    const bool readAnswer = isReadAnswer(datagram, got) && !m_sent.isAnsweredRead(sequenceOf(datagram));
    signs.strayPrompt |= readAnswer && (verdict == Verdict::Late || verdict == Verdict::NoEcho)
        && m_habits.isPrompt(sinceSendUs);
}

void Exchange::learn(const RequestView &request, const Taken &taken)
{
    const bool wasNoEcho = m_habits.sequenceNamesNothing;
    if (taken.answered) {
        learnFromAnswer(m_habits, request, m_answer.constData(), m_answer.size(), taken.from);
        m_sent.requestAnswered(request);
        if (isPeerAddress(taken.from) && request.isRead()) {
            // The slowest recent answer: a slow one counts fully, and fades.
            m_habits.slowestAnswerUs = qMax(taken.sinceSendUs,
                                            m_habits.slowestAnswerUs - m_habits.slowestAnswerUs / 8);
            if (request.sequence != 0 && isReadAnswer(m_answer.constData(), m_answer.size())
                && sequenceOf(m_answer.constData()) != request.sequence)
                m_noEchoNews = true;
        }
    } else {
        learnFromSilence(m_habits, request, taken.signs);
        if (!taken.ownHeaderCame)   // awaiting it would turn away every next one
            m_sent.requestUnanswered(request, m_sentAt);
        m_noEchoNews |= !wasNoEcho && m_habits.sequenceNamesNothing;
    }
    if (!m_noEchoNews)
        return;
    if (noEchoTold()) {
        m_noEchoNews = false;
        return;
    }
    m_told.push(m_peer);
}

bool Exchange::noEchoTold() const
{
    for (const PeerKey &p : m_told) {
        if (p.isValid() && p == m_peer)
            return true;
    }
    return false;
}

} // namespace veskor
