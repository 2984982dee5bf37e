// The gateway configuration's rules for what MQTT carries: names that can be
// topic levels and client ids as the broker takes them (checked against
// libmosquitto's own UTF-8 rule), MQTT's lengths in bytes, names that would
// give the same topic or client id twice, and writable tags whose bytes
// meet another tag's at the same address of any area.
#include "Config.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <mosquitto.h>

using namespace veskorgw;

namespace {

QString ucs4(uint code)
{
    return QString::fromUcs4(&code, 1);
}

QJsonObject tag(const QString &name, const QString &at, const QString &type, int count = 1, bool writable = false)
{
    return QJsonObject{{"name", name}, {"tag", at}, {"type", type}, {"count", count}, {"writable", writable}};
}

QJsonObject controller(const QString &name, const QJsonArray &tags)
{
    return QJsonObject{{"name", name}, {"connect", "127.0.0.1:50200"}, {"tags", tags}};
}

// The faults of a file with these controllers and mqtt keys.
QStringList faultsOf(const QJsonArray &controllers, const QJsonObject &mqtt = QJsonObject{{"prefix", "veskor"}})
{
    GatewayConfig config;
    QStringList faults;
    const QJsonObject top{{"mqtt", mqtt}, {"metrics", false}, {"controllers", controllers}};
    parseConfig(QStringLiteral("gw.json"), QJsonDocument(top).toJson(), &config, &faults);
    return faults;
}

} // namespace

class tst_ConfigNames : public QObject
{
    Q_OBJECT

private slots:
    void topicLevel_data();
    void topicLevel();
    void faultLinesStayOneLine();
    void configFaults_data();
    void configFaults();
    void writeOverlaps_data();
    void writeOverlaps();
    void tagFile_data();
    void tagFile();
};

void tst_ConfigNames::topicLevel_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fault");   // what topicLevelFault() says; empty: a good name
    QTest::newRow("plain") << "press1" << "";
    QTest::newRow("space and dot") << "line 2.oven" << "";
    QTest::newRow("accents") << QString::fromUtf8("Presse-Stra\xc3\x9f" "e") << "";
    QTest::newRow("no-break space U+00A0") << ucs4(0xa0) << "";
    QTest::newRow("replacement character") << ucs4(0xfffd) << "";
    QTest::newRow("pair outside the BMP") << ucs4(0x1f600) << "";
    QTest::newRow("last code point but two") << ucs4(0x10fffd) << "";
    QTest::newRow("empty") << "" << "is empty";
    QTest::newRow("dollar") << "$SYS" << "starts with '$'";
    QTest::newRow("slash") << "a/b" << "holds '/'";
    QTest::newRow("plus") << "a+b" << "holds '+'";
    QTest::newRow("hash") << "a#" << "holds '#'";
    QTest::newRow("NUL") << QString(QChar(0)) + "a" << "holds the control character U+0000";
    QTest::newRow("U+0001") << "t" + ucs4(1) << "holds the control character U+0001";
    QTest::newRow("newline") << "c\n1" << "holds the control character U+000A";
    QTest::newRow("U+001F") << ucs4(0x1f) << "holds the control character U+001F";
    QTest::newRow("DEL") << ucs4(0x7f) << "holds the control character U+007F";
    QTest::newRow("C1 U+0085") << ucs4(0x85) << "holds the control character U+0085";
    QTest::newRow("C1 U+009F") << ucs4(0x9f) << "holds the control character U+009F";
    QTest::newRow("lone high D800") << "a" + QString(QChar(0xd800)) << "holds U+D800, half of a surrogate pair alone";
    QTest::newRow("lone high D801") << QString(QChar(0xd801)) << "holds U+D801, half of a surrogate pair alone";
    QTest::newRow("lone low DC00") << QString(QChar(0xdc00)) + "b" << "holds U+DC00, half of a surrogate pair alone";
    QTest::newRow("pair reversed") << QString(QChar(0xdc00)) + QChar(0xd800) << "holds U+DC00, half of a surrogate pair alone";
    QTest::newRow("high at the end") << "ab" + QString(QChar(0xdbff)) << "holds U+DBFF, half of a surrogate pair alone";
    QTest::newRow("noncharacter FDD0") << ucs4(0xfdd0) << "holds the noncharacter U+FDD0";
    QTest::newRow("noncharacter FFFE") << ucs4(0xfffe) << "holds the noncharacter U+FFFE";
    QTest::newRow("noncharacter FFFF") << ucs4(0xffff) << "holds the noncharacter U+FFFF";
    QTest::newRow("noncharacter 1FFFE") << ucs4(0x1fffe) << "holds the noncharacter U+1FFFE";
    QTest::newRow("noncharacter 10FFFF") << ucs4(0x10ffff) << "holds the noncharacter U+10FFFF";
}

