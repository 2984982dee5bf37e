#include "Output.h"

#include "CommandLine.h"

#include "protocol/Frames.h"
#include "driver/Codec.h"
#include "driver/ResultCodes.h"
#include "driver/Tags.h"
#include "host/CLabelVariable.h"
#include "common/Areas.h"
#include "common/Values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

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

// The area entry a tag names, as the driver finds it; null when none.
const veskor::AreaEntry *areaOf(const QString &tag)
{
    const int code = veskor::tagArea(tag);
    return code ? veskortools::areaByCode(quint32(code)) : nullptr;
}

// Why the driver takes no address from the tag: it reads the decimal digits
// between the first lower-case x and the next one (or the end).
QString addressProblem(const QString &tag, const veskor::AreaEntry &area)
{
    const QString name = QString::fromLatin1(area.name);
    const int at = tag.indexOf(name, 0, Qt::CaseInsensitive);
    const int xAt = at + name.size() - 1;
    const int first = tag.indexOf(QLatin1Char('x'));
    if (at >= 0 && tag.at(xAt) != QLatin1Char('x') && (first < 0 || first > xAt)) {
        QString fixed = tag;
        fixed[xAt] = QLatin1Char('x');
        return QStringLiteral("the area name needs a lower-case x (%1, not %2)").arg(fixed, tag);
    }
    if (first < 0)
        return QStringLiteral("no lower-case x before the address (e.g. %1)").arg(name + QLatin1Char('0'));
    const int second = tag.indexOf(QLatin1Char('x'), first + 1);
    const QString text = tag.mid(first + 1, (second < 0 ? tag.size() : second) - first - 1);
    if (text.isEmpty())
        return QStringLiteral("no address after the x (e.g. %1)").arg(tag.left(first + 1) + QLatin1Char('0'));
    bool digits = true;
    for (const QChar c : text)
        digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!digits)
        return QStringLiteral("the address after the first lower-case x, %1, is not a decimal number").arg(quoted(text));
    return QStringLiteral("the address %1 is 2^31 or more").arg(text);
}

QString bytesText(qint64 from, qint64 length)
{
    return length == 1 ? QStringLiteral("byte %1").arg(from)
                       : QStringLiteral("bytes %1-%2").arg(from).arg(from + length - 1);
}

} // namespace

Refusal refusalOf(Result::Kind kind, const QString &tag, int type, int count)
{
    const veskor::TagRef ref = veskor::parseTag(tag);
    const veskor::AreaEntry *area = areaOf(tag);
    const bool tagOnly = type == DT_NONE && count == 0;
    const bool write = kind == Result::Write;
    const qint64 length = veskor::byteLength(type, count);
    if (!area)
        return {veskor::RcNoArea, QStringLiteral("no area name (ID1x to ID23x) in %1").arg(quoted(tag))};
    if (!tagOnly && (write ? count < 0 : count <= 0))
        return {veskor::RcLength, QStringLiteral("a count of %1 elements").arg(count)};
    if (!tagOnly && type == DT_NONE)
        return {veskor::RcType, QStringLiteral("type 0 names no type")};
    if (!tagOnly && write && length == 0)
        return {veskor::RcLength, QStringLiteral("a write of 0 bytes")};
    if (!tagOnly && write && (type < DT_BOOL || type > DT_STRING))
        return {veskor::RcType, QStringLiteral("type %1: the driver writes types 1 to 12 only").arg(type)};
    if (ref.address < 0)
        return {veskor::RcLength, addressProblem(tag, *area)};
    if (tagOnly)
        return {};
    if (!write && (length < 0 || length > INT_MAX))
        return {veskor::RcLength, QStringLiteral("%1 elements of %2 take %3 bytes, more than a read can ask for")
                       .arg(count).arg(typeName(type)).arg(length)};
    if (write && ref.address > veskor::kMaxWireField)
        return {veskor::RcLength, QStringLiteral("address %1 is past %2, the most a write request carries")
                       .arg(ref.address).arg(veskor::kMaxWireField)};
    if (write && (length < 0 || length > veskor::kMaxWireField
                  || veskor::kWriteHeaderSize + length > veskor::kMaxDatagramPayload))
        return {veskor::RcLength, QStringLiteral("%1 bytes do not fit one write request (at most %2)")
                       .arg(length).arg(veskor::kMaxDatagramPayload - veskor::kWriteHeaderSize)};
    return {};
}

