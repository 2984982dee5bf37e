// Which datagram answers which request. Pure functions of the request, the
// datagram, its sender and what is known of the controller: no socket, no
// clock, so the rules are tested and fuzzed on their own.
//
// The protocol does not oblige a controller to echo anything but the device
// id. Many echo more, and what an answer echoes tells a late answer to an
// earlier request from the answer to this one:
//  - a read request's sequence number (bytes 4 and 5),
//  - a write request's 11-byte header,
//  - and answers come from the controller's address (any port of it).
// What a controller has shown of these habits is kept in PeerHabits.
#ifndef VESKOR_ANSWERMATCH_H
#define VESKOR_ANSWERMATCH_H

#include <QtGlobal>

#include <array>
#include <cstring>

namespace veskor {

// What is known of the controller, learned from the answers it gave.
struct PeerHabits {
    bool answersFromPeerAddress = false;   // an answer came from the controller's address
    bool echoesSequence = false;           // a read answer carried its request's sequence
    bool echoesWriteHeader = false;        // a write answer began with its request's header

    // Sequence numbers of the last read requests that ended without an answer.
    static constexpr int kUnansweredKept = 8;
    std::array<qint32, kUnansweredKept> unanswered{{-1, -1, -1, -1, -1, -1, -1, -1}};
    int unansweredNext = 0;

    bool isUnanswered(quint16 sequence) const;
    void rememberUnanswered(quint16 sequence);
    void forgetUnanswered(quint16 sequence);   // a new request uses this number again

    // Headers of the last write requests that ended without an answer: a
    // controller that copies the header into its acknowledgement names them.
    static constexpr int kHeaderSize = 11;
    using Header = std::array<char, kHeaderSize>;
    std::array<Header, kUnansweredKept> unansweredWrites{};
    std::array<bool, kUnansweredKept> unansweredWriteUsed{};
    int unansweredWriteNext = 0;

    bool isUnansweredWrite(const char *header) const;
    void rememberUnansweredWrite(const char *header);
    void forgetUnansweredWrite(const char *header);

    // What a request leaves behind when it ends without an answer, what
    // sending one takes back, and what its late answer, once come, takes off.
    void requestSent(const char *request, int size);
    void requestUnanswered(const char *request, int size);
    void lateAnswerCame(const char *datagram, int size);

    // The controller's habits (address, echoes), kept: the unanswered lists.
    void forgetHabits();
    void forgetAll();
};

enum class RequestKind { Read, Write, Other };
RequestKind requestKind(const char *request, int size);

// Bytes 4 and 5, least significant first: a read request's sequence number
// and, in an answer that echoes it, the same.
quint16 sequenceOf(const char *frame);

enum class Verdict {
    Answer,           // answers the request
    Empty,            // no bytes: answers nothing
    ForeignAddress,   // not from the controller's address, which it answers from
    Late,             // carries the identity of an earlier request that got no answer
    NoEcho            // does not echo the request, which this controller does
};
constexpr int kVerdictCount = 5;
const char *verdictName(Verdict v);

// Verdict on one datagram that came while `request` waited for its answer.
Verdict judgeDatagram(const char *request, int requestSize, const char *datagram, int size,
                      bool fromPeerAddress, const PeerHabits &habits);

// What the answer taken for `request` shows of the controller's habits.
void learnFromAnswer(PeerHabits &habits, const char *request, int requestSize, const char *answer,
                     int size, bool fromPeerAddress);

} // namespace veskor

#endif
