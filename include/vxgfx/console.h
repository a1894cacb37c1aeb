// vxgfx text console on the screen: colours, clearing, the text grid and printing in character
// cells with scrolling, as a text-mode program would on its console. Rows and columns are
// counted from 1 where a result reports them.
#pragma once

#include <cstdint>

namespace vx {

// Sets the foreground and background colours (0xAARRGGBB; palette indexes on palette screens)
// that text, clearing and calls given no colour use. which: bit 0 keeps the foreground, bit 1
// the background. Returns the previous foreground (at depth 8 or less, foreground + background
// * 65536; at 16 bits, widened to 0xFFRRGGBB). Without a screen: nothing, and 0.
uint32_t gfx_color(uint32_t fg, uint32_t bg, int which);

// gfx_cls's "no argument": the whole screen, or the text view when one is set.
constexpr uint32_t cls_no_argument = 0xFFFF0000u;
// Clears to the background colour: 0 the whole work page and its text, 1 the clip rectangle,
// 2 the text view's rows; the text cursor goes home (0 and 2). Marks the lines dirty.
void gfx_cls(uint32_t how);

// Sets the text grid to cols x rows cells (0 or less: that one unchanged), choosing the font
// whose cells fill the screen: 8 pixels wide, 8, 14 or 16 high; clears the screen. A size that
// no font fits changes nothing. Returns the previous grid as cols + rows * 65536.
int gfx_width(int cols, int rows);

// The text cursor (1-based) and the grid's size; each output may be null.
int text_pos_query(int* col, int* row);
int text_size_query(int* cols, int* rows);

// Prints `length` bytes at the text cursor in the current colours, opaquely, cell by cell;
// 13 goes to the start of the row, 10 to the next row, 8 one column back, 9 to the next tab
// stop (every 8 columns); the text scrolls up at the bottom.
// flags: print_even_if_empty. Without a screen: nothing.
void console_print(const char* text, int length, int flags);
void console_print_cstring(const char* text, int flags);
constexpr int print_even_if_empty = 0x8;  // moves the cursor and takes a pending line feed

// Moves the text cursor to row, col (1-based; 0 keeps that one). Returns the new position as
// (row << 8) + col.
int console_locate(int row, int col, int ignored);

}  // namespace vx
