// Micro benchmarks of the pure parts of the plug-in, no socket involved.
//
//   decode/<T>/vector   plain loop: a std::vector<T> filled from the same bytes
//   decode/<T>/codec    veskor::codec::decode<T>(image, 1000)
//   decode/<T>/member   LibVESKORS::set_variant_<T>(image, 1000)
//   encode/<T>/vector   plain loop: a std::vector<T>'s elements to bytes
//   encode/<T>/codec    veskor::codec::encode<T>(record, 1000, &out)
//   encode/<T>/member   LibVESKORS::Wset_variant_<T>(record, 1000, &out)
//   access/...          element accessors at several list sizes
//   arith/...           operator+ on 1000-element records against a plain loop
//   tag/...             tagArea and tagAddress on typical tags
//   time/...            the ways to take a local-time stamp
//   frames/...          request building and answer checking
// Counter x_vector: time over the median of the plain loop of the same group
// in the same run.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

#include <cstring>
#include <functional>
#include <type_traits>
#include <string>
#include <vector>

#include "CLabelVariable.h"
#include "Codec.h"
#include "Frames.h"
#include "Tags.h"
#include "libVESKOR.h"
#include "ratio.h"

using namespace veskor;

namespace {

constexpr int kN = 1000;
vbench::Baselines g_base;
LibVESKORS *g_lib = nullptr;

QByteArray patternBytes(int n)
{
    QByteArray b(n, '\0');
    quint32 x = 0x12345678u;
    for (int i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        b[i] = char(x >> 24);
    }
    return b;
}

// std::vector<bool> packs bits; the plain loops keep one bool per element.
struct Bool1 {
    bool b;
    Bool1(bool v) : b(v) {}
    explicit operator bool() const { return b; }
};
template <typename E>
using VecOf = std::vector<std::conditional_t<std::is_same_v<E, bool>, Bool1, E>>;

// Raw little-endian pattern of width W to the element type, as the decoders do.
template <typename E, typename U>
inline E fromBits(U u)
{
    if constexpr (std::is_same_v<E, bool>) {
        return u != 0;
    } else if constexpr (std::is_floating_point_v<E>) {
        E e;
        std::memcpy(&e, &u, sizeof e);
        return e;
    } else {
        return E(u);
    }
}

template <typename E, typename U>
inline U toBits(E e)
{
    if constexpr (std::is_same_v<E, bool>) {
        return U(e ? 1 : 0);
    } else if constexpr (std::is_floating_point_v<E>) {
        U u;
        std::memcpy(&u, &e, sizeof u);
        return u;
    } else {
        return U(e);
    }
}

// One element type: its name, raw width and the codec entry points.
template <typename E, typename U>
struct Kind {
    const char *name;
    QVariant (*decode)(const QByteArray &, int);
    QVariant (LibVESKORS::*memberDecode)(QByteArray, int);
    int (*encode)(const CLabelVariable &, int, QByteArray *);
    int (LibVESKORS::*memberEncode)(CLabelVariable, int, QByteArray *);
    DataType type;
};

template <typename E, typename U>
void registerKind(const Kind<E, U> &k)
{
    constexpr int W = int(sizeof(U));
    const std::string dgroup = std::string("decode/") + k.name;
    const std::string egroup = std::string("encode/") + k.name;
    const QByteArray image = patternBytes(kN * W);

    // Decoders.
    benchmark::RegisterBenchmark((dgroup + "/vector").c_str(), [image, dgroup](benchmark::State &s) {
        const uchar *p = reinterpret_cast<const uchar *>(image.constData());
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            VecOf<E> v;
            v.reserve(kN);
            for (int i = 0; i < kN; ++i) {
                U u;
                std::memcpy(&u, p + i * W, W);
                v.push_back(fromBits<E, U>(u));
            }
            benchmark::DoNotOptimize(v.data());
            benchmark::ClobberMemory();
        }
        w.stop(s);
        g_base.record(dgroup, w);
    });
    benchmark::RegisterBenchmark((dgroup + "/codec").c_str(), [image, dgroup, k](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            QVariant v = k.decode(image, kN);
            benchmark::DoNotOptimize(v);
        }
        w.stop(s);
        g_base.ratio(s, "x_vector", dgroup, w);
    });
    benchmark::RegisterBenchmark((dgroup + "/member").c_str(), [image, dgroup, k](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            QVariant v = (g_lib->*k.memberDecode)(image, kN);
            benchmark::DoNotOptimize(v);
        }
        w.stop(s);
        g_base.ratio(s, "x_vector", dgroup, w);
    });

    // Encoders: the same elements back to bytes.
    VecOf<E> elements;
    QList<E> list;
    {
        const uchar *p = reinterpret_cast<const uchar *>(image.constData());
        for (int i = 0; i < kN; ++i) {
            U u;
            std::memcpy(&u, p + i * W, W);
            elements.push_back(fromBits<E, U>(u));
            list.append(fromBits<E, U>(u));
        }
    }
    CLabelVariable record;
    record.value = QVariant::fromValue(list);
    record.dataType = k.type;
    record.elementCount = kN;

    benchmark::RegisterBenchmark((egroup + "/vector").c_str(), [elements, egroup](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            std::vector<char> out(size_t(kN) * W);
            char *dst = out.data();
            for (int i = 0; i < kN; ++i) {
                const U u = toBits<E, U>(E(elements[size_t(i)]));
                std::memcpy(dst + i * W, &u, W);
            }
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        w.stop(s);
        g_base.record(egroup, w);
    });
    benchmark::RegisterBenchmark((egroup + "/codec").c_str(), [record, egroup, k](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            QByteArray out;
            k.encode(record, kN, &out);
            benchmark::DoNotOptimize(out.constData());
        }
        w.stop(s);
        g_base.ratio(s, "x_vector", egroup, w);
    });
    benchmark::RegisterBenchmark((egroup + "/member").c_str(), [record, egroup, k](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            QByteArray out;
            (g_lib->*k.memberEncode)(record, kN, &out);
            benchmark::DoNotOptimize(out.constData());
        }
        w.stop(s);
        g_base.ratio(s, "x_vector", egroup, w);
    });
}

