// A controller simulator: a real UDP peer that holds the controller's memory
// areas and answers read and write requests. It runs its own thread and event
// loop, so a test or a host tool can use it in-process while its own thread
// blocks on a request; every public member may be called from any thread.
//
// The simulator builds and parses its datagrams and keeps its table of areas
// on its own, apart from the plug-in's Frames and Tags, and links none of
// them, on purpose: a peer written independently catches what a shared one
// would hide, since a mistake in shared code would sit on both ends of the
// exchange and agree with itself. Only the test compares the two area tables
// (names, codes, order).
//
// Requests it understands (one UDP/IPv4 datagram each):
//  - read: exactly 16 bytes starting 'M' 'R'; bytes 8..11 carry the area code
//    big-endian. The answer is the request echoed unchanged followed by the
//    whole area (payload byte 0 = area address 0). For a code that is not an
//    area the answer is the request with byte 0 set to 'E' and no payload.
//  - write: at least 11 bytes starting 02 01 01 00; bytes 5..7 are the address
//    and 8..10 the length, each as (bits 16..23, bits 0..7, bits 8..15). A write
//    does not name an area: the data goes to the same address in every area,
//    clipped to the area size, and only as many bytes as the datagram carries.
//    The acknowledgement is the 11-byte header echoed.
//  - anything else is counted as unknown and not answered.
//
// Habits of a real controller that a host may have to live with:
//  - device: a read whose device id (bytes 12..15, LSB first) is not the
//    controller's goes unanswered. Writes carry no device id.
//  - noEcho: read answers carry sequence 0 instead of the request's.
//  - answerPort: answers come from a second local port, not from the one the
//    requests went to.
//
// Replay: instead of memory, the simulator answers from a capture of a real
// controller's traffic (see Capture.h): each request gets the answers that
// the recorded request with the same bytes (for a read: but the sequence)
// got, in recorded order. Memory, faults, device and noEcho play no part
// then; answerPort does.
//
// Faults act on one answer each. A write always reaches memory, whatever its
// fault: under Drop, Delay or Truncate the controller stored the data and only
// the acknowledgement is lost, late or short. CorruptMagic and CorruptEcho only
// mean something for read answers; drawn for a write they leave the ack as it
// is, consume a queued fault all the same, and are not counted in the stats.
#ifndef VESKOR_SIM_H
#define VESKOR_SIM_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QString>
#include <QVector>

#include <memory>
#include <optional>

