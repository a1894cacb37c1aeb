// The text console on the graphics screen: console output laid out in character cells of the
// current built-in font, scrolling of the print window, and the text cursor.
#include "gfx/console.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <unistd.h>

#include "gfx/console_ops.h"
#include "gfx/context.h"
#include "gfx/primitives.h"
#include "runtime/console.h"

namespace vx {
namespace {

constexpr int run_capacity = 1024;

// The machine has no sound device of its own here; a terminal on stderr can still ring.
void sound_beep() {
    if (isatty(STDERR_FILENO) == 1) {
        ssize_t written = write(STDERR_FILENO, "\a", 1);
        (void)written;
    }
}

// One print call: the window, the cursor moving through it and the pending run of characters.
struct Printer {
    GfxContext* ctx;
    DrawState* state;
    ConsoleWindow window;
    int col, row;
    DirtySpan span;
    char run[run_capacity];
    int run_length = 0;

    void scroll_below_bottom() {
        if (row > window.bottom) console_scroll(ctx, state, window, row - window.bottom, &span, &row);
    }

    void write_run() {
        int done = 0;
        while (done < run_length) {
            scroll_below_bottom();
            int count = std::min(run_length - done, window.right - col + 1);
            console_put_cells(ctx, state, col, row, run + done, count, &span);
            col += count;
            done += count;
            if (col > window.right) {
                col = window.left;
                ++row;
            }
        }
        run_length = 0;
    }

    void add(char c) {
        run[run_length++] = c;
        if (run_length == run_capacity) write_run();
    }

    // The column the next character of the run lands in.
    int run_end_column() const {
        int width = window.right - window.left + 1;
        return window.left + (col - window.left + run_length) % width;
    }

    void lay_out(const char* text, int length) {
        for (int i = 0; i < length; ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            switch (c) {
                case 7: sound_beep(); break;
                case 8:
                    write_run();
                    if (col > window.left) --col;
                    break;
                case 9:
                    for (int n = 8 - (run_end_column() - window.left) % 8; n > 0; --n) add(' ');
                    break;
                case 10:
                    write_run();
                    col = window.left;
                    ++row;
                    break;
                case 13:
                    write_run();
                    col = window.left;
                    break;
                default: add(static_cast<char>(c)); break;
            }
        }
        write_run();
    }
};

}  // namespace

void console_put_cells(GfxContext* ctx, DrawState* s, int col, int row, const char* text, int count, DirtySpan* span) {
    const FontDesc* font = ctx->font;
    int fw = font->width, fh = font->height, row_bytes = (fw + 7) / 8;
    std::vector<TextCell>& grid = ctx->text_cells[static_cast<size_t>(s->work_page)];
    // The grid always fits the page (gfx_width picks the font from the cell size); refuse a
    // run that would not, rather than write past a line or the grid.
    if (count <= 0 || col < 0 || row < 0 || col + count > ctx->text_cols || row >= ctx->text_rows ||
        static_cast<int64_t>(col + count) * fw > ctx->width || static_cast<int64_t>(row + 1) * fh > ctx->height ||
        grid.size() < static_cast<size_t>(row + 1) * ctx->text_cols)
        return;

    int x0 = col * fw, y0 = row * fh;
    if (count == 1 && static_cast<unsigned char>(text[0]) == 0xFF) {
        // The cursor's underline: only the cell's bottom pixel row, in the foreground colour.
        s->fill_span(s->lines[static_cast<size_t>(y0 + fh - 1)] + static_cast<ptrdiff_t>(x0) * s->target_bpp, s->fg,
                     static_cast<size_t>(fw));
    } else {
        for (int i = 0; i < count; ++i) {
            const uint8_t* glyph =
                font->glyphs + static_cast<size_t>(static_cast<unsigned char>(text[i])) * fh * row_bytes;
            int x = x0 + i * fw;
            for (int r = 0; r < fh; ++r)
                for (int b = 0; b < row_bytes; ++b) {
                    uint8_t bits = *glyph++;
                    for (int bit = 0; bit < 8; ++bit)
                        s->put_pixel(s, x + b * 8 + bit, y0 + r, (bits >> bit) & 1 ? s->fg : s->bg);
                }
        }
    }
    span->add(y0, y0 + fh);
    TextCell* cell = grid.data() + static_cast<size_t>(row) * ctx->text_cols + col;
    for (int i = 0; i < count; ++i) {
        // Character bytes are stored sign-extended, as the console's own cells hold them.
        auto code = static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(text[i])));
        cell[i] = TextCell{code, s->fg, s->bg};
    }
}

