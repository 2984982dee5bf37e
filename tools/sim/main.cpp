// veskor-sim: runs the controller simulator as a program until SIGINT/SIGTERM.
#include "BenchFile.h"
#include "VeskorSim.h"
#include "common/EditDistance.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

using namespace veskorsim;
using namespace veskorsim::cli;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    // Nothing but a write here; the event loop does the rest.
    ssize_t r = ::write(signalPipe[0], &c, 1);
    (void)r;
}

// Prints "veskor-sim: MESSAGE" on stderr and ends the program.
[[noreturn]] void exitWith(const QString &message, int status = ExitUsage)
{
    std::fprintf(stderr, "veskor-sim: %s\n", qPrintable(message));
    std::exit(status);
}

// --- Unknown options -----------------------------------------------------------

using veskortools::editDistance;

// The first word of args that names no option, as it was written
// ("--conect", "-x"), or empty. It reads the words as QCommandLineParser
// does: "--name[=value]", one-letter options run together ("-Vh"), the next
// word the value of an option that takes one, nothing after "--".
QString unknownOptionWord(const QStringList &args, const QList<QCommandLineOption> &options)
{
    QHash<QString, bool> takesValue;
    for (const QCommandLineOption &o : options)
        for (const QString &name : o.names())
            takesValue.insert(name, !o.valueName().isEmpty());
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--"))
            break;
        if (a.size() < 2 || !a.startsWith(QLatin1Char('-')))
            continue;
        if (a.startsWith(QLatin1String("--"))) {
            const QString name = a.mid(2).section(QLatin1Char('='), 0, 0);
            if (!takesValue.contains(name))
                return QStringLiteral("--") + name;
            if (takesValue.value(name) && !a.contains(QLatin1Char('=')))
                ++i;
            continue;
        }
        for (int p = 1; p < a.size(); ++p) {
            const QString name = a.mid(p, 1);
            if (!takesValue.contains(name))
                return a.section(QLatin1Char('='), 0, 0);
            if (takesValue.value(name)) {
                if (p + 1 == a.size())
                    ++i;
                break;
            }
            if (p + 1 < a.size() && a.at(p + 1) == QLatin1Char('='))
                break;
        }
    }
    return QString();
}

