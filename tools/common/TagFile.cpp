#include "TagFile.h"

#include "HostPort.h"
#include "Values.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace veskortool {

namespace {

// How often c stands in line outside double quotes.
int unquotedCount(const QString &line, QChar c)
{
    int n = 0;
    bool quoted = false;
    for (const QChar x : line) {
        if (x == QLatin1Char('"'))
            quoted = !quoted;
        else if (x == c && !quoted)
            ++n;
    }
    return n;
}

// One CSV line into fields: the separator separates, double quotes enclose
// a field ("" inside is one quote). False when a quote is left open.
bool csvFields(const QString &line, QChar separator, QStringList *out)
{
    out->clear();
    QString field;
    bool quoted = false;
    bool wasQuoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < line.size() && line.at(i + 1) == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
            wasQuoted = true;
        } else if (c == separator) {
            out->append(wasQuoted ? field : field.trimmed());
            field.clear();
            wasQuoted = false;
        } else {
            field += c;
        }
    }
    out->append(wasQuoted ? field : field.trimmed());
    return !quoted;
}

// Where the first byte that does not belong to well-formed UTF-8 is, or -1.
// Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
int badUtf8At(const uchar *s, int n)
{
    for (int i = 0; i < n;) {
        const uchar c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int length = 0;
        uchar low = 0x80, high = 0xBF;   // the bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return i;
        }
        if (i + length > n || s[i + 1] < low || s[i + 1] > high)
            return i;
        for (int k = 2; k < length; ++k)
            if ((s[i + k] & 0xC0) != 0x80)
                return i;
        i += length;
    }
    return -1;
}

// A tag file taken in blocks as it is read, one line at a time: nothing is
// held but the line begun at the end of a block, and the tags.
class TagFileParser
{
public:
    TagFileParser(const QString &path, QVector<TagRequest> *out, QString *error)
        : m_path(path), m_out(out), m_error(error), m_before(out->size())
    {
    }

    // The next bytes of the file; false at the first problem.
    bool add(const char *data, qint64 size)
    {
        m_bytes += size;
        if (m_bytes > kTagFileMaxBytes)
            return tooLarge();
        const char *p = data;
        const char *const end = data + size;
        while (p < end) {
            const char *eol = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            const qint64 length = (eol ? eol : end) - p;
            if (m_partial.size() + length > kTagFileMaxLineBytes)
                return fail(m_line + 1, QStringLiteral("longer than %1 bytes, the most a line of a tag file may hold")
                                            .arg(kTagFileMaxLineBytes));
            if (!eol) {
                m_partial.append(p, int(length));
                break;
            }
            bool ok;
            if (m_partial.isEmpty()) {
                ok = takeLine(p, int(length));
            } else {
                m_partial.append(p, int(length));
                ok = takeLine(m_partial.constData(), m_partial.size());
                m_partial.clear();
            }
            if (!ok)
                return false;
            p = eol + 1;
        }
        return true;
    }

    // After the last bytes: the last line, when it has no line end, and
    // whether there were tags at all.
    bool finish()
    {
        if (!m_partial.isEmpty() && !takeLine(m_partial.constData(), m_partial.size()))
            return false;
        if (!m_haveHeader || m_out->size() == m_before) {
            *m_error = QStringLiteral("%1: no tags (a header line tag,type[,count][,name], then one tag per line)")
                           .arg(m_path);
            return false;
        }
        return true;
    }

    bool tooLarge()
    {
        *m_error = QStringLiteral("%1: larger than %2 bytes, the most a tag file may hold")
                       .arg(m_path).arg(kTagFileMaxBytes);
        return false;
    }

private:
    bool fail(int line, const QString &reason)
    {
        *m_error = QStringLiteral("%1:%2: %3").arg(m_path).arg(line).arg(reason);
        return false;
    }

