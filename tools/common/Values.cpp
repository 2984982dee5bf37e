#include "Values.h"

#include "driver/ResultCodes.h"

#include <QLocale>
#include <QRegularExpression>
#include <QSet>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace veskortool {

namespace {

enum : int {
    TBool = 1, TInt8, TUInt8, TInt16, TUInt16, TInt32, TUInt32, TFloat, TInt64, TUInt64,
    TDouble, TString
};

struct TypeAlias {
    const char *name;
    int code;
};

// Canonical names first: typeName() takes the first entry of a code.
const TypeAlias kTypes[] = {
    {"bool", TBool},     {"int8", TInt8},     {"uint8", TUInt8},   {"int16", TInt16},
    {"uint16", TUInt16}, {"int32", TInt32},   {"uint32", TUInt32}, {"float", TFloat},
    {"int64", TInt64},   {"uint64", TUInt64}, {"double", TDouble}, {"string", TString},
    // Aliases.
    {"boolean", TBool},  {"bit", TBool},
    {"i8", TInt8},       {"u8", TUInt8},      {"byte", TUInt8},
    {"i16", TInt16},     {"short", TInt16},   {"u16", TUInt16},    {"ushort", TUInt16},
    {"word", TUInt16},
    {"i32", TInt32},     {"int", TInt32},     {"u32", TUInt32},    {"uint", TUInt32},
    {"dword", TUInt32},
    {"f32", TFloat},     {"real", TFloat},
    {"i64", TInt64},     {"u64", TUInt64},    {"f64", TDouble},
    {"str", TString},    {"text", TString},
};

struct IntRange {
    bool negative;       // whether values below 0 are allowed
    quint64 minMagnitude; // |min| when negative
    quint64 max;
};

bool intRange(int code, IntRange *r)
{
    switch (code) {
    case TInt8: *r = {true, 128, 255}; return true;
    case TUInt8: *r = {false, 0, 255}; return true;
    case TInt16: *r = {true, 32768, 32767}; return true;
    case TUInt16: *r = {false, 0, 65535}; return true;
    case TInt32: *r = {true, 2147483648ull, 2147483647ull}; return true;
    case TUInt32: *r = {false, 0, 4294967295ull}; return true;
    case TInt64: *r = {true, 9223372036854775808ull, 9223372036854775807ull}; return true;
    case TUInt64: *r = {false, 0, std::numeric_limits<quint64>::max()}; return true;
    default: return false;
    }
}

// An integer of the given type; *bits holds its two's complement pattern.
bool parseInteger(int type, const QString &text, quint64 *bits, QString *error)
{
    static const QRegularExpression syntax(
        QStringLiteral("^([+-]?)(?:0[xX]([0-9a-fA-F]+)|([0-9]+))$"));
    const QRegularExpressionMatch m = syntax.match(text);
    if (!m.hasMatch()) {
        *error = QStringLiteral("value %1 is not an integer (%2)").arg(quoted(text), typeName(type));
        return false;
    }
    const bool minus = m.captured(1) == QLatin1String("-");
    const bool hex = !m.captured(2).isEmpty();
    bool ok = false;
    const quint64 magnitude = hex ? m.captured(2).toULongLong(&ok, 16) : m.captured(3).toULongLong(&ok, 10);
    IntRange r;
    intRange(type, &r);
    const bool inRange = ok && (minus ? (magnitude == 0 || (r.negative && magnitude <= r.minMagnitude))
                                      : magnitude <= r.max);
    if (!inRange) {
        *error = QStringLiteral("value %1 is out of range for %2 (%3)")
                     .arg(quoted(text), typeName(type), rangeText(type));
        return false;
    }
    *bits = minus ? quint64(0) - magnitude : magnitude;
    return true;
}

bool parseReal(int type, const QString &text, double *out, QString *error)
{
    static const QRegularExpression syntax(
        QStringLiteral("^[+-]?(?:[0-9]+\\.?[0-9]*|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?$"));
    static const QRegularExpression special(
        QStringLiteral("^([+-]?)(nan|inf|infinity)$"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch sm = special.match(text);
    if (sm.hasMatch()) {
        if (sm.captured(2).compare(QLatin1String("nan"), Qt::CaseInsensitive) == 0)
            *out = std::numeric_limits<double>::quiet_NaN();
        else
            *out = sm.captured(1) == QLatin1String("-") ? -std::numeric_limits<double>::infinity()
                                                        : std::numeric_limits<double>::infinity();
        return true;
    }
    if (!syntax.match(text).hasMatch()) {
        *error = QStringLiteral("value %1 is not a number (%2)").arg(quoted(text), typeName(type));
        return false;
    }
    bool ok = false;
    const double d = QLocale::c().toDouble(text, &ok);
    // The syntax is checked above: a failure here is an overflow or underflow.
    bool inRange = ok && std::isfinite(d);
    // A float must neither overflow nor vanish to 0.
    if (inRange && type == TFloat)
        inRange = std::isfinite(float(d)) && (d == 0 || float(d) != 0);
    if (!inRange) {
        *error = QStringLiteral("value %1 is out of range for %2 (%3)")
                     .arg(quoted(text), typeName(type),
                          type == TFloat ? QStringLiteral("magnitude 1.4e-45 to 3.40282347e+38, or 0")
                                         : QStringLiteral("magnitude 4.9e-324 to 1.7976931348623157e+308, or 0"));
        return false;
    }
    *out = d;
    return true;
}

template <typename T>
QVariant listVariant(const QList<T> &list)
{
    return QVariant::fromValue(list);
}

// The values of a write as a QList<T>: each text read into a V by read,
// then made a T by conv. False at the first text read refuses.
template <typename T, typename V, typename Read, typename Conv>
bool valueList(const QStringList &texts, QVariant *out, Read read, Conv conv)
{
    QList<T> list;
    for (const QString &t : texts) {
        V v{};
        if (!read(t, &v))
            return false;
        list.append(conv(v));
    }
    *out = listVariant(list);
    return true;
}

template <typename T, typename Conv>
bool integerList(int type, const QStringList &texts, QVariant *out, QString *error, Conv conv)
{
    return valueList<T, quint64>(
        texts, out, [&](const QString &t, quint64 *bits) { return parseInteger(type, t, bits, error); }, conv);
}

// The values of a float or double write, each read as a double first.
template <typename T>
bool realList(int type, const QStringList &texts, QVariant *out, QString *error)
{
    return valueList<T, double>(
        texts, out, [&](const QString &t, double *d) { return parseReal(type, t, d, error); },
        [](double d) { return T(d); });
}

QString escaped(const QString &s)
{
    QString out;
    out.reserve(s.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : s) {
        switch (c.unicode()) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

QJsonValue realToJson(double d, bool isFloat)
{
    if (std::isnan(d))
        return QStringLiteral("nan");
    if (std::isinf(d))
        return d < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    // A float goes out as its shortest decimal text so that 0.1f reads "0.1",
    // not the digits of the double it widens to.
    if (isFloat)
        return QLocale::c().toDouble(formatFloat(float(d)));
    return d;
}

template <typename T>
const QList<T> *listIn(const QVariant &v)
{
    if (v.userType() != qMetaTypeId<QList<T>>())
        return nullptr;
    return static_cast<const QList<T> *>(v.constData());
}

} // namespace

QString quoted(const QString &text)
{
    if (text.size() <= kQuotedChars)
        return QLatin1Char('"') + text + QLatin1Char('"');
    // Not between the two halves of a character outside the BMP.
    int n = kQuotedChars;
    if (text.at(n - 1).isHighSurrogate())
        --n;
    return QLatin1Char('"') + text.left(n) + QLatin1String("\"...");
}

bool parseType(const QString &text, int *code, QString *error)
{
    const QString t = text.trimmed();
    for (const TypeAlias &a : kTypes) {
        if (t.compare(QLatin1String(a.name), Qt::CaseInsensitive) == 0) {
            *code = a.code;
            return true;
        }
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    if (digits.match(t).hasMatch()) {
        bool ok = false;
        const qulonglong n = t.toULongLong(&ok, 10);
        if (ok && n <= qulonglong(INT_MAX)) {
            *code = int(n);
            return true;
        }
        *error = QStringLiteral("type code %1 is too large (at most %2)").arg(quoted(text)).arg(INT_MAX);
        return false;
    }
    if (t.isEmpty())
        *error = QStringLiteral("empty type");
    else
        *error = QStringLiteral("unknown type %1 (use bool, int8, uint8, int16, uint16, int32, "
                                "uint32, float, int64, uint64, double, string or a type code)")
                     .arg(quoted(text));
    return false;
}

QString typeName(int code)
{
    if (isNamedType(code)) {
        for (const TypeAlias &a : kTypes) {
            if (a.code == code)
                return QLatin1String(a.name);
        }
    }
    return QString::number(code);
}

bool isNamedType(int code)
{
    return code >= TBool && code <= TString;
}

QString rangeText(int code)
{
    IntRange r;
    if (!intRange(code, &r))
        return QString();
    const QString low = r.negative ? QLatin1Char('-') + QString::number(r.minMagnitude) : QStringLiteral("0");
    return low + QLatin1String("..") + QString::number(r.max);
}

bool parseCount(const QString &text, const QString &what, int *out, QString *error)
{
    static const QRegularExpression syntax(QStringLiteral("^([+-]?)([0-9]+)$"));
    const QRegularExpressionMatch m = syntax.match(text);
    if (!m.hasMatch()) {
        *error = QStringLiteral("%1 %2 is not a number").arg(what, quoted(text));
        return false;
    }
    bool ok = false;
    const qulonglong n = m.captured(2).toULongLong(&ok, 10);
    if (m.captured(1) == QLatin1String("-") || (ok && n == 0)) {
        *error = QStringLiteral("%1 must be at least 1, got %2").arg(what, quoted(text));
        return false;
    }
    if (!ok || n > qulonglong(INT_MAX)) {
        *error = QStringLiteral("%1 %2 is too large (at most %3)").arg(what, quoted(text)).arg(INT_MAX);
        return false;
    }
    *out = int(n);
    return true;
}

bool parseDeviceList(const QString &text, QVector<quint32> *out, QString *error)
{
    static const QRegularExpression item(QStringLiteral("^\\s*([0-9]+)\\s*(?:-\\s*([0-9]+)\\s*)?$"));
    QVector<quint32> ids;
    QSet<quint32> seen;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QRegularExpressionMatch m = item.match(part);
        if (!m.hasMatch()) {
            *error = QStringLiteral("--scan-devices %1: want device ids and ranges such as 0,1,2,255 or 0-255")
                         .arg(quoted(text));
            return false;
        }
        bool okFirst = false, okLast = true;
        const qulonglong first = m.captured(1).toULongLong(&okFirst, 10);
        const qulonglong last = m.captured(2).isEmpty() ? first : m.captured(2).toULongLong(&okLast, 10);
        if (!okFirst || !okLast || first > 0xFFFFFFFFull || last > 0xFFFFFFFFull) {
            *error = QStringLiteral("--scan-devices %1: a device id is 0..4294967295").arg(quoted(text));
            return false;
        }
        if (last < first) {
            *error = QStringLiteral("--scan-devices %1: the range %2 runs backwards")
                         .arg(quoted(text), part.trimmed());
            return false;
        }
        if (last - first >= qulonglong(kMaxScanDevices)) {
            *error = QStringLiteral("--scan-devices %1: at most %2 device ids").arg(quoted(text)).arg(kMaxScanDevices);
            return false;
        }
        for (qulonglong id = first; id <= last; ++id) {
            if (seen.contains(quint32(id)))
                continue;
            if (ids.size() == kMaxScanDevices) {
                *error = QStringLiteral("--scan-devices %1: at most %2 device ids").arg(quoted(text)).arg(kMaxScanDevices);
                return false;
            }
            seen.insert(quint32(id));
            ids << quint32(id);
        }
    }
    *out = ids;
    return true;
}

bool parseBool(const QString &text, bool *out)
{
    const QString t = text.toLower();
    if (t == QLatin1String("1") || t == QLatin1String("true") || t == QLatin1String("on")) {
        *out = true;
        return true;
    }
    if (t == QLatin1String("0") || t == QLatin1String("false") || t == QLatin1String("off")) {
        *out = false;
        return true;
    }
    return false;
}

bool parseValues(int type, const QStringList &texts, QVariant *out, QString *error)
{
    if (texts.isEmpty()) {
        *error = QStringLiteral("no value to write");
        return false;
    }
    switch (type) {
    case TBool: {
        QList<bool> list;
        for (const QString &t : texts) {
            bool b = false;
            if (!parseBool(t, &b)) {
                *error = QStringLiteral("value %1 is not a bool (use 1/0, true/false or on/off)").arg(quoted(t));
                return false;
            }
            list.append(b);
        }
        *out = listVariant(list);
        return true;
    }
    case TInt8:
        return integerList<char>(type, texts, out, error, [](quint64 b) { return char(quint8(b)); });
    case TUInt8:
        return integerList<unsigned char>(type, texts, out, error, [](quint64 b) { return quint8(b); });
    case TInt16:
        return integerList<short>(type, texts, out, error, [](quint64 b) { return short(quint16(b)); });
    case TUInt16:
        return integerList<unsigned short>(type, texts, out, error, [](quint64 b) { return quint16(b); });
    case TInt32:
        return integerList<int>(type, texts, out, error, [](quint64 b) { return int(quint32(b)); });
    case TUInt32:
        return integerList<unsigned int>(type, texts, out, error, [](quint64 b) { return quint32(b); });
    case TInt64:
        return integerList<long long>(type, texts, out, error, [](quint64 b) { return (long long)b; });
    case TUInt64:
        return integerList<unsigned long long>(type, texts, out, error,
                                               [](quint64 b) { return (unsigned long long)b; });
    case TFloat:
        return realList<float>(type, texts, out, error);
    case TDouble:
        return realList<double>(type, texts, out, error);
    case TString:
        if (texts.size() != 1) {
            *error = QStringLiteral("a string write takes one value, got %1 (quote text with spaces)")
                         .arg(texts.size());
            return false;
        }
        if (texts.first().contains(QChar(0))) {
            *error = QStringLiteral("text %1 holds a NUL character: a string field ends at its first zero byte, "
                                    "so it cannot be stored whole").arg(escaped(texts.first().left(kQuotedChars)));
            return false;
        }
        *out = listVariant(QList<QString>{texts.first()});
        return true;
    default:
        // Codes the plug-in does not name: it decides what they mean.
        *out = listVariant(QList<QString>(texts.begin(), texts.end()));
        return true;
    }
}

int longestValueText(int type)
{
    IntRange r;
    if (intRange(type, &r)) {
        const int low = r.negative ? 1 + QString::number(r.minMagnitude).size() : 1;
        const int hex = 3 + QString::number(r.max, 16).size();   // "-0x" or "+0x" and the digits
        return qMax(qMax(low, 1 + QString::number(r.max).size()), hex);
    }
    if (type == TBool)
        return 5;
    if (type == TFloat || type == TDouble)
        return 32;
    return 0;
}

int defaultStringSize(const QString &text)
{
    return text.toUtf8().size() + 1;
}

QString formatFloat(float v)
{
    if (std::isnan(v))
        return QStringLiteral("nan");
    if (std::isinf(v))
        return v < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    for (int digits = 6; digits < 9; ++digits) {
        const QString s = QString::number(double(v), 'g', digits);
        if (float(QLocale::c().toDouble(s)) == v)
            return s;
    }
    return QString::number(double(v), 'g', 9);
}

QString formatDouble(double v)
{
    if (std::isnan(v))
        return QStringLiteral("nan");
    if (std::isinf(v))
        return v < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    return QString::number(v, 'g', QLocale::FloatingPointShortest);
}

QStringList formatValues(const QVariant &value)
{
    QStringList out;
    if (const auto *l = listIn<bool>(value)) {
        for (bool b : *l)
            out << (b ? QStringLiteral("true") : QStringLiteral("false"));
    } else if (const auto *l = listIn<char>(value)) {
        // The controller's byte is unsigned; show it the same on every processor.
        for (char c : *l)
            out << QString::number(quint8(c));
    } else if (const auto *l = listIn<unsigned char>(value)) {
        for (unsigned char c : *l)
            out << QString::number(c);
    } else if (const auto *l = listIn<short>(value)) {
        for (short x : *l)
            out << QString::number(x);
    } else if (const auto *l = listIn<unsigned short>(value)) {
        for (unsigned short x : *l)
            out << QString::number(x);
    } else if (const auto *l = listIn<int>(value)) {
        for (int x : *l)
            out << QString::number(x);
    } else if (const auto *l = listIn<unsigned int>(value)) {
        for (unsigned int x : *l)
            out << QString::number(x);
    } else if (const auto *l = listIn<long long>(value)) {
        for (long long x : *l)
            out << QString::number(x);
    } else if (const auto *l = listIn<unsigned long long>(value)) {
        for (unsigned long long x : *l)
            out << QString::number(x);
    } else if (const auto *l = listIn<float>(value)) {
        for (float x : *l)
            out << formatFloat(x);
    } else if (const auto *l = listIn<double>(value)) {
        for (double x : *l)
            out << formatDouble(x);
    } else if (const auto *l = listIn<QString>(value)) {
        for (const QString &s : *l)
            out << escaped(s);
    } else if (value.isValid()) {
        out << value.toString();
    }
    return out;
}

QJsonValue int64ToJson(qint64 v)
{
    const qint64 limit = qint64(1) << 53;
    if (v > -limit && v < limit)
        return QJsonValue(double(v));
    return QString::number(v);
}

QJsonValue uint64ToJson(quint64 v)
{
    if (v < (quint64(1) << 53))
        return QJsonValue(double(v));
    return QString::number(v);
}

QJsonArray valuesToJson(const QVariant &value)
{
    QJsonArray out;
    if (const auto *l = listIn<bool>(value)) {
        for (bool b : *l)
            out.append(b);
    } else if (const auto *l = listIn<char>(value)) {
        for (char c : *l)
            out.append(int(quint8(c)));
    } else if (const auto *l = listIn<unsigned char>(value)) {
        for (unsigned char c : *l)
            out.append(int(c));
    } else if (const auto *l = listIn<short>(value)) {
        for (short x : *l)
            out.append(int(x));
    } else if (const auto *l = listIn<unsigned short>(value)) {
        for (unsigned short x : *l)
            out.append(int(x));
    } else if (const auto *l = listIn<int>(value)) {
        for (int x : *l)
            out.append(x);
    } else if (const auto *l = listIn<unsigned int>(value)) {
        for (unsigned int x : *l)
            out.append(double(x));
    } else if (const auto *l = listIn<long long>(value)) {
        for (long long x : *l)
            out.append(int64ToJson(x));
    } else if (const auto *l = listIn<unsigned long long>(value)) {
        for (unsigned long long x : *l)
            out.append(uint64ToJson(x));
    } else if (const auto *l = listIn<float>(value)) {
        for (float x : *l)
            out.append(realToJson(double(x), true));
    } else if (const auto *l = listIn<double>(value)) {
        for (double x : *l)
            out.append(realToJson(x, false));
    } else if (const auto *l = listIn<QString>(value)) {
        for (const QString &s : *l)
            out.append(s);
    } else if (value.isValid()) {
        out.append(value.toString());
    }
    return out;
}

QString formatTimestamp(const QDateTime &t)
{
    if (!t.isValid())
        return QString();
    const int offset = t.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return t.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz"))
        + (offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        + QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString resultMeaning(int code)
{
    return QString::fromLatin1(veskor::resultCodeMeaning(code));
}

} // namespace veskortool
