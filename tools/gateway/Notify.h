// Notices to systemd (sd_notify): readiness, reloads, the stop and the
// watchdog's keep-alive. Without systemd (NOTIFY_SOCKET unset), or in a
// build without libsystemd, they do nothing.
#ifndef VESKOR_GATEWAY_NOTIFY_H
#define VESKOR_GATEWAY_NOTIFY_H

#include <chrono>

namespace veskorgw {

// "READY=1", "RELOADING=1", "STOPPING=1", "WATCHDOG=1", ...
void notifySystemd(const char *state);

// How often the watchdog wants WATCHDOG=1: half its WatchdogSec; zero when
// systemd does not watch this process.
std::chrono::milliseconds watchdogPingInterval();

} // namespace veskorgw

#endif
