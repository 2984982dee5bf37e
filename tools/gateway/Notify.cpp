#include "Notify.h"

#ifdef VESKOR_GATEWAY_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <cstdint>

namespace veskorgw {

void notifySystemd(const char *state)
{
#ifdef VESKOR_GATEWAY_SYSTEMD
    sd_notify(0, state);
#else
    (void)state;
#endif
}

std::chrono::milliseconds watchdogPingInterval()
{
#ifdef VESKOR_GATEWAY_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        return std::chrono::milliseconds(usec / 2000);
#endif
    return std::chrono::milliseconds(0);
}

} // namespace veskorgw
