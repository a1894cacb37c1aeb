// Drawing byte strings at a point of the screen or an image, with the screen's built-in font
// (set pixels only) or with a font image copied glyph by glyph through a put routine.
#include <vxgfx/text.h>

#include <algorithm>
#include <cstring>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/palette.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "runtime/runtime.h"

namespace vx {
namespace {

// The clip rectangle as edges; right and bottom exclusive.
struct ClipEdges {
    int left, top, right, bottom;
};

ClipEdges clip_edges(const DrawState* s) {
    return {s->clip_x, s->clip_y, s->clip_x + s->clip_w, s->clip_y + s->clip_h};
}

int finish(int code) {
    rt_set_error(code);
    return code;
}

// One glyph row of an 8-pixel-wide font written straight into its line, where the pixel
// routine is a plain store: each bit picks the colour or the old pixel without a branch, as
// glyph bits follow no pattern a branch predictor could learn. The same bytes as put_pixel.
using GlyphRowFn = void (*)(uint8_t* pixel, unsigned bits, uint32_t colour);

template <int bytes>
void glyph_row(uint8_t* pixel, unsigned bits, uint32_t colour) {
    for (int c = 0; c < 8; ++c, pixel += bytes) {
        const uint32_t take = 0u - ((bits >> c) & 1u);
        if constexpr (bytes == 1) *pixel = static_cast<uint8_t>((colour & take) | (*pixel & ~take));
        else if constexpr (bytes == 2) store16(pixel, static_cast<uint16_t>((colour & take) | (load16(pixel) & ~take)));
        else store32(pixel, (colour & take) | (load32(pixel) & ~take));
    }
}

GlyphRowFn glyph_row_for(PutPixelFn put) {
    if (put == put_pixel8) return glyph_row<1>;
    if (put == put_pixel16) return glyph_row<2>;
    if (put == put_pixel32) return glyph_row<4>;
    return nullptr;  // a blending routine: pixel by pixel
}

void draw_builtin(GfxContext* ctx, DrawState* s, int x, int y, const uint8_t* text, int n, uint32_t colour) {
    const FontDesc* font = ctx->font;
    const int w = font->width, h = font->height, row_bytes = (w + 7) / 8;
    const ClipEdges clip = clip_edges(s);
    if (x + int64_t{n} * w <= clip.left || x >= clip.right || y + h <= clip.top || y >= clip.bottom) return;

    int skipped_rows = 0;
    if (y < clip.top) {
        skipped_rows = clip.top - y;
        y = clip.top;
    }
    int rows = std::min(h - skipped_rows, clip.bottom - y);

    int first = 0;
    int64_t pen = x;
    if (pen < clip.left) {
        first = static_cast<int>((clip.left - pen) / w);
        pen += int64_t{first} * w;
    }
    int64_t last = n;
    int64_t end = pen + int64_t{n - first} * w;
    if (end > clip.right) last -= (end - clip.right) / w;

    const GlyphRowFn whole_rows = w == 8 ? glyph_row_for(s->put_pixel) : nullptr;
    const int bpp = s->target_bpp;
    bracket_begin(ctx);
    for (int64_t i = first; i < last; ++i, pen += w) {
        if (pen + w <= clip.left) continue;
        if (pen >= clip.right) break;
        const int px = static_cast<int>(pen);
        const int c_first = std::max(0, clip.left - px), c_end = std::min(w, clip.right - px);
        const uint8_t* glyph = font->glyphs + (static_cast<size_t>(text[i]) * h + skipped_rows) * row_bytes;
        if (whole_rows && c_first == 0 && c_end == 8) {
            for (int r = 0; r < rows; ++r)
                if (glyph[r]) whole_rows(s->lines[static_cast<size_t>(y + r)] + static_cast<size_t>(px) * bpp, glyph[r], colour);
            continue;
        }
        for (int r = 0; r < rows; ++r, glyph += row_bytes)
            for (int c = c_first; c < c_end; ++c)
                if ((glyph[c / 8] >> (c % 8)) & 1) s->put_pixel(s, px + c, y + r, colour);
    }
    bracket_mark_dirty(ctx, s, y, y + rows - 1);
    bracket_end(ctx);
}

// Font images are untrusted: every read below stays inside the rows the header declares,
// and every glyph inside the bytes of its row.
int draw_font_image(GfxContext* ctx, DrawState* s, int x, int y, const uint8_t* text, int n, uint32_t colour,
                    void* font, put_fn put, void* blender, void* param) {
    const ImageView view = image_view(font, s->target_bpp);
    const int p = view.bpp ? view.bpp : s->target_bpp;
    const int glyph_height = view.height - 1;
    const int64_t pitch = view.pitch;
    const ClipEdges clip = clip_edges(s);
    if (int64_t{y} + glyph_height <= clip.top || y >= clip.bottom) return 0;
    if (p != s->target_bpp || pitch <= 3 || glyph_height <= 0 || !view.pixels || view.pixels[0] != 0 || !put) return 1;

    const uint8_t* row0 = view.pixels;
    int first_code = row0[1], last_code = row0[2];
    if (first_code > last_code) std::swap(first_code, last_code);
    const int codes = last_code - first_code + 1;
    if (3 + codes > pitch) return 1;  // the width table must lie inside row 0

    int skipped_rows = 0;
    if (y < clip.top) {
        skipped_rows = clip.top - y;
        y = clip.top;
    }
    const int rows = std::min(glyph_height - skipped_rows, clip.bottom - y);
    const uint8_t* first_row = view.pixels + (1 + static_cast<size_t>(skipped_rows)) * static_cast<size_t>(pitch);

    struct Glyph {
        int width = -1;  // -1: no glyph for this code
        const uint8_t* source = nullptr;
    };
    Glyph table[256];
    int64_t column = 0;
    for (int k = 0; k < codes; ++k) {
        table[first_code + k] = {row0[3 + k], first_row + column * p};
        column += row0[3 + k];
    }
    // Every glyph must end inside its row; the bytes per pixel are the font's own, which
    // equal the target's (an image target may differ from the screen).
    if (column * p > pitch) return 1;

    bool drawn = false;
    int64_t pen = x;
    for (int i = 0; i < n; ++i) {
        if (pen >= clip.right) break;
        const Glyph& g = table[text[i]];
        if (g.width < 0) {
            pen += rows;
            continue;
        }
        if (pen + g.width < clip.left) {
            pen += g.width;
            continue;
        }
        const int64_t cut = std::max<int64_t>(0, clip.left - pen);
        const int64_t dest_x = pen + cut;
        const int64_t width = std::min<int64_t>(g.width - cut, clip.right - dest_x);
        if (width > 0) {
            if (!drawn) bracket_begin(ctx);
            drawn = true;
            put(g.source + cut * p, s->lines[static_cast<size_t>(y)] + dest_x * s->target_bpp, static_cast<int32_t>(width),
                rows, static_cast<int32_t>(pitch), s->target_pitch, colour, blender, param);
        }
        pen += g.width;
    }
    if (drawn) {
        bracket_mark_dirty(ctx, s, y, y + rows - 1);
        bracket_end(ctx);
    }
    return 0;
}

}  // namespace

int draw_string(void* target, float x, float y, uint32_t flags, const char* text, int32_t length, uint32_t colour,
                void* font, int put_mode, put_fn put, void* blender, void* param) {
    rt_set_error(0);
    GfxContext* ctx = gfx_context();
    if (!text) return finish(1);
    if (!ctx || length <= 0) return finish(0);

    DrawState* s = draw_state();
    set_target(s, target);
    uint32_t c = colour;
    if (put_mode != put_mode_alpha) c = (flags & coord_no_colour) ? s->fg : colour_convert(s->target_bpp, colour);
    choose_routines(s, c);
    float point[2] = {x, y};
    apply_relative(s, flags, point, nullptr);
    const PixelPoint at = to_pixel(s, point[0], point[1]);

    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    if (!font) {
        draw_builtin(ctx, s, at.x, at.y, bytes, length, c);
        return finish(0);
    }
    return finish(draw_font_image(ctx, s, at.x, at.y, bytes, length, c, font, put, blender, param));
}

const FontDesc* screen_font() {
    const GfxContext* ctx = gfx_context();
    return ctx ? ctx->font : nullptr;
}

}  // namespace vx
