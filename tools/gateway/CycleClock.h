// When a read cycle overran and when the next one starts. A cycle overruns
// when its own work (reads and publishing, from its start to its end) took
// longer than its period; a cycle that merely started late, because the
// worker woke up late or writes ran between cycles, did not overrun: its
// lateness is measured apart. Starts that have passed by the end of a cycle
// are skipped rather than made up (no pile-up). Pure: the caller gives the
// times.
#ifndef VESKOR_GATEWAY_CYCLECLOCK_H
#define VESKOR_GATEWAY_CYCLECLOCK_H

#include <chrono>

namespace veskorgw {

struct CycleEnd {
    bool overrun = false;
    std::chrono::steady_clock::duration work{};       // from the cycle's start to its end
    std::chrono::steady_clock::duration lateness{};   // its start after its planned start
    std::chrono::steady_clock::time_point next;       // the next cycle's planned start
    long long skipped = 0;                            // planned starts passed over
};

// planned: the start the cycle was planned for; began, ended: its real start and end.
CycleEnd endOfCycle(std::chrono::steady_clock::time_point planned, std::chrono::steady_clock::time_point began,
                    std::chrono::steady_clock::time_point ended, std::chrono::steady_clock::duration period);

} // namespace veskorgw

#endif
