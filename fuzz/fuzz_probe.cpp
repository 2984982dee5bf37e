// The probe's judge and its two reports, fed with a recorded run: requests
// made the way `veskor probe` makes them, then any datagrams from any sender
// at any time, as the run records them.
//
// Input layout (little-endian):
//   0-3   controller address (IPv4; 0 stands for 192.168.0.10)
//   4-5   controller port       6-9  device id
//   10-11 first sequence (the probe's step 0x0101 follows, 0 skipped)
//   12    wait: 5 * (1 + byte) ms
//   13    flags: bit 0 a write tag was given, bit 1 the host reported the
//         port closed, bit 2 the run stopped early, bit 3 the write was
//         skipped; bits 4-6 the tries of each check (--repeat) less one
//   14    requests (byte % 41)
//   15    round-trip area (index into the areas, % 23)
//   16    write area (index, % 23)    17-18 write address
//   19..  per request 4 bytes: bits 0-2 the phase (% 7: Area, RoundTrip,
//         OtherDevice, WriteTest, Scan, DeviceCheck, WriteRead), bit 7 the
//         short wait; the area of an Area read (% 23), or the device id of
//         a Scan or DeviceCheck read; then the time since the request before
//         (2 bytes, 50 us units)
//   ..    datagrams until the input ends (at most 64), each:
//           0    sender: bits 0-1 0-1 the controller's address, 2 another
//                IPv4 address, 3 an IPv6 one; bit 2 the port is read from
//                the input (else the controller's port); bits 4-6 the bytes:
//                0-3 as they are, 4 a copy of the header of the request
//                before it, 5 the same with the sequence zeroed, 6 a copy of
//                the header of the request chosen by the next byte, 7 a copy
//                of the header of the request before it with one byte changed
//                (position and xor mask from the next two bytes)
//           1-2  time since the datagram before (20 us units)
//           3-4  count of bytes that follow (low 12 bits)
//           ..   the port (2 bytes) when bit 2, the bytes for modes 6 and 7,
//                then that many bytes (after the copied header, if any)
#include "Probe.h"

#include "Frames.h"
#include "FuzzInput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <cstdint>

using namespace veskortool;

