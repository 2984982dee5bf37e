// The veskor program end to end: the real plug-in loaded with dlopen, the
// embedded simulator over UDP on 127.0.0.1, output and exit statuses.
#include "ToolProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

class TstVeskorE2e : public QObject
{
    Q_OBJECT

private slots:
    void info();
    void infoJson();
    void writeThenRead_data();
    void writeThenRead();
    void writeThenReadJson();
    void multiTagRead();
    void multiTagReadJson();
    void poll();
    void pollChangesJson();
    void pollEndsOnCtrlC();
    void severalTagsAndTagFiles();
    void scaledTagFile_data();
    void scaledTagFile();
    void hexShowsWireBytes_data();
    void hexShowsWireBytes();
    void exitStatus_data();
    void exitStatus();
    void pluginSearch_data();
    void pluginSearch();
    void debugShowsTraffic();
};

namespace {

const QRegularExpression kIsoTime(
    QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));

QStringList words(const char *line)
{
    return QString::fromUtf8(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QJsonObject jsonLine(const QString &line)
{
    QJsonParseError e;
    const QJsonDocument d = QJsonDocument::fromJson(line.toUtf8(), &e);
    if (e.error != QJsonParseError::NoError || !d.isObject())
        return QJsonObject();
    return d.object();
}

// The value of "key  value" lines of the text output, in order.
QStringList field(const ToolRun &r, const QString &key)
{
    QStringList out;
    for (const QString &l : r.outLines()) {
        if (l.startsWith(key + QLatin1Char(' ')))
            out << l.mid(key.size()).trimmed();
    }
    return out;
}

} // namespace

void TstVeskorE2e::info()
{
    const ToolRun r = runTool({QStringLiteral("info")});
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.errText(), QString());
    QCOMPARE(field(r, QStringLiteral("name")).size(), 1);
    QVERIFY(!field(r, QStringLiteral("name")).first().isEmpty());
    QVERIFY(!field(r, QStringLiteral("version")).value(0).isEmpty());
    QVERIFY2(QRegularExpression(QStringLiteral("^v\\d+\\.\\d+\\.\\d+ \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                 .match(field(r, QStringLiteral("build version")).value(0)).hasMatch(),
             r.out.constData());
}

void TstVeskorE2e::infoJson()
{
    const ToolRun text = runTool({QStringLiteral("info")});
    const ToolRun r = runTool({QStringLiteral("--json"), QStringLiteral("info")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.outLines().size(), 1);
    const QJsonObject o = jsonLine(r.outLines().first());
    QCOMPARE(o.value("name").toString(), field(text, QStringLiteral("name")).value(0));
    QCOMPARE(o.value("version").toString(), field(text, QStringLiteral("version")).value(0));
    QCOMPARE(o.value("buildVersion").toString(), field(text, QStringLiteral("build version")).value(0));
}

void TstVeskorE2e::writeThenRead_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("values");
    QTest::newRow("int16") << words("write ID4x10 int16 1 -2 3 then read ID4x10 int16 3") << "1 -2 3";
    QTest::newRow("int8 reads back as bytes") << words("write ID4x10 int8 -1 0 127 255 then read ID4x10 int8 4") << "255 0 127 255";
    QTest::newRow("uint8") << words("write ID2x3 uint8 0 0x7f 255 then read ID2x3 u8 3") << "0 127 255";
    QTest::newRow("uint16") << words("write ID4x100 uint16 65535 1 then read ID4x100 uint16 2") << "65535 1";
    QTest::newRow("int32") << words("write ID5x8 int32 -2147483648 2147483647 then read ID5x8 int32 2")
                           << "-2147483648 2147483647";
    QTest::newRow("uint32") << words("write ID4x0 uint32 4294967295 then read ID4x0 uint32") << "4294967295";
    QTest::newRow("float") << words("write ID4x20 float 0.1 -2.5e10 nan inf then read ID4x20 f32 4") << "0.1 -2.5e+10 nan inf";
    QTest::newRow("int64") << words("write ID4x40 int64 -9223372036854775808 9007199254740993 then read ID4x40 int64 2")
                           << "-9223372036854775808 9007199254740993";
    QTest::newRow("uint64") << words("write ID4x40 uint64 18446744073709551615 then read ID4x40 uint64")
                            << "18446744073709551615";
    QTest::newRow("double") << words("write ID4x16 double 0.1 -1e-300 then read ID4x16 double 2") << "0.1 -1e-300";
    QTest::newRow("bools") << words("write ID1x0 bool on off 1 0 true then read ID1x0 bool 5") << "true false true false true";
    QTest::newRow("one bool") << words("write ID1x9 bool 1 then read ID1x9 bool") << "true";
    QTest::newRow("string") << QStringList{"write", "ID4x50", "string", "héllo wörld", "then", "read", "ID4x50", "string", "14"}
                            << "\"héllo wörld\" (+13 empty)";
    QTest::newRow("string --size") << QStringList{"write", "ID4x50", "string", "ab", "--size", "8", "then", "read",
                                                  "ID4x50", "uint8", "8"}
                                   << "2 97 98 0 0 0 0 0";
    QTest::newRow("simulator stores a write in every area")
        << words("write ID4x10 int16 7 then read ID1x10 int16") << "7";
    QTest::newRow("memory starts zeroed") << words("read ID4x10 int16 2") << "0 0";
}

void TstVeskorE2e::writeThenRead()
{
    QFETCH(QStringList, args);
    QFETCH(QString, values);
    const ToolRun r = runTool(args);
    QVERIFY2(r.finished, qPrintable(r.error));
    QVERIFY2(r.exitCode == 0, r.out.constData());
    QCOMPARE(r.errText(), embeddedNote());
    const QStringList results = field(r, QStringLiteral("result"));
    for (const QString &code : results)
        QCOMPARE(code, QStringLiteral("0 (done)"));
    QCOMPARE(field(r, QStringLiteral("read")).size(), 1);
    QCOMPARE(field(r, QStringLiteral("values")).last(), values);
    for (const QString &t : field(r, QStringLiteral("time")))
        QVERIFY2(kIsoTime.match(t).hasMatch(), qPrintable(t));
}

void TstVeskorE2e::writeThenReadJson()
{
    const ToolRun r = runTool(words("--json write ID4x10 int16 1 -2 3 then read ID4x10 int16 3 "
                                    "then write ID4x40 int64 -9007199254740993 5 then read ID4x40 i64 2 "
                                    "then write ID4x60 float 0.1 nan then read ID4x60 float 2"));
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.outLines();
    QCOMPARE(lines.size(), 6);
    const char *commands[] = {"write", "read", "write", "read", "write", "read"};
    for (int i = 0; i < lines.size(); ++i) {
        const QJsonObject o = jsonLine(lines.at(i));
        QVERIFY2(!o.isEmpty(), qPrintable(lines.at(i)));
        QCOMPARE(o.value("command").toString(), QString::fromLatin1(commands[i]));
        for (const char *key : {"tag", "type", "count", "resultCode", "meaning", "values", "timeStamp"})
            QVERIFY2(o.contains(QLatin1String(key)), key);
        QCOMPARE(o.value("resultCode").toInt(-1), 0);
        QCOMPARE(o.value("meaning").toString(), QStringLiteral("done"));
        QVERIFY2(kIsoTime.match(o.value("timeStamp").toString()).hasMatch(), qPrintable(lines.at(i)));
        QVERIFY(!o.contains("rttMs"));
    }
    const QJsonObject int16Read = jsonLine(lines.at(1));
    QCOMPARE(int16Read.value("tag").toString(), QStringLiteral("ID4x10"));
    QCOMPARE(int16Read.value("type").toString(), QStringLiteral("int16"));
    QCOMPARE(int16Read.value("count").toInt(), 3);
    QCOMPARE(int16Read.value("values").toArray(), (QJsonArray{1, -2, 3}));
    // Past 2^53 a 64-bit integer is a string; below it a number.
    const QJsonArray int64s = jsonLine(lines.at(3)).value("values").toArray();
    QCOMPARE(int64s.at(0).toString(), QStringLiteral("-9007199254740993"));
    QVERIFY(int64s.at(1).isDouble());
    QCOMPARE(int64s.at(1).toDouble(), 5.0);
    const QJsonArray floats = jsonLine(lines.at(5)).value("values").toArray();
    QCOMPARE(floats.at(0).toDouble(), 0.1);
    QCOMPARE(floats.at(1).toString(), QStringLiteral("nan"));
}

void TstVeskorE2e::multiTagRead()
{
    const ToolRun r = runTool(words("write ID4x10 int16 1 -2 3 then write ID4x20 double 2.5 "
                                    "then read ID4x10:int16:3 ID4x20:double ID1x0:bool:4 Q7:int16"));
    QVERIFY2(r.finished, qPrintable(r.error));
    // The tag without an area gives code 3, so not every result was 0.
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.errText(), embeddedNote());
    const QStringList lines = r.outLines();
    const int header = lines.indexOf(QRegularExpression(QStringLiteral("^TAG +TYPE +COUNT +CODE +MEANING +VALUES$")));
    QVERIFY2(header >= 0, r.out.constData());
    QCOMPARE(lines.size(), header + 5);
    auto row = [&](int i) { return lines.at(header + 1 + i).split(QRegularExpression(QStringLiteral("  +"))); };
    QCOMPARE(row(0), (QStringList{"ID4x10", "int16", "3", "0", "done", "1 -2 3"}));
    QCOMPARE(row(1), (QStringList{"ID4x20", "double", "1", "0", "done", "2.5"}));
    QCOMPARE(row(2), (QStringList{"ID1x0", "bool", "4", "0", "done", "false false false false"}));
    QCOMPARE(row(3), (QStringList{"Q7", "int16", "1", "3", "no area in the tag name", "(none)"}));
}

void TstVeskorE2e::multiTagReadJson()
{
    const ToolRun r = runTool(words("--json write ID4x10 uint16 9 then read ID4x10:uint16 ID4x10:0 ID4x10:uint8:2"));
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 1);
    const QStringList lines = r.outLines();
    QCOMPARE(lines.size(), 4);
    const QJsonObject a = jsonLine(lines.at(1));
    const QJsonObject b = jsonLine(lines.at(2));
    const QJsonObject c = jsonLine(lines.at(3));
    QCOMPARE(a.value("values").toArray(), (QJsonArray{9}));
    QCOMPARE(b.value("resultCode").toInt(), 2);
    QCOMPARE(b.value("meaning").toString(), QStringLiteral("unsupported type"));
    QCOMPARE(b.value("type").toString(), QStringLiteral("0"));
    QCOMPARE(b.value("typeCode").toInt(-1), 0);
    QCOMPARE(c.value("values").toArray(), (QJsonArray{9, 0}));
}

