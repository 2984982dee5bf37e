// veskor-gateway: polls many controllers through the plug-in and moves their
// tags' values to an MQTT broker and a Prometheus endpoint; takes writes
// from MQTT for the tags listed as writable. Runs until SIGTERM or SIGINT;
// SIGHUP reads the configuration again.
#include "Config.h"
#include "Gateway.h"
#include "Log.h"
#include "MqttLink.h"
#include "Notify.h"
#include "Once.h"
#include "ReadPlan.h"
#include "common/HostPort.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <pthread.h>
#include <unistd.h>

using namespace veskorgw;

namespace {

enum ExitStatus { ExitOk = 0, ExitUnanswered = 1, ExitUsage = 2, ExitStart = 3, ExitOutput = 5 };

const char kUsage[] =
    "Usage: veskor-gateway --config FILE [--metrics ADDRESS:PORT] [--check] [--verbose]\n"
    "                      [--log-format text|json] [--clean-retained]\n"
    "       veskor-gateway --config FILE --once [--json]\n"
    "\n"
    "Reads the tags of the controllers in FILE (JSON) every period through the\n"
    "plug-in, publishes them to MQTT as <prefix>/<controller>/<tag> and serves\n"
    "Prometheus metrics; tags marked \"writable\" take writes from\n"
    "<prefix>/<controller>/<tag>/set. Stops cleanly on SIGTERM or SIGINT; SIGHUP\n"
    "reads FILE again and applies what changed.\n"
    "\n"
    "  --config FILE           the configuration (see veskor-gateway(1))\n"
    "  --metrics ADDRESS:PORT  where /metrics is served (default 127.0.0.1:9463,\n"
    "                          or the file's \"metrics\"); \"off\" for none; also\n"
    "                          /healthz and /readyz\n"
    "  --check                 check the configuration and every controller's MQTT\n"
    "                          setup (status 2: a fault, 3: a setup refused); start\n"
    "                          nothing\n"
    "  --once                  read every tag of every controller once and print\n"
    "                          them, a line each (status 0: all answered, 1: not);\n"
    "                          no MQTT, no metrics\n"
    "  --json                  with --once: a JSON array, an object per tag\n"
    "  --clean-retained        after the start and each reload, remove the retained\n"
    "                          topics under the prefix that FILE no longer names\n"
    "                          (as \"mqtt\": {\"clean_retained\": true})\n"
    "  --verbose               also the plug-in's log lines and every overrun\n"
    "  --log-format FORMAT     text (default): a line with time and level (under\n"
    "                          the journal, the level as <N> and no time); json:\n"
    "                          an object per line (time, level, controller, msg)\n"
    "  -h, --help              this text\n"
    "  -V, --version           the version\n";

// The plug-in's own log lines (a missing answer, traffic with debug on)
// only with --verbose: the published code says the same.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        logLine(LogLevel::Error, message);
        std::abort();
    }
    if (verbose())
        logLine(type == QtDebugMsg ? LogLevel::Debug : type == QtInfoMsg ? LogLevel::Info
                : type == QtWarningMsg ? LogLevel::Warning : LogLevel::Error, message);
}

struct Options {
    QString config;
    QString metrics;
    bool metricsGiven = false;
    bool check = false;
    bool once = false;
    bool json = false;
    bool cleanRetained = false;
};

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "veskor-gateway: %s (try veskor-gateway --help)\n", message.toUtf8().constData());
    std::exit(ExitUsage);
}