namespace {

Cause makeCause(Cause::Kind kind, bool answered, const QString &text)
{
    Cause c;
    c.kind = kind;
    c.answered = answered;
    c.text = text;
    return c;
}

// Why the driver did not send a request for this tag, when it refused it
// for a reason the tool sees too: false when it would have sent it.
bool notSentCause(const Result &r, Cause *c)
{
    const Refusal refusal = refusalOf(r.kind, r.tag, r.type, r.count);
    if (refusal.code != veskor::RcDone && refusal.code == r.code) {
        *c = makeCause(Cause::NotSent, false, refusal.text);
        return true;
    }
    // A string that does not fit its field is refused whole, never cut.
    if (r.kind != Result::Write || r.type != DT_STRING || r.code != veskor::RcLength)
        return false;
    const QList<QString> texts = r.value.value<QList<QString>>();
    if (texts.isEmpty())
        return false;
    CLabelVariable record;
    record.value = QVariant::fromValue(texts);
    if (veskor::codec::encodeTag(DT_STRING, record, r.count, r.count).resultCode == veskor::RcDone)
        return false;
    const int bytes = int(texts.first().toUtf8().size());
    *c = makeCause(Cause::NotSent, false,
                   bytes > 255 ? QStringLiteral("the text takes %1 bytes, more than the 255 a string holds").arg(bytes)
                               : QStringLiteral("the text takes %1 bytes with its length byte, the field %2 (--size)")
                                     .arg(bytes + 1).arg(r.count));
    return true;
}

// Code 8: nothing came, or the controller's host refused the request.
Cause noAnswerCause(const Result &r)
{
    if (r.rttMs >= 0 && r.rttMs < kDriverWaitMs / 2)
        return makeCause(Cause::PortClosed, false,
                         QStringLiteral("the controller's host refused the request after %1 ms, long before the "
                                        "driver's %2 s wait")
                             .arg(rttText(r.rttMs)).arg(kDriverWaitMs / 1000));
    return makeCause(Cause::NoAnswer, false,
                     r.rttMs >= 0 ? QStringLiteral("nothing came within %1 ms").arg(rttText(r.rttMs))
                                  : QStringLiteral("nothing came within the driver's %1 s wait, or the port "
                                                   "is closed (this call was not timed)")
                                        .arg(kDriverWaitMs / 1000));
}

// Code 4 of a tag that was sent: the answer does not hold the bytes asked
// for.
Cause tooShortCause(const Result &r)
{
    const int address = veskor::parseTag(r.tag).address;
    const qint64 length = veskor::byteLength(r.type, r.count);
    const veskor::AreaEntry *area = areaOf(r.tag);
    const QString name = area ? QString::fromLatin1(area->name) : QStringLiteral("area");
    QString text;
    if (r.answerBytes >= veskor::kReadAnswerHeader)
        text = QStringLiteral("%1 needs %2; the controller's %3 image is %4 bytes")
                   .arg(r.tag, bytesText(address, length), name)
                   .arg(r.answerBytes - veskor::kReadAnswerHeader);
    else if (r.answerBytes >= 0)
        text = QStringLiteral("the answer is %1 bytes, shorter than the %2-byte header")
                   .arg(r.answerBytes).arg(veskor::kReadAnswerHeader);
    else
        text = QStringLiteral("%1 needs %2; the controller's %3 answer does not reach them")
                   .arg(r.tag, bytesText(address, length), name);
    return makeCause(Cause::TooShort, true, text);
}

} // namespace

Cause causeOf(const Result &r)
{
    if (r.code == veskor::RcDone)
        return makeCause(Cause::Done, true, QString());
    const bool tagKnown = !r.tag.isNull();
    Cause notSent;
    if (tagKnown && notSentCause(r, &notSent))
        return notSent;
    switch (r.code) {
    case veskor::RcNoArea:
        return makeCause(Cause::NotSent, false, QStringLiteral("no area name (ID1x to ID23x) in the tag"));
    case veskor::RcNoAnswer:
        return noAnswerCause(r);
    case veskor::RcDevice:
        return makeCause(Cause::DeviceError, true,
                         QStringLiteral("an answer came, but no read answer for this device id (its first byte "
                                        "is not '%1', or bytes %2-%3 are not the request's)")
                             .arg(QLatin1Char(veskor::kReadMagic))
                             .arg(veskor::kDeviceIdOffset)
                             .arg(veskor::kDeviceIdOffset + veskor::kDeviceIdChecked - 1));
    case veskor::RcLength:
        return tagKnown ? tooShortCause(r) : makeCause(Cause::BadLength, false, resultMeaning(veskor::RcLength));
    case veskor::RcType:
        // Sent and answered: the driver makes no value of a type it does not name.
        return makeCause(Cause::Other, tagKnown && r.kind != Result::Write,
                         QStringLiteral("type %1: the driver makes no value of it").arg(r.type));
    case veskor::RcNoSocket:
        return makeCause(Cause::Other, false, QStringLiteral("the driver has no socket to the controller"));
    default:
        return makeCause(Cause::Other, false, resultMeaning(r.code));
    }
}