    bool takeLine(const char *bytes, int size)
    {
        const int n = ++m_line;
        if (size <= 0)
            return true;
        if (bytes[size - 1] == '\r')
            --size;
        if (const void *nul = std::memchr(bytes, '\0', size_t(size)))
            return fail(n, QStringLiteral("a NUL byte at byte %1 of the line (a tag file is UTF-8 text)")
                               .arg(static_cast<const char *>(nul) - bytes + 1));
        const int bad = badUtf8At(reinterpret_cast<const uchar *>(bytes), size);
        if (bad >= 0)
            return fail(n, QStringLiteral("not UTF-8: byte %1 of the line is 0x%2 (a tag file is UTF-8 text)")
                               .arg(bad + 1)
                               .arg(uint(uchar(bytes[bad])), 2, 16, QLatin1Char('0')));
        const QString line = QString::fromUtf8(bytes, size);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            return true;
        if (!m_haveHeader) {
            // The header line says which separator the file uses: ',' or,
            // as spreadsheets write it in many locales, ';'.
            const int commas = unquotedCount(line, QLatin1Char(','));
            const int semicolons = unquotedCount(line, QLatin1Char(';'));
            if (commas > 0 && semicolons > 0)
                return fail(n, QStringLiteral("the header line separates its fields with both ',' and ';'"));
            m_separator = QLatin1Char(semicolons > 0 ? ';' : ',');
        }
        if (!csvFields(line, m_separator, &m_fields))
            return fail(n, QStringLiteral("a quote is not closed"));
        if (!m_haveHeader)
            return takeHeader(n);
        // The other separator may stand in a name, never in a tag, a type or
        // a count: there it is a line written with the other one.
        const QChar other = QLatin1Char(m_separator == QLatin1Char(',') ? ';' : ',');
        bool mixed = m_fields.size() == 1 && m_fields.first().contains(other);
        for (int c = 0; c < m_fields.size() && !mixed; ++c)
            mixed = c != m_nameColumn && c != m_unitColumn && m_fields.at(c).contains(other);
        if (mixed)
            return fail(n, QStringLiteral("fields separated by '%1' where the header line uses '%2'")
                               .arg(other).arg(m_separator));
        if (m_fields.size() > m_columns)
            return fail(n, QStringLiteral("%1 fields, the header names %2").arg(m_fields.size()).arg(m_columns));
        const QString countText = m_countColumn >= 0 ? m_fields.value(m_countColumn) : QString();
        TagRequest r;
        QString reason;
        if (!parseTagRequest(m_fields.value(m_tagColumn), m_fields.value(m_typeColumn),
                             countText.isEmpty() ? nullptr : &countText, &r, &reason))
            return fail(n, reason);
        if (m_nameColumn >= 0)
            r.name = m_fields.value(m_nameColumn);
        if (m_controllerColumn >= 0) {
            r.controller = m_fields.value(m_controllerColumn).trimmed();
            veskortools::HostPort address;
            if (!r.controller.isEmpty()
                && veskortools::parseHostPort(r.controller, veskortools::kAddressForm, &address)
                       != veskortools::HostPortError::None)
                return fail(n, QStringLiteral("controller %1: expected HOST:PORT").arg(quoted(r.controller)));
        }
        if (!takeMore(n, &r))
            return false;
        r.line = n;
        m_out->append(r);
        return true;
    }

    // The columns writable, deadband, scale, offset and unit of a line.
    bool takeMore(int n, TagRequest *r)
    {
        const QString writable = m_fields.value(m_writableColumn).trimmed().toLower();
        if (writable == QLatin1String("true") || writable == QLatin1String("1") || writable == QLatin1String("yes"))
            r->writable = true;
        else if (!writable.isEmpty() && writable != QLatin1String("false") && writable != QLatin1String("0")
                 && writable != QLatin1String("no"))
            return fail(n, QStringLiteral("writable %1: expected true or false (1 or 0, yes or no)")
                               .arg(quoted(m_fields.value(m_writableColumn))));
        if (!number(n, m_deadbandColumn, "deadband", &r->deadband))
            return false;
        if (!(r->deadband >= 0))
            return fail(n, QStringLiteral("deadband %1: expected a number 0 or more")
                               .arg(quoted(m_fields.value(m_deadbandColumn))));
        if (!number(n, m_scaleColumn, "scale", &r->scaling.scale)
            || !number(n, m_offsetColumn, "offset", &r->scaling.offset))
            return false;
        r->scaling.unit = m_fields.value(m_unitColumn);
        QString reason;
        if (!checkScaling(r->type, r->scaling, &reason))
            return fail(n, reason);
        return true;
    }

