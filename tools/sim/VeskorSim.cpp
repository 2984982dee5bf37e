#include "VeskorSim.h"

#include "Capture.h"
#include "protocol/CmdVESKOR.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QObject>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <QWaitCondition>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <pcap/pcap.h>

namespace veskorsim {

const int kReplayMaxDelayMs = CmdVESKOR::kAnswerWaitMs;

namespace {

const QVector<AreaInfo> kAreas = {
    {"ID1x", 0x20009700u},  {"ID2x", 0x10009200u},  {"ID3x", 0x40018000u},
    {"ID4x", 0x30008200u},  {"ID5x", 0x10008800u},  {"ID6x", 0x10008200u},
    {"ID7x", 0x30009700u},  {"ID8x", 0x50008200u},  {"ID9x", 0x40008200u},
    {"ID10x", 0xC0008200u}, {"ID11x", 0xA0008200u}, {"ID12x", 0x50008800u},
    {"ID13x", 0xA0009700u}, {"ID14x", 0xD0008200u}, {"ID15x", 0xE0008200u},
    {"ID16x", 0xD1008200u}, {"ID17x", 0xE1008200u}, {"ID18x", 0xD2008200u},
    {"ID19x", 0xE2008200u}, {"ID20x", 0xD3008200u}, {"ID21x", 0xE3008200u},
    {"ID22x", 0xD4008200u}, {"ID23x", 0xE4008200u},
};

// Kinds tried by the random choice, in this order; the first hit wins.
const Fault kRandomKinds[] = {Fault::Drop,     Fault::Delay,        Fault::Duplicate,
                              Fault::Truncate, Fault::CorruptMagic, Fault::CorruptEcho,
                              Fault::ForeignPort};

int areaIndex(quint32 code)
{
    for (int i = 0; i < kAreas.size(); ++i)
        if (kAreas[i].code == code)
            return i;
    return -1;
}

constexpr int kWriteHeader = 11;
constexpr int kTruncatedRead = 8;   // shorter than the answer header
constexpr int kTruncatedWrite = 1;

// A write's 24-bit address or length: bits 16-23, 0-7, 8-15.
quint32 wireField24(const uchar *p)
{
    return (quint32(p[0]) << 16) | quint32(p[1]) | (quint32(p[2]) << 8);
}

QString hexPreview(const QByteArray &bytes, int max = 32)
{
    QString s = QString::fromLatin1(bytes.left(max).toHex());
    if (bytes.size() > max)
        s += QLatin1String("...");
    return s;
}

QString endpoint(const QHostAddress &a, quint16 port)
{
    return a.toString() + QLatin1Char(':') + QString::number(port);
}

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

} // namespace

const QVector<AreaInfo> &areaTable()
{
    return kAreas;
}

quint32 areaCodeOf(const QString &name)
{
    for (const AreaInfo &a : kAreas)
        if (name.compare(QLatin1String(a.name), Qt::CaseInsensitive) == 0)
            return a.code;
    return 0;
}

QString areaNameOf(quint32 code)
{
    const int i = areaIndex(code);
    return i < 0 ? QString() : QString::fromLatin1(kAreas[i].name);
}

QString faultName(Fault f)
{
    switch (f) {
    case Fault::None: return QStringLiteral("None");
    case Fault::Drop: return QStringLiteral("Drop");
    case Fault::Delay: return QStringLiteral("Delay");
    case Fault::Duplicate: return QStringLiteral("Duplicate");
    case Fault::Truncate: return QStringLiteral("Truncate");
    case Fault::CorruptMagic: return QStringLiteral("CorruptMagic");
    case Fault::CorruptEcho: return QStringLiteral("CorruptEcho");
    case Fault::ForeignPort: return QStringLiteral("ForeignPort");
    }
    return QString();
}

bool faultFromName(const QString &name, Fault *out)
{
    QString key = name.toLower();
    key.remove(QLatin1Char('-'));
    key.remove(QLatin1Char('_'));
    const Fault all[] = {Fault::None,     Fault::Drop,         Fault::Delay,
                         Fault::Duplicate, Fault::Truncate,    Fault::CorruptMagic,
                         Fault::CorruptEcho, Fault::ForeignPort};
    for (Fault f : all) {
        if (faultName(f).toLower() == key) {
            if (out)
                *out = f;
            return true;
        }
    }
    return false;
}

class SimThread;

// The simulator's state, shared between its thread and the callers.
struct SimCore
{
    explicit SimCore(const SimConfig &c) : config(c), rng(c.seed)
    {
        config.areaSize = std::clamp(config.areaSize, 0, kMaxAreaSize);
        memory.resize(kAreas.size());
        for (QByteArray &m : memory)
            m = QByteArray(config.areaSize, '\0');
    }

