// The plain and vector routine families on the same inputs, compared byte for byte, with
// odd lengths, misaligned starts and guard bytes around every buffer. The vector family is
// checked in both forms a processor may run: with its AVX2 fills and SSE2 only.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "tests/support/fake_driver.h"

using namespace vx;

namespace {

constexpr size_t kLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 257, 720};
// Fill lengths in pixels around every store width of the vector fills (4 to 128 bytes).
constexpr size_t kFillLengths[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  11, 12, 15, 16, 17,  23,  24,
                                   31, 32, 33, 39, 40, 41, 47, 48, 49, 63, 64, 65, 95, 97, 257, 720};
constexpr size_t kGuard = 64;

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

struct NamedFamily {
    const RoutineFamily* family;
    const char* name;
};
const NamedFamily kVectorFamilies[] = {{&vector_routines, "vector"}, {&vector_routines_sse2_only, "sse2 only"}};

// Runs `op` on two copies of the same random buffer at offset `misalign`, the plain family on
// the first and `vector` on the second; returns both.
template <typename Op>
std::pair<std::vector<uint8_t>, std::vector<uint8_t>> run_both(std::mt19937& rng, size_t bytes, size_t misalign, Op op,
                                                               const RoutineFamily& vector = vector_routines) {
    auto a = random_bytes(rng, bytes + 2 * kGuard);
    auto b = a;
    op(plain_routines, a.data() + kGuard + misalign);
    op(vector, b.data() + kGuard + misalign);
    return {a, b};
}

// The reference blend, channel by channel, that the packed form must equal.
uint32_t reference_blend(uint32_t s, uint32_t d, bool blend_alpha) {
    uint32_t a = s >> 24, out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        int sc = (s >> shift) & 0xFF, dc = (d >> shift) & 0xFF;
        int v = shift == 24 && !blend_alpha ? sc : dc + static_cast<int>(std::floor((sc - dc) * static_cast<int>(a) / 256.0));
        out |= static_cast<uint32_t>(v) << shift;
    }
    return out;
}

}  // namespace

// Every start within a 32-byte block, pixel-aligned or not (the guards start 16-byte aligned).
TEST(Routines, FillSpansGiveIdenticalBytes) {
    std::mt19937 rng(1);
    for (const NamedFamily& vector : kVectorFamilies) {
        for (int index = 0; index < 3; ++index) {
            size_t unit = index == 0 ? 1 : index == 1 ? 2 : 4;
            for (size_t n : kFillLengths)
                for (size_t misalign = 0; misalign < 32; ++misalign) {
                    uint32_t colour = rng();
                    auto fill = [&](const RoutineFamily& f, uint8_t* p) { f.sets[index].fill_span(p, colour, n); };
                    auto [a, b] = run_both(rng, n * unit, misalign, fill, *vector.family);
                    ASSERT_EQ(a, b) << vector.name << " unit " << unit << " n " << n << " misalign " << misalign
                                    << ": first differing byte " << std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin()
                                    << " (span starts at " << kGuard + misalign << ")";
                    // And the plain result is what a fill means, guards untouched.
                    for (size_t i = 0; i < n; ++i) {
                        const uint8_t* p = a.data() + kGuard + misalign + i * unit;
                        uint32_t v = unit == 1 ? p[0] : unit == 2 ? load16(p) : load32(p);
                        ASSERT_EQ(v, unit == 4 ? colour : colour & ((1u << (8 * unit)) - 1));
                    }
                }
        }
    }
}

TEST(Routines, CopiesAndMemoryFillsGiveIdenticalBytes) {
    std::mt19937 rng(2);
    for (size_t n : kLengths)
        for (size_t misalign : {0, 1, 2, 5}) {
            auto source = random_bytes(rng, n * 4 + 8);
            for (int index = 0; index < 3; ++index) {
                auto [a, b] = run_both(rng, n * 4, misalign, [&](const RoutineFamily& f, uint8_t* p) {
                    f.sets[index].copy_span(p, source.data() + misalign, n);
                });
                ASSERT_EQ(a, b) << "copy n " << n;
            }
            uint8_t value = static_cast<uint8_t>(rng());
            auto [a, b] = run_both(rng, n, misalign, [&](const RoutineFamily& f, uint8_t* p) { f.mem_fill(p, value, n); });
            ASSERT_EQ(a, b) << "fill n " << n;
            auto [c, d] = run_both(rng, n, misalign, [&](const RoutineFamily& f, uint8_t* p) {
                f.mem_copy(p, source.data() + 3, n);
            });
            ASSERT_EQ(c, d) << "memory copy n " << n;
            ASSERT_TRUE(std::equal(c.begin() + kGuard + misalign, c.begin() + kGuard + misalign + n, source.begin() + 3));
        }
}

TEST(Routines, BlendFormulas) {
    std::mt19937 rng(3);
    for (int i = 0; i < 20000; ++i) {
        uint32_t s = rng(), d = rng();
        ASSERT_EQ(blend_packed(s, d), reference_blend(s, d, false)) << std::hex << s << " " << d;
        ASSERT_EQ(blend_bytes(s, d), reference_blend(s, d, true)) << std::hex << s << " " << d;
    }
    EXPECT_EQ(blend_packed(0x80FFFFFF, 0xFF000000), 0x807F7F7Fu);  // takes the source's alpha
    EXPECT_EQ(blend_bytes(0x80FFFFFF, 0xFF000000), 0xBF7F7F7Fu);   // blends the alpha byte too
}