void TstVeskorE2e::poll()
{
    const ToolRun r = runTool(words("write ID4x10 int16 4 5 then poll ID4x10 int16 2 --times 3 --interval 10"));
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.outLines().filter(QRegularExpression(QStringLiteral("  code ")));
    QCOMPARE(lines.size(), 3);
    const QRegularExpression line(QStringLiteral(
        "^(\\S+)  4 5  code 0 \\(done\\)  rtt \\d+\\.\\d{3} ms$"));
    for (const QString &l : lines) {
        const QRegularExpressionMatch m = line.match(l);
        QVERIFY2(m.hasMatch(), qPrintable(l));
        QVERIFY2(kIsoTime.match(m.captured(1)).hasMatch(), qPrintable(l));
    }
    QVERIFY2(r.errText().startsWith(embeddedNote()), r.err.constData());
    QVERIFY2(QRegularExpression(QStringLiteral(
                 "^poll ID4x10: 3 reads, 0 failed; round trip ms min \\d+\\.\\d{3}, median \\d+\\.\\d{3}, "
                 "max \\d+\\.\\d{3}\n$")).match(r.errText().mid(embeddedNote().size())).hasMatch(),
             r.err.constData());
}

void TstVeskorE2e::pollChangesJson()
{
    // Nothing changes between the reads: --changes prints the first only.
    const ToolRun r = runTool(words("--json poll ID4x10 uint32 --times 3 --interval 10 --changes"));
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 0);
    // The first read, then the summary: every line of stdout is JSON.
    QCOMPARE(r.outLines().size(), 2);
    const QJsonObject o = jsonLine(r.outLines().first());
    QCOMPARE(o.value("command").toString(), QStringLiteral("poll"));
    QCOMPARE(o.value("values").toArray(), (QJsonArray{0}));
    QVERIFY(o.value("rttMs").isDouble());
    QVERIFY(o.value("rttMs").toDouble() >= 0);
    const QJsonObject sum = jsonLine(r.outLines().last());
    QCOMPARE(sum.value("command").toString(), QStringLiteral("poll summary"));
    QCOMPARE(sum.value("tag").toString(), QStringLiteral("ID4x10"));
    QCOMPARE(sum.value("reads").toInt(), 3);
    QCOMPARE(sum.value("failed").toInt(-1), 0);
    QCOMPARE(sum.value("failures").toObject(), QJsonObject());
    const QJsonObject rtt = sum.value("rttMs").toObject();
    QVERIFY(rtt.value("min").toDouble() <= rtt.value("median").toDouble());
    QVERIFY(rtt.value("median").toDouble() <= rtt.value("max").toDouble());
    QCOMPARE(r.errText(), embeddedNote());
}

