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

} // namespace

class TstVeskorProbe : public QObject
{
    Q_OBJECT

private slots:
    void keptJudgesAsWhole_data();
    void keptJudgesAsWhole();
    void floodIsCounted();
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

QTEST_GUILESS_MAIN(TstVeskorProbe)
#include "tst_veskor_probe.moc"
