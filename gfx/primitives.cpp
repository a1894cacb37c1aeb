// Pixels, lines and boxes on the screen's work page or an image, with relative coordinates,
// rounding, clipping and the 16-bit line style; and the choice of the pixel routines.
#include "gfx/primitives.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "gfx/palette.h"

namespace vx {

RoutineSet routine_set = plain_routines.sets[2];
MemFillFn mem_fill = plain_routines.mem_fill;
MemCopyFn mem_copy = plain_routines.mem_copy;

namespace {

int vector_override = -1;  // -1: decide by the processor and the environment

// Pixel coordinates are kept well inside 32 bits so that clip arithmetic cannot overflow.
constexpr double coord_limit = 1 << 30;

int clamp_to_int(double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int>(std::clamp(v, -coord_limit, coord_limit));
}

int truncate_coord(double v) { return clamp_to_int(std::trunc(v)); }

uint32_t rotate_right(uint32_t mask, uint32_t n) {
    n &= 15;
    return ((mask >> n) | (mask << (16 - n))) & 0xFFFF;
}

// Line clipping against the clip rectangle; the points may be exchanged, so that the line
// runs from its clipped outer end. False when nothing of it is visible.
bool clip_line(const DrawState* s, int& x1, int& y1, int& x2, int& y2) {
    int right = s->clip_x + s->clip_w - 1, bottom = s->clip_y + s->clip_h - 1;
    for (int round = 0; round < 16; ++round) {
        int c1 = outcode(s, x1, y1), c2 = outcode(s, x2, y2);
        if (!(c1 | c2)) return true;
        if (c1 & c2) return false;
        if (!c1) {
            std::swap(x1, x2);
            std::swap(y1, y2);
            std::swap(c1, c2);
        }
        double m = x1 == x2 ? 1.0 : (static_cast<double>(y2) - y1) / (static_cast<double>(x2) - x1);
        if (c1 & 1) {
            y1 = truncate_coord(y1 + m * (s->clip_x - x1));
            x1 = s->clip_x;
        } else if (c1 & 2) {
            y1 = truncate_coord(y1 + m * (right - x1));
            x1 = right;
        } else if (c1 & 8) {
            if (x1 != x2) x1 = truncate_coord(x1 + (s->clip_y - y1) / m);
            y1 = s->clip_y;
        } else {
            if (x1 != x2) x1 = truncate_coord(x1 + (bottom - y1) / m);
            y1 = bottom;
        }
    }
    return false;  // did not settle: rounding kept the line on the edge
}

void draw_line_pixels(DrawState* s, int x1, int y1, int x2, int y2, uint32_t colour, uint32_t style) {
    uint32_t mask = 0x8000;
    if (x1 == x2) {
        if (y1 > y2) {
            std::swap(y1, y2);
            style = reverse16(static_cast<uint16_t>(style));
            mask = 1u << ((y2 - y1) & 15);
        }
        for (int y = y1; y <= y2; ++y) {
            if (style & mask) s->put_pixel(s, x1, y, colour);
            mask = rotate_right(mask, 1);
        }
    } else if (y1 == y2) {
        if (x1 > x2) {
            std::swap(x1, x2);
            style = reverse16(static_cast<uint16_t>(style));
            mask = 1u << ((x2 - x1) & 15);
        }
        if (style == 0xFFFF) {
            s->fill_span(s->lines[y1] + static_cast<ptrdiff_t>(x1) * s->target_bpp, colour, static_cast<size_t>(x2 - x1 + 1));
        } else {
            for (int x = x1; x <= x2; ++x) {
                if (style & mask) s->put_pixel(s, x, y1, colour);
                mask = rotate_right(mask, 1);
            }
        }
    } else {
        int dx = std::abs(x2 - x1), dy = std::abs(y2 - y1);
        int sx = x2 > x1 ? 1 : -1, sy = y2 > y1 ? 1 : -1;
        int x = x1, y = y1;
        if (dx >= dy) {
            int error = 2 * dy - dx;
            for (int i = 0; i <= dx; ++i) {
                if (style & mask) s->put_pixel(s, x, y, colour);
                mask = rotate_right(mask, 1);
                if (error >= 0) {
                    y += sy;
                    error -= 2 * dx;
                }
                error += 2 * dy;
                x += sx;
            }
        } else {
            int error = 2 * dx - dy;
            for (int i = 0; i <= dy; ++i) {
                if (style & mask) s->put_pixel(s, x, y, colour);
                mask = rotate_right(mask, 1);
                if (error >= 0) {
                    x += sx;
                    error -= 2 * dy;
                }
                error += 2 * dx;
                y += sy;
            }
        }
    }
}

}  // namespace

bool vector_routines_usable() {
    if (vector_override >= 0) return vector_override == 1;
#if defined(__SSE2__)
    const char* plain = std::getenv("VXGFX_PLAIN");
    return !(plain && plain[0] == '1');
#else
    return false;
#endif
}

void allow_vector_routines(bool allowed) { vector_override = allowed ? 1 : 0; }

void select_routine_set(int bytes_per_pixel) {
    bool vector = vector_routines_usable();
    GfxContext* ctx = gfx_context();
    if (ctx) {
        if (vector) ctx->flags |= ctx_vector_routines;
        else ctx->flags &= ~ctx_vector_routines;
    }
    const RoutineFamily& family = vector ? vector_routines : plain_routines;
    mem_fill = family.mem_fill;
    mem_copy = family.mem_copy;
    int index = bytes_per_pixel == 1 ? 0 : bytes_per_pixel == 2 ? 1 : 2;
    routine_set = family.sets[index];
    if (index == 2 && !(ctx && (ctx->flags & ctx_alpha_primitives))) {
        routine_set.alpha_put_pixel = routine_set.put_pixel;
        routine_set.alpha_fill_span = routine_set.fill_span;
    }
}

void choose_routines(DrawState* state, uint32_t colour) {
    GfxContext* ctx = gfx_context();
    bool blend = ctx && (ctx->flags & ctx_alpha_primitives) && state->target_bpp == 4 && (colour >> 24) < 0xFF;
    state->put_pixel = blend ? routine_set.alpha_put_pixel : routine_set.put_pixel;
    state->fill_span = blend ? routine_set.alpha_fill_span : routine_set.fill_span;
    state->get_pixel = routine_set.get_pixel;
}

void apply_relative(DrawState* state, uint32_t flags, float* p1, float* p2) {
    switch (flags & 7) {
        case 1:
            if (p2) {
                p2[0] += p1[0];
                p2[1] += p1[1];
            }
            break;
        case 2:
        case 5:
            p1[0] += state->last_x;
            p1[1] += state->last_y;
            break;
        case 3:
            p1[0] += state->last_x;
            p1[1] += state->last_y;
            if (p2) {
                p2[0] += p1[0];
                p2[1] += p1[1];
            }
            break;
        default: break;
    }
    const float* last = p2 ? p2 : p1;
    state->last_x = last[0];
    state->last_y = last[1];
}

PixelPoint to_pixel(const DrawState* state, float x, float y) {
    auto round_away = [](float v) {
        double d = v;
        return truncate_coord(d > 0 ? d + 0.5 : d - 0.5);
    };
    return {round_away(x) + state->clip_x, round_away(y) + state->clip_y};
}

int outcode(const DrawState* s, int x, int y) {
    int code = 0;
    if (x < s->clip_x) code |= 1;
    else if (x >= s->clip_x + s->clip_w) code |= 2;
    if (y < s->clip_y) code |= 8;
    else if (y >= s->clip_y + s->clip_h) code |= 4;
    return code;
}

uint16_t reverse16(uint16_t value) {
    uint16_t out = 0;
    for (int i = 0; i < 16; ++i)
        if (value & (1u << i)) out |= static_cast<uint16_t>(1u << (15 - i));
    return out;
}

void pixel_set(void* target, float x, float y, uint32_t colour, uint32_t flags, bool use_bg) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    DrawState* s = draw_state();
    set_target(s, target);
    uint32_t c = !(flags & coord_no_colour) ? colour_convert(s->target_bpp, colour) : use_bg ? s->bg : s->fg;
    choose_routines(s, c);
    float p[2] = {x, y};
    apply_relative(s, flags, p, nullptr);
    PixelPoint at = to_pixel(s, p[0], p[1]);
    if (outcode(s, at.x, at.y)) return;
    bracket_begin(ctx);
    s->put_pixel(s, at.x, at.y, c);
    bracket_mark_dirty(ctx, s, at.y, at.y);
    bracket_end(ctx);
}