    // Everything below `mutex` is shared between the simulator thread and callers.
    SimConfig config;
    mutable QMutex mutex;
    mutable QWaitCondition changed;   // received list or pending count changed
    QVector<QByteArray> memory;
    QList<Fault> queued;
    std::mt19937 rng;
    SimStats stats;
    QList<QByteArray> received;
    int receivedCount = 0;            // counted even when not kept
    QHostAddress lastClient;
    quint16 lastClientPort = 0;
    QHostAddress lastLocal;           // address the last client reached us on
    int pending = 0;
    QHostAddress boundAddress;
    quint16 boundPort = 0;

    // Serialises start, stop and sendUnsolicited.
    QMutex control;
    SimThread *thread = nullptr;
    std::atomic<bool> running{false};

    PcapWriter pcap;

    // Replay: read at the first start, then only used on the simulator thread
    // (under mutex all the same, its cursors survive a restart).
    bool replayLoaded = false;
    ReplayTable replay;
    ReplayInfo replayInfo;

    Fault nextFault(bool isRead);       // call with mutex held
    void log(const QString &line) const
    {
        if (!config.verbose)
            return;
        const QByteArray l = line.toLocal8Bit();
        std::fprintf(stderr, "%s\n", l.constData());
        std::fflush(stderr);
    }
};

Fault SimCore::nextFault(bool isRead)
{
    Fault f = Fault::None;
    if (!queued.isEmpty()) {
        f = queued.takeFirst();
    } else {
        for (Fault kind : kRandomKinds) {
            const double rate = config.faultRates.value(kind, 0.0);
            if (rate <= 0.0)
                continue;
            const double u = double(rng()) / 4294967296.0;
            if (u < rate) {
                f = kind;
                break;
            }
        }
    }
    if (!isRead && (f == Fault::CorruptMagic || f == Fault::CorruptEcho))
        f = Fault::None;
    if (f != Fault::None)
        ++stats.faults[f];
    return f;
}

// The simulator thread: owns the sockets and answers from its event loop.
class SimThread : public QThread
{
public:
    SimThread(SimCore *p, const QHostAddress &a, quint16 port)
        : p(p), bindAddress(a), bindPort(port)
    {
    }

    SimCore *p;
    QHostAddress bindAddress;
    quint16 bindPort;

    QSemaphore ready;
    bool bound = false;
    QString error;
    quint16 boundPort = 0;

    // Valid while the event loop runs.
    QUdpSocket *sock = nullptr;
    QUdpSocket *foreign = nullptr;
    QUdpSocket *answers = nullptr;   // what answers go out of: sock or the answer port's
    QObject *timers = nullptr;
    std::deque<QTimer *> held;   // timers of delayed answers, oldest first

