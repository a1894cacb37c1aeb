// Colours, clears and text sizes on the screen: the application's start-up calls, the clear
// variants on real pixels, dirty lines and text cells, and the hooks that reach them.
#include <gtest/gtest.h>

#include "gfx/console.h"
#include "gfx/console_ops.h"
#include "gfx/context.h"
#include "gfx/palette.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "runtime/console.h"
#include "tests/support/fake_driver.h"
#include "tests/test_text_pixels.h"

using namespace vx;
using vxtest::fake;

namespace {

struct ConsoleOps : ::testing::Test {
    void TearDown() override { vxtest::restore_drivers(); }

    static const std::vector<TextCell>& grid(int page = 0) { return gfx_context()->text_cells[static_cast<size_t>(page)]; }
    static const TextCell& cell(int col, int row) { return grid()[static_cast<size_t>(row) * gfx_context()->text_cols + col]; }
    static void mark_cells(uint16_t ch) {
        GfxContext* ctx = gfx_context();
        text_cells_fill(0, 0, ctx->text_cols, ctx->text_rows, 0, ch, 1, 2);
    }
};

}  // namespace

TEST_F(ConsoleOps, TheApplicationsStartUpSequence) {
    ASSERT_EQ(vxtest::open_fake_screen(720, 190, 32, 4), 0);
    GfxContext* ctx = gfx_context();

    EXPECT_EQ(gfx_width(90, 13), 90 + 23 * 65536);
    EXPECT_EQ(ctx->font, &font_8x14());
    EXPECT_EQ(ctx->text_cols, 90);
    EXPECT_EQ(ctx->text_rows, 13);
    EXPECT_EQ(grid().size(), 90u * 13u);

    // 720 / 100 is no 8-pixel cell: nothing changes, the size is still reported.
    EXPECT_EQ(gfx_width(100, 13), 90 + 13 * 65536);
    EXPECT_EQ(ctx->font, &font_8x14());
    EXPECT_EQ(ctx->text_cols, 90);

    EXPECT_EQ(gfx_color(0, 0xC8C0B8, 0), 0xFFFFFFFFu);
    DrawState* s = draw_state();
    EXPECT_EQ(s->fg, 0u);
    EXPECT_EQ(s->bg, 0x00C8C0B8u);

    vxtest::clear_dirty();
    int locks = fake.locks;
    gfx_cls(cls_no_argument);
    EXPECT_EQ(fake.locks, locks + 1);
    vxtest::Frame expected{720, 190, std::vector<uint32_t>(720 * 190, 0x00C8C0B8u)};
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(vxtest::dirty_count(), 190);
    EXPECT_EQ(cell(89, 12).ch, ' ');
    EXPECT_EQ(cell(89, 12).fg, 0u);
    EXPECT_EQ(cell(89, 12).bg, 0x00C8C0B8u);
    EXPECT_EQ(ctx->text_row, 0);
    EXPECT_EQ(ctx->text_col, 0);
    EXPECT_EQ(s->last_x, 360.0f);
    EXPECT_EQ(s->last_y, 95.0f);
}

TEST_F(ConsoleOps, HooksReachTheScreenWhileItIsOpen) {
    ASSERT_EQ(vxtest::open_fake_screen(720, 190, 32, 4), 0);
    EXPECT_EQ(rt_width(90, 13), 90 + 23 * 65536);
    EXPECT_EQ(gfx_context()->font, &font_8x14());
    EXPECT_EQ(rt_color(0x123456, 0x654321, 0), 0xFFFFFFFFu);
    EXPECT_EQ(draw_state()->fg, 0x123456u);
    rt_cls(cls_no_argument);
    EXPECT_EQ(vxtest::screen_pixel(719, 189), 0x654321u);
    EXPECT_EQ(rt_locate(3, 7), (3 << 8) + 7);
    EXPECT_EQ(rt_text_col(), 7);
    EXPECT_EQ(rt_text_row(), 3);
    int col = 0, row = 0, cols = 0, rows = 0;
    rt_text_pos(&col, &row);
    rt_text_size(&cols, &rows);
    EXPECT_EQ(col, 7);
    EXPECT_EQ(row, 3);
    EXPECT_EQ(cols, 90);
    EXPECT_EQ(rows, 13);
    rt_print("AB", 2, 0);
    EXPECT_EQ(gfx_context()->text_col, 8);
    EXPECT_EQ(cell(6, 2).ch, 'A');

    // Closed: the console versions answer again.
    vxtest::restore_drivers();
    console_state.cols = 80;
    console_state.rows = 25;
    EXPECT_EQ(rt_color(1, 2, 0), 0u);
    EXPECT_EQ(rt_width(40, 0), 80 + 25 * 65536);
    EXPECT_EQ(console_state.cols, 40);
    console_state.cols = 80;
}

