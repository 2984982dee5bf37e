// veskor-sim: runs the controller simulator as a program until SIGINT/SIGTERM.
#include "VeskorSim.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

using namespace veskorsim;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    // Nothing but a write here; the event loop does the rest.
    ssize_t r = ::write(signalPipe[0], &c, 1);
    (void)r;
}

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "veskor-sim: %s\n", qPrintable(message));
    std::exit(2);
}

// Decimal, or hexadecimal with 0x.
bool parseUInt(const QString &text, quint64 max, quint64 *out)
{
    bool ok = false;
    const quint64 v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                          ? text.mid(2).toULongLong(&ok, 16)
                          : text.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    *out = v;
    return true;
}

bool parseHex(const QString &text, QByteArray *out)
{
    if (text.isEmpty() || text.size() % 2)
        return false;
    for (QChar c : text)
        if (!std::isxdigit(c.toLatin1()) || c.unicode() > 0x7f)
            return false;
    *out = QByteArray::fromHex(text.toLatin1());
    return true;
}

struct AreaSeed {
    quint32 code;
    int offset;
    QByteArray bytes;
    QString text;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veskor-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESKOR_SIM_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Controller simulator: answers read and write requests over UDP/IPv4 from 23 memory areas "
        "(ID1x..ID23x), with optional fault injection and a pcap capture.\n"
        "Prints \"veskor-sim listening on ADDR:PORT\" once bound; stops on SIGINT/SIGTERM."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listenOpt(
        QStringLiteral("listen"),
        QStringLiteral("Address and port to answer on (default 127.0.0.1:50200; port 0 picks a free "
                       "one). Example: --listen 0.0.0.0:50200"),
        QStringLiteral("ADDR:PORT"), QStringLiteral("127.0.0.1:50200"));
    const QCommandLineOption areaSizeOpt(
        QStringLiteral("area-size"),
        QStringLiteral("Bytes per area, 0 to %1 (default 1024). Example: --area-size 4096")
            .arg(kMaxAreaSize),
        QStringLiteral("N"), QStringLiteral("1024"));
    const QCommandLineOption setOpt(
        QStringLiteral("set"),
        QStringLiteral("Seed bytes of an area at a byte offset, in hex; repeatable, applied after "
                       "--fill. Example: --set ID4x:120:3412ffff"),
        QStringLiteral("AREA:OFFSET:HEX"));
    const QCommandLineOption fillOpt(
        QStringLiteral("fill"),
        QStringLiteral("Fill every area with this byte first (decimal or 0x..). Example: --fill 0xff"),
        QStringLiteral("BYTE"));
    const QCommandLineOption verboseOpt(
        QStringLiteral("verbose"),
        QStringLiteral("One line per request on stderr. Example: --verbose"));
    const QCommandLineOption pcapOpt(
        QStringLiteral("pcap"),
        QStringLiteral("Capture every datagram in and out to a pcap file (raw IPv4). "
                       "Example: --pcap /tmp/sim.pcap"),
        QStringLiteral("FILE"));
    const QCommandLineOption seedOpt(
        QStringLiteral("seed"),
        QStringLiteral("Seed of the random fault choice (default 1). Example: --seed 42"),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption faultOpt(
        QStringLiteral("fault"),
        QStringLiteral("Probability 0..1 of a fault per answer; repeatable. Kinds: drop, delay, "
                       "duplicate, truncate, corrupt-magic, corrupt-echo, foreign-port. "
                       "Example: --fault drop=0.1"),
        QStringLiteral("KIND=PROBABILITY"));
    const QCommandLineOption delayOpt(
        QStringLiteral("delay-ms"),
        QStringLiteral("Delay of the delay fault in milliseconds (default 2500). Example: --delay-ms 3000"),
        QStringLiteral("N"), QStringLiteral("2500"));
    parser.addOptions({listenOpt, areaSizeOpt, setOpt, fillOpt, verboseOpt, pcapOpt, seedOpt,
                       faultOpt, delayOpt});

    if (!parser.parse(QCoreApplication::arguments()))
        fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        // Qt's usage line names the program by the path it was started with.
        QString help = parser.helpText();
        const int lineEnd = help.indexOf(QLatin1Char('\n'));
        help.replace(0, lineEnd, QStringLiteral("Usage: veskor-sim [options]"));
        std::fputs(qPrintable(help), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("veskor-sim %s\n", VESKOR_SIM_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    SimConfig config;
    config.keepReceived = false;

    const QString listen = parser.value(listenOpt);
    const int colon = listen.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        fail(QStringLiteral("--listen '%1': expected ADDR:PORT").arg(listen));
    const QString addrText = listen.left(colon);
    if (!config.address.setAddress(addrText)
        || config.address.protocol() != QAbstractSocket::IPv4Protocol)
        fail(QStringLiteral("--listen '%1': '%2' is not an IPv4 address").arg(listen, addrText));
    quint64 v = 0;
    if (!parseUInt(listen.mid(colon + 1), 65535, &v))
        fail(QStringLiteral("--listen '%1': port out of range 0..65535").arg(listen));
    config.port = quint16(v);

    if (!parseUInt(parser.value(areaSizeOpt), quint64(kMaxAreaSize), &v))
        fail(QStringLiteral("--area-size '%1': expected 0..%2")
                 .arg(parser.value(areaSizeOpt))
                 .arg(kMaxAreaSize));
    config.areaSize = int(v);

    if (!parseUInt(parser.value(seedOpt), 0xffffffffu, &v))
        fail(QStringLiteral("--seed '%1': expected 0..4294967295").arg(parser.value(seedOpt)));
    config.seed = quint32(v);

    if (!parseUInt(parser.value(delayOpt), 24u * 3600 * 1000, &v))
        fail(QStringLiteral("--delay-ms '%1': expected a number of milliseconds")
                 .arg(parser.value(delayOpt)));
    config.delayMs = int(v);

    for (const QString &f : parser.values(faultOpt)) {
        const int eq = f.indexOf(QLatin1Char('='));
        Fault kind;
        if (eq <= 0 || !faultFromName(f.left(eq), &kind) || kind == Fault::None)
            fail(QStringLiteral("--fault '%1': unknown fault kind (drop, delay, duplicate, truncate, "
                                "corrupt-magic, corrupt-echo, foreign-port)")
                     .arg(f));
        bool ok = false;
        const double prob = f.mid(eq + 1).toDouble(&ok);
        if (!ok || !(prob >= 0.0 && prob <= 1.0))
            fail(QStringLiteral("--fault '%1': probability outside 0..1").arg(f));
        config.faultRates[kind] = prob;
    }

    config.verbose = parser.isSet(verboseOpt);
    config.pcapPath = parser.value(pcapOpt);

    bool fill = false;
    quint64 fillByte = 0;
    if (parser.isSet(fillOpt)) {
        if (!parseUInt(parser.value(fillOpt), 255, &fillByte))
            fail(QStringLiteral("--fill '%1': expected a byte 0..255").arg(parser.value(fillOpt)));
        fill = true;
    }

    QList<AreaSeed> seeds;
    for (const QString &s : parser.values(setOpt)) {
        const QStringList parts = s.split(QLatin1Char(':'));
        if (parts.size() != 3)
            fail(QStringLiteral("--set '%1': expected AREA:OFFSET:HEX").arg(s));
        AreaSeed seed;
        seed.text = s;
        seed.code = areaCodeOf(parts[0]);
        if (!seed.code)
            fail(QStringLiteral("--set '%1': unknown area '%2' (ID1x..ID23x)").arg(s, parts[0]));
        if (!parseUInt(parts[1], quint64(kMaxAreaSize), &v))
            fail(QStringLiteral("--set '%1': bad offset '%2'").arg(s, parts[1]));
        seed.offset = int(v);
        if (!parseHex(parts[2], &seed.bytes))
            fail(QStringLiteral("--set '%1': bad hex '%2' (expected an even number of hex digits)")
                     .arg(s, parts[2]));
        seeds.append(seed);
    }

    Simulator sim(config);
    if (fill)
        sim.fillAll(char(fillByte));
    for (const AreaSeed &s : seeds)
        if (!sim.setArea(s.code, s.offset, s.bytes))
            fail(QStringLiteral("--set '%1': does not fit in an area of %2 bytes")
                     .arg(s.text)
                     .arg(config.areaSize));

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        fail(QStringLiteral("cannot create the signal pipe"));
    QSocketNotifier notifier(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char c;
        ssize_t r = ::read(signalPipe[1], &c, 1);
        (void)r;
        app.quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    QString error;
    if (!sim.start(&error))
        fail(error);
    std::printf("veskor-sim listening on %s:%u\n", qPrintable(sim.address().toString()),
                unsigned(sim.port()));
    std::fflush(stdout);

    app.exec();
    sim.stop();
    return 0;
}
