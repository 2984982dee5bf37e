// Self-check of the controller simulator, driven by a plain QUdpSocket client
// over 127.0.0.1. Where a case must show that something was NOT answered, it
// sends a second request and checks that the first datagram back answers that
// one, so nothing waits for a timeout.
#include "Capture.h"
#include "Tags.h"
#include "VeskorSim.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

#include <pcap/pcap.h>

using namespace veskorsim;

Q_DECLARE_METATYPE(veskorsim::Fault)

namespace {

QByteArray readRequest(quint32 code, quint16 seq, quint32 dev = 1)
{
    QByteArray r(16, '\0');
    uchar *b = reinterpret_cast<uchar *>(r.data());
    b[0] = 0x4D;
    b[1] = 0x52;
    b[2] = 0x0E;
    qToLittleEndian<quint16>(seq, b + 4);
    b[6] = 0x1E;
    qToBigEndian<quint32>(code, b + 8);
    qToLittleEndian<quint32>(dev, b + 12);
    return r;
}

QByteArray writeRequest(quint32 addr, const QByteArray &data, int lengthField = -1)
{
    const quint32 len = lengthField < 0 ? quint32(data.size()) : quint32(lengthField);
    QByteArray r(11, '\0');
    uchar *b = reinterpret_cast<uchar *>(r.data());
    b[0] = 0x02;
    b[1] = 0x01;
    b[2] = 0x01;
    b[5] = uchar(addr >> 16);
    b[6] = uchar(addr);
    b[7] = uchar(addr >> 8);
    b[8] = uchar(len >> 16);
    b[9] = uchar(len);
    b[10] = uchar(len >> 8);
    return r + data;
}

struct Client {
    QUdpSocket socket;
    Client() { socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    void send(const Simulator &sim, const QByteArray &d)
    {
        socket.writeDatagram(d, QHostAddress::LocalHost, sim.port());
    }
    // The next datagram, or an invalid one after 3 s without any.
    QNetworkDatagram next()
    {
        if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(3000))
            return QNetworkDatagram();
        return socket.receiveDatagram();
    }
};

quint16 seqOf(const QByteArray &answer)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar *>(answer.constData()) + 4);
}

// A local UDP port that was free a moment ago.
quint16 freePort()
{
    QUdpSocket s;
    s.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return s.localPort();
}

// --- Captures written with libpcap ---------------------------------------------

constexpr quint32 kClient = 0x0a000002;       // 10.0.0.2
constexpr quint32 kController = 0x0a000001;   // 10.0.0.1

QByteArray ipv4(quint32 src, quint16 sport, quint32 dst, quint16 dport, const QByteArray &payload,
                quint8 protocol = 17, quint16 fragment = 0x4000)
{
    uchar ip[28] = {};
    ip[0] = 0x45;
    qToBigEndian<quint16>(quint16(28 + payload.size()), ip + 2);
    qToBigEndian<quint16>(fragment, ip + 6);
    ip[8] = 64;
    ip[9] = protocol;
    qToBigEndian<quint32>(src, ip + 12);
    qToBigEndian<quint32>(dst, ip + 16);
    qToBigEndian<quint16>(sport, ip + 20);
    qToBigEndian<quint16>(dport, ip + 22);
    qToBigEndian<quint16>(quint16(8 + payload.size()), ip + 24);
    return QByteArray(reinterpret_cast<const char *>(ip), sizeof ip) + payload;
}

struct Frame {
    qint64 us;          // time stamp
    QByteArray bytes;
    int cut = 0;        // bytes the snap length cut off the end
};

bool writeCapture(const QString &path, int dlt, const QVector<Frame> &frames)
{
    pcap_t *dead = pcap_open_dead(dlt, 65535);
    pcap_dumper_t *out = pcap_dump_open(dead, QFile::encodeName(path).constData());
    for (int i = 0; out && i < frames.size(); ++i) {
        const Frame &f = frames[i];
        pcap_pkthdr h = {};
        h.ts.tv_sec = time_t(f.us / 1000000);
        h.ts.tv_usec = suseconds_t(f.us % 1000000);
        h.len = bpf_u_int32(f.bytes.size());
        h.caplen = bpf_u_int32(f.bytes.size() - f.cut);
        pcap_dump(reinterpret_cast<u_char *>(out), &h, reinterpret_cast<const u_char *>(f.bytes.constData()));
    }
    if (out)
        pcap_dump_close(out);
    pcap_close(dead);
    return out != nullptr;
}

// A recorded session of one client with the controller, as raw IPv4: each
// datagram to the controller (true) or from it, at ms after the start.
struct Recorded {
    bool toController;
    QByteArray bytes;
    qint64 ms = 0;
};
using Session = QVector<Recorded>;

bool writeSession(const QString &path, const Session &session)
{
    QVector<Frame> frames;
    for (const Recorded &r : session)
        frames.append({1000000000LL + r.ms * 1000LL,
                       r.toController ? ipv4(kClient, 40000, kController, 50200, r.bytes)
                                      : ipv4(kController, 50200, kClient, 40000, r.bytes)});
    return writeCapture(path, DLT_RAW, frames);
}

} // namespace

