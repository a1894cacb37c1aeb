// The graphics versions of the console's colour, clear and text-size operations and the text
// cursor and size queries, installed in the console hooks while a screen is open.
#pragma once

#include <cstdint>

namespace vx {

constexpr uint32_t cls_no_argument = 0xFFFF0000u;

uint32_t gfx_color(uint32_t fg, uint32_t bg, int which);
void gfx_cls(uint32_t how);
int gfx_width(int cols, int rows);
int text_col_query();
int text_row_query();
int text_pos_query(int* col, int* row);
int text_size_query(int* cols, int* rows);
void view_reset();
void text_cells_fill(int x1, int y1, int x2, int y2, int page, uint16_t character, uint32_t fg, uint32_t bg);

}  // namespace vx
