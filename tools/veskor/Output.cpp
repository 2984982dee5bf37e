#include "Output.h"

#include "Values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace veskortool {

namespace {

QString commandName(Result::Kind k)
{
    switch (k) {
    case Result::Read: return QStringLiteral("read");
    case Result::Write: return QStringLiteral("write");
    case Result::Poll: return QStringLiteral("poll");
    }
    return QString();
}

QString codeText(int code)
{
    return QStringLiteral("%1 (%2)").arg(code).arg(resultMeaning(code));
}

QString timeText(const QDateTime &t)
{
    const QString s = formatTimestamp(t);
    return s.isEmpty() ? QStringLiteral("-") : s;
}

} // namespace

QString valuesText(const QVariant &value)
{
    QStringList items = formatValues(value);
    if (items.isEmpty())
        return QStringLiteral("(none)");
    if (value.userType() == qMetaTypeId<QList<QString>>() && items.size() > 1) {
        int empty = 0;
        while (empty < items.size() - 1 && items.at(items.size() - 1 - empty) == QLatin1String("\"\""))
            ++empty;
        if (empty > 0) {
            items.erase(items.end() - empty, items.end());
            items << QStringLiteral("(+%1 empty)").arg(empty);
        }
    }
    return items.join(QLatin1Char(' '));
}

int wireLength(int type, int count)
{
    switch (type) {
    case 1: return count == 1 ? 1 : (count + 7) / 8;
    case 2: case 3: case 12: return count;
    case 4: case 5: return 2 * count;
    case 6: case 7: case 8: return 4 * count;
    case 9: case 10: case 11: return 8 * count;
    default: return 0;
    }
}

int wireElementBytes(int type, int count)
{
    if (type == 1 || type == 12)
        return 0;
    return count > 0 ? wireLength(type, count) / count : 0;
}

QString wireText(const Result &r)
{
    if (r.wire.isEmpty())
        return QStringLiteral("-");
    const int step = r.elementBytes > 0 ? r.elementBytes : r.wire.size();
    QStringList groups;
    for (int i = 0; i < r.wire.size(); i += step)
        groups << QString::fromLatin1(r.wire.mid(i, step).toHex());
    return groups.join(QLatin1Char(' '));
}

QString resultText(const Result &r)
{
    return QStringLiteral("%1%2  %3  count %4\n"
                          "values  %5\n"
                          "%8"
                          "result  %6\n"
                          "time    %7\n")
        .arg(commandName(r.kind).leftJustified(8), r.tag, typeName(r.type), QString::number(r.count), valuesText(r.value), codeText(r.code),
             timeText(r.timeStamp), r.showHex ? QStringLiteral("hex     %1\n").arg(wireText(r)) : QString());
}

QString tableText(const QVector<Result> &rows)
{
    TableBuilder table;
    for (const Result &r : rows)
        table.add(r);
    return table.text();
}

TableBuilder::TableBuilder()
{
    const char *const header[kColumns] = {"NAME", "TAG", "TYPE", "COUNT", "CODE", "MEANING", "HEX", "VALUES"};
    for (int c = 0; c < kColumns; ++c)
        addCell(c, QLatin1String(header[c]));
}

void TableBuilder::add(const Result &r)
{
    m_named = m_named || !r.name.isEmpty();
    m_hex = m_hex || r.showHex;
    addCell(0, r.name.isEmpty() ? QStringLiteral("-") : r.name);
    addCell(1, r.tag);
    addCell(2, typeName(r.type));
    addCell(3, QString::number(r.count));
    addCell(4, QString::number(r.code));
    addCell(5, resultMeaning(r.code));
    addCell(6, wireText(r));
    addCell(7, valuesText(r.value));
}

