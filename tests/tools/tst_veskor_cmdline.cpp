// The host tool's command line: commands, chains, options and the errors
// that end a run with status 2 before the plug-in is touched.
#include "CommandLine.h"
#include "common/Values.h"

#include <QtTest>

using namespace veskortool;

class TstVeskorCmdline : public QObject
{
    Q_OBJECT

private slots:
    void singleRead();
    void multiTagRead();
    void writeValues_data();
    void writeValues();
    void stringWrite_data();
    void stringWrite();
    void pollOptions();
    void chainAndGlobals();
    void endOfOptions();
    void errors_data();
    void errors();
    void help_data();
    void help();
    void helpListsOptionsWithExamples_data();
    void helpListsOptionsWithExamples();
    void tagFile_data();
    void tagFile();
    void tagFileColumns_data();
    void tagFileColumns();
    void monitorOfSeveralControllers();
};

static ParseResult parse(const QString &line)
{
    return parseCommandLine(line.isEmpty() ? QStringList() : line.split(QLatin1Char(' ')));
}

void TstVeskorCmdline::singleRead()
{
    const ParseResult r = parse("read ID4x10 int16 3");
    QCOMPARE(r.outcome, ParseResult::Run);
    QCOMPARE(r.options.commands.size(), 1);
    const Command &c = r.options.commands.first();
    QCOMPARE(c.kind, Command::Read);
    QVERIFY(!c.table);
    QCOMPARE(c.tags.size(), 1);
    QCOMPARE(c.tags.first().tag, QStringLiteral("ID4x10"));
    QCOMPARE(c.tags.first().type, 4);
    QCOMPARE(c.tags.first().count, 3);
    // Without a count one element is read; without --connect the embedded
    // simulator is used.
    const ParseResult one = parse("read ID1x0 bool");
    QCOMPARE(one.options.commands.first().tags.first().count, 1);
    QVERIFY(one.options.connect.isEmpty());
    QVERIFY(!one.options.hasDevice);
}

void TstVeskorCmdline::monitorOfSeveralControllers()
{
    // Each tag of the monitor on each controller, the first --connect's in
    // the tags as given, the others named.
    const ParseResult r = parse("--connect h1:1 --connect h2:2 monitor ID4x0:int16 ID1x0:bool");
    QCOMPARE(r.outcome, ParseResult::Run);
    QCOMPARE(r.options.connect, QStringLiteral("h1:1"));
    QStringList rows;
    for (const TagRequest &t : r.options.commands.first().tags)
        rows << t.tag + QLatin1Char('@') + t.controller;
    QCOMPARE(rows, QStringList({"ID4x0@", "ID4x0@h2:2", "ID1x0@", "ID1x0@h2:2"}));
}

void TstVeskorCmdline::multiTagRead()
{
    const ParseResult r = parse("read ID4x10:int16:3 ID1x0:bool ID4x40:14:2");
    QCOMPARE(r.outcome, ParseResult::Run);
    const Command &c = r.options.commands.first();
    QVERIFY(c.table);
    QCOMPARE(c.tags.size(), 3);
    QCOMPARE(c.tags.at(0).count, 3);
    QCOMPARE(c.tags.at(1).type, 1);
    QCOMPARE(c.tags.at(1).count, 1);
    QCOMPARE(c.tags.at(2).type, 14);
    QCOMPARE(c.tags.at(2).count, 2);
    // One TAG:TYPE word is a table of one row.
    QVERIFY(parse("read ID4x10:int16").options.commands.first().table);
}

void TstVeskorCmdline::writeValues_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("printed");
    // Negative numbers are values, not options.
    QTest::newRow("int16") << "write ID4x10 int16 1 -2 3" << 4 << 3 << QStringList{"1", "-2", "3"};
    QTest::newRow("float specials") << "write ID4x10 float -inf -0.5 -.5 nan" << 8 << 4
                                    << QStringList{"-inf", "-0.5", "-0.5", "nan"};
    QTest::newRow("bools") << "write ID1x0 bool on off 1" << 1 << 3 << QStringList{"true", "false", "true"};
    QTest::newRow("by code") << "write ID4x0 6 -7" << 6 << 1 << QStringList{"-7"};
}