void registerCodecs()
{
    using L = LibVESKORS;
    registerKind(Kind<bool, quint8>{"Bool", codec::decodeBool, &L::set_variant_bool, codec::encodeBool,
                                    &L::Wset_variant_bool, DT_BOOL});
    registerKind(Kind<char, quint8>{"Int8", codec::decodeInt8, &L::set_variant_Int8, codec::encodeInt8,
                                    &L::Wset_variant_Int8, DT_INT8});
    registerKind(Kind<unsigned char, quint8>{"UInt8", codec::decodeUInt8, &L::set_variant_UInt8,
                                             codec::encodeUInt8, &L::Wset_variant_UInt8, DT_UINT8});
    registerKind(Kind<short, quint16>{"Int16", codec::decodeInt16, &L::set_variant_Int16,
                                      codec::encodeInt16, &L::Wset_variant_Int16, DT_INT16});
    registerKind(Kind<unsigned short, quint16>{"UInt16", codec::decodeUInt16, &L::set_variant_UInt16,
                                               codec::encodeUInt16, &L::Wset_variant_uInt16, DT_UINT16});
    registerKind(Kind<int, quint32>{"Int32", codec::decodeInt32, &L::set_variant_Int32,
                                    codec::encodeInt32, &L::Wset_variant_Int32, DT_INT32});
    registerKind(Kind<unsigned int, quint32>{"UInt32", codec::decodeUInt32, &L::set_variant_UInt32,
                                             codec::encodeUInt32, &L::Wset_variant_UInt32, DT_UINT32});
    registerKind(Kind<float, quint32>{"Float", codec::decodeFloat, &L::set_variant_fload,
                                      codec::encodeFloat, &L::Wset_variant_float, DT_FLOAT});
    registerKind(Kind<long long, quint64>{"Int64", codec::decodeInt64, &L::set_variant_Int64,
                                          codec::encodeInt64, &L::Wset_variant_Int64, DT_INT64});
    registerKind(Kind<unsigned long long, quint64>{"UInt64", codec::decodeUInt64, &L::set_variant_UInt64,
                                                   codec::encodeUInt64, &L::Wset_variant_UInt64, DT_UINT64});
    registerKind(Kind<double, quint64>{"Double", codec::decodeDouble, &L::set_variant_double,
                                       codec::encodeDouble, &L::Wset_variant_double, DT_DOUBLE});
}

