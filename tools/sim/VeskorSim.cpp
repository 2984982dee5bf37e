#include "VeskorSim.h"

#include "SimCore.h"
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

namespace veskorsim {

const int kReplayMaxDelayMs = CmdVESKOR::kAnswerWaitMs;

namespace {

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

} // namespace

class SimThread;

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
        const QString name = idx < 0 ? QStringLiteral("?") : QString::fromLatin1(areaTable()[idx].name);
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

} // namespace veskorsim
