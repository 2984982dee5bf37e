#include "Log.h"

#include "common/Values.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>

namespace veskorgw {

namespace {
std::mutex g_logMutex;
std::atomic<bool> g_verbose{false};
LogStyle g_style;
} // namespace

const char *levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Error: return "error";
    case LogLevel::Warning: return "warning";
    case LogLevel::Info: return "info";
    case LogLevel::Debug: return "debug";
    }
    return "info";
}

bool stderrIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat st{};
    if (!stream || ::fstat(2, &st) != 0)
        return false;
    unsigned long long device = 0, inode = 0;
    char end = 0;
    return std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) == 2
           && device == static_cast<unsigned long long>(st.st_dev)
           && inode == static_cast<unsigned long long>(st.st_ino);
}

void setLogStyle(const LogStyle &style)
{
    g_style = style;
}

LogStyle logStyle()
{
    return g_style;
}

QByteArray formatLogLine(const LogStyle &style, const QDateTime &time, LogLevel level, const QString &controller,
                         const QString &text)
{
    QByteArray line;
    if (style.journal)
        line = '<' + QByteArray::number(int(level)) + '>';
    if (style.format == LogFormat::Json) {
        QJsonObject o{{QStringLiteral("time"), veskortool::formatTimestamp(time)},
                      {QStringLiteral("level"), QLatin1String(levelName(level))}};
        if (!controller.isEmpty())
            o.insert(QStringLiteral("controller"), controller);
        o.insert(QStringLiteral("msg"), text);
        return line + QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    }
    if (!style.journal)
        line = veskortool::formatTimestamp(time).toUtf8() + ' ' + levelName(level) + ' ';
    line += "veskor-gateway: ";
    if (!controller.isEmpty())
        line += controller.toUtf8() + ": ";
    return line + text.toUtf8() + '\n';
}

void logLine(LogLevel level, const QString &controller, const QString &text)
{
    const QByteArray line = formatLogLine(g_style, QDateTime::currentDateTime(), level, controller, text);
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

void logLine(LogLevel level, const QString &text)
{
    logLine(level, QString(), text);
}

void logLine(const QString &text)
{
    logLine(LogLevel::Info, QString(), text);
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
