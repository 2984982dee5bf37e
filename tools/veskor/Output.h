// What the host tool prints for a result: text for people, one compact JSON
// object per line for programs, and the summary of a poll. Pure functions.
#ifndef VESKOR_TOOL_OUTPUT_H
#define VESKOR_TOOL_OUTPUT_H

#include "common/Scaling.h"

#include <QDateTime>
#include <QMap>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QVector>

#include <memory>

namespace veskortool {

struct Result {
    enum Kind { Read, Write, Poll };
    Kind kind = Read;
    QString tag;
    int type = 0;
    int count = 0;
    int code = 1;
    QVariant value;            // QList of the element type
    QDateTime timeStamp;       // invalid when the record carries none
    double rttMs = -1;         // how long the call took, when the caller timed it (a poll's reads); -1: not timed
    QString name;              // from a tag file; empty when none
    bool showHex = false;      // show the wire bytes too
    QByteArray wire;           // the value's bytes in the answer; empty when none came
    int elementBytes = 0;      // bytes per element in `wire`; 0: one group
    int answerBytes = -1;      // the read answer's whole length, when the caller saw it; -1: not seen
    QString controller;        // HOST:PORT when the command talks to several; else empty
    Scaling scaling;           // from a tag file: values show as raw x scale + offset, in unit
};

// The value as shown: raw as it came, or for a scaled tag (scale or offset
// not the identity) each element's engineering value as a double.
QVariant shownValue(const Result &r);
// valuesText of the value as shown, with a scaled tag's unit after it.
QString shownValuesText(const Result &r);

// Why a read or write gave no value, in the tool's words, from what the tool
// knows without guessing: its own parse of the tag (the driver's Tags,
// compiled in, make the same checks the driver makes before sending), the
// result code, and what the caller saw of the exchange (rttMs, answerBytes).
struct Cause {
    enum Kind {
        Done,          // code 0
        NotSent,       // refused before any traffic
        NoAnswer,      // nothing came within the driver's wait
        PortClosed,    // the controller's host refused the request: the read ended long before the wait
        DeviceError,   // an answer came that is no read answer for this device id
        TooShort,      // an answer came that does not hold the bytes asked for
        BadLength,     // code 4 of a tag not known here: not sent, or too short
        Other
    };
    Kind kind = Done;
    bool answered = false;     // an answer came: the exchange has a round trip
    QString text;              // what happened; empty for Done
};
// The driver's wait for an answer: a read without an answer that ended in
// less than half of it was refused by the controller's host (ICMP), or its
// datagram could not leave.
constexpr int kDriverWaitMs = 2000;
Cause causeOf(const Result &r);
// "not sent", "no answer", "port closed", "device error", "too short",
// "bad length"; for Other the code's meaning; empty for Done.
QString causeName(const Cause &c, int code);

// Why the driver refuses a read (or a write) of `count` elements of `type`
// at `tag` before any traffic, with the result code it gives; code 0 and an
// empty text when it sends the request. `type` 0 with `count` 0 asks about
// the tag alone (area and address).
struct Refusal {
    int code = 0;
    QString text;
};
Refusal refusalOf(Result::Kind kind, const QString &tag, int type, int count);

// The wire bytes in hex, one group per element ("0400 0500"); "-" when none.
QString wireText(const Result &r);
// The bytes a read of `count` elements of `type` takes in the controller;
// 0 for types without a size. A single bool is a whole byte, more are bits.
int wireLength(int type, int count);
// Bytes per element for grouping: 0 when the value is one group (bits,
// strings).
int wireElementBytes(int type, int count);

// The values on one line, separated by spaces; "(none)" for no element.
// Trailing empty fields of a string read are summed up as "(+N empty)".
QString valuesText(const QVariant &value);

// Text of a read or write: tag, values, result code with meaning, time.
QString resultText(const Result &r);
// A table of reads: [name,] tag, type, count, code, meaning, [hex,] values
// (the name column when any row has a name, the hex column when any row
// shows its wire bytes).
QString tableText(const QVector<Result> &rows);

// The columns of that table, taken from the tags before any read ends, so
// that each row can go out as its read ends: name, tag, type and count as
// wide as the longest of the tag list, code and meaning as wide as the
// driver's widest, hex as wide as the widest type's bytes; the values come
// last and are not padded.
class TableLayout
{
public:
    TableLayout();
    // One tag of the list; `hex`: its row shows the wire bytes.
    void addTag(const QString &name, const QString &tag, int type, int count, bool hex);
    QByteArray header() const;
    QByteArray row(const Result &r) const;

private:
    enum { kColumns = 8 };     // name, tag, type, count, code, meaning, hex, values
    QByteArray line(const QString *cells) const;

