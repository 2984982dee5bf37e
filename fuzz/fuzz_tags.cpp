// Tag names, byte lengths, and the driver's read and write entry points on a
// driver object that was never connected (no socket: nothing leaves the
// process, every request that passes the checks ends in code 9).
//
// Input layout (little-endian):
//   0-3  data type (int32)          4-7  element count (int32)
//   8    value kind: 0-11 a list of the twelve element types, 12 no value,
//        13 a string that is not a list, 14 a list of QVariants (mod 15)
//   9    elements in that list
//   10   tag length in bytes (UTF-8)
//   11   which entry point: bit 0 read/write, bit 1 with/without count
//   12.. the tag, then the bytes the list's elements are decoded from
#include "CLabelVariable.h"
#include "Codec.h"
#include "Frames.h"
#include "FuzzInput.h"
#include "Tags.h"
#include "libVESKOR.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <climits>
#include <cstdint>

using namespace veskor;

namespace {

bool asciiCaseInsensitiveAt(const QString &text, int pos, const char *name)
{
    for (int k = 0; name[k]; ++k) {
        if (pos + k >= text.size())
            return false;
        const ushort c = text.at(pos + k).unicode();
        const ushort n = ushort(uchar(name[k]));
        const auto upper = [](ushort ch) { return ch >= 'a' && ch <= 'z' ? ushort(ch - 32) : ch; };
        if (upper(c) != upper(n))
            return false;
    }
    return true;
}

bool containsName(const QString &text, const char *name)
{
    for (int i = 0; i < text.size(); ++i) {
        if (asciiCaseInsensitiveAt(text, i, name))
            return true;
    }
    return false;
}

void checkArea(const QString &tag)
{
    const int area = tagArea(tag);
    int count = 0;
    const AreaEntry *table = areaTable(&count);
    FUZZ_CHECK(count == 23);
    // The first table entry the tag names wins; none named gives 0.
    int expected = 0;
    for (int i = 0; i < count; ++i) {
        if (containsName(tag, table[i].name)) {
            expected = int(table[i].code);
            break;
        }
    }
    FUZZ_CHECK_SAY(area == expected, QStringLiteral("tag \"%1\" gave area 0x%2, want 0x%3")
                                         .arg(tag).arg(uint(area), 0, 16).arg(uint(expected), 0, 16));
}

// The address a request may use: one or more ASCII digits between the first
// lower-case 'x' and the next one (or the end), of a value below 2^31; -1
// for anything else.
int requestAddress(const QString &tag)
{
    const int first = tag.indexOf(QLatin1Char('x'));
    if (first < 0)
        return -1;
    int second = tag.indexOf(QLatin1Char('x'), first + 1);
    if (second < 0)
        second = tag.size();
    const QString digits = tag.mid(first + 1, second - first - 1);
    if (digits.isEmpty())
        return -1;
    qint64 value = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = qMin<qint64>(value * 10 + (c.unicode() - '0'), qint64(1) << 40);
    }
    return value < 2147483648LL ? int(value) : -1;
}

void checkAddress(const QString &tag)
{
    const int address = tagAddress(tag);
    const TagRef ref = parseTag(tag);
    FUZZ_CHECK_SAY(ref.address == requestAddress(tag),
                   QStringLiteral("tag \"%1\": request address %2").arg(tag).arg(ref.address));
    FUZZ_CHECK(ref.area == tagArea(tag));
    FUZZ_CHECK(address >= -1);
    const int first = tag.indexOf(QLatin1Char('x'));
    if (first < 0) {
        FUZZ_CHECK(address == -1);
        return;
    }
    // Plain decimal digits between the first and the next 'x'.
    int second = tag.indexOf(QLatin1Char('x'), first + 1);
    if (second < 0)
        second = tag.size();
    const QString digits = tag.mid(first + 1, second - first - 1);
    if (digits.isEmpty())
        FUZZ_CHECK(address == 0);
    bool allDigits = !digits.isEmpty();
    for (const QChar c : digits)
        allDigits = allDigits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (allDigits) {
        QString trimmed = digits;
        while (trimmed.size() > 1 && trimmed.at(0) == QLatin1Char('0'))
            trimmed.remove(0, 1);
        const bool big = trimmed.size() > 10
            || (trimmed.size() == 10 && trimmed >= QLatin1String("2147483648"));
        // tagAddress() (the host's getAddr) reads a number too large for 32
        // bits as 0; parseTag() refuses it (checked above).
        const bool past32 = trimmed.size() > 10
            || (trimmed.size() == 10 && trimmed >= QLatin1String("4294967296"));
        FUZZ_CHECK_SAY(address == (past32 ? 0 : big ? -1 : trimmed.toInt()),
                       QStringLiteral("tag \"%1\" gave address %2").arg(tag).arg(address));
    }
}

