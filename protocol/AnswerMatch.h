// Which datagram answers which request. Pure functions of the request, the
// datagram, where it came from and what is known: no socket, no clock, so
// the rules are tested and fuzzed on their own.
//
// The protocol does not oblige a controller to echo anything but the device
// id. Many echo more, and what an answer echoes tells a late answer to an
// earlier request from the answer to this one:
//  - a read request's sequence number (bytes 4 and 5),
//  - a write request's 11-byte header,
//  - a read request's area code (bytes 8 to 11).
// Answers come only from the controller's address, the one the host named
// (any port of it): a datagram from anywhere else is never an answer.
// Two kinds of knowledge, kept apart:
//  - SentRecord: what this socket sent that got no answer, and the peers it
//    talked to. It belongs to the socket: a host that switches the driver
//    between controllers must not take one's late answer for the other's.
//  - PeerHabits: what the current controller has shown of its habits. It
//    belongs to the peer: only the controller's own datagrams teach or
//    unteach it, and a ConnectDrive to another peer starts it afresh.
#ifndef VESKOR_ANSWERMATCH_H
#define VESKOR_ANSWERMATCH_H

#include "protocol/Frames.h"
#include "protocol/Ring.h"

#include <QtGlobal>

#include <array>
#include <bitset>
#include <cstring>

namespace veskor {

// An address and port, as the rules compare them.
struct PeerKey {
    quint8 family = 0;   // 0: none; else the socket address family
    quint16 port = 0;
    std::array<quint8, 16> address{};

    bool isValid() const { return family != 0; }
    bool sameHost(const PeerKey &other) const
    {
        return family == other.family && address == other.address;
    }
    bool operator==(const PeerKey &other) const { return sameHost(other) && port == other.port; }
};

// Where a datagram came from, as seen against the peers this socket talked to.
enum class Origin {
    Peer,         // the current peer: its address and port
    PeerAddress,  // another port of the current peer's address
    FormerPeer,   // a peer this socket talked to before (its address and port,
                  // or its address when that is not the current peer's)
    Stranger      // anywhere else
};

inline bool isPeerAddress(Origin o) { return o == Origin::Peer || o == Origin::PeerAddress; }

enum class RequestKind { Read, Write, Other };
RequestKind requestKind(const char *request, int size);

// A request as the rules see it, classified once per exchange: its kind,
// and for a read the sequence and area code it carries. A view: the bytes
// stay the caller's, and must outlive it.
struct RequestView {
    RequestKind kind = RequestKind::Other;
    const char *bytes = nullptr;   // the whole request; a write's header first
    int size = 0;
    quint16 sequence = 0;          // a read's; 0 for any other request
    quint32 areaCode = 0;          // a read's; 0 for any other request

    static RequestView of(const char *request, int size)
    {
        RequestView v;
        v.kind = requestKind(request, size);
        v.bytes = request;
        v.size = size;
        if (v.kind == RequestKind::Read) {
            v.sequence = sequenceOf(request);
            v.areaCode = areaCodeOf(request);
        }
        return v;
    }
    bool isRead() const { return kind == RequestKind::Read; }
    bool isWrite() const { return kind == RequestKind::Write; }
    // A write's header (kWriteHeaderSize bytes); meaningful for a write only.
    const char *header() const { return bytes; }
};

// The sequences of the last kKept reads a socket sent, and which of them the
// current peer answered. Each sequence is held once; looking one up costs
// the same however many are kept.
class RecentReads
{
public:
    static constexpr int kKept = 1024;
    void sent(quint16 sequence);
    void answered(quint16 sequence);
    void forgetAnswered() { m_answered.reset(); }   // another peer now
    bool contains(quint16 sequence) const { return m_sent.test(sequence); }
    bool wasAnswered(quint16 sequence) const { return m_answered.test(sequence); }

private:
    std::bitset<65536> m_sent;
    std::bitset<65536> m_answered;
    Ring<quint16, kKept> m_order;
};

// Requests this socket sent that got no answer, whatever peer they went to,
// and the last peers it talked to.
class SentRecord
{
public:
    static constexpr int kKept = 16;

    // ConnectDrive named `peer`: from now on requests go there.
    void talkTo(const PeerKey &peer);
    const PeerKey &currentPeer() const { return m_current; }
    Origin originOf(const PeerKey &sender) const;

    // What a request sent at sentUs leaves behind when it ends without an
    // answer, what sending it again takes back, and what an answer to a
    // write takes off.
    void requestSent(const RequestView &request);
    void requestUnanswered(const RequestView &request, qint64 sentUs);
    void requestAnswered(const RequestView &request);
    // A write's header names no single request: after one timed out, the
    // same write's answer and the first one's late answer look alike. The
    // first datagram with its header from a controller, late answer or not,
    // is taken for the late one; copies of it that come within
    // kCopiesWindowUs are late too. A header that never came is forgotten
    // after windowUs. (Reads carry a sequence: they are kept until newer
    // ones take their place, and their copies are late whenever they come.)
    void lateAnswerCame(const char *datagram, int size, qint64 nowUs);
    void forgetOldWrites(qint64 nowUs, qint64 windowUs);
    static constexpr qint64 kCopiesWindowUs = 5000;

