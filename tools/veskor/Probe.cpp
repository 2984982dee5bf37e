#include "Probe.h"

#include "protocol/Frames.h"
#include "driver/Tags.h"
#include "common/Areas.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace veskortool {

namespace {


// The fields of a read request, or of an answer long enough to hold them.
quint16 sequenceOf(const QByteArray &b)
{
    return veskor::sequenceOf(b.constData());
}

quint32 areaCodeOf(const QByteArray &b)
{
    return veskor::areaCodeOf(b.constData());
}

quint32 deviceIdOf(const QByteArray &b)
{
    return veskor::deviceIdOf(b.constData());
}

// "4-5": the bytes of the field of `size` bytes at `offset`.
QString fieldBytes(int offset, int size)
{
    return QStringLiteral("%1-%2").arg(offset).arg(offset + size - 1);
}

// `value` in `digits` hexadecimal digits, zeros in front.
QString hex(uint value, int digits)
{
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0'));
}

bool isRead(const ProbeRequest &r)
{
    return r.phase != ProbeRequest::WriteTest;
}

// How long a datagram was, kept whole or cut.
int lengthOf(const ProbeDatagram &d)
{
    return d.bytes.size() + d.cut;
}

// Long enough for the sequence, or for a whole read answer header (the
// area code and the device id with it).
bool carriesSequence(const ProbeDatagram &d)
{
    return lengthOf(d) >= veskor::kSequenceOffset + veskor::kSequenceSize;
}

bool carriesHeader(const ProbeDatagram &d)
{
    return lengthOf(d) >= veskor::kReadAnswerHeader;
}

bool carriesHeader(const QByteArray &b)
{
    return b.size() >= veskor::kReadAnswerHeader;
}

bool sameDatagram(const ProbeDatagram &a, const ProbeDatagram &b)
{
    return a.bytes == b.bytes && a.cut == b.cut && a.digest == b.digest;
}

// Areas by number: ID1x, ID2x, ... ID23x (sorted once).
const QVector<veskor::AreaEntry> &areasInOrder()
{
    static const QVector<veskor::AreaEntry> areas = [] {
        int n = 0;
        const veskor::AreaEntry *table = veskor::areaTable(&n);
        QVector<veskor::AreaEntry> sorted(table, table + n);
        std::sort(sorted.begin(), sorted.end(), [](const veskor::AreaEntry &a, const veskor::AreaEntry &b) {
            return QByteArray(a.name).mid(2).chopped(1).toInt() < QByteArray(b.name).mid(2).chopped(1).toInt();
        });
        return sorted;
    }();
    return areas;
}

QString areaName(quint32 code)
{
    if (const veskor::AreaEntry *area = veskortools::areaByCode(code))
        return QString::fromLatin1(area->name);
    return QStringLiteral("0x") + hex(code, 8);
}

QString ms(double v)
{
    return QString::number(v, 'f', 3) + QStringLiteral(" ms");
}

// "4-5 8-15" for the bytes where `copies` holds `what`; "none" when none.
QString byteRanges(const QByteArray &copies, char what)
{
    QStringList parts;
    for (int i = 0; i < copies.size(); ++i) {
        if (copies.at(i) != what)
            continue;
        int j = i;
        while (j + 1 < copies.size() && copies.at(j + 1) == what)
            ++j;
        parts << (i == j ? QString::number(i) : QStringLiteral("%1-%2").arg(i).arg(j));
        i = j;
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QLatin1Char(' '));
}

QString percent(int n, int of)
{
    return QString::number(of > 0 ? 100.0 * n / of : 0.0, 'f', 1) + QStringLiteral(" %");
}

QString shortHex(const QByteArray &b, int length)
{
    QString s = QString::fromLatin1(b.left(24).toHex());
    if (length > 24)
        s += QStringLiteral("... (%1 bytes)").arg(length);
    return s;
}

} // namespace

QVector<quint32> probeAreaCodes()
{
    QVector<quint32> codes;
    for (const veskor::AreaEntry &a : areasInOrder())
        codes << a.code;
    return codes;
}

QVector<quint32> probeScanIds(const ProbeSettings &s)
{
    if (!s.scanDevices.isEmpty())
        return s.scanDevices;
    QVector<quint32> ids(std::begin(kProbeScanDefault), std::end(kProbeScanDefault));
    if (!ids.contains(s.device)) {
        ids << s.device;
        std::sort(ids.begin(), ids.end());
    }
    return ids;
}

namespace {

int repeatOf(const ProbeSettings &s)
{
    return std::max(1, s.repeat);
}

// Requests of a run that gets answers: every area --repeat times, the round
// trips, the other device id, and a read and a write per write test.
int answeredRunRequests(const ProbeSettings &s)
{
    const int repeat = repeatOf(s);
    return int(areasInOrder().size()) * repeat + s.count + repeat + (s.writeTag.isEmpty() ? 0 : 2 * repeat);
}

// Requests of a run that gets none: the areas once, the scan, and the ids
// read again.
int scanRunRequests(const ProbeSettings &s)
{
    const int ids = probeScanIds(s).size();
    return int(areasInOrder().size()) + ids + std::min(ids, kProbeScanChecked) * repeatOf(s);
}

} // namespace

int probeMaxRequests(const ProbeSettings &s)
{
    return std::max(answeredRunRequests(s), scanRunRequests(s));
}

qint64 probeMaxMs(const ProbeSettings &s)
{
    // Every request takes in what came before it and listens on after an
    // answer, briefly both, and waits at most the wait; a last listen for
    // late answers takes at most one wait more. The scan's reads go out a
    // gap apart (each taking in what came), then one wait.
    const qint64 each = s.waitMs + 2 * kProbeSettleMs;
    const int ids = probeScanIds(s).size();
    const qint64 answered = qint64(answeredRunRequests(s)) * each + s.waitMs;
    const qint64 scan = qint64(areasInOrder().size() + std::min(ids, kProbeScanChecked) * repeatOf(s)) * each
        + qint64(ids) * (kProbeScanGapUs / 1000 + 1) + s.waitMs + kProbeSettleMs;
    return std::max(answered, scan);
}

QString deviceListText(const QVector<quint32> &ids)
{
    QStringList parts;
    for (int i = 0; i < ids.size(); ++i) {
        int j = i;
        while (j + 1 < ids.size() && ids[j] != 0xFFFFFFFFu && ids[j + 1] == ids[j] + 1)
            ++j;
        if (j - i >= 3) {
            parts << QStringLiteral("%1-%2").arg(ids[i]).arg(ids[j]);
        } else {
            for (int k = i; k <= j; ++k)
                parts << QString::number(ids[k]);
        }
        i = j;
    }
    return parts.join(QStringLiteral(", "));
}

