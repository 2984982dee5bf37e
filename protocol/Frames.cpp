#include "protocol/Frames.h"

#include <climits>
#include <cstring>

namespace veskor {

void writeReadRequest(char *out, quint16 sequence, quint32 areaCode, quint32 deviceId)
{
    const char bytes[kReadRequestSize] = {
        kReadMagic, kReadKind, 0x0E, 0x00,
        char(sequence & 0xFF), char(sequence >> 8),
        0x1E, 0x00,
        char(areaCode >> 24), char(areaCode >> 16), char(areaCode >> 8), char(areaCode),
        char(deviceId), char(deviceId >> 8), char(deviceId >> 16), char(deviceId >> 24),
    };
    memcpy(out, bytes, kReadRequestSize);
}

QByteArray buildReadRequest(quint16 sequence, quint32 areaCode, quint32 deviceId)
{
    QByteArray request(kReadRequestSize, Qt::Uninitialized);
    writeReadRequest(request.data(), sequence, areaCode, deviceId);
    return request;
}

int checkReadAnswer(const QByteArray &request, const QByteArray &answer, int offset, int length)
{
    if (answer.isEmpty())
        return ProtoNoAnswer;
    // The wanted bytes are answer[16 + offset, 16 + offset + length).
    const qint64 start = qint64(kReadAnswerHeader) + offset;
    const qint64 end = start + (length > 0 ? length : 0);
    if (qint64(length) > qint64(answer.size()) - kReadAnswerHeader - offset)
        return ProtoTooShort;
    // Bytes 0 and 12 to 14 are examined; an answer without them is too short,
    // and so is a wanted range that starts before the answer.
    constexpr int kChecked = kDeviceIdOffset + kDeviceIdChecked;
    if (answer.size() < kChecked || (length > 0 && start < 0) || end > answer.size())
        return ProtoTooShort;
    if (request.size() < kChecked)
        return ProtoDeviceError;
    for (int i = kDeviceIdOffset; i < kChecked; ++i) {
        if (answer.at(i) != request.at(i))
            return ProtoDeviceError;
    }
    if (answer.at(0) != kReadMagic)
        return ProtoDeviceError;
    return ProtoOk;
}

QByteArray readAnswerPayload(const QByteArray &answer, int offset, int length)
{
    if (length <= 0)
        return QByteArray();
    return answer.mid(kReadAnswerHeader + offset, length);
}

QByteArray buildWriteRequest(quint32 areaCode, int address, int length, const QByteArray &data)
{
    const int n = length > 0 ? length : 0;
    QByteArray out(kWriteHeaderSize + n, '\0');
    char *p = out.data();
    const quint32 a = quint32(address);
    const quint32 l = quint32(length);
    memcpy(p, kWriteMagic, sizeof kWriteMagic);
    p[4] = char(areaCode & 0xFF);
    p[5] = char(a >> 16);
    p[6] = char(a);
    p[7] = char(a >> 8);
    p[8] = char(l >> 16);
    p[9] = char(l);
    p[10] = char(l >> 8);
    const int copy = qMin(n, data.size());
    if (copy > 0)
        memcpy(p + kWriteHeaderSize, data.constData(), size_t(copy));
    return out;
}

QString hexForWarning(const QByteArray &bytes)
{
    constexpr int kShown = 64;
    if (bytes.size() <= kShown)
        return QString::fromLatin1(bytes.toHex());
    return QString::fromLatin1(QByteArray::fromRawData(bytes.constData(), kShown).toHex())
        + QStringLiteral("…(%1 bytes)").arg(bytes.size());
}

QByteArray cutWriteAnswerForLog(QByteArray answer, int length)
{
    const qint64 pos = qint64(length) + 4;
    const qint64 len = 1468 - qint64(length);
    if (pos < 0 || pos > INT_MAX || len <= 0)
        return answer;
    answer.remove(int(pos), int(len));
    return answer;
}

} // namespace veskor
