#include "driver/libVESKOR.h"

#include "driver/Codec.h"
#include "protocol/Frames.h"
#include "value/ListAccess.h"
#include "driver/ResultCodes.h"
#include "driver/Tags.h"

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QStringList>
#include <QTime>

#include <climits>

using namespace veskor;

namespace {

const char kDriveName[] = "Oxbrin";
const char kVersion[] = "V1.0.1 202001031";

QDate parseBuildDate(QString text)
{
    // Compilers pad one-digit days with a space ("Dec  7 2026").
    text.replace(QStringLiteral("  "), QStringLiteral(" "));
    const QLocale english(QLocale::English);
    const QDate date = english.toDate(text, QStringLiteral("MMM dd yyyy"));
    if (date.isValid())
        return date;
    // "dd" wants two digits: a build on the 1st to the 9th of a month
    // ("Dec 7 2026" after the fix above) parses with "d".
    return english.toDate(text, QStringLiteral("MMM d yyyy"));
}

QString versionText(const QDate &date, const QString &timeText)
{
    const QTime time = QTime::fromString(timeText, QStringLiteral("hh:mm:ss"));
    return QStringLiteral("v1.0.1 %1 %2")
        .arg(date.toString(QStringLiteral("yyyy-MM-dd")), time.toString(QStringLiteral("hh:mm:ss")));
}

bool isPortText(const QString &text)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    int port = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        port = port * 10 + (c.unicode() - '0');
    }
    return port >= 1 && port <= 65535;
}

// The result code of a read or write from the transport's code.
int resultCodeOf(int protocolCode)
{
    switch (protocolCode) {
    case ProtoOk: return RcDone;
    case ProtoDeviceError: return RcDevice;
    case ProtoNoAnswer: return RcNoAnswer;
    case ProtoNoSocket: return RcNoSocket;
    case ProtoTooShort: return RcLength;
    default: return RcNothing;
    }
}

// Whether a write of `count` elements of `type` at `address` can be asked
// for: RcDone, or the result code that refuses it. The request carries
// address and length in 24 bits each, and header and data must fit one
// datagram.
int writeRequestCheck(int type, int address, int count, qint64 length)
{
    if (count == 0 || length == 0)
        return RcLength;
    if (type < DT_BOOL || type > DT_STRING)
        return RcType;
    if (address < 0 || address > kMaxWireField || length < 0 || length > kMaxWireField
        || kWriteHeaderSize + length > kMaxDatagramPayload)
        return RcLength;
    return RcDone;
}

} // namespace

LibVESKORS::LibVESKORS() = default;
LibVESKORS::~LibVESKORS() = default;

QString LibVESKORS::getDriveName()
{
    return QString::fromLatin1(kDriveName);
}

QString LibVESKORS::getversion_number()
{
    return QString::fromLatin1(kVersion);
}

QString LibVESKORS::buildVersionText(const QString &dateText, const QString &timeText)
{
    return versionText(parseBuildDate(dateText), timeText);
}

QString LibVESKORS::DebugCmd(EDebugCmdType cmd)
{
    switch (cmd) {
    case StartDebug:
        m_cmd.setDebug(true);
        return QStringLiteral("StartDebug");
    case StopDebug:
        m_cmd.setDebug(false);
        return QStringLiteral("StopDebug");
    case BuildVersion: {
        // Computed once per process; the initialisation of a function-local
        // static is safe against concurrent first use.
        static const QDate buildDate = parseBuildDate(QStringLiteral(__DATE__));
        return versionText(buildDate, QStringLiteral(__TIME__));
    }
    case DriveName:
        return getDriveName();
    }
    return QString();
}