void TstVeskorE2e::pollEndsOnCtrlC()
{
    ToolProcess p;
    QVERIFY2(p.start(words("poll ID4x10 int16 --interval 20 then read ID4x10 int16")), qPrintable(p.error));
    // Wait for two poll lines, then interrupt.
    while (p.out.count('\n') < 2 && p.readSome(30000)) {
    }
    QVERIFY2(p.out.count('\n') >= 2, p.err.constData());
    QVERIFY(p.sendSignal(SIGINT));
    QVERIFY2(p.waitForFinished(), qPrintable(p.error));
    // Ctrl-C ends the poll with its summary; nothing is sent after it, so
    // the next command does not run, and the run was cut short.
    QCOMPARE(p.exitCode, 130);
    const QString err = QString::fromUtf8(p.err);
    QVERIFY2(err.startsWith(embeddedNote()), qPrintable(err));
    QVERIFY2(QRegularExpression(QStringLiteral("^poll ID4x10: \\d+ reads, 0 failed; round trip ms min "))
                 .match(err.mid(embeddedNote().size())).hasMatch(), qPrintable(err));
    QVERIFY2(!p.out.contains("read    ID4x10"), p.out.constData());
}

void TstVeskorE2e::severalTagsAndTagFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("panel.csv"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("tag,type,count,name\nID4x0,int16,2,Speed\nID4x10,uint8,,Level\n");
    f.close();

    // A poll of several tags: one line per round with every tag; a summary per tag.
    const ToolRun r = runTool(QStringList{"--quiet", "write", "ID4x0", "int16", "4", "5", "then", "read", "--tags", file,
                                          "then", "poll", "ID4x0:int16:2", "ID4x10:uint8", "--times", "2",
                                          "--interval", "10"});
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.outLines();
    const int header = lines.indexOf(QRegularExpression(QStringLiteral("^NAME +TAG +TYPE +COUNT +CODE +MEANING +VALUES$")));
    QVERIFY2(header >= 0, r.out.constData());
    QCOMPARE(lines.at(header + 1).split(QRegularExpression(QStringLiteral("  +"))),
             (QStringList{"Speed", "ID4x0", "int16", "2", "0", "done", "4 5"}));
    QCOMPARE(lines.at(header + 2).split(QRegularExpression(QStringLiteral("  +"))),
             (QStringList{"Level", "ID4x10", "uint8", "1", "0", "done", "0"}));
    const QRegularExpression round(QStringLiteral("^(\\S+)  ID4x0: 4 5 \\(0\\)  ID4x10: 0 \\(0\\)  rtt \\d+\\.\\d{3} ms$"));
    QCOMPARE(lines.filter(round).size(), 2);
    QCOMPARE(lines.size(), header + 3 + 2);
    const QStringList summaries = r.errText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(summaries.size(), 2);
    QVERIFY2(summaries.at(0).startsWith(QStringLiteral("poll ID4x0: 2 reads, 0 failed;")), r.err.constData());
    QVERIFY2(summaries.at(1).startsWith(QStringLiteral("poll ID4x10: 2 reads, 0 failed;")), r.err.constData());

    // A bad line is refused with its line number, before anything is sent.
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("tag,type\nID4x0,int16\nID4x2,quad\n");
    f.close();
    const ToolRun bad = runTool(QStringList{"poll", "--tags", file, "--times", "1"});
    QVERIFY2(bad.finished, qPrintable(bad.error));
    QCOMPARE(bad.exitCode, 2);
    QVERIFY2(bad.errText().startsWith(QStringLiteral("veskor: %1:3: unknown type \"quad\"").arg(file)), bad.err.constData());
    QCOMPARE(bad.outText(), QString());
}

