// Pixels, lines and boxes on real framebuffer bytes: styles, clipping, rounding, relative
// coordinates, image targets and dirty lines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "tests/support/fake_driver.h"

using namespace vx;
using vxtest::fake;

namespace {

constexpr uint32_t kBlack = 0xFF000000u;

struct Draw : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
        vxtest::clear_dirty();
    }
    void TearDown() override { vxtest::restore_drivers(); }

    static uint32_t px(int x, int y) { return vxtest::screen_pixel(x, y); }
    // Columns of row y that differ from the cleared screen.
    static std::set<int> row(int y) {
        std::set<int> xs;
        for (int x = 0; x < 64; ++x)
            if (px(x, y) != kBlack) xs.insert(x);
        return xs;
    }
    static std::set<int> column(int x) {
        std::set<int> ys;
        for (int y = 0; y < 32; ++y)
            if (px(x, y) != kBlack) ys.insert(y);
        return ys;
    }
    static std::set<int> range(int a, int b) {
        std::set<int> s;
        for (int i = a; i <= b; ++i) s.insert(i);
        return s;
    }
};

}  // namespace

TEST_F(Draw, EqualPointsDrawOnePixelAndDirtyOneLine) {
    line_draw(nullptr, 5, 7, 5, 7, 0x00FF00, 0, 0xFFFF, 4);
    EXPECT_EQ(px(5, 7), 0x00FF00u);
    EXPECT_EQ(row(7), std::set<int>{5});
    EXPECT_EQ(vxtest::dirty_count(), 1);
    EXPECT_TRUE(vxtest::dirty(7));
}

TEST_F(Draw, StylePatternStartsAtTheFirstGivenPoint) {
    line_draw(nullptr, 0, 1, 9, 1, 0xFFFFFF, 0, 0xFF00, 4);
    EXPECT_EQ(row(1), range(0, 7));
    line_draw(nullptr, 9, 3, 0, 3, 0xFFFFFF, 0, 0xFF00, 4);
    EXPECT_EQ(row(3), range(2, 9));
    line_draw(nullptr, 20, 0, 20, 9, 0xFFFFFF, 0, 0xFF00, 4);
    EXPECT_EQ(column(20), range(0, 7));
    line_draw(nullptr, 22, 9, 22, 0, 0xFFFFFF, 0, 0xFF00, 4);
    EXPECT_EQ(column(22), range(2, 9));
    // Only the low 16 bits of the style count; the pattern repeats every 16 pixels.
    line_draw(nullptr, 0, 12, 39, 12, 0xFFFFFF, 0, 0xF0008000, 4);
    EXPECT_EQ(row(12), (std::set<int>{0, 16, 32}));
}

TEST_F(Draw, DiagonalLinesFollowBresenham) {
    line_draw(nullptr, 0, 0, 6, 2, 0xFFFFFF, 0, 0xFFFF, 4);
    std::set<std::pair<int, int>> got;
    for (int y = 0; y < 4; ++y)
        for (int x : row(y)) got.insert({x, y});
    std::set<std::pair<int, int>> want = {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 1}, {5, 2}, {6, 2}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(vxtest::dirty_count(), 3);
}

TEST_F(Draw, LinesOutsideTheClipTakeNoLockAndMarkNothing) {
    fake.locks = 0;
    line_draw(nullptr, -10, -5, -1, -1, 0xFFFFFF, 0, 0xFFFF, 4);
    line_draw(nullptr, 70, 40, 90, 50, 0xFFFFFF, 0, 0xFFFF, 4);
    line_draw(nullptr, 64, 0, 64, 31, 0xFFFFFF, 0, 0xFFFF, 4);
    EXPECT_EQ(fake.locks, 0);
    EXPECT_EQ(vxtest::dirty_count(), 0);
}