void TstVeskorCmdline::writeValues()
{
    QFETCH(QString, line);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QStringList, printed);
    const ParseResult r = parse(line);
    QVERIFY2(r.outcome == ParseResult::Run, qPrintable(r.text));
    const Command &c = r.options.commands.first();
    QCOMPARE(c.kind, Command::Write);
    QCOMPARE(c.tags.first().type, type);
    QCOMPARE(c.tags.first().count, count);
    QCOMPARE(formatValues(c.values), printed);
}

void TstVeskorCmdline::stringWrite_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("text");
    QTest::newRow("default size") << QStringList{"write", "ID4x40", "string", "hello world"} << 12 << "hello world";
    QTest::newRow("UTF-8 size") << QStringList{"write", "ID4x40", "string", "héllo"} << 7 << "héllo";
    QTest::newRow("--size after") << QStringList{"write", "ID4x40", "string", "hi", "--size", "16"} << 16 << "hi";
    QTest::newRow("--size=N before") << QStringList{"write", "--size=20", "ID4x40", "string", "hi"} << 20 << "hi";
    // A size smaller than the text is the plug-in's to refuse (code 4).
    QTest::newRow("--size too small") << QStringList{"write", "ID4x40", "string", "hello", "--size", "2"} << 2 << "hello";
    QTest::newRow("empty string") << QStringList{"write", "ID4x40", "string", ""} << 1 << "";
}

void TstVeskorCmdline::stringWrite()
{
    QFETCH(QStringList, args);
    QFETCH(int, count);
    QFETCH(QString, text);
    const ParseResult r = parseCommandLine(args);
    QVERIFY2(r.outcome == ParseResult::Run, qPrintable(r.text));
    const Command &c = r.options.commands.first();
    QCOMPARE(c.tags.first().type, 12);
    QCOMPARE(c.tags.first().count, count);
    QCOMPARE(c.values.value<QList<QString>>(), QList<QString>{text});
}

void TstVeskorCmdline::pollOptions()
{
    const ParseResult r = parse("poll ID4x10 uint16 2 --interval 10 --times 3 --changes");
    QCOMPARE(r.outcome, ParseResult::Run);
    const Command &c = r.options.commands.first();
    QCOMPARE(c.kind, Command::Poll);
    QCOMPARE(c.tags.first().count, 2);
    QCOMPARE(c.intervalMs, 10);
    QCOMPARE(c.times, 3);
    QVERIFY(c.changesOnly);
    const Command d = parse("poll ID4x10 uint16").options.commands.first();
    QCOMPARE(d.intervalMs, 1000);
    QCOMPARE(d.times, 0);
    QVERIFY(!d.changesOnly);
}

void TstVeskorCmdline::chainAndGlobals()
{
    // Global options may stand anywhere; "then" joins commands.
    const ParseResult r = parse("--json write ID4x10 int16 1 -2 3 --debug then read ID4x10 int16 3 "
                                "--connect 10.0.0.2:5000 --device 7 --plugin /x/lib.so then info");
    QVERIFY2(r.outcome == ParseResult::Run, qPrintable(r.text));
    const Options &o = r.options;
    QVERIFY(o.json);
    QVERIFY(o.debug);
    QCOMPARE(o.connect, QStringLiteral("10.0.0.2:5000"));
    QVERIFY(o.hasDevice);
    QCOMPARE(o.device, 7u);
    QCOMPARE(o.plugin, QStringLiteral("/x/lib.so"));
    QCOMPARE(o.commands.size(), 3);
    QCOMPARE(o.commands.at(0).kind, Command::Write);
    QCOMPARE(o.commands.at(1).kind, Command::Read);
    QCOMPARE(o.commands.at(2).kind, Command::Info);
}