void TstVeskorE2e::scaledTagFile_data()
{
    QTest::addColumn<QString>("args");        // FILE: plant.csv, OVER: overlap.csv
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("outHas");  // patterns, each matching a line of stdout (spaces squeezed)
    QTest::addColumn<QString>("err");         // stderr, exactly

    // temp: tenths of a degree from -40; level: half percent steps.
    QTest::newRow("read shows engineering values")
        << "--quiet write ID4x10 int16 615 then read --tags FILE" << 0
        << QStringList{"^temp ID4x10 int16 1 0 done 21\\.5 degC$", "^plain ID4x30 int16 1 0 done 0$"} << "";
    QTest::newRow("write of an engineering value stores its raw bytes")
        << "--quiet write --tags FILE temp 21.5 then read ID4x10 int16 --hex" << 0
        << QStringList{"^values 21\\.5 degC$", "^values 615$", "^hex 6702$"} << "";
    QTest::newRow("JSON has the raw values and the unit")
        << "--quiet --json write --tags FILE level 50 then read --tags FILE" << 0
        << QStringList{"^\\{\"command\":\"read\",.*\"name\":\"level\",\"rawValues\":\\[100\\],.*"
                       "\"unit\":\"%\",\"values\":\\[50\\]\\}$"} << "";
    QTest::newRow("no whole step: refused before anything starts")
        << "--debug write --tags FILE temp 21.55" << 2 << QStringList()
        << "veskor: value \"21.55\" of temp: 21.55 is no whole step of the scale 0.1 (raw value "
           "615.4999999999999): the controller could not hold it\n";
    QTest::newRow("out of the type's range") << "write --tags FILE level 32768" << 2 << QStringList()
        << "veskor: value \"32768\" of level: 32768 is raw value 65536, out of the range 0..65535 of uint16\n";
    QTest::newRow("writes that meet, said once")
        << "--quiet write ID4x10 int16 1 then write ID3x11 int8 2 then write ID4x10 int16 3" << 0
        << QStringList{"^values 3$"}
        << "veskor: warning: a write to ID4x10 (bytes 10..11) also lands on ID3x11 (bytes 11..11), as the controller "
           "stores a write at its address in every area (and 1 more such pair)\n";
    QTest::newRow("rows of the tag file that meet") << "--quiet write --tags OVER b 7" << 0 << QStringList{"^values 7$"}
        << "veskor: OVER:2: warning: a write to a (ID4x10, bytes 10..13) also lands on b (ID2x12, bytes 12..13), as "
           "the controller stores a write at its address in every area\n";
}

