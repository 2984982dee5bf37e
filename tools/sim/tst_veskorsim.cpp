// Self-check of the controller simulator, driven by a plain QUdpSocket client
// over 127.0.0.1. Where a case must show that something was NOT answered, it
// sends a second request and checks that the first datagram back answers that
// one, so nothing waits for a timeout.
#include "VeskorSim.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

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

} // namespace

class TestVeskorSim : public QObject
{
    Q_OBJECT

private slots:
    void areaNames();
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
    QCOMPARE(sim.pendingAnswers(), kMaxHeldAnswers);
    QCOMPARE(sim.stats().heldDropped, quint64(50));
}

QTEST_GUILESS_MAIN(TestVeskorSim)
#include "tst_veskorsim.moc"
