#include "protocol/AnswerMatch.h"

#include "protocol/Frames.h"

#include <cstring>

namespace veskor {

namespace {

bool echoesSequence(const RequestView &request, const char *datagram, int size)
{
    return size >= kSequenceOffset + kSequenceSize && sequenceOf(datagram) == request.sequence;
}

bool echoesHeader(const RequestView &request, const char *datagram, int size)
{
    return size >= kWriteHeaderSize && memcmp(datagram, request.header(), kWriteHeaderSize) == 0;
}

// A cut answer cannot show an echo; it only must not contradict one. It is
// then judged as the answer it is (too short, for a read).
bool contradictsSequence(const RequestView &request, const char *datagram, int size)
{
    return size >= kSequenceOffset + kSequenceSize && sequenceOf(datagram) != request.sequence;
}

bool contradictsHeader(const RequestView &request, const char *datagram, int size)
{
    return memcmp(datagram, request.header(), size_t(qMin(size, kWriteHeaderSize))) != 0;
}

bool contradictsArea(const RequestView &request, const char *datagram, int size)
{
    return carriesAreaCode(datagram, size) && areaCodeOf(datagram) != request.areaCode;
}

} // namespace

// ------------------------------------------------------------ RecentReads --

void RecentReads::sent(quint16 sequence)
{
    if (m_sent.test(sequence)) {   // sent again: not answered yet
        m_answered.reset(sequence);
        return;
    }
    if (m_order.isFull()) {
        m_sent.reset(m_order.oldest());
        m_answered.reset(m_order.oldest());
    }
    m_order.push(sequence);
    m_sent.set(sequence);
}

void RecentReads::answered(quint16 sequence)
{
    if (m_sent.test(sequence))
        m_answered.set(sequence);
}

// ------------------------------------------------------------- SentRecord --

void SentRecord::talkTo(const PeerKey &peer)
{
    if (peer == m_current)
        return;
    if (m_current.isValid()) {
        bool known = false;
        for (const PeerKey &p : m_former)
            known |= p == m_current;
        if (!known)
            m_former.push(m_current);
    }
    // The new peer is no former one while it is current.
    for (PeerKey &p : m_former) {
        if (p == peer)
            p = PeerKey();
    }
    m_current = peer;
    m_recent.forgetAnswered();
}

Origin SentRecord::originOf(const PeerKey &sender) const
{
    if (sender == m_current)
        return Origin::Peer;
    for (const PeerKey &p : m_former) {
        // Another controller's own endpoint; or its address, when that is not
        // the current controller's (controllers may answer from another port).
        if (p.isValid() && (p == sender || (p.sameHost(sender) && !p.sameHost(m_current))))
            return Origin::FormerPeer;
    }
    return sender.sameHost(m_current) ? Origin::PeerAddress : Origin::Stranger;
}

void SentRecord::requestSent(const RequestView &request)
{
    // A read's sequence sent again (the counter wrapped) names this request
    // now. A write's header sent again does not: the controller's late
    // answer to the first write would be taken for the second's, and a lost
    // write reported done. It is kept as one the current peer may copy.
    if (request.isWrite()) {
        SentWrite w;
        memcpy(w.header.data(), request.header(), kWriteHeaderSize);
        w.peer = m_current;
        m_recentWrites.push(w);
    }
    if (!request.isRead())
        return;
    for (Read &r : m_reads) {
        if (r.sequence == qint32(request.sequence))
            r.sequence = -1;
    }
    m_recent.sent(request.sequence);
}

void SentRecord::requestUnanswered(const RequestView &request, qint64 sentUs)
{
    switch (request.kind) {
    case RequestKind::Read:
        m_reads.push(Read{request.sequence, m_current});
        break;
    case RequestKind::Write: {
        for (Write &w : m_writes) {
            if (w.used && w.peer == m_current && memcmp(w.header.data(), request.header(), kWriteHeaderSize) == 0) {
                w.sentUs = sentUs;   // awaited already: from now on for longer
                w.cameUs = -1;
                return;
            }
        }
        Write w;
        w.used = true;
        w.sentUs = sentUs;
        w.cameUs = -1;
        memcpy(w.header.data(), request.header(), kWriteHeaderSize);
        w.peer = m_current;
        m_writes.push(w);
        break;
    }
    case RequestKind::Other:
        break;
    }
}

void SentRecord::requestAnswered(const RequestView &request)
{
    if (request.isRead())
        m_recent.answered(request.sequence);
    if (!request.isWrite())
        return;
    for (Write &w : m_writes) {
        if (w.used && w.peer == m_current && memcmp(w.header.data(), request.header(), kWriteHeaderSize) == 0)
            w.used = false;
    }
}

void SentRecord::lateAnswerCame(const char *datagram, int size, qint64 nowUs)
{
    if (size < kWriteHeaderSize)
        return;
    for (Write &w : m_writes) {
        if (w.used && w.cameUs < 0 && memcmp(w.header.data(), datagram, kWriteHeaderSize) == 0)
            w.cameUs = nowUs;
    }
}

void SentRecord::forgetOldWrites(qint64 nowUs, qint64 windowUs)
{
    for (Write &w : m_writes) {
        if (w.used && ((w.cameUs >= 0 && nowUs - w.cameUs > kCopiesWindowUs) || nowUs - w.sentUs > windowUs))
            w.used = false;
    }
}

bool SentRecord::isUnansweredRead(quint16 sequence, bool exceptCurrent, bool onlyCurrent) const
{
    for (const Read &r : m_reads) {
        const bool current = r.peer == m_current;
        if (r.sequence == qint32(sequence) && !(exceptCurrent && current) && !(onlyCurrent && !current))
            return true;
    }
    return false;
}

bool SentRecord::isUnansweredWrite(const char *header, bool onlyCurrent) const
{
    for (const Write &w : m_writes) {
        if (w.used && (!onlyCurrent || w.peer == m_current) && memcmp(w.header.data(), header, kWriteHeaderSize) == 0)
            return true;
    }
    return false;
}

bool SentRecord::isRecentWrite(const char *header) const
{
    for (const SentWrite &w : m_recentWrites) {
        if (w.peer == m_current && memcmp(w.header.data(), header, kWriteHeaderSize) == 0)
            return true;
    }
    return false;
}

// ------------------------------------------------------------------ rules --

RequestKind requestKind(const char *request, int size)
{
    if (isReadRequest(request, size))
        return RequestKind::Read;
    if (isWriteRequest(request, size))
        return RequestKind::Write;
    return RequestKind::Other;
}

const char *verdictName(Verdict v)
{
    switch (v) {
    case Verdict::Answer: return "answer";
    case Verdict::Empty: return "empty";
    case Verdict::ForeignAddress: return "foreign address";
    case Verdict::Late: return "late";
    case Verdict::NoEcho: return "no echo";
    case Verdict::OtherArea: return "other area";
    }
    return "?";
}

Verdict judgeDatagram(const RequestView &request, const char *datagram, int size, Origin from,
                      const PeerHabits &habits, const SentRecord &sent)
{
    if (size <= 0)
        return Verdict::Empty;
    // Only the controller the host named answers, from any port of its
    // address; never another controller, never anyone else.
    if (!isPeerAddress(from))
        return Verdict::ForeignAddress;
    // A read answer (magic, then the sequence) to a request that
    // timed out. The request waiting now has taken its identity off the list.
    // Reads to this controller count only while its sequence field names requests.
    if (isReadAnswer(datagram, size)
        && sent.isUnansweredRead(sequenceOf(datagram), habits.sequenceNamesNothing, from == Origin::Peer))
        return Verdict::Late;
    // The copied header of a write that timed out.
    if (size >= kWriteHeaderSize && sent.isUnansweredWrite(datagram, from == Origin::Peer))
        return Verdict::Late;
    switch (request.kind) {
    case RequestKind::Read:
        if (habits.copiesAreaCode && contradictsArea(request, datagram, size))
            return Verdict::OtherArea;
        // Another sequence in a read answer: not this read's answer, and a
        // sign that the controller may have stopped echoing. Anything else
        // there (a write's acknowledgement, late or copied) answers an earlier
        // write and shows nothing of the sequence echo.
        // A copy of an answer this controller gave to an earlier read is late
        // too, and shows the echo rather than contradicting it (but for 0,
        // which controllers that stopped echoing put there).
        if (habits.echoesSequence && contradictsSequence(request, datagram, size))
            return isReadAnswer(datagram, size)
                    && (sequenceOf(datagram) == 0 || !sent.isAnsweredRead(sequenceOf(datagram)))
                ? Verdict::NoEcho : Verdict::Late;
        break;
    case RequestKind::Write:
        // A read answer carrying the sequence of a read this socket sent
        // (a duplicate, or late) is no write's acknowledgement, whatever the
        // controller is known to echo. Nor is any read answer of a controller
        // that copies write headers: it answers an earlier read, and shows
        // nothing of how the controller acknowledges writes (taken for a
        // contradiction, it would unteach the header echo, and a late
        // acknowledgement of another write would answer the next one).
        if (isReadAnswer(datagram, size)
            && (habits.echoesWriteHeader || sent.isRecentRead(sequenceOf(datagram))))
            return Verdict::Late;
        // The header of an earlier write to this controller, a copy or a late
        // acknowledgement, is late, and shows the echo rather than
        // contradicting it.
        if (habits.echoesWriteHeader && contradictsHeader(request, datagram, size))
            return size >= kWriteHeaderSize && sent.isRecentWrite(datagram) ? Verdict::Late : Verdict::NoEcho;
        break;
    case RequestKind::Other:
        break;
    }
    return Verdict::Answer;
}

void learnFromAnswer(PeerHabits &habits, const RequestView &request, const char *answer, int size,
                     Origin from)
{
    if (!isPeerAddress(from))
        return;
    switch (request.kind) {
    case RequestKind::Read:
        habits.strayRuns = 0;
        // Sequence 0 teaches nothing: controllers that do not echo often
        // leave zeros there, and the counter passes 0 once per wrap.
        if (request.sequence != 0 && echoesSequence(request, answer, size)) {
            habits.echoesSequence = true;
            habits.sequenceNamesNothing = false;
        } else if (request.sequence != 0 && isReadAnswer(answer, size) && sequenceOf(answer) != 0) {
            // Its own answer, with another number than the request's: the
            // field names no request (a count passing the sequence of one of
            // its unanswered reads would otherwise be passed over as late).
            habits.sequenceNamesNothing = true;
        }
        if (carriesAreaCode(answer, size) && request.areaCode != 0) {
            const quint32 area = areaCodeOf(answer);
            if (area != request.areaCode) {
                habits.copiesAreaCode = false;
                habits.areaCodeCopied = 0;
            } else {
                // Two different area codes copied: a habit, not a constant.
                if (habits.areaCodeCopied != 0 && habits.areaCodeCopied != area)
                    habits.copiesAreaCode = true;
                habits.areaCodeCopied = area;
            }
        }
        break;
    case RequestKind::Write:
        if (echoesHeader(request, answer, size))
            habits.echoesWriteHeader = true;
        break;
    case RequestKind::Other:
        break;
    }
}

void learnFromSilence(PeerHabits &habits, const RequestView &request, const SilenceSigns &signs)
{
    switch (request.kind) {
    case RequestKind::Read:
        // The controller no longer does what it did: forget the habit, so
        // that this costs one exchange, not every one.
        if (signs.echoContradicted)
            habits.echoesSequence = false;
        if (signs.areaContradicted) {
            habits.copiesAreaCode = false;
            habits.areaCodeCopied = 0;
        }
        // Answers that keep carrying another request's sequence: the field
        // is a count of the controller's own, or anything but an echo.
        habits.strayRuns = signs.strayPrompt ? habits.strayRuns + 1 : 0;
        if (habits.strayRuns >= PeerHabits::kStrayRunsToUnlearn) {
            habits.echoesSequence = false;
            habits.sequenceNamesNothing = true;
            habits.strayRuns = 0;
        }
        break;
    case RequestKind::Write:
        if (signs.echoContradicted)
            habits.echoesWriteHeader = false;
        break;
    case RequestKind::Other:
        break;
    }
}

} // namespace veskor