void line_draw(void* target, float x1, float y1, float x2, float y2, uint32_t colour, int kind, uint32_t style,
               uint32_t flags) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    DrawState* s = draw_state();
    set_target(s, target);
    uint32_t c = (flags & coord_no_colour) ? s->fg : colour_convert(s->target_bpp, colour);
    choose_routines(s, c);
    style &= 0xFFFF;
    float p1[2] = {x1, y1}, p2[2] = {x2, y2};
    apply_relative(s, flags, p1, p2);
    PixelPoint a = to_pixel(s, p1[0], p1[1]), b = to_pixel(s, p2[0], p2[1]);
    if (kind != line_kind_line) {
        box_draw(std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y), c,
                 kind == line_kind_filled_box, style);
        return;
    }
    if (!clip_line(s, a.x, a.y, b.x, b.y)) return;
    bracket_begin(ctx);
    draw_line_pixels(s, a.x, a.y, b.x, b.y, c, style);
    bracket_mark_dirty(ctx, s, std::min(a.y, b.y), std::max(a.y, b.y));
    bracket_end(ctx);
}

void box_draw(int x1, int y1, int x2, int y2, uint32_t colour, bool filled, uint32_t style) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    DrawState* s = draw_state();
    int right = s->clip_x + s->clip_w, bottom = s->clip_y + s->clip_h;  // exclusive
    if (s->clip_x > x2 || s->clip_y > y2 || right <= x1 || bottom <= y1) return;
    int X1 = std::max(x1, s->clip_x), Y1 = std::max(y1, s->clip_y);
    int X2 = std::min(x2, right - 1), Y2 = std::min(y2, bottom - 1);
    size_t span = static_cast<size_t>(X2 - X1 + 1);
    ptrdiff_t offset = static_cast<ptrdiff_t>(X1) * s->target_bpp;
    bracket_begin(ctx);
    if (filled) {
        for (int y = Y1; y <= Y2; ++y) s->fill_span(s->lines[y] + offset, colour, span);
    } else {
        bool solid = style == 0xFFFF;
        uint32_t mask = 0x8000;
        // The pattern runs on as if every edge were drawn in full, clipped pixels included.
        auto skip = [&](int64_t n) {
            if (!solid) mask = rotate_right(mask, static_cast<uint32_t>(n & 15));
        };
        auto horizontal = [&](int y) {
            if (solid) {
                s->fill_span(s->lines[y] + offset, colour, span);
                return;
            }
            for (int x = X1; x <= X2; ++x) {
                if (style & mask) s->put_pixel(s, x, y, colour);
                mask = rotate_right(mask, 1);
            }
        };
        auto vertical = [&](int x) {
            for (int y = Y1; y <= Y2; ++y) {
                if (style & mask) s->put_pixel(s, x, y, colour);
                mask = rotate_right(mask, 1);
            }
        };
        int64_t cut_left = int64_t{X1} - x1, cut_right = int64_t{x2} - X2;
        int64_t cut_top = int64_t{Y1} - y1, cut_bottom = int64_t{y2} - Y2;
        skip(cut_left);
        if (y2 < bottom) horizontal(y2);
        else skip(X2 - X1 + 1);
        skip(cut_right + cut_left);
        if (y1 >= s->clip_y) horizontal(y1);
        else skip(X2 - X1 + 1);
        skip(cut_right + cut_top);
        if (x2 < right) vertical(x2);
        else skip(Y2 - Y1 + 1);
        skip(cut_bottom + cut_top);
        if (x1 >= s->clip_x) vertical(x1);
    }
    bracket_mark_dirty(ctx, s, Y1, Y2);
    bracket_end(ctx);
}

}  // namespace vx
