// put_image on real framebuffer bytes: the transparent put, source rectangles, coordinate
// types, clipping, dirty lines, the lock, depth checks, the alpha-mask case and the choice of
// the transparent-put table.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <vector>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "runtime/runtime.h"
#include "tests/support/fake_driver.h"

using namespace vx;
using vxtest::fake;

namespace {

constexpr uint32_t kBlack = 0xFF000000u;

uint8_t* pixels(void* image) { return static_cast<uint8_t*>(image) + 32; }
int pitch_of(void* image) { return image_view(image, 4).pitch; }

void set32(void* image, int x, int y, uint32_t v) { store32(pixels(image) + y * pitch_of(image) + x * 4, v); }
uint32_t get32(void* image, int x, int y) { return load32(pixels(image) + y * pitch_of(image) + x * 4); }

// Fills a 32-bit image with a pattern that names each pixel: 0x00YYYXXX-like, never a mask.
void number_pixels(void* image) {
    ImageView v = image_view(image, 4);
    for (int y = 0; y < v.height; ++y)
        for (int x = 0; x < v.width; ++x) set32(image, x, y, 0x01000000u | static_cast<uint32_t>(y << 12 | x));
}

int put_whole(void* target, float x, float y, void* image) {
    return put_image(target, x, y, image, whole_image, 0, 0, 0, 0, put_mode_trans, put_trans, 0xFFFFFFFFu, nullptr,
                     nullptr);
}
int put_rect(float x, float y, void* image, int x1, int y1, int x2, int y2, int type = 0) {
    return put_image(nullptr, x, y, image, x1, y1, x2, y2, type, put_mode_trans, put_trans, 0xFFFFFFFFu, nullptr, nullptr);
}

// The screen after a put must equal `expected(x, y)` everywhere; names the first difference.
template <typename Expected>
::testing::AssertionResult screen_is(Expected expected) {
    GfxContext* ctx = gfx_context();
    for (int y = 0; y < ctx->height; ++y)
        for (int x = 0; x < ctx->width; ++x) {
            uint32_t got = vxtest::screen_pixel(x, y), want = expected(x, y);
            if (got != want) {
                std::ostringstream out;
                out << "first differing pixel (" << x << ", " << y << "): 0x" << std::hex << got << ", expected 0x" << want;
                return ::testing::AssertionFailure() << out.str();
            }
        }
    return ::testing::AssertionSuccess();
}

std::vector<int> dirty_lines() {
    std::vector<int> lines;
    for (int y = 0; y < gfx_context()->height; ++y)
        if (vxtest::dirty(y)) lines.push_back(y);
    return lines;
}
std::vector<int> range(int a, int b) {
    std::vector<int> v;
    for (int i = a; i <= b; ++i) v.push_back(i);
    return v;
}

struct Put : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(vxtest::open_fake_screen(), 0);
        vxtest::clear_dirty();
    }
    void TearDown() override {
        allow_vector_routines(true);
        vxtest::restore_drivers();
    }
};

}  // namespace

// A key picture: a white key with its black outline and mask-coloured corners cut out.
TEST_F(Put, TransparentPutOfAKeySheetLikeImage) {
    void* sheet = image_create(160, 80, 0, 0, 0x80000000u);
    for (int y = 0; y < 80; ++y)
        for (int x = 20; x < 40; ++x) {
            uint32_t v = (x == 20 || x == 39 || y == 79) ? 0xFF000000u : 0xFFFFFFFFu;
            if (y > 51 && x > 30) v = (x + y) % 2 ? 0xFFFF00FFu : 0x00FF00FFu;  // both forms of the mask
            if (x == 25 && y == 10) v = 0x80123456u;                              // alpha is cleared
            set32(sheet, x, y, v);
        }
    int locks = fake.locks;
    ASSERT_EQ(put_rect(100, 90, sheet, 20, 0, 39, 79), 0);
    EXPECT_EQ(rt_last_error(), 0);
    EXPECT_TRUE(screen_is([&](int x, int y) {
        if (x < 100 || x >= 120 || y < 90 || y >= 170) return kBlack;
        uint32_t v = get32(sheet, x - 80, y - 90);
        return (v & 0xFFFFFF) == 0xFF00FF ? kBlack : v & 0x00FFFFFFu;
    }));
    EXPECT_EQ(vxtest::screen_pixel(105, 100), 0x00123456u);
    EXPECT_EQ(dirty_lines(), range(90, 169));
    EXPECT_EQ(fake.locks, locks + 1);
    EXPECT_EQ(fake.unlocks, fake.locks);
    image_destroy(sheet);
}