void TstVeskorCmdline::endOfOptions()
{
    // After "--" a string may start with '-' or be the word "then".
    ParseResult r = parseCommandLine({"write", "ID4x40", "string", "--", "--size"});
    QVERIFY2(r.outcome == ParseResult::Run, qPrintable(r.text));
    QCOMPARE(r.options.commands.first().values.value<QList<QString>>(), QList<QString>{"--size"});
    r = parseCommandLine({"write", "ID4x40", "string", "--", "then"});
    QVERIFY2(r.outcome == ParseResult::Run, qPrintable(r.text));
    QCOMPARE(r.options.commands.size(), 1);
    QCOMPARE(r.options.commands.first().values.value<QList<QString>>(), QList<QString>{"then"});
}

void TstVeskorCmdline::errors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    auto a = [](const char *line) { return QString::fromUtf8(line).split(QLatin1Char(' ')); };

    QTest::newRow("nothing") << QStringList() << "no command given (try veskor --help)";
    QTest::newRow("only options") << a("--json") << "no command given (try veskor --help)";
    QTest::newRow("unknown command") << a("fetch ID4x0") << "unknown command \"fetch\" (use info, read, write, poll, monitor or probe)";
    QTest::newRow("unknown option") << a("read ID4x0 int16 --fast") << "unknown option \"--fast\" (try veskor --help)";
    QTest::newRow("unknown short option") << a("read ID4x0 int16 -x") << "unknown option \"-x\" (try veskor --help)";
    // A near miss names the option meant.
    QTest::newRow("misspelt option") << a("--conect 10.0.0.1:5000 info") << "unknown option --conect; did you mean --connect?";
    QTest::newRow("misspelt, with =value") << a("--conect=10.0.0.1:5000 info") << "unknown option --conect; did you mean --connect?";
    QTest::newRow("swapped letters") << a("read ID4x0 int16 --hxe") << "unknown option --hxe; did you mean --hex?";
    QTest::newRow("one dash") << a("-json info") << "unknown option -json; did you mean --json?";
    QTest::newRow("-v") << a("-v info") << "unknown option -v; did you mean -V?";
    QTest::newRow("option without value") << a("read ID4x0 int16 --connect") << "option --connect needs a value";
    QTest::newRow("flag with value") << a("--json=1 info") << "option --json takes no value";
    QTest::newRow("info with argument") << a("info now") << "info takes no arguments, got \"now\"";

    QTest::newRow("read without tag") << a("read") << "read needs TAG TYPE [COUNT] or TAG:TYPE[:COUNT] ...";
    QTest::newRow("read without type") << a("read ID4x0") << "read needs a TYPE after the tag \"ID4x0\"";
    QTest::newRow("read non-numeric count") << a("read ID4x0 int16 three") << "count \"three\" is not a number";
    QTest::newRow("read count 0") << a("read ID4x0 int16 0") << "count must be at least 1, got \"0\"";
    QTest::newRow("read negative count") << a("read ID4x0 int16 -3") << "count must be at least 1, got \"-3\"";
    QTest::newRow("read too many") << a("read ID4x0 int16 3 4")
                                   << "too many arguments for read: \"4\" (several tags: TAG:TYPE[:COUNT] ...)";
    QTest::newRow("read unknown type") << a("read ID4x0 word32")
                                       << "unknown type \"word32\" (use bool, int8, uint8, int16, uint16, int32, "
                                          "uint32, float, int64, uint64, double, string or a type code)";
    QTest::newRow("read empty tag") << QStringList{"read", "", "int16"} << "empty tag";
    QTest::newRow("read blank tag") << QStringList{"read", "  ", "int16"} << "empty tag";
    QTest::newRow("table empty tag") << a("read :int16") << "empty tag";
    QTest::newRow("table without type") << a("read ID4x0:") << "empty type";
    QTest::newRow("table bad word") << a("read ID4x0:int16:3:4") << "\"ID4x0:int16:3:4\" is not TAG:TYPE[:COUNT]";
    QTest::newRow("table mixed with plain words") << a("read ID4x0:int16 ID4x2") << "\"ID4x2\" is not TAG:TYPE[:COUNT]";
    QTest::newRow("table bad count") << a("read ID4x0:int16:x") << "count \"x\" is not a number";
    QTest::newRow("long word quoted in part") << QStringList{"read", "ID4x0", QString(100, QLatin1Char('w'))}
                                              << "unknown type \"" + QString(kQuotedChars, QLatin1Char('w'))
                                                     + "\"... (use bool, int8, uint8, int16, uint16, int32, "
                                                       "uint32, float, int64, uint64, double, string or a type code)";
    QTest::newRow("missing tag file, named once") << a("read --tags /nonexistent/panel.csv")
                                                  << "cannot read the tag file \"/nonexistent/panel.csv\": No such file or directory";
    QTest::newRow("tag file of endless zeros") << a("read --tags /dev/zero")
                                               << "/dev/zero:1: longer than 4096 bytes, the most a line of a tag file may hold";

    QTest::newRow("write without values") << a("write ID4x0 int16") << "write needs at least one value after the type";
    QTest::newRow("write without type") << a("write ID4x0") << "write needs TAG TYPE VALUE...";
    QTest::newRow("write out of range") << a("write ID4x0 uint8 300") << "value \"300\" is out of range for uint8 (0..255)";
    QTest::newRow("write int8 out of range") << a("write ID4x0 int8 1 256") << "value \"256\" is out of range for int8 (-128..255)";
    QTest::newRow("write abc") << a("write ID4x0 int32 abc") << "value \"abc\" is not an integer (int32)";
    QTest::newRow("write bad bool") << a("write ID1x0 bool 1 maybe")
                                    << "value \"maybe\" is not a bool (use 1/0, true/false or on/off)";
    QTest::newRow("write two strings") << a("write ID4x40 string a b")
                                       << "a string write takes one value, got 2 (quote text with spaces)";
    QTest::newRow("write --size not string") << a("write ID4x0 int16 1 --size 4") << "--size applies to string writes only";
    QTest::newRow("write --size 0") << a("write ID4x40 string a --size 0") << "--size must be at least 1, got \"0\"";
    QTest::newRow("write --size abc") << a("write ID4x40 string a --size abc") << "--size \"abc\" is not a number";
    QTest::newRow("write empty tag") << QStringList{"write", "", "int16", "1"} << "empty tag";

    QTest::newRow("poll interval abc") << a("poll ID4x0 int16 --interval abc") << "--interval \"abc\" is not a number";
    QTest::newRow("poll times 0") << a("poll ID4x0 int16 --times 0") << "--times must be at least 1, got \"0\"";
    QTest::newRow("poll too many") << a("poll ID4x0 int16 2 3") << "too many arguments for poll: \"3\" (several tags: TAG:TYPE[:COUNT] ...)";
    QTest::newRow("poll option elsewhere") << a("read ID4x0 int16 --times 3") << "option --times belongs to poll and monitor, not read";
    QTest::newRow("size option elsewhere") << a("poll ID4x0 int16 --size 3") << "option --size belongs to write, not poll";

    QTest::newRow("several controllers for a read") << a("--connect h1:1 --connect h2:2 read ID4x0 int16")
        << "several --connect are for monitor; other commands take one controller (a tag file's controller "
           "column names others)";
    QTest::newRow("one controller twice") << a("--connect h1:1 --connect h1:1 monitor ID4x0 int16")
                                          << "--connect h1:1 is given twice";
    QTest::newRow("connect without port") << a("--connect 10.0.0.1 read ID4x0 int16")
                                          << "--connect wants HOST:PORT (e.g. 192.168.0.10:5000), got \"10.0.0.1\"";
    QTest::newRow("connect two colons") << a("--connect ::1:5000 read ID4x0 int16")
                                        << "--connect wants HOST:PORT (e.g. 192.168.0.10:5000), got \"::1:5000\"";
    QTest::newRow("connect port 0") << a("--connect 10.0.0.1:0 read ID4x0 int16")
                                    << "port \"0\" in --connect is out of range (1..65535)";
    QTest::newRow("connect port too big") << a("--connect 10.0.0.1:65536 read ID4x0 int16")
                                          << "port \"65536\" in --connect is out of range (1..65535)";
    QTest::newRow("device abc") << a("--device abc read ID4x0 int16") << "--device \"abc\" is not a number from 0 to 4294967295";
    QTest::newRow("device negative") << a("--device -1 read ID4x0 int16") << "--device \"-1\" is not a number from 0 to 4294967295";
    QTest::newRow("device too big") << a("--device 4294967296 read ID4x0 int16")
                                    << "--device \"4294967296\" is not a number from 0 to 4294967295";
    QTest::newRow("empty plugin") << QStringList{"--plugin", "", "info"} << "--plugin needs a file path";
    QTest::newRow("probe count 0") << a("probe --count 0") << "--count must be at least 1, got \"0\"";
    QTest::newRow("probe wait too long") << a("probe --wait 60001") << "--wait wants 1 to 60000 ms";
    QTest::newRow("probe write test without address")
        << a("probe --write-test ID4x") << "--write-test \"ID4x\" is not a tag with an area and an address, e.g. ID4x10";
    QTest::newRow("probe joined") << a("probe then info") << "probe runs alone: it cannot be joined with \"then\"";
    QTest::newRow("probe option on read") << a("read ID4x0 int16 --count 3") << "option --count belongs to probe, not read";
    QTest::newRow("probe repeat too many") << a("probe --repeat 101") << "--repeat wants 1 to 100 tries";
    QTest::newRow("probe scan not a list") << a("probe --scan-devices 1;2")
                                           << "--scan-devices \"1;2\": want device ids and ranges such as 0,1,2,255 or 0-255";
    QTest::newRow("probe scan on poll") << a("poll ID4x0 int16 --scan-devices 0-255")
                                        << "option --scan-devices belongs to probe, not poll";

    QTest::newRow("then at the end") << a("info then") << "\"then\" needs a command on both sides";
    QTest::newRow("then at the start") << a("then info") << "\"then\" needs a command on both sides";
    QTest::newRow("then then") << a("info then then info") << "\"then\" needs a command on both sides";
    QTest::newRow("bad second command") << a("info then read ID4x0 int16 x") << "count \"x\" is not a number";
}

