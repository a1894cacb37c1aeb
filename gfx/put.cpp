// Putting an image, or a rectangle of it, onto the screen or another image: coordinates,
// source rectangle, clipping, the lock bracket and dirty lines; the transparent-put
// dispatcher with its plain table, and the alpha-mask put.
#include <algorithm>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "runtime/runtime.h"

namespace vx {
namespace {

int result(int code) {
    rt_set_error(code);
    return code;
}

void put_trans8_plain(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                      int32_t dst_pitch, uint32_t, void*, void*) {
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch)
        for (int32_t i = 0; i < width; ++i)
            if (src[i] != 0) dst[i] = src[i];
}

void put_trans16_plain(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                       int32_t dst_pitch, uint32_t, void*, void*) {
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch)
        for (int32_t i = 0; i < width; ++i) {
            uint16_t v = load16(src + i * 2);
            if (v != 0xF81F) store16(dst + i * 2, v);
        }
}

void put_trans32_plain(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                       int32_t dst_pitch, uint32_t, void*, void*) {
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch)
        for (int32_t i = 0; i < width; ++i) {
            uint32_t v = load32(src + i * 4) & 0x00FFFFFFu;
            if (v != 0x00FF00FFu) store32(dst + i * 4, v);
        }
}

bool vector_flag() {
    GfxContext* ctx = gfx_context();
    return ctx && (ctx->flags & ctx_vector_routines);
}

}  // namespace

const TransRoutines put_trans_plain = {{put_trans8_plain, put_trans16_plain, nullptr, put_trans32_plain}};

void put_alpha_mask_plain(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                          int32_t dst_pitch, uint32_t, void*, void*) {
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch)
        for (int32_t i = 0; i < width; ++i)
            store32(dst + i * 4, (load32(dst + i * 4) & 0x00FFFFFFu) | (uint32_t{src[i]} << 24));
}

void put_trans(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch, int32_t dst_pitch,
               uint32_t alpha, void* blender, void* param) {
    DrawState* state = draw_state();
    if (!state->trans_routines) state->trans_routines = vector_flag() ? &put_trans_sse2 : &put_trans_plain;
    const auto* table = static_cast<const TransRoutines*>(state->trans_routines);
    int slot = state->target_bpp - 1;
    if (slot < 0 || slot > 3 || !table->slots[slot]) return;
    table->slots[slot](src, dst, width, height, src_pitch, dst_pitch, alpha, blender, param);
}

void put_alpha_mask(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                    int32_t dst_pitch, uint32_t alpha, void* blender, void* param) {
    put_fn variant = vector_flag() ? put_alpha_mask_sse2 : put_alpha_mask_plain;
    variant(src, dst, width, height, src_pitch, dst_pitch, alpha, blender, param);
}

int put_image(void* target, float x, float y, void* image, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
              int coord_type, int mode, put_fn put, uint32_t alpha, void* blender, void* param) {
    GfxContext* ctx = gfx_context();
    if (!ctx || !image) return result(err_illegal_call);
    DrawState* state = draw_state();
    set_target(state, target);
    choose_routines(state, 0xFF000000u);
    float point[2] = {x, y};
    apply_relative(state, (coord_type & 2) ? 5 : 4, point, nullptr);
    // Corners are kept in 64 bits: a relative corner near the 32-bit limits must not wrap.
    int64_t sx1 = x1, sy1 = y1, sx2 = x2, sy2 = y2;
    if (coord_type & 1) {
        sx2 += sx1;
        sy2 += sy1;
    }
    PixelPoint at = to_pixel(state, point[0], point[1]);

    // A target whose header describes no image has an empty clip; say so rather than
    // reporting a put that could never draw.
    if (target && image_block_size(image_view(target, ctx->bpp), ctx->bpp) < 0) return result(err_illegal_call);
    ImageView view = image_view(image, state->target_bpp);
    if (image_block_size(view, state->target_bpp) < 0) return result(err_illegal_call);
    int32_t p = view.bpp ? view.bpp : state->target_bpp;
    if (p != state->target_bpp) {
        if (mode == put_mode_alpha && p == 1 && state->target_bpp == 4) put = put_alpha_mask;
        else return result(err_illegal_call);
    }
    if (!put) return result(err_illegal_call);

    if (x1 == whole_image) {
        sx1 = 0;
        sy1 = 0;
        sx2 = int64_t{view.width} - 1;
        sy2 = int64_t{view.height} - 1;
    } else {
        if (sx1 > sx2) std::swap(sx1, sx2);
        if (sy1 > sy2) std::swap(sy1, sy2);
        int64_t last_x = std::max<int64_t>(int64_t{view.width} - 1, 0), last_y = std::max<int64_t>(int64_t{view.height} - 1, 0);
        sx1 = std::clamp<int64_t>(sx1, 0, last_x);
        sx2 = std::clamp<int64_t>(sx2, 0, last_x);
        sy1 = std::clamp<int64_t>(sy1, 0, last_y);
        sy2 = std::clamp<int64_t>(sy2, 0, last_y);
    }
    int64_t w = view.width > 0 ? sx2 - sx1 + 1 : 0, h = view.height > 0 ? sy2 - sy1 + 1 : 0;
    if (w <= 0 || h <= 0) return result(err_none);

    int64_t left = state->clip_x, top = state->clip_y;
    int64_t right = left + state->clip_w, bottom = top + state->clip_h;
    int64_t dx = at.x, dy = at.y;
    if (dx + w <= left || dx >= right || dy + h <= top || dy >= bottom) return result(err_none);
    if (dy < top) {
        sy1 += top - dy;
        h -= top - dy;
        dy = top;
    }
    h = std::min(h, bottom - dy);
    if (dx < left) {
        sx1 += left - dx;
        w -= left - dx;
        dx = left;
    }
    w = std::min(w, right - dx);

    const uint8_t* src = view.pixels + sy1 * view.pitch + sx1 * p;
    uint8_t* dst = state->lines[static_cast<size_t>(dy)] + dx * state->target_bpp;
    bracket_begin(ctx);
    put(src, dst, static_cast<int32_t>(w), static_cast<int32_t>(h), view.pitch, state->target_pitch, alpha, blender,
        param);
    bracket_mark_dirty(ctx, state, static_cast<int>(dy), static_cast<int>(dy + h - 1));
    bracket_end(ctx);
    return result(err_none);
}

}  // namespace vx
