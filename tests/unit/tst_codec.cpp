// Byte images to element lists and back, through the driver's members and the
// codec functions behind them.
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "Codec.h"
#include "DataType.h"
#include "ResultCodes.h"
#include "libVESKOR.h"
#include "UnitSupport.h"

using unit::hex;
using unit::listVar;
namespace codec = veskor::codec;

namespace {

using LL = long long;
using ULL = unsigned long long;
using Decoder = std::function<QVariant(const QByteArray &, int)>;
using Encoder = std::function<int(const CLabelVariable &, int, QByteArray *)>;

LibVESKORS &driver()
{
    static LibVESKORS d;
    return d;
}

// Name -> (driver member, codec function, element type name).
struct DecoderPair { Decoder member; Decoder plain; QString type; };
const QMap<QString, DecoderPair> &decoders()
{
    auto m = [](QVariant (LibVESKORS::*f)(QByteArray, int)) {
        return [f](const QByteArray &b, int n) { return (driver().*f)(b, n); };
    };
    static const QMap<QString, DecoderPair> map{
        {"bool", {m(&LibVESKORS::set_variant_bool), codec::decodeBool, "bool"}},
        {"Int8", {m(&LibVESKORS::set_variant_Int8), codec::decodeInt8, "char"}},
        {"UInt8", {m(&LibVESKORS::set_variant_UInt8), codec::decodeUInt8, "uchar"}},
        {"Int16", {m(&LibVESKORS::set_variant_Int16), codec::decodeInt16, "short"}},
        {"UInt16", {m(&LibVESKORS::set_variant_UInt16), codec::decodeUInt16, "ushort"}},
        {"Int32", {m(&LibVESKORS::set_variant_Int32), codec::decodeInt32, "int"}},
        {"UInt32", {m(&LibVESKORS::set_variant_UInt32), codec::decodeUInt32, "uint"}},
        {"float", {m(&LibVESKORS::set_variant_fload), codec::decodeFloat, "float"}},
        {"Int64", {m(&LibVESKORS::set_variant_Int64), codec::decodeInt64, "int64"}},
        {"UInt64", {m(&LibVESKORS::set_variant_UInt64), codec::decodeUInt64, "uint64"}},
        {"double", {m(&LibVESKORS::set_variant_double), codec::decodeDouble, "double"}},
        {"string", {m(&LibVESKORS::set_variant_string), codec::decodeString, "QString"}},
        {"boolBits", {codec::decodeBoolBits, codec::decodeBoolBits, "bool"}},
    };
    return map;
}

struct EncoderPair { Encoder member; Encoder plain; };
const QMap<QString, EncoderPair> &encoders()
{
    auto m = [](int (LibVESKORS::*f)(CLabelVariable, int, QByteArray *)) {
        return [f](const CLabelVariable &v, int n, QByteArray *out) { return (driver().*f)(v, n, out); };
    };
    static const QMap<QString, EncoderPair> map{
        {"bool", {m(&LibVESKORS::Wset_variant_bool), codec::encodeBool}},
        {"Int8", {m(&LibVESKORS::Wset_variant_Int8), codec::encodeInt8}},
        {"UInt8", {m(&LibVESKORS::Wset_variant_UInt8), codec::encodeUInt8}},
        {"Int16", {m(&LibVESKORS::Wset_variant_Int16), codec::encodeInt16}},
        {"UInt16", {m(&LibVESKORS::Wset_variant_uInt16), codec::encodeUInt16}},
        {"Int32", {m(&LibVESKORS::Wset_variant_Int32), codec::encodeInt32}},
        {"UInt32", {m(&LibVESKORS::Wset_variant_UInt32), codec::encodeUInt32}},
        {"float", {m(&LibVESKORS::Wset_variant_float), codec::encodeFloat}},
        {"Int64", {m(&LibVESKORS::Wset_variant_Int64), codec::encodeInt64}},
        {"UInt64", {m(&LibVESKORS::Wset_variant_UInt64), codec::encodeUInt64}},
        {"double", {m(&LibVESKORS::Wset_variant_double), codec::encodeDouble}},
        {"string", {m(&LibVESKORS::Wset_variant_string), codec::encodeString}},
    };
    return map;
}

CLabelVariable holding(const QVariant &value)
{
    CLabelVariable r;
    r.value = value;
    return r;
}

// A list of each encoder's own type, for rows that only vary the count.
QVariant sampleFor(const QString &encoder)
{
    if (encoder == "bool") return listVar<bool>({true});
    if (encoder == "Int8") return listVar<char>({1});
    if (encoder == "UInt8") return listVar<uchar>({1});
    if (encoder == "Int16") return listVar<short>({1});
    if (encoder == "UInt16") return listVar<ushort>({1});
    if (encoder == "Int32") return listVar<int>({1});
    if (encoder == "UInt32") return listVar<uint>({1});
    if (encoder == "float") return listVar<float>({1});
    if (encoder == "Int64") return listVar<LL>({1});
    if (encoder == "UInt64") return listVar<ULL>({1});
    if (encoder == "double") return listVar<double>({1});
    return listVar<QString>({"a"});
}

template <typename T>
QByteArray bitsOf(const QList<T> &list)
{
    QByteArray out;
    for (const T &e : list)
        out.append(reinterpret_cast<const char *>(&e), int(sizeof(T)));
    return out;
}

// The controller's image of a list: each element's bytes least significant first.
template <typename T>
QByteArray littleEndianImage(const QList<T> &list)
{
    QByteArray out = bitsOf(list);
#if Q_BYTE_ORDER == Q_BIG_ENDIAN
    for (int i = 0; i < out.size(); i += int(sizeof(T)))
        std::reverse(out.begin() + i, out.begin() + i + int(sizeof(T)));
#endif
    return out;
}

// Encode n random values (raw bit patterns, so NaNs and infinities too, plus
// `extra`) and decode them again: the bits must survive.
template <typename T>
void roundTrip(const QString &name, QRandomGenerator &rng, const QList<T> &extra)
{
    QList<T> values = extra;
    for (int i = 0; i < 200; ++i) {
        const quint64 raw = rng.generate64();
        T v;
        memcpy(&v, &raw, sizeof(T));
        values << v;
    }
    for (const auto &pair : {qMakePair(encoders().value(name).member, decoders().value(name).member),
                             qMakePair(encoders().value(name).plain, decoders().value(name).plain)}) {
        QByteArray image;
        QCOMPARE(pair.first(holding(QVariant::fromValue(values)), values.size(), &image), 0);
        QCOMPARE(image, littleEndianImage(values));
        const QList<T> back = qvariant_cast<QList<T>>(pair.second(image, values.size()));
        QCOMPARE(bitsOf(back), bitsOf(values));
    }
}

} // namespace