QString causeName(const Cause &c, int code)
{
    switch (c.kind) {
    case Cause::Done: return QString();
    case Cause::NotSent: return QStringLiteral("not sent");
    case Cause::NoAnswer: return QStringLiteral("no answer");
    case Cause::PortClosed: return QStringLiteral("port closed");
    case Cause::DeviceError: return QStringLiteral("device error");
    case Cause::TooShort: return QStringLiteral("too short");
    case Cause::BadLength: return QStringLiteral("bad length");
    case Cause::Other: break;
    }
    return resultMeaning(code);
}

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
    if (type == DT_BOOL)
        return count == 1 ? 1 : (count + 7) / 8;
    // Only the twelve named types have a layout on the wire here.
    if (type < DT_INT8 || type > DT_STRING)
        return 0;
    return veskor::elementBytes(type) * count;
}

int wireElementBytes(int type, int count)
{
    if (type == DT_BOOL || type == DT_STRING)
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
    QString cause;
    if (r.code != veskor::RcDone) {
        const Cause c = causeOf(r);
        cause = QStringLiteral("cause   %1: %2\n").arg(causeName(c, r.code), c.text);
    }
    return QStringLiteral("%1%2  %3  count %4\n"
                          "values  %5\n"
                          "%8"
                          "result  %6\n"
                          "%9"
                          "time    %7\n")
        .arg(commandName(r.kind).leftJustified(8), r.tag, typeName(r.type), QString::number(r.count), valuesText(r.value), codeText(r.code),
             timeText(r.timeStamp), r.showHex ? QStringLiteral("hex     %1\n").arg(wireText(r)) : QString(), cause);
}

QString tableText(const QVector<Result> &rows)
{
    TableLayout layout;
    for (const Result &r : rows)
        layout.addTag(r.name, r.tag, r.type, r.count, r.showHex);
    QByteArray all = layout.header();
    for (const Result &r : rows)
        all += layout.row(r);
    return QString::fromUtf8(all);
}

namespace {

const char *const kTableHeader[] = {"NAME", "TAG", "TYPE", "COUNT", "CODE", "MEANING", "HEX", "VALUES"};

// The characters wireText gives for a read of `count` elements of `type`
// that came with its bytes: two hex digits a byte, a space between groups;
// "-" for a type without bytes here.
int hexWidth(int type, int count)
{
    const int length = wireLength(type, count);
    if (length <= 0)
        return 1;
    const int elementBytes = wireElementBytes(type, count);
    const int groups = elementBytes > 0 ? length / elementBytes : 1;
    return 2 * length + groups - 1;
}

} // namespace

TableLayout::TableLayout()
{
    for (int c = 0; c < kColumns; ++c)
        m_width[c] = int(qstrlen(kTableHeader[c]));
    // Every code the driver gives, and the words for the others.
    for (int code = 0; code <= veskor::RcNoSocket + 1; ++code) {
        m_width[4] = std::max(m_width[4], int(QString::number(code).size()));
        m_width[5] = std::max(m_width[5], int(resultMeaning(code).size()));
    }
}

void TableLayout::addTag(const QString &name, const QString &tag, int type, int count, bool hex)
{
    m_named = m_named || !name.isEmpty();
    m_hex = m_hex || hex;
    m_width[0] = std::max(m_width[0], name.isEmpty() ? 1 : int(name.size()));
    m_width[1] = std::max(m_width[1], int(tag.size()));
    m_width[2] = std::max(m_width[2], int(typeName(type).size()));
    m_width[3] = std::max(m_width[3], int(QString::number(count).size()));
    if (hex)
        m_width[6] = std::max(m_width[6], hexWidth(type, count));
}

