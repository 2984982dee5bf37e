// veskor-gateway: polls many controllers through the plug-in and moves their
// tags' values to an MQTT broker and a Prometheus endpoint; takes writes
// from MQTT for the tags listed as writable. Runs until SIGTERM or SIGINT.
#include "Config.h"
#include "Controller.h"
#include "Log.h"
#include "Metrics.h"
#include "MqttLink.h"

#include <QCoreApplication>
#include <QStringList>

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

enum ExitStatus { ExitOk = 0, ExitUsage = 2, ExitStart = 3 };

const char kUsage[] =
    "Usage: veskor-gateway --config FILE [--metrics ADDRESS:PORT] [--check] [--verbose]\n"
    "                      [--log-format text|json]\n"
    "\n"
    "Reads the tags of the controllers in FILE (JSON) every period through the\n"
    "plug-in, publishes them to MQTT as <prefix>/<controller>/<tag> and serves\n"
    "Prometheus metrics; tags marked \"writable\" take writes from\n"
    "<prefix>/<controller>/<tag>/set. Stops cleanly on SIGTERM or SIGINT.\n"
    "\n"
    "  --config FILE           the configuration (see veskor-gateway(1))\n"
    "  --metrics ADDRESS:PORT  where /metrics is served (default 127.0.0.1:9463,\n"
    "                          or the file's \"metrics\"); \"off\" for none\n"
    "  --check                 check the configuration and every controller's MQTT\n"
    "                          setup (status 2: a fault, 3: a setup refused); start\n"
    "                          nothing\n"
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
    return o;
}

// Stops the controllers, says offline on every $state and ends with the
// status: ExitOk after a stop signal, ExitStart after something that did not
// start. A controller whose call is still in flight (a silent one waits up
// to the plug-in's answer wait) is not waited for past the deadline.
int shutdown(std::vector<std::unique_ptr<Controller>> &controllers, MetricsServer &metrics, int status)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    for (auto &c : controllers)
        c->requestStop();
    for (auto &c : controllers)
        c->disconnectMqtt();
    metrics.stop();
    for (auto &c : controllers)
        c->finishMqtt();
    bool allEnded = true;
    for (auto &c : controllers)
        allEnded = c->waitStopped(deadline) && allEnded;
    logLine(QStringLiteral("stopped"));
    if (!allEnded) {
        std::fflush(stdout);
        std::_Exit(status);
    }
    controllers.clear();
    mqttLibraryCleanup();
    return status;
}

// Every controller's MQTT setup made as its start makes it, on a client of
// its own that never connects: what the library refuses is known before
// anything starts. report(index, reason) for each refusal; false when any.
bool setupsAccepted(const GatewayConfig &config, const std::function<void(int, const QString &)> &report)
{
    bool accepted = true;
    for (int i = 0; i < config.controllers.size(); ++i) {
        QString error;
        if (!MqttLink(config.mqtt, config.controllers.at(i).name).prepare(&error)) {
            report(i, error);
            accepted = false;
        }
    }
    return accepted;
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
    std::printf("%s: %d controller(s), %d tag(s)\n", config.path.toUtf8().constData(),
                config.controllers.size(), config.tagCount());
    return ExitOk;
}

int run(const GatewayConfig &config)
{
    // SIGTERM and SIGINT are taken by sigwait() below: blocked here, before
    // any thread starts, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
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
    std::vector<std::unique_ptr<Controller>> controllers;
    QVector<Controller *> pointers;
    for (const ControllerConfig &c : config.controllers) {
        controllers.emplace_back(new Controller(c, config.mqtt));
        pointers.append(controllers.back().get());
    }
    MetricsServer metrics(pointers);
    QString error;
    if (!config.metrics.isEmpty() && !metrics.start(config.metrics, &error)) {
        logLine(LogLevel::Error, error);
        return ExitStart;
    }
    for (auto &c : controllers) {
        if (!c->start(&error)) {
            logLine(LogLevel::Error, c->config().name, error);
            return shutdown(controllers, metrics, ExitStart);
        }
    }
    logLine(QStringLiteral("%1 controller(s), %2 tag(s); MQTT %3:%4 prefix %5; metrics %6")
                .arg(config.controllers.size()).arg(config.tagCount())
                .arg(config.mqtt.host).arg(config.mqtt.port).arg(config.mqtt.prefix)
                .arg(config.metrics.isEmpty() ? QStringLiteral("off") : QStringLiteral("http://%1/metrics").arg(config.metrics)));
    int signal = 0;
    sigwait(&stopSignals, &signal);
    logLine(QStringLiteral("%1: stopping").arg(signal == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT")));
    return shutdown(controllers, metrics, ExitOk);
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
    if (options.metricsGiven) {
        QString host;
        int port = 0;
        if (options.metrics == QLatin1String("off"))
            config.metrics.clear();
        else if (splitHostPort(options.metrics, &host, &port))
            config.metrics = options.metrics;
        else
            usageError(QStringLiteral("--metrics '%1': expected ADDRESS:PORT or off").arg(options.metrics));
    }
    return options.check ? check(config) : run(config);
}