class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void decodeEmpty_data();
    void decodeEmpty();
    void decodeKeepsFloatBits();
    void int8ReadsAsUnsigned();
    void encode_data();
    void encode();
    void packBits_data();
    void packBits();
    void roundTrips();
    void encodeTag_data();
    void encodeTag();
};

void TestCodec::decode_data()
{
    QTest::addColumn<QString>("decoder");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("elements");

    auto row = [](const char *name, const char *dec, const QByteArray &image, int count, const QStringList &el) {
        QTest::newRow(name) << QString(dec) << image << count << el;
    };
    row("Int16 34 12", "Int16", hex("34 12"), 1, {"4660"});
    row("Int16 FF FF", "Int16", hex("FF FF"), 1, {"-1"});
    row("UInt16 FF FF", "UInt16", hex("FF FF"), 1, {"65535"});
    row("Int32 01 count 2", "Int32", hex("01"), 2, {"1", "0"});
    row("Int32 two", "Int32", hex("FF FF FF 7F 00 00 00 80"), 2, {"2147483647", "-2147483648"});
    row("UInt32", "UInt32", hex("EF BE AD DE"), 1, {"3735928559"});
    row("Int64 256", "Int64", hex("00 01 00 00 00 00 00 00"), 1, {"256"});
    row("Int64 -2", "Int64", hex("FE FF FF FF FF FF FF FF"), 1, {"-2"});
    row("UInt64 2^63", "UInt64", hex("00 00 00 00 00 00 00 80"), 1, {"9223372036854775808"});
    row("UInt64 short", "UInt64", hex("01 02"), 2, {"513", "0"});
    row("float 1.0", "float", hex("00 00 80 3F"), 1, {"1"});
    row("float short", "float", hex("00 00 80"), 2, {"1.17549435e-38", "0"});
    row("double 1.0", "double", hex("00 00 00 00 00 00 F0 3F"), 1, {"1"});
    row("double -2.5 and short", "double", hex("00 00 00 00 00 00 04 C0 00"), 2, {"-2.5", "0"});
    row("bool bytes", "bool", hex("00 01 02"), 4, {"false", "true", "true", "false"});
    row("bool bits", "boolBits", hex("05"), 3, {"true", "false", "true"});
    row("bool bits past image", "boolBits", hex("FF"), 10,
        {"true", "true", "true", "true", "true", "true", "true", "true", "false", "false"});
    row("bool bits second byte", "boolBits", hex("00 02"), 10,
        {"false", "false", "false", "false", "false", "false", "false", "false", "false", "true"});
    row("Int8", "Int8", hex("80 7F"), 3, {"128", "127", "0"});
    row("UInt8", "UInt8", hex("FF"), 2, {"255", "0"});
    row("strings", "string", hex("03 61 62 63 02 78 00"), 3, {"abc", "x", ""});
    row("string cut at zero", "string", hex("05 61 62 00 63 64"), 1, {"ab"});
    row("string field past image", "string", hex("05 61 62"), 2, {"ab", ""});
    row("string UTF-8", "string", hex("05 C3 A9 E2 82 AC"), 1, {QString::fromUtf8("\xC3\xA9\xE2\x82\xAC")});
    row("string empty image", "string", QByteArray(), 2, {"", ""});
}

