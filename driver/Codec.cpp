#include "driver/Codec.h"

#include "driver/ResultCodes.h"
#include "host/CLabelVariable.h"
#include "value/ListAccess.h"

#include <QList>
#include <QtEndian>
#include <cstring>

namespace veskor {
namespace codec {

namespace {

// Little-endian unsigned integer of W bytes at position pos; bytes past the
// end of the image read as 0.
template <typename U, int W>
inline U readLE(const uchar *p, int size, qint64 pos)
{
    U v = 0;
    if (pos + W <= size) {
        for (int k = W - 1; k >= 0; --k)
            v = U(v << 8) | U(p[pos + k]);
        return v;
    }
    for (int k = W - 1; k >= 0; --k)
        v = U(v << 8) | U(pos + k < size ? p[pos + k] : 0);
    return v;
}

template <typename U, int W>
inline void appendLE(char *dst, U v)
{
    for (int k = 0; k < W; ++k) {
        dst[k] = char(v & 0xFF);
        v = U(v >> 8);
    }
}

// A list of n copies of `fill` (n > 0), for a decoder to overwrite in place.
// QList keeps small movable elements inside its pointer array; for those the
// array is built by doubling (QList copies its own array in one memcpy)
// instead of n appends, each a call into QtCore. Larger elements are appended.
template <typename E>
QList<E> listOfSize(int n, const E &fill)
{
    QList<E> list;
    list.reserve(n);
    if constexpr (QTypeInfo<E>::isLarge || QTypeInfo<E>::isStatic) {
        for (int i = 0; i < n; ++i)
            list.append(fill);
    } else {
        // n's bits from the highest: each further bit doubles the list, and a
        // set bit adds one element. The array never outgrows the reservation.
        int bit = 31 - __builtin_clz(unsigned(n));
        list.append(fill);
        while (--bit >= 0) {
            list += list;
            if ((n >> bit) & 1)
                list.append(fill);
        }
    }
    return list;
}

// Decode `count` elements of width W: raw W-byte pattern U, stored as E.
template <typename E, typename U, int W, typename Conv>
QVariant decodeFixed(const QByteArray &image, int count, Conv conv)
{
    if (count <= 0)
        return QVariant::fromValue(QList<E>());
    QList<E> list = listOfSize<E>(count, E());
    const uchar *p = reinterpret_cast<const uchar *>(image.constData());
    const int size = image.size();
    // Elements that lie wholly inside the image, then the ones padded with 0.
    const int whole = qMin<qint64>(count, size / W);
    typename QList<E>::iterator it = list.begin();
    for (int i = 0; i < whole; ++i, ++it)
        *it = conv(qFromLittleEndian<U>(p + qint64(i) * W));
    for (int i = whole; i < count; ++i, ++it)
        *it = conv(readLE<U, W>(p, size, qint64(i) * W));
    return QVariant::fromValue(list);
}

template <typename E, typename U, int W, typename Conv>
int encodeFixed(const CLabelVariable &v, int count, QByteArray *out, Conv conv)
{
    bool convertible = false;
    const QList<E> list = listOf<E>(v.value, &convertible);
    if (!convertible || count <= 0 || !out)
        return 0;
    const int n = qMin(count, list.size());
    const int start = out->size();
    out->resize(start + n * W);
    char *dst = out->data() + start;
    for (int i = 0; i < n; ++i, dst += W)
        appendLE<U, W>(dst, conv(list.at(i)));
    return 0;
}

inline float floatFromBits(quint32 b) { float f; memcpy(&f, &b, 4); return f; }
inline double doubleFromBits(quint64 b) { double d; memcpy(&d, &b, 8); return d; }
inline quint32 bitsOfFloat(float f) { quint32 b; memcpy(&b, &f, 4); return b; }
inline quint64 bitsOfDouble(double d) { quint64 b; memcpy(&b, &d, 8); return b; }

} // namespace

QVariant decodeBool(const QByteArray &image, int count)
{
    return decodeFixed<bool, quint8, 1>(image, count, [](quint8 b) { return b != 0; });
}

QVariant decodeBoolBits(const QByteArray &image, int count)
{
    QList<bool> list;
    if (count > 0) {
        list.reserve(count);
        const int size = image.size();
        for (int i = 0; i < count; ++i) {
            const int byte = i / 8;
            const uchar b = byte < size ? uchar(image.at(byte)) : 0;
            list.append(((b >> (i % 8)) & 1) != 0);
        }
    }
    return QVariant::fromValue(list);
}

QVariant decodeInt8(const QByteArray &image, int count)
{
    return decodeFixed<char, quint8, 1>(image, count, [](quint8 b) { return char(b); });
}
QVariant decodeUInt8(const QByteArray &image, int count)
{
    return decodeFixed<unsigned char, quint8, 1>(image, count, [](quint8 b) { return b; });
}
QVariant decodeInt16(const QByteArray &image, int count)
{
    return decodeFixed<short, quint16, 2>(image, count, [](quint16 b) { return short(b); });
}
QVariant decodeUInt16(const QByteArray &image, int count)
{
    return decodeFixed<unsigned short, quint16, 2>(image, count, [](quint16 b) { return b; });
}
QVariant decodeInt32(const QByteArray &image, int count)
{
    return decodeFixed<int, quint32, 4>(image, count, [](quint32 b) { return int(b); });
}
QVariant decodeUInt32(const QByteArray &image, int count)
{
    return decodeFixed<unsigned int, quint32, 4>(image, count, [](quint32 b) { return b; });
}
QVariant decodeFloat(const QByteArray &image, int count)
{
    return decodeFixed<float, quint32, 4>(image, count, floatFromBits);
}
QVariant decodeInt64(const QByteArray &image, int count)
{
    return decodeFixed<long long, quint64, 8>(image, count, [](quint64 b) { return (long long)b; });
}
QVariant decodeUInt64(const QByteArray &image, int count)
{
    return decodeFixed<unsigned long long, quint64, 8>(image, count,
                                                       [](quint64 b) { return (unsigned long long)b; });
}
QVariant decodeDouble(const QByteArray &image, int count)
{
    return decodeFixed<double, quint64, 8>(image, count, doubleFromBits);
}

QVariant decodeString(const QByteArray &image, int count)
{
    QList<QString> list;
    if (count > 0) {
        list.reserve(count);
        const char *p = image.constData();
        const int size = image.size();
        int pos = 0;
        for (int i = 0; i < count; ++i) {
            if (pos >= size) {
                list.append(QString());
                continue;
            }
            const int len = uchar(p[pos]);
            const int avail = qMin(len, size - pos - 1);
            const char *field = p + pos + 1;
            const void *zero = memchr(field, 0, size_t(avail));
            const int textLen = zero ? int(static_cast<const char *>(zero) - field) : avail;
            list.append(QString::fromUtf8(field, textLen));
            pos += 1 + avail;
        }
    }
    return QVariant::fromValue(list);
}

int encodeBool(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<bool, quint8, 1>(v, count, out, [](bool b) { return quint8(b ? 1 : 0); });
}
int encodeInt8(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<char, quint8, 1>(v, count, out, [](char c) { return quint8(c); });
}
int encodeUInt8(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<unsigned char, quint8, 1>(v, count, out, [](unsigned char c) { return quint8(c); });
}
int encodeInt16(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<short, quint16, 2>(v, count, out, [](short x) { return quint16(x); });
}
int encodeUInt16(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<unsigned short, quint16, 2>(v, count, out, [](unsigned short x) { return quint16(x); });
}
int encodeInt32(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<int, quint32, 4>(v, count, out, [](int x) { return quint32(x); });
}
int encodeUInt32(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<unsigned int, quint32, 4>(v, count, out, [](unsigned int x) { return quint32(x); });
}
int encodeFloat(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<float, quint32, 4>(v, count, out, bitsOfFloat);
}
int encodeInt64(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<long long, quint64, 8>(v, count, out, [](long long x) { return quint64(x); });
}
int encodeUInt64(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<unsigned long long, quint64, 8>(v, count, out,
                                                       [](unsigned long long x) { return quint64(x); });
}
int encodeDouble(const CLabelVariable &v, int count, QByteArray *out)
{
    return encodeFixed<double, quint64, 8>(v, count, out, bitsOfDouble);
}

int encodeString(const CLabelVariable &v, int count, QByteArray *out)
{
    bool convertible = false;
    const QList<QString> list = listOf<QString>(v.value, &convertible);
    if (!convertible || count <= 0 || !out)
        return 0;
    const int n = qMin(count, list.size());
    for (int i = 0; i < n; ++i) {
        const QByteArray text = list.at(i).toUtf8();
        out->append(char(text.size() & 0xFF));
        out->append(text);
    }
    return 0;
}

QByteArray packBits(const QByteArray &bytePerElement, int count)
{
    if (count <= 0)
        return QByteArray();
    QByteArray out(int((qint64(count) + 7) / 8), '\0');
    const int n = qMin(count, bytePerElement.size());
    for (int i = 0; i < n; ++i) {
        if (bytePerElement.at(i) != 0)
            out[i / 8] = char(uchar(out.at(i / 8)) | (1u << (i % 8)));
    }
    return out;
}

QVariant decodeTag(int type, const QByteArray &image, int count)
{
    const int length = image.size();
    switch (type) {
    case DT_BOOL:
        // One bit per element; a single element is true when its byte is non-zero.
        return count == 1 ? decodeBool(image, 1) : decodeBoolBits(image, count);
    case DT_INT8: return decodeInt8(image, length);
    case DT_UINT8: return decodeUInt8(image, length);
    case DT_INT16:
    case DT_HOST_14: return decodeInt16(image, length / 2);
    case DT_UINT16: return decodeUInt16(image, length / 2);
    case DT_INT32: return decodeInt32(image, length / 4);
    case DT_UINT32:
    case DT_HOST_22: return decodeUInt32(image, length / 4);
    case DT_FLOAT: return decodeFloat(image, length / 4);
    case DT_INT64: return decodeInt64(image, length / 8);
    case DT_UINT64: return decodeUInt64(image, length / 8);
    case DT_DOUBLE: return decodeDouble(image, length / 8);
    case DT_STRING: return decodeString(image, length);
    default: return QVariant();
    }
}

namespace {

// Whether v holds at least `count` elements of type T: RcDone, RcType when
// its value is not convertible to a QList<T>, RcLength when it is too short.
template <typename T>
int listCheck(const CLabelVariable &v, int count)
{
    bool convertible = false;
    const QList<T> list = listOf<T>(v.value, &convertible);
    if (!convertible)
        return RcType;
    if (list.size() < count)
        return RcLength;
    return RcDone;
}

int valueCheck(int type, const CLabelVariable &v, int count)
{
    switch (type) {
    case DT_BOOL: return listCheck<bool>(v, count);
    case DT_INT8: return listCheck<char>(v, count);
    case DT_UINT8: return listCheck<unsigned char>(v, count);
    case DT_INT16: return listCheck<short>(v, count);
    case DT_UINT16: return listCheck<unsigned short>(v, count);
    case DT_INT32: return listCheck<int>(v, count);
    case DT_UINT32: return listCheck<unsigned int>(v, count);
    case DT_FLOAT: return listCheck<float>(v, count);
    case DT_INT64: return listCheck<long long>(v, count);
    case DT_UINT64: return listCheck<unsigned long long>(v, count);
    case DT_DOUBLE: return listCheck<double>(v, count);
    case DT_STRING: return listCheck<QString>(v, 1);   // one string fills the field
    default: return RcType;
    }
}

using Encoder = int (*)(const CLabelVariable &, int, QByteArray *);

// The encoder of a type of fixed element size; null for bool and string.
Encoder fixedEncoder(int type)
{
    switch (type) {
    case DT_INT8: return encodeInt8;
    case DT_UINT8: return encodeUInt8;
    case DT_INT16: return encodeInt16;
    case DT_UINT16: return encodeUInt16;
    case DT_INT32: return encodeInt32;
    case DT_UINT32: return encodeUInt32;
    case DT_FLOAT: return encodeFloat;
    case DT_INT64: return encodeInt64;
    case DT_UINT64: return encodeUInt64;
    case DT_DOUBLE: return encodeDouble;
    default: return nullptr;
    }
}

// The `length`-byte field of v's first string: length byte, text, zeros.
int stringField(const CLabelVariable &v, int length, QByteArray *image)
{
    encodeString(v, 1, image);
    const int textBytes = image->size() - 1;
    if (image->isEmpty() || textBytes > 255 || image->size() > length) {
        image->clear();
        return RcLength;
    }
    image->append(QByteArray(length - image->size(), '\0'));
    return RcDone;
}

} // namespace

TagImage encodeTag(int type, const CLabelVariable &v, int count, int length)
{
    TagImage out{valueCheck(type, v, count), QByteArray()};
    if (out.resultCode != RcDone)
        return out;
    if (type == DT_STRING) {
        out.resultCode = stringField(v, length, &out.image);
    } else if (type == DT_BOOL) {
        encodeBool(v, count, &out.image);
        if (count > 1)
            out.image = packBits(out.image, count);
    } else {
        fixedEncoder(type)(v, count, &out.image);
    }
    return out;
}

} // namespace codec
} // namespace veskor