TEST_F(Draw, AClippedLineIsDrawnFromItsOuterEnd) {
    // From x = 10 inside to x = -10 outside, style one pixel on, one off: the pattern starts
    // at the clipped end x = 0.
    line_draw(nullptr, 10, 2, -10, 2, 0xFFFFFF, 0, 0xAAAA, 4);
    EXPECT_EQ(row(2), (std::set<int>{0, 2, 4, 6, 8, 10}));
    line_draw(nullptr, 11, 4, -10, 4, 0xFFFFFF, 0, 0xAAAA, 4);
    EXPECT_EQ(row(4), (std::set<int>{0, 2, 4, 6, 8, 10}));
    // Unclipped, the same line starts at its first given point.
    line_draw(nullptr, 11, 6, 0, 6, 0xFFFFFF, 0, 0xAAAA, 4);
    EXPECT_EQ(row(6), (std::set<int>{1, 3, 5, 7, 9, 11}));
    // A steep line through the top and bottom edges keeps to the clip rectangle.
    line_draw(nullptr, 30, -100, 34, 200, 0xFFFFFF, 0, 0xFFFF, 4);
    for (int y = 0; y < 32; ++y) EXPECT_EQ(row(y).count(32) + row(y).count(31) + row(y).count(33), 1u) << y;
}

TEST_F(Draw, FilledBoxesIncludeBothCornersInAnyOrder) {
    line_draw(nullptr, 3, 2, 6, 4, 0x112233, 2, 0xFFFF, 4);
    line_draw(nullptr, 20, 9, 17, 7, 0x445566, 2, 0x0000, 4);  // style ignored for filled boxes
    for (int y = 0; y < 32; ++y) {
        std::set<int> want;
        if (y >= 2 && y <= 4) want.merge(range(3, 6));
        if (y >= 7 && y <= 9) want.merge(range(17, 20));
        EXPECT_EQ(row(y), want) << y;
    }
    EXPECT_EQ(px(3, 2), 0x112233u);
    EXPECT_EQ(px(17, 7), 0x445566u);
    EXPECT_EQ(vxtest::dirty_count(), 6);
}

TEST_F(Draw, BoxesAreClippedToTheTarget) {
    line_draw(nullptr, -5, 28, 3, 40, 0xFFFFFF, 2, 0xFFFF, 4);
    for (int y = 28; y < 32; ++y) EXPECT_EQ(row(y), range(0, 3));
    EXPECT_EQ(vxtest::dirty_count(), 4);
    line_draw(nullptr, 60, 0, 70, 0, 0xFFFFFF, 1, 0xFFFF, 4);  // an outline cut at the right
    EXPECT_EQ(row(0), range(60, 63));
}

// A clipped outline shows exactly the pixels the unclipped outline has inside the clip: the
// pattern runs on over the clipped parts.
TEST_F(Draw, ClippedOutlinesKeepThePatternOfTheWholeBox) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        int x1 = static_cast<int>(rng() % 40), y1 = static_cast<int>(rng() % 20);
        int x2 = x1 + static_cast<int>(rng() % 20), y2 = y1 + static_cast<int>(rng() % 11);
        uint32_t style = rng() & 0xFFFF;
        int cx = static_cast<int>(rng() % 30), cy = static_cast<int>(rng() % 16);
        int cw = 1 + static_cast<int>(rng() % 34), ch = 1 + static_cast<int>(rng() % 16);

        DrawState* s = draw_state();
        set_target(s, nullptr);
        line_draw(nullptr, 0, 0, 63, 31, 0, 2, 0xFFFF, 4);
        line_draw(nullptr, x1, y1, x2, y2, 0xFFFFFF, 1, style, 4);
        std::vector<uint32_t> whole(64 * 32);
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 64; ++x) whole[y * 64 + x] = px(x, y);

        line_draw(nullptr, 0, 0, 63, 31, 0, 2, 0xFFFF, 4);
        s->clip_x = cx, s->clip_y = cy, s->clip_w = std::min(cw, 64 - cx), s->clip_h = std::min(ch, 32 - cy);
        box_draw(x1 + cx, y1 + cy, x2 + cx, y2 + cy, 0xFFFFFF, false, style);  // clip-relative like to_pixel
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 64; ++x) {
                bool inside = x >= s->clip_x && x < s->clip_x + s->clip_w && y >= s->clip_y && y < s->clip_y + s->clip_h;
                int sx = x - cx, sy = y - cy;
                uint32_t want = inside && sx >= 0 && sy >= 0 ? whole[sy * 64 + sx] : 0;
                ASSERT_EQ(px(x, y), want) << "round " << round << " at " << x << "," << y << " style " << std::hex << style;
            }
        s->clip_x = 0, s->clip_y = 0, s->clip_w = 64, s->clip_h = 32;
    }
}

