// The text console drawn on the graphics screen: printing in character cells with scrolling,
// the text cursor with its deferred line feed, and cursor positioning.
#pragma once

#include <algorithm>
#include <cstdint>

#include <vxgfx/console.h>

namespace vx {

struct GfxContext;
struct DrawState;

void console_print_wide(const uint16_t* text, int length, int flags);
int console_set_cursor(int row, int col);
void console_cursor_back();

// The print window in cells, all bounds inclusive.
struct ConsoleWindow {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// Pixel rows changed by one print call: top inclusive, bottom exclusive, empty when equal.
struct DirtySpan {
    int top = 0, bottom = 0;
    void add(int first, int end) {
        if (end <= first) return;
        if (bottom <= top) {
            top = first;
            bottom = end;
        } else {
            top = std::min(top, first);
            bottom = std::max(bottom, end);
        }
    }
};

// Draws `count` characters opaquely in fg on bg from cell (col, row) of the work page and
// stores them in its grid; a run of the single byte 0xFF draws the cell's underline instead.
void console_put_cells(GfxContext* ctx, DrawState* state, int col, int row, const char* text, int count,
                       DirtySpan* span);
// Scrolls the window up by n rows, pixels and cells, filling the freed rows with spaces in bg;
// the cursor row becomes the window's bottom row.
void console_scroll(GfxContext* ctx, DrawState* state, const ConsoleWindow& window, int n, DirtySpan* span,
                    int* cursor_row);

}  // namespace vx
