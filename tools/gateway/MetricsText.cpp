// The Prometheus text of the gateway's figures (metricsText): each tag's
// value and state, each controller's counters and histograms, the process.
#include "Metrics.h"

#include "Controller.h"
#include "ProcessMetrics.h"

#include <QLocale>

#include <cmath>

namespace veskorgw {

namespace {

QByteArray label(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

QByteArray metricNumber(double d)
{
    if (std::isnan(d))
        return "NaN";
    if (std::isinf(d))
        return d < 0 ? "-Inf" : "+Inf";
    return QString::number(d, 'g', QLocale::FloatingPointShortest).toLatin1();
}

namespace {

QByteArray number(double d)
{
    return metricNumber(d);
}

void header(QByteArray *out, const char *name, const char *type, const char *help)
{
    *out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

struct Snapshot {
    const Controller *c;
    ControllerStats s;
    QByteArray name;   // the controller label, escaped
    QVector<TagReading> tags;
};

// The labels of tag i: controller, tag, name, and unit when it has one.
QByteArray tagLabels(const Snapshot &x, int i)
{
    const TagConfig &t = x.c->config().tags.at(i);
    QByteArray labels = "controller=\"" + x.name + "\",tag=\"" + label(t.tag) + "\",name=\"" + label(t.name) + '"';
    if (!t.scaling.unit.isEmpty())
        labels += ",unit=\"" + label(t.scaling.unit) + '"';
    return labels;
}

// Values of good tags only: a tag whose value is not known now has no
// sample. Arrays give one sample per element, labelled with its index.
void tagValues(QByteArray *out, const QVector<Snapshot> &all)
{
    header(out, "veskor_tag_value", "gauge",
           "Latest value of each numeric tag whose quality is good (bools as 0 and 1; arrays by index).");
    for (const Snapshot &x : all) {
        for (int i = 0; i < x.tags.size(); ++i) {
            const TagReading &r = x.tags.at(i);
            if (r.quality != Quality::Good || r.numbers.isEmpty())
                continue;
            const QByteArray labels = tagLabels(x, i);
            if (x.c->config().tags.at(i).count == 1) {
                *out += "veskor_tag_value{" + labels + "} " + number(r.numbers.first()) + '\n';
                continue;
            }
            for (int e = 0; e < r.numbers.size(); ++e)
                *out += "veskor_tag_value{" + labels + ",index=\"" + QByteArray::number(e) + "\"} "
                        + number(r.numbers.at(e)) + '\n';
        }
    }
}

void tagStates(QByteArray *out, const QVector<Snapshot> &all)
{
    header(out, "veskor_tag_quality", "gauge", "Quality of each tag: 0 bad, 1 stale, 2 good.");
    for (const Snapshot &x : all)
        for (int i = 0; i < x.tags.size(); ++i)
            *out += "veskor_tag_quality{" + tagLabels(x, i) + "} " + QByteArray::number(int(x.tags.at(i).quality))
                    + '\n';
    header(out, "veskor_tag_last_good_timestamp_seconds", "gauge",
           "Time of each tag's last good read, in seconds since the epoch; absent before one.");
    for (const Snapshot &x : all)
        for (int i = 0; i < x.tags.size(); ++i)
            if (x.tags.at(i).goodTs.isValid())
                *out += "veskor_tag_last_good_timestamp_seconds{" + tagLabels(x, i) + "} "
                        + number(double(x.tags.at(i).goodTs.toMSecsSinceEpoch()) / 1000) + '\n';
}

void codeCounters(QByteArray *out, const QVector<Snapshot> &all, const char *name, const char *help,
                  QMap<int, quint64> ControllerStats::*field)
{
    header(out, name, "counter", help);
    for (const Snapshot &x : all)
        for (auto it = (x.s.*field).begin(); it != (x.s.*field).end(); ++it)
            *out += QByteArray(name) + "{controller=\"" + x.name + "\",code=\"" + QByteArray::number(it.key())
                    + "\"} " + QByteArray::number(it.value()) + '\n';
}

void roundTrips(QByteArray *out, const QVector<Snapshot> &all)
{
    header(out, "veskor_round_trip_seconds", "histogram", "Time of answered read requests, request to answer.");
    for (const Snapshot &x : all) {
        const RoundTrips &h = x.s.roundTrips;
        const QByteArray lead = "veskor_round_trip_seconds_bucket{controller=\"" + x.name + "\",le=\"";
        for (int i = 0; i < RoundTrips::kBuckets; ++i)
            *out += lead + number(RoundTrips::kBounds[i]) + "\"} " + QByteArray::number(h.counts[i]) + '\n';
        *out += lead + "+Inf\"} " + QByteArray::number(h.count) + '\n';
        *out += "veskor_round_trip_seconds_sum{controller=\"" + x.name + "\"} " + number(h.sum) + '\n';
        *out += "veskor_round_trip_seconds_count{controller=\"" + x.name + "\"} " + QByteArray::number(h.count) + '\n';
    }
}

// A per-controller histogram in seconds, with the round trips' buckets.
void secondsHistogram(QByteArray *out, const QVector<Snapshot> &all, const char *name, const char *help,
                      RoundTrips ControllerStats::*field)
{
    header(out, name, "histogram", help);
    const QByteArray metric(name);
    for (const Snapshot &x : all) {
        const RoundTrips &h = x.s.*field;
        const QByteArray lead = metric + "_bucket{controller=\"" + x.name + "\",le=\"";
        for (int i = 0; i < RoundTrips::kBuckets; ++i)
            *out += lead + number(RoundTrips::kBounds[i]) + "\"} " + QByteArray::number(h.counts[i]) + '\n';
        *out += lead + "+Inf\"} " + QByteArray::number(h.count) + '\n';
        *out += metric + "_sum{controller=\"" + x.name + "\"} " + number(h.sum) + '\n';
        *out += metric + "_count{controller=\"" + x.name + "\"} " + QByteArray::number(h.count) + '\n';
    }
}

template <typename F>
void perController(QByteArray *out, const QVector<Snapshot> &all, const char *name, const char *type,
                   const char *help, F value)
{
    header(out, name, type, help);
    for (const Snapshot &x : all)
        *out += QByteArray(name) + "{controller=\"" + x.name + "\"} " + value(x) + '\n';
}

// How long cycles take and how late they start, and what a silent controller
// leaves out.
void cycleFigures(QByteArray *out, const QVector<Snapshot> &all)
{
    secondsHistogram(out, all, "veskor_cycle_seconds", "Work of each read cycle: its reads and publishing.",
                     &ControllerStats::cycleWork);
    secondsHistogram(out, all, "veskor_cycle_wakeup_lateness_seconds",
                     "How late the worker woke for a cycle's planned start (wake-ups by the clock only).",
                     &ControllerStats::wakeupLateness);
    perController(out, all, "veskor_reads_skipped_total", "counter",
                  "Reads left out of a cycle after one of its reads went unanswered.",
                  [](const Snapshot &x) { return QByteArray::number(x.s.readsSkipped); });
}

} // namespace

QByteArray metricsText(const QVector<Controller *> &controllers)
{
    QVector<Snapshot> all;
    for (const Controller *c : controllers)
        all.append(Snapshot{c, c->stats(), label(c->config().name), c->readings()});
    QByteArray out;
    header(&out, "veskor_gateway_info", "gauge", "The gateway's version.");
    out += "veskor_gateway_info{version=\"" VESKOR_GATEWAY_VERSION "\"} 1\n";
    tagValues(&out, all);
    tagStates(&out, all);
    codeCounters(&out, all, "veskor_reads_total", "Read requests by the plug-in's result code (0 done).",
                 &ControllerStats::readsByCode);
    roundTrips(&out, all);
    perController(&out, all, "veskor_controller_up", "gauge", "1 while the controller answers, 0 once it is offline.",
                  [](const Snapshot &x) { return QByteArray(x.s.up ? "1" : "0"); });
    perController(&out, all, "veskor_cycle_overrun_total", "counter", "Cycles whose own work (reads, publishing) took longer than their period.",
                  [](const Snapshot &x) { return QByteArray::number(x.s.overruns); });
    perController(&out, all, "veskor_cycles_total", "counter", "Read cycles made.",
                  [](const Snapshot &x) { return QByteArray::number(x.s.cycles); });
    perController(&out, all, "veskor_requests_per_cycle", "gauge", "Read requests one cycle makes.",
                  [](const Snapshot &x) { return QByteArray::number(x.c->requestsPerCycle()); });
    perController(&out, all, "veskor_tags_read_total", "counter", "Tag values taken from answered reads.",
                  [](const Snapshot &x) { return QByteArray::number(x.s.tagsRead); });
    perController(&out, all, "veskor_mqtt_connected", "gauge", "1 while the controller's MQTT connection is up.",
                  [](const Snapshot &x) { return QByteArray(x.s.mqttConnected ? "1" : "0"); });
    perController(&out, all, "veskor_mqtt_connects_total", "counter", "Connections the MQTT broker took, the first included.",
                  [](const Snapshot &x) { return QByteArray::number(x.s.mqttConnects); });
    perController(&out, all, "veskor_mqtt_published_total", "counter", "Tag values published to MQTT.",
                  [](const Snapshot &x) { return QByteArray::number(x.s.published); });
    codeCounters(&out, all, "veskor_writes_total",
                 "Set requests by outcome: the plug-in's result code, or 101-106 for refusals and superseded sets.",
                 &ControllerStats::writesByCode);
    perController(&out, all, "veskor_set_results_held_total", "counter",
                  "Refused sets whose result was not published, held back by the refusal limits.",
                  [](const Snapshot &x) { return QByteArray::number(x.s.setResultsHeld); });
    cycleFigures(&out, all);
    out += processMetricsText();
    return out;
}

} // namespace veskorgw