Q_DECLARE_METATYPE(Session)

class TestVeskorSim : public QObject
{
    Q_OBJECT

private slots:
    void areaNames();
    void areaTableMatchesPlugin_data();
    void areaTableMatchesPlugin();
    void readAnswersWholeArea_data();
    void readAnswersWholeArea();
    void readOfUnknownAreaIsAnError();
    void writeStoresInEveryArea_data();
    void writeStoresInEveryArea();
    void unknownDatagramsAreNotAnswered_data();
    void unknownDatagramsAreNotAnswered();
    void queuedReadFault_data();
    void queuedReadFault();
    void writeFaultsStillStore_data();
    void writeFaultsStillStore();
    void randomFaultsFollowTheSeed();
    void restartKeepsPortAndMemory();
    void unsolicitedGoesToLastClient();
    void pcapRecordsBothDirections();
    void heldAnswersAreBounded();
    void habits_data();
    void habits();
    void answerPortTakenFailsStart();
    void captureLinkTypes_data();
    void captureLinkTypes();
    void replay_data();
    void replay();
    void replayStartFails_data();
    void replayStartFails();
};

void TestVeskorSim::areaNames()
{
    QCOMPARE(areaTable().size(), 23);
    QCOMPARE(areaCodeOf(QStringLiteral("id4X")), 0x30008200u);
    QCOMPARE(areaNameOf(0xE4008200u), QStringLiteral("ID23x"));
    QCOMPARE(areaCodeOf(QStringLiteral("ID24x")), 0u);
    QVERIFY(areaNameOf(0x30008201u).isEmpty());
    Fault f;
    QVERIFY(faultFromName(QStringLiteral("corrupt-magic"), &f));
    QCOMPARE(f, Fault::CorruptMagic);
    QVERIFY(faultFromName(faultName(Fault::ForeignPort), &f));
    QCOMPARE(f, Fault::ForeignPort);
    QVERIFY(!faultFromName(QStringLiteral("explode"), &f));
}

// The simulator keeps its own area table; it must still be the plug-in's,
// entry by entry: same names, same codes, same order. A row past the end of
// either table fails, so the sizes are compared too.
void TestVeskorSim::areaTableMatchesPlugin_data()
{
    QTest::addColumn<int>("index");
    int pluginCount = 0;
    const veskor::AreaEntry *plugin = veskor::areaTable(&pluginCount);
    const QVector<AreaInfo> &sim = areaTable();
    const int rows = std::max(pluginCount, int(sim.size()));
    for (int i = 0; i < rows; ++i) {
        const char *name = i < pluginCount ? plugin[i].name : sim[i].name;
        QTest::addRow("%d %s", i, name) << i;
    }
}

void TestVeskorSim::areaTableMatchesPlugin()
{
    QFETCH(int, index);
    int pluginCount = 0;
    const veskor::AreaEntry *plugin = veskor::areaTable(&pluginCount);
    const QVector<AreaInfo> &sim = areaTable();
    QVERIFY2(index < pluginCount, "the simulator has an area the plug-in lacks");
    QVERIFY2(index < sim.size(), "the plug-in has an area the simulator lacks");
    QCOMPARE(QByteArray(sim[index].name), QByteArray(plugin[index].name));
    QCOMPARE(sim[index].code, plugin[index].code);
}

void TestVeskorSim::readAnswersWholeArea_data()
{
    QTest::addColumn<QString>("area");
    QTest::addColumn<int>("areaSize");
    QTest::newRow("ID1x default size") << "ID1x" << 1024;
    QTest::newRow("ID4x default size") << "ID4x" << 1024;
    QTest::newRow("ID23x small") << "ID23x" << 64;
    QTest::newRow("ID10x empty area") << "ID10x" << 0;
    QTest::newRow("ID3x largest area") << "ID3x" << kMaxAreaSize;
}

void TestVeskorSim::readAnswersWholeArea()
{
    QFETCH(QString, area);
    QFETCH(int, areaSize);
    SimConfig cfg;
    cfg.areaSize = areaSize;
    Simulator sim(cfg);
    QVERIFY(sim.start());
    const quint32 code = areaCodeOf(area);
    const QByteArray seed = QByteArray::fromHex("3412ffff");
    if (areaSize >= 124)
        QVERIFY(sim.setArea(code, 120, seed));
    QCOMPARE(sim.setArea(code, areaSize - 3, seed), false);

    Client c;
    const QByteArray req = readRequest(code, 0x1234, 0xA1B2C3D4);
    c.send(sim, req);
    const QNetworkDatagram dg = c.next();
    QVERIFY(dg.isValid());
    const QByteArray a = dg.data();
    QCOMPARE(a.size(), 16 + areaSize);
    QCOMPARE(a.left(16), req);
    QCOMPARE(a.mid(16), sim.area(code));
    if (areaSize >= 124)
        QCOMPARE(a.mid(16 + 120, 4), seed);
    QCOMPARE(quint16(dg.senderPort()), sim.port());
    QCOMPARE(sim.stats().reads, quint64(1));
}

