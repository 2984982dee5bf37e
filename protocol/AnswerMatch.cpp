#include "AnswerMatch.h"

#include "Frames.h"

#include <cstring>

namespace veskor {

bool PeerHabits::isUnanswered(quint16 sequence) const
{
    for (const qint32 s : unanswered) {
        if (s == qint32(sequence))
            return true;
    }
    return false;
}

void PeerHabits::rememberUnanswered(quint16 sequence)
{
    if (isUnanswered(sequence))
        return;
    unanswered[size_t(unansweredNext)] = sequence;
    unansweredNext = (unansweredNext + 1) % kUnansweredKept;
}

void PeerHabits::forgetUnanswered(quint16 sequence)
{
    for (qint32 &s : unanswered) {
        if (s == qint32(sequence))
            s = -1;
    }
}

bool PeerHabits::isUnansweredWrite(const char *header) const
{
    for (int i = 0; i < kUnansweredKept; ++i) {
        if (unansweredWriteUsed[size_t(i)] && memcmp(unansweredWrites[size_t(i)].data(), header, kHeaderSize) == 0)
            return true;
    }
    return false;
}

void PeerHabits::rememberUnansweredWrite(const char *header)
{
    if (isUnansweredWrite(header))
        return;
    memcpy(unansweredWrites[size_t(unansweredWriteNext)].data(), header, kHeaderSize);
    unansweredWriteUsed[size_t(unansweredWriteNext)] = true;
    unansweredWriteNext = (unansweredWriteNext + 1) % kUnansweredKept;
}

void PeerHabits::forgetUnansweredWrite(const char *header)
{
    for (int i = 0; i < kUnansweredKept; ++i) {
        if (unansweredWriteUsed[size_t(i)] && memcmp(unansweredWrites[size_t(i)].data(), header, kHeaderSize) == 0)
            unansweredWriteUsed[size_t(i)] = false;
    }
}

void PeerHabits::requestSent(const char *request, int size)
{
    switch (requestKind(request, size)) {
    case RequestKind::Read: forgetUnanswered(sequenceOf(request)); break;
    case RequestKind::Write: forgetUnansweredWrite(request); break;
    case RequestKind::Other: break;
    }
}

void PeerHabits::requestUnanswered(const char *request, int size)
{
    switch (requestKind(request, size)) {
    case RequestKind::Read: rememberUnanswered(sequenceOf(request)); break;
    case RequestKind::Write: rememberUnansweredWrite(request); break;
    case RequestKind::Other: break;
    }
}

void PeerHabits::lateAnswerCame(const char *datagram, int size)
{
    if (size >= 6 && datagram[0] == 'M')
        forgetUnanswered(sequenceOf(datagram));
    if (size >= kWriteHeaderSize)
        forgetUnansweredWrite(datagram);
}

void PeerHabits::forgetHabits()
{
    answersFromPeerAddress = false;
    echoesSequence = false;
    echoesWriteHeader = false;
}

void PeerHabits::forgetAll()
{
    *this = PeerHabits();
}

RequestKind requestKind(const char *request, int size)
{
    if (size == kReadRequestSize && request[0] == 'M' && request[1] == 'R')
        return RequestKind::Read;
    if (size >= kWriteHeaderSize && memcmp(request, "\x02\x01\x01\x00", 4) == 0)
        return RequestKind::Write;
    return RequestKind::Other;
}

quint16 sequenceOf(const char *frame)
{
    return quint16(uchar(frame[4]) | uchar(frame[5]) << 8);
}

const char *verdictName(Verdict v)
{
    switch (v) {
    case Verdict::Answer: return "answer";
    case Verdict::Empty: return "empty";
    case Verdict::ForeignAddress: return "foreign address";
    case Verdict::Late: return "late";
    case Verdict::NoEcho: return "no echo";
    }
    return "?";
}

namespace {

bool echoesSequence(const char *request, const char *datagram, int size)
{
    return size >= 6 && sequenceOf(datagram) == sequenceOf(request);
}

bool echoesHeader(const char *request, const char *datagram, int size)
{
    return size >= kWriteHeaderSize && memcmp(datagram, request, kWriteHeaderSize) == 0;
}

// A cut answer cannot show an echo; it only must not contradict one. It is
// then judged as the answer it is (too short, for a read).
bool contradictsSequence(const char *request, const char *datagram, int size)
{
    return size >= 6 && sequenceOf(datagram) != sequenceOf(request);
}

bool contradictsHeader(const char *request, const char *datagram, int size)
{
    return memcmp(datagram, request, size_t(qMin(size, kWriteHeaderSize))) != 0;
}

} // namespace

Verdict judgeDatagram(const char *request, int requestSize, const char *datagram, int size,
                      bool fromPeerAddress, const PeerHabits &habits)
{
    if (size <= 0)
        return Verdict::Empty;
    if (habits.answersFromPeerAddress && !fromPeerAddress)
        return Verdict::ForeignAddress;
    // A read answer ('M', then the sequence in bytes 4-5) to a request that
    // timed out. The request waiting now has taken its identity off the list.
    if (size >= 6 && datagram[0] == 'M' && habits.isUnanswered(sequenceOf(datagram)))
        return Verdict::Late;
    // The copied header of a write that timed out.
    if (size >= kWriteHeaderSize && habits.isUnansweredWrite(datagram))
        return Verdict::Late;
    switch (requestKind(request, requestSize)) {
    case RequestKind::Read:
        if (habits.echoesSequence && contradictsSequence(request, datagram, size))
            return Verdict::NoEcho;
        break;
    case RequestKind::Write:
        if (habits.echoesWriteHeader && contradictsHeader(request, datagram, size))
            return Verdict::NoEcho;
        break;
    case RequestKind::Other:
        break;
    }
    return Verdict::Answer;
}

void learnFromAnswer(PeerHabits &habits, const char *request, int requestSize, const char *answer,
                     int size, bool fromPeerAddress)
{
    if (fromPeerAddress)
        habits.answersFromPeerAddress = true;
    switch (requestKind(request, requestSize)) {
    case RequestKind::Read:
        // Sequence 0 teaches nothing: controllers that do not echo often
        // leave zeros there, and the counter passes 0 once per wrap.
        if (sequenceOf(request) != 0 && echoesSequence(request, answer, size))
            habits.echoesSequence = true;
        break;
    case RequestKind::Write:
        if (echoesHeader(request, answer, size))
            habits.echoesWriteHeader = true;
        break;
    case RequestKind::Other:
        break;
    }
}

} // namespace veskor