QByteArray TableLayout::header() const
{
    QString cells[kColumns];
    for (int c = 0; c < kColumns; ++c)
        cells[c] = QLatin1String(kTableHeader[c]);
    return line(cells);
}

QByteArray TableLayout::row(const Result &r) const
{
    const QString cells[kColumns] = {r.name.isEmpty() ? QStringLiteral("-") : r.name, r.tag, typeName(r.type),
                                     QString::number(r.count), QString::number(r.code), resultMeaning(r.code),
                                     wireText(r), valuesText(r.value)};
    return line(cells);
}

// The cells padded to their columns' widths and two spaces (at least two
// when a cell is wider than its column), the last one not padded.
QByteArray TableLayout::line(const QString *cells) const
{
    const bool shown[kColumns] = {m_named, true, true, true, true, true, m_hex, true};
    QString text;
    for (int c = 0; c + 1 < kColumns; ++c) {
        if (!shown[c])
            continue;
        text += cells[c];
        text += QString(std::max(2, m_width[c] + 2 - int(cells[c].size())), QLatin1Char(' '));
    }
    text += cells[kColumns - 1];
    text += QLatin1Char('\n');
    return text.toUtf8();
}

QString pollLineText(const Result &r)
{
    const QString hex = r.showHex ? QStringLiteral("  hex %1").arg(wireText(r)) : QString();
    const Cause c = causeOf(r);
    QString tail;
    if (c.answered)
        tail = QStringLiteral("rtt %1 ms").arg(rttText(r.rttMs));
    if (r.code != veskor::RcDone)
        tail += (tail.isEmpty() ? QString() : QStringLiteral("  ")) + causeName(c, r.code) + QStringLiteral(": ") + c.text;
    return QStringLiteral("%1  %2%3  code %4  %5\n")
        .arg(timeText(r.timeStamp), valuesText(r.value), hex, codeText(r.code), tail);
}

QString pollRoundText(const QVector<Result> &round)
{
    if (round.isEmpty())
        return QString();
    QString line = pollRoundStart(round.first());
    double total = 0;
    int answered = 0;
    for (const Result &r : round) {
        line += pollRoundPiece(r);
        if (causeOf(r).answered) {
            total += r.rttMs;
            ++answered;
        }
    }
    return line + pollRoundEnd(total, answered, round.size());
}

QString pollRoundStart(const Result &first)
{
    QString line = timeText(first.timeStamp);
    if (!first.controller.isEmpty())
        line += QStringLiteral("  ") + first.controller;
    return line;
}

QString pollRoundPiece(const Result &r)
{
    const QString hex = r.showHex ? QStringLiteral(" [%1]").arg(wireText(r)) : QString();
    return QStringLiteral("  %1: %2%3 (%4)")
        .arg(r.name.isEmpty() ? r.tag : r.name, valuesText(r.value), hex, QString::number(r.code));
}

QString pollRoundEnd(double totalRttMs, int answered, int reads)
{
    if (answered == 0)
        return QStringLiteral("  no round trip: none answered\n");
    if (answered < reads)
        return QStringLiteral("  rtt %1 ms (%2 of %3 answered)\n").arg(rttText(totalRttMs)).arg(answered).arg(reads);
    return QStringLiteral("  rtt %1 ms\n").arg(rttText(totalRttMs));
}

QString resultJson(const Result &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("command"), commandName(r.kind));
    if (!r.controller.isEmpty())
        o.insert(QStringLiteral("controller"), r.controller);
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
    const Cause c = causeOf(r);
    if (r.code != veskor::RcDone) {
        o.insert(QStringLiteral("cause"), causeName(c, r.code));
        o.insert(QStringLiteral("causeText"), c.text);
    }
    if (r.kind == Result::Poll)
        o.insert(QStringLiteral("rttMs"), c.answered ? QJsonValue(qRound64(r.rttMs * 1000.0) / 1000.0)
                                                     : QJsonValue(QJsonValue::Null));
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

void RttSketch::add(double ms)
{
    const qint64 us = qBound<qint64>(0, qRound64(ms * 1000.0), std::numeric_limits<quint32>::max());
    const quint32 value = quint32(us);
    m_minUs = m_count == 0 ? value : std::min(m_minUs, value);
    m_maxUs = m_count == 0 ? value : std::max(m_maxUs, value);
    if (m_count < kExact) {
        m_data.us[m_count] = value;
    } else {
        if (m_count == kExact)
            toHistogram();
        addToBucket(bucketOf(value), 1);
    }
    if (m_count < std::numeric_limits<quint32>::max())
        ++m_count;
}

