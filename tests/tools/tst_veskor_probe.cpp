// The probe's judge over what its run keeps: the controller's datagrams cut
// to their first bytes, the others only counted by sender. It must say what
// the whole datagrams say, and count a flood it did not keep.
#include "Probe.h"

#include <QtEndian>
#include <QtTest>

using namespace veskortool;

namespace {

const QHostAddress kController(QStringLiteral("10.0.0.1"));
const QHostAddress kStranger(QStringLiteral("10.0.0.9"));
constexpr quint16 kPort = 5000;

QByteArray readRequest(quint16 sequence, quint32 area, quint32 device)
{
    QByteArray r(16, '\0');
    uchar *b = reinterpret_cast<uchar *>(r.data());
    b[0] = 'M';
    b[1] = 'R';
    b[2] = 0x0E;
    b[6] = 0x1E;
    qToLittleEndian<quint16>(sequence, b + 4);
    qToBigEndian<quint32>(area, b + 8);
    qToLittleEndian<quint32>(device, b + 12);
    return r;
}

ProbeDatagram datagram(const QByteArray &bytes, const QHostAddress &from, qint64 atUs, int after)
{
    ProbeDatagram d;
    d.bytes = bytes;
    d.from = from;
    d.fromPort = kPort;
    d.atUs = atUs;
    d.after = after;
    return d;
}

// A probe of every area, three round trips and another device id, answered
// with images of imageBytes: each answer `copies` times, then (altered) once
// more with its last byte changed, then `strangers` datagrams from elsewhere.
ProbeLog wholeRun(int imageBytes, int copies, bool altered, int strangers)
{
    ProbeLog log;
    log.settings.address = kController;
    log.settings.port = kPort;
    const QVector<quint32> areas = probeAreaCodes();
    QVector<ProbeRequest> &req = log.requests;
    for (int k = 0; k < areas.size() + 4; ++k) {
        ProbeRequest q;
        q.phase = k < areas.size() ? ProbeRequest::Area : k < areas.size() + 3 ? ProbeRequest::RoundTrip
                                                                               : ProbeRequest::OtherDevice;
        const quint32 area = k < areas.size() ? areas[k] : areas.first();
        q.bytes = readRequest(quint16(0x2A01 + 0x0101 * k), area, q.phase == ProbeRequest::OtherDevice ? 2 : 1);
        q.sentUs = k * 10000;
        q.deadlineUs = q.sentUs + 2000000;
        req << q;
        QByteArray answer = q.bytes + QByteArray(imageBytes, char('a' + k % 26));
        const qint64 at = q.sentUs + 500;
        for (int c = 0; c < copies; ++c)
            log.datagrams << datagram(answer, kController, at + c, k);
        if (altered) {
            answer[answer.size() - 1] = '!';
            log.datagrams << datagram(answer, kController, at + copies, k);
        }
        for (int n = 0; n < strangers; ++n)
            log.datagrams << datagram(QByteArray(100, 'x'), kStranger, at + 100 + n, k);
    }
    return log;
}

// The same run as the probe keeps it.
ProbeLog asKept(const ProbeLog &whole)
{
    ProbeLog log = whole;
    log.datagrams.clear();
    for (const ProbeDatagram &d : whole.datagrams) {
        if (d.from != whole.settings.address) {
            if (log.counted.isEmpty())
                log.counted << ProbeSender{d.from, d.fromPort, 0};
            ++log.counted.last().datagrams;
            log.countedLastUs = d.atUs;
            continue;
        }
        ProbeDatagram kept = d;
        keepBytes(d.bytes.constData(), d.bytes.size(), &kept);
        log.datagrams << kept;
    }
    return log;
}

// Every area read `outcomes.size()` rounds by a controller that echoes:
// an image always, but ID4x as the outcomes say, round by round: 'i' an
// image, 's' an answer of 8 bytes, 'e' an error answer, '-' none.
ProbeLog roundsRun(const QString &outcomes)
{
    ProbeLog log;
    log.settings.address = kController;
    log.settings.port = kPort;
    log.settings.repeat = outcomes.size();
    const QVector<quint32> areas = probeAreaCodes();
    quint16 sequence = 0x2A01;
    qint64 at = 0;
    for (int round = 0; round < outcomes.size(); ++round) {
        for (int a = 0; a < areas.size(); ++a) {
            ProbeRequest q;
            q.phase = ProbeRequest::Area;
            q.bytes = readRequest(sequence, areas[a], 1);
            sequence = quint16(sequence + 0x0101);
            q.sentUs = at += 10000;
            q.deadlineUs = q.sentUs + 200000;
            log.requests << q;
            const QChar what = a == 3 ? outcomes.at(round) : QLatin1Char('i');
            QByteArray answer = q.bytes + QByteArray(1024, 'v');
            if (what == QLatin1Char('s'))
                answer = q.bytes.left(8);
            else if (what == QLatin1Char('e'))
                answer[0] = 'E';
            if (what != QLatin1Char('-'))
                log.datagrams << datagram(answer.left(kProbeKeepBytes), kController, q.sentUs + 300,
                                          log.requests.size() - 1);
            if (answer.size() > kProbeKeepBytes)
                log.datagrams.last().cut = answer.size() - kProbeKeepBytes;
        }
    }
    return log;
}

// No area answered as device 1; the scan tried `ids`, and `answering`
// (when not -1) answered a read of its own twice.
ProbeLog scanRun(const QVector<quint32> &ids, qint64 answering)
{
    ProbeLog log;
    log.settings.address = kController;
    log.settings.port = kPort;
    log.settings.scanDevices = ids;
    const QVector<quint32> areas = probeAreaCodes();
    quint16 sequence = 0x2A01;
    qint64 at = 0;
    const auto send = [&](ProbeRequest::Phase phase, quint32 area, quint32 device) {
        ProbeRequest q;
        q.phase = phase;
        q.bytes = readRequest(sequence, area, device);
        sequence = quint16(sequence + 0x0101);
        q.sentUs = at += 1000;
        q.deadlineUs = q.sentUs + 200000;
        log.requests << q;
        return q;
    };
    for (quint32 area : areas)
        send(ProbeRequest::Area, area, 1);
    for (quint32 id : ids) {
        const ProbeRequest q = send(ProbeRequest::Scan, areas.first(), id);
        if (qint64(id) == answering)
            log.datagrams << datagram(q.bytes + QByteArray(40, 'v'), kController, q.sentUs + 3000,
                                      log.requests.size() - 1);
    }
    for (int i = 0; answering >= 0 && i < 2; ++i) {
        const ProbeRequest q = send(ProbeRequest::DeviceCheck, areas.first(), quint32(answering));
        log.datagrams << datagram(q.bytes + QByteArray(40, 'v'), kController, q.sentUs + 300, log.requests.size() - 1);
    }
    return log;
}

} // namespace

