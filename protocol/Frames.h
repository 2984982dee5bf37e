// The controller's datagrams, byte by byte. Pure functions: no socket, no
// state, so they are tested and fuzzed on their own.
#ifndef VESKOR_FRAMES_H
#define VESKOR_FRAMES_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstring>

namespace veskor {

// Protocol result codes of the transport.
enum ProtocolCode {
    ProtoOk = 0,
    ProtoDeviceError = -1,
    ProtoNoAnswer = -2,
    ProtoNoSocket = -3,
    ProtoTooShort = -4
};

constexpr int kReadRequestSize = 16;
constexpr int kReadAnswerHeader = 16;
constexpr int kWriteHeaderSize = 11;

// Where the read request's fields stand, in the request and in an answer
// that copies them.
constexpr char kReadMagic = 'M';         // byte 0 of a read request and of a read answer
constexpr char kReadKind = 'R';          // byte 1 of a read request
constexpr int kSequenceOffset = 4;       // 2 bytes, least significant first
constexpr int kAreaCodeOffset = 8;       // 4 bytes, most significant first
constexpr int kDeviceIdOffset = 12;      // 4 bytes, least significant first
// The fields' lengths in bytes.
constexpr int kSequenceSize = 2;
constexpr int kAreaCodeSize = 4;
constexpr int kDeviceIdSize = 4;
// The first bytes of the device id that a read answer must echo (see
// checkReadAnswer).
constexpr int kDeviceIdChecked = 3;
// The first 4 bytes of every write request.
constexpr char kWriteMagic[4] = {0x02, 0x01, 0x01, 0x00};

inline quint16 sequenceOf(const char *frame)
{
    return quint16(uchar(frame[kSequenceOffset]) | uchar(frame[kSequenceOffset + 1]) << 8);
}

inline quint32 areaCodeOf(const char *frame)
{
    const char *a = frame + kAreaCodeOffset;
    return quint32(uchar(a[0])) << 24 | quint32(uchar(a[1])) << 16 | quint32(uchar(a[2])) << 8 | quint32(uchar(a[3]));
}

inline quint32 deviceIdOf(const char *frame)
{
    const char *d = frame + kDeviceIdOffset;
    return quint32(uchar(d[0])) | quint32(uchar(d[1])) << 8 | quint32(uchar(d[2])) << 16 | quint32(uchar(d[3])) << 24;
}

// A read answer as far as its magic and sequence go (the rest may be cut).
inline bool isReadAnswer(const char *datagram, int size)
{
    return size >= kSequenceOffset + kSequenceSize && datagram[0] == kReadMagic;
}

// A read answer long enough to carry the area code.
inline bool carriesAreaCode(const char *datagram, int size)
{
    return size >= kAreaCodeOffset + kAreaCodeSize && datagram[0] == kReadMagic;
}

inline bool isReadRequest(const char *request, int size)
{
    return size == kReadRequestSize && request[0] == kReadMagic && request[1] == kReadKind;
}

inline bool isWriteRequest(const char *request, int size)
{
    return size >= kWriteHeaderSize && memcmp(request, kWriteMagic, sizeof kWriteMagic) == 0;
}
constexpr int kMaxWireField = 0xFFFFFF;   // 24-bit address and length of a write
constexpr int kMaxDatagramPayload = 65507;  // the most one UDP/IPv4 datagram carries

// Read request, 16 bytes:
//   0 'M'  1 'R'  2 0x0E  3 0x00  4-5 sequence (LSB first)  6 0x1E  7 0x00
//   8-11 area code (MSB first)  12-15 device identifier (LSB first)
QByteArray buildReadRequest(quint16 sequence, quint32 areaCode, quint32 deviceId);
// The same 16 bytes written to out.
void writeReadRequest(char *out, quint16 sequence, quint32 areaCode, quint32 deviceId);

// Verdict on a read answer: ProtoNoAnswer when it is empty, ProtoTooShort when
// it cannot hold `length` bytes at payload offset `offset` (or is shorter than
// the part of the header that is checked), ProtoDeviceError when byte 0 is not
// 'M' or bytes 12 to 14 do not echo the request's, else ProtoOk. Never reads
// outside either array.
int checkReadAnswer(const QByteArray &request, const QByteArray &answer, int offset, int length);

// The `length` bytes of a checked answer's payload at `offset`.
QByteArray readAnswerPayload(const QByteArray &answer, int offset, int length);

// Write request: 0x02 0x01 0x01 0x00, the area code's low byte, then address
// and length as 24-bit fields in the order bits 16-23, 0-7, 8-15, then the
// first `length` bytes of data (zeros stand in for bytes data does not have).
QByteArray buildWriteRequest(quint32 areaCode, int address, int length, const QByteArray &data);

// A datagram as a warning line shows it: the hex of at most the first 64
// bytes, then "…(N bytes)" when there were more, so that a huge answer
// cannot flood the log.
QString hexForWarning(const QByteArray &bytes);

// A write answer as the traffic log shows it: at most length + 4 bytes of the
// first 1472 are kept (QByteArray::remove(length + 4, 1468 - length)).
QByteArray cutWriteAnswerForLog(QByteArray answer, int length);

} // namespace veskor

#endif