int RttSketch::bucketOf(quint32 us)
{
    if (us == 0)
        return 0;
    const int b = int(std::floor(std::log2(double(us)) * kPerOctave)) - kPerOctave * kFirstOctave;
    return qBound(0, b, kBuckets - 1);
}

void RttSketch::toHistogram()
{
    const int n = int(std::min<quint32>(m_count, kExact));
    quint32 exact[kExact];
    std::copy(m_data.us, m_data.us + n, exact);
    std::fill(std::begin(m_data.counts), std::end(m_data.counts), quint8(0));
    for (int i = 0; i < n; ++i)
        addToBucket(bucketOf(exact[i]), 1);
}

// A counter at its top halves every counter first: their ratios stay, and
// none that held a read falls to nothing.
void RttSketch::addToBucket(int bucket, quint32 times)
{
    while (m_data.counts[bucket] + times > 255) {
        for (quint8 &c : m_data.counts)
            c = quint8((c + 1) / 2);
    }
    m_data.counts[bucket] = quint8(m_data.counts[bucket] + times);
}

void RttSketch::merge(const RttSketch &other)
{
    if (other.m_count == 0)
        return;
    if (other.exact()) {
        for (quint32 i = 0; i < other.m_count; ++i)
            add(other.m_data.us[i] / 1000.0);
        return;
    }
    if (exact())
        toHistogram();
    quint32 sum[kBuckets];
    for (int b = 0; b < kBuckets; ++b)
        sum[b] = quint32(m_data.counts[b]) + other.m_data.counts[b];
    while (*std::max_element(sum, sum + kBuckets) > 255) {
        for (quint32 &c : sum)
            c = (c + 1) / 2;
    }
    std::copy(sum, sum + kBuckets, m_data.counts);
    m_minUs = std::min(m_minUs, other.m_minUs);
    m_maxUs = std::max(m_maxUs, other.m_maxUs);
    m_count += other.m_count;
}

double RttSketch::min() const
{
    return m_count == 0 ? std::numeric_limits<double>::quiet_NaN() : m_minUs / 1000.0;
}

double RttSketch::max() const
{
    return m_count == 0 ? std::numeric_limits<double>::quiet_NaN() : m_maxUs / 1000.0;
}

double RttSketch::median() const
{
    if (m_count == 0 || !exact())
        return quantile(0.5);
    quint32 sorted[kExact];
    std::copy(m_data.us, m_data.us + m_count, sorted);
    std::sort(sorted, sorted + m_count);
    const quint32 n = m_count;
    return (n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0) / 1000.0;
}

// The nearest rank: below 100 round trips p99 is the largest.
double RttSketch::quantile(double q) const
{
    if (m_count == 0)
        return std::numeric_limits<double>::quiet_NaN();
    if (exact()) {
        quint32 sorted[kExact];
        std::copy(m_data.us, m_data.us + m_count, sorted);
        std::sort(sorted, sorted + m_count);
        return sorted[std::max(0, int(std::ceil(q * m_count)) - 1)] / 1000.0;
    }
    quint32 total = 0;
    for (const quint8 c : m_data.counts)
        total += c;
    const quint32 rank = std::max<quint32>(1, quint32(std::ceil(q * total)));
    int b = 0;
    quint32 before = 0;   // reads in the buckets below b
    while (b < kBuckets - 1 && before + m_data.counts[b] < rank)
        before += m_data.counts[b++];
    // The bucket's bounds, within the smallest and largest round trip; the
    // rank's place in the bucket as if its reads were spread evenly over it
    // (as ratios).
    const auto edge = [this](int at) {
        const double us = std::exp2(double(at + kPerOctave * kFirstOctave) / kPerOctave);
        return qBound(double(m_minUs), us, double(m_maxUs));
    };
    const double low = b == 0 ? double(m_minUs) : edge(b);
    const double high = b == kBuckets - 1 ? double(m_maxUs) : edge(b + 1);
    const double at = qBound(0.0, (rank - before - 0.5) / std::max<quint32>(1, m_data.counts[b]), 1.0);
    return (low > 0 ? low * std::pow(high / low, at) : low + (high - low) * at) / 1000.0;
}