QString timesText(int times, int of)
{
    if (of > 0 && times == of)
        return QStringLiteral("always");
    if (times == 0)
        return QStringLiteral("never");
    return QStringLiteral("%1 of %2").arg(times).arg(of);
}

int ProbeReport::Area::habitTimes() const
{
    switch (state) {
    case Image: return images;
    case Error: return errors;
    case Short: return shorts;
    case Silent: return silent;
    case NotAsked: break;
    }
    return 0;
}

void keepBytes(const char *bytes, int size, ProbeDatagram *d)
{
    d->bytes = QByteArray(bytes, std::min(size, kProbeKeepBytes));
    d->cut = size - d->bytes.size();
    d->digest = 0;
    if (d->cut > 0) {
        const QByteArray sha = QCryptographicHash::hash(QByteArray::fromRawData(bytes, size),
                                                        QCryptographicHash::Sha1);
        d->digest = qFromLittleEndian<quint64>(reinterpret_cast<const uchar *>(sha.constData()));
    }
}

namespace {

// A datagram taken as a read's answer: shorter than a header, an image (a
// header that starts with the read magic), or else an error answer.
enum class AnswerKind { Short, Image, Error };

AnswerKind kindOf(const ProbeDatagram &d)
{
    if (!carriesHeader(d))
        return AnswerKind::Short;
    return d.bytes.at(0) == veskor::kReadMagic ? AnswerKind::Image : AnswerKind::Error;
}

// Nine times in ten at least: a habit, coincidences aside.
bool nearlyAlways(int times, int of)
{
    return of > 0 && times * 10 >= of * 9;
}

// The run's record as the judge goes through it: the controller's
// datagrams, the reads by the sequence each carries, and which datagram
// answers which request.
struct Judging {
    explicit Judging(const ProbeLog &log)
        : req(log.requests), dg(log.datagrams), answerOf(log.requests.size(), -1),
          lateOf(log.requests.size(), false)
    {
    }

    const QVector<ProbeRequest> &req;
    const QVector<ProbeDatagram> &dg;
    QVector<int> own;                   // indexes in dg of the controller's datagrams
    QMap<quint16, int> readBySequence;  // request index by sequence
    bool echoesArea = false;            // in the first answer to nearly every read
    bool echoesDevice = false;
    QVector<int> answerOf;              // per request: index in dg of its answer, or -1
    QVector<bool> lateOf;               // per request: its answer came after its wait

    bool afterRead(const ProbeDatagram &d) const { return d.after >= 0 && isRead(req[d.after]); }
    bool answeredInTime(int k) const { return answerOf[k] >= 0 && !lateOf[k]; }
    // The answer to request k, or null.
    const ProbeDatagram *answerTo(int k) const { return answerOf[k] >= 0 ? &dg[answerOf[k]] : nullptr; }