void TestCodec::decode()
{
    QFETCH(QString, decoder);
    QFETCH(QByteArray, image);
    QFETCH(int, count);
    QFETCH(QStringList, elements);

    const DecoderPair d = decoders().value(decoder);
    for (const Decoder &f : {d.member, d.plain}) {
        const QVariant v = f(image, count);
        QCOMPARE(unit::listType(v), d.type);
        QCOMPARE(unit::dump(v), elements);
        QCOMPARE(unit::dump(v).size(), count);
    }
}

void TestCodec::decodeEmpty_data()
{
    QTest::addColumn<QString>("decoder");
    QTest::addColumn<int>("count");
    for (const QString &name : decoders().keys()) {
        for (int count : {0, -1, INT_MIN}) {
            QTest::newRow(qPrintable(QString("%1 %2").arg(name).arg(count))) << name << count;
        }
    }
}

// No elements: still a valid QVariant holding an empty list of the decoder's type.
void TestCodec::decodeEmpty()
{
    QFETCH(QString, decoder);
    QFETCH(int, count);

    const DecoderPair d = decoders().value(decoder);
    for (const Decoder &f : {d.member, d.plain}) {
        for (const QByteArray &image : {QByteArray(), hex("01 02 03 04 05 06 07 08")}) {
            const QVariant v = f(image, count);
            QVERIFY(v.isValid());
            QCOMPARE(unit::listType(v), d.type);
            QVERIFY(unit::dump(v).isEmpty());
        }
    }
}