void TestVeskorSim::readOfUnknownAreaIsAnError()
{
    Simulator sim;
    QVERIFY(sim.start());
    Client c;
    const QByteArray req = readRequest(0x30008201u, 7);
    c.send(sim, req);
    const QByteArray a = c.next().data();
    QCOMPARE(a.size(), 16);
    QCOMPARE(a.at(0), 'E');
    QCOMPARE(a.mid(1), req.mid(1));
}

void TestVeskorSim::writeStoresInEveryArea_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("lengthField");
    QTest::addColumn<QByteArray>("stored");   // expected at address in every area
    const QByteArray abcd = QByteArray::fromHex("abcd");
    QTest::newRow("two bytes at 300") << 300 << abcd << -1 << abcd;
    QTest::newRow("address above 65535")
        << 0x010203 << abcd << -1 << QByteArray();   // beyond a 1024-byte area
    QTest::newRow("clipped at area end")
        << 1022 << QByteArray::fromHex("01020304") << -1 << QByteArray::fromHex("0102");
    QTest::newRow("length field beyond data")
        << 10 << QByteArray::fromHex("0506") << 9 << QByteArray::fromHex("0506");
    QTest::newRow("length field shorter than data")
        << 20 << QByteArray::fromHex("070809") << 1 << QByteArray::fromHex("07");
    QTest::newRow("empty write") << 5 << QByteArray() << -1 << QByteArray();
}

void TestVeskorSim::writeStoresInEveryArea()
{
    QFETCH(int, address);
    QFETCH(QByteArray, data);
    QFETCH(int, lengthField);
    QFETCH(QByteArray, stored);
    Simulator sim;
    sim.fillAll(char(0x55));
    QVERIFY(sim.start());
    Client c;
    const QByteArray req = writeRequest(quint32(address), data, lengthField);
    c.send(sim, req);
    const QByteArray ack = c.next().data();
    QCOMPARE(ack, req.left(11));
    QCOMPARE(sim.stats().writes, quint64(1));
    for (const AreaInfo &a : areaTable()) {
        QByteArray expected(1024, char(0x55));
        if (!stored.isEmpty())
            expected.replace(address, stored.size(), stored);
        QCOMPARE(sim.area(a.code), expected);
    }
    // and a read sees it
    c.send(sim, readRequest(areaCodeOf(QStringLiteral("ID17x")), 2));
    QCOMPARE(c.next().data().mid(16), sim.area(areaCodeOf(QStringLiteral("ID17x"))));
}

void TestVeskorSim::unknownDatagramsAreNotAnswered_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QByteArray read = readRequest(0x30008200u, 1);
    QTest::newRow("read one byte short") << read.left(15);
    QTest::newRow("read one byte long") << read + 'x';
    QByteArray wrongMagic = read;
    wrongMagic[1] = 'X';
    QTest::newRow("read with wrong magic") << wrongMagic;
    QTest::newRow("write header short") << writeRequest(0, QByteArray()).left(10);
    QByteArray wrongWrite = writeRequest(0, "ab");
    wrongWrite[3] = 1;
    QTest::newRow("write with wrong magic") << wrongWrite;
    QTest::newRow("empty") << QByteArray();
}

void TestVeskorSim::unknownDatagramsAreNotAnswered()
{
    QFETCH(QByteArray, datagram);
    Simulator sim;
    QVERIFY(sim.start());
    Client c;
    c.send(sim, datagram);
    c.send(sim, readRequest(0x30008200u, 99));
    const QByteArray a = c.next().data();
    QCOMPARE(a.size(), 16 + 1024);
    QCOMPARE(seqOf(a), quint16(99));
    QCOMPARE(sim.stats().unknown, quint64(1));
    QCOMPARE(sim.received(), (QList<QByteArray>{datagram, readRequest(0x30008200u, 99)}));
}

void TestVeskorSim::queuedReadFault_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("Drop") << Fault::Drop;
    QTest::newRow("Delay") << Fault::Delay;
    QTest::newRow("Duplicate") << Fault::Duplicate;
    QTest::newRow("Truncate") << Fault::Truncate;
    QTest::newRow("CorruptMagic") << Fault::CorruptMagic;
    QTest::newRow("CorruptEcho") << Fault::CorruptEcho;
    QTest::newRow("ForeignPort") << Fault::ForeignPort;
}

