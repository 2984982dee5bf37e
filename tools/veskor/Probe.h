// veskor probe: what a controller does with the driver's requests, found out
// with a fixed, bounded run of reads (and one write of a tag the user gives
// up). The run is recorded as it happened (ProbeLog); judging the record is
// a pure function (judgeProbe), and so is printing the report.
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
};

// After an answer the probe listens on this long for copies of it, and
// before a request it takes in what came since, for this long at most.
constexpr int kProbeSettleMs = 20;
// Until the controller has answered once, areas after the first three are
// given this long at most (a dead controller is found out quickly); after
// that, ten times the slowest round trip seen, at least this, at most the wait.
constexpr int kProbeShortWaitMs = 200;

// The area codes in the order the probe asks for them (ID1x, ID2x, ...).
QVector<quint32> probeAreaCodes();

// Requests the probe sends at most, and how long it takes at most.
int probeMaxRequests(const ProbeSettings &s);
qint64 probeMaxMs(const ProbeSettings &s);

// What was sent, in order.
struct ProbeRequest {
    enum Phase { Area, RoundTrip, OtherDevice, WriteTest };
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

struct ProbeReport {
    QString controller;        // "ADDR:PORT"
    quint32 device = 1;
    int requests = 0;
    qint64 elapsedMs = 0;
    bool answered = false;     // any datagram from the controller's address
    bool refused = false;
    QString stopped;

    // Round trips of the reads of one area.
    QString rttArea;
    int reads = 0, onTime = 0, lost = 0;
    double rttMinMs = 0, rttMedianMs = 0, rttP99Ms = 0;

    struct Area {
        QString name;
        enum State { Image, Error, Silent, NotAsked, Short } state = NotAsked;
        int length = 0;        // Image: bytes after the 16-byte header; Short: the answer's bytes
        int firstByte = 0;     // Error: the answer's first byte
    };
    QVector<Area> areas;

    // Answers to reads whose bytes 4-5, 8-11 and 12-15 equal the request's.
    int readAnswers = 0;
    int sequenceCopied = 0, areaCopied = 0, deviceCopied = 0;
    bool echoesSequence = false;
    // Per header byte 0..15 of a read answer: 'c' a copy (equal in every
    // answer, and the requests differed in it), '=' equal in every answer
    // (the requests never differed), 'x' not a copy.
    QByteArray headerCopies;

    // Sources of the controller's datagrams; strangers are other addresses.
    QMap<quint16, int> ports;
    QMap<QString, int> strangers;

    enum DeviceAnswer { DeviceNotAsked, DeviceSilent, DeviceSame, DeviceDifferent };
    DeviceAnswer otherDevice = DeviceNotAsked;
    quint32 otherDeviceId = 0;
    QString otherDeviceDetail;

    enum WriteAnswer { WriteNotAsked, WriteSkipped, WriteSilent, WriteCopiesHeader, WriteOther };
    WriteAnswer write = WriteNotAsked;
    QString writeTag;
    QString writeDetail;

    int duplicates = 0;        // copies of an answer already taken
    int late = 0;              // answers that came after their request's wait
    int unexplained = 0;       // datagrams from the controller that answer nothing known
    int countedOnly = 0;       // datagrams from the controller counted only, not judged (a flood)
    int furtherSenders = 0;    // datagrams from senders past kProbeSenders, in neither ports nor strangers

    QStringList verdict;
};

ProbeReport judgeProbe(const ProbeLog &log);
QString probeText(const ProbeReport &r);
QString probeJson(const ProbeReport &r);

} // namespace veskortool

#endif
