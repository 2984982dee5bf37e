// veskor-sim --config: a bench file sets up the running simulator (checked
// over UDP), the other options add to it, and a faulty file ends the program
// with status 2 and a message that names the fault. Also the conventions
// veskor-sim shares with veskor: -V, unknown options, host names.
#include "ToolProcess.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

class TstVeskorSimConfig : public QObject
{
    Q_OBJECT

private slots:
    void benchAnswersRead();
    void exampleStarts();
    void badFile_data();
    void badFile();
    void commandLine_data();
    void commandLine();

private:
    QString writeFile(const QString &name, const QByteArray &text);
    QTemporaryDir m_dir;
};

QString TstVeskorSimConfig::writeFile(const QString &name, const QByteArray &text)
{
    const QString path = m_dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        return QString();
    return path;
}

void TstVeskorSimConfig::benchAnswersRead()
{
    // ID1x's byte lands at an offset of ID4x that only the fill covers, so a
    // seed put into the wrong area shows.
    const QString path = writeFile(QStringLiteral("bench.json"), R"({
        "listen": "127.0.0.1:0",
        "areaSize": 300,
        "seed": 7,
        "delayMs": 2500,
        "fill": 170,
        "areas": { "ID4x": [ { "offset": 0, "hex": "3412ffff" } ],
                   "id1x": [ { "offset": 8, "hex": "01" } ] },
        "faults": { "drop": 1 }
    })");
    QVERIFY(!path.isEmpty());

    // The command line adds a seed (at the very end of the area) and takes
    // back the file's drop fault.
    ToolProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--config"), path, QStringLiteral("--set"),
                        QStringLiteral("ID4x:298:beef"), QStringLiteral("--fault"),
                        QStringLiteral("drop=0")}),
             qPrintable(sim.error));
    const quint16 port = listeningPort(sim);
    QVERIFY2(sim.out.startsWith("veskor-sim listening on 127.0.0.1:") && port != 0,
             qPrintable(QStringLiteral("stdout: %1\nstderr: %2")
                            .arg(QString::fromUtf8(sim.out), QString::fromUtf8(sim.err))));

    // Read ID4x: 'M' 'R' 0e 00, sequence LSB first, 1e 00, area code
    // big-endian, device id LSB first.
    const QByteArray request = QByteArray::fromHex("4d520e00" "3412" "1e00" "30008200" "01000000");
    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QByteArray answer;
    for (int attempt = 0; attempt < 3 && answer.isEmpty(); ++attempt) {
        QCOMPARE(udp.writeDatagram(request, QHostAddress::LocalHost, port), qint64(request.size()));
        if (udp.waitForReadyRead(5000)) {
            answer.resize(int(udp.pendingDatagramSize()));
            udp.readDatagram(answer.data(), answer.size());
        }
    }
    QVERIFY2(!answer.isEmpty(), "no answer to the read request");
    QCOMPARE(answer.size(), 16 + 300);
    QCOMPARE(answer.left(16).toHex(), request.toHex());
    QByteArray want(300, char(0xaa));
    want.replace(0, 4, QByteArray::fromHex("3412ffff"));
    want.replace(298, 2, QByteArray::fromHex("beef"));
    QCOMPARE(answer.mid(16).toHex(), want.toHex());

    QVERIFY(sim.sendSignal(SIGTERM));
    QVERIFY2(sim.waitForFinished(60000), qPrintable(sim.error));
    QCOMPARE(sim.exitCode, 0);
}

// The bench file shipped as an example is one veskor-sim takes.
void TstVeskorSimConfig::exampleStarts()
{
    ToolProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--config"), QStringLiteral(VESKOR_SIM_EXAMPLE),
                        QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")}),
             qPrintable(sim.error));
    listeningPort(sim);
    QVERIFY2(sim.out.startsWith("veskor-sim listening on 127.0.0.1:"),
             qPrintable(QString::fromUtf8(sim.out + sim.err)));
    QVERIFY(sim.sendSignal(SIGTERM));
    QVERIFY2(sim.waitForFinished(60000), qPrintable(sim.error));
    QCOMPARE(sim.exitCode, 0);
}