    // Whether the datagram `d` could answer request k, as far as the
    // fields the controller echoes go.
    bool couldAnswer(const QByteArray &d, int k) const
    {
        if (!isRead(req[k]) || !carriesHeader(d))
            return true;
        return !(echoesArea && areaCodeOf(d) != areaCodeOf(req[k].bytes))
            && !(echoesDevice && deviceIdOf(d) != deviceIdOf(req[k].bytes));
    }
};

// The report's facts about the run itself.
ProbeReport startReport(const ProbeLog &log)
{
    const ProbeSettings &s = log.settings;
    ProbeReport r;
    r.controller = QStringLiteral("%1:%2").arg(s.address.toString()).arg(s.port);
    r.device = s.device;
    r.repeat = repeatOf(s);
    r.requests = log.requests.size();
    r.refused = log.refused;
    r.stopped = log.stopped;
    qint64 lastUs = 0;
    for (const ProbeRequest &q : log.requests)
        lastUs = std::max(lastUs, q.sentUs);
    for (const ProbeDatagram &d : log.datagrams)
        lastUs = std::max(lastUs, d.atUs);
    lastUs = std::max(lastUs, log.countedLastUs);
    r.elapsedMs = lastUs / 1000;
    return r;
}

// The controller's datagrams, and the others; those only counted too.
// Returns the indexes of the controller's datagrams that were kept.
QVector<int> tallySources(const ProbeLog &log, ProbeReport *r)
{
    const auto fromController = [&log](const QHostAddress &from) {
        return QHostAddress(from.toIPv4Address()) == log.settings.address;
    };
    const auto tally = [&](const QHostAddress &from, quint16 port, int n) {
        if (fromController(from))
            r->ports[port] += n;
        else
            r->strangers[QStringLiteral("%1:%2").arg(from.toString()).arg(port)] += n;
    };
    QVector<int> own;
    for (int i = 0; i < log.datagrams.size(); ++i) {
        const ProbeDatagram &d = log.datagrams[i];
        if (fromController(d.from))
            own << i;
        tally(d.from, d.fromPort, 1);
    }
    for (const ProbeSender &c : log.counted) {
        tally(c.from, c.fromPort, c.datagrams);
        if (fromController(c.from))
            r->countedOnly += c.datagrams;
    }
    r->furtherSenders = log.countedElsewhere;
    r->answered = !own.isEmpty() || r->countedOnly > 0;
    return own;
}

// Does the controller echo the sequence? Every read carries its own.
bool judgeSequenceEcho(Judging *j)
{
    for (int k = 0; k < j->req.size(); ++k)
        if (isRead(j->req[k]))
            j->readBySequence.insert(sequenceOf(j->req[k].bytes), k);
    int readDatagrams = 0, carrySequence = 0;
    for (int i : j->own) {
        const ProbeDatagram &d = j->dg[i];
        if (!j->afterRead(d) || !carriesSequence(d))
            continue;
        ++readDatagrams;
        if (j->readBySequence.contains(sequenceOf(d.bytes)))
            ++carrySequence;
    }
    // Coincidences aside: a counter of its own may meet one of ours now and then.
    return nearlyAlways(carrySequence, readDatagrams);
}

// Without the sequence, the area code and the device id still tell some
// late answers apart, when the controller copies them: judged on the
// first datagram after each read.
void judgeFieldEchoes(Judging *j)
{
    int firstAnswers = 0, areaEchoes = 0, deviceEchoes = 0;
    for (int i = 0, k = -1; i < j->own.size(); ++i) {
        const ProbeDatagram &d = j->dg[j->own[i]];
        if (d.after == k || !j->afterRead(d) || !carriesHeader(d))
            continue;
        k = d.after;
        ++firstAnswers;
        areaEchoes += areaCodeOf(d.bytes) == areaCodeOf(j->req[k].bytes);
        deviceEchoes += deviceIdOf(d.bytes) == deviceIdOf(j->req[k].bytes);
    }
    j->echoesArea = nearlyAlways(areaEchoes, firstAnswers);
    j->echoesDevice = nearlyAlways(deviceEchoes, firstAnswers);
}

// The scan's reads went out together: an answer to one of them is known
// by its sequence or its device id, not by its time. -1 when it answers
// none of them.
int scanReadAnswered(const Judging &j, const ProbeDatagram &d)
{
    const int bySequence = carriesSequence(d) ? j.readBySequence.value(sequenceOf(d.bytes), -1) : -1;
    if (bySequence >= 0 && bySequence <= d.after && j.req[bySequence].phase == ProbeRequest::Scan)
        return bySequence;
    if (!carriesHeader(d))
        return -1;
    for (int k = d.after; k >= 0 && j.req[k].phase == ProbeRequest::Scan; --k)
        if (deviceIdOf(j.req[k].bytes) == deviceIdOf(d.bytes))
            return k;
    return -1;
}

// The request the controller's datagram `d` answers, or -1 when that cannot
// be told: by the sequence it carries when the controller echoes it, else
// the last request sent before it, unless that one is still unanswered and
// `d` came after its wait or does not fit it.
int requestAnswered(const Judging &j, const ProbeDatagram &d, bool echoesSequence)
{
    const int k = d.after;
    if (k >= 0 && j.req[k].phase == ProbeRequest::Scan)
        return scanReadAnswered(j, d);
    if (echoesSequence && j.afterRead(d) && carriesSequence(d)) {
        // A datagram too short to carry a sequence cannot contradict the
        // echo: it is judged by its time, as the driver judges it.
        const int bySequence = j.readBySequence.value(sequenceOf(d.bytes), -1);
        // The sequence of a read not sent yet: a coincidence, no answer.
        return bySequence > d.after ? -1 : bySequence;
    }
    if (k >= 0 && j.answerOf[k] < 0 && (d.atUs > j.req[k].deadlineUs || !j.couldAnswer(d.bytes, k)))
        return -1;   // after the wait, or not for this request: whose answer it is cannot be told
    return k;
}

// Which datagram answers which request: the first that answers it; a copy
// of that one is a duplicate, any other datagram unexplained.
void matchAnswers(Judging *j, ProbeReport *r)
{
    for (int i : j->own) {
        const ProbeDatagram &d = j->dg[i];
        const int k = requestAnswered(*j, d, r->echoesSequence);
        if (k < 0) {
            ++r->unexplained;
        } else if (j->answerOf[k] < 0) {
            j->answerOf[k] = i;
            j->lateOf[k] = d.atUs > j->req[k].deadlineUs;
            r->late += j->lateOf[k] ? 1 : 0;
        } else if (sameDatagram(j->dg[j->answerOf[k]], d)) {
            ++r->duplicates;
        } else {
            ++r->unexplained;
        }
    }
}

// Minimum, median, 99th percentile and maximum of the round trips.
void setRoundTrips(QVector<double> rtts, ProbeReport *r)
{
    std::sort(rtts.begin(), rtts.end());
    r->onTime = rtts.size();
    r->lost = r->reads - r->onTime;
    if (rtts.isEmpty())
        return;
    r->rttMinMs = rtts.first();
    r->rttMedianMs = rtts.size() % 2 ? rtts[rtts.size() / 2] : (rtts[rtts.size() / 2 - 1] + rtts[rtts.size() / 2]) / 2;
    r->rttP99Ms = rtts[std::max(0, int(std::ceil(0.99 * rtts.size())) - 1)];
    r->rttMaxMs = rtts.last();
}

// Round trips, over the reads answered in time.
void judgeRoundTrips(const Judging &j, ProbeReport *r)
{
    QVector<double> rtts;
    for (int k = 0; k < j.req.size(); ++k) {
        if (j.req[k].phase != ProbeRequest::RoundTrip)
            continue;
        if (r->rttArea.isEmpty())
            r->rttArea = areaName(areaCodeOf(j.req[k].bytes));
        ++r->reads;
        if (!j.answeredInTime(k))
            continue;
        const ProbeDatagram &d = *j.answerTo(k);
        rtts << double(d.atUs - j.req[k].sentUs) / 1000.0;
        const AnswerKind kind = kindOf(d);
        if (kind == AnswerKind::Short)
            ++r->shortAnswers;
        else if (kind == AnswerKind::Error)
            ++r->errorAnswers;
    }
    setRoundTrips(rtts, r);
}

// What each read of one area got; its habit is what it answers when it
// answers at all. *imageRead: a read of it answered with an image, if any.
ProbeReport::Area judgeArea(const Judging &j, const veskor::AreaEntry &entry, int *imageRead)
{
    ProbeReport::Area area;
    area.name = QString::fromLatin1(entry.name);
    int firstError = -1, firstShort = -1, firstImage = -1;
    for (int k = 0; k < j.req.size(); ++k) {
        if (j.req[k].phase != ProbeRequest::Area || areaCodeOf(j.req[k].bytes) != entry.code)
            continue;
        ++area.asked;
        const ProbeDatagram *d = j.answerTo(k);
        if (!d) {
            ++area.silent;
            continue;
        }
        const int length = lengthOf(*d);
        switch (kindOf(*d)) {
        case AnswerKind::Short:
            ++area.shorts;
            if (firstShort < 0)
                firstShort = length;
            break;
        case AnswerKind::Image:
            ++area.images;
            if (firstImage < 0) {
                firstImage = length - veskor::kReadAnswerHeader;
                *imageRead = k;
            }
            break;
        case AnswerKind::Error:
            ++area.errors;
            if (firstError < 0)
                firstError = uchar(d->bytes.at(0));
            break;
        }
    }
    if (area.images > 0) {
        area.state = ProbeReport::Area::Image;
        area.length = firstImage;
    } else if (area.errors > 0) {
        area.state = ProbeReport::Area::Error;
        area.firstByte = firstError;
    } else if (area.shorts > 0) {
        area.state = ProbeReport::Area::Short;
        area.length = firstShort;
    } else if (area.asked > 0) {
        area.state = ProbeReport::Area::Silent;
    }
    return area;
}

// Every area's habit. Returns, by area code, a read answered with an image
// for the areas that answer with one.
QMap<quint32, int> judgeAreas(const Judging &j, ProbeReport *r)
{
    QMap<quint32, int> imageRead;
    for (const veskor::AreaEntry &entry : areasInOrder()) {
        int k = -1;
        r->areas << judgeArea(j, entry, &k);
        if (k >= 0)
            imageRead.insert(entry.code, k);
    }
    return imageRead;
}

// Losses, short and error answers as rates: over the reads of areas that
// answer with an image, where anything else is not the area's habit.
void judgeRates(const Judging &j, const QMap<quint32, int> &imageRead, ProbeReport *r)
{
    for (int k = 0; k < j.req.size(); ++k) {
        const ProbeRequest::Phase phase = j.req[k].phase;
        if (phase != ProbeRequest::Area && phase != ProbeRequest::RoundTrip && phase != ProbeRequest::WriteRead)
            continue;
        if (!imageRead.contains(areaCodeOf(j.req[k].bytes)))
            continue;
        ++r->rateReads;
        if (!j.answeredInTime(k)) {
            ++r->rateLost;
            continue;
        }
        const AnswerKind kind = kindOf(*j.answerTo(k));
        if (kind == AnswerKind::Short)
            ++r->rateShort;
        else if (kind == AnswerKind::Error)
            ++r->rateError;
    }
}

// Echoes of the read header, byte by byte.
void judgeHeaderCopies(const Judging &j, ProbeReport *r)
{
    const int header = veskor::kReadAnswerHeader;
    QByteArray equal(header, 1), varied(header, 0);
    const QByteArray *first = nullptr;
    for (int k = 0; k < j.req.size(); ++k) {
        const ProbeDatagram *d = j.answerTo(k);
        if (!isRead(j.req[k]) || !d || !carriesHeader(*d))
            continue;
        const QByteArray &q = j.req[k].bytes;
        const QByteArray &a = d->bytes;
        ++r->readAnswers;
        r->sequenceCopied += sequenceOf(a) == sequenceOf(q);
        r->areaCopied += areaCodeOf(a) == areaCodeOf(q);
        r->deviceCopied += deviceIdOf(a) == deviceIdOf(q);
        if (!first)
            first = &q;
        for (int i = 0; i < header; ++i) {
            equal[i] = char(equal[i] && a[i] == q[i]);
            varied[i] = char(varied[i] || q[i] != first->at(i));
        }
    }
    if (r->readAnswers > 0) {
        r->headerCopies.resize(header);
        for (int i = 0; i < header; ++i)
            r->headerCopies[i] = !equal[i] ? 'x' : varied[i] ? 'c' : '=';
    }
}

// Reads as another device id. The first answer is compared with an answer
// to this controller's own id for the same area.
void judgeOtherDevice(const Judging &j, const QMap<quint32, int> &imageRead, ProbeReport *r)
{
    for (int k = 0; k < j.req.size(); ++k) {
        if (j.req[k].phase != ProbeRequest::OtherDevice)
            continue;
        r->otherDeviceId = deviceIdOf(j.req[k].bytes);
        ++r->otherDeviceAsked;
        const ProbeDatagram *d = j.answerTo(k);
        if (!d || r->otherDeviceAnswered++ > 0)
            continue;
        const QByteArray &answer = d->bytes;
        const int own = imageRead.value(areaCodeOf(j.req[k].bytes), -1);
        const ProbeDatagram *ref = own >= 0 ? j.answerTo(own) : nullptr;
        const bool same = ref && !ref->bytes.isEmpty() && lengthOf(*d) == lengthOf(*ref) && !answer.isEmpty()
                       && answer.at(0) == ref->bytes.at(0);
        r->otherDevice = same ? ProbeReport::DeviceSame : ProbeReport::DeviceDifferent;
        r->otherDeviceDetail = QStringLiteral("%1 bytes, first byte 0x%2, device id %3")
                                   .arg(lengthOf(*d))
                                   .arg(hex(answer.isEmpty() ? 0 : uchar(answer.at(0)), 2))
                                   .arg(carriesHeader(answer) && deviceIdOf(answer) == deviceIdOf(j.req[k].bytes)
                                            ? QStringLiteral("echoed")
                                            : QStringLiteral("not echoed"));
    }
    if (r->otherDeviceAsked > 0 && r->otherDeviceAnswered == 0)
        r->otherDevice = ProbeReport::DeviceSilent;
}

// The writes; a write answer that copies the header is the habit once one
// came.
void judgeWrites(const Judging &j, const ProbeLog &log, ProbeReport *r)
{
    QString copyDetail, otherDetail;
    for (int k = 0; k < j.req.size(); ++k) {
        if (j.req[k].phase != ProbeRequest::WriteTest)
            continue;
        ++r->writes;
        const ProbeDatagram *d = j.answerTo(k);
        if (!d)
            continue;
        ++r->writesAnswered;
        const int length = lengthOf(*d);
        if (d->bytes.startsWith(j.req[k].bytes.left(veskor::kWriteHeaderSize))) {
            if (r->writesCopied++ == 0)
                copyDetail = length == veskor::kWriteHeaderSize
                    ? QString()
                    : QStringLiteral("and %1 bytes more").arg(length - veskor::kWriteHeaderSize);
        } else if (otherDetail.isEmpty()) {
            otherDetail = shortHex(d->bytes, length);   // the first answer that does not copy it
        }
    }
    if (r->writes > 0) {
        if (r->writesCopied > 0) {
            r->write = ProbeReport::WriteCopiesHeader;
            r->writeDetail = copyDetail;
        } else if (r->writesAnswered > 0) {
            r->write = ProbeReport::WriteOther;
            r->writeDetail = otherDetail;
        } else {
            r->write = ProbeReport::WriteSilent;
        }
    }
    r->writeTag = log.settings.writeTag;
    if (!log.settings.writeTag.isEmpty() && r->write == ProbeReport::WriteNotAsked && !log.writeSkipped.isEmpty()) {
        r->write = ProbeReport::WriteSkipped;
        r->writeDetail = log.writeSkipped;
    }
}

// The scan of device ids, and the ids read again alone.
void judgeScan(const Judging &j, ProbeReport *r)
{
    for (int k = 0; k < j.req.size(); ++k) {
        if (j.req[k].phase == ProbeRequest::Scan) {
            r->scanned << deviceIdOf(j.req[k].bytes);
        } else if (j.req[k].phase == ProbeRequest::DeviceCheck) {
            const quint32 id = deviceIdOf(j.req[k].bytes);
            int at = 0;
            while (at < r->checked.size() && r->checked[at].id != id)
                ++at;
            if (at == r->checked.size())
                r->checked << ProbeReport::DeviceCheck{id, 0, 0};
            ++r->checked[at].asked;
            r->checked[at].answered += j.answeredInTime(k);
        }
    }
}

// The verdict when nothing came from the controller's address.
void verdictNoAnswer(const ProbeReport &r, QStringList *v)
{
    if (r.refused)
        *v << QStringLiteral("the port is closed (the host reported it unreachable): check the port "
                             "and that the controller's service runs; the driver reports 8 at once");
    else if (!r.scanned.isEmpty())
        *v << QStringLiteral("the port is open (no refusal came) but nothing answers device ids %1: %2"
                             "check the address, the port, the network and firewalls; the driver reports "
                             "8 after 2 s")
                  .arg(deviceListText(r.scanned),
                       r.scanned.size() >= 256 ? QString() : QStringLiteral("try --scan-devices 0-255, or "));
    else
        *v << QStringLiteral("no answer within the wait: check the address, the port, the network "
                             "and firewalls; the driver reports 8 after 2 s");
    if (!r.strangers.isEmpty())
        *v << QStringLiteral("datagrams came from other addresses only: is the controller behind "
                             "another address?");
}

// No area answered as this device id: what the scan found says it all.
void verdictScan(const ProbeReport &r, QStringList *v)
{
    QStringList found;
    for (const ProbeReport::DeviceCheck &c : r.checked)
        if (c.answered > 0)
            found << QString::number(c.id);
    if (!found.isEmpty())
        *v << QStringLiteral("answers device id %1, not %2: give --device %3; as device %2 every read "
                             "ends in 8 after 2 s")
                  .arg(found.join(QStringLiteral(", ")))
                  .arg(r.device)
                  .arg(found.first());
    else
        *v << QStringLiteral("the port is open and datagrams came during the scan of device ids %1, but "
                             "no device id answered a read of its own: check the address and the port")
                  .arg(deviceListText(r.scanned));
}

// "in N of M answers".
QString inAnswers(int times, int of)
{
    return QStringLiteral("in %1 of %2 answers").arg(times).arg(of);
}

void verdictEcho(const ProbeReport &r, QStringList *v)
{
    if (r.readAnswers == 0)
        return;
    if (r.echoesSequence)
        *v << QStringLiteral("echoes sequence %1: late answers are recognised")
                  .arg(r.sequenceCopied == r.readAnswers ? QStringLiteral("always")
                                                         : inAnswers(r.sequenceCopied, r.readAnswers));
    else
        *v << QStringLiteral("does not echo (the sequence copied %1): a late answer can be taken for the "
                             "next one; keep one request in flight")
                  .arg(r.sequenceCopied == 0 ? QStringLiteral("never") : inAnswers(r.sequenceCopied, r.readAnswers));
    if (r.deviceCopied < r.readAnswers)
        *v << QStringLiteral("does not echo the device id (bytes %1) in %2 of %3 answers: the driver "
                             "reports those reads as device errors (7)")
                  .arg(fieldBytes(veskor::kDeviceIdOffset, veskor::kDeviceIdChecked),
                       QString::number(r.readAnswers - r.deviceCopied), QString::number(r.readAnswers));
}

// Answers from other ports of the controller, and datagrams from elsewhere.
void verdictSources(const ProbeReport &r, quint16 port, QStringList *v)
{
    QStringList otherPorts;
    for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
        if (it.key() != port)
            otherPorts << QString::number(it.key());
    if (!otherPorts.isEmpty())
        *v << QStringLiteral("answers from port %1, not %2: the driver takes answers from any port of the "
                             "controller's address; a firewall between must let them through")
                  .arg(otherPorts.join(QStringLiteral(", ")))
                  .arg(port);
    if (!r.strangers.isEmpty())
        *v << QStringLiteral("datagrams from other addresses: the driver passes them over once the "
                             "controller has answered from its own");
}

void verdictOtherDevice(const ProbeReport &r, QStringList *v)
{
    const QString otherTimes = timesText(r.otherDeviceAnswered, r.otherDeviceAsked);
    switch (r.otherDevice) {
    case ProbeReport::DeviceSilent:
        *v << QStringLiteral("ignores other device ids (%1 reads as device %2, none answered): a wrong --device "
                             "looks like a dead controller (8)")
                  .arg(r.otherDeviceAsked).arg(r.otherDeviceId);
        break;
    case ProbeReport::DeviceSame:
        *v << QStringLiteral("answers any device id (as device %1: %2): a wrong device id still reads; it cannot "
                             "be found out from the answers")
                  .arg(r.otherDeviceId).arg(otherTimes);
        break;
    case ProbeReport::DeviceDifferent:
        *v << QStringLiteral("answers another device id differently (as device %1: %2): a wrong device id shows "
                             "as a device error (7) or a short answer (4)")
                  .arg(r.otherDeviceId).arg(otherTimes);
        break;
    case ProbeReport::DeviceNotAsked:
        break;
    }
}

// Habits of areas, each seen in every read of it; a loss or a short
// answer now and then is a rate (verdictRates).
void verdictAreas(const ProbeReport &r, bool ownAnswered, QStringList *v)
{
    QStringList silent, errors, cut;
    int silentReads = 0;
    for (const ProbeReport::Area &a : r.areas) {
        if (a.state == ProbeReport::Area::Silent && ownAnswered) {
            silent << a.name;
            silentReads = std::max(silentReads, a.asked);
        } else if (a.state == ProbeReport::Area::Error) {
            errors << QStringLiteral("%1 (%2)").arg(a.name, timesText(a.errors, a.asked));
        } else if (a.state == ProbeReport::Area::Short) {
            cut << QStringLiteral("%1 (%2)").arg(a.name, timesText(a.shorts, a.asked));
        }
    }
    if (!silent.isEmpty())
        *v << QStringLiteral("no answer for %1 in any of %2 reads each: reads there end in 8 after 2 s")
                  .arg(silent.join(QLatin1Char(' ')))
                  .arg(silentReads);
    if (!errors.isEmpty())
        *v << QStringLiteral("error answers for %1: reads there end in 7").arg(errors.join(QLatin1Char(' ')));
    if (!cut.isEmpty())
        *v << QStringLiteral("only answers shorter than a header for %1: reads there end in 4")
                  .arg(cut.join(QLatin1Char(' ')));
}

// Losses, short and error answers, duplicates and a flood.
void verdictRates(const ProbeReport &r, QStringList *v)
{
    if (r.rateLost > 0)
        *v << QStringLiteral("lost %1 of %2 reads (%3): each costs the driver a 2 s wait and ends in 8")
                  .arg(r.rateLost).arg(r.rateReads).arg(percent(r.rateLost, r.rateReads));
    if (r.rateShort > 0)
        *v << QStringLiteral("%1 of %2 reads answered shorter than a header (%3): those reads end in 4")
                  .arg(r.rateShort).arg(r.rateReads).arg(percent(r.rateShort, r.rateReads));
    if (r.rateError > 0)
        *v << QStringLiteral("%1 of %2 reads of areas with an image got an error answer (%3): those reads end in 7")
                  .arg(r.rateError).arg(r.rateReads).arg(percent(r.rateError, r.rateReads));
    if (r.duplicates > 0)
        *v << (r.echoesSequence
                   ? QStringLiteral("sends duplicates (%1): recognised by the sequence echo").arg(r.duplicates)
                   : QStringLiteral("sends duplicates (%1) and does not echo: a copy can be taken for "
                                    "the next answer").arg(r.duplicates));
    if (r.countedOnly > 0)
        *v << QStringLiteral("sent more than %1 datagrams after a request (%2 counted only): a flood; "
                             "what is judged above is the first %1 after each request")
                  .arg(kProbeKeepPerRequest).arg(r.countedOnly);
}

void verdictWrite(const ProbeReport &r, QStringList *v)
{
    const QString writeTimes = QStringLiteral("%1 of %2 writes").arg(r.writesCopied).arg(r.writes);
    if (r.write == ProbeReport::WriteCopiesHeader)
        *v << QStringLiteral("copies the write header (%1): late write answers are recognised")
                  .arg(r.writesCopied == r.writes ? QStringLiteral("always") : writeTimes);
    else if (r.write == ProbeReport::WriteOther)
        *v << QStringLiteral("write answers do not copy the header (%1 answered): any datagram counts as the "
                             "write's answer")
                  .arg(timesText(r.writesAnswered, r.writes));
    else if (r.write == ProbeReport::WriteSilent)
        *v << QStringLiteral("no answer to %1 writes: writes end in 8").arg(r.writes);
}

// The verdict in words: what each habit means for the driver.
void writeVerdict(const ProbeSettings &s, ProbeReport *r)
{
    QStringList *v = &r->verdict;
    if (!r->answered) {
        verdictNoAnswer(*r, v);
        return;
    }
    bool ownAnswered = false;
    for (const ProbeReport::Area &a : r->areas)
        ownAnswered = ownAnswered || (a.state != ProbeReport::Area::Silent && a.state != ProbeReport::Area::NotAsked);
    if (!ownAnswered && !r->scanned.isEmpty())
        verdictScan(*r, v);
    verdictEcho(*r, v);
    verdictSources(*r, s.port, v);
    verdictOtherDevice(*r, v);
    verdictAreas(*r, ownAnswered, v);
    verdictRates(*r, v);
    verdictWrite(*r, v);
}

} // namespace