TEST_F(ConsoleOps, WidthChoosesTheFontByCellSize) {
    ASSERT_EQ(vxtest::open_fake_screen(640, 480, 32, 0), 0);
    GfxContext* ctx = gfx_context();
    EXPECT_EQ(gfx_width(80, 30), 80 + 60 * 65536);
    EXPECT_EQ(ctx->font, &font_8x16());
    // Rows alone: the width stays that of the current font and the column count is kept.
    EXPECT_EQ(gfx_width(0, 60), 80 + 30 * 65536);
    EXPECT_EQ(ctx->font, &font_8x8());
    EXPECT_EQ(ctx->text_cols, 80);
    EXPECT_EQ(ctx->text_rows, 60);
    EXPECT_EQ(gfx_width(0, 480 / 14), 80 + 60 * 65536);
    EXPECT_EQ(ctx->font, &font_8x14());
    EXPECT_EQ(ctx->text_rows, 34);
    // Cells 7 pixels high, 16 wide, or neither argument: refused without touching the screen.
    line_draw(nullptr, 0, 0, 5, 0, 0xFF0000, 0, 0xFFFF, 4);
    for (auto [cols, rows] : {std::pair{0, 68}, std::pair{40, 0}, std::pair{0, 0}, std::pair{-1, -3}})
        EXPECT_EQ(gfx_width(cols, rows), 80 + 34 * 65536) << cols << "," << rows;
    EXPECT_EQ(ctx->font, &font_8x14());
    EXPECT_EQ(vxtest::screen_pixel(3, 0), 0xFF0000u);
}

TEST_F(ConsoleOps, WidthResetsGridsViewAndClear) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 32, 32, 0), 0);
    ASSERT_EQ(screen_res(64, 32, 32, 2, 0, 0), 0);
    GfxContext* ctx = gfx_context();
    DrawState* s = draw_state();
    gfx_color(0x0000FF, 0x00FF00, 0);
    s->flags |= state_view;
    s->clip_x = 4;
    s->clip_w = 8;
    console_view_set(1, 2);
    ctx->flags |= ctx_pending_line_feed;
    line_draw(nullptr, 0, 0, 63, 31, 0xFF0000, 2, 0xFFFF, 4);

    EXPECT_EQ(gfx_width(8, 2), 8 + 4 * 65536);
    EXPECT_EQ(ctx->font, &font_8x16());
    EXPECT_EQ(s->flags & state_view, 0u);
    EXPECT_EQ(s->clip_x, 0);
    EXPECT_EQ(s->clip_w, 64);
    EXPECT_EQ(console_state.view_top, -1);
    EXPECT_EQ(ctx->flags & ctx_pending_line_feed, 0u);
    ASSERT_EQ(ctx->text_cells.size(), 2u);
    EXPECT_EQ(ctx->text_cells[0].size(), 16u);
    EXPECT_EQ(ctx->text_cells[1].size(), 16u);
    EXPECT_EQ(ctx->text_cells[0][15].ch, ' ');
    EXPECT_EQ(ctx->text_cells[0][15].bg, 0x00FF00u);
    EXPECT_TRUE(vxtest::screen_matches({64, 32, std::vector<uint32_t>(64 * 32, 0x00FF00u)}));
}

