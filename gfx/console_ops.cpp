// The screen's colour, clear and text-size operations and the text cursor and size queries,
// reached through the console hooks while a screen is open.
#include "gfx/console_ops.h"

#include <algorithm>
#include <new>

#include "gfx/console.h"
#include "gfx/context.h"
#include "gfx/palette.h"
#include "gfx/primitives.h"
#include "runtime/console.h"

namespace vx {
namespace {

// A 5-6-5 pixel as 0xFFRRGGBB, each channel filled out by repeating its top bits.
uint32_t widen_565(uint32_t pixel) {
    uint32_t r5 = (pixel >> 11) & 31, g6 = (pixel >> 5) & 63, b5 = pixel & 31;
    uint32_t red = r5 * 8 + r5 / 4, green = g6 * 4 + g6 / 16, blue = b5 * 8 + b5 / 4;
    return 0xFF000000u | red << 16 | green << 8 | blue;
}

// A colour for the current target as gfx_color stores it.
uint32_t colour_for_target(const GfxContext* ctx, const DrawState* s, uint32_t colour) {
    if (ctx->depth <= 8) return s->target_bpp >= 4 ? colour : colour & ((1u << (8 * s->target_bpp)) - 1);
    return s->target_bpp == 2 ? rgb_to_565(colour) : colour;
}

const FontDesc* font_for_cell(int width, int height) {
    if (width != 8) return nullptr;
    for (const FontDesc& font : builtin_fonts)
        if (font.height == height) return &font;
    return nullptr;
}

void set_centre_as_last_point(DrawState* s) {
    s->last_x = static_cast<float>(s->clip_x + (s->clip_w >> 1));
    s->last_y = static_cast<float>(s->clip_y + (s->clip_h >> 1));
}

}  // namespace

uint32_t gfx_color(uint32_t fg, uint32_t bg, int which) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return 0;
    DrawState* s = draw_state();
    uint32_t previous = ctx->depth <= 8 ? s->fg + s->bg * 65536u : ctx->depth == 16 ? widen_565(s->fg) : s->fg;
    bool keep_fg = which & 1, keep_bg = which & 2;
    switch (ctx->mode) {
        case 1:
            // bg picks one of the mode's four attribute maps: 3 -> map 0 ... 0 -> map 3.
            if (!keep_bg) palette_set(-1 - (3 - static_cast<int>(bg & 3)), 0);
            if (!keep_fg) palette_set(0, fg, -1, -1);
            break;
        case 7:
        case 8:
        case 9:
            if (!keep_fg) s->fg = fg & 15;
            if (!keep_bg) palette_set(0, bg, -1, -1);
            break;
        default:
            if (!keep_fg) s->fg = colour_for_target(ctx, s, fg);
            if (!keep_bg) s->bg = colour_for_target(ctx, s, bg);
            break;
    }
    return previous;
}

void gfx_cls(uint32_t how) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    DrawState* s = draw_state();
    set_target(s, nullptr);
    choose_routines(s, s->bg);
    bracket_begin(ctx);

    int top = 0, bottom = 0;
    console_view_get(ctx->text_rows, &top, &bottom);
    if (how == cls_no_argument) {
        if (s->flags & state_view) how = 1;
        else how = (top == 0 && bottom == ctx->text_rows - 1) ? 0 : 2;
    }

    uint8_t* page = ctx->pages[static_cast<size_t>(s->work_page)].get();
    if (how == 0) {
        s->fill_span(page, s->bg, static_cast<size_t>(ctx->width) * static_cast<size_t>(ctx->height));
        bracket_mark_dirty(ctx, s, 0, ctx->height - 1);
        text_cells_fill(0, 0, ctx->text_cols, ctx->text_rows, s->work_page, ' ', s->fg, s->bg);
        console_locate(top + 1, 1, 0);
        set_centre_as_last_point(s);
    } else if (how == 2) {
        int fh = ctx->font->height;
        int first_line = std::min(top * fh, ctx->height);
        int end_line = std::min((bottom + 1) * fh, ctx->height);
        if (end_line > first_line) {
            s->fill_span(page + static_cast<size_t>(first_line) * ctx->pitch, s->bg,
                         static_cast<size_t>(ctx->width) * static_cast<size_t>(end_line - first_line));
            bracket_mark_dirty(ctx, s, first_line, end_line - 1);
        }
        text_cells_fill(0, top, ctx->text_cols, bottom + 1, s->work_page, ' ', s->fg, s->bg);
        console_locate(top + 1, 1, 0);
    } else {
        for (int y = s->clip_y; y < s->clip_y + s->clip_h; ++y)
            s->fill_span(s->lines[static_cast<size_t>(y)] + static_cast<ptrdiff_t>(s->clip_x) * s->target_bpp, s->bg,
                         static_cast<size_t>(std::max(s->clip_w, 0)));
        if (s->clip_w > 0) bracket_mark_dirty(ctx, s, s->clip_y, s->clip_y + s->clip_h - 1);
        set_centre_as_last_point(s);
    }
    bracket_end(ctx);
}

