// The text console drawn on the graphics screen: printing in character cells with scrolling,
// the text cursor with its deferred line feed, and cursor positioning.
#pragma once

#include <cstdint>

namespace vx {

void console_print(const char* text, int length, int flags);
void console_print_cstring(const char* text, int flags);
void console_print_wide(const uint16_t* text, int length, int flags);
int console_set_cursor(int row, int col);
int console_locate(int row, int col, int ignored);
void console_cursor_back();

}  // namespace vx
