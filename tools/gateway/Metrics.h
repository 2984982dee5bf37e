// The Prometheus endpoint: the text exposition of every controller's
// figures, served by an embedded HTTP server (cpp-httplib) on threads of its
// own. No client can hold it: connections are bounded in number, time and
// size, and a stop closes every one at once.
#ifndef VESKOR_GATEWAY_METRICS_H
#define VESKOR_GATEWAY_METRICS_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

namespace veskorgw {

class Controller;
class GuardedHttpServer;

// What one client may take of the metrics server.
struct MetricsLimits {
    static constexpr int kServing = 16;    // connections served at once, a thread each
    static constexpr int kWaiting = 16;    // accepted, waiting for a thread; more are closed at once
    static constexpr int kBacklog = 64;    // completed handshakes the kernel holds for accept
    // Before a request's first byte (also between requests on one connection).
    static constexpr std::chrono::seconds kIdle{5};
    // From a request's first byte to its last.
    static constexpr std::chrono::seconds kRequest{3};
    // For a whole response to leave.
    static constexpr std::chrono::seconds kResponse{5};
    static constexpr std::size_t kRequestBytes = 64 * 1024;   // head and body of one request
    static constexpr int kRequestsPerConnection = 100;
};

// A sample's value as the exposition writes it: shortest form, NaN, +Inf, -Inf.
QByteArray metricNumber(double d);

// The exposition text (format 0.0.4) of the controllers' figures now, and
// of the process.
QByteArray metricsText(const QVector<Controller *> &controllers);

// What the server asks, from its own threads, at each request.
struct MetricsSources {
    // The controllers running now (a reload changes them); each is held
    // while its figures are taken.
    std::function<QVector<std::shared_ptr<Controller>>()> controllers;
    // /healthz: why the gateway is not alive, /readyz: why not ready;
    // empty when it is.
    std::function<QString()> notAlive;
    std::function<QString()> notReady;
};

class MetricsServer
{
public:
    explicit MetricsServer(MetricsSources sources);
    ~MetricsServer();
    // Binds ADDRESS:PORT and serves /metrics, /healthz and /readyz; false
    // with the reason.
    bool start(const QString &hostPort, QString *error);
    // Closes the listening socket and every connection, in flight or not,
    // and waits for the server's threads; waits on no client.
    void stop();

private:
    MetricsSources m_sources;
    std::unique_ptr<GuardedHttpServer> m_server;
    std::thread m_thread;
};

} // namespace veskorgw

#endif
