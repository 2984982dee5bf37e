// veskor probe: what a controller does with the driver's requests, found out
// with a fixed, bounded run of reads (and writes of a tag the user gives
// up). Every area and every habit check is tried several times, so that a
// habit is told from a loss: the report says "always", "N of M" or "never",
// and losses and short answers are rates. The run is recorded as it
// happened (ProbeLog); judging the record is a pure function (judgeProbe),
// and so is printing the report.
#ifndef VESKOR_TOOL_PROBE_H
#define VESKOR_TOOL_PROBE_H

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

namespace veskortool {

struct ProbeSettings {
    QHostAddress address;      // the controller (IPv4)
    quint16 port = 0;
    quint32 device = 1;
    int count = 50;            // reads for the round trips
    int waitMs = 2000;         // longest wait for one answer
    QString writeTag;          // empty: no write
    quint32 writeArea = 0;     // the write tag's area code and address
    int writeAddress = 0;
    int repeat = 5;            // tries of each area and each habit check
    // Device ids tried when the port is not closed but no area answers;
    // empty: kProbeScanDefault and `device`.
    QVector<quint32> scanDevices;
    bool progress = true;      // a line per stage on stderr (a counter on a terminal)
};

// The device ids a scan tries unless told others, and those it tries.
constexpr quint32 kProbeScanDefault[] = {0, 1, 2, 255};
QVector<quint32> probeScanIds(const ProbeSettings &s);
// The scan sends its reads this far apart, then listens for one wait; the
// ids whose answers came are read again one at a time, at most this many.
constexpr int kProbeScanGapUs = 1000;
constexpr int kProbeScanChecked = 8;

// After an answer the probe listens on this long for copies of it, and
// before a request it takes in what came since, for this long at most.
constexpr int kProbeSettleMs = 20;
// Until the controller has answered once, areas after the first three are
// given this long at most (a dead controller is found out quickly); after
// that, ten times the slowest round trip seen, at least this, at most the wait.
constexpr int kProbeShortWaitMs = 200;

// The area codes in the order the probe asks for them (ID1x, ID2x, ...).
QVector<quint32> probeAreaCodes();

// Requests the probe sends at most, and how long it takes at most: a run
// that gets answers, or one that gets none and scans device ids.
int probeMaxRequests(const ProbeSettings &s);
qint64 probeMaxMs(const ProbeSettings &s);

// What was sent, in order.
struct ProbeRequest {
    // Area: a read of each area, --repeat rounds; RoundTrip: --count reads of
    // one area; OtherDevice: reads with --device + 1; WriteTest: a write,
    // each after a WriteRead of its area for the value; Scan: reads with the
    // scan's device ids, sent together; DeviceCheck: one of those ids whose
    // answer came, read again alone.
    enum Phase { Area, RoundTrip, OtherDevice, WriteTest, Scan, DeviceCheck, WriteRead };
    static constexpr int kPhases = 7;
    Phase phase = Area;
    QByteArray bytes;
    qint64 sentUs = 0;         // since the probe began
    qint64 deadlineUs = 0;     // its wait was over at this time at the latest
};

// What the run keeps of what comes, so that a peer flooding the probe
// leaves it the same few megabytes as a quiet one: of the datagrams from
// the controller's address, the first kProbeKeepPerRequest after each
// request (and before the first), each cut to kProbeKeepBytes bytes; of
// the others, and of the controller's past those, only a count by sender,
// for kProbeSenders senders at most and one count for all further ones.
constexpr int kProbeKeepPerRequest = 8;
constexpr int kProbeKeepBytes = 64;
constexpr int kProbeSenders = 64;

// A datagram that came and was kept.
struct ProbeDatagram {
    QByteArray bytes;          // its first kProbeKeepBytes bytes, or all of it
    int cut = 0;               // bytes left off the end: it was bytes.size() + cut long
    quint64 digest = 0;        // when cut: a hash of all its bytes, to tell copies
    qint64 atUs = 0;
    QHostAddress from;
    quint16 fromPort = 0;
    int after = -1;            // index of the last request sent before it came
};

// The datagram of `size` bytes at `bytes` as the run keeps it: cut to its
// first kProbeKeepBytes, with the digest of all of it when cut.
void keepBytes(const char *bytes, int size, ProbeDatagram *d);

// The datagrams of one sender that came and were counted, not kept.
struct ProbeSender {
    QHostAddress from;
    quint16 fromPort = 0;
    int datagrams = 0;
};

struct ProbeLog {
    ProbeSettings settings;
    QVector<ProbeRequest> requests;
    QVector<ProbeDatagram> datagrams;  // kept, in order
    QVector<ProbeSender> counted;      // not kept, by sender (kProbeSenders at most)
    int countedElsewhere = 0;          // not kept, from senders past those
    qint64 countedLastUs = 0;          // when the last datagram not kept came
    bool refused = false;      // the controller's host reported its port closed
    QString writeSkipped;      // why the write test was not made, when it was not
    QString stopped;           // why the probe stopped before its end, if it did
};

// Sends the probe's requests and records what comes back. False with the
// reason in *error when no socket could be made.
bool runProbe(const ProbeSettings &settings, ProbeLog *log, QString *error);
// Asks a running probe to stop (safe from a signal handler): no request
// leaves after it, and a wait in progress ends within 50 ms.
void stopProbe();
bool probeStopped();

struct ProbeReport {
    QString controller;        // "ADDR:PORT"
    quint32 device = 1;
    int repeat = 1;
    int requests = 0;
    qint64 elapsedMs = 0;
    bool answered = false;     // any datagram from the controller's address
    bool refused = false;
    QString stopped;

