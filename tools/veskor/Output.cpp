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

QVariant shownValue(const Result &r)
{
    if (r.scaling.isIdentity())
        return r.value;
    QList<double> scaled;
    for (const QString &item : formatValues(r.value))
        scaled << scaledValue(item.toDouble(), r.scaling);
    return QVariant::fromValue(scaled);
}

QString shownValuesText(const Result &r)
{
    const QString text = valuesText(shownValue(r));
    if (r.scaling.isIdentity() || r.scaling.unit.isEmpty() || !r.value.isValid())
        return text;
    return text + QLatin1Char(' ') + r.scaling.unit;
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
        .arg(commandName(r.kind).leftJustified(8), r.tag, typeName(r.type), QString::number(r.count), shownValuesText(r), codeText(r.code),
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
                                     wireText(r), shownValuesText(r)};
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
        .arg(timeText(r.timeStamp), shownValuesText(r), hex, codeText(r.code), tail);
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
        .arg(r.name.isEmpty() ? r.tag : r.name, shownValuesText(r), hex, QString::number(r.code));
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
    o.insert(QStringLiteral("values"), valuesToJson(shownValue(r)));
    if (!r.scaling.isIdentity()) {
        o.insert(QStringLiteral("rawValues"), valuesToJson(r.value));
        if (!r.scaling.unit.isEmpty())
            o.insert(QStringLiteral("unit"), r.scaling.unit);
    }
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