void TstVeskorCmdline::errors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    const ParseResult r = parseCommandLine(args);
    QCOMPARE(r.outcome, ParseResult::Error);
    QCOMPARE(r.text, error);
    QVERIFY(!r.text.contains(QLatin1Char('\n')));
}

void TstVeskorCmdline::help_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("firstLine");
    const QString general = QStringLiteral("Usage: veskor [OPTIONS] COMMAND [ARGS] [then COMMAND [ARGS]]...");
    QTest::newRow("--help") << QStringList{"--help"} << general;
    QTest::newRow("-h") << QStringList{"-h"} << general;
    QTest::newRow("help word") << QStringList{"help"} << general;
    QTest::newRow("help of a command") << QStringList{"help", "poll"}
                                       << "Usage: veskor poll TAG TYPE [COUNT] [--interval MS] [--times N] [--changes]";
    // Help wins over what would be an error.
    QTest::newRow("write --help") << QStringList{"write", "--help"} << "Usage: veskor write TAG TYPE VALUE... [--size N]";
    QTest::newRow("read -h with bad count") << QStringList{"read", "ID4x0", "int16", "x", "-h"}
                                            << "Usage: veskor read TAG TYPE [COUNT]";
    QTest::newRow("info --help") << QStringList{"info", "--help"} << "Usage: veskor info";
    QTest::newRow("unknown command --help") << QStringList{"fetch", "--help"} << general;
    QTest::newRow("--help with unknown option") << QStringList{"--frob", "--help"} << general;
    // The version (printed by main) also wins over the rest of the line.
    QTest::newRow("-V") << QStringList{"-V"} << QString();
    QTest::newRow("--version") << QStringList{"--version"} << QString();
    QTest::newRow("-V after a command") << QStringList{"read", "ID4x0", "-V"} << QString();
}