void TestCodec::decodeKeepsFloatBits()
{
    const QByteArray f = hex("01 00 C0 7F  00 00 80 7F  00 00 80 FF  01 00 80 7F  FF FF FF FF");
    for (const Decoder &dec : {decoders().value("float").member, decoders().value("float").plain})
        QCOMPARE(bitsOf(qvariant_cast<QList<float>>(dec(f, 5))), f);
    const QByteArray d = hex("01 00 00 00 00 00 F8 7F  00 00 00 00 00 00 F0 FF  01 00 00 00 00 00 F0 7F");
    for (const Decoder &dec : {decoders().value("double").member, decoders().value("double").plain})
        QCOMPARE(bitsOf(qvariant_cast<QList<double>>(dec(d, 3))), d);
}

void TestCodec::int8ReadsAsUnsigned()
{
    CLabelVariable r = holding(driver().set_variant_Int8(hex("80"), 1));
    const QList<char> list = qvariant_cast<QList<char>>(r.value);
    QCOMPARE(list.size(), 1);
    QCOMPARE(uchar(list.at(0)), uchar(0x80));
    QCOMPARE(int(r.atInt8(0)), 128);
    QCOMPARE(r.accessStatus, 0);
}

void TestCodec::encode_data()
{
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("image");   // appended after the bytes already in `out`

    auto row = [](const char *name, const char *enc, const QVariant &v, int n, const QByteArray &image) {
        QTest::newRow(name) << QString(enc) << v << n << image;
    };
    row("Int16", "Int16", listVar<short>({4660, -1}), 2, hex("34 12 FF FF"));
    row("UInt16", "UInt16", listVar<ushort>({65535}), 1, hex("FF FF"));
    row("Int32", "Int32", listVar<int>({1}), 1, hex("01 00 00 00"));
    row("UInt32", "UInt32", listVar<uint>({0xDEADBEEF}), 1, hex("EF BE AD DE"));
    row("Int64", "Int64", listVar<LL>({256}), 1, hex("00 01 00 00 00 00 00 00"));
    row("UInt64", "UInt64", listVar<ULL>({0x0102030405060708ull}), 1, hex("08 07 06 05 04 03 02 01"));
    row("float", "float", listVar<float>({1.0f}), 1, hex("00 00 80 3F"));
    row("double", "double", listVar<double>({1.0}), 1, hex("00 00 00 00 00 00 F0 3F"));
    row("bool", "bool", listVar<bool>({true, false, true}), 3, hex("01 00 01"));
    row("Int8", "Int8", listVar<char>({char(0x80), 0x7F}), 2, hex("80 7F"));
    row("UInt8", "UInt8", listVar<uchar>({255, 0}), 2, hex("FF 00"));
    row("strings", "string", listVar<QString>({"abc", "x"}), 2, hex("03 61 62 63 01 78"));
    row("empty string", "string", listVar<QString>({""}), 1, hex("00"));
    row("UTF-8 string", "string", listVar<QString>({QString::fromUtf8("\xC3\xA9")}), 1, hex("02 C3 A9"));
    row("300 characters", "string", listVar<QString>({QString(300, 'q')}), 1, hex("2C") + QByteArray(300, 'q'));
    row("first count only", "Int16", listVar<short>({1, 2, 3}), 2, hex("01 00 02 00"));
    row("count past list", "Int32", listVar<int>({7}), 3, hex("07 00 00 00"));
    row("strings past list", "string", listVar<QString>({"a"}), 2, hex("01 61"));
    row("QList<int> to Int16", "Int16", listVar<int>({4660}), 1, QByteArray());
    row("QList<short> to Int32", "Int32", listVar<short>({1}), 1, QByteArray());
    row("nothing to string", "string", QVariant(), 1, QByteArray());
    for (const QString &name : encoders().keys())
        for (int count : {0, -1})
            QTest::newRow(qPrintable(QString("%1 count %2").arg(name).arg(count)))
                << name << sampleFor(name) << count << QByteArray();
}

void TestCodec::encode()
{
    QFETCH(QString, encoder);
    QFETCH(QVariant, value);
    QFETCH(int, count);
    QFETCH(QByteArray, image);

    const EncoderPair e = encoders().value(encoder);
    for (const Encoder &f : {e.member, e.plain}) {
        QByteArray out("\xAA\x55", 2);
        QCOMPARE(f(holding(value), count, &out), 0);
        QCOMPARE(out, QByteArray("\xAA\x55", 2) + image);
    }
}