TEST_F(ConsoleOps, ClearOfTheTextViewAndOfTheClipRectangle) {
    ASSERT_EQ(vxtest::open_fake_screen(64, 40, 32, 0), 0);
    gfx_width(8, 5);  // 8 x 8 cells, 8 x 5 grid
    GfxContext* ctx = gfx_context();
    DrawState* s = draw_state();
    line_draw(nullptr, 0, 0, 63, 39, 0xFF0000, 2, 0xFFFF, 4);
    mark_cells('x');
    gfx_color(0xFFFFFF, 0x0000FF, 0);
    vxtest::Frame expected = vxtest::snapshot();

    // A partial text view: the no-argument clear takes rows 1..2 (lines 8..23) only.
    console_view_set(1, 2);
    s->last_x = 3;
    vxtest::clear_dirty();
    gfx_cls(cls_no_argument);
    for (int y = 8; y < 24; ++y)
        for (int x = 0; x < 64; ++x) expected.at(x, y) = 0x0000FF;
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(vxtest::dirty_count(), 16);
    EXPECT_TRUE(vxtest::dirty(8) && vxtest::dirty(23));
    EXPECT_EQ(cell(0, 0).ch, 'x');
    EXPECT_EQ(cell(7, 1).ch, ' ');
    EXPECT_EQ(cell(7, 2).ch, ' ');
    EXPECT_EQ(cell(0, 3).ch, 'x');
    EXPECT_EQ(ctx->text_row, 1);
    EXPECT_EQ(ctx->text_col, 0);
    EXPECT_EQ(s->last_x, 3.0f);

    // A view rectangle in force: the clip rectangle alone, cells and cursor stay.
    console_view_set(-1, -1);
    gfx_color(0, 0x00FF00, 1);
    s->flags |= state_view;
    s->clip_x = 10;
    s->clip_y = 30;
    s->clip_w = 5;
    s->clip_h = 3;
    console_locate(5, 4, 0);
    vxtest::clear_dirty();
    gfx_cls(cls_no_argument);
    for (int y = 30; y < 33; ++y)
        for (int x = 10; x < 15; ++x) expected.at(x, y) = 0x00FF00;
    EXPECT_TRUE(vxtest::screen_matches(expected));
    EXPECT_EQ(vxtest::dirty_count(), 3);
    EXPECT_EQ(cell(0, 4).ch, 'x');
    EXPECT_EQ(ctx->text_row, 4);
    EXPECT_EQ(ctx->text_col, 3);
    EXPECT_EQ(s->last_x, 12.0f);
    EXPECT_EQ(s->last_y, 31.0f);
}

TEST_F(ConsoleOps, ClearOfAHiddenWorkPageMarksNoLines) {
    ASSERT_EQ(vxtest::open_fake_screen(32, 16, 32, 0), 0);
    ASSERT_EQ(screen_res(32, 16, 32, 2, 0, 0), 0);
    page_select(1, 0);
    gfx_color(0, 0x336699, 0);
    vxtest::clear_dirty();
    gfx_cls(0);
    EXPECT_EQ(vxtest::dirty_count(), 0);
    EXPECT_EQ(vxtest::screen_pixel(31, 15), 0xFF000000u);  // page 0 is the visible one
    const uint8_t* page1 = gfx_context()->pages[1].get();
    EXPECT_EQ(load32(page1), 0x336699u);
    EXPECT_EQ(load32(page1 + 32 * 16 * 4 - 4), 0x336699u);
    EXPECT_EQ(gfx_context()->text_cells[1][0].ch, ' ');
}

TEST_F(ConsoleOps, ColourKeepsAndConvertsPerDepth) {
    ASSERT_EQ(vxtest::open_fake_screen(16, 8, 32, 0), 0);
    DrawState* s = draw_state();
    gfx_color(0x11223344, 0x55667788, 0);
    EXPECT_EQ(gfx_color(1, 2, 3), 0x11223344u);  // both kept
    EXPECT_EQ(s->fg, 0x11223344u);
    EXPECT_EQ(s->bg, 0x55667788u);
    gfx_color(1, 2, 1);
    EXPECT_EQ(s->fg, 0x11223344u);
    EXPECT_EQ(s->bg, 2u);

    // Depth 16: 5-6-5 stored, the previous foreground widened by repeating its top bits.
    ASSERT_EQ(vxtest::open_fake_screen(16, 8, 16, 0), 0);
    s = draw_state();
    EXPECT_EQ(gfx_color(0xFF0000, 0x00FF00, 0), 0xFFFFFFFFu);  // default fg 0xFFFF
    EXPECT_EQ(s->fg, 0xF800u);
    EXPECT_EQ(s->bg, 0x07E0u);
    EXPECT_EQ(gfx_color(0x080808, 0, 2), 0xFFFF0000u);
    EXPECT_EQ(s->fg, 0x0841u);
    EXPECT_EQ(gfx_color(0, 0, 3), 0xFF080808u);

    // Depth 8: foreground and background packed, each cut to the pixel.
    ASSERT_EQ(vxtest::open_fake_screen(16, 8, 8, 0), 0);
    s = draw_state();
    EXPECT_EQ(gfx_color(0x1234, 0x56, 0), 15u);
    EXPECT_EQ(s->fg, 0x34u);
    EXPECT_EQ(gfx_color(0, 0, 3), 0x34u + 0x56u * 65536);
}