TEST_F(Draw, PixelSetUsesTheColourArgumentOrTheStateColours) {
    DrawState* s = draw_state();
    s->fg = 0xFFAABBCC;
    s->bg = 0xFF102030;
    pixel_set(nullptr, 1, 1, 0x123456, 4, false);
    pixel_set(nullptr, 2, 1, 0x123456, 0x80000004u, false);
    pixel_set(nullptr, 3, 1, 0x123456, 0x80000004u, true);
    pixel_set(nullptr, 64, 1, 0x123456, 4, false);  // outside
    EXPECT_EQ(px(1, 1), 0x123456u);
    EXPECT_EQ(px(2, 1), 0xFFAABBCCu);
    EXPECT_EQ(px(3, 1), 0xFF102030u);
    EXPECT_EQ(row(1).size(), 3u);
    EXPECT_EQ(vxtest::dirty_count(), 1);
}

TEST_F(Draw, CoordinatesRoundHalvesAwayFromZero) {
    DrawState* s = draw_state();
    EXPECT_EQ(to_pixel(s, 2.5f, -2.5f).x, 3);
    EXPECT_EQ(to_pixel(s, 2.5f, -2.5f).y, -3);
    EXPECT_EQ(to_pixel(s, 2.49f, -2.49f).x, 2);
    EXPECT_EQ(to_pixel(s, 2.49f, -2.49f).y, -2);
    EXPECT_EQ(to_pixel(s, 0.f, -0.4f).y, 0);
    // Values no screen has are held inside 32 bits rather than overflowing.
    float huge = std::numeric_limits<float>::max();
    EXPECT_GT(to_pixel(s, huge, 0).x, 1 << 29);
    EXPECT_LT(to_pixel(s, -huge, 0).x, -(1 << 29));
    EXPECT_EQ(to_pixel(s, std::nanf(""), 1).x, 0);
    line_draw(nullptr, -huge, 3, huge, 3, 0xFFFFFF, 0, 0xFFFF, 4);
    EXPECT_EQ(row(3), range(0, 63));
    line_draw(nullptr, -huge, -huge, huge, huge, 0xFFFFFF, 2, 0xFFFF, 4);
    EXPECT_EQ(row(31), range(0, 63));
}

TEST_F(Draw, RelativeCoordinatesMoveFromTheLastPoint) {
    DrawState* s = draw_state();
    float p1[2], p2[2];
    s->last_x = 10, s->last_y = 20;
    p1[0] = 1, p1[1] = 2, p2[0] = 3, p2[1] = 4;
    apply_relative(s, 1, p1, p2);
    EXPECT_EQ(p2[0], 4);
    EXPECT_EQ(p2[1], 6);
    EXPECT_EQ(s->last_x, 4);
    p1[0] = 1, p1[1] = 2, p2[0] = 3, p2[1] = 4;
    apply_relative(s, 2, p1, p2);
    EXPECT_EQ(p1[0], 5);
    EXPECT_EQ(p2[0], 3);
    p1[0] = 1, p1[1] = 1, p2[0] = 1, p2[1] = 1;
    apply_relative(s, 3, p1, p2);  // p1 from (3, 4), then p2 from p1
    EXPECT_EQ(p1[0], 4);
    EXPECT_EQ(p2[1], 6);
    p1[0] = 7, p1[1] = 7;
    apply_relative(s, 5, p1, nullptr);
    EXPECT_EQ(p1[0], 12);
    EXPECT_EQ(s->last_y, 13);
    for (uint32_t mode : {0u, 4u, 6u, 7u}) {
        p1[0] = 1, p1[1] = 1;
        apply_relative(s, mode, p1, nullptr);
        EXPECT_EQ(p1[0], 1) << mode;
    }
    // Through a drawing call: a pixel relative to the last point.
    line_draw(nullptr, 5, 5, 6, 6, 0xFFFFFF, 0, 0xFFFF, 4);
    pixel_set(nullptr, 10, 0, 0x00FF00, 2, false);
    EXPECT_EQ(px(16, 6), 0x00FF00u);
}