void TestVeskorSim::queuedReadFault()
{
    QFETCH(Fault, fault);
    SimConfig cfg;
    cfg.delayMs = 300;
    Simulator sim(cfg);
    QVERIFY(sim.start());
    sim.queueFault(fault);
    Client c;
    const quint32 code = 0x30008200u;
    const QByteArray req = readRequest(code, 1);
    const QByteArray full = req + QByteArray(1024, '\0');
    c.send(sim, req);
    c.send(sim, readRequest(code, 2));   // unfaulted: the queue is empty again

    QNetworkDatagram first = c.next();
    QVERIFY(first.isValid());
    QByteArray a = first.data();
    switch (fault) {
    case Fault::Drop:
    case Fault::Delay:
        QCOMPARE(seqOf(a), quint16(2));
        if (fault == Fault::Delay) {
            QVERIFY(sim.waitForPendingAnswers(5000));
            QCOMPARE(c.next().data(), full);
        }
        break;
    case Fault::Duplicate:
        QCOMPARE(a, full);
        QCOMPARE(c.next().data(), full);
        QCOMPARE(seqOf(c.next().data()), quint16(2));
        break;
    case Fault::Truncate:
        QCOMPARE(a, req.left(8));
        break;
    case Fault::CorruptMagic: {
        QByteArray expected = full;
        expected[0] = char(0x4E);
        QCOMPARE(a, expected);
        break;
    }
    case Fault::CorruptEcho: {
        QByteArray expected = full;
        expected[12] = char(expected[12] ^ 0xFF);
        QCOMPARE(a, expected);
        break;
    }
    case Fault::ForeignPort:
        QCOMPARE(a, full);
        QVERIFY(quint16(first.senderPort()) != sim.port());
        QCOMPARE(first.senderAddress().toIPv4Address(), QHostAddress(QHostAddress::LocalHost).toIPv4Address());
        break;
    case Fault::None:
        break;
    }
    if (fault != Fault::Drop && fault != Fault::Delay && fault != Fault::Duplicate) {
        const QNetworkDatagram second = c.next();
        QCOMPARE(seqOf(second.data()), quint16(2));
        QCOMPARE(quint16(second.senderPort()), sim.port());
    }
    const SimStats s = sim.stats();
    QCOMPARE(s.reads, quint64(2));
    QCOMPARE(s.faults.value(fault), quint64(1));
    QCOMPARE(s.faults.size(), 1);
}

void TestVeskorSim::writeFaultsStillStore_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QByteArray>("ack");          // first datagram back for the write; empty: none
    QTest::addColumn<bool>("counted");
    const QByteArray req = writeRequest(40, "hi");
    QTest::newRow("Drop") << Fault::Drop << QByteArray() << true;
    QTest::newRow("Truncate") << Fault::Truncate << req.left(1) << true;
    QTest::newRow("Duplicate") << Fault::Duplicate << req.left(11) << true;
    QTest::newRow("CorruptMagic is no write fault") << Fault::CorruptMagic << req.left(11) << false;
    QTest::newRow("CorruptEcho is no write fault") << Fault::CorruptEcho << req.left(11) << false;
}

void TestVeskorSim::writeFaultsStillStore()
{
    QFETCH(Fault, fault);
    QFETCH(QByteArray, ack);
    QFETCH(bool, counted);
    Simulator sim;
    QVERIFY(sim.start());
    sim.queueFault(fault);
    Client c;
    c.send(sim, writeRequest(40, "hi"));
    c.send(sim, readRequest(0x10008800u, 5));
    QByteArray a = c.next().data();
    if (!ack.isEmpty()) {
        QCOMPARE(a, ack);
        if (fault == Fault::Duplicate)
            QCOMPARE(c.next().data(), ack);
        a = c.next().data();
    }
    QCOMPARE(seqOf(a), quint16(5));
    QCOMPARE(a.mid(16 + 40, 2), QByteArray("hi"));
    QCOMPARE(sim.stats().faults.value(fault), quint64(counted ? 1 : 0));
}

void TestVeskorSim::randomFaultsFollowTheSeed()
{
    // Truncate at 0.5: every request is answered, full or short; the pattern
    // is fixed by the seed.
    auto pattern = [](quint32 seed, double rate) {
        SimConfig cfg;
        cfg.seed = seed;
        cfg.areaSize = 16;
        cfg.faultRates[Fault::Truncate] = rate;
        Simulator sim(cfg);
        if (!sim.start())
            return QString();
        Client c;
        QString p;
        for (int i = 0; i < 40; ++i) {
            c.send(sim, readRequest(0x20009700u, quint16(i)));
            const QByteArray a = c.next().data();
            p += a.size() == 8 ? QLatin1Char('T') : a.size() == 32 ? QLatin1Char('.') : QLatin1Char('?');
        }
        return p;
    };
    const QString a = pattern(7, 0.5);
    QCOMPARE(a.size(), 40);
    QVERIFY(!a.contains(QLatin1Char('?')));
    QVERIFY(a.contains(QLatin1Char('T')));
    QVERIFY(a.contains(QLatin1Char('.')));
    QCOMPARE(pattern(7, 0.5), a);
    QVERIFY(pattern(8, 0.5) != a);
    QCOMPARE(pattern(7, 1.0), QString(40, QLatin1Char('T')));
    QCOMPARE(pattern(7, 0.0), QString(40, QLatin1Char('.')));
}

