// The help texts of the host tool: the whole tool's and each command's,
// with the options, the exit statuses and examples.
#include "CommandLine.h"

namespace veskortool {

static QString globalOptionsText()
{
    return QStringLiteral(
        "Global options:\n"
        "  --connect HOST:PORT  controller address or host name (resolved to IPv4),\n"
        "                       e.g. --connect 192.168.0.10:5000 (default: embedded\n"
        "                       simulator on 127.0.0.1, free port, for this run only)\n"
        "                       given again, a monitor shows each tag on each controller\n"
        "  --device N           device identifier sent in reads (SetConnectPar),\n"
        "                       e.g. --device 1\n"
        "  --debug              switch the plug-in's traffic log on (DebugCmd StartDebug)\n"
        "                       and show it and the plug-in's warnings on stderr,\n"
        "                       e.g. veskor --debug read ID4x10 int16\n"
        "  --json               one JSON object per result and line (a poll's summary\n"
        "                       too), e.g. veskor --json read ID4x10 int16 3\n"
        "  --quiet              no note on stderr about the embedded simulator,\n"
        "                       e.g. veskor --quiet write ID4x10 int16 1\n"
        "  --plugin PATH        plug-in library to load,\n"
        "                       e.g. --plugin /opt/veskor/lib/libLibVESKOR.so.1\n"
        "  -h, --help           this help; veskor COMMAND --help for a command\n"
        "  -V, --version        the tool's version\n"
        "  --                   the remaining words are arguments (a string value that\n"
        "                       starts with '-' or is the word \"then\")\n"
        );
}

static QString exitStatusText()
{
    return QStringLiteral(
        "Exit status:\n"
        "  0    every result code was 0\n"
        "  1    some result code was not 0\n"
        "  2    usage error: bad command, option, type, count or value\n"
        "  3    the plug-in could not be loaded\n"
        "  4    connection failed (the host name did not resolve, ConnectDrive refused\n"
        "       the address) or the embedded simulator could not start\n"
        "  5    the output could not be written (standard output on a full disk):\n"
        "       the run ends at once, with one line on standard error saying why\n"
        "  130  interrupted by Ctrl-C outside a poll (Ctrl-C ends a poll normally:\n"
        "       its status follows the result codes)\n"
        );
}

QString generalHelp()
{
    return QStringLiteral(
        "Usage: veskor [OPTIONS] COMMAND [ARGS] [then COMMAND [ARGS]]...\n"
        "\n"
        "Reads and writes tags of a machine controller through the LibVESKOR plug-in,\n"
        "loaded the way an operator-panel host loads it. Without --connect the tool\n"
        "starts its own controller simulator on 127.0.0.1 (\"embedded simulator\"),\n"
        "whose memory starts zeroed and lives as long as this one run: join commands\n"
        "with the word \"then\" to write and read back in one session.\n"
        "\n"
        "Commands (veskor COMMAND --help or veskor help COMMAND for details):\n"
        "  info                         driver name, version and build version\n"
        "  read TAG TYPE [COUNT]        read COUNT elements (default 1)\n"
        "  read TAG:TYPE[:COUNT] ...    read several tags, print a table\n"
        "  read --tags FILE             read the tags of a CSV file (tag,type[,count][,name])\n"
        "  write TAG TYPE VALUE...      write the values (count = number of values)\n"
        "  poll TAG TYPE [COUNT]        read repeatedly until --times or Ctrl-C\n"
        "  poll TAG:TYPE[:COUNT] ...    poll several tags, one line per round\n"
        "  poll --tags FILE             poll the tags of a CSV file\n"
        "  monitor TAG:TYPE[:COUNT] ... a live table of the tags (or --tags FILE)\n"
        "  probe                        how the controller answers: areas, echoes, timing\n"
        "\n"
        "%1"
        "\n"
        "Plug-in search: --plugin PATH, else $VESKOR_PLUGIN; else the library built\n"
        "next to this program (build tree only), libLibVESKOR.so.1 through the dynamic\n"
        "loader's path, and ../lib/ relative to this program.\n"
        "\n"
        "TYPE: bool int8 uint8 int16 uint16 int32 uint32 float int64 uint64 double string\n"
        "      (aliases i8 u8 i16 u16 i32 u32 i64 u64 f32 f64 str ...), or a type code\n"
        "      0, 1, 2, ... as the host passes it (13 and up have no driver meaning).\n"
        "TAG:  an area name ID1x..ID23x followed by the address, e.g. ID4x10.\n"
        "\n"
        "Result codes: 0 done, 1 nothing done, 2 unsupported type, 3 no area in the tag\n"
        "name, 4 bad length, 7 device error, 8 no answer (after 2 s; at once when the\n"
        "controller's port is closed), 9 no socket.\n"
        "\n"
        "%2"
        "\n"
        "Examples:\n"
        "  veskor info\n"
        "  veskor write ID4x10 int16 1 -2 3 then read ID4x10 int16 3\n"
        "  veskor --connect 192.168.0.10:5000 read ID4x0:uint16:4 ID1x8:float\n"
        "  veskor --json poll ID4x0 uint32 --interval 500 --times 10\n"
        "  veskor --connect 192.168.0.10:5000 probe\n")
        .arg(globalOptionsText(), exitStatusText());
}

namespace {

// One option in a command's help: its words and what it does, the lines of
// the text separated by '\n'.
struct OptionHelp {
    const char *words;
    const char *text;
};

// read and poll take the same tag file and the same --hex.
const OptionHelp kTagsFileHelp = {
    "--tags FILE",
    "the tags of a CSV file with a header line naming the\n"
    "columns tag, type, count (optional, 1), name (optional),\n"
    "controller (optional, HOST:PORT, else --connect's), scale,\n"
    "offset and unit (optional: values show as raw x scale +\n"
    "offset) and the gateway's writable and deadband,\n"
    "separated by ',' or ';' as the header line has it,\n"
    "e.g. --tags panel.csv; UTF-8, at most 16 MB and 4096 bytes a\n"
    "line; a bad line is refused with its number"};
const OptionHelp kHexHelp = {
    "--hex",
    "also the bytes of each value as they came on the wire\n"
    "(hex, one group per element), e.g. --hex"};

// The help of one command as it prints: the usage lines, what the command
// does, its options (their texts start at `column`) and examples, each
// example one command line.
struct CommandHelpText {
    Command::Kind kind;
    const char *usage;
    const char *about;
    int column;
    QVector<OptionHelp> options;
    const char *examples;
};

const CommandHelpText kCommandHelp[] = {
    {Command::Info,
     "Usage: veskor info",
     "Prints the driver name, its version and its build version (DebugCmd\n"
     "BuildVersion). Needs no controller.",
     0, {},
     "veskor info\n"
     "veskor --json info"},

    {Command::Read,
     "Usage: veskor read TAG TYPE [COUNT]\n"
     "       veskor read TAG:TYPE[:COUNT] TAG:TYPE[:COUNT] ...\n"
     "       veskor read --tags FILE [TAG:TYPE[:COUNT] ...]",
     "Reads COUNT elements (default 1; for bool one bit each, for string the\n"
     "field size in bytes) and prints the values, the result code with its\n"
     "meaning and the time stamp. Several TAG:TYPE[:COUNT] words print a table\n"
     "(tag, type, count, code, meaning, values). Integers of 8 bits print as\n"
     "0..255, floats with the digits needed to read back the same number,\n"
     "strings quoted.",
     17, {kTagsFileHelp, kHexHelp},
     "veskor read ID4x10 int16 3\n"
     "veskor read ID4x10:int16:3 ID1x0:bool:8 ID4x40:string:16\n"
     "veskor read --tags panel.csv\n"
     "veskor read ID4x10:int16:2 ID4x20:float --hex\n"
     "veskor --json read ID4x20 double"},

    {Command::Write,
     "Usage: veskor write TAG TYPE VALUE... [--size N]\n"
     "       veskor write --tags FILE NAME VALUE... [--size N]",
     "Writes the values; the element count is the number of values. Integers\n"
     "are decimal or 0x hexadecimal and must fit the type (int8 takes\n"
     "-128..255: the controller's byte is unsigned); bools take 1/0, true/false,\n"
     "on/off; floats take decimal notation, nan, inf, -inf. A string takes one\n"
     "value (quote text with spaces). With --tags, NAME is a name (or a tag) of\n"
     "the file, which gives the type; a scaled tag takes engineering values,\n"
     "sent as (value - offset) / scale, refused when that is no whole step.\n"
     "A warning says when a written tag's bytes meet another tag's (of the\n"
     "command line or the file) at the same address in any area.",
     15,
     {{"--size N", "string field size in bytes, the element count of a string\n"
                   "write (default: UTF-8 length + 1), e.g. --size 16"},
      {"--tags FILE", "the tag file of read, e.g. --tags plant.csv"}},
     "veskor write ID4x10 int16 1 -2 3\n"
     "veskor write ID1x0 bool on off 1 0\n"
     "veskor write ID4x40 string \"hello world\" --size 16\n"
     "veskor write --tags plant.csv oven_temp 21.5\n"
     "veskor write ID4x10 int16 1 -2 3 then read ID4x10 int16 3"},

    {Command::Poll,
     "Usage: veskor poll TAG TYPE [COUNT] [--interval MS] [--times N] [--changes]\n"
     "       veskor poll TAG:TYPE[:COUNT] ... | --tags FILE [OPTIONS]",
     "Reads the tag every MS milliseconds and prints one line per read: time,\n"
     "values, result code and round-trip time in ms. Several tags are read one\n"
     "after the other each round, and the round is one line: time, then\n"
     "TAG: values (code) per tag (the name from a tag file when it has one),\n"
     "then the round's round trip; with --json one object per tag and read.\n"
     "Ctrl-C ends the poll with a summary per tag on stderr (reads, failures\n"
     "by code, min/median/max round trip; with --json JSON objects on stdout);\n"
     "so does reaching --times. The exit status follows the result codes.",
     17,
     {{"--interval MS", "time between reads, default 1000, e.g. --interval 100"},
      {"--times N", "stop after N reads, e.g. --times 10 (default: until Ctrl-C)"},
      {"--changes", "print a read only when its values or code changed"},
      kTagsFileHelp,
      kHexHelp},
     "veskor poll ID4x10 int16 3 --interval 100 --times 20\n"
     "veskor --connect 192.168.0.10:5000 poll ID1x0 bool 8 --changes\n"
     "veskor poll --tags panel.csv --interval 500"},

    {Command::Monitor,
     "Usage: veskor monitor TAG:TYPE[:COUNT] ... | --tags FILE [--interval MS] [--times N]",
     "Reads the tags every MS milliseconds (default 1000) and keeps a table on\n"
     "the terminal up to date: name, tag, type, value, the time of its last\n"
     "change, the last result code, round trips min/median/max and failures.\n"
     "A value that changed is shown in reverse video for a second. q or\n"
     "Ctrl-C leaves and prints a summary per tag. When the output is not a\n"
     "terminal it prints one line per round, as poll does.",
     17,
     {{"--interval MS", "time between rounds, e.g. --interval 200"},
      {"--times N", "stop after N rounds, e.g. --times 100"},
      {"--tags FILE", "the tags of a CSV file (see veskor read --help),\n"
                      "e.g. --tags panel.csv"}},
     "veskor --connect 192.168.0.10:5000 monitor --tags panel.csv\n"
     "veskor monitor ID4x0:int16:2 ID1x0:bool:8 --interval 200"},

    {Command::Probe,
     "Usage: veskor probe [--count N] [--wait MS] [--repeat N] [--scan-devices LIST]\n"
     "                    [--write-test TAG]",
     "Finds out how the controller answers, with a fixed run of reads on the\n"
     "tool's own socket (not through the plug-in), then prints a report:\n"
     "  - each of the 23 areas, read --repeat times: an image and its length, an\n"
     "    error answer, a short answer or none, always, N of M times or never;\n"
     "  - round trips (min, median, p99, max) over the answers of N reads of one\n"
     "    area, with losses and short answers as rates;\n"
     "  - which header bytes answers copy: the sequence, area code, device id;\n"
     "  - which address and port answers come from;\n"
     "  - what reads with another device id (--device + 1) get;\n"
     "  - duplicates and late answers;\n"
     "and a verdict in words: what each habit means for the driver. When the\n"
     "port is not closed but no area answers, reads with the --scan-devices ids\n"
     "find out which device id the controller answers.\n"
     "Nothing is written unless --write-test names a tag: its two bytes are\n"
     "written back as read, to see whether write answers copy the header.\n"
     "The run is bounded: the first line on stderr says how many requests and\n"
     "seconds it takes at most; a line per stage follows (a counter on a\n"
     "terminal). Exit status 0 when the controller answered at all, 1 when\n"
     "nothing came back.",
     23,
     {{"--count N", "reads for the round trips, 1..10000 (default 50),\n"
                    "e.g. --count 200"},
      {"--wait MS", "longest wait for one answer, 1..60000 (default 2000,\n"
                    "the driver's), e.g. --wait 500"},
      {"--repeat N", "tries of each area and each habit check, 1..100\n"
                     "(default 5), e.g. --repeat 10"},
      {"--scan-devices LIST", "device ids to try when no area answers (default\n"
                              "0,1,2,255 and --device), e.g. --scan-devices 0-255"},
      {"--write-test TAG", "write a tag the user gives up (two bytes, the value\n"
                           "read), e.g. --write-test ID4x100"}},
     "veskor --connect 192.168.0.10:5000 probe\n"
     "veskor --connect 192.168.0.10:5000 --device 3 probe --write-test ID4x100\n"
     "veskor --connect 192.168.0.10:5000 probe --scan-devices 0-255\n"
     "veskor --connect plc7:5000 --json probe --count 200"},
};

// Each line of text after `indent`, each with its line end.
QString indentedLines(const char *text, const QString &indent)
{
    QString out;
    for (const QString &line : QString::fromUtf8(text).split(QLatin1Char('\n')))
        out += indent + line + QLatin1Char('\n');
    return out;
}

// An option's words, then its text from `column` on: the first line beside
// the words, the others below it.
QString optionHelpText(const OptionHelp &option, int column)
{
    const QString words = (QStringLiteral("  ") + QLatin1String(option.words)).leftJustified(column);
    const QString text = indentedLines(option.text, QString(column, QLatin1Char(' ')));
    return words + text.mid(column);
}

QString commandHelpText(const CommandHelpText &help)
{
    QString out = indentedLines(help.usage, QString()) + QLatin1Char('\n')
                  + indentedLines(help.about, QString()) + QLatin1Char('\n');
    if (!help.options.isEmpty()) {
        out += QLatin1String("Options:\n");
        for (const OptionHelp &option : help.options)
            out += optionHelpText(option, help.column);
        out += QLatin1Char('\n');
    }
    out += QLatin1String("Examples:\n") + indentedLines(help.examples, QStringLiteral("  "));
    // The global options, type names, result codes and exit statuses are in
    // the tool's help, once.
    return out + QLatin1String("\nGlobal options, types, result codes and exit statuses: veskor --help\n");
}

} // namespace

QString commandHelp(Command::Kind kind)
{
    for (const CommandHelpText &help : kCommandHelp) {
        if (help.kind == kind)
            return commandHelpText(help);
    }
    return generalHelp();
}

} // namespace veskortool