namespace {

constexpr int kMaxRequests = 40;
constexpr int kMaxDatagrams = 64;

QString num(qint64 v) { return QString::number(v); }

bool isRead(const ProbeRequest &q) { return q.phase != ProbeRequest::WriteTest; }

quint16 nextSequence(quint16 *sequence)
{
    quint16 s;
    do {
        s = *sequence;
        *sequence = quint16(*sequence + 0x0101);
    } while (s == 0);
    return s;
}

// A byte from the three the header of a report shows.
bool headerByteIn(char c) { return c == 'c' || c == '=' || c == 'x'; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    static const QVector<quint32> areaCodes = probeAreaCodes();
    FUZZ_CHECK(areaCodes.size() == 23);

    ProbeLog log;
    ProbeSettings &s = log.settings;
    quint32 addr = in.take<quint32>();
    if (addr == 0)
        addr = 0xC0A8000Au;
    s.address = QHostAddress(addr);
    s.port = in.take<quint16>();
    s.device = in.take<quint32>();
    quint16 sequence = in.take<quint16>();
    s.waitMs = 5 * (1 + in.byte());
    const uint8_t flags = in.byte();
    s.repeat = 1 + ((flags >> 4) & 7);
    const int requests = in.byte() % (kMaxRequests + 1);
    const quint32 rttArea = areaCodes[in.byte() % 23];
    s.writeArea = areaCodes[in.byte() % 23];
    s.writeAddress = in.take<quint16>();
    if (flags & 1)
        s.writeTag = QStringLiteral("ID%1x%2").arg(areaCodes.indexOf(s.writeArea) + 1).arg(s.writeAddress);
    log.refused = flags & 2;
    if (flags & 4)
        log.stopped = QStringLiteral("5 reads in a row got no answer");
    if (flags & 8)
        log.writeSkipped = QStringLiteral("its area gave no image to take the value from");

    // The requests, sent one after another as the probe sends them.
    qint64 now = 0;
    for (int k = 0; k < requests; ++k) {
        const uint8_t how = in.byte();
        const uint8_t which = in.byte();
        now += qint64(in.take<quint16>()) * 50;
        ProbeRequest q;
        q.phase = ProbeRequest::Phase((how & 7) % ProbeRequest::kPhases);
        switch (q.phase) {
        case ProbeRequest::Area:
            q.bytes = veskor::buildReadRequest(nextSequence(&sequence), areaCodes[which % 23], s.device);
            break;
        case ProbeRequest::Scan:
        case ProbeRequest::DeviceCheck:
            q.bytes = veskor::buildReadRequest(nextSequence(&sequence), areaCodes.first(), which);
            break;
        case ProbeRequest::WriteRead:
            q.bytes = veskor::buildReadRequest(nextSequence(&sequence), s.writeArea, s.device);
            break;
        case ProbeRequest::RoundTrip:
            q.bytes = veskor::buildReadRequest(nextSequence(&sequence), rttArea, s.device);
            break;
        case ProbeRequest::OtherDevice:
            q.bytes = veskor::buildReadRequest(nextSequence(&sequence), rttArea, s.device + 1);
            break;
        case ProbeRequest::WriteTest:
            q.bytes = veskor::buildWriteRequest(s.writeArea, s.writeAddress, 2,
                                                QByteArray::fromRawData("\x12\x34", 2));
            break;
        }
        q.sentUs = now;
        const int wait = (how & 0x80) ? std::min(kProbeShortWaitMs, s.waitMs) : s.waitMs;
        q.deadlineUs = q.sentUs + qint64(wait) * 1000;
        log.requests << q;
    }

    // The datagrams, in the order they came; each after the last request
    // sent before it.
    qint64 at = 0;
    int fromController = 0;
    for (int i = 0; i < kMaxDatagrams && !in.empty(); ++i) {
        const uint8_t how = in.byte();
        at += qint64(in.take<quint16>()) * 20;
        const int length = in.take<quint16>() & 0x0FFF;
        ProbeDatagram d;
        d.atUs = at;
        for (int k = 0; k < log.requests.size() && log.requests[k].sentUs <= at; ++k)
            d.after = k;
        switch (how & 3) {
        case 0:
        case 1: d.from = s.address; ++fromController; break;
        case 2: d.from = QHostAddress(addr ^ 0x00000100u); break;
        default: d.from = QHostAddress(QStringLiteral("fe80::1")); break;
        }
        d.fromPort = (how & 4) ? in.take<quint16>() : s.port;
        const int mode = (how >> 4) & 7;
        QByteArray header;
        if (mode == 4 || mode == 5 || mode == 7) {
            if (d.after >= 0)
                header = log.requests[d.after].bytes;
            if (mode == 5 && header.size() >= 6)
                header[4] = header[5] = '\0';
            if (mode == 7) {
                const uint8_t pos = in.byte();
                const uint8_t mask = in.byte();
                if (!header.isEmpty())
                    header[pos % header.size()] = char(header[pos % header.size()] ^ mask);
            }
        } else if (mode == 6) {
            const uint8_t which = in.byte();
            if (!log.requests.isEmpty())
                header = log.requests[which % log.requests.size()].bytes;
        }
        d.bytes = header + in.bytes(size_t(length));
        log.datagrams << d;
    }

    const ProbeReport r = judgeProbe(log);
    const QVector<ProbeRequest> &req = log.requests;
    const QVector<ProbeDatagram> &dg = log.datagrams;

    // What was sent and from whom it came.
    FUZZ_CHECK(r.requests == req.size());
    FUZZ_CHECK(r.device == s.device);
    FUZZ_CHECK(r.controller == s.address.toString() + QLatin1Char(':') + num(s.port));
    FUZZ_CHECK(r.refused == log.refused && r.stopped == log.stopped);
    FUZZ_CHECK_SAY(r.answered == (fromController > 0), num(fromController));
    int portSum = 0, strangerSum = 0;
    for (int n : r.ports)
        portSum += n;
    for (int n : r.strangers)
        strangerSum += n;
    FUZZ_CHECK_SAY(portSum == fromController, num(portSum));
    FUZZ_CHECK_SAY(strangerSum == dg.size() - fromController, num(strangerSum));
    qint64 lastUs = 0;
    for (const ProbeRequest &q : req)
        lastUs = std::max(lastUs, q.sentUs);
    for (const ProbeDatagram &d : dg)
        lastUs = std::max(lastUs, d.atUs);
    FUZZ_CHECK(r.elapsedMs == lastUs / 1000);

    // Counts.
    int roundTrips = 0, reads = 0, otherDevice = 0, writes = 0, scans = 0, checks = 0;
    for (const ProbeRequest &q : req) {
        roundTrips += q.phase == ProbeRequest::RoundTrip;
        reads += isRead(q);
        otherDevice += q.phase == ProbeRequest::OtherDevice;
        writes += q.phase == ProbeRequest::WriteTest;
        scans += q.phase == ProbeRequest::Scan;
        checks += q.phase == ProbeRequest::DeviceCheck;
    }
    FUZZ_CHECK(r.repeat == s.repeat);
    FUZZ_CHECK_SAY(r.reads == roundTrips, num(r.reads));
    FUZZ_CHECK(r.onTime >= 0 && r.lost >= 0 && r.onTime + r.lost == r.reads);
    FUZZ_CHECK(r.shortAnswers >= 0 && r.errorAnswers >= 0 && r.shortAnswers + r.errorAnswers <= r.onTime);
    FUZZ_CHECK(r.rateLost >= 0 && r.rateShort >= 0 && r.rateError >= 0
               && r.rateLost + r.rateShort + r.rateError <= r.rateReads && r.rateReads <= reads);
    FUZZ_CHECK(r.late >= 0 && r.duplicates >= 0 && r.unexplained >= 0);
    FUZZ_CHECK(r.readAnswers >= 0 && r.readAnswers <= reads);
    FUZZ_CHECK(r.sequenceCopied >= 0 && r.sequenceCopied <= r.readAnswers);
    FUZZ_CHECK(r.areaCopied >= 0 && r.areaCopied <= r.readAnswers);
    FUZZ_CHECK(r.deviceCopied >= 0 && r.deviceCopied <= r.readAnswers);
    // Every datagram of the controller answers one request, copies an answer
    // or is unexplained; the answers on time and the late ones are apart.
    FUZZ_CHECK_SAY(r.readAnswers + r.duplicates + r.unexplained <= fromController,
                   QStringLiteral("%1 + %2 + %3 of %4").arg(r.readAnswers).arg(r.duplicates).arg(r.unexplained).arg(fromController));
    FUZZ_CHECK_SAY(r.onTime + r.late + r.duplicates + r.unexplained <= fromController,
                   QStringLiteral("%1 + %2 + %3 + %4 of %5").arg(r.onTime).arg(r.late).arg(r.duplicates)
                       .arg(r.unexplained).arg(fromController));
    FUZZ_CHECK(!r.echoesSequence || r.answered);

    // Round trips: after their request, and within its wait.
    if (r.onTime > 0) {
        FUZZ_CHECK_SAY(r.rttMinMs >= 0 && r.rttMinMs <= r.rttMedianMs && r.rttMedianMs <= r.rttP99Ms
                           && r.rttP99Ms <= r.rttMaxMs,
                       QStringLiteral("%1 %2 %3 %4").arg(r.rttMinMs).arg(r.rttMedianMs).arg(r.rttP99Ms).arg(r.rttMaxMs));
        FUZZ_CHECK_SAY(r.rttMaxMs <= s.waitMs, QString::number(r.rttMaxMs));
    } else {
        FUZZ_CHECK(r.rttMinMs == 0 && r.rttMedianMs == 0 && r.rttP99Ms == 0 && r.rttMaxMs == 0);
    }
    FUZZ_CHECK(roundTrips == 0 || !r.rttArea.isEmpty());

    // Areas: all of them, in order, asked or not.
    FUZZ_CHECK_SAY(r.areas.size() == 23, num(r.areas.size()));
    for (int a = 0; a < r.areas.size(); ++a) {
        const ProbeReport::Area &area = r.areas[a];
        FUZZ_CHECK(area.name == QStringLiteral("ID%1x").arg(a + 1));
        const QByteArray code = veskor::buildReadRequest(0, areaCodes[a], 0).mid(8, 4);
        int asked = 0;
        for (const ProbeRequest &q : req)
            asked += q.phase == ProbeRequest::Area && q.bytes.mid(8, 4) == code;
        FUZZ_CHECK_SAY((area.state != ProbeReport::Area::NotAsked) == (asked > 0), area.name);
        // Each read of it got one of four things; its habit is among them.
        FUZZ_CHECK_SAY(area.asked == asked && area.images + area.errors + area.shorts + area.silent == asked,
                       area.name);
        FUZZ_CHECK(area.habitTimes() >= (asked > 0 ? 1 : 0) && area.habitTimes() <= asked);
        FUZZ_CHECK(area.state != ProbeReport::Area::Silent || area.silent == asked);
        if (!r.answered)
            FUZZ_CHECK(area.state == ProbeReport::Area::NotAsked || area.state == ProbeReport::Area::Silent);
        if (area.state == ProbeReport::Area::Image)
            FUZZ_CHECK(area.length >= 0 && area.length + 16 <= 0xFFF + 16);
        if (area.state == ProbeReport::Area::Error)
            FUZZ_CHECK(area.firstByte >= -1 && area.firstByte <= 255);
        if (area.state == ProbeReport::Area::Short)
            FUZZ_CHECK(area.length >= 0 && area.length < 16);
    }

    // The header's copies: one letter per byte; a field copied in every
    // answer has no byte marked as not copied.
    if (r.readAnswers == 0) {
        FUZZ_CHECK(r.headerCopies.isEmpty());
    } else {
        FUZZ_CHECK_SAY(r.headerCopies.size() == 16, QString::fromLatin1(r.headerCopies));
        for (char c : r.headerCopies)
            FUZZ_CHECK_SAY(headerByteIn(c), QString::fromLatin1(r.headerCopies));
        const auto copied = [&r](int from, int to) {
            for (int i = from; i <= to; ++i)
                if (r.headerCopies[i] == 'x')
                    return false;
            return true;
        };
        FUZZ_CHECK((r.sequenceCopied == r.readAnswers) == copied(4, 5));
        FUZZ_CHECK((r.areaCopied == r.readAnswers) == copied(8, 11));
        FUZZ_CHECK((r.deviceCopied == r.readAnswers) == copied(12, 15));
        // The fixed bytes of a read never vary; its sequence always does.
        for (int i : {0, 1, 2, 3, 6, 7})
            FUZZ_CHECK(r.headerCopies[i] != 'c');
        if (r.readAnswers >= 2)
            FUZZ_CHECK(r.headerCopies[4] != '=' && r.headerCopies[5] != '=');
    }

    // Another device id, and the write.
    FUZZ_CHECK((r.otherDevice == ProbeReport::DeviceNotAsked) == (otherDevice == 0));
    FUZZ_CHECK(r.otherDeviceAsked == otherDevice && r.otherDeviceAnswered >= 0
               && r.otherDeviceAnswered <= r.otherDeviceAsked);
    FUZZ_CHECK((r.otherDevice == ProbeReport::DeviceSilent) == (otherDevice > 0 && r.otherDeviceAnswered == 0));
    if (otherDevice > 0)
        FUZZ_CHECK(r.otherDeviceId == s.device + 1);
    FUZZ_CHECK(r.writes == writes && r.writesCopied >= 0 && r.writesCopied <= r.writesAnswered
               && r.writesAnswered <= r.writes);
    // The scan: every id tried, in order; the checks of ids by id.
    FUZZ_CHECK_SAY(r.scanned.size() == scans, num(r.scanned.size()));
    int checked = 0;
    for (const ProbeReport::DeviceCheck &c : r.checked) {
        FUZZ_CHECK(c.answered >= 0 && c.answered <= c.asked);
        checked += c.asked;
    }
    FUZZ_CHECK_SAY(checked == checks, num(checked));
    if (!r.answered) {
        FUZZ_CHECK(r.readAnswers == 0 && r.onTime == 0 && r.late == 0 && r.duplicates == 0 && r.unexplained == 0);
        FUZZ_CHECK(r.otherDevice == ProbeReport::DeviceNotAsked || r.otherDevice == ProbeReport::DeviceSilent);
        FUZZ_CHECK(r.write != ProbeReport::WriteCopiesHeader && r.write != ProbeReport::WriteOther);
    }
    if (writes > 0)
        FUZZ_CHECK(r.write == ProbeReport::WriteSilent || r.write == ProbeReport::WriteCopiesHeader
                   || r.write == ProbeReport::WriteOther);
    else if (!s.writeTag.isEmpty() && !log.writeSkipped.isEmpty())
        FUZZ_CHECK(r.write == ProbeReport::WriteSkipped);
    else
        FUZZ_CHECK(r.write == ProbeReport::WriteNotAsked);
    FUZZ_CHECK(r.answered || !r.verdict.isEmpty());

    // The text: one line per label, the first the controller's.
    const QString text = probeText(r);
    FUZZ_CHECK(text.startsWith(QLatin1String("controller  ")) && text.endsWith(QLatin1Char('\n')));
    FUZZ_CHECK(text.contains(QLatin1String("\nverdict     ")) == !r.verdict.isEmpty());
    FUZZ_CHECK(r.answered == text.contains(QLatin1String("\nareas       ")));

    // The JSON: one object that says what the report says.
    const QString json = probeJson(r);
    FUZZ_CHECK(json.endsWith(QLatin1Char('\n')));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    FUZZ_CHECK_SAY(error.error == QJsonParseError::NoError && doc.isObject(), error.errorString());
    const QJsonObject o = doc.object();
    FUZZ_CHECK(o.value(QLatin1String("command")).toString() == QLatin1String("probe"));
    FUZZ_CHECK(o.value(QLatin1String("controller")).toString() == r.controller);
    FUZZ_CHECK(o.value(QLatin1String("requests")).toInt() == r.requests);
    FUZZ_CHECK(o.value(QLatin1String("answered")).toBool() == r.answered);
    FUZZ_CHECK(o.value(QLatin1String("device")).toDouble() == double(r.device));
    const QJsonObject jr = o.value(QLatin1String("reads")).toObject();
    FUZZ_CHECK(jr.value(QLatin1String("sent")).toInt() == r.reads);
    FUZZ_CHECK(jr.value(QLatin1String("onTime")).toInt() == r.onTime);
    FUZZ_CHECK(jr.value(QLatin1String("lost")).toInt() == r.lost);
    FUZZ_CHECK(jr.contains(QLatin1String("rttMs")) == (r.onTime > 0));
    FUZZ_CHECK(!jr.contains(QLatin1String("rttMs"))
               || jr.value(QLatin1String("rttMs")).toObject().value(QLatin1String("max")).toDouble() == r.rttMaxMs);
    FUZZ_CHECK(o.value(QLatin1String("repeat")).toInt() == r.repeat);
    FUZZ_CHECK(o.contains(QLatin1String("scan")) == !r.scanned.isEmpty());
    FUZZ_CHECK(text.contains(QLatin1String("\nscan        ")) == !r.scanned.isEmpty());
    const QJsonArray ja = o.value(QLatin1String("areas")).toArray();
    FUZZ_CHECK(ja.size() == 23);
    for (int a = 0; a < ja.size(); ++a)
        FUZZ_CHECK(ja.at(a).toObject().value(QLatin1String("name")).toString() == r.areas[a].name);
    const QJsonObject je = o.value(QLatin1String("echo")).toObject();
    FUZZ_CHECK(je.value(QLatin1String("readAnswers")).toInt() == r.readAnswers);
    FUZZ_CHECK(je.value(QLatin1String("echoesSequence")).toBool() == r.echoesSequence);
    FUZZ_CHECK(je.value(QLatin1String("headerBytes")).toString() == QString::fromLatin1(r.headerCopies));
    const QJsonObject js = o.value(QLatin1String("sources")).toObject();
    FUZZ_CHECK(js.value(QLatin1String("ports")).toObject().size() == r.ports.size());
    FUZZ_CHECK(js.value(QLatin1String("otherAddresses")).toObject().size() == r.strangers.size());
    FUZZ_CHECK(o.contains(QLatin1String("otherDevice")) == (r.otherDevice != ProbeReport::DeviceNotAsked));
    FUZZ_CHECK(o.contains(QLatin1String("write")) == (r.write != ProbeReport::WriteNotAsked));
    FUZZ_CHECK(o.value(QLatin1String("duplicates")).toInt() == r.duplicates);
    FUZZ_CHECK(o.value(QLatin1String("late")).toInt() == r.late);
    FUZZ_CHECK(o.value(QLatin1String("unexplained")).toInt() == r.unexplained);
    FUZZ_CHECK(o.value(QLatin1String("verdict")).toArray().size() == r.verdict.size());
    return 0;
}
