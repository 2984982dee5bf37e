#include "CommandLine.h"

#include "driver/Tags.h"
#include "common/Values.h"
#include "common/EditDistance.h"
#include "common/HostPort.h"

#include <QMap>
#include <QRegularExpression>

namespace veskortool {

namespace {

const char kThen[] = "then";

enum Scope { Global, WriteOnly, PollOnly, ReadOrPoll, ProbeOnly, HelpOpt, VersionOpt };

struct OptionInfo {
    const char *name;
    bool takesValue;
    Scope scope;
};

const OptionInfo kOptions[] = {
    {"connect", true, Global},  {"device", true, Global},  {"debug", false, Global},
    {"json", false, Global},    {"quiet", false, Global},  {"plugin", true, Global},
    {"size", true, WriteOnly},
    {"interval", true, PollOnly}, {"times", true, PollOnly}, {"changes", false, PollOnly},
    {"tags", true, ReadOrPoll}, {"hex", false, ReadOrPoll},
    {"count", true, ProbeOnly}, {"wait", true, ProbeOnly}, {"write-test", true, ProbeOnly},
    {"repeat", true, ProbeOnly}, {"scan-devices", true, ProbeOnly},
    {"help", false, HelpOpt},   {"version", false, VersionOpt},
};

const OptionInfo *findOption(const QString &name)
{
    for (const OptionInfo &o : kOptions) {
        if (name == QLatin1String(o.name))
            return &o;
    }
    return nullptr;
}

// The one-letter forms: -h for --help, -V for --version. -v is none: read
// as "verbose" by some and as "version" by others, it is refused with a
// pointer to -V.
const char kShortOptions[] = "hV";

using veskortools::editDistance;

// The option meant by an unknown name (without its dashes), as it is
// written: the nearest known one when it is at most one edit in three
// characters away (a letter of another case is no edit), else empty.
QString closestOption(const QString &name)
{
    if (name.isEmpty() || name.size() > 64)
        return QString();
    QString best;
    int bestDistance = name.size() / 3 + 1;
    for (const char *s = kShortOptions; *s; ++s) {
        const int d = editDistance(name, QString(QLatin1Char(*s)));
        if (d < bestDistance) {
            bestDistance = d;
            best = QStringLiteral("-") + QLatin1Char(*s);
        }
    }
    for (const OptionInfo &o : kOptions) {
        const int d = editDistance(name, QLatin1String(o.name));
        if (d < bestDistance) {
            bestDistance = d;
            best = QStringLiteral("--") + QLatin1String(o.name);
        }
    }
    return best;
}

// "unknown option --conect; did you mean --connect?" for the word as typed;
// without a near option, the word quoted and a pointer to the help.
QString unknownOption(const QString &word)
{
    const QString written = word.section(QLatin1Char('='), 0, 0);
    int dashes = 0;
    while (dashes < written.size() && written.at(dashes) == QLatin1Char('-'))
        ++dashes;
    const QString meant = closestOption(written.mid(dashes));
    if (!meant.isEmpty())
        return QStringLiteral("unknown option %1; did you mean %2?").arg(written, meant);
    return QStringLiteral("unknown option %1 (try veskor --help)").arg(quoted(word));
}

// A word that starts with '-' but is a value: a negative number, -inf, -nan.
bool looksNegativeNumber(const QString &word)
{
    static const QRegularExpression re(QStringLiteral("^-(?:[0-9]|\\.[0-9]|inf$|infinity$|nan$)"),
                                       QRegularExpression::CaseInsensitiveOption);
    return re.match(word).hasMatch();
}

// One command's words: what stands between two "then".
struct Segment {
    QStringList positionals;
    QMap<QString, QString> options;   // option name -> value ("" for flags)
    QStringList optionOrder;
    bool help = false;
};

bool commandKind(const QString &word, Command::Kind *kind)
{
    if (word == QLatin1String("info")) *kind = Command::Info;
    else if (word == QLatin1String("read")) *kind = Command::Read;
    else if (word == QLatin1String("write")) *kind = Command::Write;
    else if (word == QLatin1String("poll")) *kind = Command::Poll;
    else if (word == QLatin1String("monitor")) *kind = Command::Monitor;
    else if (word == QLatin1String("probe")) *kind = Command::Probe;
    else return false;
    return true;
}

bool parseConnect(const QString &text, QString *error)
{
    veskortools::HostPort address;
    switch (veskortools::parseHostPort(text, veskortools::kConnectForm, &address)) {
    case veskortools::HostPortError::None:
        return true;
    case veskortools::HostPortError::Form:
        *error = QStringLiteral("--connect wants HOST:PORT (e.g. 192.168.0.10:5000), got %1").arg(quoted(text));
        return false;
    case veskortools::HostPortError::Port:
        break;
    }
    *error = QStringLiteral("port %1 in --connect is out of range (1..65535)")
                 .arg(quoted(text.mid(text.lastIndexOf(QLatin1Char(':')) + 1)));
    return false;
}

bool parseDevice(const QString &text, quint32 *out, QString *error)
{
    static const QRegularExpression re(QStringLiteral("^[0-9]+$"));
    bool ok = false;
    const qulonglong n = re.match(text).hasMatch() ? text.toULongLong(&ok, 10) : 0;
    if (!ok || n > 0xFFFFFFFFull) {
        *error = QStringLiteral("--device %1 is not a number from 0 to 4294967295").arg(quoted(text));
        return false;
    }
    *out = quint32(n);
    return true;
}

// The tags of a read or poll: TAG TYPE [COUNT], or TAG:TYPE[:COUNT] words,
// and the tags of a --tags file before them.
bool parseTagList(const Segment &seg, const QStringList &args, Command *cmd, QString *error)
{
    const QString word = seg.positionals.first();
    cmd->hex = seg.options.contains(QStringLiteral("hex"));
    if (seg.options.contains(QStringLiteral("tags"))) {
        if (!readTagFile(seg.options.value(QStringLiteral("tags")), &cmd->tags, error))
            return false;
        cmd->table = true;
        if (args.isEmpty())
            return true;
    }
    if (args.isEmpty()) {
        *error = QStringLiteral("%1 needs TAG TYPE [COUNT] or TAG:TYPE[:COUNT] ...").arg(word);
        return false;
    }
    bool table = false;
    for (const QString &a : args)
        table = table || a.contains(QLatin1Char(':'));
    if (table || cmd->table) {
        cmd->table = true;
        for (const QString &a : args) {
            const QStringList parts = a.split(QLatin1Char(':'));
            if (parts.size() < 2 || parts.size() > 3) {
                *error = QStringLiteral("%1 is not TAG:TYPE[:COUNT]").arg(quoted(a));
                return false;
            }
            TagRequest r;
            if (!parseTagRequest(parts.at(0), parts.at(1), parts.size() == 3 ? &parts.at(2) : nullptr, &r,
                                 error))
                return false;
            cmd->tags.append(r);
        }
        return true;
    }
    if (args.size() < 2) {
        *error = QStringLiteral("%1 needs a TYPE after the tag %2").arg(word, quoted(args.first()));
        return false;
    }
    if (args.size() > 3) {
        *error = QStringLiteral("too many arguments for %1: %2 (several tags: TAG:TYPE[:COUNT] ...)")
                     .arg(word, quoted(args.at(3)));
        return false;
    }
    TagRequest r;
    if (!parseTagRequest(args.at(0), args.at(1), args.size() == 3 ? &args.at(2) : nullptr, &r, error))
        return false;
    cmd->tags.append(r);
    return true;
}

// A count option of the command, when it is given: "--NAME" in the error.
bool countOption(const Segment &seg, const char *name, int *out, QString *error)
{
    const QString key = QLatin1String(name);
    return !seg.options.contains(key)
           || parseCount(seg.options.value(key), QStringLiteral("--") + key, out, error);
}

// Refuses a command option given to a command it does not belong to.
bool optionsBelong(const Segment &seg, Command::Kind kind, QString *error)
{
    const QString word = seg.positionals.first();
    const bool polls = kind == Command::Poll || kind == Command::Monitor;
    for (const QString &name : seg.optionOrder) {
        const OptionInfo *option = findOption(name);
        if (option->scope == WriteOnly && kind != Command::Write) {
            *error = QStringLiteral("option --%1 belongs to write, not %2").arg(name, word);
            return false;
        }
        if (option->scope == PollOnly && !polls) {
            *error = QStringLiteral("option --%1 belongs to poll and monitor, not %2").arg(name, word);
            return false;
        }
        if (option->scope == ReadOrPoll && kind != Command::Read && !polls) {
            *error = QStringLiteral("option --%1 belongs to read, poll and monitor, not %2").arg(name, word);
            return false;
        }
        if (option->scope == ProbeOnly && kind != Command::Probe) {
            *error = QStringLiteral("option --%1 belongs to probe, not %2").arg(name, word);
            return false;
        }
    }
    return true;
}

// info and probe take options only.
bool noArguments(const QString &word, const QStringList &args, QString *error)
{
    if (args.isEmpty())
        return true;
    *error = QStringLiteral("%1 takes no arguments, got %2").arg(word, quoted(args.first()));
    return false;
}

// write TAG TYPE VALUE... [--size N]
bool interpretWrite(const Segment &seg, const QStringList &args, Command *cmd, QString *error)
{
    if (args.size() < 2) {
        *error = QStringLiteral("write needs TAG TYPE VALUE...");
        return false;
    }
    TagRequest r;
    if (!parseTag(args.at(0), &r.tag, error) || !parseType(args.at(1), &r.type, error))
        return false;
    const QStringList values = args.mid(2);
    if (values.isEmpty()) {
        *error = QStringLiteral("write needs at least one value after the type");
        return false;
    }
    if (seg.options.contains(QStringLiteral("size")) && r.type != 12) {
        *error = QStringLiteral("--size applies to string writes only");
        return false;
    }
    if (!parseValues(r.type, values, &cmd->values, error))
        return false;
    cmd->valueTexts = values;
    r.count = values.size();
    if (r.type == 12) {
        r.count = defaultStringSize(values.first());
        if (!countOption(seg, "size", &r.count, error))
            return false;
    }
    cmd->tags.append(r);
    return true;
}

// poll and monitor: the tags, then --interval, --times, --changes.
bool interpretPoll(const Segment &seg, const QStringList &args, Command *cmd, QString *error)
{
    if (!parseTagList(seg, args, cmd, error) || !countOption(seg, "interval", &cmd->intervalMs, error)
        || !countOption(seg, "times", &cmd->times, error))
        return false;
    cmd->changesOnly = seg.options.contains(QStringLiteral("changes"));
    return true;
}

// probe [--count N] [--wait MS] [--write-test TAG] [--repeat N] [--scan-devices LIST]
bool interpretProbe(const Segment &seg, const QStringList &args, Command *cmd, QString *error)
{
    if (!noArguments(QStringLiteral("probe"), args, error) || !countOption(seg, "count", &cmd->probeCount, error))
        return false;
    if (cmd->probeCount < 1 || cmd->probeCount > 10000) {
        *error = QStringLiteral("--count wants 1 to 10000 reads");
        return false;
    }
    if (!countOption(seg, "wait", &cmd->waitMs, error))
        return false;
    if (cmd->waitMs < 1 || cmd->waitMs > 60000) {
        *error = QStringLiteral("--wait wants 1 to 60000 ms");
        return false;
    }
    if (seg.options.contains(QStringLiteral("write-test"))) {
        cmd->writeTest = seg.options.value(QStringLiteral("write-test"));
        const veskor::TagRef ref = veskor::parseTag(cmd->writeTest);
        if (!ref.area || ref.address < 0) {
            *error = QStringLiteral("--write-test %1 is not a tag with an area and an address, e.g. ID4x10")
                         .arg(quoted(cmd->writeTest));
            return false;
        }
    }
    if (!countOption(seg, "repeat", &cmd->probeRepeat, error))
        return false;
    if (cmd->probeRepeat > 100) {
        *error = QStringLiteral("--repeat wants 1 to 100 tries");
        return false;
    }
    return !seg.options.contains(QStringLiteral("scan-devices"))
           || parseDeviceList(seg.options.value(QStringLiteral("scan-devices")), &cmd->scanDevices, error);
}

// One command's words into the command.
bool interpret(const Segment &seg, Command *cmd, QString *error)
{
    if (seg.positionals.isEmpty()) {
        *error = QStringLiteral("no command given (try veskor --help)");
        return false;
    }
    const QString word = seg.positionals.first();
    if (!commandKind(word, &cmd->kind)) {
        *error = QStringLiteral("unknown command %1 (use info, read, write, poll, monitor or probe)").arg(quoted(word));
        return false;
    }
    if (!optionsBelong(seg, cmd->kind, error))
        return false;
    const QStringList args = seg.positionals.mid(1);
    switch (cmd->kind) {
    case Command::Info:
        return noArguments(word, args, error);
    case Command::Read:
        return parseTagList(seg, args, cmd, error);
    case Command::Write:
        return interpretWrite(seg, args, cmd, error);
    case Command::Poll:
    case Command::Monitor:
        return interpretPoll(seg, args, cmd, error);
    case Command::Probe:
        return interpretProbe(seg, args, cmd, error);
    }
    return false;
}

// The words of a command line sorted: each command's words, the global
// options, whether the version was asked for, and the first bad word.
struct Words {
    QVector<Segment> segments = QVector<Segment>(1);
    QMap<QString, QString> globals;
    QStringList connects;      // every --connect, in order
    bool version = false;
    QString firstError;

