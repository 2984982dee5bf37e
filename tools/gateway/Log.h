// The gateway's log: one line per event on stderr, whole lines only, from
// any thread. Each line has a level; on a plain stderr it also has its time
// (ISO 8601, milliseconds and offset):
//   2024-05-02T09:14:03.512+02:00 warning veskor-gateway: press1: ...
// Under the journal (JOURNAL_STREAM names stderr) the journal keeps the
// time, and the level goes as the "<N>" syslog prefix it takes for the
// line's priority:
//   <4>veskor-gateway: press1: ...
// With the JSON format, one object per line: time, level, controller (when
// the line is about one) and msg; under the journal after the "<N>" prefix.
#ifndef VESKOR_GATEWAY_LOG_H
#define VESKOR_GATEWAY_LOG_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace veskorgw {

// Syslog priorities.
enum class LogLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };
enum class LogFormat { Text, Json };

struct LogStyle {
    LogFormat format = LogFormat::Text;
    bool journal = false;   // stderr is the journal's stream
};

// "error", "warning", "info", "debug".
const char *levelName(LogLevel level);

// Whether stderr is the journal's stream: JOURNAL_STREAM ("device:inode")
// names the file stderr is.
bool stderrIsJournal();

// Set at the start, before any other thread logs.
void setLogStyle(const LogStyle &style);
LogStyle logStyle();

// One line as it is written, newline included.
QByteArray formatLogLine(const LogStyle &style, const QDateTime &time, LogLevel level, const QString &controller,
                         const QString &text);

// An info line about the gateway as a whole.
void logLine(const QString &text);
void logLine(LogLevel level, const QString &text);
// A line about one controller: "<controller>: <text>" in the text format.
void logLine(LogLevel level, const QString &controller, const QString &text);

// Text from outside (a payload, a topic level, a client's claim) made safe
// for one log line: white space as single spaces, other control and format
// characters as '?', '"' and '\\' escaped with '\\', at most maxChars
// characters of it and "..." when it goes on.
QString logSafe(const QString &text, int maxChars);

// --verbose: also the plug-in's own log lines and a line per overrun.
void setVerbose(bool on);
bool verbose();

} // namespace veskorgw

#endif