void TestVeskorSim::restartKeepsPortAndMemory()
{
    Simulator sim;
    QVERIFY(sim.start());
    const quint16 port = sim.port();
    QVERIFY(port != 0);
    Client c;
    c.send(sim, writeRequest(0, "xyz"));
    QVERIFY(c.next().isValid());
    sim.stop();
    QVERIFY(!sim.isRunning());
    QVERIFY(sim.start());
    QVERIFY(sim.isRunning());
    QCOMPARE(sim.port(), port);
    c.send(sim, readRequest(0xD4008200u, 3));
    QCOMPARE(c.next().data().mid(16, 3), QByteArray("xyz"));

    // A second simulator cannot take the port while the first holds it.
    SimConfig cfg;
    cfg.port = port;
    Simulator other(cfg);
    QString error;
    QVERIFY(!other.start(&error));
    QVERIFY(!error.isEmpty());
}

void TestVeskorSim::unsolicitedGoesToLastClient()
{
    Simulator sim;
    QVERIFY(sim.start());
    Client c;
    c.send(sim, QByteArray("hello"));   // unknown, but makes c the last client
    QVERIFY(sim.waitForReceived(1, 3000));
    sim.sendUnsolicited(QByteArray("unasked"));
    const QNetworkDatagram dg = c.next();
    QCOMPARE(dg.data(), QByteArray("unasked"));
    QCOMPARE(quint16(dg.senderPort()), sim.port());

    Client other;
    sim.sendUnsolicited(QByteArray("there"), QHostAddress::LocalHost, other.socket.localPort());
    QCOMPARE(other.next().data(), QByteArray("there"));
    QCOMPARE(sim.stats().sent, quint64(2));
}

void TestVeskorSim::pcapRecordsBothDirections()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimConfig cfg;
    cfg.pcapPath = dir.filePath(QStringLiteral("sim.pcap"));
    cfg.areaSize = 100;
    Simulator sim(cfg);
    QVERIFY(sim.start());
    Client c;
    const QByteArray req = readRequest(0x30008200u, 1);
    c.send(sim, req);
    QVERIFY(c.next().isValid());
    // the file is complete while the simulator runs
    QFile f(cfg.pcapPath);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    const uchar *b = reinterpret_cast<const uchar *>(all.constData());
    QVERIFY(all.size() >= 24);
    QCOMPARE(qFromLittleEndian<quint32>(b), 0xa1b2c3d4u);
    QCOMPARE(qFromLittleEndian<quint32>(b + 20), 101u);
    struct Rec { quint16 sport, dport; QByteArray payload; };
    QList<Rec> recs;
    int pos = 24;
    while (pos + 16 <= all.size()) {
        const quint32 len = qFromLittleEndian<quint32>(b + pos + 8);
        QVERIFY(pos + 16 + int(len) <= all.size());
        const uchar *ip = b + pos + 16;
        QCOMPARE(int(ip[0]), 0x45);
        QCOMPARE(int(ip[9]), 17);
        QCOMPARE(qFromBigEndian<quint16>(ip + 2), quint16(len));
        quint32 sum = 0;
        for (int i = 0; i < 20; i += 2)
            sum += (quint32(ip[i]) << 8) | ip[i + 1];
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        QCOMPARE(sum, 0xffffu);   // header checksum verifies
        QCOMPARE(qFromBigEndian<quint32>(ip + 12), 0x7f000001u);
        QCOMPARE(qFromBigEndian<quint32>(ip + 16), 0x7f000001u);
        recs.append({qFromBigEndian<quint16>(ip + 20), qFromBigEndian<quint16>(ip + 22),
                     QByteArray(reinterpret_cast<const char *>(ip + 28), int(len) - 28)});
        pos += 16 + int(len);
    }
    QCOMPARE(pos, all.size());
    QCOMPARE(recs.size(), 2);
    QCOMPARE(recs[0].sport, c.socket.localPort());
    QCOMPARE(recs[0].dport, sim.port());
    QCOMPARE(recs[0].payload, req);
    QCOMPARE(recs[1].sport, sim.port());
    QCOMPARE(recs[1].dport, c.socket.localPort());
    QCOMPARE(recs[1].payload.size(), 116);
}

void TestVeskorSim::heldAnswersAreBounded()
{
    // Every answer delayed by a day: the simulator holds at most
    // kMaxHeldAnswers of them, dropping the oldest.
    SimConfig config;
    config.keepReceived = false;
    config.areaSize = 16;
    config.delayMs = 86400000;
    config.faultRates[Fault::Delay] = 1.0;
    Simulator sim(config);
    QVERIFY(sim.start());
    Client c;
    const int sent = kMaxHeldAnswers + 50;
    // In batches, so that the simulator's socket buffer never overflows.
    for (int i = 0; i < sent; ++i) {
        c.send(sim, readRequest(areaCodeOf(QStringLiteral("ID1x")), quint16(i)));
        if (i % 200 == 199 || i == sent - 1) {
            QDeadlineTimer deadline(10000);
            while (sim.stats().reads < quint64(i + 1) && !deadline.hasExpired())
                QThread::msleep(1);
        }
    }
    QCOMPARE(sim.stats().reads, quint64(sent));
    // A read is counted before its answer is held: the last one's holding
    // (and dropping) may still be under way, slowly under emulation.
    QDeadlineTimer deadline(10000);
    while (sim.stats().heldDropped < quint64(50) && !deadline.hasExpired())
        QThread::msleep(1);
    QCOMPARE(sim.pendingAnswers(), kMaxHeldAnswers);
    QCOMPARE(sim.stats().heldDropped, quint64(50));
}