void TstVeskorE2e::scaledTagFile()
{
    QFETCH(QString, args);
    QFETCH(int, status);
    QFETCH(QStringList, outHas);
    QFETCH(QString, err);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("plant.csv"));
    const QString over = dir.filePath(QStringLiteral("overlap.csv"));
    QFile f(file), o(over);
    QVERIFY(f.open(QIODevice::WriteOnly) && o.open(QIODevice::WriteOnly));
    f.write("name,tag,type,scale,offset,unit\ntemp,ID4x10,int16,0.1,-40,degC\n"
            "level,ID4x20,uint16,0.5,,%\nplain,ID4x30,int16,,,\n");
    o.write("name,tag,type\na,ID4x10,int32\nb,ID2x12,int16\n");
    f.close();
    o.close();
    QStringList words = args.split(QLatin1Char(' '));
    words.replaceInStrings(QStringLiteral("FILE"), file);
    words.replaceInStrings(QStringLiteral("OVER"), over);
    const ToolRun r = runTool(words);
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, status);
    QStringList lines;
    for (const QString &l : r.outLines())
        lines << l.simplified();
    for (const QString &pattern : outHas)
        QVERIFY2(!lines.filter(QRegularExpression(pattern)).isEmpty(), qPrintable(pattern + "\n" + r.outText()));
    if (outHas.isEmpty())
        QCOMPARE(r.outText(), QString());
    QCOMPARE(r.errText(), QString(err).replace(QStringLiteral("OVER"), over));
}

void TstVeskorE2e::hexShowsWireBytes_data()
{
    QTest::addColumn<QString>("write");   // after "write"
    QTest::addColumn<QString>("read");    // after "read"
    QTest::addColumn<QString>("hex");

    // Little-endian numbers, one group per element; bits and strings as one group.
    QTest::newRow("int16") << "ID4x10 int16 1234 -5" << "ID4x10 int16 2" << "d204 fbff";
    QTest::newRow("float") << "ID4x20 float 1.5" << "ID4x20 float" << "0000c03f";
    QTest::newRow("uint64") << "ID4x30 uint64 0x0102030405060708" << "ID4x30 uint64" << "0807060504030201";
    QTest::newRow("ten bools") << "ID1x0 bool 1 0 1 1 0 0 0 0 1 1" << "ID1x0 bool 10" << "0d03";
    QTest::newRow("string field") << "ID4x40 string ab --size 5" << "ID4x40 string 5" << "0261620000";
}

