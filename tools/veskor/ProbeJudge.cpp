// Judging a recorded probe run (ProbeLog) into its report: pure.
#include "ProbeParts.h"

#include <QMap>

#include <algorithm>
#include <cmath>

namespace veskortool {

using namespace probeparts;

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
} // namespace veskortool