void TstVeskorCmdline::help()
{
    QFETCH(QStringList, args);
    QFETCH(QString, firstLine);
    const ParseResult r = parseCommandLine(args);
    QCOMPARE(r.outcome, firstLine.isEmpty() ? ParseResult::Version : ParseResult::Help);
    QCOMPARE(r.text.section(QLatin1Char('\n'), 0, 0), firstLine);
}

void TstVeskorCmdline::helpListsOptionsWithExamples_data()
{
    QTest::addColumn<QString>("help");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("general");
    const QStringList globals{"--connect", "--device", "--debug", "--json", "--quiet", "--plugin"};
    // The tool's help holds the global options and exit statuses once; a
    // command's help its own options, and a pointer to the rest.
    QTest::newRow("general") << generalHelp() << globals << true;
    QTest::newRow("info") << commandHelp(Command::Info) << QStringList() << false;
    QTest::newRow("read") << commandHelp(Command::Read) << QStringList() << false;
    QTest::newRow("write") << commandHelp(Command::Write) << QStringList{"--size"} << false;
    QTest::newRow("poll") << commandHelp(Command::Poll) << QStringList{"--interval", "--times", "--changes"}
                          << false;
}

void TstVeskorCmdline::helpListsOptionsWithExamples()
{
    QFETCH(QString, help);
    QFETCH(QStringList, options);
    QFETCH(bool, general);
    // Each option is described on a line of its own and used in an example
    // ("e.g. ..." or an example command line).
    const QStringList lines = help.split(QLatin1Char('\n'));
    for (const QString &o : options) {
        bool described = false;
        for (const QString &l : lines)
            described = described || l.startsWith(QStringLiteral("  ") + o);
        QVERIFY2(described, qPrintable(o));
        const QRegularExpression used(QRegularExpression::escape(o) + QStringLiteral("( |$)"));
        bool example = false;
        for (const QString &l : lines)
            example = example || ((l.contains(QStringLiteral("e.g.")) || l.trimmed().startsWith(QStringLiteral("veskor ")))
                                  && used.match(l).hasMatch());
        QVERIFY2(example, qPrintable(o));
    }
    QVERIFY(help.contains(QStringLiteral("Examples:\n")));
    if (general) {
        // Every exit status is documented.
        for (const char *status : {"  0 ", "  1 ", "  2 ", "  3 ", "  4 ", "  130 "})
            QVERIFY2(help.contains(QLatin1String(status)), status);
    } else {
        QVERIFY2(!help.contains(QStringLiteral("Global options:")) && !help.contains(QStringLiteral("Exit status:")),
                 qPrintable(help));
        QVERIFY(help.endsWith(QStringLiteral("veskor --help\n")));
    }
}

