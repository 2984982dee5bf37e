// The Prometheus endpoint: the text exposition of every controller's
// figures, served by an embedded HTTP server (cpp-httplib) on its own thread.
#ifndef VESKOR_GATEWAY_METRICS_H
#define VESKOR_GATEWAY_METRICS_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>
#include <thread>

namespace httplib {
class Server;
}

namespace veskorgw {

class Controller;

// A sample's value as the exposition writes it: shortest form, NaN, +Inf, -Inf.
QByteArray metricNumber(double d);

// The exposition text (format 0.0.4) of the controllers' figures now, and
// of the process.
QByteArray metricsText(const QVector<Controller *> &controllers);

class MetricsServer
{
public:
    explicit MetricsServer(const QVector<Controller *> &controllers);
    ~MetricsServer();
    // Binds ADDRESS:PORT and serves /metrics; false with the reason.
    bool start(const QString &hostPort, QString *error);
    void stop();

private:
    QVector<Controller *> m_controllers;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
};

} // namespace veskorgw

#endif
