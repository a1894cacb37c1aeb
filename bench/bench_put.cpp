// The transparent put at 8, 16 and 32 bits, plain and wide (AVX2 where the processor has it;
// "Sse2Only" is the wide table's SSE2 form), against memcpy of the same rows,
// on mostly opaque 720 x 190 images, and the alpha-mask put. Two kinds of mostly opaque:
// "Scattered", one pixel in 64 of the mask colour at random, and "Regions", the mask in runs
// at both ends of each row (about 6 %, as around a picture's outline). Compare the
// bytes_per_second of a put with its memcpy line for the ratio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/pixels.h"

using namespace vx;

namespace {

constexpr int32_t kWidth = 720, kHeight = 190;

struct Rows {
    int32_t bpp, pitch;
    std::vector<uint8_t> source, target;
};

enum class Mask { scattered, regions };

bool is_masked(Mask kind, std::mt19937& rng, int32_t x, int32_t y) {
    if (kind == Mask::scattered) return rng() % 64 == 0;
    int32_t run = 10 + (y * 7) % 24;  // 10..33 pixels at each end
    return x < run || x >= kWidth - run;
}

Rows make_rows(int32_t bpp, Mask kind = Mask::scattered) {
    Rows rows{bpp, kWidth * bpp, {}, {}};
    rows.source.resize(static_cast<size_t>(rows.pitch) * kHeight);
    rows.target.assign(rows.source.size(), 0x40);
    std::mt19937 rng(7);
    for (int32_t i = 0; i < kWidth * kHeight; ++i) {
        uint8_t* p = rows.source.data() + static_cast<size_t>(i) * bpp;
        bool mask = is_masked(kind, rng, i % kWidth, i / kWidth);
        uint32_t v = mask ? mask_colour(bpp) : (rng() | 0x01);
        if (bpp == 4 && !mask && (v & 0xFFFFFF) == 0xFF00FF) v ^= 1;
        if (bpp == 2 && !mask && v == 0xF81F) v ^= 1;
        std::memcpy(p, &v, static_cast<size_t>(bpp));
    }
    return rows;
}

void run_put(benchmark::State& state, put_fn put, int32_t bpp, int32_t dst_bpp, Mask kind = Mask::scattered) {
    Rows rows = make_rows(bpp, kind);
    std::vector<uint8_t> target(static_cast<size_t>(kWidth) * dst_bpp * kHeight, 0x40);
    for (auto _ : state) {
        put(rows.source.data(), target.data(), kWidth, kHeight, rows.pitch, kWidth * dst_bpp, 0xFFFFFFFFu, nullptr, nullptr);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * dst_bpp);
}

void run_memcpy(benchmark::State& state, int32_t bpp) {
    Rows rows = make_rows(bpp);
    for (auto _ : state) {
        for (int32_t y = 0; y < kHeight; ++y)
            std::memcpy(rows.target.data() + static_cast<size_t>(y) * rows.pitch,
                        rows.source.data() + static_cast<size_t>(y) * rows.pitch, static_cast<size_t>(rows.pitch));
        benchmark::DoNotOptimize(rows.target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * rows.pitch * kHeight);
}

void BM_Memcpy32(benchmark::State& s) { run_memcpy(s, 4); }
void BM_PutTrans32Plain(benchmark::State& s) { run_put(s, put_trans_plain.slots[3], 4, 4); }
void BM_PutTrans32Sse2(benchmark::State& s) { run_put(s, put_trans_sse2.slots[3], 4, 4); }
void BM_Memcpy16(benchmark::State& s) { run_memcpy(s, 2); }
void BM_PutTrans16Plain(benchmark::State& s) { run_put(s, put_trans_plain.slots[1], 2, 2); }
void BM_PutTrans16Sse2(benchmark::State& s) { run_put(s, put_trans_sse2.slots[1], 2, 2); }
void BM_Memcpy8(benchmark::State& s) { run_memcpy(s, 1); }
void BM_PutTrans8Plain(benchmark::State& s) { run_put(s, put_trans_plain.slots[0], 1, 1); }
void BM_PutTrans8Sse2(benchmark::State& s) { run_put(s, put_trans_sse2.slots[0], 1, 1); }
void BM_PutTrans32Sse2Regions(benchmark::State& s) { run_put(s, put_trans_sse2.slots[3], 4, 4, Mask::regions); }
void BM_PutTrans16Sse2Regions(benchmark::State& s) { run_put(s, put_trans_sse2.slots[1], 2, 2, Mask::regions); }
void BM_PutTrans8Sse2Regions(benchmark::State& s) { run_put(s, put_trans_sse2.slots[0], 1, 1, Mask::regions); }
void BM_PutTrans32Sse2Only(benchmark::State& s) { run_put(s, put_trans_sse2_only.slots[3], 4, 4); }
void BM_PutTrans16Sse2Only(benchmark::State& s) { run_put(s, put_trans_sse2_only.slots[1], 2, 2); }
void BM_PutTrans8Sse2Only(benchmark::State& s) { run_put(s, put_trans_sse2_only.slots[0], 1, 1); }
void BM_PutTrans32Sse2OnlyRegions(benchmark::State& s) { run_put(s, put_trans_sse2_only.slots[3], 4, 4, Mask::regions); }
void BM_PutTrans16Sse2OnlyRegions(benchmark::State& s) { run_put(s, put_trans_sse2_only.slots[1], 2, 2, Mask::regions); }
void BM_PutTrans8Sse2OnlyRegions(benchmark::State& s) { run_put(s, put_trans_sse2_only.slots[0], 1, 1, Mask::regions); }
void BM_PutTrans32PlainRegions(benchmark::State& s) { run_put(s, put_trans_plain.slots[3], 4, 4, Mask::regions); }
void BM_PutAlphaMaskPlain(benchmark::State& s) { run_put(s, put_alpha_mask_plain, 1, 4); }
void BM_PutAlphaMaskSse2(benchmark::State& s) { run_put(s, put_alpha_mask_sse2, 1, 4); }

// The program's own put: its 284 x 36 picture at (400, 1), through put_image.
void BM_PutImageProgramPicture(benchmark::State& state) {
    screen_res(720, 190, 32, 1, -1, 0);
    void* picture = image_create(284, 36, 0, 0, 0x80000000u);
    std::mt19937 rng(3);
    auto* pixels = static_cast<uint8_t*>(picture) + 32;
    for (int i = 0; i < 284 * 36; ++i)
        if (rng() % 4) store32(pixels + i * 4, rng() & 0x00FFFF00u);
    for (auto _ : state)
        benchmark::DoNotOptimize(put_image(nullptr, 400, 1, picture, whole_image, 0, 0, 0, 0, put_mode_trans,
                                           put_trans, 0xFFFFFFFFu, nullptr, nullptr));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 284 * 36 * 4);
    image_destroy(picture);
    screen_close();
}

}  // namespace