void TableBuilder::addCell(int column, const QString &text)
{
    m_width[column] = std::max(m_width[column], int(text.size()));
    const QByteArray bytes = text.toUtf8();
    quint32 n = quint32(bytes.size());
    do {
        m_cells.append(char((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
        n >>= 7;
    } while (n);
    m_cells.append(bytes);
}

void TableBuilder::write(const std::function<void(const QByteArray &)> &out) const
{
    const bool shown[kColumns] = {m_named, true, true, true, true, true, m_hex, true};
    const uchar *p = reinterpret_cast<const uchar *>(m_cells.constData());
    const uchar *const end = p + m_cells.size();
    QByteArray piece;
    while (p < end) {
        for (int c = 0; c < kColumns; ++c) {
            quint32 n = 0;
            for (int shift = 0;; shift += 7) {
                n |= quint32(*p & 0x7F) << shift;
                if (!(*p++ & 0x80))
                    break;
            }
            const char *cell = reinterpret_cast<const char *>(p);
            p += n;
            if (!shown[c])
                continue;
            piece.append(cell, int(n));
            if (c + 1 == kColumns)
                break;
            // Padded as QString::leftJustified pads: in UTF-16 units.
            int units = 0;
            for (quint32 i = 0; i < n; ++i) {
                const uchar b = uchar(cell[i]);
                units += (b & 0xC0) != 0x80;
                units += b >= 0xF0;
            }
            piece.append(m_width[c] + 2 - units, ' ');
        }
        piece.append('\n');
        if (piece.size() >= 64 * 1024) {
            out(piece);
            piece.clear();
        }
    }
    if (!piece.isEmpty())
        out(piece);
}

QString TableBuilder::text() const
{
    QByteArray all;
    write([&all](const QByteArray &piece) { all += piece; });
    return QString::fromUtf8(all);
}

QString pollLineText(const Result &r)
{
    const QString hex = r.showHex ? QStringLiteral("  hex %1").arg(wireText(r)) : QString();
    return QStringLiteral("%1  %2%3  code %4  rtt %5 ms\n")
        .arg(timeText(r.timeStamp), valuesText(r.value), hex, codeText(r.code), rttText(r.rttMs));
}

QString pollRoundText(const QVector<Result> &round)
{
    if (round.isEmpty())
        return QString();
    QString line = timeText(round.first().timeStamp);
    double total = 0;
    for (const Result &r : round) {
        const QString hex = r.showHex ? QStringLiteral(" [%1]").arg(wireText(r)) : QString();
        line += QStringLiteral("  %1: %2%3 (%4)")
                    .arg(r.name.isEmpty() ? r.tag : r.name, valuesText(r.value), hex, QString::number(r.code));
        total += r.rttMs;
    }
    return line + QStringLiteral("  rtt %1 ms\n").arg(rttText(total));
}

QString resultJson(const Result &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("command"), commandName(r.kind));
    o.insert(QStringLiteral("tag"), r.tag);
    if (!r.name.isEmpty())
        o.insert(QStringLiteral("name"), r.name);
    o.insert(QStringLiteral("type"), typeName(r.type));
    o.insert(QStringLiteral("typeCode"), r.type);
    o.insert(QStringLiteral("count"), r.count);
    o.insert(QStringLiteral("resultCode"), r.code);
    o.insert(QStringLiteral("meaning"), resultMeaning(r.code));
    o.insert(QStringLiteral("values"), valuesToJson(r.value));
    const QString ts = formatTimestamp(r.timeStamp);
    o.insert(QStringLiteral("timeStamp"), ts.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(ts));
    if (r.kind == Result::Poll)
        o.insert(QStringLiteral("rttMs"), qRound64(r.rttMs * 1000.0) / 1000.0);
    if (r.showHex) {
        QJsonArray groups;
        if (!r.wire.isEmpty()) {
            for (const QString &g : wireText(r).split(QLatin1Char(' ')))
                groups.append(g);
        }
        o.insert(QStringLiteral("hex"), groups);
    }
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString infoText(const QString &name, const QString &version, const QString &buildVersion)
{
    return QStringLiteral("name           %1\nversion        %2\nbuild version  %3\n")
        .arg(name, version, buildVersion);
}

QString infoJson(const QString &name, const QString &version, const QString &buildVersion)
{
    QJsonObject o;
    o.insert(QStringLiteral("command"), QStringLiteral("info"));
    o.insert(QStringLiteral("name"), name);
    o.insert(QStringLiteral("version"), version);
    o.insert(QStringLiteral("buildVersion"), buildVersion);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

void PollStats::add(int code, double rttMs)
{
    m_rtts.append(rttMs);
    m_codes[code] += 1;
}

int PollStats::failures() const
{
    int n = 0;
    for (auto it = m_codes.cbegin(); it != m_codes.cend(); ++it)
        if (it.key() != 0)
            n += it.value();
    return n;
}

QMap<int, int> PollStats::failuresByCode() const
{
    QMap<int, int> out = m_codes;
    out.remove(0);
    return out;
}

double PollStats::minRtt() const
{
    return m_rtts.isEmpty() ? 0.0 : *std::min_element(m_rtts.cbegin(), m_rtts.cend());
}

double PollStats::maxRtt() const
{
    return m_rtts.isEmpty() ? 0.0 : *std::max_element(m_rtts.cbegin(), m_rtts.cend());
}

double PollStats::medianRtt() const
{
    if (m_rtts.isEmpty())
        return 0.0;
    QVector<double> sorted = m_rtts;
    std::sort(sorted.begin(), sorted.end());
    const int n = sorted.size();
    return n % 2 ? sorted.at(n / 2) : (sorted.at(n / 2 - 1) + sorted.at(n / 2)) / 2.0;
}

QString PollStats::summary(const QString &tag, const QString &command) const
{
    QString s = QStringLiteral("%1 %2: %3 read%4, %5 failed").arg(command, tag).arg(reads())
                    .arg(reads() == 1 ? QString() : QStringLiteral("s")).arg(failures());
    const QMap<int, int> byCode = failuresByCode();
    if (!byCode.isEmpty()) {
        QStringList parts;
        for (auto it = byCode.cbegin(); it != byCode.cend(); ++it)
            parts << QStringLiteral("%1 x code %2 %3").arg(it.value()).arg(it.key()).arg(resultMeaning(it.key()));
        s += QStringLiteral(" (%1)").arg(parts.join(QStringLiteral(", ")));
    }
    if (reads() > 0)
        s += QStringLiteral("; round trip ms min %1, median %2, max %3")
                 .arg(rttText(minRtt()), rttText(medianRtt()), rttText(maxRtt()));
    return s + QLatin1Char('\n');
}

QString PollStats::summaryJson(const QString &tag) const
{
    QJsonObject o;
    o.insert(QStringLiteral("command"), QStringLiteral("poll summary"));
    o.insert(QStringLiteral("tag"), tag);
    o.insert(QStringLiteral("reads"), reads());
    o.insert(QStringLiteral("failed"), failures());
    QJsonObject byCode;
    const QMap<int, int> codes = failuresByCode();
    for (auto it = codes.cbegin(); it != codes.cend(); ++it)
        byCode.insert(QString::number(it.key()), it.value());
    o.insert(QStringLiteral("failures"), byCode);
    if (reads() > 0) {
        // Milliseconds rounded to the microsecond, as in the text summary.
        const auto ms = [](double v) { return rttText(v).toDouble(); };
        o.insert(QStringLiteral("rttMs"), QJsonObject{{QStringLiteral("min"), ms(minRtt())},
                                                       {QStringLiteral("median"), ms(medianRtt())},
                                                       {QStringLiteral("max"), ms(maxRtt())}});
    }
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

QString rttText(double ms)
{
    return QString::number(ms, 'f', 3);
}

} // namespace veskortool
