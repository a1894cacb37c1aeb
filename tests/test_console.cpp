// The text console on the screen: layout of control bytes, wrapping, scrolling and the deferred
// line feed, seen in text cells, pixels, dirty lines and the cursor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gfx/console.h"
#include "gfx/console_ops.h"
#include "gfx/context.h"
#include "runtime/console.h"
#include "tests/support/fake_driver.h"
#include "tests/test_text_pixels.h"

using namespace vx;
using vxtest::fake;

namespace {

constexpr uint32_t kFg = 0xFFFF00, kBg = 0x000080;

// 640 x 200 with the 8 x 8 font: an 80 x 25 grid.
struct Console : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(vxtest::open_fake_screen(640, 200, 32, 0), 0);
        gfx_color(kFg, kBg, 0);
        gfx_cls(0);
        vxtest::clear_dirty();
    }
    void TearDown() override {
        console_view_set(-1, -1);
        vxtest::restore_drivers();
    }

    static GfxContext* ctx() { return gfx_context(); }
    static const TextCell& cell(int col, int row) {
        return ctx()->text_cells[0][static_cast<size_t>(row) * ctx()->text_cols + col];
    }
    static std::string row_text(int row, int from = 0, int count = 80) {
        std::string s;
        for (int c = from; c < from + count; ++c) s.push_back(static_cast<char>(cell(c, row).ch));
        return s;
    }
    static void print(const std::string& s, int flags = 0) { console_print(s.data(), static_cast<int>(s.size()), flags); }
    static bool pending() { return ctx()->flags & ctx_pending_line_feed; }
    static void expect_cursor(int row, int col) {
        EXPECT_EQ(ctx()->text_row, row);
        EXPECT_EQ(ctx()->text_col, col);
    }
};

}  // namespace

TEST_F(Console, FullBottomRowDefersItsLineFeed) {
    std::string line;
    for (int i = 0; i < 80; ++i) line.push_back(static_cast<char>('0' + i % 10));
    console_locate(25, 1, 0);
    vxtest::clear_dirty();
    print(line);
    EXPECT_EQ(row_text(24), line);
    EXPECT_EQ(cell(79, 24).ch, '9');
    expect_cursor(24, 79);
    EXPECT_TRUE(pending());
    EXPECT_EQ(vxtest::dirty_count(), 8);  // nothing scrolled: only the bottom row's lines
    EXPECT_TRUE(vxtest::dirty(192) && vxtest::dirty(199));

    print("x");
    EXPECT_FALSE(pending());
    EXPECT_EQ(row_text(23), line);
    EXPECT_EQ(row_text(24, 0, 2), "x ");
    EXPECT_EQ(cell(1, 24).bg, kBg);
    expect_cursor(24, 1);
    EXPECT_EQ(vxtest::dirty_count(), 200);
}

TEST_F(Console, TabBackspaceReturnAndLineFeed) {
    print("A\tB");
    EXPECT_EQ(row_text(0, 0, 10), "A       B ");
    expect_cursor(0, 9);
    print("\tC");  // from column 9 to 16
    EXPECT_EQ(cell(16, 0).ch, 'C');
    console_locate(2, 9, 0);
    print("\tD");  // a tab at a multiple of 8 still moves on to the next one
    EXPECT_EQ(cell(16, 1).ch, 'D');

    console_locate(4, 1, 0);
    print("\b");
    expect_cursor(3, 0);
    print("AB\bC");
    EXPECT_EQ(row_text(3, 0, 3), "AC ");
    print("xyz\rQ\nR");
    EXPECT_EQ(row_text(3, 0, 4), "QCxy");
    EXPECT_EQ(row_text(4, 0, 2), "R ");
    expect_cursor(4, 1);
    // Byte 7 rings (on a terminal only) and prints nothing.
    print("\a");
    expect_cursor(4, 1);
    EXPECT_EQ(cell(1, 4).ch, ' ');
}

TEST_F(Console, CellsArePaintedOpaquelyAndStoredSignExtended) {
    const std::string text = "\x84" "a\x01";
    for (unsigned char c : text) vxtest::ensure_glyph(font_8x8(), c);
    console_locate(3, 5, 0);
    vxtest::Frame expected = vxtest::snapshot();
    vxtest::clear_dirty();
    print(text);
    for (int i = 0; i < 3; ++i)
        vxtest::expect_glyph(expected, font_8x8(), static_cast<unsigned char>(text[i]), (4 + i) * 8, 16, kFg, true, kBg);
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(vxtest::dirty_count(), 8);
    EXPECT_EQ(cell(4, 2).ch, 0xFF84);
    EXPECT_EQ(cell(5, 2).ch, 'a');
    EXPECT_EQ(cell(4, 2).fg, kFg);
    EXPECT_EQ(cell(4, 2).bg, kBg);

    // A run of the single byte 0xFF: the cell's bottom pixel row only.
    console_locate(6, 1, 0);
    print("\xFF");
    for (int x = 0; x < 8; ++x) expected.at(x, 47) = kFg;
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(cell(0, 5).ch, 0xFFFF);
    expect_cursor(5, 1);
}

