// The simulator's capture reader, the pairing of requests with answers and
// the replay table, fed with pcap files. The target writes a valid file
// header itself and builds most frames from the input (link header, IPv4,
// UDP), with one thing wrong in some, so that most inputs are files the
// reader goes deep into.
//
// Input layout (little-endian):
//   0     the file: bits 0-2 link type (EN10MB, LINUX_SLL, LINUX_SLL2, RAW,
//         IPV4, NULL, LOOP, and IEEE802_11, which the reader does not take);
//         bit 3 a big-endian file; bit 4 nanosecond time stamps; bits 5-6
//         the snap length: 65535, 262144, 64 + byte 1, or 0 (libpcap's own)
//   1     see bits 5-6 of byte 0
//   2..   records until the input ends (at most 64), each:
//           0    form: bits 0-1 0 the frame is the bytes as they are, else a
//                frame built around them (link, IPv4 and UDP headers);
//                bit 2 the original length is byte 4 more than caplen (cut
//                by the snap length), bit 3 byte 4 less; bit 4 caplen says
//                byte 4 more bytes than follow (shifted left by 11 with
//                bit 5), so the file goes on out of step; bit 6 the bytes
//                start with a copy of the last request built; bit 7 the
//                bytes are a read request made of the next 3 bytes (sequence
//                and area index), bytes 2-3 left unused
//           1    built frames: bits 0-3 what is wrong with it (0-4 nothing:
//                none, one VLAN tag, two, IP options, padding after the
//                datagram; 5 not IPv4 for the link layer, 6 IP version 6,
//                7 header length 16, 8 TCP, 9 more fragments, 10 a fragment
//                offset, 11 total length past the frame, 12 total length
//                without room for UDP, 13 UDP length 7, 14 UDP length past
//                the total, 15 the link header cut off); bits 4-5 who sends
//                to whom: client A to the controller, the controller to A,
//                client B to the controller, the controller to B; bit 6 the
//                controller's side another port; bit 7 another address
//           2-3  count of bytes (low 11 bits)
//           4    the adjustment of form bits 2-4
//           5    time since the record before, ms
//           ..   the bytes
#include "Capture.h"

#include "FuzzInput.h"

#include <QByteArray>
#include <QHash>
#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace veskorsim;

