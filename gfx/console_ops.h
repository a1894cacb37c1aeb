// The graphics versions of the console's colour, clear and text-size operations and the text
// cursor and size queries, installed in the console hooks while a screen is open.
#pragma once

#include <cstdint>

#include <vxgfx/console.h>

namespace vx {

int text_col_query();
int text_row_query();
void view_reset();
void text_cells_fill(int x1, int y1, int x2, int y2, int page, uint16_t character, uint32_t fg, uint32_t bg);

}  // namespace vx