TEST_F(Draw, OutcodesAndReversedStyles) {
    DrawState* s = draw_state();
    EXPECT_EQ(outcode(s, 0, 0), 0);
    EXPECT_EQ(outcode(s, -1, 0), 1);
    EXPECT_EQ(outcode(s, 64, 0), 2);
    EXPECT_EQ(outcode(s, 0, 32), 4);
    EXPECT_EQ(outcode(s, 0, -1), 8);
    EXPECT_EQ(outcode(s, -1, -1), 9);
    EXPECT_EQ(outcode(s, 64, 32), 6);
    EXPECT_EQ(reverse16(0x8000), 0x0001);
    EXPECT_EQ(reverse16(0xFF00), 0x00FF);
    EXPECT_EQ(reverse16(0x1234), 0x2C48);
}

TEST_F(Draw, ImageTargetsUseTheirOwnPixelSize) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 16, 0), 0);
    alignas(16) uint8_t block[32 + 4 * 16];
    std::memset(block, 0xEE, sizeof block);
    ImageHeader header{image_header_type, 4, 4, 4, 16, {}};
    std::memcpy(block, &header, sizeof header);
    vxtest::clear_dirty();
    line_draw(block, 0, 1, 3, 1, 0x00ABCDEF, 0, 0xFFFF, 4);  // the solid horizontal path
    line_draw(block, 2, 3, 2, 3, 0x00123456, 0, 0xFFFF, 4);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(load32(block + 32 + 16 + x * 4), 0x00ABCDEFu);
    EXPECT_EQ(load32(block + 32 + 48 + 8), 0x00123456u);
    EXPECT_EQ(load32(block + 32 + 48 + 12), 0xEEEEEEEEu);
    EXPECT_EQ(vxtest::dirty_count(), 0) << "an image is not the visible page";
    // Back on the 16-bit screen, colours are converted to 5-6-5.
    line_draw(nullptr, 0, 0, 1, 0, 0xFF0000, 0, 0xFFFF, 4);
    EXPECT_EQ(load16(gfx_context()->visible_buffer), 0xF800);
    EXPECT_EQ(load16(gfx_context()->visible_buffer + 2), 0xF800);
    EXPECT_EQ(load16(gfx_context()->visible_buffer + 4), 0x0000);
}

TEST_F(Draw, TranslucentOutlinesBlendTheirCornersTwice) {
    ASSERT_EQ(vxtest::open_fake_screen(16, 8, 32, 0x40), 0);
    allow_vector_routines(false);
    select_routine_set(4);
    uint32_t colour = 0x80FFFFFF, once = blend_packed(colour, kBlack);
    line_draw(nullptr, 2, 2, 6, 5, colour, 1, 0xFFFF, 4);
    EXPECT_EQ(px(4, 2), once);
    EXPECT_EQ(px(2, 3), once);
    for (auto [x, y] : {std::pair{2, 2}, {6, 2}, {2, 5}, {6, 5}}) EXPECT_EQ(px(x, y), blend_packed(colour, once)) << x << "," << y;
    // An opaque colour takes the plain routines even with alpha primitives.
    line_draw(nullptr, 0, 7, 3, 7, 0xFF00FF00, 0, 0xFFFF, 4);
    EXPECT_EQ(px(1, 7), 0xFF00FF00u);
    // Without alpha primitives a translucent colour is stored as it is.
    ASSERT_EQ(vxtest::open_fake_screen(16, 8, 32, 0), 0);
    line_draw(nullptr, 0, 0, 3, 0, colour, 0, 0xFFFF, 4);
    EXPECT_EQ(px(1, 0), colour);
    allow_vector_routines(true);
}
