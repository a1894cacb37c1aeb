// The program icon store of the display layer, and the application's built-in icon pixels.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "app/keyboard/icon.h"
#include <vxgfx/icon.h>

using vx::ProgramIcon;

namespace {

struct Icon : ::testing::Test {
    void TearDown() override { vx::set_program_icon({}); }
};

const uint32_t some_pixels[4] = {0xFF102030, 0x80FFFFFF, 0x00000000, 0xFFFFFFFF};

uint8_t alpha(uint32_t argb) { return static_cast<uint8_t>(argb >> 24); }
uint8_t red(uint32_t argb) { return static_cast<uint8_t>(argb >> 16); }
uint8_t green(uint32_t argb) { return static_cast<uint8_t>(argb >> 8); }
uint8_t blue(uint32_t argb) { return static_cast<uint8_t>(argb); }

}  // namespace

TEST_F(Icon, NoIconUntilTheProgramSetsOne) { EXPECT_TRUE(vx::program_icon().empty()); }

TEST_F(Icon, KeepsCopiesOfTheRecordsInTheirOrder) {
    {
        std::array<ProgramIcon, 2> records = {{{2, 2, some_pixels}, {1, 4, some_pixels}}};
        vx::set_program_icon(records);
        // The caller's list may be gone (or reused) once the call returns.
        records[0] = {9, 9, nullptr};
    }
    auto kept = vx::program_icon();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].width, 2);
    EXPECT_EQ(kept[0].height, 2);
    EXPECT_EQ(kept[0].argb, some_pixels);
    EXPECT_EQ(kept[1].width, 1);
    EXPECT_EQ(kept[1].height, 4);
}

TEST_F(Icon, LeavesOutSizesABackEndCouldNotSend) {
    static std::vector<uint32_t> largest(256 * 256, 0xFF000000);
    const ProgramIcon records[] = {
        {0, 4, some_pixels},     {4, 0, some_pixels},       {-2, 2, some_pixels},
        {2, 2, nullptr},         {257, 1, largest.data()},  {1, 257, largest.data()},
        {256, 256, largest.data()}, {1, 1, some_pixels},
    };
    vx::set_program_icon(records);
    auto kept = vx::program_icon();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].width, 256);
    EXPECT_EQ(kept[1].width, 1);
}

TEST_F(Icon, KeepsTheFirstEightSizesAndAnEmptyListRemovesThem) {
    std::vector<ProgramIcon> records;
    for (int side = 1; side <= 10; ++side) records.push_back({side, 1, some_pixels});
    records.insert(records.begin(), {0, 0, some_pixels});  // unusable: does not count
    vx::set_program_icon(records);
    auto kept = vx::program_icon();
    ASSERT_EQ(kept.size(), vx::program_icon_max_sizes);
    EXPECT_EQ(kept.front().width, 1);
    EXPECT_EQ(kept.back().width, 8);

    vx::set_program_icon({});
    EXPECT_TRUE(vx::program_icon().empty());
}

// The pixels themselves are made from the PNG icons at build time by tools/make_icon.py (the
// icon_drawing test checks the PNGs against its drawing); here: the sizes the window offers,
// and a tile that is opaque inside, clear outside, with white keys below and the gold note above.
TEST_F(Icon, TheProgramIconIsAnOpaqueTileWithKeysAndANote) {
    auto sizes = app::piano_icon();
    ASSERT_EQ(sizes.size(), 3u);
    const int expected_sides[] = {16, 32, 48};
    for (size_t i = 0; i < sizes.size(); ++i) {
        const ProgramIcon& icon = sizes[i];
        const int side = expected_sides[i];
        SCOPED_TRACE(side);
        ASSERT_EQ(icon.width, side);
        ASSERT_EQ(icon.height, side);
        ASSERT_NE(icon.argb, nullptr);
        auto at = [&](int x, int y) { return icon.argb[y * side + x]; };
        EXPECT_EQ(at(0, 0), 0u);
        EXPECT_EQ(at(side - 1, 0), 0u);
        EXPECT_EQ(at(0, side - 1), 0u);
        EXPECT_EQ(at(side - 1, side - 1), 0u);
        // Only the rounded corners may be partly transparent.
        const int inset = side / 4;
        for (int y = inset; y < side - inset; ++y)
            for (int x = side / 8; x < side - side / 8; ++x)
                ASSERT_EQ(alpha(at(x, y)), 0xFF) << "pixel (" << x << ", " << y << ")";
        int white = 0, gold = 0;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                uint32_t p = at(x, y);
                bool is_white = alpha(p) == 0xFF && red(p) > 0xF0 && green(p) > 0xF0 && blue(p) > 0xE0;
                bool is_gold = alpha(p) == 0xFF && red(p) > 0xE0 && green(p) > 0xB0 && blue(p) < 0x60;
                if (is_white) {
                    EXPECT_GE(y, side / 2) << "white pixel (" << x << ", " << y << ") above the keys";
                    ++white;
                }
                if (is_gold) {
                    EXPECT_LT(y, side / 2) << "gold pixel (" << x << ", " << y << ") below the slip";
                    ++gold;
                }
            }
        EXPECT_GT(white, side * side / 8);
        EXPECT_GT(gold, side * side / 64);
    }
    // Within the store's bounds: the window gets every size.
    vx::set_program_icon(sizes);
    EXPECT_EQ(vx::program_icon().size(), 3u);
}