void TstVeskorCmdline::tagFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QStringList>("tags");    // "TAG TYPECODE COUNT NAME" per tag
    QTest::addColumn<QString>("error");       // the beginning of the error; empty for none

    QTest::newRow("header and two tags") << QByteArray("tag,type,count,name\nID4x0,int16,2,Speed\nID1x0,bool,,Valves\n")
                                         << QStringList{"ID4x0 4 2 Speed", "ID1x0 1 1 Valves"} << QString();
    QTest::newRow("columns in any order, CRLF, comments")
        << QByteArray("Name,TYPE,tag\r\n# pumps\r\n\r\nP1,uint8,ID4x1\r\n") << QStringList{"ID4x1 3 1 P1"} << QString();
    QTest::newRow("quoted name") << QByteArray("tag,type,name\nID4x0,int16,\"a, \"\"b\"\"\"\n")
                                 << QStringList{"ID4x0 4 1 a, \"b\""} << QString();
    QTest::newRow("unknown column") << QByteArray("tag,type,units\nID4x0,int16,V\n") << QStringList()
                                    << "f.csv:1: unknown column \"units\"";
    QTest::newRow("no type column") << QByteArray("tag,count\nID4x0,2\n") << QStringList()
                                    << "f.csv:1: the header needs the columns tag and type";
    QTest::newRow("bad type, line 4") << QByteArray("tag,type\nID4x0,int16\n\nID4x1,quad\n") << QStringList()
                                      << "f.csv:4: unknown type \"quad\"";
    QTest::newRow("count 0") << QByteArray("tag,type,count\nID4x0,int16,0\n") << QStringList()
                             << "f.csv:2: count must be at least 1";
    QTest::newRow("too many fields") << QByteArray("tag,type\nID4x0,int16,3\n") << QStringList()
                                     << "f.csv:2: 3 fields, the header names 2";
    QTest::newRow("quote left open") << QByteArray("tag,type,name\nID4x0,int16,\"abc\n") << QStringList()
                                     << "f.csv:2: a quote is not closed";
    QTest::newRow("no tags") << QByteArray("tag,type\n# none yet\n") << QStringList() << "f.csv: no tags";
    QTest::newRow("controller without a port") << QByteArray("tag,type,controller\nID4x0,int16,plc7\n") << QStringList()
                                               << "f.csv:2: controller \"plc7\": expected HOST:PORT";

    // ';' as the separator when the header line has it; the other one may
    // stand in a name only.
    QTest::newRow("semicolons") << QByteArray("tag;type;count;name\nID4x0;int16;2;Speed, left\nID1x0;bool;;\"a;b\"\n")
                                << QStringList{"ID4x0 4 2 Speed, left", "ID1x0 1 1 a;b"} << QString();
    QTest::newRow("semicolon in a name") << QByteArray("tag,type,name\nID4x0,int16,a;b\n")
                                         << QStringList{"ID4x0 4 1 a;b"} << QString();
    QTest::newRow("comma line in a semicolon file") << QByteArray("tag;type\nID4x0;int16\nID4x1,int16\n") << QStringList()
                                                    << "f.csv:3: fields separated by ',' where the header line uses ';'";
    QTest::newRow("semicolon within a comma line") << QByteArray("tag,type,count\nID4x0,int16;2\n") << QStringList()
                                                   << "f.csv:2: fields separated by ';' where the header line uses ','";
    QTest::newRow("header with both") << QByteArray("tag,type;count\nID4x0,int16\n") << QStringList()
                                      << "f.csv:1: the header line separates its fields with both ',' and ';'";

    // UTF-8 text within bounds, or nothing: no row after a bad one is taken.
    const QByteArray rows = QByteArray("ID4x0,int16\n").repeated(4);
    QTest::newRow("UTF-8 name") << QByteArray("tag,type,name\nID4x0,int16,Temp \xc2\xb0" "C \xe6\xb8\xa9 \xf0\x9f\x8c\xa1\n")
                                << QStringList{QStringLiteral("ID4x0 4 1 Temp \u00b0C \u6e29 \U0001f321")} << QString();
    QTest::newRow("NUL byte") << QByteArray("tag,type\nID4x0,int16\nID4x1\0,int16\n", 33) + rows << QStringList()
                              << "f.csv:3: a NUL byte at byte 6 of the line";
    QTest::newRow("Latin-1 byte") << QByteArray("tag,type,name\nID4x0,int16,caf\xe9\n") + rows << QStringList()
                                  << "f.csv:2: not UTF-8: byte 16 of the line is 0xe9";
    QTest::newRow("encoded surrogate") << QByteArray("tag,type,name\nID4x0,int16,\xed\xa0\x80\n") << QStringList()
                                       << "f.csv:2: not UTF-8: byte 13 of the line is 0xed";
    QTest::newRow("line too long") << QByteArray("tag,type,name\nID4x0,int16,") + QByteArray(kTagFileMaxLineBytes, 'n')
                                          + "\n" + rows
                                   << QStringList() << "f.csv:2: longer than 4096 bytes";
    QTest::newRow("file too large") << QByteArray("tag,type\n") + QByteArray("ID4x0,int16\n").repeated(kTagFileMaxBytes / 12)
                                    << QStringList() << "f.csv: larger than 16777216 bytes";
    QTest::newRow("long type quoted in part")
        << QByteArray("tag,type\nID4x0,") + QByteArray(200, 'q') << QStringList()
        << "f.csv:2: unknown type \"" + QString(kQuotedChars, QLatin1Char('q')) + "\"... (use bool";
}

