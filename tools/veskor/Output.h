// What the host tool prints for a result: text for people, one compact JSON
// object per line for programs, and the summary of a poll. Pure functions.
#ifndef VESKOR_TOOL_OUTPUT_H
#define VESKOR_TOOL_OUTPUT_H

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVector>

#include <functional>

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
    double rttMs = -1;         // poll only
    QString name;              // from a tag file; empty when none
    bool showHex = false;      // show the wire bytes too
    QByteArray wire;           // the value's bytes in the answer; empty when none came
    int elementBytes = 0;      // bytes per element in `wire`; 0: one group
};

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

// The same table taken one row at a time and kept as the UTF-8 text of its
// cells: a table of a million reads holds about what it prints, not the
// results.
class TableBuilder
{
public:
    TableBuilder();
    void add(const Result &r);
    // The table, handed over in pieces of whole lines.
    void write(const std::function<void(const QByteArray &)> &out) const;
    QString text() const;

private:
    enum { kColumns = 8 };     // name, tag, type, count, code, meaning, hex, values
    void addCell(int column, const QString &text);

    QByteArray m_cells;        // per cell: its length in bytes (7 bits a byte), then its bytes
    int m_width[kColumns] = {};
    bool m_named = false;
    bool m_hex = false;
};
// One poll line: time, values, code and meaning, round trip.
QString pollLineText(const Result &r);
// One poll round of several tags on one line: the time of the first read,
// then "NAME: values (code)" per tag (the tag when it has no name), then the
// round's total round trip.
QString pollRoundText(const QVector<Result> &round);

// {"command","tag"[,"name"],"type","typeCode","count","resultCode","meaning",
//  "values","timeStamp"(null when none)[,"rttMs"]}, compact, no newline.
QString resultJson(const Result &r);

QString infoText(const QString &name, const QString &version, const QString &buildVersion);
QString infoJson(const QString &name, const QString &version, const QString &buildVersion);

// Reads of one poll: counts by result code and round-trip times.
class PollStats
{
public:
    void add(int code, double rttMs);
    int reads() const { return m_rtts.size(); }
    int failures() const;
    QMap<int, int> failuresByCode() const;
    double minRtt() const;
    double medianRtt() const;
    double maxRtt() const;
    // "poll ID4x10: 3 reads, 1 failed (1 x code 8 no answer); round trip ms
    //  min 0.105, median 0.210, max 2001.312"
    QString summary(const QString &tag, const QString &command = QStringLiteral("poll")) const;
    // The same as one JSON object on one line: {"command":"poll summary",
    // "tag", "reads", "failed", "failures" (code -> times), and "rttMs"
    // {"min","median","max"} when there were reads}.
    QString summaryJson(const QString &tag) const;

private:
    QVector<double> m_rtts;
    QMap<int, int> m_codes;
};

// Round-trip time in ms with 3 decimals.
QString rttText(double ms);

} // namespace veskortool

#endif
