// The gateway's log: one line per event on stderr, "veskor-gateway: ...",
// whole lines only, from any thread (a service manager's journal takes them).
#ifndef VESKOR_GATEWAY_LOG_H
#define VESKOR_GATEWAY_LOG_H

#include <QString>

namespace veskorgw {

void logLine(const QString &text);

// --verbose: also the plug-in's own log lines and a line per overrun.
void setVerbose(bool on);
bool verbose();

} // namespace veskorgw

#endif
