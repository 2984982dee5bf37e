// veskor: a small host for the LibVESKOR plug-in. It loads the plug-in with
// dlopen, takes the driver from getSharedLibrary() and from then on talks to
// it only through CDriveBaseClass and CLabelVariable.
#include "host/CDriveBaseClass.h"
#include "CommandLine.h"
#include "PluginLoader.h"
#include "driver/Tags.h"
#include "Probe.h"
#include "Runner.h"
#include "VeskorSim.h"
#include "common/HostPort.h"
#include "common/Resolve.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QSocketNotifier>

#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <initializer_list>
#include <memory>
#include <unistd.h>

using namespace veskortool;

namespace {

std::atomic<bool> g_showLog{false};
int g_sigintPipe[2] = {-1, -1};

// The plug-in logs through Qt: its traffic lines with --debug, and warnings
// such as a missing answer. Without --debug the result code says enough.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "veskor: %s\n", message.toUtf8().constData());
        std::abort();
    }
    if (!g_showLog.load())
        return;
    // Each line with the local time it was written, to the millisecond.
    const QByteArray time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1();
    std::fprintf(stderr, "%s %s\n", time.constData(), message.toUtf8().constData());
    std::fflush(stderr);
}

// "HOST:PORT" with HOST a name or an IPv4 address, to "ADDRESS:PORT" for the
// plug-in, which takes numeric addresses only. Names are resolved to their
// first IPv4 address. False with the reason in *error.
bool resolveConnect(const QString &text, QString *resolved, QString *error)
{
    veskortools::HostPort split;
    veskortools::parseHostPort(text, veskortools::kAddressForm, &split);
    QHostAddress address;
    if (!veskortools::resolveIPv4(split.host, &address, error))
        return false;
    *resolved = QStringLiteral("%1:%2").arg(address.toString(), split.portText);
    return true;
}

// Signals reach the event loop through a pipe: 1 a stop (SIGINT, SIGTERM),
// 2 a new terminal size (SIGWINCH).
void onSigint(int)
{
    const char c = 1;
    const ssize_t r = ::write(g_sigintPipe[1], &c, 1);
    (void)r;
}

void onSigwinch(int)
{
    const char c = 2;
    const ssize_t r = ::write(g_sigintPipe[1], &c, 1);
    (void)r;
}

// One handler, with these flags, for each of the signal numbers.
void handleSignals(std::initializer_list<int> numbers, void (*handler)(int), int flags)
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flags;
    for (const int number : numbers)
        sigaction(number, &sa, nullptr);
}

int fail(int status, const QString &message)
{
    std::fprintf(stderr, "veskor: %s\n", message.toUtf8().constData());
    return status;
}

void printOut(const QString &text)
{
    writeStdout(text.toUtf8());
}

