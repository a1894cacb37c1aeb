// vxgfx colours and palettes: converting 0xAARRGGBB colours to a pixel format, and the 256
// palette entries of a palette (8-bit and smaller) screen.
#pragma once

#include <cstdint>

namespace vx {

// A 32-bit colour (0xAARRGGBB) in the pixel format of `bytes_per_pixel`: the low byte at 1,
// 5-6-5 at 2, unchanged at 4.
uint32_t colour_convert(int bytes_per_pixel, uint32_t colour);
// The 5-6-5 step alone: (blue >> 3) + (green >> 2) * 32 + (red >> 3) * 2048.
uint32_t rgb_to_565(uint32_t colour);

// On a screen of depth 8 or less: index >= 0 sets that entry, from 8-bit red c, green g, blue b
// when g and b are >= 0, else from the colour value c (6-bit levels, r + g * 256 + b * 65536).
// A negative index puts back the screen's default palette. The window shows the change at its
// next presentation, pixels unchanged. Without a screen, or above depth 8: nothing.
void palette_set(int index, uint32_t c, int g = -1, int b = -1);
// Sets one entry from a colour value as palette_set(index, colour) does.
void palette_entry_set(int index, uint32_t colour);

}  // namespace vx