    void sendFrom(QUdpSocket *s, const QByteArray &bytes, const QHostAddress &to, quint16 port)
    {
        // Captured and counted first, so whoever receives it finds it there.
        QHostAddress local = s->localAddress();
        {
            QMutexLocker lock(&p->mutex);
            if (local == QHostAddress(QHostAddress::AnyIPv4))
                local = p->lastLocal.isNull() ? QHostAddress(QHostAddress::LocalHost) : p->lastLocal;
            ++p->stats.sent;
        }
        p->pcap.record(local, s->localPort(), to, port, bytes);
        s->writeDatagram(bytes, to, port);
    }

protected:
    void run() override
    {
        QUdpSocket mainSocket;
        QUdpSocket foreignSocket;
        QUdpSocket answerSocket;
        QObject timerParent;
        const quint16 answerPort = p->config.answerPort;
        bound = mainSocket.bind(bindAddress, bindPort, QAbstractSocket::DontShareAddress);
        if (!bound) {
            error = QStringLiteral("cannot listen on %1: %2")
                        .arg(endpoint(bindAddress, bindPort), mainSocket.errorString());
        } else if (!foreignSocket.bind(bindAddress, 0, QAbstractSocket::DontShareAddress)) {
            bound = false;
            error = QStringLiteral("cannot bind a second socket on %1: %2")
                        .arg(bindAddress.toString(), foreignSocket.errorString());
        } else if (answerPort
                   && !answerSocket.bind(bindAddress, answerPort, QAbstractSocket::DontShareAddress)) {
            bound = false;
            error = QStringLiteral("cannot bind the answer port %1: %2")
                        .arg(endpoint(bindAddress, answerPort), answerSocket.errorString());
        }
        if (!bound) {
            ready.release();
            return;
        }
        boundPort = mainSocket.localPort();
        sock = &mainSocket;
        foreign = &foreignSocket;
        answers = answerPort ? &answerSocket : &mainSocket;
        timers = &timerParent;
        QObject::connect(&mainSocket, &QUdpSocket::readyRead, &mainSocket, [this] {
            while (sock->hasPendingDatagrams())
                handle(sock->receiveDatagram());
        });
        // Report readiness from inside the event loop, so a stop() right after
        // start() cannot get lost before exec() runs.
        QMetaObject::invokeMethod(&mainSocket, [this] { ready.release(); }, Qt::QueuedConnection);
        exec();
        // Delayed answers not yet sent go with their timers.
        held.clear();
        for (QObject *t : timerParent.children())
            delete t;
        sock = nullptr;
        foreign = nullptr;
        answers = nullptr;
        timers = nullptr;
        QMutexLocker lock(&p->mutex);
        p->pending = 0;
        p->changed.wakeAll();
    }

private:
    void handle(const QNetworkDatagram &dg)
    {
        if (!dg.isValid())
            return;
        const QByteArray data = dg.data();
        const QHostAddress peer(dg.senderAddress().toIPv4Address());
        const quint16 peerPort = quint16(dg.senderPort());
        QHostAddress local = dg.destinationAddress();
        if (local.isNull() || local.protocol() != QAbstractSocket::IPv4Protocol
            || local == QHostAddress(QHostAddress::AnyIPv4))
            local = sock->localAddress();
        else
            local = QHostAddress(local.toIPv4Address());
        p->pcap.record(peer, peerPort, local, sock->localPort(), data);
        {
            QMutexLocker lock(&p->mutex);
            if (p->config.keepReceived)
                p->received.append(data);
            ++p->receivedCount;
            p->lastClient = peer;
            p->lastClientPort = peerPort;
            p->lastLocal = local;
            p->changed.wakeAll();
        }

        const RequestKind kind = requestKind(data);
        if (kind != RequestKind::None && !p->config.replayPath.isEmpty())
            handleReplay(data, kind, peer, peerPort);
        else if (kind == RequestKind::Read)
            handleRead(data, peer, peerPort);
        else if (kind == RequestKind::Write)
            handleWrite(data, peer, peerPort);
        else {
            {
                QMutexLocker lock(&p->mutex);
                ++p->stats.unknown;
            }
            p->log(QStringLiteral("unknown %1 bytes from %2 data=%3 -> ignored")
                       .arg(data.size())
                       .arg(endpoint(peer, peerPort), hexPreview(data)));
        }
    }

