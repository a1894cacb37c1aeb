// Palettes and colour conversion: the default palettes with their attribute maps, setting
// and resetting entries, sending them to the driver, and 32-bit colours in pixel formats.
#pragma once

#include <cstdint>

namespace vx {

// A 32-bit colour (0xAARRGGBB) in the pixel format of `bytes_per_pixel`: the low byte at 1,
// 5-6-5 at 2, unchanged at 4.
uint32_t colour_convert(int bytes_per_pixel, uint32_t colour);
// The 5-6-5 step alone: (blue >> 3) + (green >> 2) * 32 + (red >> 3) * 2048.
uint32_t rgb_to_565(uint32_t colour);

// index >= 0: sets one entry, from 8-bit red c, green g, blue b when g and b are >= 0, else
// from the colour value c (6-bit levels, r + g * 256 + b * 65536). A negative index resets the
// default palette (for mode 1, -1 - index picks one of its four attribute maps).
void palette_set(int index, uint32_t c, int g = -1, int b = -1);
void palette_entry_set(int index, uint32_t colour);
// Sends all 256 device palette entries to the driver.
void palette_push();

}  // namespace vx
