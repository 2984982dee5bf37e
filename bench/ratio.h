// Ratio counters: a benchmark's time per operation over the median time of a
// baseline benchmark that ran before it in the same process. Google Benchmark
// calls a benchmark function several times while it sizes the iteration
// count; those short sizing runs are left out of the baseline's median.
#ifndef VESKOR_BENCH_RATIO_H
#define VESKOR_BENCH_RATIO_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vbench {

// Wall-clock time for round trips (they wait on the peer), the thread's CPU
// time for computation (other load on the machine does not count).
enum class Clock { Wall, ThreadCpu };

inline double nowNs(Clock c)
{
    timespec ts{};
    clock_gettime(c == Clock::Wall ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

class Stopwatch
{
public:
    explicit Stopwatch(Clock c) : m_clock(c), m_t0(nowNs(c)) {}
    // Call right after the benchmark loop.
    void stop(const benchmark::State &state)
    {
        m_elapsedNs = nowNs(m_clock) - m_t0;
        m_perOpNs = state.iterations() ? m_elapsedNs / double(state.iterations()) : 0.0;
    }
    // Per-op time over `ops` operations instead of the state's iterations
    // (a run on several threads, timed by one of them).
    void perReads(double ops) { m_perOpNs = ops > 0 ? m_elapsedNs / ops : 0.0; }
    double elapsedNs() const { return m_elapsedNs; }
    double perOpNs() const { return m_perOpNs; }

private:
    Clock m_clock;
    double m_t0;
    double m_elapsedNs = 0;
    double m_perOpNs = 0;
};

class Baselines
{
public:
    void record(const std::string &name, const Stopwatch &w)
    {
        m_runs[name].emplace_back(w.elapsedNs(), w.perOpNs());
    }

    // Median per-op time of the baseline's runs that lasted at least a quarter
    // of its longest run; 0 when the baseline has not run.
    double median(const std::string &name) const
    {
        const auto it = m_runs.find(name);
        if (it == m_runs.end() || it->second.empty())
            return 0.0;
        double longest = 0;
        for (const auto &r : it->second)
            longest = std::max(longest, r.first);
        std::vector<double> v;
        for (const auto &r : it->second) {
            if (r.first >= longest / 4)
                v.push_back(r.second);
        }
        std::sort(v.begin(), v.end());
        const size_t m = v.size() / 2;
        return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2.0;
    }

    // Sets counter `counter` to w's per-op time over the baseline's median.
    void ratio(benchmark::State &state, const char *counter, const std::string &name,
               const Stopwatch &w) const
    {
        const double base = median(name);
        if (base > 0)
            state.counters[counter] = w.perOpNs() / base;
    }

private:
    std::map<std::string, std::vector<std::pair<double, double>>> m_runs;
};

} // namespace vbench

#endif