namespace veskorsim {

struct AreaInfo {
    const char *name;   // "ID1x" ... "ID23x"
    quint32 code;       // area code as carried in a read request (big-endian there)
};

// The controller's 23 memory areas, in table order.
const QVector<AreaInfo> &areaTable();
// Area code for a name ("ID4x", any letter case); 0 when there is none.
quint32 areaCodeOf(const QString &name);
// Name of an area code; empty when it is not an area.
QString areaNameOf(quint32 code);

// What the simulator can do to one answer.
enum class Fault {
    None,
    Drop,          // send no answer
    Delay,         // answer after delayMs (past the driver's 2000 ms wait)
    Duplicate,     // send the answer twice
    Truncate,      // cut the answer short (read answers: inside the wanted header/payload)
    CorruptMagic,  // byte 0 of a read answer is not 'M'
    CorruptEcho,   // bytes 12 to 14 of a read answer do not echo the request
    ForeignPort    // answer from another local UDP port
};
// "None", "Drop", "Delay", "Duplicate", "Truncate", "CorruptMagic",
// "CorruptEcho", "ForeignPort".
QString faultName(Fault f);
// Accepts those names and the command-line spelling ("corrupt-magic",
// "foreign-port", ...): letter case, '-' and '_' do not matter.
bool faultFromName(const QString &name, Fault *out);

struct SimConfig {
    // An IPv4 address (QHostAddress::Any is taken as AnyIPv4).
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;            // 0: let the system choose; port() tells which
    int areaSize = 1024;         // bytes per area, 0 to kMaxAreaSize
    quint32 seed = 1;            // seed of the random fault choice
    QMap<Fault, double> faultRates; // probability 0..1 per request and kind
    int delayMs = 2500;          // delay of Fault::Delay
    bool verbose = false;        // one line per request on stderr
    QString pcapPath;            // write every datagram in and out to this pcap file
    bool keepReceived = true;    // keep received datagrams for received(); a
                                 // long-running simulator turns this off
    std::optional<quint32> device; // answer only reads for this device id; empty: any
    bool noEcho = false;         // read answers carry sequence 0
    quint16 answerPort = 0;      // send answers from this local port; 0: from the listening one
    QString replayPath;          // answer from this capture instead of memory
    bool replayTiming = false;   // replay: each answer at its recorded time after the request,
                                 // kReplayMaxDelayMs at most
};

struct SimStats {
    quint64 reads = 0;           // read requests answered or faulted
    quint64 writes = 0;          // write requests applied
    quint64 unknown = 0;         // datagrams that were neither
    QMap<Fault, quint64> faults; // faults injected, by kind
    quint64 sent = 0;            // datagrams sent (answers, duplicates, unsolicited)
    quint64 heldDropped = 0;     // delayed answers dropped because kMaxHeldAnswers were held
    quint64 otherDevice = 0;     // reads for another device id, not answered
    quint64 replayUnmatched = 0; // replay: requests with nothing recorded, not answered
    quint64 replayCapped = 0;    // replay timing: answers recorded later than kReplayMaxDelayMs, sent then
};

// What start() found in the replay capture.
struct ReplayInfo {
    QString path;
    QString linkType;            // "EN10MB", "RAW", ...
    QHostAddress controller;     // where the recorded requests went
    quint16 controllerPort = 0;
    int requests = 0;            // recorded requests
    int answered = 0;            // ... with at least one answer
    int unanswered = 0;          // ... left without
    int packets = 0;             // records in the file
    int skipped = 0;             // records that gave no datagram (fragments, cut short, not UDP/IPv4)
};

// Delayed answers held at most at once; a further one drops the oldest.
constexpr int kMaxHeldAnswers = 10000;

// The longest a replay with recorded timing holds an answer back: the
// driver's wait for an answer. An answer recorded later than that after its
// request is sent when the wait is over (a capture may hold days between
// the two); the first one is told on stderr.
extern const int kReplayMaxDelayMs;

// Largest area that fits one UDP/IPv4 datagram after the 16-byte answer header.
constexpr int kMaxAreaSize = 65507 - 16;

class Simulator
{
public:
    explicit Simulator(const SimConfig &config = SimConfig());
    ~Simulator();                        // stops
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Bind and start answering; returns once bound. Can be called again after
    // stop() (a controller restart): once a port was bound, later starts bind
    // that same port even when the configured port was 0. Memory, stats and the
    // fault generator survive stop() and start(). Returns true when already
    // running. The pcap file (if any) is created at the first start and
    // appended to after a restart. In replay mode the capture is read at the
    // first start (before the pcap file is created, so both may name the same
    // file), which fails when it cannot be read or holds no request. With an
    // answerPort, a start fails when that port cannot be bound.
    bool start(QString *error = nullptr);
    // Closes the socket and ends the thread; delayed answers not yet sent are
    // discarded.
    void stop();
    bool isRunning() const;
    QHostAddress address() const;        // the bound address
    quint16 port() const;                // the bound port (the last one after stop)
    // The replay capture as the first start() found it; empty before.
    ReplayInfo replayInfo() const;

    // Memory. Reads and writes are bounded by the area size.
    QByteArray area(quint32 code) const; // empty for an unknown code
    // False for an unknown code or when offset..offset+size is not inside the area.
    bool setArea(quint32 code, int offset, const QByteArray &bytes);
    void fillAll(char byte);
    int areaSize() const;

    // Faults: queued ones apply to the next requests in order, before the
    // random rates are consulted (a queued Fault::None lets one request through
    // untouched).
    void queueFault(Fault f);
    void setFaultRate(Fault f, double probability);
    void setDelayMs(int ms);

    // Send a datagram that answers nothing (to the last client when port is 0).
    // Returns once it was handed to the socket; does nothing when not running
    // or when port is 0 and no client has sent anything yet.
    void sendUnsolicited(const QByteArray &datagram, const QHostAddress &to = QHostAddress(),
                         quint16 port = 0);

    SimStats stats() const;
    void resetStats();
    // Every datagram received since the last clear, in order.
    QList<QByteArray> received() const;
    void clearReceived();
    // Blocks until received() holds at least count datagrams; false on timeout.
    bool waitForReceived(int count, int timeoutMs) const;

    // Delayed answers scheduled but not yet sent.
    int pendingAnswers() const;
    // Blocks until no delayed answer is pending (sent, or discarded by stop());
    // false on timeout.
    bool waitForPendingAnswers(int timeoutMs) const;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace veskorsim

#endif
