// Counts heap traffic of the whole process while switched on. The malloc
// family is replaced in this binary (glibc's own allocator does the work), so
// Qt, the C++ runtime and the dlopen'ed plug-in are all counted; operator new
// ends up here too. Off, the cost is one relaxed load per call.
#ifndef VESKOR_BENCH_HEAPCOUNT_H
#define VESKOR_BENCH_HEAPCOUNT_H

#include <cstdint>

namespace vbench {

struct HeapSnapshot {
    std::uint64_t allocations;   // malloc, calloc, and realloc that moved or created a block
    std::uint64_t frees;         // free of a non-null pointer, realloc to size 0
    std::int64_t liveBytes;      // usable bytes allocated minus usable bytes freed
};

void heapCounting(bool on);
HeapSnapshot heapSnapshot();

} // namespace vbench

#endif