TEST_F(Put, WholeImageNearTheCornerIsClippedToTheScreen) {
    void* picture = image_create(284, 36, 0, 0, 0x80000000u);
    number_pixels(picture);
    ASSERT_EQ(put_whole(nullptr, 600, 170, picture), 0);
    EXPECT_TRUE(screen_is([&](int x, int y) {
        return x >= 600 && y >= 170 ? get32(picture, x - 600, y - 170) & 0xFFFFFF : kBlack;
    }));
    EXPECT_EQ(dirty_lines(), range(170, 189));
    image_destroy(picture);
}

TEST_F(Put, TheProgramsPictureAt400_1LeavesOutItsMaskColour) {
    void* picture = image_create(284, 36, 0, 0, 0x80000000u);
    set32(picture, 0, 0, 0xFF00FF00u);
    set32(picture, 283, 35, 0xFF0000FFu);
    ASSERT_EQ(put_whole(nullptr, 400, 1, picture), 0);
    EXPECT_TRUE(screen_is([](int x, int y) {
        if (x == 400 && y == 1) return 0x0000FF00u;
        if (x == 683 && y == 36) return 0x000000FFu;
        return kBlack;
    }));
    EXPECT_EQ(dirty_lines(), range(1, 36));
    image_destroy(picture);
}

TEST_F(Put, SourceRectanglesAreOrderedAndClamped) {
    void* sheet = image_create(160, 80, 0, 0, 0x80000000u);
    number_pixels(sheet);
    ASSERT_EQ(put_rect(10, 5, sheet, 39, 79, 20, 0), 0);
    auto expect_rect = [&](int dx, int dy, int sx, int sy, int w, int h) {
        return screen_is([=](int x, int y) {
            if (x < dx || x >= dx + w || y < dy || y >= dy + h) return kBlack;
            return get32(sheet, sx + x - dx, sy + y - dy) & 0xFFFFFF;
        });
    };
    EXPECT_TRUE(expect_rect(10, 5, 20, 0, 20, 80));
    vxtest::open_fake_screen();
    ASSERT_EQ(put_rect(10, 5, sheet, -5, -5, 10, 10), 0);
    EXPECT_TRUE(expect_rect(10, 5, 0, 0, 11, 11));
    vxtest::open_fake_screen();
    ASSERT_EQ(put_rect(10, 5, sheet, 150, 70, 1000, 1000), 0);
    EXPECT_TRUE(expect_rect(10, 5, 150, 70, 10, 10));
    // Coordinate type bit 0: the second corner is relative to the first.
    vxtest::open_fake_screen();
    ASSERT_EQ(put_rect(10, 5, sheet, 30, 40, 4, 2, 1), 0);
    EXPECT_TRUE(expect_rect(10, 5, 30, 40, 5, 3));
    image_destroy(sheet);
}

TEST_F(Put, DestinationRelativeToTheLastPoint) {
    void* image = image_create(3, 2, 0x00ABCDEF, 0, 0);
    line_draw(nullptr, 50, 60, 50, 60, 0x00FFFFFF, 0, 0xFFFF, 4);  // last point (50, 60)
    ASSERT_EQ(put_rect(5, 7, image, 0, 0, 2, 1, 2), 0);
    EXPECT_TRUE(screen_is([](int x, int y) {
        if (x == 50 && y == 60) return 0x00FFFFFFu;
        return x >= 55 && x < 58 && y >= 67 && y < 69 ? 0x00ABCDEFu : kBlack;
    }));
    DrawState* state = draw_state();
    EXPECT_EQ(state->last_x, 55.0f);
    EXPECT_EQ(state->last_y, 67.0f);
    // Absolute again, and the point is rounded halves away from zero.
    ASSERT_EQ(put_rect(-0.5f, 2.5f, image, 0, 0, 2, 1), 0);
    EXPECT_EQ(vxtest::screen_pixel(0, 3), 0x00ABCDEFu);  // x -1 (one column cut), y 3
    EXPECT_EQ(vxtest::screen_pixel(1, 3), 0x00ABCDEFu);
    EXPECT_EQ(vxtest::screen_pixel(2, 3), kBlack);
    EXPECT_EQ(state->last_x, -0.5f);
    image_destroy(image);
}

TEST_F(Put, ClippingAtEveryEdge) {
    void* image = image_create(10, 8, 0, 0, 0x80000000u);
    number_pixels(image);
    ASSERT_EQ(put_whole(nullptr, -3, -2, image), 0);
    EXPECT_TRUE(screen_is([&](int x, int y) { return x < 7 && y < 6 ? get32(image, x + 3, y + 2) & 0xFFFFFF : kBlack; }));
    EXPECT_EQ(dirty_lines(), range(0, 5));

    for (auto [x, y] : {std::pair{-10.0f, 0.0f}, {720.0f, 0.0f}, {0.0f, -8.0f}, {0.0f, 190.0f}, {-1e9f, 5.0f}}) {
        vxtest::open_fake_screen();
        vxtest::clear_dirty();
        int locks = fake.locks;
        EXPECT_EQ(put_whole(nullptr, x, y, image), 0) << x << "," << y;
        EXPECT_EQ(vxtest::dirty_count(), 0);
        EXPECT_EQ(fake.locks, locks) << "no lock for a put that draws nothing";
        EXPECT_TRUE(screen_is([](int, int) { return kBlack; }));
    }
    image_destroy(image);
}