TEST_F(ConsoleOps, ColourInPaletteModesGoesThroughThePalette) {
    vxtest::use_fake_driver();
    ASSERT_EQ(screen_mode(7, 0, 0, 0, 0), 0);
    DrawState* s = draw_state();
    GfxContext* ctx = gfx_context();
    int calls = fake.palette_calls;
    gfx_color(0x1F, 0x23, 0);
    EXPECT_EQ(s->fg, 0x0Fu);
    EXPECT_EQ(ctx->attribute_map[0], 3);  // background: palette entry 0 shows master entry bg & 15
    EXPECT_EQ(fake.palette_calls, calls + 1);

    ASSERT_EQ(screen_mode(1, 0, 0, 0, 0), 0);
    s = draw_state();
    ctx = gfx_context();
    uint32_t fg = s->fg;
    gfx_color(5, 2, 0);  // background 2 picks the map (0, 10, 12, 14)
    EXPECT_EQ(ctx->attribute_map[1], 10);
    EXPECT_EQ(ctx->attribute_map[3], 14);
    EXPECT_EQ(ctx->attribute_map[0], 5);  // then entry 0 from the foreground
    EXPECT_EQ(s->fg, fg);
    gfx_color(0, 3, 1);
    EXPECT_EQ(ctx->attribute_map[1], 11);
    EXPECT_EQ(ctx->attribute_map[0], 0);
}

TEST_F(ConsoleOps, CellFillsStayInsideTheGrid) {
    ASSERT_EQ(vxtest::open_fake_screen(80, 16, 32, 0), 0);
    GfxContext* ctx = gfx_context();
    ASSERT_EQ(ctx->text_cols, 10);
    ASSERT_EQ(ctx->text_rows, 2);
    text_cells_fill(8, 1, 50, 9, 0, 'z', 7, 8);
    EXPECT_EQ(cell(7, 1).ch, ' ');
    EXPECT_EQ(cell(8, 1).ch, 'z');
    EXPECT_EQ(cell(9, 1).ch, 'z');
    EXPECT_EQ(cell(9, 0).ch, ' ');
    text_cells_fill(-100, -100, 1000, 1000, 0, 'q', 7, 8);
    for (const TextCell& c : grid()) EXPECT_EQ(c.ch, 'q');
    EXPECT_EQ(grid().size(), 20u);
    text_cells_fill(0, 0, 10, 2, 1, 'r', 0, 0);   // no page 1
    text_cells_fill(0, 0, 10, 2, -1, 'r', 0, 0);
    text_cells_fill(5, 1, 2, 0, 0, 'r', 0, 0);    // empty
    for (const TextCell& c : grid()) EXPECT_EQ(c.ch, 'q');
}

TEST_F(ConsoleOps, CursorAndSizeQueries) {
    ASSERT_EQ(vxtest::open_fake_screen(720, 190, 32, 4), 0);
    console_locate(3, 7, 0);
    EXPECT_EQ(text_col_query(), 7);
    EXPECT_EQ(text_row_query(), 3);
    int col = 0, row = 0;
    text_pos_query(&col, nullptr);
    text_pos_query(nullptr, &row);
    EXPECT_EQ(col, 7);
    EXPECT_EQ(row, 3);
    int cols = 0;
    text_size_query(&cols, nullptr);
    EXPECT_EQ(cols, 90);
}