namespace {

constexpr int kMaxRecords = 64;

// Link types as a file names them (LINKTYPE_*).
struct LinkChoice {
    quint32 linktype;
    enum Kind { Ether, Sll, Sll2, Raw, Null, Loop, Unsupported } kind;
};
constexpr LinkChoice kLinks[8] = {
    {1, LinkChoice::Ether},   {113, LinkChoice::Sll},  {276, LinkChoice::Sll2},
    {101, LinkChoice::Raw},   {228, LinkChoice::Raw},  {0, LinkChoice::Null},
    {108, LinkChoice::Loop},  {105, LinkChoice::Unsupported},
};

constexpr quint32 kController = 0x0A000001;   // 10.0.0.1
constexpr quint32 kElsewhere = 0x0A000009;
constexpr quint32 kClientA = 0x0A000002, kClientB = 0x0A000003;
constexpr quint16 kControllerPort = 9600, kOtherPort = 9601, kPortA = 50000, kPortB = 50001;
constexpr qint64 kEpochSec = 1700000000;

const quint32 kAreas[23] = {
    0x20009700, 0x10009200, 0x40018000, 0x30008200, 0x10008800, 0x10008200, 0x30009700, 0x50008200,
    0x40008200, 0xC0008200, 0xA0008200, 0x50008800, 0xA0009700, 0xD0008200, 0xE0008200, 0xD1008200,
    0xE1008200, 0xD2008200, 0xE2008200, 0xD3008200, 0xE3008200, 0xD4008200, 0xE4008200,
};

QString num(qint64 v) { return QString::number(v); }

// The file the capture is written to, made once per process.
const char *capturePath()
{
    static QByteArray path;
    if (path.isEmpty()) {
        const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        QByteArray name = QByteArray(dir) + "/fuzz_capture-XXXXXX";
        const int fd = mkstemp(name.data());
        if (fd < 0) {
            perror("fuzz_capture: mkstemp");
            abort();
        }
        close(fd);
        path = name;
        atexit([] { unlink(path.constData()); });
    }
    return path.constData();
}

void put16(QByteArray &b, quint16 v, bool big)
{
    uchar x[2];
    big ? qToBigEndian(v, x) : qToLittleEndian(v, x);
    b.append(reinterpret_cast<const char *>(x), 2);
}

void put32(QByteArray &b, quint32 v, bool big)
{
    uchar x[4];
    big ? qToBigEndian(v, x) : qToLittleEndian(v, x);
    b.append(reinterpret_cast<const char *>(x), 4);
}

void setBE16(QByteArray &b, int at, quint16 v) { qToBigEndian(v, reinterpret_cast<uchar *>(b.data()) + at); }

QByteArray readRequest(quint16 sequence, quint32 area)
{
    QByteArray r("MR\x0e\x00", 4);
    put16(r, sequence, false);
    r.append("\x1e\x00", 2);
    put32(r, area, true);
    put32(r, 1, false);
    return r;
}

// A frame of the link type around an IPv4/UDP datagram; `wrong` as in the
// layout. Returns whether the reader must take the datagram out as it is.
bool buildFrame(LinkChoice::Kind link, int wrong, quint32 src, quint16 sport, quint32 dst, quint16 dport,
                const QByteArray &payload, QByteArray *frame)
{
    QByteArray f;
    switch (link) {
    case LinkChoice::Ether:
        f.append("\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02", 12);
        if (wrong == 2)
            f.append("\x88\xa8\x00\x05", 4);
        if (wrong == 1 || wrong == 2)
            f.append("\x81\x00\x00\x07", 4);
        put16(f, wrong == 5 ? 0x86dd : 0x0800, true);
        break;
    case LinkChoice::Sll:
        f.append("\x00\x00\x00\x01\x00\x06\x02\x00\x00\x00\x00\x02\x00\x00", 14);
        put16(f, wrong == 5 ? 0x86dd : 0x0800, true);
        break;
    case LinkChoice::Sll2:
        put16(f, wrong == 5 ? 0x86dd : 0x0800, true);
        f.append("\x00\x00\x00\x00\x00\x02\x00\x01\x00\x06\x02\x00\x00\x00\x00\x02\x00\x00", 18);
        break;
    case LinkChoice::Null:
        put32(f, wrong == 5 ? 24 : 2, false);
        break;
    case LinkChoice::Loop:
        put32(f, wrong == 5 ? 24 : 2, true);
        break;
    case LinkChoice::Raw:
    case LinkChoice::Unsupported:
        break;
    }
    if (wrong == 15) {
        // Not even the link header (or, without one, the IP header) whole.
        *frame = link == LinkChoice::Raw ? QByteArray(10, '\x45') : f.left(f.size() / 2);
        return false;
    }
    const int ihl = wrong == 3 ? 24 : 20;
    const int udpLen = 8 + payload.size();
    int total = ihl + udpLen;
    QByteArray ip(ihl, '\0');
    ip[0] = char(((wrong == 6 || (wrong == 5 && link == LinkChoice::Raw)) ? 0x60 : 0x40) | (wrong == 7 ? 4 : ihl / 4));
    if (wrong == 11)
        total += 8;
    if (wrong == 12)
        total = ihl + 4;
    setBE16(ip, 2, quint16(total));
    setBE16(ip, 4, 0x1234);
    setBE16(ip, 6, wrong == 9 ? 0x2000 : wrong == 10 ? 0x0010 : 0x4000);
    ip[8] = 64;
    ip[9] = char(wrong == 8 ? 6 : 17);
    qToBigEndian(src, reinterpret_cast<uchar *>(ip.data()) + 12);
    qToBigEndian(dst, reinterpret_cast<uchar *>(ip.data()) + 16);
    QByteArray udp;
    put16(udp, sport, true);
    put16(udp, dport, true);
    put16(udp, quint16(wrong == 13 ? 7 : wrong == 14 ? udpLen + 1 : udpLen), true);
    put16(udp, 0, true);
    f += ip + udp + payload;
    if (wrong == 4)
        f.append(6, '\0');   // Ethernet padding after the datagram
    *frame = f;
    const bool ethernetOnly = (wrong == 1 || wrong == 2) && link != LinkChoice::Ether;
    return wrong <= 4 || ethernetOnly;
}

// What the reader's request key must be.
QByteArray keyOf(const QByteArray &q)
{
    if (q.size() == 16 && q.startsWith("MR")) {
        QByteArray k = q;
        k[4] = k[5] = '\0';
        return k;
    }
    if (q.size() >= 11 && q.startsWith(QByteArray("\x02\x01\x01\x00", 4)))
        return q;
    return QByteArray();
}

struct Expected {
    qint64 timeUs;
    quint32 src, dst;
    quint16 sport, dport;
    QByteArray payload;
};

bool same(const CapturedDatagram &d, const Expected &e)
{
    return d.timeUs == e.timeUs && d.srcAddr == e.src && d.dstAddr == e.dst && d.srcPort == e.sport
        && d.dstPort == e.dport && d.payload == e.payload;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const uint8_t fileByte = in.byte();
    const uint8_t snapByte = in.byte();
    const LinkChoice link = kLinks[fileByte & 7];
    const bool big = fileByte & 8;
    const bool nano = fileByte & 16;
    static const quint32 snaps[4] = {65535, 262144, 0, 0};
    quint32 snaplen = snaps[(fileByte >> 5) & 3];
    if (((fileByte >> 5) & 3) == 2)
        snaplen = 64 + snapByte;
    const quint32 effectiveSnap = snaplen == 0 ? 262144 : snaplen;

    QByteArray file;
    put32(file, nano ? 0xa1b23c4d : 0xa1b2c3d4, big);
    put16(file, 2, big);
    put16(file, 4, big);
    put32(file, 0, big);
    put32(file, 0, big);
    put32(file, snaplen, big);
    put32(file, link.linktype, big);

    int records = 0;
    bool inStep = true;         // every record so far says how long it is
    int largestFrame = 0;
    qint64 ms = 0;
    QByteArray lastRequest;
    QVector<Expected> expected;   // the datagrams the reader must find, in order
    for (; records < kMaxRecords && !in.empty(); ++records) {
        const uint8_t form = in.byte();
        const uint8_t frameByte = in.byte();
        const int count = in.take<quint16>() & 0x7FF;
        const uint8_t adjust = in.byte();
        ms += in.byte();

        QByteArray payload;
        if (form & 0x80) {
            const quint16 sequence = in.take<quint16>();
            payload = readRequest(sequence, kAreas[in.byte() % 23]);
        } else {
            if (form & 0x40)
                payload = lastRequest;
            payload += in.bytes(size_t(count));
        }

        QByteArray frame;
        bool clean = false;
        if ((form & 3) == 0) {
            frame = payload;
        } else {
            const int wrong = frameByte & 15;
            const int who = (frameByte >> 4) & 3;
            const quint32 ctrl = (frameByte & 0x80) ? kElsewhere : kController;
            const quint16 ctrlPort = (frameByte & 0x40) ? kOtherPort : kControllerPort;
            const quint32 client = who < 2 ? kClientA : kClientB;
            const quint16 clientPort = who < 2 ? kPortA : kPortB;
            const bool toController = who % 2 == 0;
            Expected e;
            e.timeUs = (kEpochSec + ms / 1000) * 1000000 + (ms % 1000) * 1000;
            e.src = toController ? client : ctrl;
            e.sport = toController ? clientPort : ctrlPort;
            e.dst = toController ? ctrl : client;
            e.dport = toController ? ctrlPort : clientPort;
            e.payload = payload;
            clean = buildFrame(link.kind, wrong, e.src, e.sport, e.dst, e.dport, payload, &frame);
            if (toController && !keyOf(payload).isEmpty())
                lastRequest = payload.left(16);
            clean = clean && inStep && !(form & 0x10) && quint32(frame.size()) <= effectiveSnap;
            if (clean)
                expected << e;
        }
        largestFrame = std::max(largestFrame, int(frame.size()));

        quint32 caplen = quint32(frame.size());
        if (form & 0x10) {
            caplen += quint32(adjust) << ((form & 0x20) ? 11 : 0);
            inStep = inStep && adjust == 0;
        }
        quint32 len = caplen;
        if (form & 4)
            len += adjust;
        if (form & 8)
            len -= std::min<quint32>(len, adjust);
        put32(file, quint32(kEpochSec + ms / 1000), big);
        put32(file, quint32(ms % 1000) * (nano ? 1000000 : 1000), big);
        put32(file, caplen, big);
        put32(file, len, big);
        file += frame;
    }

    const char *path = capturePath();
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(file.constData(), 1, size_t(file.size()), f) != size_t(file.size()) || fclose(f) != 0) {
        perror("fuzz_capture: writing the capture");
        abort();
    }