    int m_width[kColumns] = {};
    bool m_named = false;
    bool m_hex = false;
};
// One poll line: time, values, code and meaning, then the round trip of an
// answered read or the cause of one without an answer.
QString pollLineText(const Result &r);
// One poll round of several tags on one line: the time of the first read,
// then "NAME: values (code)" per tag (the tag when it has no name), then the
// sum of the round trips of the reads that were answered ("2 of 3 answered"
// when not all were).
QString pollRoundText(const QVector<Result> &round);
// The same line in the pieces a poll writes as its reads end: the start
// with the first read, one piece per read, the end with the round trips of
// the answered reads summed up.
QString pollRoundStart(const Result &first);
QString pollRoundPiece(const Result &r);
QString pollRoundEnd(double totalRttMs, int answered, int reads);

// {"command","tag"[,"name"],"type","typeCode","count","resultCode","meaning",
//  "values"[,"rawValues","unit"],"timeStamp"(null when none)[,"cause","causeText"][,"rttMs"]},
// a scaled tag's values are engineering values, with the raw ones and the
// unit (when it has one) beside them;
// compact, no newline: the cause when the code is not 0; rttMs for a poll,
// null when the read was not answered.
QString resultJson(const Result &r);

QString infoText(const QString &name, const QString &version, const QString &buildVersion);
QString infoJson(const QString &name, const QString &version, const QString &buildVersion);

// Round trips of a tag's answered reads in a fixed space, however many
// rounds a poll makes: the first kExact to the microsecond, from then on a
// histogram of kBuckets one-byte counters, four buckets to an octave (the
// first takes all below 19 us, the last all from 0.88 s), every counter
// halved when one would overflow. The minimum and maximum stay exact; a
// quantile from the histogram lies in its bucket, within the minimum and
// maximum: less than a fifth off the true value between 19 us and 0.88 s
// (a bucket's bounds are 19 % apart), most often far less.
class RttSketch
{
public:
    enum { kExact = 16, kBuckets = 64, kPerOctave = 4, kFirstOctave = 4 };
    void add(double ms);
    void merge(const RttSketch &other);
    int count() const { return int(m_count); }
    bool exact() const { return m_count <= kExact; }
    // NaN when empty. quantile(q) is the nearest rank; median() the middle
    // value, or the mean of the middle two while exact.
    double min() const;
    double max() const;
    double median() const;
    double quantile(double q) const;

private:
    static int bucketOf(quint32 us);
    void toHistogram();
    void addToBucket(int bucket, quint32 times);

    quint32 m_count = 0;
    quint32 m_minUs = 0;
    quint32 m_maxUs = 0;
    union {
        quint32 us[kExact];
        quint8 counts[kBuckets];
    } m_data = {};
};

// Reads of one poll: failures by result code and by cause, and the round
// trips of the reads that were answered (a read without an answer, or one
// refused before sending, has none). Its size is fixed: a poll of many tags
// over many rounds holds one of these a tag and no list of samples.
class PollStats
{
public:
    PollStats() = default;
    PollStats(const PollStats &other);
    PollStats &operator=(const PollStats &other);
    PollStats(PollStats &&) = default;
    PollStats &operator=(PollStats &&) = default;
    // One read, of which the tag is not known here: a code 4 counts as
    // "bad length" until summary() names the tag.
    void add(int code, double rttMs);
    // One read with its tag, type, count and what the caller saw.
    void add(const Result &r);
    int reads() const { return int(m_reads); }
    int answered() const { return m_rtts.count(); }   // as far as known without the tag
    int failures() const { return int(m_failures); }
    QMap<int, int> failuresByCode() const;
    // Failed reads by cause name ("no answer", "port closed", ...), with the
    // tag the poll read for what add(code, rttMs) could not tell.
    QMap<QString, int> failuresByCause(const QString &tag = QString()) const;
    // Over the answered reads; NaN when none was answered.
    double minRtt() const { return m_rtts.min(); }
    double medianRtt() const { return m_rtts.median(); }
    double p99Rtt() const { return m_rtts.count() >= 100 ? m_rtts.quantile(0.99) : m_rtts.max(); }
    double maxRtt() const { return m_rtts.max(); }
    // "poll ID4x10: 5 reads, 3 failed (2 x no answer (8), 1 x device error
    //  (7)); round trip ms over the 3 answered: min 0.105, median 0.210,
    //  max 0.312"; p99 with 100 answers or more (below that it is the max).
    QString summary(const QString &tag, const QString &command = QStringLiteral("poll")) const;
    // The same as one JSON object on one line: {"command":"poll summary",
    // "tag", "reads", "answered", "failed", "failures" (code -> times),
    // "causes" (cause -> times)[, "notSent" (why)], and "rttMs"
    // {"min","median","p99","max"} when a read was answered}.
    QString summaryJson(const QString &tag, const QString &controller = QString()) const;

private:
    // What only failed reads need: kept apart, made at the first.
    struct Failed {
        QMap<QPair<int, int>, int> causes;   // (Cause::Kind, code) -> failed reads
        QString notSent;                     // why the driver did not send the tag, when add(Result) found it
        RttSketch badLength;                 // of code 4 reads add(code, rttMs) could not tell
    };
    void addCause(const Cause &c, int code, double rttMs);
    Failed &failed();
    // With the tag, those of code 4 answers add(code, rttMs) took.
    RttSketch roundTrips(const QString &tag) const;

    quint32 m_reads = 0;
    quint32 m_failures = 0;
    RttSketch m_rtts;                   // of the answered reads
    std::unique_ptr<Failed> m_failed;
};

// Round-trip time in ms with 3 decimals; "-" for NaN (no round trip).
QString rttText(double ms);

// Not pure: standard output itself, where every result goes. The bytes
// written and flushed; false once a write to stdout has failed (a full
// disk), and from then on nothing more is written.
bool writeStdout(const QByteArray &bytes);
bool stdoutFailed();
// At the end of the run, whatever wrote to stdout: flushes it, and when a
// write failed says so on one line on stderr and gives ExitOutput instead
// of status.
int finalStatus(int status);

} // namespace veskortool

#endif
