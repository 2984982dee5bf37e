#include "Capture.h"

#include <QFile>
#include <QtEndian>

#include <pcap/pcap.h>

#include <memory>

namespace veskorsim {

namespace {

constexpr int kReadSize = 16;
constexpr int kWriteHeader = 11;

constexpr quint16 kEtherIPv4 = 0x0800;
constexpr quint16 kEtherVlan = 0x8100;     // 802.1Q
constexpr quint16 kEtherQinQ = 0x88a8;     // 802.1ad
constexpr quint16 kEtherQinQOld = 0x9100;  // 802.1ad before it was assigned

// Where the IPv4 header of a frame starts, as far as the link layer tells.
enum class Link { IPv4, NotIPv4, Short };

Link ipv4Start(int dlt, const uchar *p, quint32 caplen, quint32 *offset)
{
    auto have = [caplen](quint32 n) { return caplen >= n; };
    switch (dlt) {
    case DLT_EN10MB: {
        quint32 at = 12;   // the ethertype after the two MAC addresses
        for (;;) {
            if (!have(at + 2))
                return Link::Short;
            const quint16 type = qFromBigEndian<quint16>(p + at);
            if (type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld) {
                at += 4;
                continue;
            }
            *offset = at + 2;
            return type == kEtherIPv4 ? Link::IPv4 : Link::NotIPv4;
        }
    }
    case DLT_LINUX_SLL:
        if (!have(16))
            return Link::Short;
        *offset = 16;
        return qFromBigEndian<quint16>(p + 14) == kEtherIPv4 ? Link::IPv4 : Link::NotIPv4;
#ifdef DLT_LINUX_SLL2
    case DLT_LINUX_SLL2:
        if (!have(20))
            return Link::Short;
        *offset = 20;
        return qFromBigEndian<quint16>(p) == kEtherIPv4 ? Link::IPv4 : Link::NotIPv4;
#endif
    case DLT_NULL:
    case DLT_LOOP: {
        // The address family, in the capturing machine's byte order (NULL)
        // or in network order (LOOP); files of either are seen with both.
        if (!have(4))
            return Link::Short;
        *offset = 4;
        const bool inet = qFromLittleEndian<quint32>(p) == 2 || qFromBigEndian<quint32>(p) == 2;
        return inet ? Link::IPv4 : Link::NotIPv4;
    }
    default:   // DLT_RAW, DLT_IPV4: the packet is the IP header on
        *offset = 0;
        return Link::IPv4;
    }
}

bool supported(int dlt)
{
    switch (dlt) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
#ifdef DLT_LINUX_SLL2
    case DLT_LINUX_SLL2:
#endif
#ifdef DLT_IPV4
    case DLT_IPV4:
#endif
    case DLT_RAW:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

// Takes one captured frame into out: a datagram, or a count of what was skipped.
void take(int dlt, const pcap_pkthdr &h, const uchar *p, Capture *out)
{
    // Too few bytes count as cut short when the snap length cut them off,
    // and as malformed when the packet really was that short.
    const bool cut = h.caplen < h.len;
    auto shortOf = [out, cut] { ++(cut ? out->cutShort : out->other); };
    quint32 at = 0;
    switch (ipv4Start(dlt, p, h.caplen, &at)) {
    case Link::Short:
        shortOf();
        return;
    case Link::NotIPv4:
        ++out->other;
        return;
    case Link::IPv4:
        break;
    }
    const quint32 avail = h.caplen - at;
    const uchar *ip = p + at;
    if (avail < 20) {
        shortOf();
        return;
    }
    const quint32 ihl = quint32(ip[0] & 0x0f) * 4;
    const quint32 total = qFromBigEndian<quint16>(ip + 2);
    if ((ip[0] >> 4) != 4 || ihl < 20 || total < ihl || ip[9] != 17) {
        ++out->other;
        return;
    }
    if ((qFromBigEndian<quint16>(ip + 6) & 0x3fff) != 0) {   // more fragments, or an offset
        ++out->fragments;
        return;
    }
    if (total > avail) {
        shortOf();
        return;
    }
    const uchar *udp = ip + ihl;
    const quint32 udpLen = total >= ihl + 8 ? qFromBigEndian<quint16>(udp + 4) : 0;
    if (udpLen < 8 || ihl + udpLen > total) {
        ++out->other;
        return;
    }
    CapturedDatagram d;
    d.timeUs = qint64(h.ts.tv_sec) * 1000000 + qint64(h.ts.tv_usec);
    d.srcAddr = qFromBigEndian<quint32>(ip + 12);
    d.dstAddr = qFromBigEndian<quint32>(ip + 16);
    d.srcPort = qFromBigEndian<quint16>(udp);
    d.dstPort = qFromBigEndian<quint16>(udp + 2);
    d.payload = QByteArray(reinterpret_cast<const char *>(udp + 8), int(udpLen - 8));
    out->datagrams.append(d);
}

struct PcapClose {
    void operator()(pcap_t *p) const { pcap_close(p); }
};

quint64 endpointKey(quint32 addr, quint16 port)
{
    return (quint64(addr) << 16) | port;
}

} // namespace

bool readCapture(const QString &path, Capture *out, QString *error)
{
    *out = Capture();
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("capture %1: %2").arg(path, why);
        return false;
    };
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    std::unique_ptr<pcap_t, PcapClose> pc(pcap_open_offline_with_tstamp_precision(
        QFile::encodeName(path).constData(), PCAP_TSTAMP_PRECISION_MICRO, errbuf));
    if (!pc) {
        // libpcap names the file itself when it cannot open it.
        QString why = QString::fromLocal8Bit(errbuf);
        if (why.startsWith(path + QLatin1String(": ")))
            why.remove(0, path.size() + 2);
        return fail(why);
    }
    const int dlt = pcap_datalink(pc.get());
    const char *name = pcap_datalink_val_to_name(dlt);
    out->linkType = name ? QString::fromLatin1(name) : QString::number(dlt);
    if (!supported(dlt))
        return fail(QStringLiteral("link type %1 (%2) is not one the simulator reads (EN10MB, "
                                   "LINUX_SLL, LINUX_SLL2, RAW, IPV4, NULL, LOOP)")
                        .arg(out->linkType)
                        .arg(dlt));
    pcap_pkthdr *h = nullptr;
    const u_char *data = nullptr;
    int rc;
    while ((rc = pcap_next_ex(pc.get(), &h, &data)) == 1) {
        ++out->packets;
        take(dlt, *h, data, out);
    }
    if (rc == PCAP_ERROR)
        return fail(QString::fromLocal8Bit(pcap_geterr(pc.get())));
    return true;
}

RequestKind requestKind(const QByteArray &d)
{
    const uchar *b = reinterpret_cast<const uchar *>(d.constData());
    if (d.size() == kReadSize && b[0] == 0x4D && b[1] == 0x52)
        return RequestKind::Read;
    if (d.size() >= kWriteHeader && b[0] == 0x02 && b[1] == 0x01 && b[2] == 0x01 && b[3] == 0x00)
        return RequestKind::Write;
    return RequestKind::None;
}

QByteArray requestKey(const QByteArray &request)
{
    switch (requestKind(request)) {
    case RequestKind::Read: {
        QByteArray key = request;
        key[4] = key[5] = '\0';
        return key;
    }
    case RequestKind::Write:
        return request;
    case RequestKind::None:
        break;
    }
    return QByteArray();
}

int Recording::answered() const
{
    int n = 0;
    for (const RecordedExchange &e : exchanges)
        n += e.answers.isEmpty() ? 0 : 1;
    return n;
}

int Recording::unanswered() const
{
    return exchanges.size() - answered();
}

Recording pairExchanges(const QVector<CapturedDatagram> &datagrams)
{
    Recording r;
    for (const CapturedDatagram &d : datagrams) {
        if (requestKind(d.payload) != RequestKind::None) {
            r.found = true;
            r.controllerAddr = d.dstAddr;
            r.controllerPort = d.dstPort;
            break;
        }
    }
    if (!r.found)
        return r;
    QHash<quint64, int> open;   // client endpoint -> its latest exchange
    for (const CapturedDatagram &d : datagrams) {
        const bool toController = d.dstAddr == r.controllerAddr && d.dstPort == r.controllerPort;
        if (toController) {
            if (requestKind(d.payload) == RequestKind::None)
                continue;
            RecordedExchange e;
            e.request = d.payload;
            e.clientAddr = d.srcAddr;
            e.clientPort = d.srcPort;
            e.timeUs = d.timeUs;
            open.insert(endpointKey(d.srcAddr, d.srcPort), r.exchanges.size());
            r.exchanges.append(e);
        } else if (d.srcAddr == r.controllerAddr) {
            const auto it = open.constFind(endpointKey(d.dstAddr, d.dstPort));
            if (it == open.constEnd())
                continue;
            RecordedExchange &e = r.exchanges[it.value()];
            e.answers.append({d.timeUs - e.timeUs, d.payload});
        }
    }
    return r;
}

ReplayTable::ReplayTable(const Recording &recording) : m_exchanges(recording.exchanges)
{
    for (int i = 0; i < m_exchanges.size(); ++i)
        m_byKey[requestKey(m_exchanges[i].request)].append(i);
}

bool ReplayTable::answersFor(const QByteArray &request, QVector<RecordedAnswer> *answers)
{
    answers->clear();
    const QByteArray key = requestKey(request);
    const auto it = m_byKey.constFind(key);
    if (key.isEmpty() || it == m_byKey.constEnd())
        return false;
    int &next = m_next[key];
    const RecordedExchange &e = m_exchanges[it.value().at(next)];
    next = (next + 1) % it.value().size();
    *answers = e.answers;
    if (requestKind(request) == RequestKind::Read) {
        const QByteArray recordedSeq = e.request.mid(4, 2);
        const QByteArray seq = request.mid(4, 2);
        for (RecordedAnswer &a : *answers)
            if (a.bytes.size() >= 6 && a.bytes.mid(4, 2) == recordedSeq)
                a.bytes.replace(4, 2, seq);
    }
    return true;
}

} // namespace veskorsim