// Bools packed one bit per element, and strings: the odd ones out.
void registerBitsAndStrings()
{
    const QByteArray bits = patternBytes(kN / 8);
    benchmark::RegisterBenchmark("decode/BoolBits/vector", [bits](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            VecOf<bool> v;
            v.reserve(kN);
            const char *p = bits.constData();
            for (int i = 0; i < kN; ++i)
                v.push_back(((uchar(p[i / 8]) >> (i % 8)) & 1) != 0);
            benchmark::DoNotOptimize(v.data());
            benchmark::ClobberMemory();
        }
        w.stop(s);
        g_base.record("decode/BoolBits", w);
    });
    benchmark::RegisterBenchmark("decode/BoolBits/codec", [bits](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            QVariant v = codec::decodeBoolBits(bits, kN);
            benchmark::DoNotOptimize(v);
        }
        w.stop(s);
        g_base.ratio(s, "x_vector", "decode/BoolBits", w);
    });

    // 1000 string fields: length byte and 8 bytes of text each.
    QByteArray fields;
    QList<QString> strings;
    for (int i = 0; i < kN; ++i) {
        const QByteArray text = QByteArray::number(10000000 + i);
        fields.append(char(text.size()));
        fields.append(text);
        strings.append(QString::fromLatin1(text));
    }
    benchmark::RegisterBenchmark("decode/String/vector", [fields](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            std::vector<QString> v;
            v.reserve(kN);
            const char *p = fields.constData();
            int pos = 0;
            for (int i = 0; i < kN; ++i) {
                const int len = uchar(p[pos]);
                v.push_back(QString::fromUtf8(p + pos + 1, len));
                pos += 1 + len;
            }
            benchmark::DoNotOptimize(v.data());
        }
        w.stop(s);
        g_base.record("decode/String", w);
    });
    benchmark::RegisterBenchmark("decode/String/codec", [fields](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            QVariant v = codec::decodeString(fields, kN);
            benchmark::DoNotOptimize(v);
        }
        w.stop(s);
        g_base.ratio(s, "x_vector", "decode/String", w);
    });
    CLabelVariable record;
    record.value = QVariant::fromValue(strings);
    record.dataType = DT_STRING;
    record.elementCount = kN;
    std::vector<QString> vstrings(strings.begin(), strings.end());
    benchmark::RegisterBenchmark("encode/String/vector", [vstrings](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            std::vector<char> out;
            for (const QString &t : vstrings) {
                const QByteArray u = t.toUtf8();
                out.push_back(char(u.size() & 0xFF));
                out.insert(out.end(), u.constData(), u.constData() + u.size());
            }
            benchmark::DoNotOptimize(out.data());
        }
        w.stop(s);
        g_base.record("encode/String", w);
    });
    benchmark::RegisterBenchmark("encode/String/codec", [record](benchmark::State &s) {
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            QByteArray out;
            codec::encodeString(record, kN, &out);
            benchmark::DoNotOptimize(out.constData());
        }
        w.stop(s);
        g_base.ratio(s, "x_vector", "encode/String", w);
    });
}

// ------------------------------------------------------------------ accessors

CLabelVariable int16Record(int n)
{
    QList<short> list;
    list.reserve(n);
    for (int i = 0; i < n; ++i)
        list.append(short(i * 3));
    CLabelVariable r;
    r.value = QVariant::fromValue(list);
    r.dataType = DT_INT16;
    r.elementCount = n;
    r.resultCode = 0;
    return r;
}

void registerAccessors()
{
    for (int n : {10, 1000, 100000}) {
        const std::string name = "access/atInt16/" + std::to_string(n);
        benchmark::RegisterBenchmark(name.c_str(), [n](benchmark::State &s) {
            CLabelVariable r = int16Record(n);
            int i = 0;
            for (auto _ : s) {
                benchmark::DoNotOptimize(r.atInt16(i));
                i = i + 7 < n ? i + 7 : 0;
            }
        });
    }
}