void TestVeskorSim::habits_data()
{
    QTest::addColumn<qint64>("device");         // -1: answer any device id
    QTest::addColumn<bool>("noEcho");
    QTest::addColumn<bool>("answerPort");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");     // empty: none
    const quint32 id4 = 0x30008200u;
    const QByteArray area(16, char(0x11));
    QByteArray unknownArea = readRequest(0x30008201u, 0);
    unknownArea[0] = 'E';
    const QByteArray write = writeRequest(3, QByteArray());
    QTest::newRow("any device id") << qint64(-1) << false << false << readRequest(id4, 5, 78)
                                   << readRequest(id4, 5, 78) + area;
    QTest::newRow("this device") << qint64(77) << false << false << readRequest(id4, 5, 77)
                                 << readRequest(id4, 5, 77) + area;
    QTest::newRow("another device") << qint64(77) << false << false << readRequest(id4, 5, 78)
                                    << QByteArray();
    QTest::newRow("write under a device id") << qint64(77) << false << false << write << write;
    QTest::newRow("no echo") << qint64(-1) << true << false << readRequest(id4, 0x1234)
                             << readRequest(id4, 0) + area;
    QTest::newRow("no echo, error answer") << qint64(-1) << true << false
                                           << readRequest(0x30008201u, 0x1234) << unknownArea;
    QTest::newRow("no echo, write ack") << qint64(-1) << true << false << write << write;
    QTest::newRow("answer port") << qint64(-1) << false << true << readRequest(id4, 9)
                                 << readRequest(id4, 9) + area;
    QTest::newRow("all three") << qint64(77) << true << true << readRequest(id4, 9, 77)
                               << readRequest(id4, 0, 77) + area;
}

void TestVeskorSim::habits()
{
    QFETCH(qint64, device);
    QFETCH(bool, noEcho);
    QFETCH(bool, answerPort);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    SimConfig cfg;
    cfg.areaSize = 16;
    if (device >= 0)
        cfg.device = quint32(device);
    cfg.noEcho = noEcho;
    cfg.answerPort = answerPort ? freePort() : 0;
    Simulator sim(cfg);
    sim.fillAll(char(0x11));
    QString error;
    QVERIFY2(sim.start(&error), qPrintable(error));
    const quint16 from = answerPort ? cfg.answerPort : sim.port();

    Client c;
    c.send(sim, request);
    // A read the controller answers whatever its habits; it comes after
    // the answer to the request, if there is one.
    c.send(sim, readRequest(0x10008800u, 99, device >= 0 ? quint32(device) : 1));
    QList<QNetworkDatagram> got;
    for (int i = answer.isEmpty() ? 1 : 2; i > 0; --i)
        got.append(c.next());
    if (!answer.isEmpty())
        QCOMPARE(got.first().data(), answer);
    QCOMPARE(got.last().data().mid(16), QByteArray(16, char(0x11)));
    QCOMPARE(seqOf(got.last().data()), quint16(noEcho ? 0 : 99));
    for (const QNetworkDatagram &dg : got) {
        QCOMPARE(quint16(dg.senderPort()), from);
        QCOMPARE(dg.senderAddress().toIPv4Address(), 0x7f000001u);
    }
    QCOMPARE(sim.stats().otherDevice, quint64(answer.isEmpty() ? 1 : 0));
}

void TestVeskorSim::answerPortTakenFailsStart()
{
    QUdpSocket taken;
    QVERIFY(taken.bind(QHostAddress(QHostAddress::LocalHost), 0));
    SimConfig cfg;
    cfg.answerPort = taken.localPort();
    Simulator sim(cfg);
    QString error;
    QVERIFY(!sim.start(&error));
    QVERIFY2(error.contains(QStringLiteral("answer port 127.0.0.1:%1").arg(cfg.answerPort)),
             qPrintable(error));
}