void console_scroll(GfxContext* ctx, DrawState* s, const ConsoleWindow& w, int n, DirtySpan* span, int* cursor_row) {
    int fw = ctx->font->width, fh = ctx->font->height;
    int window_rows = w.bottom - w.top + 1;
    n = std::clamp(n, 0, window_rows);  // more rows than the window holds clear it all the same
    int width = (w.right - w.left + 1) * fw;
    int band_top = w.top * fh, band_end = std::min((w.bottom + 1) * fh, ctx->height);
    int band_height = band_end - band_top, shift = n * fh;
    size_t x_offset = static_cast<size_t>(w.left) * fw * s->target_bpp;
    if (band_height > 0 && width > 0) {
        int kept = shift < band_height ? band_height - shift : 0;
        for (int k = 0; k < kept; ++k)
            routine_set.copy_span(s->lines[static_cast<size_t>(band_top + k)] + x_offset,
                                  s->lines[static_cast<size_t>(band_top + shift + k)] + x_offset, static_cast<size_t>(width));
        for (int y = band_top + kept; y < band_end; ++y)
            s->fill_span(s->lines[static_cast<size_t>(y)] + x_offset, s->bg, static_cast<size_t>(width));
        span->add(band_top, band_end);
    }

    std::vector<TextCell>& grid = ctx->text_cells[static_cast<size_t>(s->work_page)];
    int cells_per_row = w.right - w.left + 1;
    if (n < window_rows && grid.size() >= static_cast<size_t>(w.bottom + 1) * ctx->text_cols) {
        for (int r = w.top; r + n <= w.bottom; ++r)
            std::memmove(grid.data() + static_cast<size_t>(r) * ctx->text_cols + w.left,
                         grid.data() + static_cast<size_t>(r + n) * ctx->text_cols + w.left,
                         static_cast<size_t>(cells_per_row) * sizeof(TextCell));
        text_cells_fill(w.left, w.bottom - n + 1, w.right + 1, w.bottom + 1, s->work_page, ' ', s->fg, s->bg);
    } else {
        text_cells_fill(w.left, w.top, w.right + 1, w.bottom + 1, s->work_page, ' ', s->fg, s->bg);
    }
    *cursor_row = w.bottom;
}

void console_print(const char* text, int length, int flags) {
    if (length <= 0 && !(flags & print_even_if_empty)) return;
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    if (!text || length < 0) length = 0;
    DrawState* s = draw_state();
    set_target(s, nullptr);
    choose_routines(s, 0xFF000000u);

    int cols = 0, rows = 0;
    rt_text_size(&cols, &rows);
    cols = std::min(cols, ctx->text_cols);
    rows = std::min(rows, ctx->text_rows);
    if (cols <= 0 || rows <= 0) return;  // a screen narrower than one cell has no console
    bracket_begin(ctx);

    Printer p{ctx, s, {}, ctx->text_col, ctx->text_row, {}, {}};
    p.window.left = 0;
    p.window.right = cols - 1;
    console_view_get(rows, &p.window.top, &p.window.bottom);
    // A cursor put outside the grid by hand starts from the nearest cell inside it.
    p.col = std::clamp(p.col, 0, p.window.right);
    p.row = std::max(p.row, 0);

    if (ctx->flags & ctx_pending_line_feed) {
        ctx->flags &= ~ctx_pending_line_feed;
        p.col = p.window.left;
        ++p.row;
        p.scroll_below_bottom();
    }
    p.lay_out(text, length);
    if (p.col == p.window.left && p.row == p.window.bottom + 1) {
        // The line feed after the bottom-right cell waits for the next print, so that a full
        // last line does not scroll the window before anything follows it.
        ctx->flags |= ctx_pending_line_feed;
        p.col = p.window.right;
        p.row = p.window.bottom;
    } else {
        p.scroll_below_bottom();
    }
    console_set_cursor(p.row, p.col);

    if (p.span.bottom > p.span.top) bracket_mark_dirty(ctx, s, p.span.top, p.span.bottom - 1);
    bracket_end(ctx);
}

void console_print_cstring(const char* text, int flags) {
    console_print(text, text ? static_cast<int>(std::strlen(text)) : 0, flags);
}

void console_print_wide(const uint16_t* text, int length, int flags) {
    std::string bytes;
    for (int i = 0; text && i < length; ++i) {
        uint16_t unit = text[i];
        if (unit < 256) {
            bytes.push_back(static_cast<char>(unit));
            continue;
        }
        bytes.push_back('?');
        if (unit >= 0xD800 && unit <= 0xDBFF) ++i;  // the pair's second half belongs to this "?"
    }
    console_print(bytes.data(), static_cast<int>(bytes.size()), flags);
}

int console_set_cursor(int row, int col) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return 0;
    // Kept inside the grid: every later print writes at the cursor without clipping.
    if (row >= 0) ctx->text_row = std::min(row, std::max(ctx->text_rows - 1, 0));
    if (col >= 0) ctx->text_col = std::min(col, std::max(ctx->text_cols - 1, 0));
    return (ctx->text_row & 0xFF) << 8 | (ctx->text_col & 0xFF);
}

int console_locate(int row, int col, int) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return 0;
    ctx->flags &= ~ctx_pending_line_feed;
    console_set_cursor(row - 1, col - 1);
    console_state.print_col = ctx->text_col;
    return ((ctx->text_row + 1) << 8) + ctx->text_col + 1;
}

void console_cursor_back() {
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    if (--ctx->text_col >= 0) return;
    if (ctx->text_row == 0) {
        ctx->text_col = 0;  // the top-left cell has no cell before it
        return;
    }
    --ctx->text_row;
    ctx->text_col = std::max(ctx->text_cols - 1, 0);
}

}  // namespace vx