// The rule, and libmosquitto's: a name the rule passes is UTF-8 the library
// takes for a topic and a client id, and one the rule refuses for its
// characters is one the library refuses, except a lone surrogate, which
// never reaches it as itself.
void tst_ConfigNames::topicLevel()
{
    QFETCH(QString, name);
    QFETCH(QString, fault);
    const QString why = topicLevelFault(name);
    if (fault.isEmpty())
        QVERIFY2(why.isEmpty(), qPrintable(why));
    else
        QVERIFY2(why.startsWith(fault), qPrintable(why));

    const QByteArray utf8 = name.toUtf8();
    const bool libraryTakes = mosquitto_validate_utf8(utf8.constData(), utf8.size()) == MOSQ_ERR_SUCCESS
                              && !utf8.contains('\0');
    const QString textFault = mqttTextFault(name);
    if (textFault.contains(QLatin1String("surrogate"))) {
        // Encoded, a lone half is a stand-in character: another name with
        // other lone halves is the same topic.
        QString other = name;
        for (QChar &c : other)
            if (c.isSurrogate())
                c = QChar(c.unicode() == 0xd800 ? 0xd801 : 0xd800);
        QVERIFY(other != name);
        QCOMPARE(other.toUtf8(), utf8);
    } else {
        QCOMPARE(textFault.isEmpty(), libraryTakes);
    }
}

// A name is shown with what the broker refuses escaped, and cut when long:
// every fault is one line of reasonable length.
void tst_ConfigNames::faultLinesStayOneLine()
{
    QCOMPARE(shownName(QStringLiteral("c\n1")), QStringLiteral("\"c\\u000A1\""));
    QCOMPARE(shownName(QString(QChar(0xd800))), QStringLiteral("\"\\uD800\""));
    QCOMPARE(shownName(QStringLiteral("press1")), QStringLiteral("\"press1\""));
    const QString shown = shownName(QString(70000, QLatin1Char('a')));
    QVERIFY(shown.size() < 100);
    QVERIFY(shown.endsWith(QLatin1String("\"...")));
    const QStringList faults = faultsOf({controller(QString(200, QChar(0x0a)), {tag("x", "ID4x0", "int16")})});
    QCOMPARE(faults.size(), 1);
    QVERIFY(!faults.first().contains(QLatin1Char('\n')));
}

