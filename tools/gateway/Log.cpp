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

QString logSafe(const QString &text, int maxChars)
{
    QString out;
    const int n = qMin(text.size(), maxChars);
    out.reserve(n + 8);
    bool space = false;
    for (int i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c.isSpace()) {
            if (!space && !out.isEmpty())
                out += QLatin1Char(' ');
            space = true;
            continue;
        }
        space = false;
        const QChar::Category cat = c.category();
        if (cat == QChar::Other_Control || cat == QChar::Other_Format || cat == QChar::Other_NotAssigned
            || (c.isSurrogate() && !(c.isHighSurrogate() && i + 1 < n && text.at(i + 1).isLowSurrogate())
                && !(c.isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate())))
            out += QLatin1Char('?');
        else if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + c;
        else
            out += c;
    }
    if (text.size() > maxChars)
        out += QLatin1String("...");
    return out.trimmed();
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
