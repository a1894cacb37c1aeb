// vxgfx text: byte strings drawn in the built-in code-page-437 fonts (8 x 8, 8 x 14, 8 x 16)
// or with a font image.
#pragma once

#include <cstdint>

#include <vxgfx/image.h>

namespace vx {

// A built-in bitmap font: `height` bytes per glyph, one a glyph row, bit 0 the leftmost pixel;
// 256 glyphs in code-page-437 order. The library owns the glyphs.
struct FontDesc {
    int32_t width;
    int32_t height;
    const uint8_t* glyphs;
};

// The built-in font the open screen draws its text in (8 x 8 after screen_res; gfx_width
// changes it), null without a screen. The library owns it.
const FontDesc* screen_font();

// Draws `length` bytes of `text` (code page 437: 0x84 "ä", 0xE1 "ß") with the top-left of the
// first glyph at (x, y), transparently: the glyphs' pixels in `colour`, the rest untouched.
// target: null for the screen, else an image. flags: coordinates as in <vxgfx/draw.h>, bit 31
// for the foreground colour. font null: the screen's built-in font; else a font image drawn
// through `put` (put_mode, blender and param as put_image takes them).
// Returns 0 (drawn, or nothing to draw), 1 when text is null or the font image is unusable;
// stored as the last error. The text stays the caller's.
int draw_string(void* target, float x, float y, uint32_t flags, const char* text, int32_t length, uint32_t colour,
                void* font, int put_mode, put_fn put, void* blender, void* param);

}  // namespace vx