    // Round trips of the reads of one area, over those answered in time
    // (short and error answers too: they came).
    QString rttArea;
    int reads = 0, onTime = 0, lost = 0;
    int shortAnswers = 0, errorAnswers = 0;   // of those on time
    double rttMinMs = 0, rttMedianMs = 0, rttP99Ms = 0, rttMaxMs = 0;

    struct Area {
        QString name;
        // Its habit: an image when one came at all, else an error answer,
        // else a short answer, else silent (nothing ever came).
        enum State { Image, Error, Silent, NotAsked, Short } state = NotAsked;
        int length = 0;        // Image: bytes after the read answer's header; Short: the answer's bytes
        int firstByte = 0;     // Error: the answer's first byte
        int asked = 0;         // reads of it
        int images = 0, errors = 0, shorts = 0, silent = 0;
        int habitTimes() const;   // the reads that showed its habit
    };
    QVector<Area> areas;

    // Of the reads of areas that answer with an image (the round trips
    // included): how many were lost, answered short or with an error.
    int rateReads = 0, rateLost = 0, rateShort = 0, rateError = 0;

    // Answers to reads (a whole header long), and of those the ones whose
    // sequence, area code and device id equal the request's.
    int readAnswers = 0;
    int sequenceCopied = 0, areaCopied = 0, deviceCopied = 0;
    bool echoesSequence = false;
    // Per header byte of a read answer: 'c' a copy (equal in every
    // answer, and the requests differed in it), '=' equal in every answer
    // (the requests never differed), 'x' not a copy.
    QByteArray headerCopies;

    // Sources of the controller's datagrams; strangers are other addresses.
    QMap<quint16, int> ports;
    QMap<QString, int> strangers;

    // Reads with another device id: the habit of their answers, how many
    // were sent and answered.
    enum DeviceAnswer { DeviceNotAsked, DeviceSilent, DeviceSame, DeviceDifferent };
    DeviceAnswer otherDevice = DeviceNotAsked;
    quint32 otherDeviceId = 0;
    int otherDeviceAsked = 0, otherDeviceAnswered = 0;
    QString otherDeviceDetail;

    // The writes: the habit of their answers, how many were sent, answered,
    // and answered with a copy of the header.
    enum WriteAnswer { WriteNotAsked, WriteSkipped, WriteSilent, WriteCopiesHeader, WriteOther };
    WriteAnswer write = WriteNotAsked;
    QString writeTag;
    QString writeDetail;
    int writes = 0, writesAnswered = 0, writesCopied = 0;

    // The scan of device ids, when no area answered: the ids tried, and
    // those read again alone, with how many of those reads were answered.
    QVector<quint32> scanned;
    struct DeviceCheck {
        quint32 id = 0;
        int asked = 0, answered = 0;
    };
    QVector<DeviceCheck> checked;

    int duplicates = 0;        // copies of an answer already taken
    int late = 0;              // answers that came after their request's wait
    int unexplained = 0;       // datagrams from the controller that answer nothing known
    int countedOnly = 0;       // datagrams from the controller counted only, not judged (a flood)
    int furtherSenders = 0;    // datagrams from senders past kProbeSenders, in neither ports nor strangers

    QStringList verdict;
};

// Device ids as the probe writes them: runs of four or more as ranges,
// "0, 1, 2, 255", "0-255".
QString deviceListText(const QVector<quint32> &ids);

// "always", "N of M" or "never".
QString timesText(int times, int of);

ProbeReport judgeProbe(const ProbeLog &log);
QString probeText(const ProbeReport &r);
QString probeJson(const ProbeReport &r);

} // namespace veskortool

#endif