class TstVeskorProbe : public QObject
{
    Q_OBJECT

private slots:
    void keptJudgesAsWhole_data();
    void keptJudgesAsWhole();
    void floodIsCounted();
    void habitsAndRates_data();
    void habitsAndRates();
    void deviceScan_data();
    void deviceScan();
};

void TstVeskorProbe::keptJudgesAsWhole_data()
{
    QTest::addColumn<int>("imageBytes");
    QTest::addColumn<int>("copies");
    QTest::addColumn<bool>("altered");
    QTest::addColumn<int>("strangers");
    QTest::addColumn<int>("duplicates");
    QTest::addColumn<int>("unexplained");
    const int answers = probeAreaCodes().size() + 4;
    QTest::newRow("images cut") << 1024 << 1 << false << 0 << 0 << 0;
    QTest::newRow("cut copies are duplicates") << 1024 << 2 << false << 0 << answers << 0;
    QTest::newRow("changed past the cut, no duplicate") << 1024 << 1 << true << 0 << 0 << answers;
    QTest::newRow("short answers kept whole") << 20 << 2 << true << 0 << answers << answers;
    QTest::newRow("strangers counted") << 1024 << 1 << false << 3 << 0 << 0;
}

void TstVeskorProbe::keptJudgesAsWhole()
{
    QFETCH(int, imageBytes);
    QFETCH(int, copies);
    QFETCH(bool, altered);
    QFETCH(int, strangers);
    QFETCH(int, duplicates);
    QFETCH(int, unexplained);
    const ProbeLog whole = wholeRun(imageBytes, copies, altered, strangers);
    const ProbeReport r = judgeProbe(whole);
    QCOMPARE(r.duplicates, duplicates);
    QCOMPARE(r.unexplained, unexplained);
    QCOMPARE(r.areas.first().length, imageBytes);
    const ProbeLog kept = asKept(whole);
    for (const ProbeDatagram &d : kept.datagrams)
        QVERIFY(d.bytes.size() <= kProbeKeepBytes);
    QCOMPARE(probeJson(judgeProbe(kept)), probeJson(r));
    QCOMPARE(probeText(judgeProbe(kept)), probeText(r));
}

