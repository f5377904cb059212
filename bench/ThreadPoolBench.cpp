// Cost of one parallelFor batch on the pool: an empty body measures pure hand-out and wake-up,
// a 6000-pixel row body shows the overhead against real work.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "parallel/ProcessPool.h"

namespace {

void BM_EmptyBatch(benchmark::State& state)
{
    velthread::ThreadPool pool(velthread::hardwareThreads());
    const auto parts = static_cast<int32_t>(state.range(0));
    for (auto _ : state)
        pool.parallelFor([](int32_t begin, int32_t end) { benchmark::DoNotOptimize(begin + end); }, parts, 4000);
    state.SetLabel("parts=" + std::to_string(parts));
}
BENCHMARK(BM_EmptyBatch)->Arg(2)->Arg(4)->Arg(8)->UseRealTime();

void BM_RowScaleBatch(benchmark::State& state)
{
    velthread::ThreadPool pool(velthread::hardwareThreads());
    const int32_t width = 6000 * 3, height = static_cast<int32_t>(state.range(0));
    std::vector<uint16_t> pixels(static_cast<size_t>(width) * height, 1000);
    for (auto _ : state) {
        pool.parallelFor([&](int32_t begin, int32_t end) {
            for (int32_t y = begin; y < end; ++y) {
                uint16_t* row = pixels.data() + static_cast<size_t>(y) * width;
                for (int32_t x = 0; x < width; ++x)
                    row[x] = static_cast<uint16_t>((row[x] * 3u) >> 1);
            }
        }, pool.threadCount(), height);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(width / 3) * height);
}
BENCHMARK(BM_RowScaleBatch)->Arg(16)->Arg(4000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
