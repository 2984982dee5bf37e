// The probe's run on the wire: one request at a time, every datagram that
// comes taken in with its time and sender (kept or counted, see
// kProbeKeepPerRequest), nothing judged here.
#include "Probe.h"

#include "Frames.h"
#include "UdpLink.h"

#include <QElapsedTimer>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace veskortool {

namespace {

constexpr int kLostInARow = 5;   // reads without an answer that end the probe early

class ProbeRun
{
public:
    ProbeRun(const ProbeSettings &s, ProbeLog *log)
        : s(s), log(log), peer(veskor::Endpoint::of(s.address, s.port)), buffer(65536, '\0')
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
        for (int i = 0; i < codes.size() && !log->refused; ++i) {
            // Until the controller answers, three areas get the whole wait and
            // the others a short one; then a wait that fits its round trips.
            int wait = s.waitMs;
            if (answered)
                wait = std::clamp(int(10 * maxRttUs / 1000), kProbeShortWaitMs, std::max(s.waitMs, kProbeShortWaitMs));
            else if (i >= 3)
                wait = kProbeShortWaitMs;
            wait = std::min(wait, s.waitMs);
            if (exchange(ProbeRequest::Area, read(codes[i], s.device), wait)) {
                answered = true;
                if (!rttArea && imaged.contains(codes[i]))
                    rttArea = codes[i];
            }
        }
        if (!answered) {
            log->stopped = log->refused ? QStringLiteral("the controller's port is closed")
                                        : QStringLiteral("no area answered");
            return;
        }
        if (!rttArea)
            rttArea = codes.first();

        int lostInARow = 0;
        for (int i = 0; i < s.count && !log->refused; ++i) {
            if (exchange(ProbeRequest::RoundTrip, read(rttArea, s.device), s.waitMs)) {
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

        exchange(ProbeRequest::OtherDevice, read(rttArea, s.device + 1), s.waitMs);

        if (!s.writeTag.isEmpty()) {
            // The two bytes at the tag's address, written back as they were read.
            const QByteArray &image = writeImage;
            if (image.isEmpty())
                log->writeSkipped = QStringLiteral("its area gave no image to take the value from");
            else if (qint64(s.writeAddress) + 2 > image.size())
                log->writeSkipped = QStringLiteral("address %1 is beyond the area's %2 bytes")
                                        .arg(s.writeAddress).arg(image.size());
            else
                exchange(ProbeRequest::WriteTest,
                         veskor::buildWriteRequest(s.writeArea, s.writeAddress, 2, image.mid(s.writeAddress, 2)),
                         s.waitMs);
        }

        // Late answers and copies still on their way.
        const int last = std::clamp(int(3 * maxRttUs / 1000), kProbeShortWaitMs, std::max(s.waitMs, kProbeShortWaitMs));
        listen(now() + qint64(std::min(last, s.waitMs)) * 1000, false);
    }

private:
    qint64 now() const { return clock.nsecsElapsed() / 1000; }

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
            if (size >= 16 && bytes[0] == 'M') {
                const quint32 code = qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(bytes) + 8);
                if (areaCodes.contains(code))
                    imaged.insert(code);
                if (!s.writeTag.isEmpty() && code == s.writeArea)
                    writeImage = QByteArray(bytes + 16, size - 16);
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
            const veskor::UdpLink::Received got =
                link.receive(buffer.data(), buffer.size(), int((left + 999) / 1000), peer);
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
};

} // namespace

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
