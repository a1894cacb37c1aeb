// Each conversion routine of both families on a full dirty 720 x 190 frame, against a memcpy
// of the same destination bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "display/blitters.h"
#include "gfx/context.h"
#include "tests/support/fake_driver.h"

using namespace vx;

namespace {

constexpr int kWidth = 720, kHeight = 190;

void open_frame(int depth) {
    vxtest::open_fake_screen(kWidth, kHeight, depth, 4);
    GfxContext* ctx = gfx_context();
    std::mt19937 rng(7);
    for (int i = 0; i < ctx->pitch * kHeight; ++i) ctx->visible_buffer[i] = static_cast<uint8_t>(rng());
    for (auto& e : ctx->device_palette) e = rng() & 0xFFFFFF;
    std::memset(ctx->dirty.get(), 1, kHeight);
}

int destination_bytes(int bits) { return bits == 15 ? 2 : bits / 8; }

void BM_Blit(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0)), bits = static_cast<int>(state.range(1));
    const bool reversed = state.range(2) != 0, vector = state.range(3) != 0;
    open_frame(depth);
    GfxContext* ctx = gfx_context();
    rgb565_lut_build(ctx->conversion_table, reversed);
    Blitter blitter = blitter_lookup(vector ? vector_blitters : plain_blitters, depth, bits, reversed);
    if (!blitter) {
        state.SkipWithError("no conversion");
        return;
    }
    const int pitch = kWidth * destination_bytes(bits);
    std::vector<uint8_t> out(static_cast<size_t>(pitch) * kHeight);
    for (auto _ : state) {
        blitter(out.data(), pitch);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * pitch * kHeight);
    state.SetLabel(std::to_string(depth) + "->" + std::to_string(bits) + (reversed ? " rev" : "") + (vector ? " sse2" : " plain"));
    vxtest::restore_drivers();
}

void BM_MemcpyOfTheSameBytes(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(kWidth) * kHeight * static_cast<size_t>(state.range(0));
    std::vector<uint8_t> a(bytes, 1), b(bytes);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), bytes);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetLabel(std::to_string(state.range(0)) + " bytes per pixel");
}

void conversions(benchmark::internal::Benchmark* b) {
    for (int depth : {8, 16, 32})
        for (int bits : {8, 15, 16, 24, 32})
            for (int reversed : {0, 1})
                for (int vector : {0, 1}) {
                    if ((depth != 8 && bits == 8) || (bits == 8 && (reversed || vector))) continue;
                    b->Args({depth, bits, reversed, vector});
                }
}

}  // namespace

BENCHMARK(BM_Blit)->Apply(conversions);
BENCHMARK(BM_MemcpyOfTheSameBytes)->Arg(1)->Arg(2)->Arg(3)->Arg(4);