Options parseArguments(const QStringList &args)
{
    Options o;
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args.at(i);
        const int eq = a.indexOf(QLatin1Char('='));
        const QString name = a.startsWith(QLatin1String("--")) && eq > 0 ? a.left(eq) : a;
        auto value = [&]() -> QString {
            if (eq > 0 && name != a)
                return a.mid(eq + 1);
            if (i + 1 >= args.size())
                usageError(QStringLiteral("%1 needs a value").arg(name));
            return args.at(++i);
        };
        if (name == QLatin1String("--config")) {
            o.config = value();
        } else if (name == QLatin1String("--metrics")) {
            o.metrics = value();
            o.metricsGiven = true;
        } else if (name == QLatin1String("--check")) {
            o.check = true;
        } else if (name == QLatin1String("--once")) {
            o.once = true;
        } else if (name == QLatin1String("--json")) {
            o.json = true;
        } else if (name == QLatin1String("--clean-retained")) {
            o.cleanRetained = true;
        } else if (name == QLatin1String("--verbose")) {
            setVerbose(true);
        } else if (name == QLatin1String("--log-format")) {
            const QString format = value();
            if (format != QLatin1String("text") && format != QLatin1String("json"))
                usageError(QStringLiteral("--log-format '%1': expected text or json").arg(format));
            setLogStyle({format == QLatin1String("json") ? LogFormat::Json : LogFormat::Text, stderrIsJournal()});
        } else if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            std::fputs(kUsage, stdout);
            std::exit(ExitOk);
        } else if (name == QLatin1String("-V") || name == QLatin1String("--version")) {
            std::printf("veskor-gateway %s\n", VESKOR_GATEWAY_VERSION);
            std::exit(ExitOk);
        } else {
            usageError(QStringLiteral("unknown argument '%1'").arg(a));
        }
    }
    if (o.config.isEmpty())
        usageError(QStringLiteral("--config FILE is needed"));
    if (o.json && !o.once)
        usageError(QStringLiteral("--json goes with --once"));
    if (o.once && o.check)
        usageError(QStringLiteral("--once and --check: one or the other"));
    return o;
}

// --check: the file's warnings and every controller's MQTT setup.
// ExitStart when one is refused.
int check(const GatewayConfig &config)
{
    for (const QString &line : writeOverlapWarnings(config))
        std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    mqttLibraryInit();
    const bool accepted = setupsAccepted(config, [&config](int i, const QString &error) {
        std::fprintf(stderr, "%s: controllers[%d] (%s) would not start: %s\n", config.path.toUtf8().constData(), i,
                     config.controllers.at(i).name.toUtf8().constData(), error.toUtf8().constData());
    });
    mqttLibraryCleanup();
    if (!accepted)
        return ExitStart;
    for (const ControllerConfig &c : config.controllers)
        std::printf("%s: %s every %d ms: %s\n", c.name.toUtf8().constData(), c.connect.toUtf8().constData(),
                    c.periodMs, describePlan(planReads(c.tags, c.group), c.group).toUtf8().constData());
    std::printf("%s: %d controller(s), %d tag(s)\n", config.path.toUtf8().constData(),
                config.controllers.size(), config.tagCount());
    return ExitOk;
}

// --once: every tag read once and printed; ExitUnanswered unless every
// read was answered with its value.
int once(const GatewayConfig &config, bool json)
{
    for (const QString &line : writeOverlapWarnings(config))
        std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    const QVector<OnceReading> readings = readOnce(config);
    const QByteArray text = json ? onceJson(config, readings) : onceTable(config, readings);
    if (std::fwrite(text.constData(), 1, size_t(text.size()), stdout) != size_t(text.size())
        || std::fflush(stdout) != 0) {
        std::perror("veskor-gateway: standard output");
        return ExitOutput;
    }
    for (const OnceReading &r : readings)
        if (r.code != 0)
            return ExitUnanswered;
    return ExitOk;
}

// The start line: what runs and where.
void logStarted(const GatewayConfig &config)
{
    logLine(QStringLiteral("%1 controller(s), %2 tag(s); MQTT %3:%4 prefix %5; metrics %6")
                .arg(config.controllers.size()).arg(config.tagCount())
                .arg(config.mqtt.host).arg(config.mqtt.port).arg(config.mqtt.prefix)
                .arg(config.metrics.isEmpty() ? QStringLiteral("off") : QStringLiteral("http://%1/metrics").arg(config.metrics)));
}