// The vector blend differs from the plain one only in the alpha byte, which no display shows.
TEST(Routines, BlendingSpansAgreeOnColourAndFollowTheirAlphaRule) {
    std::mt19937 rng(4);
    for (size_t n : kLengths)
        for (size_t misalign : {0, 2}) {
            uint32_t colour = rng();
            auto [a, b] = run_both(rng, n * 4, misalign, [&](const RoutineFamily& f, uint8_t* p) {
                f.sets[2].alpha_fill_span(p, colour, n);
            });
            for (size_t i = 0; i < a.size(); i += 1) {
                bool inside = i >= kGuard + misalign && i < kGuard + misalign + n * 4;
                bool alpha_byte = (i - kGuard - misalign) % 4 == 3;
                if (!inside || !alpha_byte) {
                    ASSERT_EQ(a[i], b[i]) << "n " << n << " byte " << i;
                }
            }
        }
    // Alpha bytes: the odd first pixel of a vector span takes the packed two-lane form, the
    // rest the per-byte form.
    std::vector<uint8_t> dest(3 * 4);
    for (size_t i = 0; i < 3; ++i) store32(dest.data() + i * 4, 0xFF000000u);
    vector_routines.sets[2].alpha_fill_span(dest.data(), 0x80FFFFFF, 3);
    uint32_t d = 0xFF000000u, s = 0x80FFFFFFu, a = 0x80;
    uint32_t ga = (((((s & 0xFF00FF00u) - (d & 0xFF00FF00u)) >> 8) * a) + (d & 0xFF00FF00u)) & 0xFF00FF00u;
    EXPECT_EQ(load32(dest.data()) >> 24, ga >> 24);
    EXPECT_EQ(load32(dest.data() + 4), blend_bytes(s, d));
    EXPECT_EQ(load32(dest.data() + 8), blend_bytes(s, d));
}

// On a processor with AVX2 the vector family's pixel fills are the AVX2 ones, so the tests
// above cover both forms; the rest of the family is shared.
TEST(Routines, TheVectorFamilyTakesTheAvx2FillsWhereTheProcessorHasThem) {
    __builtin_cpu_init();
    bool avx2 = __builtin_cpu_supports("avx2");
    for (int index : {1, 2}) {
        EXPECT_EQ(vector_routines.sets[index].fill_span != vector_routines_sse2_only.sets[index].fill_span, avx2)
            << "set " << index;
        EXPECT_NE(vector_routines_sse2_only.sets[index].fill_span, plain_routines.sets[index].fill_span);
    }
    EXPECT_EQ(vector_routines.sets[1].alpha_fill_span, vector_routines.sets[1].fill_span);
    EXPECT_EQ(vector_routines.sets[2].alpha_fill_span, vector_routines_sse2_only.sets[2].alpha_fill_span);
    EXPECT_EQ(vector_routines.sets[0].fill_span, vector_routines_sse2_only.sets[0].fill_span);
    EXPECT_EQ(vector_routines.mem_fill, vector_routines_sse2_only.mem_fill);
}

TEST(Routines, TheFamilyIsChosenAtRunTimeAndRecorded) {
    ASSERT_EQ(vxtest::open_fake_screen(16, 4, 32, 0), 0);
    allow_vector_routines(false);
    select_routine_set(4);
    EXPECT_EQ(routine_set.fill_span, plain_routines.sets[2].fill_span);
    EXPECT_FALSE(gfx_context()->flags & ctx_vector_routines);
    allow_vector_routines(true);
    select_routine_set(2);
    EXPECT_EQ(routine_set.fill_span, vector_routines.sets[1].fill_span);
    EXPECT_EQ(mem_fill, vector_routines.mem_fill);
    EXPECT_TRUE(gfx_context()->flags & ctx_vector_routines);
    // Without alpha primitives the 32-bit blending slots hold the plain stores.
    select_routine_set(4);
    EXPECT_EQ(routine_set.alpha_fill_span, routine_set.fill_span);
    vxtest::restore_drivers();
}

// Whole drawings come out the same with either family.
TEST(Routines, DrawingsAreIdenticalWithEitherFamily) {
    std::vector<uint8_t> frames[2];
    for (int vector = 0; vector < 2; ++vector) {
        allow_vector_routines(vector == 1);
        ASSERT_EQ(vxtest::open_fake_screen(97, 41, 32, 0), 0);
        std::mt19937 rng(5);
        for (int i = 0; i < 200; ++i) {
            float x1 = static_cast<float>(rng() % 120) - 10, y1 = static_cast<float>(rng() % 60) - 10;
            float x2 = static_cast<float>(rng() % 120) - 10, y2 = static_cast<float>(rng() % 60) - 10;
            line_draw(nullptr, x1, y1, x2, y2, rng(), static_cast<int>(rng() % 3), rng() & 0xFFFF, 4);
        }
        vx::GfxContext* ctx = gfx_context();
        frames[vector].assign(ctx->visible_buffer, ctx->visible_buffer + ctx->pitch * ctx->height);
    }
    allow_vector_routines(true);
    EXPECT_EQ(frames[0], frames[1]);
    vxtest::restore_drivers();
}