void TstVeskorSimConfig::badFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");   // what stderr says after "--config 'FILE': "

    QTest::newRow("unknown key") << QByteArray(R"({"listen": "127.0.0.1:0", "colour": "red"})")
                                 << "unknown key 'colour'";
    QTest::newRow("unknown key in an area entry")
        << QByteArray(R"({"areas": {"ID4x": [{"offset": 0, "hex": "00", "size": 1}]}})")
        << "areas.ID4x[0]: unknown key 'size'";
    QTest::newRow("bad fault kind") << QByteArray(R"({"faults": {"sometimes": 0.1}})")
                                    << "faults: unknown fault kind 'sometimes'";
    QTest::newRow("probability 1.5") << QByteArray(R"({"faults": {"corrupt-echo": 1.5}})")
                                     << "faults.corrupt-echo 1.5: expected a probability 0..1";
    QTest::newRow("probability as a string") << QByteArray(R"({"faults": {"drop": "0.1"}})")
                                             << "faults.drop \"0.1\": expected a probability";
    QTest::newRow("odd hex") << QByteArray(R"({"areas": {"id4x": [{"offset": 0, "hex": "123"}]}})")
                             << "areas.id4x[0].hex \"123\": expected a string of an even number";
    QTest::newRow("unknown area") << QByteArray(R"({"areas": {"ID24x": []}})")
                                  << "areas: unknown area 'ID24x'";
    QTest::newRow("offset past the area")
        << QByteArray(R"({"areaSize": 16, "areas": {"ID1x": [{"offset": 15, "hex": "0102"}]}})")
        << "areas.ID1x[0] (offset 15, 2 bytes): does not fit in an area of 16 bytes";
    QTest::newRow("area size out of range") << QByteArray(R"({"areaSize": 65492})")
                                            << "areaSize 65492: expected a whole number 0..65491";
    QTest::newRow("seed as a string") << QByteArray(R"({"seed": "7"})") << "seed \"7\": expected";
    QTest::newRow("listen not IPv4") << QByteArray(R"({"listen": "::1:50200"})")
                                     << "listen \"::1:50200\": '::1' is not an IPv4 address";
    QTest::newRow("not an object") << QByteArray("[]") << "expected a JSON object";
    QTest::newRow("device as a string") << QByteArray(R"({"device": "7"})")
                                        << "device \"7\": expected a whole number 0..4294967295";
    QTest::newRow("device and ignoreDevice")
        << QByteArray(R"({"device": 7, "ignoreDevice": true})")
        << "\"device\" and \"ignoreDevice\": true contradict each other";
    QTest::newRow("noEcho as a number") << QByteArray(R"({"noEcho": 1})")
                                        << "noEcho 1: expected true or false";
    QTest::newRow("answerPort 0") << QByteArray(R"({"answerPort": 0})")
                                  << "answerPort 0: expected a port 1..65535";
    // Parse errors are reported as QJsonParseError has them.
    for (const QByteArray &text : {QByteArray("{\"areaSize\": 16,\n}"), QByteArray("{\"fill\": 0")}) {
        QJsonParseError e;
        QJsonDocument::fromJson(text, &e);
        QTest::newRow(("bad JSON " + text).constData())
            << text << QStringLiteral("%1 at offset %2 ").arg(e.errorString()).arg(e.offset);
    }
}

void TstVeskorSimConfig::badFile()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    const QString path = writeFile(QStringLiteral("bad.json"), text);
    QVERIFY(!path.isEmpty());

    // The port is given so that a file taken by mistake starts no simulator
    // on the default one; such a run is stopped once it says it listens.
    ToolProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--config"), path, QStringLiteral("--listen"),
                        QStringLiteral("127.0.0.1:0")}),
             qPrintable(sim.error));
    if (listeningPort(sim))
        sim.sendSignal(SIGTERM);
    QVERIFY2(sim.waitForFinished(60000), qPrintable(sim.error));
    const QString err = QString::fromUtf8(sim.err);
    QCOMPARE(sim.exitCode, 2);
    QCOMPARE(sim.out, QByteArray());
    QCOMPARE(err.count(QLatin1Char('\n')), 1);
    const QString prefix = QStringLiteral("veskor-sim: --config '%1': ").arg(path);
    QVERIFY2(err.startsWith(prefix + message), qPrintable(err));
}

void TstVeskorSimConfig::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");   // a pattern stdout matches
    QTest::addColumn<QString>("err");   // stderr; ending in ": ", its beginning

    const QString version = QStringLiteral("^veskor-sim \\d+\\.\\d+\\.\\d+\n$");
    QTest::newRow("-V") << QStringList{"-V"} << 0 << version << "";
    QTest::newRow("--version") << QStringList{"--version"} << 0 << version << "";
    QTest::newRow("-v") << QStringList{"-v"} << 2 << "^$" << "veskor-sim: unknown option -v; did you mean -V?\n";
    QTest::newRow("misspelt option") << QStringList{"--lisen", "127.0.0.1:0"} << 2 << "^$"
                                     << "veskor-sim: unknown option --lisen; did you mean --listen?\n";
    QTest::newRow("unknown option") << QStringList{"--frob"} << 2 << "^$"
                                    << "veskor-sim: unknown option '--frob' (try veskor-sim --help)\n";
    // --listen takes host names as veskor --connect does.
    QTest::newRow("host name") << QStringList{"--listen", "localhost:0"} << 0
                               << "^veskor-sim listening on 127\\.0\\.0\\.1:\\d+\n$" << "";
    QTest::newRow("host name that does not resolve") << QStringList{"--listen", "no-such-host.invalid:0"} << 4 << "^$"
        << "veskor-sim: --listen 'no-such-host.invalid:0': cannot resolve no-such-host.invalid to an IPv4 address: ";
}

void TstVeskorSimConfig::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    ToolProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.error));
    if (listeningPort(sim))
        sim.sendSignal(SIGTERM);
    QVERIFY2(sim.waitForFinished(60000), qPrintable(sim.error));
    QCOMPARE(sim.exitCode, status);
    QVERIFY2(QString::fromUtf8(sim.out).contains(QRegularExpression(out)), sim.out.constData());
    if (err.endsWith(QLatin1String(": "))) {   // the resolver's own words follow
        QVERIFY2(QString::fromUtf8(sim.err).startsWith(err), sim.err.constData());
        QCOMPARE(sim.err.count('\n'), 1);
    } else {
        QCOMPARE(QString::fromUtf8(sim.err), err);
    }
}

QTEST_GUILESS_MAIN(TstVeskorSimConfig)
#include "tst_veskor_sim_config.moc"