// "unknown option --lisen; did you mean --listen?": the nearest known option
// when it is at most one edit in three characters away (a letter of another
// case is no edit); without one, the word and a pointer to the help.
QString unknownOptionMessage(const QString &word, const QList<QCommandLineOption> &options)
{
    int dashes = 0;
    while (dashes < word.size() && word.at(dashes) == QLatin1Char('-'))
        ++dashes;
    const QString name = word.mid(dashes);
    QString best;
    int bestDistance = name.size() / 3 + 1;
    for (const QCommandLineOption &o : options) {
        for (const QString &known : o.names()) {
            const int d = name.size() > 64 ? bestDistance : editDistance(name, known);
            if (d < bestDistance) {
                bestDistance = d;
                best = (known.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + known;
            }
        }
    }
    if (!best.isEmpty())
        return QStringLiteral("unknown option %1; did you mean %2?").arg(word, best);
    return QStringLiteral("unknown option '%1' (try veskor-sim --help)").arg(word);
}

// --- Command line ------------------------------------------------------------

// The program's own options, in the order --help lists them.
enum Opt {
    OptConfig, OptListen, OptAreaSize, OptSet, OptFill, OptVerbose, OptPcap, OptSeed, OptFault,
    OptDelay, OptDevice, OptIgnoreDevice, OptNoEcho, OptAnswerPort, OptReplay, OptReplayTiming,
    OptCount
};

struct OptionEntry {
    Opt id;                // its place in kOptions
    const char *name;
    const char *valueName; // nullptr for a switch
    const char *help;      // "%1" stands for kMaxAreaSize
};

const OptionEntry kOptions[OptCount] = {
    {OptConfig, "config", "FILE",
     "Read the test bench from a JSON file (keys listen, areaSize, seed, delayMs, fill, areas, "
     "faults, device, ignoreDevice, noEcho, answerPort); the other options override its values, "
     "--set and --fault add to its areas and faults. Example: --config bench.json"},
    {OptListen, "listen", "ADDR:PORT",
     "Address and port to answer on (default 127.0.0.1:50200; port 0 picks a free one); the "
     "address is IPv4 or a host name, resolved to IPv4. Example: --listen 0.0.0.0:50200"},
    {OptAreaSize, "area-size", "N",
     "Bytes per area, 0 to %1 (default 1024). Example: --area-size 4096"},
    {OptSet, "set", "AREA:OFFSET:HEX",
     "Seed bytes of an area at a byte offset, in hex; repeatable, applied after --fill. "
     "Example: --set ID4x:120:3412ffff"},
    {OptFill, "fill", "BYTE",
     "Fill every area with this byte first (decimal or 0x..). Example: --fill 0xff"},
    {OptVerbose, "verbose", nullptr, "One line per request on stderr. Example: --verbose"},
    {OptPcap, "pcap", "FILE",
     "Capture every datagram in and out to a pcap file (raw IPv4). Example: --pcap /tmp/sim.pcap"},
    {OptSeed, "seed", "N", "Seed of the random fault choice (default 1). Example: --seed 42"},
    {OptFault, "fault", "KIND=PROBABILITY",
     "Probability 0..1 of a fault per answer; repeatable. Kinds: drop, delay, duplicate, "
     "truncate, corrupt-magic, corrupt-echo, foreign-port. Example: --fault drop=0.1"},
    {OptDelay, "delay-ms", "N",
     "Delay of the delay fault in milliseconds (default 2500). Example: --delay-ms 3000"},
    {OptDevice, "device", "N",
     "Device id of this controller (default 1): a read for another device id is not answered. "
     "Example: --device 7"},
    {OptIgnoreDevice, "ignore-device", nullptr,
     "Answer reads for any device id. Example: --ignore-device"},
    {OptNoEcho, "no-echo", nullptr,
     "Read answers carry sequence 0 instead of the request's. Example: --no-echo"},
    {OptAnswerPort, "answer-port", "N",
     "Send every answer from this local port (1..65535) on the listening address instead of from "
     "the listening port. Example: --answer-port 50201"},
    {OptReplay, "replay", "FILE",
     "Answer from a pcap capture of a controller's traffic instead of from memory: a request gets "
     "the answers its recorded twin got, in recorded order. Example: --replay session.pcap"},
    {OptReplayTiming, "replay-timing", nullptr,
     "With --replay, send each answer as long after the request as it was recorded. "
     "Example: --replay session.pcap --replay-timing"},
};

QList<QCommandLineOption> ownOptions()
{
    QList<QCommandLineOption> options;
    for (const OptionEntry &entry : kOptions) {
        Q_ASSERT(entry.id == options.size());
        QString help = QString::fromLatin1(entry.help);
        if (help.contains(QLatin1String("%1")))
            help = help.arg(kMaxAreaSize);
        options.append(QCommandLineOption(QString::fromLatin1(entry.name), help,
                                          QString::fromLatin1(entry.valueName)));
    }
    return options;
}

// The parsed command line, looked up by Opt.
class Given
{
public:
    Given(const QCommandLineParser &parser, const QList<QCommandLineOption> &options)
        : m_parser(parser), m_options(options)
    {
    }
    bool isSet(Opt o) const { return m_parser.isSet(m_options.at(o)); }
    QString value(Opt o) const { return m_parser.value(m_options.at(o)); }
    QStringList values(Opt o) const { return m_parser.values(m_options.at(o)); }
    // "--name 'value'", naming a command-line value in messages.
    QString subject(Opt o, const QString &value) const
    {
        return QStringLiteral("--%1 '%2'").arg(QString::fromLatin1(kOptions[o].name), value);
    }

private:
    const QCommandLineParser &m_parser;
    const QList<QCommandLineOption> &m_options;
};

// What the command line asks for.
struct Run {
    enum Action { Simulate, Print };
    Action action = Simulate;
    QString text; // for Print: what goes to stdout
    SimConfig config;
    Memory memory;
};

// A Run, or why there is none.
struct ParseResult {
    std::optional<Failure> failure;
    Run run;
};

// --area-size, --seed, --delay-ms, --device, --ignore-device, --no-echo, --answer-port.
void applyNumbers(const Given &given, SimConfig *config)
{
    quint64 v = 0;
    if (given.isSet(OptAreaSize)) {
        if (!parseUInt(given.value(OptAreaSize), quint64(kMaxAreaSize), &v))
            fail(QStringLiteral("--area-size '%1': expected 0..%2")
                     .arg(given.value(OptAreaSize))
                     .arg(kMaxAreaSize));
        config->areaSize = int(v);
    }
    if (given.isSet(OptSeed)) {
        if (!parseUInt(given.value(OptSeed), 0xffffffffu, &v))
            fail(QStringLiteral("--seed '%1': expected 0..4294967295").arg(given.value(OptSeed)));
        config->seed = quint32(v);
    }
    if (given.isSet(OptDelay)) {
        if (!parseUInt(given.value(OptDelay), 24u * 3600 * 1000, &v))
            fail(QStringLiteral("--delay-ms '%1': expected a number of milliseconds")
                     .arg(given.value(OptDelay)));
        config->delayMs = int(v);
    }
}

void applyFaults(const Given &given, SimConfig *config)
{
    for (const QString &f : given.values(OptFault)) {
        const int eq = f.indexOf(QLatin1Char('='));
        if (eq <= 0)
            fail(given.subject(OptFault, f), QStringLiteral("expected KIND=PROBABILITY"));
        const Fault kind = faultKind(given.subject(OptFault, f), f.left(eq));
        bool ok = false;
        const double prob = f.mid(eq + 1).toDouble(&ok);
        if (!ok || !(prob >= 0.0 && prob <= 1.0))
            fail(QStringLiteral("--fault '%1': probability outside 0..1").arg(f));
        config->faultRates[kind] = prob;
    }
}

void applyHabits(const Given &given, SimConfig *config)
{
    quint64 v = 0;
    if (given.isSet(OptDevice) && given.isSet(OptIgnoreDevice))
        fail(QStringLiteral("--device and --ignore-device contradict each other"));
    if (given.isSet(OptDevice)) {
        if (!parseUInt(given.value(OptDevice), 0xffffffffu, &v))
            fail(QStringLiteral("--device '%1': expected 0..4294967295").arg(given.value(OptDevice)));
        config->device = quint32(v);
    }
    if (given.isSet(OptIgnoreDevice))
        config->device.reset();
    if (given.isSet(OptNoEcho))
        config->noEcho = true;
    if (given.isSet(OptAnswerPort)) {
        if (!parseUInt(given.value(OptAnswerPort), 65535, &v) || v == 0)
            fail(QStringLiteral("--answer-port '%1': expected a port 1..65535")
                     .arg(given.value(OptAnswerPort)));
        config->answerPort = quint16(v);
    }
}

void applyReplay(const Given &given, SimConfig *config)
{
    config->replayPath = given.value(OptReplay);
    config->replayTiming = given.isSet(OptReplayTiming);
    if (config->replayTiming && !given.isSet(OptReplay))
        fail(QStringLiteral("--replay-timing: only with --replay FILE"));
    if (!given.isSet(OptReplay))
        return;
    if (config->replayPath.isEmpty())
        fail(QStringLiteral("--replay: expected a file name"));
    // A replay answers as recorded: what would shape the answers otherwise
    // is refused rather than silently left out.
    for (Opt o : {OptAreaSize, OptSet, OptFill, OptSeed, OptFault, OptDelay, OptDevice,
                  OptIgnoreDevice, OptNoEcho})
        if (given.isSet(o))
            fail(QStringLiteral("--%1 plays no part in a --replay: the answers are the "
                                "recorded ones").arg(QString::fromLatin1(kOptions[o].name)));
}

// --fill and --set, then whether every seed fits in the final area size.
void applyMemory(const Given &given, int areaSize, Memory *memory)
{
    quint64 v = 0;
    if (given.isSet(OptFill)) {
        if (!parseUInt(given.value(OptFill), 255, &v))
            fail(QStringLiteral("--fill '%1': expected a byte 0..255").arg(given.value(OptFill)));
        memory->fill = true;
        memory->fillByte = quint8(v);
    }
    for (const QString &s : given.values(OptSet)) {
        const QStringList parts = s.split(QLatin1Char(':'));
        if (parts.size() != 3)
            fail(QStringLiteral("--set '%1': expected AREA:OFFSET:HEX").arg(s));
        AreaSeed seed;
        seed.subject = given.subject(OptSet, s);
        seed.code = areaCodeOf(parts[0]);
        if (!seed.code)
            fail(QStringLiteral("--set '%1': unknown area '%2' (ID1x..ID23x)").arg(s, parts[0]));
        if (!parseUInt(parts[1], quint64(kMaxAreaSize), &v))
            fail(QStringLiteral("--set '%1': bad offset '%2'").arg(s, parts[1]));
        seed.offset = int(v);
        if (!parseHex(parts[2], &seed.bytes))
            fail(QStringLiteral("--set '%1': bad hex '%2' (expected an even number of hex digits)")
                     .arg(s, parts[2]));
        memory->seeds.append(seed);
    }
    // Whether a seed fits is known only once the area size is final.
    for (const AreaSeed &s : memory->seeds)
        if (s.offset + s.bytes.size() > areaSize)
            fail(s.subject, QStringLiteral("does not fit in an area of %1 bytes").arg(areaSize));
}

// The defaults, then the bench file, then the other options over it.
Run runFrom(const Given &given)
{
    Run run;
    SimConfig &config = run.config;
    config.keepReceived = false;
    config.port = 50200;
    config.device = 1u;
    if (given.isSet(OptConfig))
        applyBenchFile(given.value(OptConfig), &config, &run.memory);
    if (given.isSet(OptListen))
        setListen(given.subject(OptListen, given.value(OptListen)), given.value(OptListen), &config);
    applyNumbers(given, &config);
    applyFaults(given, &config);
    applyHabits(given, &config);
    applyReplay(given, &config);
    config.verbose = given.isSet(OptVerbose);
    config.pcapPath = given.value(OptPcap);
    applyMemory(given, config.areaSize, &run.memory);
    return run;
}

// The usage text with the program named as "veskor-sim"; Qt's usage line
// names it by the path it was started with.
QString helpText(const QCommandLineParser &parser)
{
    QString help = parser.helpText();
    const int lineEnd = help.indexOf(QLatin1Char('\n'));
    help.replace(0, lineEnd, QStringLiteral("Usage: veskor-sim [options]"));
    return help;
}

Run parseOrThrow(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Controller simulator: answers read and write requests over UDP/IPv4 from 23 memory areas "
        "(ID1x..ID23x), with optional fault injection and a pcap capture, or replays a captured "
        "session (--replay).\n"
        "Prints \"veskor-sim listening on ADDR:PORT\" once bound; stops on SIGINT/SIGTERM."));
    const QCommandLineOption helpOpt = parser.addHelpOption();
    // -V as in veskor; -v is no option in either tool (see veskor's
    // CommandLine.cpp), --verbose has no short form.
    const QCommandLineOption versionOpt({QStringLiteral("V"), QStringLiteral("version")},
                                        QStringLiteral("Displays version information."));
    parser.addOption(versionOpt);
    const QList<QCommandLineOption> options = ownOptions();
    parser.addOptions(options);

    // Qt says "Unknown option 'conect'." without the dashes typed and
    // without the option meant; the word is looked for here first.
    const QList<QCommandLineOption> allOptions =
        QList<QCommandLineOption>{helpOpt, QCommandLineOption(QStringLiteral("help-all"), QString()),
                                  versionOpt}
        + options;
    const QString unknown = unknownOptionWord(arguments, allOptions);
    if (!unknown.isEmpty())
        fail(unknownOptionMessage(unknown, allOptions));
    if (!parser.parse(arguments))
        fail(parser.errorText());
    Run run;
    run.action = Run::Print;
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        run.text = helpText(parser);
        return run;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        run.text = QStringLiteral("veskor-sim %1\n").arg(QStringLiteral(VESKOR_SIM_VERSION));
        return run;
    }
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    return runFrom(Given(parser, options));
}