int gfx_width(int cols, int rows) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return 0;
    int previous = ctx->text_cols + ctx->text_rows * 65536;
    if (cols <= 0 && rows <= 0) return previous;
    int cell_width = cols > 0 ? ctx->width / cols : ctx->font->width;
    int cell_height = rows > 0 ? ctx->height / rows : ctx->font->height;
    const FontDesc* font = font_for_cell(cell_width, cell_height);
    if (!font) return previous;

    int new_cols = cols > 0 ? cols : ctx->text_cols;
    int new_rows = rows > 0 ? rows : ctx->text_rows;
    DrawState* s = draw_state();
    size_t cells = static_cast<size_t>(new_cols) * static_cast<size_t>(new_rows);
    std::vector<std::vector<TextCell>> grids;
    try {
        grids.assign(ctx->text_cells.size(), {});
        for (size_t page = 0; page < grids.size(); ++page)
            grids[page].assign(cells, page == static_cast<size_t>(s->work_page) ? TextCell{' ', s->fg, s->bg} : TextCell{});
    } catch (const std::bad_alloc&) {
        return previous;  // the old grid stays, consistent with the old size
    }
    ctx->font = font;
    ctx->text_cols = new_cols;
    ctx->text_rows = new_rows;
    ctx->text_cells = std::move(grids);

    view_reset();
    console_view_set(-1, -1);
    gfx_cls(0);
    return previous;
}

int text_col_query() {
    GfxContext* ctx = gfx_context();
    return ctx ? ctx->text_col + 1 : 0;
}

int text_row_query() {
    GfxContext* ctx = gfx_context();
    return ctx ? ctx->text_row + 1 : 0;
}

int text_pos_query(int* col, int* row) {
    if (col) *col = text_col_query();
    if (row) *row = text_row_query();
    return 0;
}

int text_size_query(int* cols, int* rows) {
    GfxContext* ctx = gfx_context();
    if (cols) *cols = ctx ? ctx->text_cols : 0;
    if (rows) *rows = ctx ? ctx->text_rows : 0;
    return 0;
}

void view_reset() {
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    DrawState* s = draw_state();
    set_target(s, nullptr);
    s->flags &= ~state_view;
    s->clip_x = 0;
    s->clip_y = 0;
    s->clip_w = ctx->width;
    s->clip_h = ctx->height;
}

void text_cells_fill(int x1, int y1, int x2, int y2, int page, uint16_t character, uint32_t fg, uint32_t bg) {
    GfxContext* ctx = gfx_context();
    if (!ctx || page < 0 || static_cast<size_t>(page) >= ctx->text_cells.size()) return;
    std::vector<TextCell>& grid = ctx->text_cells[static_cast<size_t>(page)];
    int cols = ctx->text_cols, rows = ctx->text_rows;
    if (grid.size() < static_cast<size_t>(std::max(cols, 0)) * static_cast<size_t>(std::max(rows, 0))) return;
    // The rectangle is cut to the grid: callers pass window bounds, never trusted to be inside.
    x1 = std::clamp(x1, 0, std::max(cols, 0));
    x2 = std::clamp(x2, 0, std::max(cols, 0));
    y1 = std::clamp(y1, 0, std::max(rows, 0));
    y2 = std::clamp(y2, 0, std::max(rows, 0));
    for (int y = y1; y < y2; ++y)
        for (int x = x1; x < x2; ++x) grid[static_cast<size_t>(y) * cols + x] = TextCell{character, fg, bg};
}

}  // namespace vx
