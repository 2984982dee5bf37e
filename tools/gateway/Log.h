// The gateway's log: one line per event on stderr, "veskor-gateway: ...",
// whole lines only, from any thread (a service manager's journal takes them).
#ifndef VESKOR_GATEWAY_LOG_H
#define VESKOR_GATEWAY_LOG_H

#include <QString>

namespace veskorgw {

void logLine(const QString &text);

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
