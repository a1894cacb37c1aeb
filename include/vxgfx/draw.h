// vxgfx drawing: pixels, lines and boxes on the screen's work page or on an image.
//
// Coordinates are floats, rounded to pixels with halves away from zero; both corners of a box
// are included. Drawing is clipped to the target. A coordinate-flags word carries in its low
// three bits how the points are given: 4 absolute; 2 and 5 relative to the last point drawn,
// 1 the second point relative to the first. Its bit 31 (coord_no_colour) means "no colour
// given": the current foreground (gfx_color) is used instead. Colours are 0xAARRGGBB; on a
// 16-bit target they are converted to 5-6-5, on an 8-bit one their low byte is the palette
// index. Without a screen nothing is drawn and nothing is reported.
#pragma once

#include <cstdint>

namespace vx {

constexpr uint32_t coord_no_colour = 0x80000000u;

enum LineKind : int { line_kind_line = 0, line_kind_filled_box = 2, line_kind_box = 1 };

// Draws a line from (x1, y1) to (x2, y2), a box outline or a filled box with those corners, on
// `target`: null for the screen, else an image from image_create (which stays the caller's).
// style: 16 bits taken from bit 15 down, one per pixel position, a pixel drawn where the bit is
// 1; 0xFFFF is solid (and fastest). Lines the screen shows are marked dirty and presented.
void line_draw(void* target, float x1, float y1, float x2, float y2, uint32_t colour, int kind,
               uint32_t style, uint32_t flags);

// A box from (x1, y1) to (x2, y2) in whole pixels (x1 <= x2, y1 <= y2), on the target the last
// drawing call chose, with `colour` already in the target's pixel format (colour_convert).
void box_draw(int x1, int y1, int x2, int y2, uint32_t colour, bool filled, uint32_t style);

// Sets one pixel of `target` (null: the screen). With coord_no_colour in flags it takes the
// foreground colour, or the background one when use_bg is true.
void pixel_set(void* target, float x, float y, uint32_t colour, uint32_t flags, bool use_bg);

}  // namespace vx
