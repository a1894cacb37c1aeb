// Drawing byte strings with the built-in fonts or with font images.
#pragma once

#include <cstdint>

#include "gfx/image.h"

namespace vx {

// Draws `length` bytes of `text` with the top-left of the first glyph at (x, y). flags: low
// three bits relative mode, bit 31 use the foreground colour. font null: the screen's built-in
// font; else a font image drawn through `put`. text null gives 1; an empty text 0.
int draw_string(void* target, float x, float y, uint32_t flags, const char* text, int32_t length, uint32_t colour,
                void* font, int put_mode, put_fn put, void* blender, void* param);

}  // namespace vx