void TstVeskorE2e::hexShowsWireBytes()
{
    QFETCH(QString, write);
    QFETCH(QString, read);
    QFETCH(QString, hex);
    const ToolRun r = runTool(QStringLiteral("--quiet write %1 then read %2 --hex").arg(write, read).split(QLatin1Char(' ')));
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(field(r, QStringLiteral("hex")), QStringList{hex});
    QCOMPARE(r.errText(), QString());   // the traffic log it reads stays hidden
}

void TstVeskorE2e::exitStatus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("stdoutHas");
    QTest::addColumn<QString>("stderr");   // exactly, "" for none; one line beginning so when it ends in ": "


    const QString note = embeddedNote();
    QTest::newRow("all done") << words("write ID4x0 int16 1 then read ID4x0 int16") << 0 << "0 (done)" << note;
    QTest::newRow("all done, quiet") << words("--quiet write ID4x0 int16 1 then read ID4x0 int16") << 0 << "0 (done)" << "";
    QTest::newRow("help") << words("read --help") << 0 << "Usage: veskor read" << "";
    QTest::newRow("no area in the tag") << words("read XY7 int16") << 1 << "result  3 (no area in the tag name)" << note;
    QTest::newRow("type the plug-in does not name") << words("read ID4x0 0") << 1 << "result  2 (unsupported type)" << note;
    QTest::newRow("string longer than its field") << words("write ID4x40 string hello --size 3") << 1
                                                  << "result  4 (bad length)" << note;
    // The answer the plug-in took gives the area's size: the cause names it.
    QTest::newRow("past the area's image") << words("read ID4x2000 int16") << 1
        << "ID4x2000 needs bytes 2000-2001; the controller's ID4x image is 1024 bytes" << note;
    QTest::newRow("one bad result of two") << words("write ID4x0 int16 1 then read Q0 int16") << 1 << "0 (done)" << note;
    QTest::newRow("value out of range") << words("write ID4x0 uint8 300") << 2 << ""
                                        << "veskor: value \"300\" is out of range for uint8 (0..255)\n";
    QTest::newRow("value not a number") << words("write ID4x0 int16 1 abc") << 2 << ""
                                        << "veskor: value \"abc\" is not an integer (int16)\n";
    QTest::newRow("bad count") << words("read ID4x0 int16 many") << 2 << "" << "veskor: count \"many\" is not a number\n";
    QTest::newRow("unknown type") << words("read ID4x0 quad") << 2 << ""
                                  << "veskor: unknown type \"quad\" (use bool, int8, uint8, int16, uint16, int32, "
                                     "uint32, float, int64, uint64, double, string or a type code)\n";
    QTest::newRow("empty tag") << QStringList{"read", "", "int16"} << 2 << "" << "veskor: empty tag\n";
    QTest::newRow("no command") << QStringList() << 2 << "" << "veskor: no command given (try veskor --help)\n";
    QTest::newRow("bad value after good commands") << words("info then write ID4x0 bool yes") << 2 << ""
                                                   << "veskor: value \"yes\" is not a bool (use 1/0, true/false or on/off)\n";
    // A host name is resolved for the plug-in, which takes numeric addresses.
    QTest::newRow("host name") << words("--connect localhost:1 read ID4x0 int16") << 1 << "result  8 (no answer)" << "";
    QTest::newRow("host name that does not resolve") << words("--connect no-such-host.invalid:5000 read ID4x0 int16")
        << 4 << "" << "veskor: cannot resolve no-such-host.invalid to an IPv4 address: ";
    // Nothing listens on UDP port 1: the refusal comes back at once as code 8.
    QTest::newRow("closed port") << words("--connect 127.0.0.1:1 read ID4x0 int16") << 1
                                 << "result  8 (no answer)" << "";
}