    Capture cap;
    QString error;
    const bool ok = readCapture(QString::fromLocal8Bit(path), &cap, &error);

    // The file.
    FUZZ_CHECK(!cap.linkType.isEmpty());
    if (link.kind == LinkChoice::Unsupported) {
        FUZZ_CHECK(!ok && cap.packets == 0 && cap.datagrams.isEmpty());
        FUZZ_CHECK_SAY(error.contains(QLatin1String("not one the simulator reads")), error);
        return 0;
    }
    if (!ok)
        FUZZ_CHECK_SAY(!error.isEmpty() && !inStep, error);
    if (inStep)
        FUZZ_CHECK_SAY(ok && cap.packets == records, QStringLiteral("%1 of %2: %3").arg(cap.packets).arg(records).arg(error));
    FUZZ_CHECK(cap.fragments >= 0 && cap.cutShort >= 0 && cap.other >= 0);
    FUZZ_CHECK_SAY(cap.skipped() + cap.datagrams.size() == cap.packets,
                   QStringLiteral("%1 + %2 of %3").arg(cap.skipped()).arg(cap.datagrams.size()).arg(cap.packets));

    // The datagrams: each fits in its frame, and those built whole are all
    // there, in order, as they were built.
    for (const CapturedDatagram &d : cap.datagrams) {
        if (inStep)
            FUZZ_CHECK_SAY(d.payload.size() + 28 <= largestFrame, num(d.payload.size()));
        FUZZ_CHECK(d.payload.size() <= 65535 - 28);
    }
    int found = 0;
    for (const CapturedDatagram &d : cap.datagrams)
        if (found < expected.size() && same(d, expected[found]))
            ++found;
    FUZZ_CHECK_SAY(found == expected.size(), QStringLiteral("%1 of %2").arg(found).arg(expected.size()));
    if (inStep)
        for (int i = 1; i < cap.datagrams.size(); ++i)
            FUZZ_CHECK(cap.datagrams[i].timeUs >= cap.datagrams[i - 1].timeUs);