void tst_ConfigNames::configFaults_data()
{
    QTest::addColumn<QJsonArray>("controllers");
    QTest::addColumn<QJsonObject>("mqtt");
    QTest::addColumn<QStringList>("faults");   // the lines, in order; none: the file is good

    const QJsonObject mqtt{{"prefix", "veskor"}};
    const QJsonArray x{tag("x", "ID4x0", "int16")};
    QTest::newRow("good") << QJsonArray{controller("press1", x), controller("press2", x)} << mqtt << QStringList();
    QTest::newRow("control character in a tag name")
        << QJsonArray{controller("c", {tag("t" + ucs4(1), "ID4x0", "int16")})} << mqtt
        << QStringList{"gw.json: controllers[0].tags[0]: name \"t\\u0001\" is no topic level: it holds the control character U+0001"};
    QTest::newRow("lone surrogates D800 and D801")
        << QJsonArray{controller(QString(QChar(0xd800)), x), controller(QString(QChar(0xd801)), x)} << mqtt
        << QStringList{"gw.json: controllers[0].name: \"\\uD800\" is no name: it holds U+D800, half of a surrogate pair alone",
                       "gw.json: controllers[1].name: \"\\uD801\" is no name: it holds U+D801, half of a surrogate pair alone"};
    QTest::newRow("same controller name") << QJsonArray{controller("a", x), controller("a", x)} << mqtt
        << QStringList{"gw.json: controllers[1].name: \"a\" is the name of an earlier controller, controllers[0] "
                       "(the same client id and topics)"};
    QTest::newRow("same tag name") << QJsonArray{controller("a", {tag("t", "ID4x0", "int16"), tag("t", "ID4x2", "int16")})}
        << mqtt << QStringList{"gw.json: controllers[0].tags[1]: name \"t\" twice in this controller (also tags[0])"};
    // "veskor-gateway-" and 65520 bytes: a client id of 65535; one more is too long.
    QTest::newRow("client id at the limit") << QJsonArray{controller(QString(65520, 'c'), {tag("t", "ID4x0", "int16")})}
        << mqtt << QStringList{"gw.json: controllers[0].tags[0]: name \"t\" (1 bytes) makes its topic .../set/result "
                               "65540 bytes long; MQTT takes 65535 at most"};
    QTest::newRow("client id one byte over") << QJsonArray{controller(QString(65521, 'c'), x)} << mqtt
        << QStringList{"gw.json: controllers[0].name: \"" + QString(80, 'c') + "\"... (65521 bytes) makes a client id of "
                       "65536 bytes and a $state topic of 65535 bytes; MQTT takes 65535 at most"};
    QTest::newRow("70000 characters") << QJsonArray{controller(QString(70000, 'c'), x)} << mqtt
        << QStringList{"gw.json: controllers[0].name: \"" + QString(80, 'c') + "\"... (70000 bytes) makes a client id of "
                       "70015 bytes and a $state topic of 70014 bytes; MQTT takes 65535 at most"};
    // "veskor/c/" + tag + "/set/result": 65535 bytes with a tag of 65515.
    QTest::newRow("tag topic at the limit") << QJsonArray{controller("c", {tag(QString(65515, 't'), "ID4x0", "int16")})}
        << mqtt << QStringList();
    QTest::newRow("tag topic over, in bytes not characters")
        << QJsonArray{controller("c", {tag(QString(32758, QChar(0xe9)), "ID4x0", "int16")})} << mqtt
        << QStringList{"gw.json: controllers[0].tags[0]: name \"" + QString(80, QChar(0xe9)) + "\"... (65516 bytes) makes "
                       "its topic .../set/result 65536 bytes long; MQTT takes 65535 at most"};
    QTest::newRow("control character in client_id") << QJsonArray{controller("c", x)}
        << QJsonObject{{"prefix", "veskor"}, {"client_id", "gw\t1"}}
        << QStringList{"gw.json: mqtt.client_id: \"gw\\u00091\" holds the control character U+0009"};
    QTest::newRow("noncharacter in the prefix") << QJsonArray{controller("c", x)}
        << QJsonObject{{"prefix", "plant/" + ucs4(0xffff)}}
        << QStringList{"gw.json: mqtt.prefix: \"plant/\\uFFFF\" is no topic prefix: level \"\\uFFFF\" holds the noncharacter U+FFFF"};
}

void tst_ConfigNames::configFaults()
{
    QFETCH(QJsonArray, controllers);
    QFETCH(QJsonObject, mqtt);
    QFETCH(QStringList, faults);
    QCOMPARE(faultsOf(controllers, mqtt), faults);
}

void tst_ConfigNames::writeOverlaps_data()
{
    QTest::addColumn<QJsonArray>("tags");
    QTest::addColumn<QString>("pairs");   // "w>o" for each (writable, other) pair, in order

    // The example's press1 as it was: the setpoint's bytes 10..13 in the recipe's 0..15.
    QTest::newRow("setpoint in another area's string")
        << QJsonArray{tag("speed", "ID4x0", "int16"), tag("setpoint", "ID4x10", "float", 1, true),
                      tag("temperature", "ID4x20", "double"), tag("running", "ID1x8", "bool"),
                      tag("recipe", "ID2x0", "string", 16)} << "1>4";
    QTest::newRow("the example's press1 now")
        << QJsonArray{tag("speed", "ID4x0", "int16"), tag("setpoint", "ID4x16", "float", 1, true),
                      tag("temperature", "ID4x20", "double"), tag("running", "ID1x8", "bool"),
                      tag("recipe", "ID2x0", "string", 16)} << "";
    QTest::newRow("touching ends do not meet")
        << QJsonArray{tag("a", "ID4x0", "int16"), tag("w", "ID3x2", "int32", 1, true), tag("b", "ID2x6", "int8")} << "";
    QTest::newRow("last byte meets first byte")
        << QJsonArray{tag("a", "ID4x0", "int16"), tag("w", "ID3x1", "int32", 1, true)} << "1>0";
    QTest::newRow("same area, inside an array")
        << QJsonArray{tag("arr", "ID4x0", "uint16", 10), tag("w", "ID4x8", "int16", 1, true)} << "1>0";
    QTest::newRow("two writable ones, each on the other")
        << QJsonArray{tag("w1", "ID4x0", "int32", 1, true), tag("w2", "ID5x2", "int16", 1, true)} << "0>1,1>0";
    QTest::newRow("bits take their bytes")
        << QJsonArray{tag("bits", "ID1x40", "bool", 10), tag("w", "ID4x41", "int8", 1, true)} << "1>0";
    QTest::newRow("overlapping reads only") << QJsonArray{tag("a", "ID4x0", "int32"), tag("b", "ID2x0", "int32")} << "";
}

