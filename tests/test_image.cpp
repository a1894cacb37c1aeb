// Image buffers on real bytes: the header forms, the pitch, the fill of every byte of every
// row, colour conversion, refused requests and the drawing state around create and destroy.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "runtime/runtime.h"
#include "tests/support/fake_driver.h"

using namespace vx;
using vxtest::fake;

namespace {

struct Images : ::testing::Test {
    void SetUp() override { ASSERT_EQ(vxtest::open_fake_screen(), 0); }
    void TearDown() override {
        rt_legacy_header_mode = false;
        vxtest::restore_drivers();
    }
};

ImageHeader header_of(const void* image) {
    ImageHeader header;
    std::memcpy(&header, image, sizeof header);
    return header;
}

// Index of the first of `count` units of `unit` bytes from `p` that is not `value`, or -1.
long first_unit_not(const uint8_t* p, size_t count, int unit, uint32_t value) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t v = unit == 1 ? p[i] : unit == 2 ? load16(p + i * 2) : load32(p + i * 4);
        if (v != value) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace

TEST_F(Images, TheProgramsTwoImages) {
    struct Case {
        int width, height, pitch;
        int64_t block;
    };
    for (Case c : {Case{284, 36, 1136, 40928}, Case{160, 80, 640, 51232}}) {
        void* image = image_create(c.width, c.height, 0, 0, 0x80000000u);
        ASSERT_NE(image, nullptr);
        ImageHeader h = header_of(image);
        EXPECT_EQ(h.type, 7);
        EXPECT_EQ(h.bpp, 4);
        EXPECT_EQ(h.width, c.width);
        EXPECT_EQ(h.height, c.height);
        EXPECT_EQ(h.pitch, c.pitch);
        for (int i = 4; i < 12; ++i) EXPECT_EQ(h.reserved[i], 0) << "header byte " << 20 + i;
        EXPECT_EQ(image_block_size(image_view(image, 4), 4), c.block);
        auto* pixels = static_cast<uint8_t*>(image) + 32;
        EXPECT_EQ(first_unit_not(pixels, static_cast<size_t>(c.height) * c.pitch / 4, 4, 0xFFFF00FFu), -1);
        image_destroy(image);
    }
}

TEST_F(Images, RowsArePaddedTo16BytesAndThePaddingIsFilledToo) {
    vxtest::open_fake_screen(64, 8, 8, 0);
    void* image = image_create(3, 5, 0x1234, 0, 0);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(header_of(image).pitch, 16);
    EXPECT_EQ(first_unit_not(static_cast<uint8_t*>(image) + 32, 5 * 16, 1, 0x34), -1);
    image_destroy(image);

    // 16-bit, 5 pixels: 10 bytes of pixels, pitch 16, and the colour in 5-6-5 throughout.
    void* wide = image_create(5, 3, 0x00FF8040, 16, 0);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(header_of(wide).bpp, 2);
    EXPECT_EQ(header_of(wide).pitch, 16);
    EXPECT_EQ(first_unit_not(static_cast<uint8_t*>(wide) + 32, 3 * 8, 2, 0xFC08), -1);
    image_destroy(wide);
}

TEST_F(Images, FillColourByPixelSize) {
    struct Case {
        int depth;
        uint32_t colour, flags;
        int unit;
        uint32_t expected;
    };
    const Case cases[] = {
        {8, 0xAABBCCDD, 0, 1, 0xDD},          {1, 0xAABBCCDD, 0, 1, 0xDD},
        {16, 0x00FFFFFF, 0, 2, 0xFFFF},       {9, 0x00102030, 0, 2, 0x1106},
        {32, 0x12345678, 0, 4, 0x12345678},   {25, 0x00000000, 0, 4, 0},
        {8, 0x55, 0x80000000u, 1, 0},         {16, 0x55, 0x80000000u, 2, 0xF81F},
        {32, 0x55, 0x80000000u, 4, 0xFFFF00FFu},
    };
    for (const Case& c : cases) {
        void* image = image_create(7, 2, c.colour, c.depth, c.flags);
        ASSERT_NE(image, nullptr) << "depth " << c.depth;
        ImageHeader h = header_of(image);
        EXPECT_EQ(h.bpp, c.unit) << "depth " << c.depth;
        size_t units = static_cast<size_t>(h.height) * h.pitch / c.unit;
        EXPECT_EQ(first_unit_not(static_cast<uint8_t*>(image) + 32, units, c.unit, c.expected), -1)
            << "depth " << c.depth << " colour " << std::hex << c.colour;
        image_destroy(image);
    }
}

TEST_F(Images, RefusedRequestsGiveNull) {
    EXPECT_EQ(image_create(0, 5, 0, 0, 0), nullptr);
    EXPECT_EQ(image_create(5, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(image_create(-1, 5, 0, 0, 0), nullptr);
    EXPECT_EQ(image_create(5, INT_MIN, 0, 0, 0), nullptr);
    for (int depth : {17, 20, 24, 33, 64, INT_MAX}) EXPECT_EQ(image_create(4, 4, 0, depth, 0), nullptr) << depth;
    // Sizes whose rows or blocks do not fit in 32 bits: refused before any multiplication wraps.
    EXPECT_EQ(image_create(INT_MAX, INT_MAX, 0, 32, 0), nullptr);
    EXPECT_EQ(image_create(1 << 29, 1, 0, 32, 0), nullptr);
    EXPECT_EQ(image_create(65536, 65536, 0, 32, 0), nullptr);
    EXPECT_EQ(rt_last_error(), 0);  // no error is stored
    vxtest::restore_drivers();
    EXPECT_EQ(image_create(4, 4, 0, 0, 0), nullptr);  // no screen
}

TEST_F(Images, LegacyHeaderMode) {
    rt_legacy_header_mode = true;
    void* image = image_create(300, 3, 0x00ABCDEF, 0, 0);
    ASSERT_NE(image, nullptr);
    auto* bytes = static_cast<uint8_t*>(image);
    EXPECT_EQ(bytes[0] & 7, 4);
    EXPECT_EQ((bytes[0] >> 3) | (bytes[1] << 5), 300);
    EXPECT_EQ(bytes[2] | (bytes[3] << 8), 3);
    // Rows packed back to back: 300 x 4 bytes each, right after the 4-byte header.
    EXPECT_EQ(first_unit_not(bytes + 4, 300 * 3, 4, 0x00ABCDEF), -1);
    ImageView view = image_view(image, 4);
    EXPECT_TRUE(view.legacy);
    EXPECT_EQ(view.pitch, 1200);
    EXPECT_EQ(image_block_size(view, 4), 4 + 3 * 1200);
    image_destroy(image);
    // The legacy header cannot describe these sizes.
    EXPECT_EQ(image_create(8192, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(image_create(1, 65536, 0, 0, 0), nullptr);
    EXPECT_NE(image = image_create(8191, 1, 0, 8, 0), nullptr);
    image_destroy(image);
}

TEST_F(Images, CreateTargetsTheImageUnderTheLockAndMarksNothing) {
    vxtest::clear_dirty();
    int locks = fake.locks;
    void* image = image_create(10, 10, 0, 0, 0x80000000u);
    EXPECT_EQ(draw_state()->target, image);
    EXPECT_EQ(fake.locks, locks + 1);
    EXPECT_EQ(fake.unlocks, fake.locks);
    EXPECT_EQ(vxtest::dirty_count(), 0);
    image_destroy(image);
}

TEST_F(Images, DestroyingTheTargetLeavesTheStateOnTheScreen) {
    image_destroy(nullptr);
    void* first = image_create(4, 4, 0, 0, 0);
    image_destroy(first);
    EXPECT_EQ(draw_state()->target, nullptr);
    // A new image, perhaps at the freed address, is drawn into with its own size.
    void* second = image_create(100, 50, 0, 0, 0);
    ASSERT_NE(second, nullptr);
    line_draw(second, 99, 49, 99, 49, 0x00123456, 0, 0xFFFF, 4);
    EXPECT_EQ(load32(static_cast<uint8_t*>(second) + 32 + 49 * 400 + 99 * 4), 0x00123456u);
    image_destroy(second);
    // The screen is drawn on again after the target went away.
    vxtest::clear_dirty();
    line_draw(nullptr, 3, 4, 3, 4, 0x00FFFFFF, 0, 0xFFFF, 4);
    EXPECT_EQ(vxtest::screen_pixel(3, 4), 0x00FFFFFFu);
    EXPECT_TRUE(vxtest::dirty(4));
}

TEST_F(Images, HeaderChecks) {
    uint8_t block[32 + 64] = {};
    ImageHeader h{7, 4, 4, 4, 16, {}};
    std::memcpy(block, &h, sizeof h);
    EXPECT_EQ(image_block_size(image_view(block, 4), 4), 32 + 64);
    for (ImageHeader bad : {ImageHeader{7, 3, 4, 4, 16, {}}, ImageHeader{7, 4, 4, 4, 15, {}},
                            ImageHeader{7, 4, -1, 4, 16, {}}, ImageHeader{7, 4, 4, -4, 16, {}},
                            ImageHeader{7, 0, 4, 4, 16, {}}}) {
        std::memcpy(block, &bad, sizeof bad);
        EXPECT_EQ(image_block_size(image_view(block, 4), 4), -1) << bad.bpp << " " << bad.width << " " << bad.pitch;
    }
    // A legacy header with bytes per pixel 0 is measured with the target's.
    const uint8_t legacy[4] = {static_cast<uint8_t>(0 | (5 << 3)), 0, 2, 0};
    EXPECT_EQ(image_block_size(image_view(const_cast<uint8_t*>(legacy), 2), 2), 4 + 2 * 5 * 2);
    const uint8_t legacy_bpp3[4] = {static_cast<uint8_t>(3 | (5 << 3)), 0, 2, 0};
    EXPECT_EQ(image_block_size(image_view(const_cast<uint8_t*>(legacy_bpp3), 4), 4), -1);
}
