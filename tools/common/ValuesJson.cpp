// A write's values from JSON text, read exactly: numbers as the characters
// written, strings with every character their escapes give (Values.h).
#include "Values.h"

#include <QRegularExpression>

#include <cstring>

namespace veskortool {

namespace {

// A strict JSON reader for write values. Scalars are kept as their text;
// nesting deeper than kMaxJsonDepth is taken for not JSON, so that a
// payload cannot run the stack out.
class JsonReader
{
public:
    enum Kind { Bad, Number, String, Bool, Null, Array, Object };
    static constexpr int kMaxJsonDepth = 32;

    explicit JsonReader(const QByteArray &text) : m_p(text.constData()), m_end(text.constData() + text.size()) {}

    // The next value's kind without taking it; Bad at the end or on junk.
    Kind peek()
    {
        skipSpace();
        if (m_p == m_end)
            return Bad;
        switch (*m_p) {
        case '"': return String;
        case '[': return Array;
        case '{': return Object;
        case 't': case 'f': return Bool;
        case 'n': return Null;
        default: return (*m_p == '-' || (*m_p >= '0' && *m_p <= '9')) ? Number : Bad;
        }
    }
    // A scalar as its text; false on a syntax error.
    bool scalar(Kind kind, QString *out)
    {
        switch (kind) {
        case Number: return number(out);
        case String: return string(out);
        case Bool: return literal("true", out) || literal("false", out);
        case Null: return literal("null", out);
        default: return false;
        }
    }
    bool skipValue(int depth = 0);
    bool take(char c)
    {
        skipSpace();
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }
    bool atEnd()
    {
        skipSpace();
        return m_p == m_end;
    }

private:
    void skipSpace()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }
    bool literal(const char *word, QString *out)
    {
        const qsizetype n = qsizetype(qstrlen(word));
        if (m_end - m_p < n || std::memcmp(m_p, word, size_t(n)) != 0)
            return false;
        m_p += n;
        *out = QLatin1String(word);
        return true;
    }
    bool digits()
    {
        const char *start = m_p;
        while (m_p != m_end && *m_p >= '0' && *m_p <= '9')
            ++m_p;
        return m_p != start;
    }
    bool number(QString *out);
    bool string(QString *out);
    bool hex4(uint *out);