bool sameDir(const QString &a, const QString &b)
{
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

// The controller's "ADDRESS:PORT": --connect with its host name resolved,
// or the embedded simulator, started here. ExitOk, or the exit status.
int controllerAddress(const Options &options, std::unique_ptr<veskorsim::Simulator> *simulator,
                      QString *address)
{
    QString error;
    *address = options.connect;
    if (address->isEmpty()) {
        // Nothing here asks what it received: it keeps none of it, however
        // many requests a run makes.
        veskorsim::SimConfig config;
        config.keepReceived = false;
        simulator->reset(new veskorsim::Simulator(config));
        if (!(*simulator)->start(&error))
            return fail(ExitConnect, QStringLiteral("the embedded simulator did not start: %1").arg(error));
        *address = QStringLiteral("%1:%2").arg((*simulator)->address().toString()).arg((*simulator)->port());
        if (!options.quiet)
            std::fputs("veskor: no --connect: the commands go to a built-in simulator that lives for "
                       "this run only (values written do not persist; --quiet hides this note)\n",
                       stderr);
        if (options.debug)
            std::fprintf(stderr, "veskor: embedded simulator on %s\n", address->toUtf8().constData());
        return ExitOk;
    }
    QString resolved;
    if (!resolveConnect(*address, &resolved, &error))
        return fail(ExitConnect, error);
    if (options.debug && resolved != *address)
        std::fprintf(stderr, "veskor: %s is %s\n", address->toUtf8().constData(), resolved.toUtf8().constData());
    *address = resolved;
    return ExitOk;
}

// veskor probe: the controller's habits, found out on the tool's own socket.
int probe(const Options &options)
{
    const Command &cmd = options.commands.first();
    std::unique_ptr<veskorsim::Simulator> simulator;
    QString address;
    const int status = controllerAddress(options, &simulator, &address);
    if (status != ExitOk)
        return status;
    veskortools::HostPort split;
    veskortools::parseHostPort(address, veskortools::kAddressForm, &split);
    ProbeSettings settings;
    settings.address = QHostAddress(split.host);
    settings.port = split.port;
    settings.device = options.hasDevice ? options.device : 1;
    settings.count = cmd.probeCount;
    settings.waitMs = cmd.waitMs;
    settings.writeTag = cmd.writeTest;
    settings.repeat = cmd.probeRepeat;
    settings.scanDevices = cmd.scanDevices;
    if (!cmd.writeTest.isEmpty()) {
        const veskor::TagRef ref = veskor::parseTag(cmd.writeTest);
        settings.writeArea = quint32(ref.area);
        settings.writeAddress = ref.address;
    }
    std::fprintf(stderr, "veskor: probing %s as device %u: at most %d requests and %.0f s\n",
                 address.toUtf8().constData(), settings.device, probeMaxRequests(settings),
                 std::ceil(probeMaxMs(settings) / 1000.0));
    // Ctrl-C or SIGTERM: no further probe read leaves; what was seen so far
    // is reported.
    handleSignals({SIGINT, SIGTERM}, [](int) { stopProbe(); }, 0);
    ProbeLog log;
    QString error;
    if (!runProbe(settings, &log, &error))
        return fail(ExitConnect, error);
    if (simulator)
        simulator->stop();
    const ProbeReport report = judgeProbe(log);
    printOut(options.json ? probeJson(report) : probeText(report));
    if (probeStopped()) {
        std::fputs("veskor: stopped; the probe's report covers what came before the stop\n", stderr);
        return ExitInterrupted;
    }
    return report.answered ? ExitOk : ExitResultCode;
}

// The driver object and its library live until the process ends; the host
// interface has no way to delete the object.
LoadedPlugin g_plugin;

// The controllers tag files name besides --connect's, each connected with a
// driver object of its own. ExitOk, or the exit status.
int otherControllers(const Options &options, QVector<Controller> *controllers)
{
    const auto get = reinterpret_cast<GetSharedLibraryFn>(dlsym(g_plugin.handle, "getSharedLibrary"));
    for (const Command &c : options.commands) {
        for (const TagRequest &t : c.tags) {
            bool known = t.controller.isEmpty();
            for (const Controller &k : qAsConst(*controllers))
                known = known || k.name == t.controller;
            if (known)
                continue;
            QString resolved, error;
            if (!resolveConnect(t.controller, &resolved, &error))
                return fail(ExitConnect, error);
            CDriveBaseClass *driver = get();
            if (options.hasDevice)
                driver->SetConnectPar(QString::number(options.device));
            if (driver->ConnectDrive(resolved) == -1)
                return fail(ExitConnect, QStringLiteral("cannot connect to %1: the plug-in refused the address")
                                             .arg(resolved));
            controllers->append(Controller{t.controller, driver});
        }
    }
    return ExitOk;
}

// Loads the plug-in into g_plugin, with its traffic log on for --debug and
// --hex. ExitOk, or the exit status.
int loadDriver(const Options &options)
{
    PluginSearch search;
    search.optionPath = options.plugin;
    search.envPath = qEnvironmentVariable("VESKOR_PLUGIN");
    search.exeDir = QCoreApplication::applicationDirPath();
    search.libDirName = QStringLiteral(VESKOR_TOOL_INSTALL_LIBDIR);
#ifdef VESKOR_TOOL_BUILT_PLUGIN
    search.builtPath = QStringLiteral(VESKOR_TOOL_BUILT_PLUGIN);
    search.inBuildTree = sameDir(search.exeDir, QStringLiteral(VESKOR_TOOL_BUILD_DIR));
#endif
    QString error;
    if (!loadPlugin(pluginCandidates(search), &g_plugin, &error))
        return fail(ExitPlugin, error);
    bool hex = false;
    for (const Command &c : options.commands)
        hex = hex || c.hex;
    if (options.debug)
        std::fprintf(stderr, "veskor: plug-in %s\n", QFile::encodeName(g_plugin.path).constData());
    // --hex takes the bytes from the traffic log, shown only with --debug.
    if (options.debug || hex)
        g_plugin.driver->DebugCmd(StartDebug);
    return ExitOk;
}

// Connects the driver to the controller when a command needs one (info
// does not); *connected says whether it did. ExitOk, or the exit status.
int connectDriver(const Options &options, std::unique_ptr<veskorsim::Simulator> *simulator, bool *connected)
{
    bool needsController = false;
    for (const Command &c : options.commands)
        needsController = needsController || c.kind != Command::Info;
    if (!needsController)
        return ExitOk;
    QString address;
    const int status = controllerAddress(options, simulator, &address);
    if (status != ExitOk)
        return status;
    CDriveBaseClass *driver = g_plugin.driver;
    if (options.hasDevice)
        driver->SetConnectPar(QString::number(options.device));
    if (driver->ConnectDrive(address) == -1)
        return fail(ExitConnect,
                    QStringLiteral("cannot connect to %1: the plug-in refused the address "
                                   "(give an IPv4 address and a port)").arg(address));
    *connected = true;
    return ExitOk;
}

// SIGINT and SIGTERM stop the run, SIGWINCH redraws the monitor: each
// through g_sigintPipe.
void catchSignals()
{
    if (::pipe(g_sigintPipe) != 0)
        return;
    ::fcntl(g_sigintPipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(g_sigintPipe[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(g_sigintPipe[1], F_SETFL, O_NONBLOCK);
    handleSignals({SIGINT, SIGTERM}, onSigint, SA_RESTART);
    handleSignals({SIGWINCH}, onSigwinch, SA_RESTART);
}

// Runs the commands until the runner finishes, then lets the controllers
// go. The exit status.
int runCommands(QCoreApplication &app, const Options &options, veskorsim::Simulator *simulator, bool connected)
{
    // Tag files may name other controllers: a driver object of its own each.
    QVector<Controller> controllers{Controller{QString(), g_plugin.driver}};
    if (const int status = otherControllers(options, &controllers); status != ExitOk)
        return status;
    Runner runner(controllers, options);
    QSocketNotifier notifier(g_sigintPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &runner, [&runner]() {
        char c = 1;
        const ssize_t r = ::read(g_sigintPipe[0], &c, 1);
        (void)r;
        if (c == 2)
            runner.resized();
        else
            runner.stop();
    });
    QObject::connect(&runner, &Runner::finished, &app, [](int status) { QCoreApplication::exit(status); });
    runner.start();
    const int status = app.exec();

    notifier.setEnabled(false);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGWINCH, SIG_DFL);
    if (connected) {
        for (const Controller &c : qAsConst(controllers)) {
            c.driver->DisConnectDrive();
            c.driver->DestroyFree();
        }
    }
    if (simulator)
        simulator->stop();
    return status;
}

// The command line's outcome, carried out. The exit status.
int carryOut(QCoreApplication &app, const ParseResult &parsed)
{
    switch (parsed.outcome) {
    case ParseResult::Help:
        printOut(parsed.text);
        return ExitOk;
    case ParseResult::Version:
        printOut(QStringLiteral("veskor %1\n").arg(QStringLiteral(VESKOR_TOOL_VERSION)));
        return ExitOk;
    case ParseResult::Error:
        return fail(ExitUsage, parsed.text);
    case ParseResult::Run:
        break;
    }
    const Options &options = parsed.options;
    for (const QString &w : options.warnings)
        std::fprintf(stderr, "veskor: %s\n", w.toUtf8().constData());
    g_showLog = options.debug;
    if (options.commands.first().kind == Command::Probe)
        return probe(options);
    if (const int status = loadDriver(options); status != ExitOk)
        return status;
    std::unique_ptr<veskorsim::Simulator> simulator;
    bool connected = false;
    if (const int status = connectDriver(options, &simulator, &connected); status != ExitOk)
        return status;
    catchSignals();
    return runCommands(app, options, simulator.get(), connected);
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(messageHandler);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veskor"));
    // Output that could not be written turns any status into ExitOutput.
    return finalStatus(carryOut(app, parseCommandLine(QCoreApplication::arguments().mid(1))));
}