    void handleRead(const QByteArray &req, const QHostAddress &peer, quint16 peerPort)
    {
        const uchar *b = reinterpret_cast<const uchar *>(req.constData());
        const quint16 seq = qFromLittleEndian<quint16>(b + 4);
        const quint32 code = qFromBigEndian<quint32>(b + 8);
        const quint32 dev = qFromLittleEndian<quint32>(b + 12);
        const int idx = areaIndex(code);
        const QString name = idx < 0 ? QStringLiteral("?") : QString::fromLatin1(kAreas[idx].name);
        QString line = QStringLiteral("read  seq=%1 area=%2(0x%3) dev=%4")
                           .arg(seq)
                           .arg(name)
                           .arg(code, 8, 16, QLatin1Char('0'))
                           .arg(dev);
        if (p->config.device && dev != *p->config.device) {
            {
                QMutexLocker lock(&p->mutex);
                ++p->stats.otherDevice;
            }
            p->log(line + QStringLiteral(" is not this controller's (%1) -> ignored")
                              .arg(*p->config.device));
            return;
        }
        QByteArray answer;
        Fault f;
        {
            QMutexLocker lock(&p->mutex);
            if (idx < 0) {
                answer = req;
                answer[0] = 'E';
            } else {
                answer = req + p->memory[idx];
            }
            ++p->stats.reads;
            f = p->nextFault(true);
        }
        if (p->config.noEcho)
            answer[4] = answer[5] = '\0';
        line += QStringLiteral(" -> ");
        line += idx < 0 ? QStringLiteral("error answer, not an area")
                        : QStringLiteral("%1 bytes").arg(answer.size());
        deliver(answer, peer, peerPort, f, true, line);
    }

    void handleWrite(const QByteArray &req, const QHostAddress &peer, quint16 peerPort)
    {
        const uchar *b = reinterpret_cast<const uchar *>(req.constData());
        const quint32 addr = wireField24(b + 5);
        const quint32 len = wireField24(b + 8);
        const int present = req.size() - kWriteHeader;
        const int n = int(std::min<quint32>(len, quint32(present)));
        const char *src = req.constData() + kWriteHeader;
        int stored = 0;
        Fault f;
        {
            QMutexLocker lock(&p->mutex);
            const int size = p->config.areaSize;
            if (addr < quint32(size)) {
                stored = std::min(n, size - int(addr));
                for (QByteArray &m : p->memory)
                    std::memcpy(m.data() + addr, src, size_t(stored));
            }
            ++p->stats.writes;
            f = p->nextFault(false);
        }
        QString line = QStringLiteral("write addr=%1 len=%2").arg(addr).arg(len);
        if (quint32(n) < len)
            line += QStringLiteral(" (%1 present)").arg(n);
        line += QStringLiteral(" data=%1 -> ack").arg(hexPreview(req.mid(kWriteHeader, n)));
        if (stored < n)
            line += QStringLiteral(", %1 bytes stored (area end)").arg(stored);
        deliver(req.left(kWriteHeader), peer, peerPort, f, false, line);
    }

    struct Timed {
        qint64 atMs;       // after now
        QByteArray bytes;
    };

    // Sends the datagrams each at its time, in order, from one timer that
    // counts as one pending answer. A bounded number of them is held: past
    // it the oldest goes, so that a long delay cannot eat the machine's memory.
    void sendTimed(QUdpSocket *s, const QVector<Timed> &items, const QHostAddress &peer,
                   quint16 peerPort)
    {
        if (items.isEmpty())
            return;
        if (held.size() >= size_t(kMaxHeldAnswers)) {
            delete held.front();
            held.pop_front();
            quint64 dropped;
            {
                QMutexLocker lock(&p->mutex);
                --p->pending;
                dropped = ++p->stats.heldDropped;
            }
            if (dropped == 1 || dropped % 1000 == 0)
                std::fprintf(stderr, "veskor-sim: %d delayed answers held: dropped the oldest "
                                     "(%llu so far)\n", kMaxHeldAnswers, (unsigned long long)dropped);
        }
        {
            QMutexLocker lock(&p->mutex);
            ++p->pending;
        }
        auto *t = new QTimer(timers);
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
        held.push_back(t);
        QElapsedTimer clock;
        clock.start();
        auto next = std::make_shared<int>(0);
        QObject::connect(t, &QTimer::timeout, t, [this, t, s, items, peer, peerPort, clock, next] {
            const qint64 now = clock.elapsed();
            while (*next < items.size() && items[*next].atMs <= now)
                sendFrom(s, items[(*next)++].bytes, peer, peerPort);
            if (*next < items.size()) {
                t->start(int(items[*next].atMs - now));
                return;
            }
            const auto it = std::find(held.begin(), held.end(), t);   // usually the first
            if (it != held.end())
                held.erase(it);
            t->deleteLater();
            QMutexLocker lock(&p->mutex);
            --p->pending;
            p->changed.wakeAll();
        });
        t->start(int(std::max<qint64>(0, items.first().atMs)));
    }