// The command line (with the bench file it names) as a Run, or the failure
// to report. A host name in --listen is resolved here.
ParseResult parseCommandLine(const QStringList &arguments)
{
    ParseResult result;
    try {
        result.run = parseOrThrow(arguments);
    } catch (const Failure &f) {
        result.failure = f;
    }
    return result;
}

// SIGINT and SIGTERM quit the application's event loop.
void quitOnSignals(QCoreApplication *app, QSocketNotifier **notifier)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        exitWith(QStringLiteral("cannot create the signal pipe"));
    *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(*notifier, &QSocketNotifier::activated, app, [app] {
        char c;
        ssize_t r = ::read(signalPipe[1], &c, 1);
        (void)r;
        app->quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void printReplayInfo(const ReplayInfo &r)
{
    std::fprintf(stderr,
                 "veskor-sim: replay %s: link type %s, controller %s:%u, %d request%s recorded "
                 "(%d answered, %d unanswered), %d of %d packet%s skipped\n",
                 qPrintable(r.path), qPrintable(r.linkType), qPrintable(r.controller.toString()),
                 unsigned(r.controllerPort), r.requests, r.requests == 1 ? "" : "s", r.answered,
                 r.unanswered, r.skipped, r.packets, r.packets == 1 ? "" : "s");
    std::fflush(stderr);
}

// Runs the simulator until SIGINT or SIGTERM.
int simulate(QCoreApplication &app, const Run &run)
{
    Simulator sim(run.config);
    if (run.memory.fill)
        sim.fillAll(char(run.memory.fillByte));
    for (const AreaSeed &s : run.memory.seeds)
        if (!sim.setArea(s.code, s.offset, s.bytes))
            exitWith(s.subject + QStringLiteral(": cannot be set"));

    QSocketNotifier *notifier = nullptr;
    quitOnSignals(&app, &notifier);

    QString error;
    if (!sim.start(&error))
        exitWith(error);
    if (!run.config.replayPath.isEmpty())
        printReplayInfo(sim.replayInfo());
    std::printf("veskor-sim listening on %s:%u\n", qPrintable(sim.address().toString()),
                unsigned(sim.port()));
    std::fflush(stdout);

    app.exec();
    sim.stop();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veskor-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESKOR_SIM_VERSION));

    const ParseResult parsed = parseCommandLine(QCoreApplication::arguments());
    if (parsed.failure)
        exitWith(parsed.failure->message, parsed.failure->status);
    if (parsed.run.action == Run::Print) {
        std::fputs(qPrintable(parsed.run.text), stdout);
        return 0;
    }
    return simulate(app, parsed.run);
}
