// Every decoder and encoder on arbitrary images and element counts.
//
// Input layout (little-endian):
//   0-1  element count (int16): modulo 4097 (-4096 to 4096) when bit 7 of
//        byte 2 is set, else modulo 65 (-64 to 64), so most inputs run fast
//   2    list type handed to a mismatched encoder (low bits, mod 12)
//   3    encoder it is handed to (mod 12)
//   4    where the string round trip splits its text into fields
//   5..  the image
#include "CLabelVariable.h"
#include "Codec.h"
#include "FuzzInput.h"
#include "ListAccess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVector>

#include <cstdint>
#include <cstring>

using namespace veskor;

namespace {

using Decoder = QVariant (*)(const QByteArray &, int);
using Encoder = int (*)(const CLabelVariable &, int, QByteArray *);

CLabelVariable recordOf(const QVariant &value)
{
    CLabelVariable r;
    r.value = value;
    return r;
}

// image cut or padded with zeros to exactly n bytes.
QByteArray padded(const QByteArray &image, int n)
{
    QByteArray out = image.left(n);
    if (out.size() < n)
        out.append(QByteArray(n - out.size(), '\0'));
    return out;
}

template <typename E>
bool sameBits(const QList<E> &a, const QList<E> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (memcmp(&a.at(i), &b.at(i), sizeof(E)) != 0)
            return false;
    }
    return true;
}

// A fixed-width type of E: decoded elements are the image's little-endian
// W-byte fields bit for bit; encoding them gives the image back; decoding
// that gives the same elements.
template <typename E>
void fixedWidth(Decoder decode, Encoder encode, const QByteArray &image, int count)
{
    constexpr int W = int(sizeof(E));
    const int n = count > 0 ? count : 0;
    const QVariant decoded = decode(image, count);
    const QList<E> *list = exactList<E>(decoded);
    FUZZ_CHECK(list != nullptr);
    FUZZ_CHECK(list->size() == n);

    const QByteArray expected = padded(image, n * W);
    for (int i = 0; i < n; ++i)
        FUZZ_CHECK(memcmp(&list->at(i), expected.constData() + i * W, W) == 0);

    QByteArray out("prefix");
    FUZZ_CHECK(encode(recordOf(decoded), count, &out) == 0);
    FUZZ_CHECK(out.startsWith("prefix"));
    out.remove(0, 6);
    FUZZ_CHECK(out == expected);

    const QVariant again = decode(out, count);
    const QList<E> *list2 = exactList<E>(again);
    FUZZ_CHECK(list2 != nullptr && sameBits(*list, *list2));

    // Fewer elements than the list holds: the first ones only.
    QByteArray part;
    FUZZ_CHECK(encode(recordOf(decoded), n / 2, &part) == 0);
    FUZZ_CHECK(part == expected.left((n / 2) * W));
}

void boolBytes(const QByteArray &image, int count)
{
    const int n = count > 0 ? count : 0;
    const QVariant decoded = codec::decodeBool(image, count);
    const QList<bool> *list = exactList<bool>(decoded);
    FUZZ_CHECK(list != nullptr && list->size() == n);
    const QByteArray img = padded(image, n);
    QByteArray expected(n, '\0');
    for (int i = 0; i < n; ++i) {
        FUZZ_CHECK(list->at(i) == (img.at(i) != 0));
        expected[i] = img.at(i) != 0 ? 1 : 0;
    }
    QByteArray out;
    FUZZ_CHECK(codec::encodeBool(recordOf(decoded), count, &out) == 0);
    FUZZ_CHECK(out == expected);
    const QVariant decodedAgain = codec::decodeBool(out, count);
    const QList<bool> *again = exactList<bool>(decodedAgain);
    FUZZ_CHECK(again && *again == *list);
}

void boolBits(const QByteArray &image, int count)
{
    const int n = count > 0 ? count : 0;
    const QVariant decoded = codec::decodeBoolBits(image, count);
    const QList<bool> *bits = exactList<bool>(decoded);
    FUZZ_CHECK(bits != nullptr && bits->size() == n);
    const int nbytes = (n + 7) / 8;
    QByteArray expected = padded(image, nbytes);
    for (int i = 0; i < n; ++i)
        FUZZ_CHECK(bits->at(i) == (((uchar(expected.at(i / 8)) >> (i % 8)) & 1) != 0));
    if (n % 8 != 0)   // bits past the last element are not part of the image
        expected[nbytes - 1] = char(uchar(expected.at(nbytes - 1)) & ((1u << (n % 8)) - 1));

    QByteArray bytes;
    FUZZ_CHECK(codec::encodeBool(recordOf(decoded), count, &bytes) == 0);
    FUZZ_CHECK(bytes.size() == n);
    const QByteArray packed = codec::packBits(bytes, count);
    FUZZ_CHECK(packed == expected);
    const QVariant unpacked = codec::decodeBoolBits(packed, count);
    const QList<bool> *again = exactList<bool>(unpacked);
    FUZZ_CHECK(again && *again == *bits);

    // packBits on any bytes: bit i is set when byte i exists and is not zero.
    const QByteArray direct = codec::packBits(image, count);
    FUZZ_CHECK(direct.size() == nbytes);
    for (int i = 0; i < nbytes * 8; ++i) {
        const bool set = ((uchar(direct.at(i / 8)) >> (i % 8)) & 1) != 0;
        FUZZ_CHECK(set == (i < n && i < image.size() && image.at(i) != 0));
    }
}