    // The exchanges.
    const Recording rec = pairExchanges(cap.datagrams);
    int requestShaped = 0, firstRequest = -1;
    for (int i = 0; i < cap.datagrams.size(); ++i) {
        const QByteArray &p = cap.datagrams[i].payload;
        FUZZ_CHECK(requestKey(p) == keyOf(p));
        FUZZ_CHECK((requestKind(p) == RequestKind::None) == keyOf(p).isEmpty());
        if (requestKind(p) != RequestKind::None && firstRequest < 0)
            firstRequest = i;
    }
    FUZZ_CHECK(rec.found == (firstRequest >= 0));
    int fromController = 0;
    if (rec.found) {
        const CapturedDatagram &first = cap.datagrams[firstRequest];
        FUZZ_CHECK(rec.controllerAddr == first.dstAddr && rec.controllerPort == first.dstPort);
        for (const CapturedDatagram &d : cap.datagrams) {
            const bool toController = d.dstAddr == rec.controllerAddr && d.dstPort == rec.controllerPort;
            requestShaped += toController && requestKind(d.payload) != RequestKind::None;
            fromController += !toController && d.srcAddr == rec.controllerAddr;
        }
    }
    FUZZ_CHECK_SAY(rec.exchanges.size() == requestShaped, num(rec.exchanges.size()));
    FUZZ_CHECK(rec.answered() >= 0 && rec.unanswered() >= 0);
    FUZZ_CHECK(rec.answered() + rec.unanswered() == rec.exchanges.size());
    int answers = 0;
    for (const RecordedExchange &e : rec.exchanges) {
        FUZZ_CHECK(requestKind(e.request) != RequestKind::None);
        answers += e.answers.size();
        if (inStep)
            for (const RecordedAnswer &a : e.answers)
                FUZZ_CHECK_SAY(a.offsetUs >= 0, num(a.offsetUs));
    }
    FUZZ_CHECK_SAY(answers <= fromController, QStringLiteral("%1 of %2").arg(answers).arg(fromController));