BENCHMARK(BM_Memcpy32);
BENCHMARK(BM_PutTrans32Plain);
BENCHMARK(BM_PutTrans32Sse2);
BENCHMARK(BM_Memcpy16);
BENCHMARK(BM_PutTrans16Plain);
BENCHMARK(BM_PutTrans16Sse2);
BENCHMARK(BM_Memcpy8);
BENCHMARK(BM_PutTrans8Plain);
BENCHMARK(BM_PutTrans8Sse2);
BENCHMARK(BM_PutTrans32PlainRegions);
BENCHMARK(BM_PutTrans32Sse2Regions);
BENCHMARK(BM_PutTrans16Sse2Regions);
BENCHMARK(BM_PutTrans8Sse2Regions);
BENCHMARK(BM_PutTrans32Sse2Only);
BENCHMARK(BM_PutTrans16Sse2Only);
BENCHMARK(BM_PutTrans8Sse2Only);
BENCHMARK(BM_PutTrans32Sse2OnlyRegions);
BENCHMARK(BM_PutTrans16Sse2OnlyRegions);
BENCHMARK(BM_PutTrans8Sse2OnlyRegions);
BENCHMARK(BM_PutAlphaMaskPlain);
BENCHMARK(BM_PutAlphaMaskSse2);
BENCHMARK(BM_PutImageProgramPicture);