    // The number in a column, when the column is there and the field is not
    // empty (*out keeps its default then).
    bool number(int n, int column, const char *what, double *out)
    {
        const QString text = m_fields.value(column).trimmed();
        if (text.isEmpty())
            return true;
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (!ok || !std::isfinite(v))
            return fail(n, QStringLiteral("%1 %2: expected a number").arg(QLatin1String(what), quoted(text)));
        *out = v;
        return true;
    }

    bool takeHeader(int n)
    {
        for (int c = 0; c < m_fields.size(); ++c) {
            const QString name = m_fields.at(c).toLower();
            int *column = name == QLatin1String("tag") ? &m_tagColumn
                        : name == QLatin1String("type") ? &m_typeColumn
                        : name == QLatin1String("count") ? &m_countColumn
                        : name == QLatin1String("name") ? &m_nameColumn
                        : name == QLatin1String("controller") ? &m_controllerColumn
                        : name == QLatin1String("writable") ? &m_writableColumn
                        : name == QLatin1String("deadband") ? &m_deadbandColumn
                        : name == QLatin1String("scale") ? &m_scaleColumn
                        : name == QLatin1String("offset") ? &m_offsetColumn
                        : name == QLatin1String("unit") ? &m_unitColumn : nullptr;
            if (!column)
                return fail(n, QStringLiteral("unknown column %1 (use tag, type, count, name, controller, "
                                              "writable, deadband, scale, offset, unit)")
                                   .arg(quoted(m_fields.at(c))));
            if (*column >= 0)
                return fail(n, QStringLiteral("column %1 twice").arg(quoted(name)));
            *column = c;
        }
        if (m_tagColumn < 0 || m_typeColumn < 0)
            return fail(n, QStringLiteral("the header needs the columns tag and type"));
        m_columns = 1 + std::max({m_tagColumn, m_typeColumn, m_countColumn, m_nameColumn, m_controllerColumn,
                                  m_writableColumn, m_deadbandColumn, m_scaleColumn, m_offsetColumn, m_unitColumn});
        m_haveHeader = true;
        return true;
    }

    const QString m_path;
    QVector<TagRequest> *const m_out;
    QString *const m_error;
    const int m_before;
    qint64 m_bytes = 0;
    QByteArray m_partial;      // a line begun in an earlier block
    int m_line = 0;            // lines taken
    QStringList m_fields;
    QChar m_separator = QLatin1Char(',');
    bool m_haveHeader = false;
    int m_tagColumn = -1, m_typeColumn = -1, m_countColumn = -1, m_nameColumn = -1, m_controllerColumn = -1;
    int m_writableColumn = -1, m_deadbandColumn = -1, m_scaleColumn = -1, m_offsetColumn = -1, m_unitColumn = -1;
    int m_columns = 0;
};

} // namespace

bool parseTag(const QString &text, QString *tag, QString *error)
{
    if (text.trimmed().isEmpty()) {
        *error = QStringLiteral("empty tag");
        return false;
    }
    *tag = text;
    return true;
}

bool parseTagRequest(const QString &tagText, const QString &typeText, const QString *countText,
                     TagRequest *out, QString *error)
{
    if (!parseTag(tagText, &out->tag, error))
        return false;
    if (!parseType(typeText, &out->type, error))
        return false;
    out->count = 1;
    if (countText && !parseCount(*countText, QStringLiteral("count"), &out->count, error))
        return false;
    return true;
}

bool parseTagFile(const QString &path, const QByteArray &contents, QVector<TagRequest> *out, QString *error)
{
    TagFileParser parser(path, out, error);
    return parser.add(contents.constData(), contents.size()) && parser.finish();
}

bool readTagFile(const QString &path, QVector<TagRequest> *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the tag file \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    TagFileParser parser(path, out, error);
    // A file that says its size is refused before it is read; a pipe or a
    // device is counted as it is read, and refused at the same bound.
    if (!file.isSequential() && file.size() > kTagFileMaxBytes)
        return parser.tooLarge();
    QByteArray block(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0) {
            *error = QStringLiteral("cannot read the tag file \"%1\": %2").arg(path, file.errorString());
            return false;
        }
        if (n == 0)
            return parser.finish();
        if (!parser.add(block.constData(), n))
            return false;
    }
}

} // namespace veskortool