void tst_ConfigNames::writeOverlaps()
{
    QFETCH(QJsonArray, tags);
    QFETCH(QString, pairs);
    GatewayConfig config;
    QStringList faults;
    const QJsonObject top{{"mqtt", QJsonObject{}}, {"controllers", QJsonArray{controller("c", tags)}}};
    QVERIFY2(parseConfig(QStringLiteral("gw.json"), QJsonDocument(top).toJson(), &config, &faults),
             qPrintable(faults.join('\n')));
    QStringList found;
    for (const auto &[w, o] : veskorgw::writeOverlaps(config.controllers.first()))
        found << QStringLiteral("%1>%2").arg(w).arg(o);
    QCOMPARE(found.join(QLatin1Char(',')), pairs);
    QCOMPARE(writeOverlapWarnings(config).size(), found.size());
}

// A controller's tag_file: every column the inline tags have, rows of other
// controllers refused, and each fault of a row naming FILE:LINE.
void tst_ConfigNames::tagFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("result");   // "name writable deadband scale offset unit" per tag, or the faults

    const QByteArray head("name,tag,type,writable,deadband,scale,offset,unit,controller\n");
    QTest::newRow("every column") << head + "temp,ID4x0,int16,yes,0.5,0.1,-40,degC,127.0.0.1:50200\n"
                                            "count,ID4x2,uint32,,,,,,\n"
                                  << QStringList{"temp 1 0.5 0.1 -40 degC", "count 0 0 1 0 "};
    QTest::newRow("controller by a host name") << head + "temp,ID4x0,int16,,,,,,localhost:50200\n"
                                                     << QStringList{"temp 0 0 1 0 "};
    QTest::newRow("row of another controller") << head + "a,ID4x0,int16,,,,,,\nb,ID4x2,int16,,,,,,127.0.0.1:50201\n"
        << QStringList{"gw.json: controllers[0].tag_file: DIR/tags.csv:3: the row is for the controller "
                       "\"127.0.0.1:50201\", this is \"c\" (127.0.0.1:50200)"};
    QTest::newRow("same name twice") << head + "a,ID4x0,int16\n# b\na,ID4x2,int16\n"
        << QStringList{"gw.json: controllers[0].tag_file: DIR/tags.csv:4: name \"a\" twice in this controller "
                       "(also DIR/tags.csv:2)"};
    QTest::newRow("bad topic level and bad tag") << head + "a/b,ID4x0,int16\nc,ID99x0,int16\n"
        << QStringList{"gw.json: controllers[0].tag_file: DIR/tags.csv:2: name \"a/b\" is no topic level: it holds '/'",
                       "gw.json: controllers[0].tag_file: DIR/tags.csv:3: tag \"ID99x0\" is no area name ID1x..ID23x "
                       "followed by an address"};
    QTest::newRow("deadband of a string") << head + "s,ID4x0,string,,1\n"
        << QStringList{"gw.json: controllers[0].tag_file: DIR/tags.csv:2: a deadband needs a numeric tag"};
    QTest::newRow("fault of the file itself") << head + "s,ID4x0,int16,,,0\n"
        << QStringList{"gw.json: controllers[0].tag_file: DIR/tags.csv:2: scale must be a finite number other than 0"};
}

void tst_ConfigNames::tagFile()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, result);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile tags(dir.filePath(QStringLiteral("tags.csv")));
    QVERIFY(tags.open(QIODevice::WriteOnly) && tags.write(file) == file.size());
    tags.close();
    const QJsonObject c{{"name", "c"}, {"connect", "127.0.0.1:50200"}, {"tag_file", "tags.csv"}};
    const QJsonObject top{{"mqtt", QJsonObject{}}, {"metrics", false}, {"controllers", QJsonArray{c}}};
    GatewayConfig config;
    QStringList faults;
    QDir::setCurrent(dir.path());
    const bool ok = parseConfig(QStringLiteral("gw.json"), QJsonDocument(top).toJson(), &config, &faults);
    QStringList got = faults;
    got.replaceInStrings(dir.path(), QStringLiteral("DIR"));
    if (ok) {
        for (const TagConfig &t : config.controllers.first().tags)
            got << QStringLiteral("%1 %2 %3 %4 %5 %6").arg(t.name).arg(int(t.writable)).arg(t.deadband)
                       .arg(t.scaling.scale).arg(t.scaling.offset).arg(t.scaling.unit);
    }
    QCOMPARE(got, result);
}

QTEST_GUILESS_MAIN(tst_ConfigNames)
#include "tst_config_names.moc"
