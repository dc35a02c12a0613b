// Filling a fixed-block pool from empty, which grows it ten blocks at a time:
// the cost per New must stay flat as the pool grows. The heap baseline takes
// the same blocks straight from malloc in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "storage/FixedBlockMemoryManager.h"

namespace {

constexpr uint32_t kBlockSize = 65;  // a size class of the fast manager
constexpr uint32_t kGrowth = 10;     // the fast manager's growth count

void BM_FixedBlockPoolFill(benchmark::State& state) {
    const auto blocks = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        auto pool = std::make_unique<FixedBlockMemoryManager>(kBlockSize, 0, kGrowth);
        for (uint32_t k = 0; k < blocks; ++k) benchmark::DoNotOptimize(pool->New(false));
        state.PauseTiming();  // the pool's destruction frees every block
        pool.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * blocks);
}

void BM_HeapMallocBaseline(benchmark::State& state) {
    const auto blocks = static_cast<uint32_t>(state.range(0));
    std::vector<void*> taken;
    taken.reserve(blocks);
    for (auto _ : state) {
        for (uint32_t k = 0; k < blocks; ++k) taken.push_back(std::malloc(kBlockSize));
        benchmark::DoNotOptimize(taken.data());
        state.PauseTiming();
        for (void* block : taken) std::free(block);
        taken.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * blocks);
}

}  // namespace

BENCHMARK(BM_FixedBlockPoolFill)->Arg(1000)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeapMallocBaseline)->Arg(1000)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);
