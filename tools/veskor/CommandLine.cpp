#include "CommandLine.h"

#include "WriteArgs.h"
#include "driver/Tags.h"
#include "common/Values.h"
#include "common/EditDistance.h"
#include "common/HostPort.h"

#include <QMap>
#include <QRegularExpression>

namespace veskortool {

namespace {

const char kThen[] = "then";

enum Scope { Global, WriteOnly, PollOnly, ReadOrPoll, TagsOpt, ProbeOnly, HelpOpt, VersionOpt };

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
    {"tags", true, TagsOpt}, {"hex", false, ReadOrPoll},
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
        if (option->scope == TagsOpt && kind != Command::Read && kind != Command::Write && !polls) {
            *error = QStringLiteral("option --%1 belongs to read, write, poll and monitor, not %2").arg(name, word);
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

// write TAG TYPE VALUE... [--size N], or write --tags FILE NAME VALUE...
bool interpretWrite(const Segment &seg, const QStringList &args, Command *cmd, QString *error)
{
    const bool fromFile = seg.options.contains(QStringLiteral("tags"));
    if (args.size() < (fromFile ? 1 : 2)) {
        *error = fromFile ? QStringLiteral("write --tags %1 needs NAME VALUE...")
                                .arg(seg.options.value(QStringLiteral("tags")))
                          : QStringLiteral("write needs TAG TYPE VALUE...");
        return false;
    }
    TagRequest r;
    if (fromFile ? !tagFromFile(seg.options.value(QStringLiteral("tags")), args.at(0), cmd, &r, error)
                 : !parseTag(args.at(0), &r.tag, error) || !parseType(args.at(1), &r.type, error))
        return false;
    const QStringList values = args.mid(fromFile ? 1 : 2);
    if (values.isEmpty()) {
        *error = fromFile ? QStringLiteral("write needs at least one value after the name")
                          : QStringLiteral("write needs at least one value after the type");
        return false;
    }
    if (seg.options.contains(QStringLiteral("size")) && r.type != 12) {
        *error = QStringLiteral("--size applies to string writes only");
        return false;
    }
    if (fromFile && r.type != 12 && values.size() > r.count) {
        *error = QStringLiteral("%1 holds %2 element(s), got %3 values").arg(quoted(args.at(0))).arg(r.count)
                     .arg(values.size());
        return false;
    }
    QStringList sent;
    if (!sentTexts(r, values, &sent, error) || !parseValues(r.type, sent, &cmd->values, error))
        return false;
    cmd->valueTexts = values;
    if (r.type == 12) {
        if (!fromFile)
            r.count = defaultStringSize(values.first());
        if (!countOption(seg, "size", &r.count, error))
            return false;
    } else {
        r.count = values.size();
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
        && spreadOverControllers(&result.options, &result.text)) {
        result.outcome = ParseResult::Run;
        warnOverlaps(&result.options);
    }
    return result;
}

} // namespace veskortool
