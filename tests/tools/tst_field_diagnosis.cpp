// Field diagnosis end to end, over UDP on 127.0.0.1: veskor probe against
// veskor-sim in its habit settings, with losses and short answers (seeded:
// the same run every time), with another device id, and against a silent
// port, and a session
// captured with veskor-sim --pcap, replayed with --replay (in the simulator's
// own raw-IPv4 format and converted to the link types captures from the
// field come in) to veskor read, which must read the same values.
#include "ToolProcess.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <pcap/pcap.h>

#include <csignal>

namespace {

const QString kSim = QString::fromUtf8(VESKOR_SIM_EXE);

// A port no one listens on right now.
quint16 freePort()
{
    QUdpSocket s;
    s.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return s.localPort();
}

QString endpoint(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

void stop(ToolProcess &sim)
{
    sim.sendSignal(SIGTERM);
    sim.waitForFinished(30000);
}

// Each line of veskor --json read, without its time stamp.
QStringList readValues(const QByteArray &out)
{
    QStringList lines;
    for (const QByteArray &line : out.split('\n')) {
        QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.isEmpty())
            continue;
        o.remove(QStringLiteral("timeStamp"));
        lines << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    return lines;
}

// The simulator's raw-IPv4 capture rewritten with another link-layer header,
// as tcpdump writes them: Ethernet, or Linux "cooked" (SLL).
bool convertCapture(const QString &from, const QString &to, int linkType, QString *error)
{
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t *in = pcap_open_offline(QFile::encodeName(from).constData(), err);
    if (!in) {
        *error = QString::fromLocal8Bit(err);
        return false;
    }
    pcap_t *dead = pcap_open_dead(linkType, 65535);
    pcap_dumper_t *out = pcap_dump_open(dead, QFile::encodeName(to).constData());
    if (!out) {
        *error = QString::fromLocal8Bit(pcap_geterr(dead));
        pcap_close(dead);
        pcap_close(in);
        return false;
    }
    pcap_pkthdr *h = nullptr;
    const u_char *data = nullptr;
    while (pcap_next_ex(in, &h, &data) == 1) {
        QByteArray frame;
        if (linkType == DLT_EN10MB) {
            frame = QByteArray::fromHex("020000000001" "020000000002" "0800");
        } else {
            // Packet type 4 (sent by us), ARPHRD_LOOPBACK, address length 6,
            // 8 address bytes, protocol IPv4.
            frame = QByteArray::fromHex("0004" "0304" "0006" "0000000000000000" "0800");
        }
        frame.append(reinterpret_cast<const char *>(data), int(h->caplen));
        pcap_pkthdr oh = *h;
        oh.caplen = oh.len = bpf_u_int32(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(out), &oh, reinterpret_cast<const u_char *>(frame.constData()));
    }
    pcap_dump_close(out);
    pcap_close(dead);
    pcap_close(in);
    return true;
}

} // namespace

class TstFieldDiagnosis : public QObject
{
    Q_OBJECT

private slots:
    void probe_data();
    void probe();
    void replay_data();
    void replay();
};

void TstFieldDiagnosis::probe_data()
{
    QTest::addColumn<QStringList>("simArgs");     // empty: a port that never answers
    QTest::addColumn<QStringList>("probeArgs");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("echoes");
    QTest::addColumn<QString>("otherDevice");
    QTest::addColumn<QString>("write");
    QTest::addColumn<int>("images");              // areas that answer 1024 bytes: 23, or 0 (all silent)
    QTest::addColumn<bool>("allOnTime");          // the 10 round trips all answered in time
    QTest::addColumn<QStringList>("verdict");     // lines the verdict must hold
    QTest::addColumn<QStringList>("unsaid");      // and must not

    const quint16 answerPort = freePort();
    QTest::newRow("echoing controller, own device only")
        << QStringList{"--device", "1"} << QStringList{"--write-test", "ID4x10"} << 0 << true << "silent"
        << "copies header" << 23 << true
        << QStringList{"echoes sequence always: late answers are recognised",
                       "ignores other device ids (5 reads as device 2, none answered): a wrong --device looks like "
                       "a dead controller (8)",
                       "copies the write header (always): late write answers are recognised"}
        << QStringList{"lost ", "shorter"};
    QTest::newRow("no echo") << QStringList{"--no-echo"} << QStringList() << 0 << false << "silent" << "" << 23 << true
                             << QStringList{"does not echo (the sequence copied never): a late answer can be taken "
                                            "for the next one; keep one request in flight"}
                             << QStringList();
    QTest::newRow("answers from another port")
        << QStringList{"--answer-port", QString::number(answerPort)} << QStringList() << 0 << true << "silent" << ""
        << 23 << true
        << QStringList{"echoes sequence always: late answers are recognised",
                       QStringLiteral("answers from port %1, not ").arg(answerPort)}
        << QStringList();
    QTest::newRow("answers any device id") << QStringList{"--ignore-device"} << QStringList() << 0 << true << "same"
                                           << "" << 23 << true
                                           << QStringList{"answers any device id (as device 2: always)"}
                                           << QStringList();
    // Losses and short answers now and then are rates, not habits of areas.
    QTest::newRow("one answer in ten lost")
        << QStringList{"--fault", "drop=0.1", "--seed", "3"} << QStringList{"--wait", "500"} << 0 << true << "silent"
        << "" << 23 << false << QStringList{"lost "} << QStringList{"no answer for", "shorter"};
    QTest::newRow("three answers in ten cut short")
        << QStringList{"--fault", "truncate=0.3", "--seed", "3"} << QStringList() << 0 << true << "silent" << ""
        << 23 << true << QStringList{"reads answered shorter than a header ("}
        << QStringList{"only answers shorter", "lost "};
    // A controller of another device id: the default ids miss it, a scan
    // that holds it finds it.
    QTest::newRow("device 7, default scan") << QStringList{"--device", "7"} << QStringList{"--wait", "100"} << 1
                                            << false << "" << "" << 0 << false
                                            << QStringList{"the port is open (no refusal came) but nothing answers "
                                                           "device ids 0, 1, 2, 255: try --scan-devices 0-255"}
                                            << QStringList();
    QTest::newRow("device 7, scan 0-255") << QStringList{"--device", "7"}
                                          << QStringList{"--wait", "300", "--scan-devices", "0-255"} << 0 << true << ""
                                          << "" << 0 << false
                                          << QStringList{"answers device id 7, not 1: give --device 7"}
                                          << QStringList{"no answer for"};
    QTest::newRow("silent port") << QStringList() << QStringList{"--wait", "100"} << 1 << false << "" << "" << 0 << false
                                 << QStringList{"the port is open (no refusal came) but nothing answers device ids "
                                                "0, 1, 2, 255: try --scan-devices 0-255"}
                                 << QStringList();
}

void TstFieldDiagnosis::probe()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, probeArgs);
    QFETCH(int, status);
    QFETCH(bool, echoes);
    QFETCH(QString, otherDevice);
    QFETCH(QString, write);
    QFETCH(int, images);
    QFETCH(bool, allOnTime);
    QFETCH(QStringList, verdict);
    QFETCH(QStringList, unsaid);

    ToolProcess sim(kSim);
    QUdpSocket silent;
    quint16 port = 0;
    if (simArgs.isEmpty()) {
        QVERIFY(silent.bind(QHostAddress(QHostAddress::LocalHost), 0));
        port = silent.localPort();
    } else {
        QVERIFY2(sim.start(QStringList{"--listen", "127.0.0.1:0"} + simArgs), qPrintable(sim.error));
        port = listeningPort(sim);
        QVERIFY2(port, sim.err.constData());
    }

    QElapsedTimer clock;
    clock.start();
    const ToolRun r = runTool(QStringList{"--json", "--connect", endpoint(port), "probe", "--count", "10"} + probeArgs);
    const qint64 elapsed = clock.elapsed();
    if (!simArgs.isEmpty())
        stop(sim);
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, status);

    // The bound the probe announces holds, and each stage says it began.
    const QRegularExpression bound(QStringLiteral("at most (\\d+) requests and (\\d+) s"));
    const QRegularExpressionMatch m = bound.match(r.errText());
    QVERIFY2(m.hasMatch(), qPrintable(r.errText()));
    QVERIFY2(elapsed < m.captured(2).toLongLong() * 1000 + 5000, qPrintable(QString::number(elapsed)));
    QVERIFY2(r.errText().contains(QStringLiteral("veskor: probe: areas: 23 areas, 5 reads each\n")),
             qPrintable(r.errText()));

    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    QVERIFY2(!o.isEmpty(), r.out.constData());
    QVERIFY(o.value(QStringLiteral("requests")).toInt() <= m.captured(1).toInt());
    QCOMPARE(o.value(QStringLiteral("answered")).toBool(), status == 0);
    QCOMPARE(o.value(QStringLiteral("echo")).toObject().value(QStringLiteral("echoesSequence")).toBool(), echoes);
    QCOMPARE(o.value(QStringLiteral("otherDevice")).toObject().value(QStringLiteral("answer")).toString(),
             otherDevice);
    QCOMPARE(o.value(QStringLiteral("write")).toObject().value(QStringLiteral("answer")).toString(), write);
    if (allOnTime)
        QCOMPARE(o.value(QStringLiteral("reads")).toObject().value(QStringLiteral("onTime")).toInt(), 10);
    const QJsonArray areas = o.value(QStringLiteral("areas")).toArray();
    QCOMPARE(areas.size(), 23);
    for (const QJsonValue &a : areas) {
        const QJsonObject area = a.toObject();
        QCOMPARE(area.value(QStringLiteral("answer")).toString(), images ? QStringLiteral("image") : QStringLiteral("silent"));
        if (images)
            QCOMPARE(area.value(QStringLiteral("length")).toInt(), 1024);
    }
    const QString said = o.value(QStringLiteral("verdict")).toVariant().toStringList().join(QLatin1Char('\n'));
    for (const QString &v : verdict)
        QVERIFY2(said.contains(v), qPrintable(said));
    for (const QString &v : unsaid)
        QVERIFY2(!said.contains(v), qPrintable(said));
}