    // Replay: recorded requests, the same with another sequence, a byte
    // changed or one short, and what is no request; twice round, against
    // the rule that each key takes its exchanges in turn.
    QVector<QByteArray> asked;
    for (int i = 0; i < rec.exchanges.size() && i < 16; ++i) {
        const QByteArray &q = rec.exchanges[i].request;
        asked << q;
        QByteArray other = q;
        setBE16(other, 4, quint16(qFromBigEndian<quint16>(reinterpret_cast<const uchar *>(q.constData()) + 4) + 0x0101));
        asked << other;
        QByteArray changed = q;
        changed[q.size() - 1] = char(changed[q.size() - 1] ^ 1);
        asked << changed << q.left(q.size() - 1);
    }
    asked << QByteArray() << in.rest().left(32);
    ReplayTable table(rec);
    QHash<QByteArray, QVector<int>> byKey;
    for (int i = 0; i < rec.exchanges.size(); ++i)
        byKey[keyOf(rec.exchanges[i].request)].append(i);
    QHash<QByteArray, int> next;
    for (int round = 0; round < 2; ++round) {
        for (const QByteArray &q : asked) {
            QVector<RecordedAnswer> got;
            got.append({1, QByteArray("stale")});
            const bool hit = table.answersFor(q, &got);
            const QByteArray key = keyOf(q);
            const bool known = !key.isEmpty() && byKey.contains(key);
            FUZZ_CHECK(hit == known);
            if (!hit) {
                FUZZ_CHECK(got.isEmpty());
                continue;
            }
            int &at = next[key];
            const RecordedExchange &e = rec.exchanges[byKey[key][at]];
            at = (at + 1) % byKey[key].size();
            FUZZ_CHECK_SAY(got.size() == e.answers.size(), QStringLiteral("%1 of %2").arg(got.size()).arg(e.answers.size()));
            for (int i = 0; i < got.size(); ++i) {
                QByteArray want = e.answers[i].bytes;
                if (requestKind(q) == RequestKind::Read && want.size() >= 6 && want.mid(4, 2) == e.request.mid(4, 2))
                    want.replace(4, 2, q.mid(4, 2));   // the echoed sequence is the new request's
                FUZZ_CHECK(got[i].offsetUs == e.answers[i].offsetUs);
                FUZZ_CHECK_SAY(got[i].bytes == want, QString::fromLatin1(got[i].bytes.toHex()));
            }
        }
    }
    return 0;
}
