#include "heapcount.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace {

std::atomic<bool> g_on{false};
std::atomic<std::uint64_t> g_allocs{0};
std::atomic<std::uint64_t> g_frees{0};
std::atomic<std::int64_t> g_bytes{0};

inline bool on() { return g_on.load(std::memory_order_relaxed); }

inline void countAlloc(void *p)
{
    if (!p)
        return;
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(std::int64_t(malloc_usable_size(p)), std::memory_order_relaxed);
}

inline void countFree(void *p)
{
    if (!p)
        return;
    g_frees.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_sub(std::int64_t(malloc_usable_size(p)), std::memory_order_relaxed);
}

} // namespace

extern "C" {

void *malloc(size_t n)
{
    void *p = __libc_malloc(n);
    if (on())
        countAlloc(p);
    return p;
}

void *calloc(size_t n, size_t size)
{
    void *p = __libc_calloc(n, size);
    if (on())
        countAlloc(p);
    return p;
}

void *realloc(void *old, size_t n)
{
    if (!on())
        return __libc_realloc(old, n);
    const std::int64_t oldBytes = old ? std::int64_t(malloc_usable_size(old)) : 0;
    void *p = __libc_realloc(old, n);
    if (old && n == 0) {
        // Freed.
        g_frees.fetch_add(1, std::memory_order_relaxed);
        g_bytes.fetch_sub(oldBytes, std::memory_order_relaxed);
    } else if (p) {
        if (p != old)
            g_allocs.fetch_add(1, std::memory_order_relaxed);
        if (old && p != old)
            g_frees.fetch_add(1, std::memory_order_relaxed);
        g_bytes.fetch_add(std::int64_t(malloc_usable_size(p)) - oldBytes, std::memory_order_relaxed);
    }
    return p;
}

void *memalign(size_t alignment, size_t n)
{
    void *p = __libc_memalign(alignment, n);
    if (on())
        countAlloc(p);
    return p;
}

void *aligned_alloc(size_t alignment, size_t n)
{
    return memalign(alignment, n);
}

int posix_memalign(void **out, size_t alignment, size_t n)
{
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *p = memalign(alignment, n);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

void free(void *p)
{
    if (on())
        countFree(p);
    __libc_free(p);
}

} // extern "C"

namespace vbench {

void heapCounting(bool enable)
{
    g_on.store(enable, std::memory_order_seq_cst);
}

HeapSnapshot heapSnapshot()
{
    return HeapSnapshot{g_allocs.load(), g_frees.load(), g_bytes.load()};
}

} // namespace vbench