PollStats::PollStats(const PollStats &other)
    : m_reads(other.m_reads), m_failures(other.m_failures), m_rtts(other.m_rtts),
      m_failed(other.m_failed ? std::make_unique<Failed>(*other.m_failed) : nullptr)
{
}

PollStats &PollStats::operator=(const PollStats &other)
{
    if (this != &other)
        *this = PollStats(other);
    return *this;
}

PollStats::Failed &PollStats::failed()
{
    if (!m_failed)
        m_failed = std::make_unique<Failed>();
    return *m_failed;
}

void PollStats::add(int code, double rttMs)
{
    Result r;
    r.kind = Result::Poll;
    r.code = code;
    r.rttMs = rttMs;
    addCause(causeOf(r), code, rttMs);
}

void PollStats::add(const Result &r)
{
    const Cause c = causeOf(r);
    if (c.kind == Cause::NotSent)
        failed().notSent = c.text;
    addCause(c, r.code, r.rttMs);
}

void PollStats::addCause(const Cause &c, int code, double rttMs)
{
    ++m_reads;
    if (c.answered && rttMs >= 0)
        m_rtts.add(rttMs);
    else if (c.kind == Cause::BadLength && rttMs >= 0)
        failed().badLength.add(rttMs);
    if (code != veskor::RcDone) {
        ++m_failures;
        failed().causes[qMakePair(int(c.kind), code)] += 1;
    }
}

QMap<int, int> PollStats::failuresByCode() const
{
    QMap<int, int> out;
    if (m_failed) {
        for (auto it = m_failed->causes.cbegin(); it != m_failed->causes.cend(); ++it)
            out[it.key().second] += it.value();
    }
    return out;
}

namespace {

// A cause add(code, rttMs) could not tell, told with the poll's tag: a code
// 4 of a tag the driver does not send was not sent, any other one too short.
Cause::Kind resolved(int kind, int code, const QString &tag, QString *notSent)
{
    if (tag.isEmpty() || (kind != Cause::BadLength && !(kind == Cause::NotSent && code == veskor::RcNoArea)))
        return Cause::Kind(kind);
    const Refusal refusal = refusalOf(Result::Poll, tag, 0, 0);
    if (refusal.code == code) {
        if (notSent->isEmpty())
            *notSent = refusal.text;
        return Cause::NotSent;
    }
    return kind == Cause::BadLength ? Cause::TooShort : Cause::Kind(kind);
}

} // namespace

QMap<QString, int> PollStats::failuresByCause(const QString &tag) const
{
    QMap<QString, int> out;
    if (!m_failed)
        return out;
    QString notSent = m_failed->notSent;
    for (auto it = m_failed->causes.cbegin(); it != m_failed->causes.cend(); ++it) {
        Cause c;
        c.kind = resolved(it.key().first, it.key().second, tag, &notSent);
        out[causeName(c, it.key().second)] += it.value();
    }
    return out;
}

RttSketch PollStats::roundTrips(const QString &tag) const
{
    RttSketch all = m_rtts;
    QString notSent;
    if (m_failed && m_failed->badLength.count() > 0
        && resolved(Cause::BadLength, 4, tag, &notSent) == Cause::TooShort)
        all.merge(m_failed->badLength);
    return all;
}