    // "read seq=5 area=ID4x dev=1", "write addr=300 len=2"
    static QString describe(const QByteArray &req, RequestKind kind)
    {
        const uchar *b = reinterpret_cast<const uchar *>(req.constData());
        if (kind == RequestKind::Read) {
            const quint32 code = qFromBigEndian<quint32>(b + 8);
            const QString name = areaNameOf(code);
            return QStringLiteral("read seq=%1 area=%2 dev=%3")
                .arg(qFromLittleEndian<quint16>(b + 4))
                .arg(name.isEmpty() ? QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0')) : name)
                .arg(qFromLittleEndian<quint32>(b + 12));
        }
        const quint32 addr = wireField24(b + 5);
        const quint32 len = wireField24(b + 8);
        return QStringLiteral("write addr=%1 len=%2").arg(addr).arg(len);
    }

    // A recorded delay past the driver's wait: counted, and told the first time.
    void capDelay(const QString &what, qint64 recordedUs)
    {
        quint64 capped;
        {
            QMutexLocker lock(&p->mutex);
            capped = ++p->stats.replayCapped;
        }
        if (capped > 1)
            return;
        std::fprintf(stderr,
                     "veskor-sim: replay: the answer to %s was recorded %.3f s after its request: "
                     "sent after %d ms, the driver's wait (and so is any later one recorded that late)\n",
                     qPrintable(what), double(recordedUs) / 1e6, kReplayMaxDelayMs);
        std::fflush(stderr);
    }

    void handleReplay(const QByteArray &req, RequestKind kind, const QHostAddress &peer,
                      quint16 peerPort)
    {
        QVector<RecordedAnswer> recorded;
        bool found;
        {
            QMutexLocker lock(&p->mutex);
            found = p->replay.answersFor(req, &recorded);
            if (!found)
                ++p->stats.replayUnmatched;
            else if (kind == RequestKind::Read)
                ++p->stats.reads;
            else
                ++p->stats.writes;
        }
        const QString what = describe(req, kind);
        if (!found) {
            // Always told: a replay that meets a request it has no answer
            // for is not the session that was recorded.
            std::fprintf(stderr, "veskor-sim: replay: nothing recorded for %s: not answered\n",
                         qPrintable(what));
            std::fflush(stderr);
            return;
        }
        if (p->config.replayTiming) {
            QVector<Timed> items;
            for (const RecordedAnswer &a : recorded) {
                qint64 ms = std::max<qint64>(0, (a.offsetUs + 500) / 1000);
                if (ms > kReplayMaxDelayMs) {
                    capDelay(what, a.offsetUs);
                    ms = kReplayMaxDelayMs;
                }
                items.append({ms, a.bytes});
            }
            sendTimed(answers, items, peer, peerPort);
        } else {
            for (const RecordedAnswer &a : recorded)
                sendFrom(answers, a.bytes, peer, peerPort);
        }
        p->log(QStringLiteral("replay %1 -> %2").arg(what,
            recorded.isEmpty() ? QStringLiteral("recorded without an answer")
                               : QStringLiteral("%1 datagram(s) as recorded").arg(recorded.size())));
    }

    void deliver(QByteArray answer, const QHostAddress &peer, quint16 peerPort, Fault f,
                 bool isRead, QString line)
    {
        if (f != Fault::None)
            line += QStringLiteral(", fault ") + faultName(f);
        switch (f) {
        case Fault::None:
            sendFrom(answers, answer, peer, peerPort);
            break;
        case Fault::Drop:
            break;
        case Fault::Delay: {
            int ms;
            {
                QMutexLocker lock(&p->mutex);
                ms = p->config.delayMs;
            }
            line += QStringLiteral(" %1 ms").arg(ms);
            sendTimed(answers, {{ms, answer}}, peer, peerPort);
            break;
        }
        case Fault::Duplicate:
            sendFrom(answers, answer, peer, peerPort);
            sendFrom(answers, answer, peer, peerPort);
            break;
        case Fault::Truncate:
            sendFrom(answers, answer.left(isRead ? kTruncatedRead : kTruncatedWrite), peer, peerPort);
            break;
        case Fault::CorruptMagic:
            if (isRead)
                answer[0] = char(0x4E);
            sendFrom(answers, answer, peer, peerPort);
            break;
        case Fault::CorruptEcho:
            if (isRead && answer.size() > 12)
                answer[12] = char(answer[12] ^ 0xFF);
            sendFrom(answers, answer, peer, peerPort);
            break;
        case Fault::ForeignPort:
            sendFrom(foreign, answer, peer, peerPort);
            break;
        }
        p->log(line);
    }
};

class Simulator::Private : public SimCore
{
public:
    using SimCore::SimCore;
};

Simulator::Simulator(const SimConfig &config) : d(new Private(config)) {}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start(QString *error)
{
    QMutexLocker control(&d->control);
    if (d->thread)
        return true;
    QHostAddress addr = d->config.address;
    if (addr == QHostAddress(QHostAddress::Any))
        addr = QHostAddress(QHostAddress::AnyIPv4);
    if (addr.protocol() != QAbstractSocket::IPv4Protocol) {
        if (error)
            *error = QStringLiteral("%1 is not an IPv4 address").arg(addr.toString());
        return false;
    }
    quint16 port;
    {
        QMutexLocker lock(&d->mutex);
        port = d->boundPort ? d->boundPort : d->config.port;
    }
    // The capture to replay is read before the pcap file is created: both may
    // be the same file.
    if (!d->config.replayPath.isEmpty() && !d->replayLoaded) {
        Capture capture;
        if (!readCapture(d->config.replayPath, &capture, error))
            return false;
        const Recording recording = pairExchanges(capture.datagrams);
        if (recording.exchanges.isEmpty()) {
            if (error)
                *error = QStringLiteral("capture %1: no read or write request among its %2 "
                                        "UDP/IPv4 datagrams (%3 packets)")
                             .arg(d->config.replayPath)
                             .arg(capture.datagrams.size())
                             .arg(capture.packets);
            return false;
        }
        QMutexLocker lock(&d->mutex);
        ReplayInfo &info = d->replayInfo;
        info.path = d->config.replayPath;
        info.linkType = capture.linkType;
        info.controller = QHostAddress(recording.controllerAddr);
        info.controllerPort = recording.controllerPort;
        info.requests = recording.exchanges.size();
        info.answered = recording.answered();
        info.unanswered = recording.unanswered();
        info.packets = capture.packets;
        info.skipped = capture.skipped();
        d->replay = ReplayTable(recording);
        d->replayLoaded = true;
    }
    if (!d->config.pcapPath.isEmpty() && !d->pcap.isOpen()) {
        if (!d->pcap.open(d->config.pcapPath, error))
            return false;
    }
    auto *t = new SimThread(d.get(), addr, port);
    t->start();
    t->ready.acquire();
    if (!t->bound) {
        t->wait();
        if (error)
            *error = t->error;
        delete t;
        return false;
    }
    {
        QMutexLocker lock(&d->mutex);
        d->boundAddress = addr;
        d->boundPort = t->boundPort;
    }
    d->thread = t;
    d->running = true;
    return true;
}

void Simulator::stop()
{
    QMutexLocker control(&d->control);
    if (!d->thread)
        return;
    d->thread->quit();
    d->thread->wait();
    delete d->thread;
    d->thread = nullptr;
    d->running = false;
}

bool Simulator::isRunning() const
{
    return d->running;
}

QHostAddress Simulator::address() const
{
    QMutexLocker lock(&d->mutex);
    return d->boundAddress;
}

quint16 Simulator::port() const
{
    QMutexLocker lock(&d->mutex);
    return d->boundPort;
}

ReplayInfo Simulator::replayInfo() const
{
    QMutexLocker lock(&d->mutex);
    return d->replayInfo;
}

QByteArray Simulator::area(quint32 code) const
{
    const int i = areaIndex(code);
    if (i < 0)
        return QByteArray();
    QMutexLocker lock(&d->mutex);
    return d->memory[i];
}

bool Simulator::setArea(quint32 code, int offset, const QByteArray &bytes)
{
    const int i = areaIndex(code);
    if (i < 0 || offset < 0)
        return false;
    QMutexLocker lock(&d->mutex);
    if (qint64(offset) + bytes.size() > d->config.areaSize)
        return false;
    d->memory[i].replace(offset, bytes.size(), bytes);
    return true;
}

void Simulator::fillAll(char byte)
{
    QMutexLocker lock(&d->mutex);
    for (QByteArray &m : d->memory)
        m.fill(byte);
}

int Simulator::areaSize() const
{
    return d->config.areaSize;   // fixed at construction
}

void Simulator::queueFault(Fault f)
{
    QMutexLocker lock(&d->mutex);
    d->queued.append(f);
}

void Simulator::setFaultRate(Fault f, double probability)
{
    QMutexLocker lock(&d->mutex);
    d->config.faultRates[f] = std::clamp(probability, 0.0, 1.0);
}

void Simulator::setDelayMs(int ms)
{
    QMutexLocker lock(&d->mutex);
    d->config.delayMs = std::max(0, ms);
}

void Simulator::sendUnsolicited(const QByteArray &datagram, const QHostAddress &to, quint16 port)
{
    QMutexLocker control(&d->control);
    SimThread *t = d->thread;
    if (!t)
        return;
    QHostAddress peer = to;
    quint16 peerPort = port;
    if (peerPort == 0) {
        QMutexLocker lock(&d->mutex);
        peer = d->lastClient;
        peerPort = d->lastClientPort;
    }
    if (peerPort == 0 || peer.isNull())
        return;
    const QString line = QStringLiteral("unsolicited %1 bytes to %2 data=%3")
                             .arg(datagram.size())
                             .arg(endpoint(peer, peerPort), hexPreview(datagram));
    auto send = [t, datagram, peer, peerPort] { t->sendFrom(t->sock, datagram, peer, peerPort); };
    if (QThread::currentThread() == t)
        send();
    else
        QMetaObject::invokeMethod(t->sock, send, Qt::BlockingQueuedConnection);
    d->log(line);
}

SimStats Simulator::stats() const
{
    QMutexLocker lock(&d->mutex);
    return d->stats;
}

void Simulator::resetStats()
{
    QMutexLocker lock(&d->mutex);
    d->stats = SimStats();
}

QList<QByteArray> Simulator::received() const
{
    QMutexLocker lock(&d->mutex);
    return d->received;
}

void Simulator::clearReceived()
{
    QMutexLocker lock(&d->mutex);
    d->received.clear();
    d->receivedCount = 0;
}

bool Simulator::waitForReceived(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&d->mutex);
    while (d->receivedCount < count) {
        if (!d->changed.wait(&d->mutex, deadline))
            return d->receivedCount >= count;
    }
    return true;
}

int Simulator::pendingAnswers() const
{
    QMutexLocker lock(&d->mutex);
    return d->pending;
}

bool Simulator::waitForPendingAnswers(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&d->mutex);
    while (d->pending > 0) {
        if (!d->changed.wait(&d->mutex, deadline))
            return d->pending == 0;
    }
    return true;
}

} // namespace veskorsim