void checkLength(int type, int count)
{
    const qint64 n = count;
    const qint64 len = byteLength(type, n);
    if (n >= 0)
        FUZZ_CHECK(len >= 0);
    qint64 expected = 0;
    switch (type) {
    case DT_BOOL: expected = n >= 0 ? (n + 7) / 8 : len; break;
    case DT_INT8: case DT_UINT8: case DT_STRING: expected = n; break;
    case DT_INT16: case DT_UINT16: expected = 2 * n; break;
    case DT_INT32: case DT_UINT32: case DT_FLOAT: expected = 4 * n; break;
    case DT_INT64: case DT_UINT64: case DT_DOUBLE: expected = 8 * n; break;
    default: expected = len; break;   // host codes: the table's own business
    }
    FUZZ_CHECK(len == expected);
    FUZZ_CHECK(byteLength32(type, count) == int(quint32(quint64(len))));
}

QVariant makeValue(int kind, int elements, const QByteArray &bytes)
{
    using namespace codec;
    switch (kind) {
    case 0: return decodeBool(bytes, elements);
    case 1: return decodeInt8(bytes, elements);
    case 2: return decodeUInt8(bytes, elements);
    case 3: return decodeInt16(bytes, elements);
    case 4: return decodeUInt16(bytes, elements);
    case 5: return decodeInt32(bytes, elements);
    case 6: return decodeUInt32(bytes, elements);
    case 7: return decodeFloat(bytes, elements);
    case 8: return decodeInt64(bytes, elements);
    case 9: return decodeUInt64(bytes, elements);
    case 10: return decodeDouble(bytes, elements);
    case 11: return decodeString(bytes, elements);
    case 12: return QVariant();
    case 13: return QVariant(QString::fromUtf8(bytes));
    default: {
        QVariantList list;
        for (int i = 0; i < elements && i < bytes.size(); ++i)
            list << QVariant(int(bytes.at(i)));
        return list;
    }
    }
}

int nextSequence(int s) { return s < 65536 ? s + 1 : 1; }

LibVESKORS &driver()
{
    static LibVESKORS *d = new LibVESKORS;   // lives for the whole run
    return *d;
}

void checkRead(const QString &tag, int type, int count, bool withCount)
{
    LibVESKORS &d = driver();
    const int before = d.transport().sequence();
    const CLabelVariable r = withCount ? d.ReadVariable(tag, DataType(type), count)
                                       : d.ReadVariable(tag, DataType(type));
    const int n = withCount ? count : 1;
    const int after = d.transport().sequence();

    const int area = tagArea(tag);
    const int address = requestAddress(tag);
    const qint64 len = byteLength(type, n);
    const bool request = area != 0 && n > 0 && type != 0 && address >= 0 && len >= 0 && len <= INT_MAX;

    FUZZ_CHECK(r.resultCode == 2 || r.resultCode == 3 || r.resultCode == 4 || r.resultCode == 9);
    FUZZ_CHECK((r.resultCode == 9) == request);
    FUZZ_CHECK(after == (request ? nextSequence(before) : before));
    if (area == 0)
        FUZZ_CHECK(r.resultCode == 3);
    FUZZ_CHECK(!r.value.isValid());
    FUZZ_CHECK(r.labelName == tag && r.elementCount == n && int(r.dataType) == type);
    // Refused before any traffic: stamped with the time of the call.
    if (r.resultCode != 9)
        FUZZ_CHECK(r.timeStamp.isValid());
}

void checkWrite(const QString &tag, int type, int count, bool withCount, const QVariant &value)
{
    LibVESKORS &d = driver();
    CLabelVariable v;
    v.value = value;
    v.resultCode = 1;
    const int before = d.transport().sequence();
    const CLabelVariable r = withCount ? d.WriteVariable(tag, DataType(type), v, count)
                                       : d.WriteVariable(tag, DataType(type), v);
    const int n = withCount ? count : 1;
    FUZZ_CHECK(d.transport().sequence() == before);   // writes carry no sequence

    const int area = tagArea(tag);
    const int address = requestAddress(tag);
    const qint64 len = byteLength(type, n);
    FUZZ_CHECK(r.resultCode == 2 || r.resultCode == 3 || r.resultCode == 4 || r.resultCode == 9);
    if (area == 0)
        FUZZ_CHECK(r.resultCode == 3);
    // Only a request that fits the wire gets as far as the (missing) socket.
    if (r.resultCode == 9)
        FUZZ_CHECK(area != 0 && n > 0 && type >= DT_BOOL && type <= DT_STRING && address >= 0
                   && address <= kMaxWireField && len > 0 && len <= kMaxWireField
                   && kWriteHeaderSize + len <= kMaxDatagramPayload);
    FUZZ_CHECK(r.labelName == tag && r.elementCount == n && int(r.dataType) == type);
    FUZZ_CHECK(r.value.userType() == value.userType());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const int type = in.take<int32_t>();
    const int count = in.take<int32_t>();
    const int kind = in.byte() % 15;
    const int elements = in.byte();
    const int tagBytes = in.byte();
    const int entry = in.byte();
    const QByteArray tagUtf8 = in.bytes(size_t(tagBytes));
    const QString tag = QString::fromUtf8(tagUtf8.constData(), tagUtf8.size());
    const QByteArray rest = in.rest();

    checkArea(tag);
    checkAddress(tag);
    checkLength(type, count);

    const bool withCount = (entry & 2) == 0;
    if ((entry & 1) == 0)
        checkRead(tag, type, count, withCount);
    else
        checkWrite(tag, type, count, withCount, makeValue(kind, elements, rest));
    return 0;
}