ProbeReport judgeProbe(const ProbeLog &log)
{
    ProbeReport r = startReport(log);
    Judging j(log);
    j.own = tallySources(log, &r);
    r.echoesSequence = judgeSequenceEcho(&j);
    judgeFieldEchoes(&j);
    matchAnswers(&j, &r);
    judgeRoundTrips(j, &r);
    const QMap<quint32, int> imageRead = judgeAreas(j, &r);
    judgeRates(j, imageRead, &r);
    judgeHeaderCopies(j, &r);
    judgeOtherDevice(j, imageRead, &r);
    judgeWrites(j, log, &r);
    judgeScan(j, &r);
    writeVerdict(log.settings, &r);
    return r;
}

namespace {

// The plain report, a line at a time: a label in 12 columns, then the text.
class ReportLines
{
public:
    void add(const QString &label, const QString &text)
    {
        m_text += label.leftJustified(12, QLatin1Char(' ')) + text + QLatin1Char('\n');
    }
    QString text() const { return m_text; }

private:
    QString m_text;
};

QString controllerText(const ProbeReport &r)
{
    return QStringLiteral("%1, device %2: %3 %4 in %5 s, each area and check up to %6 %7")
        .arg(r.controller)
        .arg(r.device)
        .arg(r.requests)
        .arg(r.requests == 1 ? QStringLiteral("request") : QStringLiteral("requests"))
        .arg(QString::number(r.elapsedMs / 1000.0, 'f', 1))
        .arg(r.repeat)
        .arg(r.repeat == 1 ? QStringLiteral("time") : QStringLiteral("times"));
}

QString readsText(const ProbeReport &r)
{
    QString t = QStringLiteral("%1: %2 of %3 answered in time, lost %4")
                    .arg(r.rttArea).arg(r.onTime).arg(r.reads).arg(r.lost);
    if (r.shortAnswers > 0 || r.errorAnswers > 0)
        t += QStringLiteral(" (of the answers %1 short, %2 error answers)").arg(r.shortAnswers).arg(r.errorAnswers);
    if (r.onTime > 0)
        t += QStringLiteral("; round trip min %1, median %2, p99 %3, max %4")
                 .arg(ms(r.rttMinMs), ms(r.rttMedianMs), ms(r.rttP99Ms), ms(r.rttMaxMs));
    return t;
}

// The areas first to last, all of one habit, with how often their reads
// showed it.
QString areaRunText(const ProbeReport &r, int first, int last)
{
    const ProbeReport::Area &a = r.areas[first];
    const QString names = first == last ? a.name : a.name + QStringLiteral("..") + r.areas[last].name;
    int times = 0, asked = 0;
    for (int k = first; k <= last; ++k) {
        times += r.areas[k].habitTimes();
        asked += r.areas[k].asked;
    }
    const QString often = timesText(times, asked);
    switch (a.state) {
    case ProbeReport::Area::Image:
        return QStringLiteral("%1 %2 bytes %3").arg(names).arg(a.length).arg(often);
    case ProbeReport::Area::Error:
        return QStringLiteral("%1 error answer (0x%2) %3").arg(names, hex(a.firstByte, 2), often);
    case ProbeReport::Area::Silent:
        return QStringLiteral("%1 never answer (%2 reads)").arg(names).arg(asked);
    case ProbeReport::Area::Short:
        return QStringLiteral("%1 short answer (%2 bytes) %3").arg(names).arg(a.length).arg(often);
    case ProbeReport::Area::NotAsked:
        break;
    }
    return QStringLiteral("%1 not asked").arg(names);
}

// Areas: runs of the same habit are written once.
QString areasText(const ProbeReport &r)
{
    QStringList parts;
    int images = 0;
    for (int i = 0; i < r.areas.size(); ++i) {
        const ProbeReport::Area &a = r.areas[i];
        const auto sameAs = [&a](const ProbeReport::Area &b) {
            return b.state == a.state && b.length == a.length && b.firstByte == a.firstByte;
        };
        int j = i;
        while (j + 1 < r.areas.size() && sameAs(r.areas[j + 1]))
            ++j;
        parts << areaRunText(r, i, j);
        if (a.state == ProbeReport::Area::Image)
            images += j - i + 1;
        i = j;
    }
    return QStringLiteral("%1 of %2 answer with an image: %3")
        .arg(images).arg(r.areas.size()).arg(parts.join(QStringLiteral(", ")));
}

QString ratesText(const ProbeReport &r)
{
    return QStringLiteral("of %1 reads of areas with an image: lost %2 (%3), short answers %4 (%5), error answers %6 (%7)")
        .arg(r.rateReads)
        .arg(r.rateLost).arg(percent(r.rateLost, r.rateReads))
        .arg(r.rateShort).arg(percent(r.rateShort, r.rateReads))
        .arg(r.rateError).arg(percent(r.rateError, r.rateReads));
}

void addEchoLines(const ProbeReport &r, ReportLines *out)
{
    out->add(QStringLiteral("echo"), QStringLiteral("of %1 read answers: sequence (bytes %2) copied in %3, "
                                                    "area code (%4) in %5, device id (%6) in %7")
                                         .arg(QString::number(r.readAnswers),
                                              fieldBytes(veskor::kSequenceOffset, veskor::kSequenceSize),
                                              QString::number(r.sequenceCopied),
                                              fieldBytes(veskor::kAreaCodeOffset, veskor::kAreaCodeSize),
                                              QString::number(r.areaCopied),
                                              fieldBytes(veskor::kDeviceIdOffset, veskor::kDeviceIdSize),
                                              QString::number(r.deviceCopied)));
    out->add(QString(), QStringLiteral("header bytes copied: %1; the same as sent but never varied: %2; not copied: %3")
                            .arg(byteRanges(r.headerCopies, 'c'), byteRanges(r.headerCopies, '='),
                                 byteRanges(r.headerCopies, 'x')));
}

// What the controller answered: the round trips, the areas, the rates, the
// echoes and the ports it answered from.
void addAnswerLines(const ProbeReport &r, ReportLines *out)
{
    if (r.reads > 0)
        out->add(QStringLiteral("reads"), readsText(r));
    out->add(QStringLiteral("areas"), areasText(r));
    if (r.rateReads > 0)
        out->add(QStringLiteral("rates"), ratesText(r));
    if (r.readAnswers > 0)
        addEchoLines(r, out);
    QStringList ports;
    for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
        ports << QStringLiteral("port %1 (%2)").arg(it.key()).arg(it.value());
    out->add(QStringLiteral("sources"), QStringLiteral("the controller's address, %1").arg(ports.join(QStringLiteral(", "))));
}

// Datagrams from other addresses, and from senders past those told apart.
void addOtherSenderLines(const ProbeReport &r, ReportLines *out)
{
    if (!r.strangers.isEmpty()) {
        QStringList list;
        for (auto it = r.strangers.cbegin(); it != r.strangers.cend(); ++it)
            list << QStringLiteral("%1 (%2)").arg(it.key()).arg(it.value());
        out->add(r.answered ? QString() : QStringLiteral("sources"),
                 QStringLiteral("other addresses: %1").arg(list.join(QStringLiteral(", "))));
    }
    if (r.furtherSenders > 0)
        out->add(r.answered || !r.strangers.isEmpty() ? QString() : QStringLiteral("sources"),
                 QStringLiteral("%1 datagrams from more senders than the %2 told apart")
                     .arg(r.furtherSenders).arg(kProbeSenders));
}

void addOtherDeviceLine(const ProbeReport &r, ReportLines *out)
{
    if (r.otherDevice == ProbeReport::DeviceNotAsked)
        return;
    const QString label = QStringLiteral("device %1").arg(r.otherDeviceId);
    if (r.otherDevice == ProbeReport::DeviceSilent) {
        out->add(label, QStringLiteral("no answer (%1 reads)").arg(r.otherDeviceAsked));
        return;
    }
    out->add(label, QStringLiteral("%1, %2 (%3)")
                        .arg(r.otherDevice == ProbeReport::DeviceSame
                                 ? QStringLiteral("answered as for device %1").arg(r.device)
                                 : QStringLiteral("a different answer"),
                             timesText(r.otherDeviceAnswered, r.otherDeviceAsked), r.otherDeviceDetail));
}

void addScanLine(const ProbeReport &r, ReportLines *out)
{
    if (r.scanned.isEmpty())
        return;
    QStringList checks;
    for (const ProbeReport::DeviceCheck &c : r.checked)
        checks << QStringLiteral("device %1 answered %2").arg(c.id).arg(timesText(c.answered, c.asked));
    out->add(QStringLiteral("scan"), QStringLiteral("device ids %1: %2")
                                         .arg(deviceListText(r.scanned),
                                              checks.isEmpty() ? QStringLiteral("none answered")
                                                               : checks.join(QStringLiteral(", "))));
}

// The write test's line; none when it was not asked for.
QString writeText(const ProbeReport &r)
{
    switch (r.write) {
    case ProbeReport::WriteNotAsked:
        break;
    case ProbeReport::WriteSkipped:
        return QStringLiteral("%1: not written: %2").arg(r.writeTag, r.writeDetail);
    case ProbeReport::WriteSilent:
        return QStringLiteral("%1: no answer (%2 writes)").arg(r.writeTag).arg(r.writes);
    case ProbeReport::WriteCopiesHeader:
        return QStringLiteral("%1: the answer copies the %2-byte header%3, %4")
            .arg(r.writeTag, QString::number(veskor::kWriteHeaderSize),
                 r.writeDetail.isEmpty() ? QString() : QLatin1Char(' ') + r.writeDetail,
                 QStringLiteral("%1 (%2 writes)").arg(timesText(r.writesCopied, r.writes)).arg(r.writes));
    case ProbeReport::WriteOther:
        return QStringLiteral("%1: the answer does not copy the header, answered %2: %3")
            .arg(r.writeTag, timesText(r.writesAnswered, r.writes), r.writeDetail);
    }
    return QString();
}

QString extraText(const ProbeReport &r)
{
    return QStringLiteral("duplicates %1, late answers %2, unexplained %3%4")
        .arg(r.duplicates).arg(r.late).arg(r.unexplained)
        .arg(r.countedOnly > 0 ? QStringLiteral(", counted only %1").arg(r.countedOnly) : QString());
}

} // namespace