TEST_F(Put, DepthMismatchesAndBadArguments) {
    void* sixteen = image_create(4, 4, 0x00FFFFFF, 16, 0);
    int locks = fake.locks;
    EXPECT_EQ(put_whole(nullptr, 0, 0, sixteen), 1);
    EXPECT_EQ(rt_last_error(), 1);
    EXPECT_EQ(fake.locks, locks);
    EXPECT_EQ(vxtest::dirty_count(), 0);
    EXPECT_EQ(put_whole(nullptr, 0, 0, nullptr), 1);

    // An 8-bit image in mode 6 is the one accepted mismatch; in mode 0 it is refused.
    void* eight = image_create(4, 4, 0x7F, 8, 0);
    EXPECT_EQ(put_whole(nullptr, 0, 0, eight), 1);
    void* image = image_create(4, 4, 0x00FFFFFF, 0, 0);
    EXPECT_EQ(put_image(nullptr, 0, 0, image, whole_image, 0, 0, 0, 0, 0, nullptr, 0, nullptr, nullptr), 1);
    // Corrupt source headers: a pitch shorter than a row, an unknown pixel size.
    auto* header = static_cast<ImageHeader*>(image);
    header->pitch = 8;
    EXPECT_EQ(put_whole(nullptr, 0, 0, image), 1);
    header->pitch = 16;
    header->bpp = 3;
    EXPECT_EQ(put_whole(nullptr, 0, 0, image), 1);
    header->bpp = 4;
    // A corrupt target header is refused too.
    void* target = image_create(8, 8, 0, 0, 0);
    static_cast<ImageHeader*>(target)->height = -1;
    EXPECT_EQ(put_whole(target, 0, 0, image), 1);
    EXPECT_TRUE(screen_is([](int, int) { return kBlack; }));
    image_destroy(target);

    vxtest::restore_drivers();
    EXPECT_EQ(put_whole(nullptr, 0, 0, image), 1);  // no screen
    image_destroy(sixteen);
    image_destroy(eight);
    image_destroy(image);
}

TEST_F(Put, Mode6WritesAnEightBitImageIntoTheAlphaBytes) {
    void* mask = image_create(5, 3, 0, 8, 0);
    ImageView v = image_view(mask, 4);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) pixels(mask)[y * v.pitch + x] = static_cast<uint8_t>(x * 50 + y);
    line_draw(nullptr, 0, 0, 719, 189, 0x00123456, 2, 0xFFFF, 4);
    vxtest::clear_dirty();
    ASSERT_EQ(put_image(nullptr, 2, 1, mask, whole_image, 0, 0, 0, 0, put_mode_alpha, put_trans, 0, nullptr, nullptr), 0);
    EXPECT_TRUE(screen_is([](int x, int y) {
        if (x < 2 || x >= 7 || y < 1 || y >= 4) return 0x00123456u;
        return 0x00123456u | static_cast<uint32_t>((x - 2) * 50 + (y - 1)) << 24;
    }));
    EXPECT_EQ(dirty_lines(), range(1, 3));
    image_destroy(mask);
}

// The mask colour of each depth, on screens of that depth and into images.
TEST_F(Put, MaskColoursAtEachDepth) {
    for (int depth : {8, 16}) {
        vxtest::open_fake_screen(32, 4, depth, 0);
        int unit = depth / 8;
        void* image = image_create(4, 1, 0x00FFFFFF, 0, 0);
        uint8_t* row = pixels(image);
        uint32_t mask = depth == 8 ? 0 : 0xF81F;
        uint32_t values[4] = {0x11, mask, 0xF81E, mask};
        for (int i = 0; i < 4; ++i) std::memcpy(row + i * unit, &values[i], static_cast<size_t>(unit));
        ASSERT_EQ(put_whole(nullptr, 1, 2, image), 0);
        GfxContext* ctx = gfx_context();
        for (int i = 0; i < 6; ++i) {
            uint32_t got = 0;
            std::memcpy(&got, ctx->visible_buffer + 2 * ctx->pitch + i * unit, static_cast<size_t>(unit));
            uint32_t want = i >= 1 && i <= 4 && values[i - 1] != mask ? values[i - 1] & (depth == 8 ? 0xFF : 0xFFFF) : 0;
            EXPECT_EQ(got, want) << "depth " << depth << " pixel " << i;
        }
        image_destroy(image);
    }
    // Image to image: the target's lines, no screen line dirty.
    vxtest::open_fake_screen();
    vxtest::clear_dirty();
    void* target = image_create(8, 8, 0x00000001, 0, 0);
    void* source = image_create(2, 2, 0x00FF00FF, 0, 0);
    set32(source, 1, 1, 0xEE777777u);
    ASSERT_EQ(put_whole(target, 6, 6, source), 0);
    EXPECT_EQ(get32(target, 6, 6), 1u);
    EXPECT_EQ(get32(target, 7, 7), 0x00777777u);
    EXPECT_EQ(vxtest::dirty_count(), 0);
    image_destroy(source);
    image_destroy(target);
}