    void fail(const QString &error)
    {
        if (firstError.isEmpty())
            firstError = error;
    }
};

// "--NAME", "--NAME=VALUE" or "--NAME VALUE" at args[*i]; *i moves past
// a value taken from the next word.
void takeLongOption(const QStringList &args, int *i, Words *words)
{
    const QString &a = args.at(*i);
    Segment &seg = words->segments.last();
    QString name = a.mid(2);
    QString value;
    bool inlineValue = false;
    const int eq = name.indexOf(QLatin1Char('='));
    if (eq >= 0) {
        value = name.mid(eq + 1);
        name = name.left(eq);
        inlineValue = true;
    }
    const OptionInfo *option = findOption(name);
    QString error;
    if (!option)
        error = unknownOption(a);
    else if (option->takesValue && !inlineValue && *i + 1 >= args.size())
        error = QStringLiteral("option --%1 needs a value").arg(name);
    else if (!option->takesValue && inlineValue)
        error = QStringLiteral("option --%1 takes no value").arg(name);
    if (!error.isEmpty()) {
        words->fail(error);
        return;
    }
    if (option->takesValue && !inlineValue)
        value = args.at(++*i);
    switch (option->scope) {
    case HelpOpt: seg.help = true; break;
    case VersionOpt: words->version = true; break;
    case Global:
        if (name == QLatin1String("connect"))
            words->connects << value;
        else
            words->globals.insert(name, value);
        break;
    default:
        seg.options.insert(name, value);
        if (!seg.optionOrder.contains(name))
            seg.optionOrder << name;
        break;
    }
}

Words sortWords(const QStringList &args)
{
    Words words;
    bool endOfOptions = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (!endOfOptions && a == QLatin1String(kThen))
            words.segments.append(Segment());
        else if (endOfOptions || a == QLatin1String("-") || looksNegativeNumber(a) || !a.startsWith(QLatin1Char('-')))
            words.segments.last().positionals << a;
        else if (a == QLatin1String("--"))
            endOfOptions = true;
        else if (a == QLatin1String("-h"))
            words.segments.last().help = true;
        else if (a == QLatin1String("-V"))
            words.version = true;
        else if (!a.startsWith(QLatin1String("--")))
            words.fail(unknownOption(a));
        else
            takeLongOption(args, &i, &words);
    }
    return words;
}

// Help wins over every other word: "veskor write --help" must not fail for
// want of a tag. False when no command asks for help.
bool helpAsked(const QVector<Segment> &segments, QString *text)
{
    for (const Segment &seg : segments) {
        const bool helpWord = !seg.positionals.isEmpty() && seg.positionals.first() == QLatin1String("help");
        if (!seg.help && !helpWord)
            continue;
        Command::Kind kind;
        const QString topic = helpWord ? seg.positionals.value(1) : seg.positionals.value(0);
        *text = commandKind(topic, &kind) ? commandHelp(kind) : generalHelp();
        return true;
    }
    return false;
}

// Every --connect checked; the first is the controller, the others go with
// it in a monitor.
bool takeConnects(const QStringList &connects, Options *o, QString *error)
{
    for (const QString &c : connects) {
        if (!parseConnect(c, error))
            return false;
        if (c == o->connect || o->moreConnects.contains(c)) {
            *error = QStringLiteral("--connect %1 is given twice").arg(c);
            return false;
        }
        if (o->connect.isEmpty())
            o->connect = c;
        else
            o->moreConnects << c;
    }
    return true;
}

// With several --connect, a monitor shows each tag of each controller (the
// table has a controller column); other commands take one controller.
bool spreadOverControllers(Options *o, QString *error)
{
    if (o->moreConnects.isEmpty())
        return true;
    for (Command &c : o->commands) {
        if (c.kind != Command::Monitor) {
            *error = QStringLiteral("several --connect are for monitor; other commands take one controller "
                                    "(a tag file's controller column names others)");
            return false;
        }
        QVector<TagRequest> spread;
        for (const TagRequest &t : qAsConst(c.tags)) {
            spread << t;
            if (!t.controller.isEmpty())
                continue;
            for (const QString &more : qAsConst(o->moreConnects)) {
                spread << t;
                spread.last().controller = more;
            }
        }
        c.tags = spread;
    }
    return true;
}

bool takeGlobals(const QMap<QString, QString> &globals, Options *o, QString *error)
{
    if (globals.contains(QStringLiteral("device"))) {
        o->hasDevice = true;
        if (!parseDevice(globals.value(QStringLiteral("device")), &o->device, error))
            return false;
    }
    o->debug = globals.contains(QStringLiteral("debug"));
    o->json = globals.contains(QStringLiteral("json"));
    o->quiet = globals.contains(QStringLiteral("quiet"));
    if (globals.contains(QStringLiteral("plugin"))) {
        o->plugin = globals.value(QStringLiteral("plugin"));
        if (o->plugin.isEmpty()) {
            *error = QStringLiteral("--plugin needs a file path");
            return false;
        }
    }
    return true;
}

bool takeCommands(const QVector<Segment> &segments, Options *o, QString *error)
{
    if (segments.size() > 1) {
        for (const Segment &seg : segments) {
            if (seg.positionals.isEmpty()) {
                *error = QStringLiteral("\"then\" needs a command on both sides");
                return false;
            }
        }
    }
    for (const Segment &seg : segments) {
        Command cmd;
        if (!interpret(seg, &cmd, error))
            return false;
        o->commands.append(cmd);
    }
    // The probe speaks to the controller on its own socket, not through the
    // plug-in: it does not share a session.
    if (o->commands.size() > 1) {
        for (const Command &c : o->commands) {
            if (c.kind == Command::Probe) {
                *error = QStringLiteral("probe runs alone: it cannot be joined with \"then\"");
                return false;
            }
        }
    }
    return true;
}

} // namespace