void TestCodec::packBits_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("bits");

    QTest::newRow("t f t") << hex("01 00 01") << 3 << hex("05");
    QTest::newRow("nine set") << hex("01 01 01 01 01 01 01 01 01") << 9 << hex("FF 01");
    QTest::newRow("any non-zero") << hex("00 02 FF") << 3 << hex("06");
    QTest::newRow("fewer bytes than count") << hex("01") << 10 << hex("01 00");
    QTest::newRow("more bytes than count") << hex("01 01 01") << 2 << hex("03");
    QTest::newRow("count 0") << hex("01") << 0 << QByteArray();
    QTest::newRow("count -1") << hex("01") << -1 << QByteArray();
}

void TestCodec::packBits()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, count);
    QFETCH(QByteArray, bits);

    QCOMPARE(codec::packBits(bytes, count), bits);
    if (count > 0)   // and back through the bit decoder
        QCOMPARE(unit::dump(codec::decodeBoolBits(bits, count)), unit::dump(codec::decodeBool(bytes, count)));
}

void TestCodec::roundTrips()
{
    QRandomGenerator rng(20231218);
    const auto fbits = [](quint32 b) { float f; memcpy(&f, &b, 4); return f; };
    const auto dbits = [](quint64 b) { double d; memcpy(&d, &b, 8); return d; };
    roundTrip<char>("Int8", rng, {char(0x80), char(0xFF), 0});
    roundTrip<uchar>("UInt8", rng, {255, 0});
    roundTrip<short>("Int16", rng, {-32768, 32767});
    roundTrip<ushort>("UInt16", rng, {65535});
    roundTrip<int>("Int32", rng, {INT_MIN, INT_MAX});
    roundTrip<uint>("UInt32", rng, {0xFFFFFFFFu});
    roundTrip<LL>("Int64", rng, {std::numeric_limits<LL>::min(), std::numeric_limits<LL>::max()});
    roundTrip<ULL>("UInt64", rng, {std::numeric_limits<ULL>::max()});
    roundTrip<float>("float", rng, {fbits(0x7FC00000u), fbits(0x7F800001u), fbits(0xFFFFFFFFu), -0.0f});
    roundTrip<double>("double", rng,
                      {dbits(0x7FF8000000000000ull), dbits(0x7FF0000000000001ull), dbits(~0ull), -0.0});

    // bool: only true and false are values.
    QList<bool> bools;
    for (int i = 0; i < 100; ++i)
        bools << bool(rng.generate() & 1);
    QByteArray image;
    QCOMPARE(codec::encodeBool(holding(QVariant::fromValue(bools)), bools.size(), &image), 0);
    QCOMPARE(qvariant_cast<QList<bool>>(codec::decodeBool(image, bools.size())), bools);
    QCOMPARE(qvariant_cast<QList<bool>>(codec::decodeBoolBits(codec::packBits(image, bools.size()), bools.size())),
             bools);
}