TEST_F(Console, LocateAndCursorMoves) {
    EXPECT_EQ(console_locate(5, 10, 0), 0x050A);
    expect_cursor(4, 9);
    EXPECT_EQ(console_state.print_col, 9);
    EXPECT_EQ(console_locate(0, 3, 0), 0x0503);
    expect_cursor(4, 2);
    EXPECT_EQ(console_locate(7, 0, 0), 0x0703);
    ctx()->flags |= ctx_pending_line_feed;
    console_locate(0, 0, 0);
    EXPECT_FALSE(pending());

    EXPECT_EQ(console_set_cursor(2, 300), 0x024F);  // kept inside the grid
    console_locate(4, 1, 0);
    console_cursor_back();
    expect_cursor(2, 79);
    console_cursor_back();
    expect_cursor(2, 78);
    console_locate(1, 1, 0);
    console_cursor_back();
    expect_cursor(0, 0);

    // A cursor placed beyond the grid prints in its last cells, never past them.
    console_locate(100, 200, 0);
    expect_cursor(24, 79);
    print("Z");
    EXPECT_EQ(cell(79, 24).ch, 'Z');
    EXPECT_TRUE(pending());
}

TEST_F(Console, ScrollMovesCellsAndPixelsUp) {
    for (char c = 'a'; c < 'a' + 25; ++c) {
        std::string line(3, c);
        if (c != 'a' + 24) line += "\n";
        print(line);
    }
    EXPECT_EQ(row_text(1, 0, 3), "bbb");
    gfx_color(0x00FF00, 0x400000, 0);
    vxtest::Frame before = vxtest::snapshot();
    print("\n");  // from the bottom row: deferred
    EXPECT_TRUE(pending());
    EXPECT_EQ(row_text(0, 0, 3), "aaa");
    print("", print_even_if_empty);  // an empty print with bit 3 takes the pending line feed
    EXPECT_FALSE(pending());
    EXPECT_EQ(row_text(0, 0, 3), "bbb");
    EXPECT_EQ(row_text(23, 0, 3), "yyy");
    EXPECT_EQ(row_text(24), std::string(80, ' '));
    EXPECT_EQ(cell(10, 24).fg, 0x00FF00u);
    EXPECT_EQ(cell(10, 24).bg, 0x400000u);
    expect_cursor(24, 0);
    vxtest::Frame expected = before;
    for (int y = 0; y < 192; ++y)
        for (int x = 0; x < 640; ++x) expected.at(x, y) = before.at(x, y + 8);
    for (int y = 192; y < 200; ++y)
        for (int x = 0; x < 640; ++x) expected.at(x, y) = 0x400000;
    EXPECT_TRUE(vxtest::screen_matches(expected));
    // An empty print without bit 3 does nothing at all.
    int locks = fake.locks;
    print("");
    EXPECT_EQ(fake.locks, locks);
}

TEST_F(Console, ScrollingStaysInsideTheTextView) {
    for (int i = 0; i < 25; ++i) {
        console_locate(i + 1, 1, 0);
        print(std::string(1, static_cast<char>('A' + i)));
    }
    console_view_set(5, 9);
    console_locate(10, 1, 0);
    vxtest::clear_dirty();
    print("end\nnext");
    EXPECT_EQ(row_text(4, 0, 1), "E");  // above the view: untouched
    EXPECT_EQ(row_text(5, 0, 1), "G");
    EXPECT_EQ(row_text(8, 0, 3), "end");
    EXPECT_EQ(row_text(9, 0, 4), "next");
    EXPECT_EQ(row_text(10, 0, 1), "K");  // below the view: untouched
    expect_cursor(9, 4);
    EXPECT_EQ(vxtest::dirty_count(), 40);  // the view's band, rows 5..9
    EXPECT_TRUE(vxtest::dirty(40) && vxtest::dirty(79));
}

TEST_F(Console, LongTextsWrapAcrossRunsAndRows) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text.push_back(static_cast<char>('A' + i % 26));
    int locks = fake.locks;
    print(text);  // exactly the whole grid: it ends on the bottom-right cell, pending
    EXPECT_EQ(fake.locks, locks + 1);
    for (int row = 0; row < 25; ++row) ASSERT_EQ(row_text(row), text.substr(static_cast<size_t>(row) * 80, 80)) << row;
    expect_cursor(24, 79);
    EXPECT_TRUE(pending());

    print(text + "!");  // every row scrolls once more; the last full row ends above the "!"
    EXPECT_EQ(row_text(23), text.substr(1920, 80));
    EXPECT_EQ(row_text(24, 0, 2), "! ");
    expect_cursor(24, 1);
}

TEST_F(Console, WideTextBecomesBytes) {
    const uint16_t wide[] = {'H', 0xE4, 0x20AC, 0xD83D, 0xDE00, 'k', 0xD800};
    console_print_wide(wide, 7, 0);
    EXPECT_EQ(row_text(0, 0, 6), "H\xE4?" "?k?");
    EXPECT_EQ(cell(1, 0).ch, 0xFFE4);
    expect_cursor(0, 6);
    console_print_cstring("ok", 0);
    EXPECT_EQ(row_text(0, 6, 2), "ok");
    console_print_cstring(nullptr, 0);
    console_print_wide(nullptr, 4, 0);
    expect_cursor(0, 8);
}