void TstVeskorProbe::floodIsCounted()
{
    ProbeLog log = asKept(wholeRun(1024, 1, false, 0));
    const ProbeReport quiet = judgeProbe(log);
    log.counted << ProbeSender{kController, kPort, 100000} << ProbeSender{kController, 7000, 5};
    log.countedElsewhere = 42;
    const ProbeReport r = judgeProbe(log);
    QCOMPARE(r.countedOnly, 100005);
    QCOMPARE(r.ports.value(kPort), quiet.ports.value(kPort) + 100000);
    QCOMPARE(r.furtherSenders, 42);
    QCOMPARE(r.onTime, quiet.onTime);
    QVERIFY2(r.verdict.last().startsWith(QStringLiteral("sent more than 8 datagrams after a request (100005 counted only)")),
             qPrintable(r.verdict.join(QLatin1Char('\n'))));
    QVERIFY(probeText(r).contains(QStringLiteral("42 datagrams from more senders than the 64 told apart")));
}

void TstVeskorProbe::habitsAndRates_data()
{
    QTest::addColumn<QString>("outcomes");   // of ID4x's reads, round by round
    QTest::addColumn<QString>("area");       // ID4x's part of the areas line
    QTest::addColumn<QString>("said");       // a verdict line begins so
    QTest::addColumn<QString>("unsaid");     // no verdict line holds it
    QTest::newRow("a loss is a rate") << "ii-ii" << "ID1x..ID23x 1024 bytes 114 of 115"
                                      << "lost 1 of 115 reads (0.9 %)" << "no answer for";
    QTest::newRow("silent every time is a habit") << "-----" << "ID3x 1024 bytes always, ID4x never answer (5 reads)"
                                                  << "no answer for ID4x in any of 5 reads each" << "lost ";
    QTest::newRow("a short answer is a rate") << "isiii" << "ID1x..ID23x 1024 bytes 114 of 115"
                                              << "1 of 115 reads answered shorter than a header (0.9 %)"
                                              << "only answers shorter";
    QTest::newRow("short every time is a habit") << "sssss" << "ID4x short answer (8 bytes) always"
                                                 << "only answers shorter than a header for ID4x (always)"
                                                 << "reads answered shorter";
    QTest::newRow("an error answer is a rate") << "iiiie" << "ID1x..ID23x 1024 bytes 114 of 115"
                                               << "1 of 115 reads of areas with an image got an error answer"
                                               << "error answers for";
    QTest::newRow("errors, lost now and then") << "ee-ee" << "ID4x error answer (0x45) 4 of 5"
                                               << "error answers for ID4x (4 of 5)" << "lost ";
    QTest::newRow("one try") << "-" << "ID4x never answer (1 reads)" << "no answer for ID4x in any of 1 reads" << "lost ";
}

void TstVeskorProbe::habitsAndRates()
{
    QFETCH(QString, outcomes);
    QFETCH(QString, area);
    QFETCH(QString, said);
    QFETCH(QString, unsaid);
    const ProbeReport r = judgeProbe(roundsRun(outcomes));
    QCOMPARE(r.areas[3].asked, outcomes.size());
    const QString text = probeText(r);
    QVERIFY2(text.contains(area), qPrintable(text));
    QVERIFY2(!r.verdict.filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(said))).isEmpty(),
             qPrintable(text));
    QVERIFY2(r.verdict.filter(unsaid).isEmpty(), qPrintable(text));
}

void TstVeskorProbe::deviceScan_data()
{
    QTest::addColumn<QVector<quint32>>("ids");
    QTest::addColumn<qint64>("answering");   // -1: none
    QTest::addColumn<QString>("said");
    QTest::newRow("found") << QVector<quint32>{5, 6, 7, 8} << qint64(7)
                           << "answers device id 7, not 1: give --device 7";
    QTest::newRow("nothing in the default ids") << QVector<quint32>{0, 1, 2, 255} << qint64(-1)
        << "the port is open (no refusal came) but nothing answers device ids 0, 1, 2, 255: try --scan-devices 0-255";
    QVector<quint32> all;
    for (quint32 id = 0; id < 256; ++id)
        all << id;
    QTest::newRow("nothing in 0-255") << all << qint64(-1)
        << "the port is open (no refusal came) but nothing answers device ids 0-255: check the address";
}

void TstVeskorProbe::deviceScan()
{
    QFETCH(QVector<quint32>, ids);
    QFETCH(qint64, answering);
    QFETCH(QString, said);
    const ProbeReport r = judgeProbe(scanRun(ids, answering));
    QCOMPARE(r.scanned, ids);
    QCOMPARE(r.answered, answering >= 0);
    QVERIFY2(r.verdict.value(0).startsWith(said), qPrintable(probeText(r)));
    if (answering >= 0) {
        QCOMPARE(r.checked.size(), 1);
        QCOMPARE(r.checked.first().answered, 2);
        QVERIFY2(probeText(r).contains(QStringLiteral("device 7 answered always")), qPrintable(probeText(r)));
    }
    QVERIFY(probeJson(r).contains(QStringLiteral("\"scan\"")));
}

QTEST_GUILESS_MAIN(TstVeskorProbe)
#include "tst_veskor_probe.moc"