void TstVeskorCmdline::tagFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, tags);
    QFETCH(QString, error);
    QVector<TagRequest> got;
    QString why;
    const bool ok = parseTagFile(QStringLiteral("f.csv"), contents, &got, &why);
    if (!error.isEmpty()) {
        QVERIFY2(!ok && why.startsWith(error), qPrintable(why));
        return;
    }
    QVERIFY2(ok, qPrintable(why));
    QStringList text;
    for (const TagRequest &t : got)
        text << QStringLiteral("%1 %2 %3 %4").arg(t.tag).arg(t.type).arg(t.count).arg(t.name);
    QCOMPARE(text, tags);
}

// The columns the gateway takes: writable, deadband, scale, offset, unit,
// each fault on its line.
void TstVeskorCmdline::tagFileColumns_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QStringList>("tags");    // "LINE WRITABLE DEADBAND SCALE OFFSET UNIT" per tag
    QTest::addColumn<QString>("error");       // the error; empty for none

    const QByteArray head("tag,type,writable,deadband,scale,offset,unit\n");
    QTest::newRow("all columns") << head + "ID4x0,int16,true,0.5,0.1,-40,degC\n# x\nID4x2,uint16,no,,,,\n"
                                 << QStringList{"2 1 0.5 0.1 -40 degC", "4 0 0 1 0 "} << QString();
    QTest::newRow("writable forms") << head + "ID4x0,int16,1\nID4x1,int16,YES\nID4x2,int16,0\nID4x3,int16,False\n"
                                    << QStringList{"2 1 0 1 0 ", "3 1 0 1 0 ", "4 0 0 1 0 ", "5 0 0 1 0 "} << QString();
    QTest::newRow("unit with the other separator") << QByteArray("tag;type;scale;unit\nID4x0;int32;0.001;m;s\n")
                                                   << QStringList() << "f.csv:2: 5 fields, the header names 4";
    QTest::newRow("quoted unit") << QByteArray("tag;type;scale;unit\nID4x0;int32;0.001;\"m;s\"\n")
                                 << QStringList{"2 0 0 0.001 0 m;s"} << QString();
    QTest::newRow("writable maybe") << head + "ID4x0,int16,maybe\n" << QStringList()
                                    << "f.csv:2: writable \"maybe\": expected true or false (1 or 0, yes or no)";
    QTest::newRow("negative deadband") << head + "ID4x0,int16,,-1\n" << QStringList()
                                       << "f.csv:2: deadband \"-1\": expected a number 0 or more";
    QTest::newRow("deadband no number") << head + "ID4x0,int16,,x\n" << QStringList()
                                        << "f.csv:2: deadband \"x\": expected a number";
    QTest::newRow("scale no number") << head + "ID4x0,int16,,,ten\n" << QStringList()
                                     << "f.csv:2: scale \"ten\": expected a number";
    QTest::newRow("scale 0") << head + "ID4x0,int16\nID4x1,int16,,,0\n" << QStringList()
                             << "f.csv:3: scale must be a finite number other than 0";
    QTest::newRow("offset inf") << head + "ID4x0,int16,,,,inf\n" << QStringList()
                                << "f.csv:2: offset \"inf\": expected a number";
    QTest::newRow("scaled string") << head + "ID4x0,string,,,2\n" << QStringList()
                                   << "f.csv:2: scale and offset need a numeric type";
    QTest::newRow("decimal comma") << QByteArray("tag;type;scale\nID4x0;int16;0,1\n") << QStringList()
                                   << "f.csv:2: fields separated by ',' where the header line uses ';'";
}

void TstVeskorCmdline::tagFileColumns()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, tags);
    QFETCH(QString, error);
    QVector<TagRequest> got;
    QString why;
    const bool ok = parseTagFile(QStringLiteral("f.csv"), contents, &got, &why);
    if (!error.isEmpty()) {
        QVERIFY(!ok);
        QCOMPARE(why, error);
        return;
    }
    QVERIFY2(ok, qPrintable(why));
    QStringList text;
    for (const TagRequest &t : got)
        text << QStringLiteral("%1 %2 %3 %4 %5 %6").arg(t.line).arg(int(t.writable)).arg(t.deadband)
                    .arg(t.scaling.scale).arg(t.scaling.offset).arg(t.scaling.unit);
    QCOMPARE(text, tags);
}

QTEST_GUILESS_MAIN(TstVeskorCmdline)
#include "tst_veskor_cmdline.moc"
