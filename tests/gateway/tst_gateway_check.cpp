// veskor-gateway --check, and a start that fails, as separate processes: the
// shipped example and every configuration the manual page and the Markdown
// files show pass without a warning; names the broker cannot take, a FIFO
// as tag file and an MQTT setup the library refuses are reported, and the
// exit status says so.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString kGateway = QStringLiteral(VESKOR_GATEWAY_EXE);
const QString kSource = QStringLiteral(VESKOR_SOURCE_DIR);
enum { ExitOk = 0, ExitUsage = 2, ExitStart = 3 };

struct Run {
    int status = -1;        // -1: did not end by itself
    QByteArray out, err;
    qint64 ms = 0;
};

Run gateway(const QStringList &args, int limitMs = 10000)
{
    Run r;
    QElapsedTimer clock;
    clock.start();
    QProcess p;
    p.start(kGateway, args);
    if (!p.waitForFinished(limitMs)) {
        p.kill();
        p.waitForFinished(2000);
    } else if (p.exitStatus() == QProcess::NormalExit) {
        r.status = p.exitCode();
    }
    r.ms = clock.elapsed();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The JSON objects with "controllers" a manual page shows between .EX and
// .EE, with roff's escapes undone.
QList<QByteArray> manPageConfigs(const QByteArray &page)
{
    QList<QByteArray> found;
    static const QRegularExpression block(QStringLiteral("^\\.EX\\n(\\{.*?)^\\.EE$"),
                                          QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
    for (auto it = block.globalMatch(QString::fromUtf8(page)); it.hasNext();) {
        QString text = it.next().captured(1);
        text.replace(QLatin1String("\\-"), QLatin1String("-")).replace(QLatin1String("\\(dq"), QLatin1String("\""))
            .replace(QLatin1String("\\(aq"), QLatin1String("'")).replace(QLatin1String("\\e"), QLatin1String("\\"));
        if (text.contains(QLatin1String("\"controllers\"")))
            found << text.toUtf8();
    }
    return found;
}

// The ```json blocks of a Markdown file that hold a configuration.
QList<QByteArray> markdownConfigs(const QByteArray &text)
{
    QList<QByteArray> found;
    static const QRegularExpression block(QStringLiteral("^```json\\n(.*?)^```$"),
                                          QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
    for (auto it = block.globalMatch(QString::fromUtf8(text)); it.hasNext();) {
        const QString json = it.next().captured(1);
        if (json.contains(QLatin1String("\"controllers\"")))
            found << json.toUtf8();
    }
    return found;
}

} // namespace

class tst_GatewayCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void shownConfigs_data();
    void shownConfigs();
    void overlapWarned();
    void badNames();
    void fifoTagFile();
    void startRefused();

private:
    QString write(const QString &name, const QByteArray &text);
    QTemporaryDir m_dir;
};

void tst_GatewayCheck::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString tst_GatewayCheck::write(const QString &name, const QByteArray &text)
{
    const QString path = m_dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return QString();
    return path;
}

void tst_GatewayCheck::shownConfigs_data()
{
    QTest::addColumn<QString>("path");
    const QDir examples(kSource + QStringLiteral("/tools/gateway/examples"));
    int shipped = 0, shown = 0;
    for (const QString &name : examples.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        QTest::newRow(qPrintable(QStringLiteral("examples/") + name)) << examples.filePath(name);
        ++shipped;
    }
    QList<QPair<QString, QList<QByteArray>>> docs;
    docs.append({QStringLiteral("veskor-gateway.1"), manPageConfigs(readAll(kSource + QStringLiteral("/tools/man/veskor-gateway.1")))});
    docs.append({QStringLiteral("README.md"), markdownConfigs(readAll(kSource + QStringLiteral("/README.md")))});
    const QDir docDir(kSource + QStringLiteral("/docs"));
    for (const QString &name : docDir.entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name))
        docs.append({name, markdownConfigs(readAll(docDir.filePath(name)))});
    for (const auto &[doc, configs] : docs) {
        for (int i = 0; i < configs.size(); ++i) {
            const QString name = QStringLiteral("%1-%2.json").arg(doc).arg(i);
            QTest::newRow(qPrintable(name)) << write(name, configs.at(i));
            ++shown;
        }
    }
    // The example and the manual page's file at least: an extraction that
    // finds nothing would pass nothing.
    if (shipped < 1 || shown < 1)
        QTest::newRow("found none") << QString();
}