// ----------------------------------------------------------------- arithmetic

void registerArithmetic()
{
    benchmark::RegisterBenchmark("arith/Int16_plus/vector", [](benchmark::State &s) {
        std::vector<short> a(kN), b(kN);
        for (int i = 0; i < kN; ++i) {
            a[size_t(i)] = short(i);
            b[size_t(i)] = short(3 * i);
        }
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            std::vector<short> out;
            out.reserve(kN);
            for (int i = 0; i < kN; ++i)
                out.push_back(short(quint16(a[size_t(i)] + b[size_t(i)])));
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        w.stop(s);
        g_base.record("arith/Int16_plus", w);
    });
    benchmark::RegisterBenchmark("arith/Int16_plus/operator", [](benchmark::State &s) {
        CLabelVariable a = int16Record(kN);
        CLabelVariable b = int16Record(kN);
        vbench::Stopwatch w(vbench::Clock::ThreadCpu);
        for (auto _ : s) {
            CLabelVariable sum = a + b;
            benchmark::DoNotOptimize(sum);
        }
        w.stop(s);
        g_base.ratio(s, "x_vector", "arith/Int16_plus", w);
    });
}

// ----------------------------------------------------------------------- tags

void registerTags()
{
    for (const char *t : {"ID4x120", "ID23x65000"}) {
        const QString tag = QString::fromLatin1(t);
        benchmark::RegisterBenchmark((std::string("tag/tagArea/") + t).c_str(), [tag](benchmark::State &s) {
            for (auto _ : s)
                benchmark::DoNotOptimize(tagArea(tag));
        });
        benchmark::RegisterBenchmark((std::string("tag/tagAddress/") + t).c_str(), [tag](benchmark::State &s) {
            for (auto _ : s)
                benchmark::DoNotOptimize(tagAddress(tag));
        });
    }
}

// ----------------------------------------------------------------- time stamps

void registerTime()
{
    benchmark::RegisterBenchmark("time/currentDateTime", [](benchmark::State &s) {
        for (auto _ : s) {
            QDateTime t = QDateTime::currentDateTime();
            benchmark::DoNotOptimize(t);
        }
    });
    benchmark::RegisterBenchmark("time/currentDateTimeUtc", [](benchmark::State &s) {
        for (auto _ : s) {
            QDateTime t = QDateTime::currentDateTimeUtc();
            benchmark::DoNotOptimize(t);
        }
    });
    benchmark::RegisterBenchmark("time/currentDateTimeUtc_toLocalTime", [](benchmark::State &s) {
        for (auto _ : s) {
            QDateTime t = QDateTime::currentDateTimeUtc().toLocalTime();
            benchmark::DoNotOptimize(t);
        }
    });
    benchmark::RegisterBenchmark("time/currentMSecsSinceEpoch", [](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(QDateTime::currentMSecsSinceEpoch());
    });
}

// --------------------------------------------------------------------- frames

void registerFrames()
{
    benchmark::RegisterBenchmark("frames/buildReadRequest", [](benchmark::State &s) {
        quint16 seq = 1;
        for (auto _ : s) {
            QByteArray r = buildReadRequest(seq++, 0x30008200u, 1);
            benchmark::DoNotOptimize(r.constData());
        }
    });
    benchmark::RegisterBenchmark("frames/check_and_payload_200", [](benchmark::State &s) {
        const QByteArray request = buildReadRequest(7, 0x30008200u, 1);
        QByteArray answer = request + patternBytes(200);
        answer[0] = 'M';
        for (auto _ : s) {
            const int verdict = checkReadAnswer(request, answer, 0, 200);
            QByteArray payload = readAnswerPayload(answer, 0, 200);
            benchmark::DoNotOptimize(verdict);
            benchmark::DoNotOptimize(payload.constData());
        }
    });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    LibVESKORS lib;
    g_lib = &lib;

    registerCodecs();
    registerBitsAndStrings();
    registerAccessors();
    registerArithmetic();
    registerTags();
    registerTime();
    registerFrames();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
