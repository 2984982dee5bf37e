#include "driver/Tags.h"

#include <algorithm>

namespace veskor {

namespace {

const AreaEntry kAreas[] = {
    {"ID1x", 0x20009700u},  {"ID2x", 0x10009200u},  {"ID3x", 0x40018000u},
    {"ID4x", 0x30008200u},  {"ID5x", 0x10008800u},  {"ID6x", 0x10008200u},
    {"ID7x", 0x30009700u},  {"ID8x", 0x50008200u},  {"ID9x", 0x40008200u},
    {"ID10x", 0xC0008200u}, {"ID11x", 0xA0008200u}, {"ID12x", 0x50008800u},
    {"ID13x", 0xA0009700u}, {"ID14x", 0xD0008200u}, {"ID15x", 0xE0008200u},
    {"ID16x", 0xD1008200u}, {"ID17x", 0xE1008200u}, {"ID18x", 0xD2008200u},
    {"ID19x", 0xE2008200u}, {"ID20x", 0xD3008200u}, {"ID21x", 0xE3008200u},
    {"ID22x", 0xD4008200u}, {"ID23x", 0xE4008200u},
};
constexpr int kAreaCount = int(sizeof(kAreas) / sizeof(kAreas[0]));

// The general search: one case-insensitive search per entry, in table order.
int tagAreaSearch(const QString &tag)
{
    for (const AreaEntry &e : kAreas) {
        if (tag.indexOf(QLatin1String(e.name), 0, Qt::CaseInsensitive) >= 0)
            return int(e.code);
    }
    return 0;
}

inline bool isDigit(ushort c) { return c >= '0' && c <= '9'; }

// Index of the entry named exactly "ID", the n digits at d, "x"; kAreaCount
// when there is none.
int entryOfDigits(const ushort *d, int n)
{
    for (int i = 0; i < kAreaCount; ++i) {
        const char *digits = kAreas[i].name + 2;
        int k = 0;
        while (k < n && digits[k] == char(d[k]))
            ++k;
        if (k == n && digits[k] == 'x' && digits[k + 1] == '\0')
            return i;
    }
    return kAreaCount;
}

} // namespace

const AreaEntry *areaTable(int *count)
{
    if (count)
        *count = kAreaCount;
    return kAreas;
}

int tagArea(const QString &tag)
{
    // Every name in the table is "ID", decimal digits, "x". In a tag of ASCII
    // characters an entry occurs exactly where "ID" (any case) is followed by
    // the entry's digits and an "x" or "X": one pass finds all such places,
    // and the first entry in table order among them wins, as with the general
    // search. Other characters may fold to ASCII letters under Unicode case
    // folding; a tag with any of them takes the general search.
    const ushort *s = reinterpret_cast<const ushort *>(tag.constData());
    const int len = tag.size();
    int best = kAreaCount;
    for (int i = 0; i < len; ++i) {
        const ushort c = s[i];
        if (c >= 0x80)
            return tagAreaSearch(tag);
        if ((c | 0x20) != 'i' || i + 1 >= len || (s[i + 1] | 0x20) != 'd')
            continue;
        int j = i + 2;
        while (j < len && isDigit(s[j]))
            ++j;
        if (j == i + 2 || j >= len || (s[j] | 0x20) != 'x')
            continue;
        best = qMin(best, entryOfDigits(s + i + 2, j - i - 2));
    }
    return best < kAreaCount ? int(kAreas[best].code) : 0;
}

namespace {

// The address text: between the first and the second lower-case "x", or to
// the end. Null when the tag has no lower-case "x".
QStringRef addressText(const QString &tag)
{
    const int first = tag.indexOf(QLatin1Char('x'));
    if (first < 0)
        return QStringRef();
    const int second = tag.indexOf(QLatin1Char('x'), first + 1);
    const int end = second < 0 ? tag.size() : second;
    return tag.midRef(first + 1, end - first - 1);
}

} // namespace

int tagAddress(const QString &tag)
{
    const QStringRef text = addressText(tag);
    if (text.isNull())
        return -1;
    const uint n = text.toUInt(nullptr, 10);
    if (n >= 2147483648u)
        return -1;
    return int(n);
}

TagRef parseTag(const QString &tag)
{
    TagRef ref;
    ref.area = tagArea(tag);
    // The address text, as addressText() takes it, read in place: a read
    // parses its tag every time.
    const ushort *p = reinterpret_cast<const ushort *>(tag.constData());
    const ushort *const end = p + tag.size();
    p = std::find(p, end, ushort('x'));
    if (p == end || ++p == end || *p == 'x')
        return ref;   // no lower-case "x", or nothing after it
    // Leading zeros are allowed; the value stops growing once past 2^31.
    qint64 value = 0;
    for (; p != end && *p != 'x'; ++p) {
        if (*p < '0' || *p > '9')
            return ref;
        value = qMin<qint64>(value * 10 + (*p - '0'), 2147483648LL);
    }
    if (value < 2147483648LL)
        ref.address = int(value);
    return ref;
}

int elementBytes(int type)
{
    switch (type) {
    case DT_INT8: case DT_UINT8: case DT_STRING:
        return 1;
    case DT_INT16: case DT_UINT16: case DT_HOST_13: case DT_HOST_14: case HostType15: case HostType16:
        return 2;
    case DT_INT32: case DT_UINT32: case DT_FLOAT: case HostType18:
        return 4;
    case DT_INT64: case DT_UINT64: case DT_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

qint64 byteLength(int type, qint64 n)
{
    if (type == DT_BOOL)
        return n / 8 + (n % 8 != 0 ? 1 : 0);
    return elementBytes(type) * n;
}

int byteLength32(int type, int n)
{
    return int(quint32(quint64(byteLength(type, n))));
}

} // namespace veskor
