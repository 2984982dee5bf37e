// Read requests and answers through the same checks the read path uses, plus
// the write request builder and the traffic log's cut of a write answer.
//
// Input layout (little-endian):
//   0-1   sequence      2-5  area code    6-9  device identifier
//   10-13 offset (int)  14-17 length (int)
//   18    bytes of the request the answer is checked against a second time
//         (0 to 16 of the built request, to see a short request handled)
//   19..  the answer datagram
#include "Frames.h"
#include "FuzzInput.h"

#include <QByteArray>

#include <cstdint>

using namespace veskor;

namespace {

void checkReadRequest(const QByteArray &req, quint16 seq, quint32 area, quint32 dev)
{
    FUZZ_CHECK(req.size() == kReadRequestSize);
    const auto u = [&req](int i) { return quint32(uchar(req.at(i))); };
    FUZZ_CHECK(u(0) == 'M' && u(1) == 'R' && u(2) == 0x0E && u(3) == 0x00);
    FUZZ_CHECK((u(4) | u(5) << 8) == seq);
    FUZZ_CHECK(u(6) == 0x1E && u(7) == 0x00);
    FUZZ_CHECK((u(8) << 24 | u(9) << 16 | u(10) << 8 | u(11)) == area);
    FUZZ_CHECK((u(12) | u(13) << 8 | u(14) << 16 | u(15) << 24) == dev);
}

bool headerMatches(const QByteArray &request, const QByteArray &answer)
{
    if (answer.size() < 15 || request.size() < 15 || answer.at(0) != 'M')
        return false;
    for (int i = 12; i <= 14; ++i) {
        if (answer.at(i) != request.at(i))
            return false;
    }
    return true;
}

void checkVerdict(const QByteArray &request, const QByteArray &answer, int offset, int length)
{
    const int verdict = checkReadAnswer(request, answer, offset, length);
    FUZZ_CHECK(verdict == ProtoOk || verdict == ProtoDeviceError || verdict == ProtoNoAnswer
               || verdict == ProtoTooShort);
    FUZZ_CHECK((verdict == ProtoNoAnswer) == answer.isEmpty());

    const qint64 start = 16 + qint64(offset);
    const qint64 size = answer.size();

    if (verdict == ProtoOk) {
        FUZZ_CHECK(headerMatches(request, answer));
        const QByteArray payload = readAnswerPayload(answer, offset, length);
        if (length <= 0) {
            FUZZ_CHECK(payload.isEmpty());
        } else {
            FUZZ_CHECK(start >= 0 && start + length <= size);
            FUZZ_CHECK(payload.size() == length);
            FUZZ_CHECK(payload == answer.mid(int(start), length));
        }
    }
    if (verdict == ProtoDeviceError)
        FUZZ_CHECK(answer.size() >= 15 && !headerMatches(request, answer));

    // An answer that holds the wanted bytes and echoes the request is taken.
    if (offset >= 0 && length >= 0 && start + length <= size && headerMatches(request, answer))
        FUZZ_CHECK(verdict == ProtoOk);
}

void checkWriteRequest(quint32 area, int address, int length, const QByteArray &data)
{
    const QByteArray req = buildWriteRequest(area, address, length, data);
    const int n = length > 0 ? length : 0;
    FUZZ_CHECK(req.size() == kWriteHeaderSize + n);
    const auto u = [&req](int i) { return quint32(uchar(req.at(i))); };
    FUZZ_CHECK(u(0) == 0x02 && u(1) == 0x01 && u(2) == 0x01 && u(3) == 0x00);
    FUZZ_CHECK(u(4) == (area & 0xFF));
    const quint32 a = quint32(address) & 0xFFFFFF;
    const quint32 l = quint32(length) & 0xFFFFFF;
    FUZZ_CHECK((u(5) << 16 | u(6) | u(7) << 8) == a);
    FUZZ_CHECK((u(8) << 16 | u(9) | u(10) << 8) == l);
    const int copied = n < data.size() ? n : data.size();
    FUZZ_CHECK(req.mid(kWriteHeaderSize, copied) == data.left(copied));
    for (int i = kWriteHeaderSize + copied; i < req.size(); ++i)
        FUZZ_CHECK(req.at(i) == 0);
}

void checkLogCut(const QByteArray &answer, int length)
{
    const QByteArray cut = cutWriteAnswerForLog(answer, length);
    // Bytes length + 4 up to 1472 go; nothing goes when that range is empty
    // or starts before the answer.
    if (length >= -4 && length < 1468)
        FUZZ_CHECK(cut == answer.left(length + 4) + answer.mid(1472));
    else
        FUZZ_CHECK(cut == answer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const quint16 seq = in.take<quint16>();
    const quint32 area = in.take<quint32>();
    const quint32 dev = in.take<quint32>();
    const int offset = in.take<int32_t>();
    const int length = in.take<int32_t>();
    const int requestBytes = in.byte() % 17;
    const QByteArray answer = in.rest();

    const QByteArray request = buildReadRequest(seq, area, dev);
    checkReadRequest(request, seq, area, dev);
    checkVerdict(request, answer, offset, length);
    checkVerdict(request.left(requestBytes), answer, offset, length);

    // Keep the write image small enough to build on every input.
    const int writeLength = (length >= -70000 && length <= 70000) ? length : length % 65536;
    checkWriteRequest(area, offset, writeLength, answer);
    checkLogCut(answer, length);
    return 0;
}