// The text up to its first NUL.
QString beforeNul(const QString &s)
{
    const int z = s.indexOf(QChar(0));
    return z < 0 ? s : s.left(z);
}

void strings(const QByteArray &image, int count, int splitAt)
{
    const int n = count > 0 ? count : 0;
    const QVariant decoded = codec::decodeString(image, count);
    const QList<QString> *list = exactList<QString>(decoded);
    FUZZ_CHECK(list != nullptr && list->size() == n);
    for (const QString &s : *list)
        FUZZ_CHECK(!s.contains(QChar(0)));   // a field's text ends at a zero byte

    // Round trip of texts whose UTF-8 form fits the length byte. Texts come
    // from the image read as UTF-8 (bad sequences become U+FFFD), cut by
    // whole code points.
    QVector<uint> points = QString::fromUtf8(image.constData(), qMin(image.size(), 600)).toUcs4();
    const int cut = points.isEmpty() ? 0 : splitAt % (points.size() + 1);
    QList<QString> texts;
    texts << QString::fromUcs4(points.constData(), cut)
          << QString::fromUcs4(points.constData() + cut, points.size() - cut) << QString();
    for (QString &t : texts) {
        while (t.toUtf8().size() > 255)
            t.chop(t.at(t.size() - 1).isLowSurrogate() && t.size() > 1 ? 2 : 1);
    }
    QByteArray out;
    FUZZ_CHECK(codec::encodeString(recordOf(QVariant::fromValue(texts)), texts.size(), &out) == 0);
    int expectedSize = 0;
    for (const QString &t : texts)
        expectedSize += 1 + t.toUtf8().size();
    FUZZ_CHECK(out.size() == expectedSize);
    const QVariant decodedBack = codec::decodeString(out, texts.size());
    const QList<QString> *back = exactList<QString>(decodedBack);
    FUZZ_CHECK(back != nullptr && back->size() == texts.size());
    for (int i = 0; i < texts.size(); ++i)
        FUZZ_CHECK(back->at(i) == beforeNul(texts.at(i)));
}

struct Fixed {
    Decoder decode;
    Encoder encode;
    int width;
};

const Fixed kFixed[12] = {
    {codec::decodeBool, codec::encodeBool, 1},     {codec::decodeInt8, codec::encodeInt8, 1},
    {codec::decodeUInt8, codec::encodeUInt8, 1},   {codec::decodeInt16, codec::encodeInt16, 2},
    {codec::decodeUInt16, codec::encodeUInt16, 2}, {codec::decodeInt32, codec::encodeInt32, 4},
    {codec::decodeUInt32, codec::encodeUInt32, 4}, {codec::decodeFloat, codec::encodeFloat, 4},
    {codec::decodeInt64, codec::encodeInt64, 8},   {codec::decodeUInt64, codec::encodeUInt64, 8},
    {codec::decodeDouble, codec::encodeDouble, 8}, {codec::decodeString, codec::encodeString, 0},
};

// A list of one type handed to the encoder of another: it appends nothing or
// whole elements, never more than asked for.
void mismatched(const QByteArray &image, int count, int from, int to)
{
    const QVariant value = kFixed[from].decode(image, count);
    QByteArray out;
    FUZZ_CHECK(kFixed[to].encode(recordOf(value), count, &out) == 0);
    const int w = kFixed[to].width;
    const int n = count > 0 ? count : 0;
    if (w > 0)
        FUZZ_CHECK(out.size() % w == 0 && out.size() <= n * w);
    else   // a length byte and up to 255 field bytes, each read as U+FFFD at worst
        FUZZ_CHECK(out.size() <= n * (1 + 3 * 255));
    // An invalid value and one that is no list at all append nothing.
    QByteArray none;
    kFixed[to].encode(recordOf(QVariant()), count, &none);
    FUZZ_CHECK(none.isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const int raw = in.take<int16_t>();
    const int control = in.byte();
    const int count = (control & 0x80) ? raw % 4097 : raw % 65;
    const int from = (control & 0x7F) % 12;
    const int to = in.byte() % 12;
    const int splitAt = in.byte();
    const QByteArray image = in.rest();

    boolBytes(image, count);
    boolBits(image, count);
    fixedWidth<char>(codec::decodeInt8, codec::encodeInt8, image, count);
    fixedWidth<unsigned char>(codec::decodeUInt8, codec::encodeUInt8, image, count);
    fixedWidth<short>(codec::decodeInt16, codec::encodeInt16, image, count);
    fixedWidth<unsigned short>(codec::decodeUInt16, codec::encodeUInt16, image, count);
    fixedWidth<int>(codec::decodeInt32, codec::encodeInt32, image, count);
    fixedWidth<unsigned int>(codec::decodeUInt32, codec::encodeUInt32, image, count);
    fixedWidth<float>(codec::decodeFloat, codec::encodeFloat, image, count);
    fixedWidth<long long>(codec::decodeInt64, codec::encodeInt64, image, count);
    fixedWidth<unsigned long long>(codec::decodeUInt64, codec::encodeUInt64, image, count);
    fixedWidth<double>(codec::decodeDouble, codec::encodeDouble, image, count);
    strings(image, count, splitAt);
    mismatched(image, count, from, to);
    return 0;
}