QString PollStats::summary(const QString &tag, const QString &command) const
{
    QString s = QStringLiteral("%1 %2: %3 read%4, %5 failed").arg(command, tag).arg(reads())
                    .arg(reads() == 1 ? QString() : QStringLiteral("s")).arg(failures());
    if (m_failed && !m_failed->causes.isEmpty()) {
        // By cause and code; why a tag was not sent, last (it may hold commas).
        QString notSent = m_failed->notSent;
        QMap<QPair<QString, int>, int> byCause;
        int notSentTimes = 0, notSentCode = 0;
        for (auto it = m_failed->causes.cbegin(); it != m_failed->causes.cend(); ++it) {
            Cause c;
            c.kind = resolved(it.key().first, it.key().second, tag, &notSent);
            if (c.kind == Cause::NotSent) {
                notSentTimes += it.value();
                notSentCode = it.key().second;
            } else {
                byCause[qMakePair(causeName(c, it.key().second), it.key().second)] += it.value();
            }
        }
        QStringList parts;
        for (auto it = byCause.cbegin(); it != byCause.cend(); ++it)
            parts << QStringLiteral("%1 x %2 (%3)").arg(it.value()).arg(it.key().first).arg(it.key().second);
        if (notSentTimes > 0)
            parts << QStringLiteral("%1 x not sent (%2): %3").arg(notSentTimes).arg(notSentCode)
                         .arg(notSent.isEmpty() ? resultMeaning(notSentCode) : notSent);
        s += QStringLiteral(" (%1)").arg(parts.join(QStringLiteral(", ")));
    }
    const RttSketch rtts = roundTrips(tag);
    if (rtts.count() == 0)
        return s + (reads() > 0 ? QStringLiteral("; no round trip: none answered\n") : QStringLiteral("\n"));
    s += rtts.count() == reads() ? QStringLiteral("; round trip ms ")
                                 : QStringLiteral("; round trip ms over the %1 answered: ").arg(rtts.count());
    s += QStringLiteral("min %1, median %2").arg(rttText(rtts.min()), rttText(rtts.median()));
    if (rtts.count() >= 100)
        s += QStringLiteral(", p99 %1").arg(rttText(rtts.quantile(0.99)));
    return s + QStringLiteral(", max %1\n").arg(rttText(rtts.max()));
}

QString PollStats::summaryJson(const QString &tag, const QString &controller) const
{
    QJsonObject o;
    o.insert(QStringLiteral("command"), QStringLiteral("poll summary"));
    if (!controller.isEmpty())
        o.insert(QStringLiteral("controller"), controller);
    o.insert(QStringLiteral("tag"), tag);
    o.insert(QStringLiteral("reads"), reads());
    o.insert(QStringLiteral("failed"), failures());
    QJsonObject byCode;
    const QMap<int, int> codes = failuresByCode();
    for (auto it = codes.cbegin(); it != codes.cend(); ++it)
        byCode.insert(QString::number(it.key()), it.value());
    o.insert(QStringLiteral("failures"), byCode);
    QJsonObject byCause;
    const QMap<QString, int> causes = failuresByCause(tag);
    for (auto it = causes.cbegin(); it != causes.cend(); ++it)
        byCause.insert(it.key(), it.value());
    o.insert(QStringLiteral("causes"), byCause);
    if (causes.contains(QStringLiteral("not sent"))) {
        QString notSent = m_failed ? m_failed->notSent : QString();
        if (notSent.isEmpty())
            notSent = refusalOf(Result::Poll, tag, 0, 0).text;
        o.insert(QStringLiteral("notSent"), notSent);
    }
    const RttSketch rtts = roundTrips(tag);
    o.insert(QStringLiteral("answered"), rtts.count());
    if (rtts.count() > 0) {
        // Milliseconds rounded to the microsecond, as in the text summary;
        // below 100 answers p99 is the largest.
        const auto ms = [](double v) { return rttText(v).toDouble(); };
        const double p99 = rtts.count() >= 100 ? rtts.quantile(0.99) : rtts.max();
        o.insert(QStringLiteral("rttMs"), QJsonObject{{QStringLiteral("min"), ms(rtts.min())},
                                                       {QStringLiteral("median"), ms(rtts.median())},
                                                       {QStringLiteral("p99"), ms(p99)},
                                                       {QStringLiteral("max"), ms(rtts.max())}});
    }
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

QString rttText(double ms)
{
    return std::isnan(ms) ? QStringLiteral("-") : QString::number(ms, 'f', 3);
}

namespace {

// The errno of the first write to stdout that failed; 0 while none did.
std::atomic<int> g_stdoutErrno{0};

void noteStdoutFailure(int error)
{
    int none = 0;
    g_stdoutErrno.compare_exchange_strong(none, error != 0 ? error : EIO);
}

} // namespace

bool writeStdout(const QByteArray &bytes)
{
    if (stdoutFailed())
        return false;
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size())
        || std::fflush(stdout) != 0)
        noteStdoutFailure(errno);
    return !stdoutFailed();
}

bool stdoutFailed()
{
    return g_stdoutErrno.load() != 0;
}

int finalStatus(int status)
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        noteStdoutFailure(errno);
    if (!stdoutFailed())
        return status;
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        std::fprintf(stderr, "veskor: cannot write the output: %s\n", std::strerror(g_stdoutErrno.load()));
    return ExitOutput;
}

} // namespace veskortool