void TestVeskorSim::captureLinkTypes_data()
{
    QTest::addColumn<int>("dlt");
    QTest::addColumn<QByteArray>("ipv4Header");    // link header before an IPv4 packet, hex
    QTest::addColumn<QByteArray>("ipv6Header");    // ... before an IPv6 packet
    QTest::addColumn<QString>("error");            // part of the error; empty: read
    const QByteArray macs = "020000000001 020000000002";
    // SLL: packet type, ARPHRD_ETHER, address length, address; then the protocol
    const QByteArray sll = "0000 0001 0006 0200000000020000";
    // SLL2 after the protocol: reserved, interface, ARPHRD_ETHER, packet type, address length, address
    const QByteArray sll2 = "0000 00000002 0001 00 06 0200000000020000";
    QTest::newRow("raw IP") << DLT_RAW << QByteArray() << QByteArray() << QString();
    QTest::newRow("IPv4") << DLT_IPV4 << QByteArray() << QByteArray() << QString();
    QTest::newRow("Ethernet") << DLT_EN10MB << macs + "0800" << macs + "86dd" << QString();
    QTest::newRow("Ethernet, 802.1Q") << DLT_EN10MB << macs + "8100 0064 0800"
                                      << macs + "8100 0064 86dd" << QString();
    QTest::newRow("Ethernet, 802.1ad and 802.1Q") << DLT_EN10MB << macs + "88a8 0064 8100 0065 0800"
                                                  << macs + "88a8 0064 8100 0065 86dd" << QString();
    QTest::newRow("Linux cooked") << DLT_LINUX_SLL << sll + "0800" << sll + "86dd" << QString();
    QTest::newRow("Linux cooked v2") << DLT_LINUX_SLL2 << "0800" + sll2 << "86dd" + sll2 << QString();
    QTest::newRow("loopback, little-endian family") << DLT_NULL << QByteArray("02000000")
                                                    << QByteArray("18000000") << QString();
    QTest::newRow("loopback, big-endian family") << DLT_LOOP << QByteArray("00000002")
                                                 << QByteArray("00000018") << QString();
    QTest::newRow("802.11 is not read") << DLT_IEEE802_11 << QByteArray() << QByteArray()
                                        << QStringLiteral("link type IEEE802_11 (105)");
}

void TestVeskorSim::captureLinkTypes()
{
    QFETCH(int, dlt);
    QFETCH(QByteArray, ipv4Header);
    QFETCH(QByteArray, ipv6Header);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("c.pcap"));
    const QByteArray req = readRequest(0x30008200u, 3);
    const QByteArray ans = req + "data";
    const qint64 t0 = 1700000000LL * 1000000 + 250;
    const QByteArray v4 = QByteArray::fromHex(ipv4Header);
    QByteArray ipv6(40, '\0');
    ipv6[0] = 0x60;
    QVERIFY(writeCapture(path, dlt, {
        {t0, v4 + ipv4(kClient, 40000, kController, 50200, req)},
        {t0 + 10, QByteArray::fromHex(ipv6Header) + ipv6},                           // not IPv4
        {t0 + 20, v4 + ipv4(kClient, 40000, kController, 50200, "tcp", 6)},          // not UDP
        {t0 + 30, v4 + ipv4(kClient, 40000, kController, 50200, req, 17, 0x2000)},   // a fragment
        {t0 + 40, v4 + ipv4(kClient, 40000, kController, 50200, req), 4},            // cut short
        {t0 + 2500, v4 + ipv4(kController, 50200, kClient, 40000, ans)},
    }));
    Capture cap;
    QString why;
    const bool ok = readCapture(path, &cap, &why);
    QVERIFY2(ok == error.isEmpty() && why.contains(error), qPrintable(why));
    if (!ok)
        return;
    QCOMPARE((QList<int>{cap.packets, cap.other, cap.fragments, cap.cutShort}), (QList<int>{6, 2, 1, 1}));
    QCOMPARE(cap.datagrams.size(), 2);
    const CapturedDatagram &a = cap.datagrams[0];
    QCOMPARE((QList<qint64>{a.timeUs, a.srcAddr, a.srcPort, a.dstAddr, a.dstPort}),
             (QList<qint64>{t0, kClient, 40000, kController, 50200}));
    QCOMPARE(a.payload, req);
    QCOMPARE(cap.datagrams[1].payload, ans);

    const Recording r = pairExchanges(cap.datagrams);
    QCOMPARE((QList<qint64>{r.controllerAddr, r.controllerPort, r.exchanges.size()}),
             (QList<qint64>{kController, 50200, 1}));
    QCOMPARE(r.exchanges[0].answers.size(), 1);
    QCOMPARE(r.exchanges[0].answers[0].offsetUs, qint64(2500));
    QCOMPARE(r.exchanges[0].answers[0].bytes, ans);
}