int LibVESKORS::ConnectDrive(QString par)
{
    const QStringList parts = par.split(QLatin1Char(':'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() != 2)
        return -1;
    m_ip = parts.at(0);
    m_port = parts.at(1).toUInt(nullptr, 10);
    // A port is a decimal number from 1 to 65535: anything else is refused
    // before a socket is made for it.
    if (!isPortText(parts.at(1)))
        return -1;
    return m_cmd.ConnectDrive(m_ip, int(m_port));
}

void LibVESKORS::SetConnectPar(QString par)
{
    m_connectPar = par.toUInt(nullptr, 10);
}

int LibVESKORS::DisConnectDrive()
{
    return m_cmd.DisConnectDrive();
}

int LibVESKORS::DestroyFree()
{
    return m_cmd.DestroyFree();
}

int LibVESKORS::getArea(QString tag) { return tagArea(tag); }
int LibVESKORS::getAddr(QString tag) { return tagAddress(tag); }
int LibVESKORS::getBytelen(DataType type, int n) { return byteLength32(int(type), n); }

CLabelVariable LibVESKORS::ReadVariable(QString tag, DataType type)
{
    return ReadVariable(tag, type, 1);
}

CLabelVariable LibVESKORS::ReadVariable(QString tag, DataType type, int count)
{
    m_cmd.forgetAnswer();   // until this call's own exchange, if it makes one
    const TagRef ref = parseTag(tag);
    const int area = ref.area;
    const int address = ref.address;   // -1: not an address a request can use
    int refusal = RcDone;
    if (area == 0)
        refusal = RcNoArea;
    else if (count <= 0)
        refusal = RcLength;
    else if (int(type) == DT_NONE)
        refusal = RcType;
    // The record is built where the host receives it: no copy on the way out.
    CLabelVariable result = refusal == RcDone ? Read_data(area, address, type, count, tag) : CLabelVariable();
    if (refusal != RcDone) {
        result.timeStamp = m_clock.now();
        result.resultCode = refusal;
    }
    result.labelName = tag;
    result.elementCount = count;
    result.dataType = type;
    return result;
}

CLabelVariable LibVESKORS::Read_data(int area, int address, DataType type, int count, const QString &tag)
{
    CLabelVariable result;
    const qint64 length64 = byteLength(int(type), count);
    // Neither a negative address (no address, or a typo where digits
    // belong) nor a length past 32 bits can be asked for: refuse them before
    // any traffic, with the time of the call like every refusal.
    if (address < 0 || length64 < 0 || length64 > INT_MAX) {
        result.timeStamp = m_clock.now();
        result.resultCode = RcLength;
        return result;
    }
    const int length = int(length64);

    QByteArray bytes;
    const int rc = m_cmd.Readmemory(area, address, length, int(m_connectPar), &bytes, tag);
    result.resultCode = resultCodeOf(rc);
    if (rc != ProtoOk)
        return result;
    result.timeStamp = m_clock.at(m_cmd.answerTimeMs());
    result.value = codec::decodeTag(int(type), bytes, count);
    if (!result.value.isValid())
        result.resultCode = RcType;
    return result;
}

CLabelVariable LibVESKORS::WriteVariable(QString tag, DataType type, CLabelVariable v)
{
    CLabelVariable copy(v);
    return WriteVariable(tag, type, copy, 1);
}

CLabelVariable LibVESKORS::WriteVariable(QString tag, DataType type, CLabelVariable v, int count)
{
    m_cmd.forgetAnswer();
    const TagRef ref = parseTag(tag);
    const int area = ref.area;
    const int address = ref.address;   // -1: not an address a request can use
    if (area == 0)
        v.resultCode = RcNoArea;
    else if (count < 0)
        v.resultCode = RcLength;
    else if (int(type) == DT_NONE)
        v.resultCode = RcType;
    else
        v = Write_data(area, address, type, v, count, tag);
    v.labelName = tag;
    v.dataType = type;
    v.elementCount = count;
    return CLabelVariable(v);
}

CLabelVariable LibVESKORS::Write_data(int area, int address, DataType type, CLabelVariable v,
                                      int count, const QString &tag)
{
    const qint64 length = byteLength(int(type), count);
    const int check = writeRequestCheck(int(type), address, count, length);
    if (check != RcDone) {
        v.resultCode = check;
        return v;
    }
    // Send only what the host supplied: a value of the wrong type, with too
    // few elements or a string too long for its field is refused.
    const codec::TagImage encoded = codec::encodeTag(int(type), v, count, int(length));
    if (encoded.resultCode != RcDone) {
        v.resultCode = encoded.resultCode;
        return v;
    }

    const int rc = int(type) == DT_BOOL ? m_cmd.Writebool(area, address, int(length), encoded.image, tag)
                                        : m_cmd.Writememory(area, address, int(length), encoded.image, tag);
    v.resultCode = resultCodeOf(rc);
    if (rc == ProtoOk)
        v.timeStamp = m_clock.at(m_cmd.answerTimeMs());
    return v;
}

QVariant LibVESKORS::set_variant_bool(QByteArray image, int count) { return codec::decodeBool(image, count); }
QVariant LibVESKORS::set_variant_Int8(QByteArray image, int count) { return codec::decodeInt8(image, count); }
QVariant LibVESKORS::set_variant_UInt8(QByteArray image, int count) { return codec::decodeUInt8(image, count); }
QVariant LibVESKORS::set_variant_Int16(QByteArray image, int count) { return codec::decodeInt16(image, count); }
QVariant LibVESKORS::set_variant_UInt16(QByteArray image, int count) { return codec::decodeUInt16(image, count); }
QVariant LibVESKORS::set_variant_Int32(QByteArray image, int count) { return codec::decodeInt32(image, count); }
QVariant LibVESKORS::set_variant_UInt32(QByteArray image, int count) { return codec::decodeUInt32(image, count); }
QVariant LibVESKORS::set_variant_fload(QByteArray image, int count) { return codec::decodeFloat(image, count); }
QVariant LibVESKORS::set_variant_Int64(QByteArray image, int count) { return codec::decodeInt64(image, count); }
QVariant LibVESKORS::set_variant_UInt64(QByteArray image, int count) { return codec::decodeUInt64(image, count); }
QVariant LibVESKORS::set_variant_double(QByteArray image, int count) { return codec::decodeDouble(image, count); }
QVariant LibVESKORS::set_variant_string(QByteArray image, int count) { return codec::decodeString(image, count); }

int LibVESKORS::Wset_variant_bool(CLabelVariable v, int count, QByteArray *out) { return codec::encodeBool(v, count, out); }
int LibVESKORS::Wset_variant_Int8(CLabelVariable v, int count, QByteArray *out) { return codec::encodeInt8(v, count, out); }
int LibVESKORS::Wset_variant_UInt8(CLabelVariable v, int count, QByteArray *out) { return codec::encodeUInt8(v, count, out); }
int LibVESKORS::Wset_variant_Int16(CLabelVariable v, int count, QByteArray *out) { return codec::encodeInt16(v, count, out); }
int LibVESKORS::Wset_variant_uInt16(CLabelVariable v, int count, QByteArray *out) { return codec::encodeUInt16(v, count, out); }
int LibVESKORS::Wset_variant_Int32(CLabelVariable v, int count, QByteArray *out) { return codec::encodeInt32(v, count, out); }
int LibVESKORS::Wset_variant_UInt32(CLabelVariable v, int count, QByteArray *out) { return codec::encodeUInt32(v, count, out); }
int LibVESKORS::Wset_variant_float(CLabelVariable v, int count, QByteArray *out) { return codec::encodeFloat(v, count, out); }
int LibVESKORS::Wset_variant_Int64(CLabelVariable v, int count, QByteArray *out) { return codec::encodeInt64(v, count, out); }
int LibVESKORS::Wset_variant_UInt64(CLabelVariable v, int count, QByteArray *out) { return codec::encodeUInt64(v, count, out); }
int LibVESKORS::Wset_variant_double(CLabelVariable v, int count, QByteArray *out) { return codec::encodeDouble(v, count, out); }
int LibVESKORS::Wset_variant_string(CLabelVariable v, int count, QByteArray *out) { return codec::encodeString(v, count, out); }