void TstFieldDiagnosis::replay_data()
{
    QTest::addColumn<int>("linkType");   // -1: the simulator's own capture as it is
    QTest::newRow("raw IPv4 (veskor-sim --pcap)") << -1;
    QTest::newRow("Ethernet") << int(DLT_EN10MB);
    QTest::newRow("Linux cooked") << int(DLT_LINUX_SLL);
}

void TstFieldDiagnosis::replay()
{
    QFETCH(int, linkType);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString captured = dir.filePath(QStringLiteral("field.pcap"));
    const QStringList read{"--json", "--connect", QString(), "read", "ID4x10:int16:2", "ID1x0:uint8:3",
                           "ID7x6:string:4"};

    // At the site: a session with the controller, captured.
    ToolProcess site(kSim);
    QVERIFY2(site.start({"--listen", "127.0.0.1:0", "--area-size", "64", "--pcap", captured, "--set",
                         "ID4x:10:2a00feff", "--set", "ID1x:0:050607", "--set", "ID7x:6:4f4b0000"}),
             qPrintable(site.error));
    const quint16 sitePort = listeningPort(site);
    QVERIFY2(sitePort, site.err.constData());
    QStringList args = read;
    args[2] = endpoint(sitePort);
    const ToolRun atSite = runTool(args);
    stop(site);
    QVERIFY2(atSite.finished && atSite.exitCode == 0, atSite.err.constData());
    const QStringList expected = readValues(atSite.out);
    QCOMPARE(expected.size(), 3);
    QVERIFY2(expected.first().contains(QStringLiteral("[42,-2]")), qPrintable(expected.first()));

    // At the desk: the capture answers in the controller's place, on another port.
    QString replayed = captured;
    if (linkType >= 0) {
        replayed = dir.filePath(QStringLiteral("converted.pcap"));
        QString error;
        QVERIFY2(convertCapture(captured, replayed, linkType, &error), qPrintable(error));
    }
    ToolProcess desk(kSim);
    QVERIFY2(desk.start({"--listen", "127.0.0.1:0", "--replay", replayed}), qPrintable(desk.error));
    const quint16 deskPort = listeningPort(desk);
    QVERIFY2(deskPort, desk.err.constData());
    args[2] = endpoint(deskPort);
    const ToolRun atDesk = runTool(args);
    stop(desk);
    QVERIFY2(atDesk.finished && atDesk.exitCode == 0, atDesk.err.constData());
    QCOMPARE(readValues(atDesk.out), expected);
}

QTEST_GUILESS_MAIN(TstFieldDiagnosis)
#include "tst_field_diagnosis.moc"