void TstVeskorE2e::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, stdoutHas);
    QFETCH(QString, stderr);
    const ToolRun r = runTool(args);
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, status);
    if (stderr.endsWith(QLatin1String(": "))) {   // the resolver's own words follow
        QVERIFY2(r.errText().startsWith(stderr), r.err.constData());
        QCOMPARE(r.errText().count(QLatin1Char('\n')), 1);
    } else {
        QCOMPARE(r.errText(), stderr);
    }
    if (stdoutHas.isEmpty())
        QCOMPARE(r.outText(), QString());
    else
        QVERIFY2(r.outText().contains(stdoutHas), r.out.constData());
}

void TstVeskorE2e::pluginSearch_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("env");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("stderrStart");
    const QString real = QStringLiteral(VESKOR_PLUGIN_FILE);
    const QString missing = QStringLiteral("/nonexistent/libLibVESKOR.so.1");
    QTest::newRow("built next to the tool") << QString() << QString() << 0 << QString();
    QTest::newRow("--plugin") << real << QString() << 0 << QString();
    QTest::newRow("VESKOR_PLUGIN") << QString() << real << 0 << QString();
    QTest::newRow("--plugin before VESKOR_PLUGIN") << real << missing << 0 << QString();
    QTest::newRow("missing --plugin") << missing << real << 3
                                      << "veskor: cannot load the plug-in /nonexistent/libLibVESKOR.so.1 (--plugin): ";
    QTest::newRow("missing VESKOR_PLUGIN") << QString() << missing << 3
                                           << "veskor: cannot load the plug-in /nonexistent/libLibVESKOR.so.1 (VESKOR_PLUGIN): ";
    // A library without the entry point is not a driver.
    QTest::newRow("not a driver") << QStringLiteral(VESKOR_NOT_A_PLUGIN_FILE) << QString() << 3
                                  << "veskor: cannot load the plug-in " VESKOR_NOT_A_PLUGIN_FILE
                                     " (--plugin): no getSharedLibrary entry point";
}

void TstVeskorE2e::pluginSearch()
{
    QFETCH(QString, option);
    QFETCH(QString, env);
    QFETCH(int, status);
    QFETCH(QString, stderrStart);
    QProcessEnvironment e = toolEnvironment();
    if (!env.isEmpty())
        e.insert(QStringLiteral("VESKOR_PLUGIN"), env);
    QStringList args;
    if (!option.isEmpty())
        args << QStringLiteral("--plugin") << option;
    args << QStringLiteral("info");
    const ToolRun r = runTool(args, e);
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, status);
    if (stderrStart.isEmpty()) {
        QCOMPARE(r.errText(), QString());
        QVERIFY(r.outText().startsWith(QStringLiteral("name ")));
    } else {
        QVERIFY2(r.errText().startsWith(stderrStart), r.err.constData());
        QCOMPARE(r.errText().count(QLatin1Char('\n')), 1);
        QCOMPARE(r.outText(), QString());
    }
}

void TstVeskorE2e::debugShowsTraffic()
{
    const ToolRun plain = runTool(words("write ID4x10 int16 1 then read ID4x10 int16"));
    QCOMPARE(plain.exitCode, 0);
    QCOMPARE(plain.errText(), embeddedNote());

    const ToolRun r = runTool(words("--debug --device 7 write ID4x10 int16 1 then read ID4x10 int16"));
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 0);
    const QString err = r.errText();
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral("^veskor: embedded simulator on 127\\.0\\.0\\.1:\\d+$"),
                                             QRegularExpression::MultilineOption)), qPrintable(err));
    // The plug-in's own traffic lines: the write request and its answer, the
    // read request with the device identifier set by --device, and its answer.
    // Each line after the local time it was written, to the millisecond.
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} 写命令 127\\.0\\.0\\.1:\\d+ tag=ID4x10  len = 2 msg : 0201"),
                                             QRegularExpression::MultilineOption)), qPrintable(err));
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} lib\\[VESKOR\\]读命令 127\\.0\\.0\\.1:\\d+ ID=7 ID4x10 len = 2 msg : 4d52"),
                                             QRegularExpression::MultilineOption)), qPrintable(err));
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} lib\\[VESKOR\\]读响应 "),
                                             QRegularExpression::MultilineOption)), qPrintable(err));
    QCOMPARE(QStringList(r.outLines().filter(QStringLiteral("values"))).last(), QStringLiteral("values  1"));
}

QTEST_GUILESS_MAIN(TstVeskorE2e)
#include "tst_veskor_e2e.moc"