ParseResult parseCommandLine(const QStringList &args)
{
    ParseResult result;
    const Words words = sortWords(args);
    if (helpAsked(words.segments, &result.text)) {
        result.outcome = ParseResult::Help;
        return result;
    }
    if (words.version) {
        result.outcome = ParseResult::Version;
        return result;
    }
    if (!words.firstError.isEmpty()) {
        result.text = words.firstError;
        return result;
    }
    if (takeConnects(words.connects, &result.options, &result.text)
        && takeGlobals(words.globals, &result.options, &result.text)
        && takeCommands(words.segments, &result.options, &result.text)
        && spreadOverControllers(&result.options, &result.text))
        result.outcome = ParseResult::Run;
    return result;
}

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
    "columns tag, type, count (optional, 1), name (optional) and\n"
    "controller (optional, HOST:PORT, else --connect's),\n"
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
     "Usage: veskor write TAG TYPE VALUE... [--size N]",
     "Writes the values; the element count is the number of values. Integers\n"
     "are decimal or 0x hexadecimal and must fit the type (int8 takes\n"
     "-128..255: the controller's byte is unsigned); bools take 1/0, true/false,\n"
     "on/off; floats take decimal notation, nan, inf, -inf. A string takes one\n"
     "value (quote text with spaces).",
     13,
     {{"--size N", "string field size in bytes, the element count of a string\n"
                   "write (default: UTF-8 length + 1), e.g. --size 16"}},
     "veskor write ID4x10 int16 1 -2 3\n"
     "veskor write ID1x0 bool on off 1 0\n"
     "veskor write ID4x40 string \"hello world\" --size 16\n"
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
