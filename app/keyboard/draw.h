// The keyboard's drawing vocabulary: boxes, lines, dots and text at absolute pixel
// coordinates, on the screen or on an image, so that call sites carry no flag words.
#pragma once

#include <cstdint>
#include <string_view>

#include <vxgfx/image.h>
#include <vxgfx/draw.h>
#include <vxgfx/text.h>

namespace app {

// Where a drawing goes: the screen, or an image made with vx::image_create.
inline void* const screen = nullptr;

namespace draw_flags {
// The low three bits choose relative coordinates; 4 is none of the relative modes.
constexpr uint32_t absolute = 4;
constexpr uint32_t solid = 0xFFFF;  // a line style with every pixel set
constexpr uint32_t mask_filled = 0x80000000u;  // a new image starts as the mask colour
constexpr uint32_t opaque = 0xFFFFFFFF;
}  // namespace draw_flags

inline void fill_box(void* target, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour) {
    vx::line_draw(target, static_cast<float>(x1), static_cast<float>(y1), static_cast<float>(x2), static_cast<float>(y2),
                  colour, vx::line_kind_filled_box, draw_flags::solid, draw_flags::absolute);
}

inline void draw_line(void* target, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour) {
    vx::line_draw(target, static_cast<float>(x1), static_cast<float>(y1), static_cast<float>(x2), static_cast<float>(y2),
                  colour, vx::line_kind_line, draw_flags::solid, draw_flags::absolute);
}

inline void dot(void* target, int32_t x, int32_t y, uint32_t colour) {
    vx::pixel_set(target, static_cast<float>(x), static_cast<float>(y), colour, draw_flags::absolute, false);
}

// Text on the screen in the built-in font, in `colour`.
inline void text(std::string_view s, int32_t x, int32_t y, uint32_t colour) {
    vx::draw_string(screen, static_cast<float>(x), static_cast<float>(y), draw_flags::absolute, s.data(),
                    static_cast<int32_t>(s.size()), colour, nullptr, 0, nullptr, nullptr, nullptr);
}

// Text on the screen in the foreground colour (the console's, set at start-up).
inline void text(std::string_view s, int32_t x, int32_t y) {
    vx::draw_string(screen, static_cast<float>(x), static_cast<float>(y), vx::coord_no_colour | draw_flags::absolute,
                    s.data(), static_cast<int32_t>(s.size()), 0, nullptr, 0, nullptr, nullptr, nullptr);
}

// An image of the screen's depth whose every pixel is the mask colour, so what is not drawn
// on it stays out when it is put.
inline void* masked_image(int32_t width, int32_t height) {
    return vx::image_create(width, height, 0, 0, draw_flags::mask_filled);
}

// Puts the rectangle (x1, y1)-(x2, y2) of an image (or all of it, x1 = vx::whole_image) at
// (x, y), leaving out its mask-coloured pixels.
inline void put_masked(void* target, int32_t x, int32_t y, void* image, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    vx::put_image(target, static_cast<float>(x), static_cast<float>(y), image, x1, y1, x2, y2, 0, vx::put_mode_trans,
                  vx::put_trans, draw_flags::opaque, nullptr, nullptr);
}

}  // namespace app