void TestVeskorSim::replay_data()
{
    QTest::addColumn<Session>("recorded");
    QTest::addColumn<bool>("timing");
    QTest::addColumn<QList<QByteArray>>("incoming");
    QTest::addColumn<QList<QByteArray>>("answers");   // everything that comes back, in order
    QTest::addColumn<int>("unmatched");
    QTest::addColumn<int>("capped");                  // answers sent after kReplayMaxDelayMs, recorded later
    using L = QList<QByteArray>;
    const quint32 id4 = 0x30008200u;
    const QByteArray r7 = readRequest(id4, 7), r8 = readRequest(id4, 8), r42 = readRequest(id4, 42);
    const QByteArray r0 = readRequest(id4, 0);
    const QByteArray w = writeRequest(10, "ab");
    QTest::newRow("sequence follows the request")
        << Session{{true, r7}, {false, r7 + "A"}} << false << L{r42} << L{r42 + "A"} << 0 << 0;
    QTest::newRow("recorded non-echo kept")
        << Session{{true, r7}, {false, r0 + "A"}} << false << L{r42} << L{r0 + "A"} << 0 << 0;
    QTest::newRow("duplicates sent as recorded")
        << Session{{true, r7}, {false, r7 + "A"}, {false, r7 + "A"}} << false << L{r42}
        << L{r42 + "A", r42 + "A"} << 0 << 0;
    QTest::newRow("recorded without an answer") << Session{{true, r7}} << false << L{r42} << L{} << 0 << 0;
    QTest::newRow("nothing recorded")
        << Session{{true, r7}, {false, r7 + "A"}} << false << L{readRequest(0x10008800u, 42)} << L{}
        << 1 << 0;
    QTest::newRow("starting over after the last")
        << Session{{true, r7}, {false, r7 + "A"}, {true, r8}, {false, r8 + "B"}} << false
        << L{r42, r42, r42} << L{r42 + "A", r42 + "B", r42 + "A"} << 0 << 0;
    QTest::newRow("write acked as recorded")
        << Session{{true, w}, {false, w.left(11)}} << false << L{w} << L{w.left(11)} << 0 << 0;
    QTest::newRow("write of other data")
        << Session{{true, w}, {false, w.left(11)}} << false << L{writeRequest(10, "ac")} << L{} << 1 << 0;
    QTest::newRow("recorded timing")
        << Session{{true, r7, 0}, {false, r7 + "A", 150}} << true << L{r42} << L{r42 + "A"} << 0 << 0;
    // A capture may hold days between a request and its answer: past the
    // driver's wait the answer goes out when the wait is over.
    QTest::newRow("recorded 25 days late")
        << Session{{true, r7, 0}, {false, r7 + "A", 25LL * 24 * 3600 * 1000}} << true << L{r42} << L{r42 + "A"} << 0
        << 1;
}

void TestVeskorSim::replay()
{
    QFETCH(Session, recorded);
    QFETCH(bool, timing);
    QFETCH(QList<QByteArray>, incoming);
    QFETCH(QList<QByteArray>, answers);
    QFETCH(int, unmatched);
    QFETCH(int, capped);
    // The recorded answer that comes last, as the replay sends it.
    qint64 slowestMs = 0;
    for (const Recorded &r : recorded)
        if (!r.toController)
            slowestMs = std::max(slowestMs, std::min<qint64>(r.ms, kReplayMaxDelayMs));
    // Every session ends with a read of ID1x whose answer, asked for last,
    // shows that nothing else came back before it.
    const QByteArray last = readRequest(0x20009700u, 1);
    const qint64 end = recorded.last().ms + 5000;
    recorded += {{true, last, end}, {false, last + "end", end}};
    QTemporaryDir dir;
    SimConfig cfg;
    cfg.replayPath = dir.filePath(QStringLiteral("session.pcap"));
    cfg.replayTiming = timing;
    QVERIFY(writeSession(cfg.replayPath, recorded));
    Simulator sim(cfg);
    QString error;
    QVERIFY2(sim.start(&error), qPrintable(error));
    QCOMPARE(sim.replayInfo().controllerPort, quint16(50200));

    Client c;
    QElapsedTimer clock;
    clock.start();
    for (const QByteArray &r : incoming)
        c.send(sim, r);
    QList<QByteArray> got;
    for (int i = 0; i < answers.size(); ++i)
        got.append(c.next().data());
    if (timing)
        QVERIFY2(clock.elapsed() >= slowestMs - 10, qPrintable(QString::number(clock.elapsed())));
    c.send(sim, last);
    got.append(c.next().data());
    QCOMPARE(got, answers + QList<QByteArray>{last + "end"});
    QCOMPARE(sim.stats().replayUnmatched, quint64(unmatched));
    QCOMPARE(sim.stats().replayCapped, quint64(capped));
}

void TestVeskorSim::replayStartFails_data()
{
    QTest::addColumn<Session>("session");       // empty: no file at all
    QTest::addColumn<QString>("error");
    QTest::newRow("no file") << Session() << "No such file";
    QTest::newRow("no request") << Session{{false, "not a request"}}
                                << "no read or write request among its 1 UDP/IPv4 datagrams";
}

void TestVeskorSim::replayStartFails()
{
    QFETCH(Session, session);
    QFETCH(QString, error);
    QTemporaryDir dir;
    SimConfig cfg;
    cfg.replayPath = dir.filePath(QStringLiteral("replay.pcap"));
    QVERIFY(session.isEmpty() || writeSession(cfg.replayPath, session));
    Simulator sim(cfg);
    QString why;
    QVERIFY(!sim.start(&why));
    QVERIFY2(why.startsWith(QStringLiteral("capture %1: ").arg(cfg.replayPath)) && why.contains(error),
             qPrintable(why));
}

QTEST_GUILESS_MAIN(TestVeskorSim)
#include "tst_veskorsim.moc"
