#include "CycleClock.h"

namespace veskorgw {

CycleEnd endOfCycle(std::chrono::steady_clock::time_point planned, std::chrono::steady_clock::time_point began,
                    std::chrono::steady_clock::time_point ended, std::chrono::steady_clock::duration period)
{
    CycleEnd e;
    e.work = ended - began;
    e.lateness = began > planned ? began - planned : std::chrono::steady_clock::duration::zero();
    e.overrun = e.work > period;
    e.next = planned + period;
    if (ended >= e.next) {
        e.skipped = (ended - e.next) / period + 1;
        e.next += period * e.skipped;
    }
    return e;
}

} // namespace veskorgw
