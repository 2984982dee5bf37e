// The probe's run on the wire: one request at a time (the scan of device ids
// aside), every datagram that comes taken in with its time and sender (kept
// or counted, see kProbeKeepPerRequest), nothing judged here. Each stage
// says so on stderr as it begins, and how far it got every few seconds; on
// a terminal one line counts the requests instead.
#include "Probe.h"

#include "protocol/Frames.h"
#include "driver/Tags.h"
#include "protocol/UdpLink.h"
#include "common/Areas.h"
#include "common/Values.h"

#include <QElapsedTimer>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace veskortool {

namespace {

constexpr int kLostInARow = 5;   // reads without an answer that end the probe early

// What the run is doing, on stderr: a line when a stage begins and one
// every kQuietMs while it lasts; on a terminal, one line rewritten in place
// at most every kRedrawMs, cleared at the end.
class Progress
{
public:
    explicit Progress(bool on) : m_on(on), m_terminal(on && ::isatty(STDERR_FILENO)) { m_clock.start(); }
    ~Progress()
    {
        if (m_terminal && m_drawn)
            write("\r\033[K");
    }

    void stage(const QString &text, int total)
    {
        m_stage = text;
        m_total = total;
        m_done = 0;
        if (!m_on)
            return;
        if (m_terminal) {
            draw();
            return;
        }
        say(m_stage);
    }

    // One request of the stage is done.
    void step()
    {
        ++m_done;
        tick();
    }

    // Called while the run waits: on a terminal the counter, else a line
    // when the last one is kQuietMs old.
    void tick()
    {
        if (!m_on)
            return;
        if (m_terminal) {
            if (m_clock.elapsed() - m_lastMs >= kRedrawMs)
                draw();
        } else if (m_clock.elapsed() - m_lastMs >= kQuietMs) {
            say(QStringLiteral("%1: %2 of %3 requests so far").arg(m_stage).arg(m_done).arg(m_total));
        }
    }

private:
    static constexpr qint64 kQuietMs = 10000;
    static constexpr qint64 kRedrawMs = 100;

    void write(const QByteArray &bytes)
    {
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
    }
    void say(const QString &text)
    {
        m_lastMs = m_clock.elapsed();
        write("veskor: probe: " + text.toUtf8() + '\n');
    }
    void draw()
    {
        m_lastMs = m_clock.elapsed();
        m_drawn = true;
        write(QStringLiteral("\r\033[Kveskor: probe: %1 (%2/%3)").arg(m_stage).arg(m_done).arg(m_total).toUtf8());
    }

    const bool m_on;
    const bool m_terminal;
    QElapsedTimer m_clock;
    qint64 m_lastMs = 0;
    bool m_drawn = false;
    QString m_stage;
    int m_total = 0;
    int m_done = 0;
};

class ProbeRun
{
public:
    ProbeRun(const ProbeSettings &s, ProbeLog *log)
        : s(s), log(log), peer(veskor::Endpoint::of(s.address, s.port)), buffer(65536, '\0'),
          repeat(std::max(1, s.repeat)), progress(s.progress)
    {
    }

