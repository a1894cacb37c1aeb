// fill_span of both routine families (and the vector family's SSE2-only form) at 8, 16 and
// 32 bits against memset of the same bytes: one call per line of a 720 x 190 page (a filled
// box across the screen) and one call for the whole page (a clear), and the copy span against
// memcpy. Compare a fill's bytes_per_second with the memset line of the same shape for the
// ratio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "gfx/primitives.h"

using namespace vx;

namespace {

constexpr size_t kWidth = 720, kHeight = 190;

int set_index(int bpp) { return bpp == 1 ? 0 : bpp == 2 ? 1 : 2; }

const RoutineFamily& family_of(int64_t which) {
    return which == 2 ? vector_routines_sse2_only : which == 1 ? vector_routines : plain_routines;
}
const char* family_label(int64_t which) { return which == 2 ? " bit sse2 only" : which == 1 ? " bit sse2" : " bit plain"; }

// range(0): bytes per pixel; range(1): 1 = vector family (with AVX2 where present), 2 = its
// SSE2-only form; range(2): 1 = one call per page.
void BM_FillSpan(benchmark::State& state) {
    const int bpp = static_cast<int>(state.range(0));
    const RoutineFamily& family = family_of(state.range(1));
    const bool whole_page = state.range(2) != 0;
    FillSpanFn fill = family.sets[set_index(bpp)].fill_span;
    const size_t pitch = kWidth * static_cast<size_t>(bpp);
    std::vector<uint8_t> page(pitch * kHeight);
    uint32_t colour = 0xFF336699u;
    for (auto _ : state) {
        if (whole_page) {
            fill(page.data(), colour, kWidth * kHeight);
        } else {
            for (size_t y = 0; y < kHeight; ++y) fill(page.data() + y * pitch, colour, kWidth);
        }
        benchmark::DoNotOptimize(page.data());
        benchmark::ClobberMemory();
        colour ^= 0x00010101u;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pitch * kHeight));
    state.SetLabel(std::to_string(bpp * 8) + family_label(state.range(1)) + (whole_page ? " page" : " lines"));
}

void BM_MemsetOfTheSameBytes(benchmark::State& state) {
    const size_t pitch = kWidth * static_cast<size_t>(state.range(0));
    const bool whole_page = state.range(1) != 0;
    std::vector<uint8_t> page(pitch * kHeight);
    int value = 0x33;
    for (auto _ : state) {
        if (whole_page) {
            std::memset(page.data(), value, page.size());
        } else {
            for (size_t y = 0; y < kHeight; ++y) std::memset(page.data() + y * pitch, value, pitch);
        }
        benchmark::DoNotOptimize(page.data());
        benchmark::ClobberMemory();
        value ^= 1;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pitch * kHeight));
    state.SetLabel(std::to_string(state.range(0) * 8) + (whole_page ? " bit page" : " bit lines"));
}

// copy_span per line (the opaque put and the console's scroll use it) against memcpy.
void BM_CopySpan(benchmark::State& state) {
    const int bpp = static_cast<int>(state.range(0));
    const RoutineFamily& family = state.range(1) ? vector_routines : plain_routines;
    CopySpanFn copy = family.sets[set_index(bpp)].copy_span;
    const size_t pitch = kWidth * static_cast<size_t>(bpp);
    std::vector<uint8_t> source(pitch * kHeight, 0x5A), target(pitch * kHeight);
    for (auto _ : state) {
        for (size_t y = 0; y < kHeight; ++y) copy(target.data() + y * pitch, source.data() + y * pitch, kWidth);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pitch * kHeight));
    state.SetLabel(std::to_string(bpp * 8) + (state.range(1) ? " bit sse2" : " bit plain"));
}

void fills(benchmark::internal::Benchmark* b) {
    for (int bpp : {1, 2, 4})
        for (int vector : {0, 1, 2})
            for (int page : {0, 1})
                if (vector < 2 || bpp > 1) b->Args({bpp, vector, page});
}

}  // namespace

BENCHMARK(BM_FillSpan)->Apply(fills);
BENCHMARK(BM_MemsetOfTheSameBytes)->Args({1, 0})->Args({2, 0})->Args({4, 0})->Args({1, 1})->Args({2, 1})->Args({4, 1});
BENCHMARK(BM_CopySpan)->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({2, 1})->Args({4, 0})->Args({4, 1});
