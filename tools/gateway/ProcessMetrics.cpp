#include "ProcessMetrics.h"

#include "Metrics.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <sys/resource.h>
#include <unistd.h>

namespace veskorgw {

namespace {

QByteArray readProc(const char *path)
{
    QFile f(QString::fromLatin1(path));
    // /proc files tell no size: read until the end.
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void gauge(QByteArray *out, const char *name, const char *type, const char *help, double value)
{
    *out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' + name + ' '
            + metricNumber(value) + '\n';
}

// The boot time in seconds since the epoch ("btime" of /proc/stat); 0 when unknown.
double bootTime()
{
    for (const QByteArray &line : readProc("/proc/stat").split('\n'))
        if (line.startsWith("btime "))
            return line.mid(6).trimmed().toDouble();
    return 0;
}

} // namespace

QByteArray processMetricsText()
{
    QByteArray out;
    // Fields of /proc/self/stat after the command's closing parenthesis,
    // from the third (state) on: utime and stime are the 14th and 15th,
    // starttime the 22nd, vsize the 23rd, rss the 24th.
    const QByteArray stat = readProc("/proc/self/stat");
    const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double ticks = double(sysconf(_SC_CLK_TCK)), page = double(sysconf(_SC_PAGESIZE));
    if (f.size() > 21 && ticks > 0) {
        gauge(&out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
              (f.at(11).toDouble() + f.at(12).toDouble()) / ticks);
        gauge(&out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", f.at(20).toDouble());
        gauge(&out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
              f.at(21).toDouble() * page);
        const double boot = bootTime();
        if (boot > 0)
            gauge(&out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
                  boot + f.at(19).toDouble() / ticks);
    }
    const QDir fds(QStringLiteral("/proc/self/fd"));
    if (fds.exists())
        gauge(&out, "process_open_fds", "gauge", "Number of open file descriptors.",
              fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        gauge(&out, "process_max_fds", "gauge", "Maximum number of open file descriptors.", double(limit.rlim_cur));
    return out;
}

} // namespace veskorgw
