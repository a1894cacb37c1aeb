// Inside the pixel format conversion: one small function per pixel conversion, the plain line
// loops built on them, and the walker over the dirty lines that owns pitches and offsets.
// Shared by the plain and the vector family (the vector lines finish odd pixels with these).
#pragma once

#include <cstdint>
#include <cstring>

#include "gfx/context.h"
#include "gfx/pixels.h"

namespace vx::blit {

// What a line may need besides its pixels: the device palette (0x00BBGGRR) and rgb565_lut.
struct Tables {
    const uint32_t* palette;
    const uint32_t* lut;
};
using LineFn = void (*)(uint8_t* dst, const uint8_t* src, int width, const Tables& tables);

struct Rgb {
    uint32_t r, g, b;
};
inline Rgb from_palette(uint32_t e) { return {e & 0xFF, (e >> 8) & 0xFF, (e >> 16) & 0xFF}; }
inline Rgb from_32(uint32_t p) { return {(p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF}; }

// Destination pixels; reversed order puts blue where red goes.
template <bool Rev>
inline uint16_t to_555(Rgb c) {
    uint32_t hi = Rev ? c.b : c.r, lo = Rev ? c.r : c.b;
    return static_cast<uint16_t>(((hi >> 3) << 10) | ((c.g >> 3) << 5) | (lo >> 3));
}
template <bool Rev>
inline uint16_t to_565(Rgb c) {
    uint32_t hi = Rev ? c.b : c.r, lo = Rev ? c.r : c.b;
    return static_cast<uint16_t>(((hi >> 3) << 11) | ((c.g >> 2) << 5) | (lo >> 3));
}
template <bool Rev>
inline uint32_t to_x888(Rgb c) {
    return Rev ? (c.b << 16) | (c.g << 8) | c.r : (c.r << 16) | (c.g << 8) | c.b;
}
// 24 bits in memory order blue, green, red (normal) or red, green, blue (reversed).
inline void store24(uint8_t* d, uint32_t x888) {
    d[0] = static_cast<uint8_t>(x888);
    d[1] = static_cast<uint8_t>(x888 >> 8);
    d[2] = static_cast<uint8_t>(x888 >> 16);
}

// 5-6-5 sources.
template <bool Rev>
inline uint16_t p565_to_555(uint32_t p) {
    if (!Rev) return static_cast<uint16_t>(((p >> 1) & 0x7FE0) | (p & 0x1F));
    return static_cast<uint16_t>((p >> 11) | ((p >> 1) & 0x03E0) | ((p & 0x1F) << 10));
}
inline uint16_t p565_swap(uint32_t p) { return static_cast<uint16_t>((p >> 11) | (p & 0x07E0) | ((p & 0x1F) << 11)); }
inline uint32_t p565_widen(uint32_t p, const uint32_t* lut) { return lut[p & 0xFF] | lut[256 + (p >> 8)]; }

inline uint32_t swap_rb(uint32_t p) { return ((p & 0xFF) << 16) | (p & 0xFF00FF00u) | ((p >> 16) & 0xFF); }

// Plain lines, one loop each.
template <int Bytes>
void copy_line(uint8_t* dst, const uint8_t* src, int width, const Tables&) {
    std::memcpy(dst, src, static_cast<size_t>(width) * Bytes);
}
template <bool Rev>
void index_to_15(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    for (int x = 0; x < width; ++x) store16(dst + 2 * x, to_555<Rev>(from_palette(t.palette[src[x]])));
}
template <bool Rev>
void index_to_16(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    for (int x = 0; x < width; ++x) store16(dst + 2 * x, to_565<Rev>(from_palette(t.palette[src[x]])));
}
template <bool Rev>
void index_to_24(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    for (int x = 0; x < width; ++x) store24(dst + 3 * x, to_x888<Rev>(from_palette(t.palette[src[x]])));
}
template <bool Rev>
void index_to_32(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    // Reversed is the palette entry as stored; normal exchanges red and blue.
    for (int x = 0; x < width; ++x) {
        uint32_t e = t.palette[src[x]];
        store32(dst + 4 * x, Rev ? e : swap_rb(e) & 0x00FFFFFF);
    }
}
template <bool Rev>
void p16_to_15(uint8_t* dst, const uint8_t* src, int width, const Tables&) {
    for (int x = 0; x < width; ++x) store16(dst + 2 * x, p565_to_555<Rev>(load16(src + 2 * x)));
}
inline void p16_swap_line(uint8_t* dst, const uint8_t* src, int width, const Tables&) {
    for (int x = 0; x < width; ++x) store16(dst + 2 * x, p565_swap(load16(src + 2 * x)));
}
// The lookup tables already hold the channel order, so one loop serves both orders.
inline void p16_to_24(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    for (int x = 0; x < width; ++x) store24(dst + 3 * x, p565_widen(load16(src + 2 * x), t.lut));
}
inline void p16_to_32(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    for (int x = 0; x < width; ++x) store32(dst + 4 * x, p565_widen(load16(src + 2 * x), t.lut));
}
template <bool Rev>
void p32_to_15(uint8_t* dst, const uint8_t* src, int width, const Tables&) {
    for (int x = 0; x < width; ++x) store16(dst + 2 * x, to_555<Rev>(from_32(load32(src + 4 * x))));
}
template <bool Rev>
void p32_to_16(uint8_t* dst, const uint8_t* src, int width, const Tables&) {
    for (int x = 0; x < width; ++x) store16(dst + 2 * x, to_565<Rev>(from_32(load32(src + 4 * x))));
}
template <bool Rev>
void p32_to_24(uint8_t* dst, const uint8_t* src, int width, const Tables&) {
    for (int x = 0; x < width; ++x) store24(dst + 3 * x, to_x888<Rev>(from_32(load32(src + 4 * x))));
}
inline void p32_swap_line(uint8_t* dst, const uint8_t* src, int width, const Tables&) {
    for (int x = 0; x < width; ++x) store32(dst + 4 * x, swap_rb(load32(src + 4 * x)));
}
inline void p32_alpha_clear_line(uint8_t* dst, const uint8_t* src, int width, const Tables&) {
    for (int x = 0; x < width; ++x) store32(dst + 4 * x, load32(src + 4 * x) & 0x00FFFFFFu);
}

// The presentation zoom (blitter_zoom_set): 1, or the factor and destination pixel size of a
// zoomed window, whose dirty lines walk_zoomed converts.
extern int zoom_factor, zoom_bytes;
void walk_zoomed(LineFn line, uint8_t* destination, int pitch);

// The walker: output line j shows framebuffer line j / scale, converted only when dirty.
template <LineFn Line>
void walk_dirty(uint8_t* destination, int pitch) {
    GfxContext* ctx = gfx_context();
    if (!ctx || !destination) return;
    if (zoom_factor > 1) return walk_zoomed(Line, destination, pitch);
    const Tables tables{ctx->device_palette, ctx->conversion_table};
    const int scale = ctx->scale < 1 ? 1 : ctx->scale;
    const int rows = ctx->height * scale;
    for (int j = 0; j < rows; ++j) {
        int y = j / scale;
        if (!ctx->dirty[y]) continue;
        Line(destination + static_cast<ptrdiff_t>(j) * pitch, ctx->visible_buffer + static_cast<size_t>(y) * ctx->pitch,
             ctx->width, tables);
    }
}

}  // namespace vx::blit