    bool open(QString *error)
    {
        if (link.open(peer, 0, s.waitMs))
            return true;
        *error = QStringLiteral("cannot open a UDP socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }

    void run()
    {
        clock.start();
        const QVector<quint32> codes = probeAreaCodes();
        bool answered = false;
        quint32 rttArea = 0;
        progress.stage(QStringLiteral("areas: %1 areas, %2 %3 each")
                           .arg(codes.size()).arg(repeat).arg(repeat == 1 ? QStringLiteral("read") : QStringLiteral("reads")),
                       codes.size() * repeat);
        // Round after round; a second one only when the first got answers.
        for (int round = 0; round < repeat && !log->refused && (round == 0 || answered); ++round) {
            for (int i = 0; i < codes.size() && !log->refused; ++i) {
                // Until the controller answers, three areas get the whole wait and
                // the others a short one; then a wait that fits its round trips.
                int wait = s.waitMs;
                if (answered)
                    wait = fittedWait();
                else if (i >= 3)
                    wait = kProbeShortWaitMs;
                wait = std::min(wait, s.waitMs);
                if (exchange(ProbeRequest::Area, read(codes[i], s.device), wait)) {
                    answered = true;
                    if (!rttArea && imaged.contains(codes[i]))
                        rttArea = codes[i];
                }
                progress.step();
            }
        }
        if (log->refused) {
            log->stopped = QStringLiteral("the controller's port is closed");
            return;
        }
        if (!answered) {
            scan(codes.first());
            return;
        }
        if (!rttArea)
            rttArea = codes.first();

        progress.stage(QStringLiteral("round trips: %1 reads of %2")
                           .arg(s.count).arg(QString::fromLatin1(areaNameOf(rttArea))),
                       s.count);
        int lostInARow = 0;
        for (int i = 0; i < s.count && !log->refused; ++i) {
            const bool got = exchange(ProbeRequest::RoundTrip, read(rttArea, s.device), s.waitMs);
            progress.step();
            if (got) {
                lostInARow = 0;
            } else if (++lostInARow == kLostInARow) {
                log->stopped = QStringLiteral("%1 reads in a row got no answer").arg(kLostInARow);
                return;
            }
        }
        if (log->refused) {
            log->stopped = QStringLiteral("the controller's port closed");
            return;
        }

        // The first read as another device gets the whole wait; if it
        // gets no answer, the others one that fits the round trips.
        progress.stage(QStringLiteral("another device id: %1 %2 as device %3")
                           .arg(repeat).arg(repeat == 1 ? QStringLiteral("read") : QStringLiteral("reads")).arg(s.device + 1),
                       repeat);
        bool otherAnswered = false;
        for (int i = 0; i < repeat && !log->refused; ++i) {
            otherAnswered |= exchange(ProbeRequest::OtherDevice, read(rttArea, s.device + 1),
                                      i == 0 || otherAnswered ? s.waitMs : std::min(fittedWait(), s.waitMs));
            progress.step();
        }

        if (!s.writeTag.isEmpty() && !log->refused)
            writeTest();

        // Late answers and copies still on their way.
        const int last = std::clamp(int(3 * maxRttUs / 1000), kProbeShortWaitMs, std::max(s.waitMs, kProbeShortWaitMs));
        listen(now() + qint64(std::min(last, s.waitMs)) * 1000, false);
    }

private:
    qint64 now() const { return clock.nsecsElapsed() / 1000; }

    // Ten times the slowest round trip seen, at least the short wait, at
    // most the wait.
    int fittedWait() const
    {
        return std::clamp(int(10 * maxRttUs / 1000), kProbeShortWaitMs, std::max(s.waitMs, kProbeShortWaitMs));
    }

    static const char *areaNameOf(quint32 code)
    {
        const veskor::AreaEntry *area = veskortools::areaByCode(code);
        return area ? area->name : "?";
    }

    // The two bytes at the tag's address, written back as a read just
    // before gave them, --repeat times.
    void writeTest()
    {
        progress.stage(QStringLiteral("write test: %1 %2 of %3, each after a read of its area")
                           .arg(repeat).arg(repeat == 1 ? QStringLiteral("write") : QStringLiteral("writes")).arg(s.writeTag),
                       2 * repeat);
        int written = 0;
        for (int i = 0; i < repeat && !log->refused; ++i) {
            writeImage.clear();
            exchange(ProbeRequest::WriteRead, read(s.writeArea, s.device), std::min(fittedWait(), s.waitMs));
            progress.step();
            const QByteArray image = writeImage;
            if (image.isEmpty())
                continue;   // no value to write back this time
            if (qint64(s.writeAddress) + 2 > image.size()) {
                log->writeSkipped = QStringLiteral("address %1 is beyond the area's %2 bytes")
                                        .arg(s.writeAddress).arg(image.size());
                return;
            }
            exchange(ProbeRequest::WriteTest,
                     veskor::buildWriteRequest(s.writeArea, s.writeAddress, 2, image.mid(s.writeAddress, 2)),
                     s.waitMs);
            ++written;
            progress.step();
        }
        if (written == 0 && !log->refused)
            log->writeSkipped = QStringLiteral("its area gave no image to take the value from");
    }

    // No area answered as our device id, and the port is not closed: the
    // scan's ids are read together, a gap apart, and each id an answer
    // came for is read again alone to be sure of it.
    void scan(quint32 area)
    {
        const QVector<quint32> ids = probeScanIds(s);
        progress.stage(QStringLiteral("device ids: no area answered as device %1; trying %2")
                           .arg(s.device).arg(deviceListText(ids)),
                       ids.size());
        const int first = log->requests.size();
        for (quint32 id : ids) {
            ProbeRequest q;
            q.phase = ProbeRequest::Scan;
            q.bytes = read(area, id);
            q.sentUs = now();
            q.deadlineUs = q.sentUs + qint64(s.waitMs) * 1000;
            log->requests << q;
            if (link.send(q.bytes.constData(), q.bytes.size(), peer) != 0 && log->refused)
                break;
            listen(q.sentUs + kProbeScanGapUs, false);
            progress.step();
            if (log->refused)
                break;
        }
        // Every read of the scan waits from the last one.
        const qint64 until = now() + qint64(s.waitMs) * 1000;
        for (int k = first; k < log->requests.size(); ++k)
            log->requests[k].deadlineUs = until;
        if (!log->refused)
            listen(until, false);
        if (log->refused) {
            log->stopped = QStringLiteral("the controller's port is closed");
            return;
        }

        const QVector<quint32> candidates = scanAnswers(first);
        if (!candidates.isEmpty())
            progress.stage(QStringLiteral("device ids: reading %1 again, one at a time").arg(deviceListText(candidates)),
                           candidates.size() * repeat);
        for (quint32 id : candidates) {
            int got = 0;
            for (int i = 0; i < repeat && !log->refused; ++i) {
                got += exchange(ProbeRequest::DeviceCheck, read(area, id), s.waitMs);
                progress.step();
                if (got == 0)
                    break;   // its answer in the scan was another's
            }
        }
        log->stopped = QStringLiteral("no area answered as device %1").arg(s.device);
    }

    // The ids the controller's datagrams since request `first` answer: by
    // the sequence or the device id they carry, else the last two sent
    // before them; kProbeScanChecked at most.
    QVector<quint32> scanAnswers(int first) const
    {
        QVector<quint32> out;
        const auto add = [&out](quint32 id) {
            if (!out.contains(id) && out.size() < kProbeScanChecked)
                out << id;
        };
        const QVector<ProbeRequest> &req = log->requests;
        for (const ProbeDatagram &d : log->datagrams) {
            if (d.after < first || QHostAddress(d.from.toIPv4Address()) != s.address)
                continue;
            const char *bytes = d.bytes.constData();
            const bool hasSequence = d.bytes.size() >= veskor::kSequenceOffset + veskor::kSequenceSize;
            const bool hasDeviceId = d.bytes.size() >= veskor::kDeviceIdOffset + veskor::kDeviceIdSize;
            int k = -1;
            for (int j = first; j < req.size() && k < 0; ++j) {
                const char *sent = req[j].bytes.constData();
                if (hasSequence && veskor::sequenceOf(bytes) == veskor::sequenceOf(sent))
                    k = j;
                else if (hasDeviceId && veskor::deviceIdOf(bytes) == veskor::deviceIdOf(sent))
                    k = j;
            }
            if (k >= 0) {
                add(veskor::deviceIdOf(req[k].bytes.constData()));
                continue;
            }
            for (int j = d.after; j >= std::max(first, d.after - 1); --j)
                add(veskor::deviceIdOf(req[j].bytes.constData()));
        }
        return out;
    }

    QByteArray read(quint32 area, quint32 device)
    {
        // Both bytes change from one request to the next, and none is 0: a
        // controller that does not echo often leaves zeros.
        quint16 s;
        do {
            s = sequence;
            sequence = quint16(sequence + 0x0101);
        } while (s == 0);
        return veskor::buildReadRequest(s, area, device);
    }

    // One datagram that came: kept when it is from the controller's address
    // and among the first after the last request, else counted.
    void record(int size, const veskor::Endpoint &from)
    {
        const qint64 at = now();
        const bool own = from.sameHost(peer);
        const char *bytes = buffer.constData();
        if (own) {
            lastOwnUs = at;
            // Which areas answer with an image, and the latest image of the
            // write test's area.
            if (size >= veskor::kReadAnswerHeader && bytes[0] == veskor::kReadMagic) {
                const quint32 code = veskor::areaCodeOf(bytes);
                if (areaCodes.contains(code))
                    imaged.insert(code);
                if (!s.writeTag.isEmpty() && code == s.writeArea)
                    writeImage = QByteArray(bytes + veskor::kReadAnswerHeader, size - veskor::kReadAnswerHeader);
            }
        }
        const int after = log->requests.size() - 1;
        if (after != keptAfter) {
            keptAfter = after;
            kept = 0;
        }
        if (own && kept < kProbeKeepPerRequest) {
            ++kept;
            ProbeDatagram d;
            keepBytes(bytes, size, &d);
            d.atUs = at;
            d.from = QHostAddress(reinterpret_cast<const sockaddr *>(&from.addr));
            d.fromPort = from.port();
            d.after = after;
            log->datagrams << d;
            return;
        }
        log->countedLastUs = at;
        for (int i = 0; i < senders.size(); ++i) {
            if (senders[i] == from) {
                int &n = log->counted[i].datagrams;
                n = saturatingIncrement(n);
                return;
            }
        }
        if (senders.size() < kProbeSenders) {
            ProbeSender c;
            c.from = QHostAddress(reinterpret_cast<const sockaddr *>(&from.addr));
            c.fromPort = from.port();
            c.datagrams = 1;
            log->counted << c;
            senders << from;
            return;
        }
        log->countedElsewhere = saturatingIncrement(log->countedElsewhere);
    }

    static int saturatingIncrement(int n) { return n < INT_MAX ? n + 1 : n; }

    // Takes in what comes until `untilUs`; with stopAtAnswer, returns true
    // at the first datagram from the controller's address.
    bool listen(qint64 untilUs, bool stopAtAnswer)
    {
        for (;;) {
            const qint64 left = untilUs - now();
            if (left <= 0)
                return false;
            if (probeStopped())
                return false;
            // Short waits, so that a stop is seen at once.
            const veskor::UdpLink::Received got =
                link.receive(buffer.data(), buffer.size(), int(std::min<qint64>((left + 999) / 1000, 50)), peer);
            progress.tick();
            if (got.status == veskor::UdpLink::Status::Refused) {
                log->refused = true;
                return false;
            }
            if (got.status == veskor::UdpLink::Status::Failed)
                return false;
            if (got.status != veskor::UdpLink::Status::Datagram)
                continue;
            record(got.size, got.from);
            if (stopAtAnswer && got.from.sameHost(peer))
                return true;
        }
    }

    // One request: what came before it is taken in first, then it is sent
    // and its answer awaited; after an answer, copies of it are awaited a
    // little longer. True when the controller's address sent something.
    bool exchange(ProbeRequest::Phase phase, const QByteArray &bytes, int waitMs)
    {
        // What is waiting, for a short while at most: a flood never runs dry.
        const qint64 drainUntil = now() + kProbeSettleMs * 1000;
        while (now() < drainUntil) {
            const veskor::UdpLink::Received got = link.receive(buffer.data(), buffer.size(), 0, peer);
            if (got.status != veskor::UdpLink::Status::Datagram)
                break;
            record(got.size, got.from);
        }
        if (probeStopped())
            return false;   // nothing leaves after a stop
        ProbeRequest q;
        q.phase = phase;
        q.bytes = bytes;
        q.sentUs = now();
        q.deadlineUs = q.sentUs + qint64(waitMs) * 1000;
        log->requests << q;
        if (link.send(bytes.constData(), bytes.size(), peer) != 0)
            return false;
        if (!listen(q.deadlineUs, true))
            return false;
        maxRttUs = std::max(maxRttUs, lastOwnUs - q.sentUs);
        listen(now() + kProbeSettleMs * 1000, false);
        return true;
    }

    const ProbeSettings &s;
    ProbeLog *log;
    veskor::Endpoint peer;
    veskor::UdpLink link;
    QElapsedTimer clock;
    QByteArray buffer;
    quint16 sequence = 0x2A01;
    qint64 maxRttUs = 0;
    qint64 lastOwnUs = 0;                  // when the controller's address last sent
    int keptAfter = -2;                    // the request the kept count is of
    int kept = 0;
    QVector<veskor::Endpoint> senders;     // of log->counted, as the socket gives them
    const QVector<quint32> areaCodes = probeAreaCodes();
    QSet<quint32> imaged;                  // areas that answered with an image
    QByteArray writeImage;                 // the latest image of the write test's area
    const int repeat;                      // tries of each area and check
    Progress progress;
};

} // namespace

namespace {
std::atomic<bool> g_probeStop{false};
} // namespace

void stopProbe()
{
    g_probeStop.store(true);
}

bool probeStopped()
{
    return g_probeStop.load();
}

bool runProbe(const ProbeSettings &settings, ProbeLog *log, QString *error)
{
    log->settings = settings;
    ProbeRun run(log->settings, log);
    if (!run.open(error))
        return false;
    run.run();
    return true;
}

} // namespace veskortool
