// The simulator's --pcap capture: a writer of the datagrams it sees, internal
// to the simulator library.
#ifndef VESKOR_SIM_SIMPCAP_H
#define VESKOR_SIM_SIMPCAP_H

#include <QByteArray>
#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QtEndian>

#include <cstring>
#include <vector>

#include <pcap/pcap.h>

namespace veskorsim {

// Appends datagrams to a pcap file as raw IPv4 packets (LINKTYPE_RAW), one
// record per datagram, flushed after each so the file can be read live.
class PcapWriter
{
public:
    ~PcapWriter()
    {
        if (dumper)
            pcap_dump_close(dumper);
        if (dead)
            pcap_close(dead);
    }

    bool isOpen() const
    {
        QMutexLocker lock(&mutex);
        return dumper != nullptr;
    }

    bool open(const QString &path, QString *error)
    {
        QMutexLocker lock(&mutex);
        if (!dead)
            dead = pcap_open_dead(DLT_RAW, 65535);
        if (dead)
            dumper = pcap_dump_open(dead, QFile::encodeName(path).constData());
        if (!dumper) {
            if (error) {
                // libpcap's text names the file already: it is named once.
                QString why = dead ? QString::fromLocal8Bit(pcap_geterr(dead)) : QStringLiteral("out of memory");
                if (why.startsWith(path + QLatin1String(": ")))
                    why = why.mid(path.size() + 2);
                *error = QStringLiteral("cannot write pcap file %1: %2").arg(path, why);
            }
            return false;
        }
        return true;
    }

    void record(const QHostAddress &src, quint16 srcPort, const QHostAddress &dst, quint16 dstPort,
                const QByteArray &payload)
    {
        QMutexLocker lock(&mutex);
        if (!dumper)
            return;
        const int udpLen = 8 + payload.size();
        const int ipLen = 20 + udpLen;
        if (ipLen > 65535)
            return;   // cannot be an IPv4 datagram; never sent or received
        packet.resize(size_t(ipLen));
        uchar *ip = packet.data();
        ip[0] = 0x45;           // version 4, header length 5 words
        ip[1] = 0;              // DSCP/ECN
        qToBigEndian<quint16>(quint16(ipLen), ip + 2);
        qToBigEndian<quint16>(ipId++, ip + 4);
        qToBigEndian<quint16>(0x4000, ip + 6); // don't fragment
        ip[8] = 64;             // TTL
        ip[9] = 17;             // UDP
        ip[10] = ip[11] = 0;
        qToBigEndian<quint32>(src.toIPv4Address(), ip + 12);
        qToBigEndian<quint32>(dst.toIPv4Address(), ip + 16);
        quint32 sum = 0;
        for (int i = 0; i < 20; i += 2)
            sum += (quint32(ip[i]) << 8) | ip[i + 1];
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        qToBigEndian<quint16>(quint16(~sum), ip + 10);
        uchar *udp = ip + 20;
        qToBigEndian<quint16>(srcPort, udp);
        qToBigEndian<quint16>(dstPort, udp + 2);
        qToBigEndian<quint16>(quint16(udpLen), udp + 4);
        qToBigEndian<quint16>(0, udp + 6);  // no checksum
        std::memcpy(udp + 8, payload.constData(), size_t(payload.size()));

        pcap_pkthdr h = {};
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
        h.ts.tv_sec = time_t(us / 1000000);
        h.ts.tv_usec = suseconds_t(us % 1000000);
        h.caplen = h.len = bpf_u_int32(ipLen);
        pcap_dump(reinterpret_cast<u_char *>(dumper), &h, ip);
        pcap_dump_flush(dumper);
    }

private:
    mutable QMutex mutex;
    pcap_t *dead = nullptr;          // no capture: only the link type for the dumper
    pcap_dumper_t *dumper = nullptr;
    std::vector<uchar> packet;
    quint16 ipId = 1;
};

} // namespace veskorsim

#endif