QString probeText(const ProbeReport &r)
{
    ReportLines out;
    out.add(QStringLiteral("controller"), controllerText(r));
    if (r.answered)
        addAnswerLines(r, &out);
    else
        out.add(QStringLiteral("answers"), r.refused ? QStringLiteral("none: port closed") : QStringLiteral("none"));
    addOtherSenderLines(r, &out);
    addOtherDeviceLine(r, &out);
    addScanLine(r, &out);
    if (r.write != ProbeReport::WriteNotAsked)
        out.add(QStringLiteral("write"), writeText(r));
    if (r.answered)
        out.add(QStringLiteral("extra"), extraText(r));
    if (!r.stopped.isEmpty())
        out.add(QStringLiteral("stopped"), r.stopped);
    for (int i = 0; i < r.verdict.size(); ++i)
        out.add(i == 0 ? QStringLiteral("verdict") : QString(), r.verdict[i]);
    return out.text();
}

namespace {

QJsonObject readsJson(const ProbeReport &r)
{
    QJsonObject reads{{QStringLiteral("area"), r.rttArea}, {QStringLiteral("sent"), r.reads},
                      {QStringLiteral("onTime"), r.onTime}, {QStringLiteral("lost"), r.lost},
                      {QStringLiteral("short"), r.shortAnswers}, {QStringLiteral("error"), r.errorAnswers}};
    if (r.onTime > 0)
        reads.insert(QStringLiteral("rttMs"), QJsonObject{{QStringLiteral("min"), r.rttMinMs},
                                                          {QStringLiteral("median"), r.rttMedianMs},
                                                          {QStringLiteral("p99"), r.rttP99Ms},
                                                          {QStringLiteral("max"), r.rttMaxMs}});
    return reads;
}

QJsonObject areaJson(const ProbeReport::Area &a)
{
    static const char *const states[] = {"image", "error", "silent", "not asked", "short"};
    QJsonObject o{{QStringLiteral("name"), a.name}, {QStringLiteral("answer"), QLatin1String(states[a.state])}};
    if (a.state == ProbeReport::Area::Image || a.state == ProbeReport::Area::Short)
        o.insert(QStringLiteral("length"), a.length);
    if (a.state == ProbeReport::Area::Error)
        o.insert(QStringLiteral("firstByte"), a.firstByte);
    o.insert(QStringLiteral("asked"), a.asked);
    o.insert(QStringLiteral("times"), a.habitTimes());
    o.insert(QStringLiteral("images"), a.images);
    o.insert(QStringLiteral("errors"), a.errors);
    o.insert(QStringLiteral("short"), a.shorts);
    o.insert(QStringLiteral("silent"), a.silent);
    return o;
}

QJsonObject sourcesJson(const ProbeReport &r)
{
    QJsonObject ports, strangers;
    for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
        ports.insert(QString::number(it.key()), it.value());
    for (auto it = r.strangers.cbegin(); it != r.strangers.cend(); ++it)
        strangers.insert(it.key(), it.value());
    QJsonObject sources{{QStringLiteral("ports"), ports}, {QStringLiteral("otherAddresses"), strangers}};
    if (r.furtherSenders > 0)
        sources.insert(QStringLiteral("furtherSenders"), r.furtherSenders);
    return sources;
}

QJsonObject otherDeviceJson(const ProbeReport &r)
{
    static const char *const answers[] = {"not asked", "silent", "same", "different"};
    return QJsonObject{{QStringLiteral("device"), double(r.otherDeviceId)},
                       {QStringLiteral("answer"), QLatin1String(answers[r.otherDevice])},
                       {QStringLiteral("asked"), r.otherDeviceAsked},
                       {QStringLiteral("answered"), r.otherDeviceAnswered},
                       {QStringLiteral("detail"), r.otherDeviceDetail}};
}

QJsonObject writeJson(const ProbeReport &r)
{
    static const char *const writes[] = {"not asked", "skipped", "silent", "copies header", "other"};
    return QJsonObject{{QStringLiteral("tag"), r.writeTag},
                       {QStringLiteral("answer"), QLatin1String(writes[r.write])},
                       {QStringLiteral("sent"), r.writes},
                       {QStringLiteral("answered"), r.writesAnswered},
                       {QStringLiteral("copied"), r.writesCopied},
                       {QStringLiteral("detail"), r.writeDetail}};
}

QJsonObject scanJson(const ProbeReport &r)
{
    QJsonArray checked;
    for (const ProbeReport::DeviceCheck &c : r.checked)
        checked.append(QJsonObject{{QStringLiteral("device"), double(c.id)},
                                   {QStringLiteral("asked"), c.asked},
                                   {QStringLiteral("answered"), c.answered}});
    return QJsonObject{{QStringLiteral("devices"), deviceListText(r.scanned)},
                       {QStringLiteral("tried"), r.scanned.size()},
                       {QStringLiteral("checked"), checked}};
}

} // namespace

