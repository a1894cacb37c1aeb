// The plain and SSE2 put routines on the same seeded random inputs, compared byte for byte:
// odd widths, misaligned starts, padded pitches whose padding must stay untouched, and the
// meaning of each routine checked on the plain result.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "gfx/image.h"
#include "gfx/pixels.h"

using namespace vx;

namespace {

constexpr int32_t kWidths[] = {0, 1, 2, 3, 4, 5, 15, 16, 17, 31, 32, 33, 63, 64, 65, 129};
constexpr int32_t kHeights[] = {1, 3};
constexpr size_t kGuard = 48;

struct Case {
    int32_t width, height;
    int src_bpp, dst_bpp;
    size_t src_misalign, dst_misalign;
    int32_t src_pad, dst_pad;  // bytes after each row's pixels
    unsigned mask_one_in;      // share of mask pixels: dense, or so sparse that whole blocks are opaque
};

// Source pixels: random, with mask values (every form of them at 32 bits) one in
// `mask_one_in`, plus a run at the start of some rows, so that transparent runs, single holes
// and wholly opaque blocks all occur.
std::vector<uint8_t> make_source(std::mt19937& rng, const Case& c, int32_t pitch) {
    std::vector<uint8_t> bytes(kGuard * 2 + c.src_misalign + static_cast<size_t>(pitch) * c.height);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    uint8_t* p = bytes.data() + kGuard + c.src_misalign;
    for (int32_t y = 0; y < c.height; ++y)
        for (int32_t x = 0; x < c.width; ++x) {
            uint8_t* px = p + y * pitch + x * c.src_bpp;
            bool mask = rng() % c.mask_one_in == 0 || (y == 1 && x < c.width / 2);
            if (!mask) continue;
            if (c.src_bpp == 1) *px = 0;
            else if (c.src_bpp == 2) store16(px, 0xF81F);
            else store32(px, (rng() & 0xFF000000u) | 0x00FF00FFu);
        }
    return bytes;
}

std::vector<uint8_t> make_target(std::mt19937& rng, const Case& c, int32_t pitch) {
    std::vector<uint8_t> bytes(kGuard * 2 + c.dst_misalign + static_cast<size_t>(pitch) * c.height);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

// Runs both variants on copies of the same target; returns the plain result after checking
// that the wide one equals it.
template <typename Check>
void run_both(const Case& c, put_fn plain, put_fn wide, std::mt19937& rng, Check check) {
    int32_t src_pitch = c.width * c.src_bpp + c.src_pad, dst_pitch = c.width * c.dst_bpp + c.dst_pad;
    std::vector<uint8_t> source = make_source(rng, c, src_pitch);
    std::vector<uint8_t> original = make_target(rng, c, dst_pitch);
    std::vector<uint8_t> a = original, b = original;
    const uint8_t* src = source.data() + kGuard + c.src_misalign;
    size_t offset = kGuard + c.dst_misalign;
    plain(src, a.data() + offset, c.width, c.height, src_pitch, dst_pitch, 0xFFFFFFFFu, nullptr, nullptr);
    wide(src, b.data() + offset, c.width, c.height, src_pitch, dst_pitch, 0xFFFFFFFFu, nullptr, nullptr);
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], b[i]) << "first differing byte " << i << " (target offset " << static_cast<long>(i - offset)
                              << ") width " << c.width << " height " << c.height << " misalign " << c.src_misalign
                              << "/" << c.dst_misalign << " pads " << c.src_pad << "/" << c.dst_pad;
    // Only the put's pixels may change: guards and row padding keep their bytes.
    for (size_t i = 0; i < a.size(); ++i) {
        long rel = static_cast<long>(i) - static_cast<long>(offset);
        bool inside = rel >= 0 && rel < static_cast<long>(dst_pitch) * c.height && rel % dst_pitch < c.width * c.dst_bpp;
        if (!inside) {
            ASSERT_EQ(a[i], original[i]) << "byte outside the put changed at target offset " << rel;
        }
    }
    for (int32_t y = 0; y < c.height; ++y)
        for (int32_t x = 0; x < c.width; ++x)
            check(src + y * src_pitch + x * c.src_bpp, original.data() + offset + y * dst_pitch + x * c.dst_bpp,
                  a.data() + offset + y * dst_pitch + x * c.dst_bpp, x, y);
}

template <typename Check>
void for_every_case(int src_bpp, int dst_bpp, put_fn plain, put_fn wide, unsigned seed, Check check) {
    std::mt19937 rng(seed);
    for (int32_t width : kWidths)
        for (int32_t height : kHeights)
            for (size_t src_misalign : {0, 1, 3})
                for (size_t dst_misalign : {0, 2, 5})
                    for (int32_t pad : {0, 3, 16})
                        for (unsigned mask_one_in : {3u, 500u}) {
                            Case c{width, height, src_bpp, dst_bpp, src_misalign, dst_misalign, pad, pad + 5, mask_one_in};
                            run_both(c, plain, wide, rng, check);
                            if (::testing::Test::HasFatalFailure()) return;
                        }
}

}  // namespace

TEST(PutVariants, Transparent8) {
    for_every_case(1, 1, put_trans_plain.slots[0], put_trans_sse2.slots[0], 1,
                   [](const uint8_t* s, const uint8_t* before, const uint8_t* after, int x, int y) {
                       ASSERT_EQ(*after, *s ? *s : *before) << "pixel (" << x << ", " << y << ")";
                   });
}

TEST(PutVariants, Transparent16) {
    for_every_case(2, 2, put_trans_plain.slots[1], put_trans_sse2.slots[1], 2,
                   [](const uint8_t* s, const uint8_t* before, const uint8_t* after, int x, int y) {
                       uint16_t v = load16(s);
                       ASSERT_EQ(load16(after), v == 0xF81F ? load16(before) : v) << "pixel (" << x << ", " << y << ")";
                   });
}

TEST(PutVariants, Transparent32) {
    for_every_case(4, 4, put_trans_plain.slots[3], put_trans_sse2.slots[3], 3,
                   [](const uint8_t* s, const uint8_t* before, const uint8_t* after, int x, int y) {
                       uint32_t v = load32(s) & 0x00FFFFFFu;
                       ASSERT_EQ(load32(after), v == 0x00FF00FFu ? load32(before) : v)
                           << "pixel (" << x << ", " << y << ")";
                   });
}

TEST(PutVariants, AlphaMask) {
    for_every_case(1, 4, put_alpha_mask_plain, put_alpha_mask_sse2, 4,
                   [](const uint8_t* s, const uint8_t* before, const uint8_t* after, int x, int y) {
                       ASSERT_EQ(load32(after), (load32(before) & 0x00FFFFFFu) | uint32_t{*s} << 24)
                           << "pixel (" << x << ", " << y << ")";
                   });
}

TEST(PutVariants, TheThreeByteSlotIsEmptyInBothTables) {
    EXPECT_EQ(put_trans_plain.slots[2], nullptr);
    EXPECT_EQ(put_trans_sse2.slots[2], nullptr);
    for (int slot : {0, 1, 3}) {
        EXPECT_NE(put_trans_plain.slots[slot], nullptr);
        EXPECT_NE(put_trans_sse2.slots[slot], put_trans_plain.slots[slot]) << "the wide table has its own routines";
    }
}