TEST_F(Put, LegacyImagesArePutWithTheTargetsPixelSize) {
    uint8_t legacy[4 + 3 * 2 * 4];
    legacy[0] = static_cast<uint8_t>(0 | (3 << 3));  // bytes per pixel from the target
    legacy[1] = 0;
    legacy[2] = 2;
    legacy[3] = 0;
    for (int i = 0; i < 6; ++i) store32(legacy + 4 + i * 4, i == 4 ? 0x00FF00FFu : 0x00010101u * (i + 1));
    ASSERT_EQ(put_whole(nullptr, 0, 0, legacy), 0);
    EXPECT_TRUE(screen_is([](int x, int y) {
        if (x >= 3 || y >= 2 || (x == 1 && y == 1)) return kBlack;
        return 0x00010101u * static_cast<uint32_t>(y * 3 + x + 1);
    }));
}

TEST_F(Put, TheTransparentTableIsChosenAtTheFirstPutAndForgottenOnRebuild) {
    void* image = image_create(2, 2, 0x00FFFFFF, 0, 0);
    EXPECT_EQ(draw_state()->trans_routines, nullptr);
    put_whole(nullptr, 0, 0, image);
    const void* expected = (gfx_context()->flags & ctx_vector_routines) ? &put_trans_sse2 : &put_trans_plain;
    EXPECT_EQ(draw_state()->trans_routines, expected);
    EXPECT_EQ(draw_state()->trans_routines, &put_trans_sse2);  // this machine has SSE2
    image_destroy(image);

    allow_vector_routines(false);
    vxtest::open_fake_screen();
    EXPECT_EQ(draw_state()->trans_routines, nullptr);  // rebuilt for the new screen
    image = image_create(2, 2, 0x00FFFFFF, 0, 0);
    put_whole(nullptr, 0, 0, image);
    EXPECT_EQ(draw_state()->trans_routines, &put_trans_plain);
    // Kept until the state is rebuilt, whatever the flag says later.
    allow_vector_routines(true);
    select_routine_set(4);
    put_whole(nullptr, 0, 0, image);
    EXPECT_TRUE(gfx_context()->flags & ctx_vector_routines);
    EXPECT_EQ(draw_state()->trans_routines, &put_trans_plain);
    image_destroy(image);
}

// Whole scenes come out the same with either table.
TEST_F(Put, ScenesAreIdenticalWithEitherFamily) {
    std::vector<uint8_t> frames[2];
    for (int vector = 0; vector < 2; ++vector) {
        allow_vector_routines(vector == 1);
        ASSERT_EQ(vxtest::open_fake_screen(), 0);
        std::mt19937 rng(11);
        void* sheet = image_create(160, 80, 0, 0, 0x80000000u);
        for (int y = 0; y < 80; ++y)
            for (int x = 0; x < 160; ++x)
                if (rng() % 3) set32(sheet, x, y, rng());
        void* mask = image_create(33, 17, 0, 8, 0);
        for (int i = 0; i < 48 * 17; ++i) pixels(mask)[i] = static_cast<uint8_t>(rng());
        for (int i = 0; i < 100; ++i) {
            float x = static_cast<float>(rng() % 800) - 40, y = static_cast<float>(rng() % 260) - 40;
            int x1 = static_cast<int>(rng() % 180) - 10, y1 = static_cast<int>(rng() % 100) - 10;
            put_rect(x, y, sheet, x1, y1, x1 + static_cast<int>(rng() % 70), y1 + static_cast<int>(rng() % 90));
            put_image(nullptr, y, x / 4, mask, whole_image, 0, 0, 0, 0, put_mode_alpha, nullptr, 0, nullptr, nullptr);
        }
        GfxContext* ctx = gfx_context();
        frames[vector].assign(ctx->visible_buffer, ctx->visible_buffer + ctx->pitch * ctx->height);
        image_destroy(sheet);
        image_destroy(mask);
    }
    EXPECT_EQ(frames[0], frames[1]);
}