QString probeJson(const ProbeReport &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("command"), QStringLiteral("probe"));
    o.insert(QStringLiteral("controller"), r.controller);
    o.insert(QStringLiteral("device"), double(r.device));
    o.insert(QStringLiteral("repeat"), r.repeat);
    o.insert(QStringLiteral("requests"), r.requests);
    o.insert(QStringLiteral("elapsedMs"), double(r.elapsedMs));
    o.insert(QStringLiteral("answered"), r.answered);
    o.insert(QStringLiteral("refused"), r.refused);
    if (!r.stopped.isEmpty())
        o.insert(QStringLiteral("stopped"), r.stopped);
    o.insert(QStringLiteral("reads"), readsJson(r));
    o.insert(QStringLiteral("rates"), QJsonObject{{QStringLiteral("reads"), r.rateReads},
                                                  {QStringLiteral("lost"), r.rateLost},
                                                  {QStringLiteral("short"), r.rateShort},
                                                  {QStringLiteral("error"), r.rateError}});
    QJsonArray areas;
    for (const ProbeReport::Area &a : r.areas)
        areas.append(areaJson(a));
    o.insert(QStringLiteral("areas"), areas);
    o.insert(QStringLiteral("echo"), QJsonObject{{QStringLiteral("readAnswers"), r.readAnswers},
                                                 {QStringLiteral("sequence"), r.sequenceCopied},
                                                 {QStringLiteral("areaCode"), r.areaCopied},
                                                 {QStringLiteral("deviceId"), r.deviceCopied},
                                                 {QStringLiteral("echoesSequence"), r.echoesSequence},
                                                 {QStringLiteral("headerBytes"), QString::fromLatin1(r.headerCopies)}});
    o.insert(QStringLiteral("sources"), sourcesJson(r));
    if (r.otherDevice != ProbeReport::DeviceNotAsked)
        o.insert(QStringLiteral("otherDevice"), otherDeviceJson(r));
    if (r.write != ProbeReport::WriteNotAsked)
        o.insert(QStringLiteral("write"), writeJson(r));
    if (!r.scanned.isEmpty())
        o.insert(QStringLiteral("scan"), scanJson(r));
    o.insert(QStringLiteral("duplicates"), r.duplicates);
    o.insert(QStringLiteral("late"), r.late);
    o.insert(QStringLiteral("unexplained"), r.unexplained);
    if (r.countedOnly > 0)
        o.insert(QStringLiteral("countedOnly"), r.countedOnly);
    o.insert(QStringLiteral("verdict"), QJsonArray::fromStringList(r.verdict));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

} // namespace veskortool
