// The rules that pick a request's answer out of the datagrams that come, fed
// with any request, datagram, sender and knowledge of the controller.
//
// Input layout:
//   0     flags: bit 0 a read carrying the datagram's bytes 4-5 as its
//         sequence was sent before the request, bit 1 echoes the sequence,
//         bit 2 echoes the write header, bit 3 the datagram is from that
//         address, bits 4-5 the request: 0 read, 1 write, 2-3 raw bytes,
//         bit 6 a write header unanswered, bit 7 the datagram is from a
//         controller talked to before
//   1     low 4 bits: count of unanswered read sequences (at most 12); bit 4
//         the sequence field names nothing, bit 5 copies area codes, bit 6
//         the unanswered requests went to the controller talked to before,
//         bit 7 the datagram (from the controller's address) is from another port
//   2..   that many sequences (2 bytes each), then 11 bytes of a write
//         header taken as unanswered when flags bit 6 is set
//   ..    request: read: sequence (2 bytes); write: address (2), length (1)
//         and that many data bytes; raw: one length byte and the bytes
//   rest  the datagram
#include "AnswerMatch.h"
#include "Frames.h"
#include "FuzzInput.h"

#include <QByteArray>

#include <cstdint>
#include <cstring>

using namespace veskor;

namespace {
RequestView viewOf(const QByteArray &request)
{
    return RequestView::of(request.constData(), request.size());
}
} // namespace

namespace {

QString describe(Verdict v) { return QString::fromLatin1(verdictName(v)); }

} // namespace

namespace {

PeerKey localKey(quint16 port)
{
    PeerKey k;
    k.family = 2;
    k.address = {{127, 0, 0, 1}};
    k.port = port;
    return k;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    const uint8_t more = in.byte();
    PeerHabits habits;
    habits.echoesSequence = flags & 2;
    habits.echoesWriteHeader = flags & 4;
    habits.sequenceNamesNothing = more & 16;
    habits.copiesAreaCode = more & 32;
    const Origin from = (flags & 128) ? Origin::FormerPeer
        : (flags & 8)                 ? ((more & 128) ? Origin::PeerAddress : Origin::Peer)
                                      : Origin::Stranger;
    SentRecord sent;
    sent.talkTo(localKey(2));
    if (!(more & 64))
        sent.talkTo(localKey(1));
    const int unanswered = qMin(more & 0x0F, 12);
    for (int i = 0; i < unanswered; ++i) {
        const QByteArray r = buildReadRequest(in.take<quint16>(), 0x30008200u, 1);
        sent.requestUnanswered(viewOf(r), 0);
    }
    const QByteArray lateHeader = in.bytes(11);
    if ((flags & 64) && lateHeader.size() == 11) {
        const QByteArray w = lateHeader + QByteArray(1, '\0');
        if (requestKind(w.constData(), w.size()) == RequestKind::Write)
            sent.requestUnanswered(viewOf(w), 0);
    }
    sent.talkTo(localKey(1));
    const bool readSentEarlier = flags & 1;

    QByteArray request;
    switch ((flags >> 4) & 3) {
    case 0: request = buildReadRequest(in.take<quint16>(), 0x30008200u, 1); break;
    case 1: {
        const int address = in.take<quint16>();
        const int length = in.byte();
        request = buildWriteRequest(0x30008200u, address, length, in.bytes(size_t(length)));
        break;
    }
    default: request = in.bytes(in.byte()); break;
    }
    const QByteArray datagram = in.rest();
    const RequestKind kind = requestKind(request.constData(), request.size());

    // What sending does to the knowledge, as the exchange does it.
    if (readSentEarlier && datagram.size() >= kSequenceOffset + kSequenceSize) {
        const QByteArray r = buildReadRequest(sequenceOf(datagram.constData()), 0x30008200u, 1);
        sent.requestSent(viewOf(r));
    }
    sent.requestSent(viewOf(request));
    const Verdict v = judgeDatagram(viewOf(request), datagram.constData(),
                                    datagram.size(), from, habits, sent);

    FUZZ_CHECK((v == Verdict::Empty) == datagram.isEmpty());
    // Only the controller's address answers, from the first exchange on.
    if (!datagram.isEmpty() && !isPeerAddress(from))
        FUZZ_CHECK_SAY(v == Verdict::ForeignAddress, describe(v));
    // A read answer with the sequence of a read the socket sent is no write's
    // acknowledgement, whatever is known of the controller.
    if (kind == RequestKind::Write && isReadAnswer(datagram.constData(), datagram.size())
        && sent.isRecentRead(sequenceOf(datagram.constData())))
        FUZZ_CHECK_SAY(v != Verdict::Answer, describe(v));
    if (v == Verdict::Answer) {
        // An answer names no request that went unanswered ...
        if (datagram.size() >= 6 && datagram.at(0) == 'M')
            FUZZ_CHECK(!sent.isUnansweredRead(sequenceOf(datagram.constData()), habits.sequenceNamesNothing,
                                              from == Origin::Peer));
        if (datagram.size() >= kWriteHeaderSize)
            FUZZ_CHECK(!sent.isUnansweredWrite(datagram.constData(), from == Origin::Peer));
        // ... and shows nothing against what this controller echoes.
        if (kind == RequestKind::Read && habits.echoesSequence && datagram.size() >= 6)
            FUZZ_CHECK(sequenceOf(datagram.constData()) == sequenceOf(request.constData()));
        if (kind == RequestKind::Read && habits.copiesAreaCode && datagram.size() >= 12 && datagram.at(0) == 'M')
            FUZZ_CHECK(areaCodeOf(datagram.constData()) == areaCodeOf(request.constData()));
        if (kind == RequestKind::Write && habits.echoesWriteHeader)
            FUZZ_CHECK(memcmp(datagram.constData(), request.constData(),
                              size_t(qMin(datagram.size(), kWriteHeaderSize))) == 0);

        // What an answer teaches never turns it away.
        PeerHabits learned = habits;
        learnFromAnswer(learned, viewOf(request), datagram.constData(),
                        datagram.size(), from);
        const Verdict again = judgeDatagram(viewOf(request), datagram.constData(),
                                            datagram.size(), from, learned, sent);
        FUZZ_CHECK_SAY(again == Verdict::Answer, describe(again));
    }

    // A stranger's datagram teaches nothing.
    PeerHabits untaught = habits;
    learnFromAnswer(untaught, viewOf(request), datagram.constData(), datagram.size(),
                    Origin::Stranger);
    FUZZ_CHECK(memcmp(&untaught, &habits, sizeof habits) == 0);

    // A controller nothing is known of, on a socket that sent nothing else,
    // is judged by the rule for one that echoes nothing: any datagram with
    // bytes from its address answers; from anywhere else, none does.
    for (const Origin o : {Origin::Peer, Origin::PeerAddress, Origin::Stranger}) {
        const Verdict fresh = judgeDatagram(viewOf(request), datagram.constData(),
                                            datagram.size(), o, PeerHabits(), SentRecord());
        const Verdict expected = datagram.isEmpty() ? Verdict::Empty
            : isPeerAddress(o)                      ? Verdict::Answer
                                                    : Verdict::ForeignAddress;
        FUZZ_CHECK_SAY(fresh == expected, describe(fresh));
    }
    return 0;
}
