// Cost of expanding the built-in block, which every process pays once at its first mode set.
#include <benchmark/benchmark.h>

#include <vector>

#include "gfx/fonts.h"

static void BM_ExpandBuiltinBlock(benchmark::State& state) {
    std::vector<uint8_t> out(vx::builtin_data_size);
    for (auto _ : state) {
        size_t count = out.size();
        int result = vx::lzw_expand(vx::builtin_data_lzw, vx::builtin_data_lzw_size, out.data(), &count);
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_ExpandBuiltinBlock);