    // Whether a read answer carrying `sequence` names an unanswered read; with
    // exceptCurrent, reads sent to the current peer do not count (its answers'
    // bytes 4-5 are known to name nothing); with onlyCurrent, reads sent to
    // other peers do not (the datagram came from the current peer's very
    // address and port: it is no other's answer).
    bool isUnansweredRead(quint16 sequence, bool exceptCurrent = false, bool onlyCurrent = false) const;
    // Whether a datagram beginning with `header` names an unanswered write;
    // with onlyCurrent, only writes sent to the current peer count (a
    // datagram from its very address and port is no other's answer).
    bool isUnansweredWrite(const char *header, bool onlyCurrent = false) const;
    // Whether `sequence` is that of one of the last RecentReads::kKept reads
    // sent, answered or not; and whether the current peer answered it since
    // the socket last talked to another.
    bool isRecentRead(quint16 sequence) const { return m_recent.contains(sequence); }
    bool isAnsweredRead(quint16 sequence) const { return m_recent.wasAnswered(sequence); }
    // Whether a datagram beginning with `header` copies the header of one of
    // the last kKept writes sent to the current peer, answered or not.
    bool isRecentWrite(const char *header) const;

private:
    struct Read {
        qint32 sequence = -1;   // -1: taken back (sent again)
        PeerKey peer;
    };
    struct Write {
        bool used = false;
        qint64 sentUs = 0;
        qint64 cameUs = -1;     // when its late answer came; -1: not yet
        std::array<char, kWriteHeaderSize> header{};
        PeerKey peer;
    };
    Ring<Read, kKept> m_reads;
    RecentReads m_recent;
    Ring<Write, kKept> m_writes;
    struct SentWrite {
        std::array<char, kWriteHeaderSize> header{};
        PeerKey peer;
    };
    Ring<SentWrite, kKept> m_recentWrites;
    PeerKey m_current;
    static constexpr int kPeersKept = 8;
    Ring<PeerKey, kPeersKept> m_former;   // peers talked to before the current one
};

// What is known of the current controller, learned from its own answers.
struct PeerHabits {
    bool echoesSequence = false;           // a read answer carried its request's sequence
    bool echoesWriteHeader = false;        // a write answer began with its request's header
    // Its read answers' bytes 4-5 were seen to carry something else than the
    // request's sequence (a count of its own, a fixed value): they name no
    // request, and a late or duplicated answer cannot be told by them.
    bool sequenceNamesNothing = false;
    bool copiesAreaCode = false;           // read answers copied two different area codes
    quint32 areaCodeCopied = 0;            // the last area code a read answer copied
    // Unanswered exchanges in a row in which the controller's own read
    // answers came promptly but carried another request's sequence.
    int strayRuns = 0;
    qint64 slowestAnswerUs = 0;            // the slowest answer taken, since the send

    // An exchange with this many stray answers in a row shows that the
    // controller's sequence field is no echo.
    static constexpr int kStrayRunsToUnlearn = 2;
    // A stray answer counts when it came within this long of the send, or
    // twice the slowest answer taken, whichever is longer: a controller that
    // counts answers the request it got, at its usual pace.
    static constexpr qint64 kPromptUs = 20000;
    bool isPrompt(qint64 sinceSendUs) const
    {
        return sinceSendUs <= qMax(kPromptUs, 2 * slowestAnswerUs);
    }
};


enum class Verdict {
    Answer,           // answers the request
    Empty,            // no bytes: answers nothing
    ForeignAddress,   // not from the controller's address, or from another
                      // controller this socket talked to
    Late,             // carries the identity of an earlier request that got no answer
    NoEcho,           // does not echo the request, which this controller does
    OtherArea         // copies another area code than the request's
};
constexpr int kVerdictCount = 6;
const char *verdictName(Verdict v);

// Verdict on one datagram that came while `request` waited for its answer.
Verdict judgeDatagram(const RequestView &request, const char *datagram, int size, Origin from,
                      const PeerHabits &habits, const SentRecord &sent);

// What the answer taken for `request` shows of the controller's habits.
void learnFromAnswer(PeerHabits &habits, const RequestView &request, const char *answer, int size,
                     Origin from);

// What the controller's own datagrams showed in an exchange that ended
// without an answer.
struct SilenceSigns {
    bool echoContradicted = false;   // they went against an echo it was known for
    bool areaContradicted = false;   // they copied another area code than the request's
    // Read answers, come promptly, carrying another sequence than the
    // request's and none of a read that was answered.
    bool strayPrompt = false;
};

// What an exchange that ended without an answer teaches. Only the
// controller's own datagrams unteach a habit; a stranger never can.
void learnFromSilence(PeerHabits &habits, const RequestView &request, const SilenceSigns &signs);

} // namespace veskor

#endif
