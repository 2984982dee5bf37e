// The rules that pick a request's answer out of the datagrams that come, fed
// with any request, datagram, sender and knowledge of the controller.
//
// Input layout:
//   0     flags: bit 0 answers from its address, bit 1 echoes the sequence,
//         bit 2 echoes the write header, bit 3 the datagram is from that
//         address, bits 4-5 the request: 0 read, 1 write, 2-3 raw bytes
//   1     count of unanswered read sequences (low 4 bits, at most 12)
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

QString describe(Verdict v) { return QString::fromLatin1(verdictName(v)); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    PeerHabits habits;
    habits.answersFromPeerAddress = flags & 1;
    habits.echoesSequence = flags & 2;
    habits.echoesWriteHeader = flags & 4;
    const bool fromPeer = flags & 8;
    const int unanswered = qMin(in.byte() & 0x0F, 12);
    for (int i = 0; i < unanswered; ++i)
        habits.rememberUnanswered(in.take<quint16>());
    const QByteArray lateHeader = in.bytes(11);
    if ((flags & 64) && lateHeader.size() == 11)
        habits.rememberUnansweredWrite(lateHeader.constData());

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
    habits.requestSent(request.constData(), request.size());
    const Verdict v = judgeDatagram(request.constData(), request.size(), datagram.constData(),
                                    datagram.size(), fromPeer, habits);

    FUZZ_CHECK((v == Verdict::Empty) == datagram.isEmpty());
    if (habits.answersFromPeerAddress && !fromPeer)
        FUZZ_CHECK_SAY(v == Verdict::ForeignAddress || v == Verdict::Empty, describe(v));
    if (v == Verdict::Answer) {
        // An answer names no request that went unanswered ...
        if (datagram.size() >= 6 && datagram.at(0) == 'M')
            FUZZ_CHECK(!habits.isUnanswered(sequenceOf(datagram.constData())));
        if (datagram.size() >= kWriteHeaderSize)
            FUZZ_CHECK(!habits.isUnansweredWrite(datagram.constData()));
        // ... and shows nothing against what this controller echoes.
        if (kind == RequestKind::Read && habits.echoesSequence && datagram.size() >= 6)
            FUZZ_CHECK(sequenceOf(datagram.constData()) == sequenceOf(request.constData()));
        if (kind == RequestKind::Write && habits.echoesWriteHeader)
            FUZZ_CHECK(memcmp(datagram.constData(), request.constData(),
                              size_t(qMin(datagram.size(), kWriteHeaderSize))) == 0);

        // What an answer teaches never turns it away.
        PeerHabits learned = habits;
        learnFromAnswer(learned, request.constData(), request.size(), datagram.constData(),
                        datagram.size(), fromPeer);
        const Verdict again = judgeDatagram(request.constData(), request.size(), datagram.constData(),
                                            datagram.size(), fromPeer, learned);
        FUZZ_CHECK_SAY(again == Verdict::Answer, describe(again));
    }

    // A controller forgotten is judged by the rule for one that echoes
    // nothing: any datagram with bytes answers.
    habits.forgetAll();
    const Verdict fresh = judgeDatagram(request.constData(), request.size(), datagram.constData(),
                                        datagram.size(), fromPeer, habits);
    FUZZ_CHECK_SAY(fresh == (datagram.isEmpty() ? Verdict::Empty : Verdict::Answer), describe(fresh));
    return 0;
}
