#pragma once

#include <benchmark/benchmark.h>

#include <sys/resource.h>

namespace velbench {

// Process CPU time (all threads) in milliseconds: on a shared machine the wall time says little,
// while CPU time / thread count is what a stage costs on idle cores.
inline double processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-3;
}

// Reports the process CPU time per iteration as the counter "cpu_ms".
struct CpuMeter {
    explicit CpuMeter(benchmark::State& state) : m_state(state), m_start(processCpuMs()) {}
    ~CpuMeter() { m_state.counters["cpu_ms"] = (processCpuMs() - m_start) / static_cast<double>(m_state.iterations()); }
    benchmark::State& m_state;
    double m_start;
};

}  // namespace velbench