void TestCodec::encodeTag_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("resultCode");
    QTest::addColumn<QByteArray>("image");

    using veskor::RcDone;
    using veskor::RcLength;
    using veskor::RcType;
    auto row = [](const char *name, int type, const QVariant &v, int n, int length, int rc, const QByteArray &image) {
        QTest::newRow(name) << type << v << n << length << rc << image;
    };
    // Every type the driver writes, as it goes on the wire.
    row("one bool", DT_BOOL, listVar<bool>({true}), 1, 1, RcDone, hex("01"));
    row("bools one bit each", DT_BOOL, listVar<bool>({true, false, true}), 3, 1, RcDone, hex("05"));
    row("nine bools", DT_BOOL, listVar<bool>({true, false, false, false, false, false, false, false, true}), 9, 2,
        RcDone, hex("01 01"));
    row("Int8", DT_INT8, listVar<char>({char(0x80), 0x7F}), 2, 2, RcDone, hex("80 7F"));
    row("UInt8", DT_UINT8, listVar<uchar>({255}), 1, 1, RcDone, hex("FF"));
    row("Int16", DT_INT16, listVar<short>({4660, -1}), 2, 4, RcDone, hex("34 12 FF FF"));
    row("UInt16", DT_UINT16, listVar<ushort>({65535}), 1, 2, RcDone, hex("FF FF"));
    row("Int32", DT_INT32, listVar<int>({1}), 1, 4, RcDone, hex("01 00 00 00"));
    row("UInt32", DT_UINT32, listVar<uint>({0xDEADBEEF}), 1, 4, RcDone, hex("EF BE AD DE"));
    row("float", DT_FLOAT, listVar<float>({1.0f}), 1, 4, RcDone, hex("00 00 80 3F"));
    row("Int64", DT_INT64, listVar<LL>({256}), 1, 8, RcDone, hex("00 01 00 00 00 00 00 00"));
    row("UInt64", DT_UINT64, listVar<ULL>({0x0102030405060708ull}), 1, 8, RcDone, hex("08 07 06 05 04 03 02 01"));
    row("double", DT_DOUBLE, listVar<double>({1.0}), 1, 8, RcDone, hex("00 00 00 00 00 00 F0 3F"));
    row("first count only", DT_INT16, listVar<short>({1, 2, 3}), 2, 4, RcDone, hex("01 00 02 00"));
    // A string tag is one field: length byte, text, zeros.
    row("string padded", DT_STRING, listVar<QString>({"ab"}), 5, 5, RcDone, hex("02 61 62 00 00"));
    row("string exactly fits", DT_STRING, listVar<QString>({"abc"}), 4, 4, RcDone, hex("03 61 62 63"));
    row("empty string", DT_STRING, listVar<QString>({""}), 2, 2, RcDone, hex("00 00"));
    row("first string only", DT_STRING, listVar<QString>({"a", "b"}), 3, 3, RcDone, hex("01 61 00"));
    row("255 bytes of text", DT_STRING, listVar<QString>({QString(255, 'q')}), 256, 256, RcDone,
        hex("FF") + QByteArray(255, 'q'));
    row("string one byte long", DT_STRING, listVar<QString>({"abc"}), 3, 3, RcLength, QByteArray());
    row("256 bytes of text", DT_STRING, listVar<QString>({QString(256, 'q')}), 300, 300, RcLength, QByteArray());
    row("UTF-8 bytes count", DT_STRING, listVar<QString>({QString::fromUtf8("\xC3\xA9")}), 2, 2, RcLength,
        QByteArray());
    row("no string", DT_STRING, listVar<QString>({}), 4, 4, RcLength, QByteArray());
    // Too few elements, values of another type, types without a value.
    row("too few elements", DT_INT32, listVar<int>({7}), 2, 8, RcLength, QByteArray());
    row("too few bools", DT_BOOL, listVar<bool>({true}), 2, 1, RcLength, QByteArray());
    row("nothing to Int16", DT_INT16, QVariant(), 1, 2, RcType, QByteArray());
    row("nothing to string", DT_STRING, QVariant(), 1, 1, RcType, QByteArray());
    row("type 0", DT_NONE, listVar<int>({1}), 1, 0, RcType, QByteArray());
    row("type 13", 13, listVar<short>({1}), 1, 2, RcType, QByteArray());
}

void TestCodec::encodeTag()
{
    QFETCH(int, type);
    QFETCH(QVariant, value);
    QFETCH(int, count);
    QFETCH(int, length);
    QFETCH(int, resultCode);
    QFETCH(QByteArray, image);

    const codec::TagImage got = codec::encodeTag(type, holding(value), count, length);
    QCOMPARE(got.resultCode, resultCode);
    QCOMPARE(got.image, image);
}

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