// Until SIGTERM or SIGINT: SIGHUP reloads; between signals, READY=1 to
// systemd once every controller's first cycle ended, and WATCHDOG=1 at half
// the watchdog's interval while every thread turns. Returns the stop signal.
int serve(Gateway &gateway, const sigset_t &stopAndReload)
{
    using Clock = std::chrono::steady_clock;
    const std::chrono::milliseconds ping = watchdogPingInterval();
    const std::chrono::milliseconds tick = ping.count() > 0 ? std::min(ping, std::chrono::milliseconds(250))
                                                            : std::chrono::milliseconds(250);
    const timespec wait{0, long(tick.count()) * 1000000L};
    bool ready = false;
    QString stuck;
    Clock::time_point lastPing;
    for (;;) {
        const int signal = sigtimedwait(&stopAndReload, nullptr, &wait);
        if (signal == SIGTERM || signal == SIGINT)
            return signal;
        if (signal == SIGHUP) {
            if (ready)
                notifySystemd("RELOADING=1");
            gateway.reload();
            if (ready)
                notifySystemd("READY=1");
        }
        if (!ready && gateway.notReady().isEmpty()) {
            ready = true;
            notifySystemd("READY=1");
        }
        const QString reason = gateway.notAlive();
        if (reason != stuck)
            logLine(reason.isEmpty() ? QStringLiteral("every thread turns again")
                                     : QStringLiteral("not alive: %1").arg(reason));
        stuck = reason;
        if (ping.count() > 0 && reason.isEmpty() && Clock::now() - lastPing >= ping) {
            notifySystemd("WATCHDOG=1");
            lastPing = Clock::now();
        }
    }
}

int run(const GatewayConfig &config, const std::function<void(GatewayConfig *)> &adjust)
{
    // SIGTERM, SIGINT and SIGHUP are taken by sigtimedwait() in serve():
    // blocked here, before any thread starts, so that every thread inherits
    // the mask.
    sigset_t stopAndReload;
    sigemptyset(&stopAndReload);
    sigaddset(&stopAndReload, SIGTERM);
    sigaddset(&stopAndReload, SIGINT);
    sigaddset(&stopAndReload, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopAndReload, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    for (const QString &line : writeOverlapWarnings(config))
        logLine(LogLevel::Warning, line);
    mqttLibraryInit();
    if (!setupsAccepted(config, [&config](int i, const QString &error) {
            logLine(LogLevel::Error, config.controllers.at(i).name, error);
        })) {
        mqttLibraryCleanup();
        return ExitStart;
    }
    std::unique_ptr<Gateway> gateway(new Gateway(config, adjust));
    int status = ExitStart;
    if (gateway->start()) {
        logStarted(config);
        const int signal = serve(*gateway, stopAndReload);
        logLine(QStringLiteral("%1: stopping").arg(signal == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT")));
        status = ExitOk;
    }
    notifySystemd("STOPPING=1");
    // A controller whose call is still in flight (a silent one waits up to
    // the plug-in's answer wait) is not waited for past the stop's deadline.
    const bool ended = gateway->stop();
    logLine(QStringLiteral("stopped"));
    if (!ended) {
        std::fflush(stdout);
        std::_Exit(status);
    }
    gateway.reset();
    mqttLibraryCleanup();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(messageHandler);
    setLogStyle({LogFormat::Text, stderrIsJournal()});
    const Options options = parseArguments(QCoreApplication::arguments());
    GatewayConfig config;
    QStringList faults;
    if (!loadConfig(options.config, &config, &faults)) {
        for (const QString &f : faults)
            std::fprintf(stderr, "%s\n", f.toUtf8().constData());
        return ExitUsage;
    }
    veskortools::HostPort listen;
    if (options.metricsGiven && options.metrics != QLatin1String("off")
        && veskortools::parseHostPort(options.metrics, veskortools::kAddressForm, &listen) != veskortools::HostPortError::None)
        usageError(QStringLiteral("--metrics '%1': expected ADDRESS:PORT or off").arg(options.metrics));
    // --metrics and --clean-retained hold for every reading of the file, a
    // reload's too.
    const auto adjust = [options](GatewayConfig *c) {
        if (options.metricsGiven)
            c->metrics = options.metrics == QLatin1String("off") ? QString() : options.metrics;
        if (options.cleanRetained)
            c->mqtt.cleanRetained = true;
    };
    adjust(&config);
    if (options.once)
        return once(config, options.json);
    return options.check ? check(config) : run(config, adjust);
}
