// One request, one answer: drop what earlier exchanges left, send, then read
// datagrams until one answers the request or the wait is over. What earlier
// exchanges left is read and dropped before the send, or, when the socket
// tells each datagram's arrival against the send, dropped as it is read
// after it: then an exchange costs the send and, in the common case, one
// receive.
//
// The exchange talks to its socket and its clock through ExchangeIo, a seam
// with two sides: the real UDP socket with the steady clock (CmdVESKOR), and
// a simulated network in simulated time (tests), which drives this very code
// through millions of exchanges a minute.
#ifndef VESKOR_EXCHANGE_H
#define VESKOR_EXCHANGE_H

#include "protocol/AnswerMatch.h"
#include "protocol/Ring.h"
#include "protocol/UdpLink.h"

#include <QByteArray>

#include <array>
#include <memory>

namespace veskor {

class ExchangeIo
{
public:
    virtual ~ExchangeIo() = default;
    // One datagram to the peer; 0 when sent, else an errno-style code.
    virtual int send(const char *data, int size) = 0;
    // As UdpLink::receive: waitMs 0 does not wait, UdpLink::kBlock waits the
    // socket's own receive timeout.
    virtual UdpLink::Received receive(char *buffer, int capacity, int waitMs) = 0;
    // As UdpLink::receiveMany: the first datagram as receive() waits for it,
    // then those pending behind it, up to count; how many came. When fewer
    // than count came, got[n] says what ended the batch. This default reads
    // them with one receive() each.
    virtual int receiveMany(UdpLink::Received *got, char *const *buffers, int capacity, int count,
                            int waitMs);
    // As UdpLink::tellsArrivals: whether each datagram received after the
    // next send will say whether it came before it (Received::arrival).
    virtual bool tellsArrivals() { return false; }
    // A monotonic clock, in microseconds.
    virtual qint64 nowUs() = 0;
    // The same clock as the last send or receive read it (just before the
    // send, just after the receive); nowUs() when the socket reads none.
    virtual qint64 readingUs() { return nowUs(); }
};

PeerKey keyOf(const Endpoint &endpoint);

class Exchange
{
public:
    // How an exchange ended.
    enum class Outcome { Answer, NoAnswer, SendFailed, Refused, NoSocket };
    static constexpr int kMaxDatagram = 65536;   // larger than any UDP payload

    // ConnectDrive named `peer`. What was learned of a controller holds while
    // the host reconnects to it, and when it comes back to it after talking
    // to others; what the socket sent stays whatever the peer.
    void talkTo(const Endpoint &peer);

    // One exchange of `request`. waitMs bounds it; the first wait is the
    // socket's own receive timeout when blockingFirstWait is set.
    Outcome run(ExchangeIo &io, const char *request, int size, int waitMs, bool blockingFirstWait);

    // The answer taken by the last exchange (empty unless it was answered).
    const QByteArray &answer() const { return m_answer; }

    const PeerHabits &habits() const { return m_habits; }
    const SentRecord &sent() const { return m_sent; }
    quint64 passedOver(Verdict reason) const { return m_passedOver[size_t(reason)]; }
    // Set once per peer, the first time its answers are seen to carry no
    // sequence: the caller says so in the log.
    bool takeNoEchoNews();

private:
    struct Taken {
        bool answered = false;
        Origin from = Origin::Stranger;
        qint64 sinceSendUs = 0;
        SilenceSigns signs;
        bool ownHeaderCame = false;   // a write's header came, taken as late
    };
    void dropPending(ExchangeIo &io);
    // The batch's i-th datagram, read after the send; toldApart: the send
    // was not preceded by dropPending.
    void takeIn(ExchangeIo &io, const RequestView &request, int i, bool toldApart, Taken &taken);
    // A datagram that came before the send: it answers nothing now, and a
    // late write answer among it is not awaited any longer.
    void dropEarlier(const char *datagram, int size, Origin from, qint64 nowUs);
    void judge(const RequestView &request, int got, Origin from, qint64 nowUs, Taken &taken);
    void learn(const RequestView &request, const Taken &taken);

    PeerKey m_peer;
    qint64 m_sentAt = 0;    // when the last request left
    // How long a write's header is awaited when its answer never came.
    static constexpr int kWriteWindowWaits = 10;
    qint64 m_writeWindowUs = 0;
    PeerHabits m_habits;    // of m_peer
    // What was learned of the last peers talked to before, for a host that
    // switches between controllers.
    struct Known {
        PeerKey peer;
        PeerHabits habits;
    };
    static constexpr int kKnownKept = 8;
    Ring<Known, kKnownKept> m_known;
    SentRecord m_sent;
    std::array<quint64, kVerdictCount> m_passedOver{};
    bool m_noEchoNews = false;
    // Peers whose lack of an echo was told: once per peer, however often the
    // host switches between them.
    bool noEchoTold() const;
    static constexpr int kToldKept = 16;
    Ring<PeerKey, kToldKept> m_told;

    // Kept from one exchange to the next, so that an exchange allocates
    // nothing: the datagram being read (the first of a batch), the rest of a
    // batch, and the answer taken.
    static constexpr int kBatch = UdpLink::kMaxBatch;
    std::unique_ptr<char[]> m_scratch;
    std::unique_ptr<char[]> m_more;
    std::array<char *, kBatch> m_slots{};
    std::array<UdpLink::Received, kBatch> m_got{};
    QByteArray m_answer;
};

} // namespace veskor

#endif