// Each passes --check with status 0, no warning (no write of a writable tag
// lands on another tag's bytes in any area) and its counts on stdout.
void tst_GatewayCheck::shownConfigs()
{
    QFETCH(QString, path);
    QVERIFY2(!path.isEmpty(), "no configuration found in the examples, the manual page or the Markdown files");
    QVERIFY2(QJsonDocument::fromJson(readAll(path)).isObject(), qPrintable(path + QStringLiteral(" is no JSON object")));
    const Run r = gateway({QStringLiteral("--check"), QStringLiteral("--config"), path});
    QVERIFY2(r.status == ExitOk, r.err.constData());
    QCOMPARE(r.err, QByteArray());
    QVERIFY(QRegularExpression(QStringLiteral(": \\d+ controller\\(s\\), \\d+ tag\\(s\\)\\n$")).match(QString::fromUtf8(r.out)).hasMatch());
}

// The example as it was, its setpoint at ID4x10 over the recipe at ID2x0:
// --check passes it with one warning line naming both.
void tst_GatewayCheck::overlapWarned()
{
    QByteArray text = readAll(kSource + QStringLiteral("/tools/gateway/examples/gateway.json"));
    QVERIFY(text.contains("\"setpoint\", \"tag\": \"ID4x16\""));
    text.replace("\"setpoint\", \"tag\": \"ID4x16\"", "\"setpoint\", \"tag\": \"ID4x10\"");
    const QString path = write(QStringLiteral("overlap.json"), text);
    const Run r = gateway({QStringLiteral("--check"), QStringLiteral("--config"), path});
    QCOMPARE(r.status, int(ExitOk));
    // The read plan: requests per cycle, bytes per area.
    QCOMPARE(r.out, (QStringLiteral("press1: 127.0.0.1:50200 every 100 ms: 3 request(s) per cycle, grouped: ID4x 28 bytes, "
                                    "ID1x 9 bytes, ID2x 16 bytes\n"
                                    "press2: 127.0.0.1:50201 every 500 ms: 1 request(s) per cycle, grouped: ID4x 56 bytes\n")
                     + path + QStringLiteral(": 2 controller(s), 7 tag(s)\n")).toUtf8());
    QCOMPARE(r.err, (path + QStringLiteral(": controllers[0] (press1): warning: a write to setpoint (ID4x10, bytes 10..13) "
                                           "also lands on recipe (ID2x0, bytes 0..15), as the controller stores a write "
                                           "at its address in every area\n")).toUtf8());
}

// Each kind of bad name, one fault line each, status 2 from --check and
// from a start alike.
void tst_GatewayCheck::badNames()
{
    const QString path = write(QStringLiteral("names.json"), R"({"mqtt": {"prefix": "plant"}, "metrics": false,
        "controllers": [
          {"name": "\ud800", "connect": "127.0.0.1:50200", "tags": [{"name": "x", "tag": "ID4x0", "type": "int16"}]},
          {"name": "\ud801", "connect": "127.0.0.1:50200", "tags": [{"name": "x", "tag": "ID4x0", "type": "int16"}]},
          {"name": "c\n1", "connect": "127.0.0.1:50200", "tags": [{"name": "x", "tag": "ID4x0", "type": "int16"}]},
          {"name": "press1", "connect": "127.0.0.1:50200", "tags": [
            {"name": "t\u0001", "tag": "ID4x0", "type": "int16"}, {"name": "a+b", "tag": "ID4x2", "type": "int16"},
            {"name": "\ufffe", "tag": "ID4x4", "type": "int16"}, {"name": "#", "tag": "ID4x6", "type": "int16"}]},
          {"name": "press1", "connect": "127.0.0.1:50200", "tags": [{"name": "x", "tag": "ID4x0", "type": "int16"}]}]})");
    const QString file = path + QStringLiteral(": ");
    const QStringList expected{
        file + R"(controllers[0].name: "\uD800" is no name: it holds U+D800, half of a surrogate pair alone)",
        file + R"(controllers[1].name: "\uD801" is no name: it holds U+D801, half of a surrogate pair alone)",
        file + R"(controllers[2].name: "c\u000A1" is no name: it holds the control character U+000A)",
        file + R"(controllers[3].tags[0]: name "t\u0001" is no topic level: it holds the control character U+0001)",
        file + R"(controllers[3].tags[1]: name "a+b" is no topic level: it holds '+')",
        file + R"(controllers[3].tags[2]: name "\uFFFE" is no topic level: it holds the noncharacter U+FFFE)",
        file + R"(controllers[3].tags[3]: name "#" is no topic level: it holds '#')",
        file + R"(controllers[4].name: "press1" is the name of an earlier controller, controllers[3] (the same client id and topics))"};
    for (const bool check : {true, false}) {
        QStringList args{QStringLiteral("--config"), path};
        if (check)
            args << QStringLiteral("--check");
        const Run r = gateway(args);
        QCOMPARE(r.status, int(ExitUsage));
        QCOMPARE(QString::fromUtf8(r.err).split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
    }
}