    const char *m_p;
    const char *m_end;
};

bool JsonReader::number(QString *out)
{
    const char *start = m_p;
    if (m_p != m_end && *m_p == '-')
        ++m_p;
    if (m_p != m_end && *m_p == '0')
        ++m_p;
    else if (!digits())
        return false;
    if (m_p != m_end && *m_p == '.') {
        ++m_p;
        if (!digits())
            return false;
    }
    if (m_p != m_end && (*m_p == 'e' || *m_p == 'E')) {
        ++m_p;
        if (m_p != m_end && (*m_p == '+' || *m_p == '-'))
            ++m_p;
        if (!digits())
            return false;
    }
    *out = QString::fromLatin1(start, int(m_p - start));
    return true;
}

bool JsonReader::hex4(uint *out)
{
    if (m_end - m_p < 4)
        return false;
    bool ok = false;
    *out = QByteArray(m_p, 4).toUInt(&ok, 16);
    m_p += 4;
    return ok;
}

// The text between the quotes, escapes decoded; the bytes are UTF-8.
bool JsonReader::string(QString *out)
{
    ++m_p;   // the opening quote
    QByteArray bytes;
    while (m_p != m_end && *m_p != '"') {
        const char c = *m_p++;
        if (uchar(c) < 0x20)
            return false;
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (m_p == m_end)
            return false;
        const char e = *m_p++;
        static const char kFrom[] = "\"\\/bfnrt", kTo[] = "\"\\/\b\f\n\r\t";
        if (const char *k = e ? std::strchr(kFrom, e) : nullptr) {
            bytes += kTo[k - kFrom];
            continue;
        }
        uint cp = 0, low = 0;
        if (e != 'u' || !hex4(&cp))
            return false;
        if (QChar::isHighSurrogate(cp)) {
            if (m_end - m_p < 2 || m_p[0] != '\\' || m_p[1] != 'u')
                return false;
            m_p += 2;
            if (!hex4(&low) || !QChar::isLowSurrogate(low))
                return false;
            cp = QChar::surrogateToUcs4(ushort(cp), ushort(low));
        } else if (QChar::isLowSurrogate(cp)) {
            return false;
        }
        bytes += QString::fromUcs4(&cp, 1).toUtf8();
    }
    if (m_p == m_end)
        return false;
    ++m_p;
    *out = QString::fromUtf8(bytes.constData(), bytes.size());
    return true;
}

bool JsonReader::skipValue(int depth)
{
    const Kind kind = peek();
    if (kind != Array && kind != Object) {
        QString ignored;
        return scalar(kind, &ignored);
    }
    if (depth >= kMaxJsonDepth)
        return false;
    const char close = kind == Array ? ']' : '}';
    ++m_p;
    if (take(close))
        return true;
    do {
        QString key;
        if (kind == Object && !(peek() == String && string(&key) && take(':')))
            return false;
        if (!skipValue(depth + 1))
            return false;
    } while (take(','));
    return take(close);
}

// A JSON number's text as the integer it is exactly, when it has a fraction
// or an exponent and is one of at most 20 digits; else the text unchanged.
QString exactIntegerText(const QString &number)
{
    static const QRegularExpression parts(QStringLiteral("^(-?)([0-9]+)(?:\\.([0-9]+))?(?:[eE]([+-]?[0-9]{1,6}))?$"));
    const QRegularExpressionMatch m = parts.match(number);
    if (!m.hasMatch() || (m.captured(3).isEmpty() && m.captured(4).isEmpty()))
        return number;
    QString digits = m.captured(2) + m.captured(3);
    int shift = m.captured(4).toInt() - m.captured(3).size();   // the power of ten digits is scaled by
    while (shift < 0 && digits.endsWith(QLatin1Char('0'))) {
        digits.chop(1);
        ++shift;
    }
    while (digits.size() > 1 && digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    if (shift < 0 && digits != QLatin1String("0"))
        return number;
    if (digits == QLatin1String("0"))
        shift = 0;
    if (digits.size() + shift > 20)
        return number;
    return m.captured(1) + digits + QString(shift, QLatin1Char('0'));
}

// One write value of a JSON array or of the top level: a scalar other than null.
bool jsonElement(JsonReader &r, QStringList *texts, QString *error)
{
    const JsonReader::Kind kind = r.peek();
    QString text;
    if (kind == JsonReader::Array || kind == JsonReader::Object || kind == JsonReader::Null) {
        if (r.skipValue())
            *error = QStringLiteral("values are numbers, true/false or strings");
        return false;
    }
    if (!r.scalar(kind, &text))
        return false;
    texts->append(kind == JsonReader::Number ? exactIntegerText(text) : text);
    return true;
}

// A value or an array of values.
bool jsonValueOrArray(JsonReader &r, QStringList *texts, QString *error)
{
    if (r.peek() != JsonReader::Array)
        return jsonElement(r, texts, error);
    r.take('[');
    if (r.take(']'))
        return true;
    do {
        if (!jsonElement(r, texts, error))
            return false;
    } while (r.take(','));
    return r.take(']');
}

// {"value": ...}: the one key taken, any others skipped.
bool jsonObject(JsonReader &r, QStringList *texts, QString *error, bool *hasValue)
{
    r.take('{');
    if (r.take('}'))
        return true;
    do {
        QString key;
        if (!(r.peek() == JsonReader::String && r.scalar(JsonReader::String, &key) && r.take(':')))
            return false;
        if (key == QLatin1String("value") && !*hasValue) {
            *hasValue = true;
            if (!jsonValueOrArray(r, texts, error))
                return false;
        } else if (!r.skipValue(1)) {
            return false;
        }
    } while (r.take(','));
    return r.take('}');
}

} // namespace

JsonValues valueTextsFromJson(const QByteArray &json, QStringList *texts, QString *error)
{
    JsonReader syntax(json);
    if (!(syntax.skipValue() && syntax.atEnd()))
        return JsonValues::NotJson;
    JsonReader r(json);
    QStringList got;
    QString refusal;
    bool hasValue = false;
    const bool object = r.peek() == JsonReader::Object;
    if (!(object ? jsonObject(r, &got, &refusal, &hasValue) : jsonValueOrArray(r, &got, &refusal))
        || (object && !hasValue)) {
        *error = !refusal.isEmpty() ? refusal
                 : object           ? QStringLiteral("a JSON object needs the key \"value\"")
                                    : QStringLiteral("values are numbers, true/false or strings");
        return JsonValues::Refused;
    }
    *texts = got;
    return JsonValues::Taken;
}

} // namespace veskortool
