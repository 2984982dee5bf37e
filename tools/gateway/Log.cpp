#include "Log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace veskorgw {

namespace {
std::mutex g_logMutex;
std::atomic<bool> g_verbose{false};
} // namespace

void logLine(const QString &text)
{
    const QByteArray line = "veskor-gateway: " + text.toUtf8() + '\n';
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

void setVerbose(bool on)
{
    g_verbose.store(on);
}

bool verbose()
{
    return g_verbose.load();
}

} // namespace veskorgw