// A FIFO named as tag file is refused at once, not waited on.
void tst_GatewayCheck::fifoTagFile()
{
    const QString fifo = m_dir.filePath(QStringLiteral("tags.fifo"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    const QString path = write(QStringLiteral("fifo.json"), R"({"mqtt": {}, "metrics": false, "controllers": [
        {"name": "press1", "connect": "127.0.0.1:50200", "tag_file": "tags.fifo"}]})");
    const Run r = gateway({QStringLiteral("--check"), QStringLiteral("--config"), path}, 5000);
    QCOMPARE(r.status, int(ExitUsage));
    QVERIFY2(r.ms < 2000, qPrintable(QStringLiteral("took %1 ms").arg(r.ms)));
    QCOMPARE(r.err, (path + QStringLiteral(": controllers[0].tag_file: ") + fifo
                     + QStringLiteral(" is a FIFO, not a regular file\n")).toUtf8());
}

// An MQTT setup the library refuses (a user name with a line end in it):
// --check makes each controller's setup and says 3; a start says 3 at
// once, with each controller's reason, and leaves the metrics port free.
void tst_GatewayCheck::startRefused()
{
    QTcpServer free;
    QVERIFY(free.listen(QHostAddress::LocalHost, 0));
    const quint16 metricsPort = free.serverPort();
    free.close();
    const QString path = write(QStringLiteral("user.json"), QStringLiteral(R"({"mqtt": {"port": 1, "username": "op\nerator"},
        "metrics": "127.0.0.1:%1", "controllers": [
        {"name": "press1", "connect": "127.0.0.1:50200", "tags": [{"name": "x", "tag": "ID4x0", "type": "int16"}]},
        {"name": "press2", "connect": "127.0.0.1:50201", "tags": [{"name": "x", "tag": "ID4x0", "type": "int16"}]}]})")
                                                                .arg(metricsPort).toUtf8());
    const Run checked = gateway({QStringLiteral("--check"), QStringLiteral("--config"), path});
    QCOMPARE(checked.status, int(ExitStart));
    QCOMPARE(checked.out, QByteArray());
    QCOMPARE(checked.err, (path + QStringLiteral(": controllers[0] (press1) would not start: MQTT setup: Malformed UTF-8\n")
                           + path + QStringLiteral(": controllers[1] (press2) would not start: MQTT setup: Malformed UTF-8\n")).toUtf8());

    const Run started = gateway({QStringLiteral("--config"), path});
    QCOMPARE(started.status, int(ExitStart));
    // Each line after its time and level.
    const QString line = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d error "
                                        "veskor-gateway: %1: MQTT setup: Malformed UTF-8\\n");
    QVERIFY2(QRegularExpression(QStringLiteral("\\A") + line.arg(QLatin1String("press1")) + line.arg(QLatin1String("press2"))
                                + QStringLiteral("\\z"))
                 .match(QString::fromUtf8(started.err)).hasMatch(),
             started.err.constData());
    QVERIFY2(started.ms < 5000, qPrintable(QStringLiteral("took %1 ms").arg(started.ms)));
    QTcpServer again;
    QVERIFY(again.listen(QHostAddress::LocalHost, metricsPort));
}

QTEST_GUILESS_MAIN(tst_GatewayCheck)
#include "tst_gateway_check.moc"
