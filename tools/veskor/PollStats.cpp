// A poll's figures: the round-trip sketch (RttSketch) and the counts and
// failures of each tag (PollStats), with their summary lines.
#include "Output.h"

#include "driver/ResultCodes.h"
#include "common/Values.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <limits>

namespace veskortool {

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

} // namespace veskortool
