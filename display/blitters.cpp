// The plain conversion family, the lookup tables, and the selection of a routine.
#include "display/blitters.h"

#include "display/blit_lines.h"

#include <vector>

namespace vx {

namespace blit {

int zoom_factor = 1, zoom_bytes = 4;

namespace {

// One converted line spread into a destination row, each pixel `Zoom` times.
template <int Bytes, int Zoom>
void spread(uint8_t* dst, const uint8_t* src, int width) {
    for (int x = 0; x < width; ++x, src += Bytes)
        for (int k = 0; k < Zoom; ++k, dst += Bytes) std::memcpy(dst, src, Bytes);
}

template <int Zoom>
void spread_pixels(uint8_t* dst, const uint8_t* src, int width, int bytes) {
    switch (bytes) {
        case 1: return spread<1, Zoom>(dst, src, width);
        case 2: return spread<2, Zoom>(dst, src, width);
        case 3: return spread<3, Zoom>(dst, src, width);
        default: return spread<4, Zoom>(dst, src, width);
    }
}

}  // namespace

// Each dirty line is converted once into a line-sized buffer that stays in the cache, spread
// into the first of its destination rows, and that row copied into the rest of its block.
void walk_zoomed(LineFn line, uint8_t* destination, int pitch) {
    GfxContext* ctx = gfx_context();
    const Tables tables{ctx->device_palette, ctx->conversion_table};
    const int zoom = zoom_factor, bytes = zoom_bytes;
    const int rows_per_line = (ctx->scale < 1 ? 1 : ctx->scale) * zoom;
    const size_t row_bytes = static_cast<size_t>(ctx->width) * static_cast<size_t>(bytes) * static_cast<size_t>(zoom);
    thread_local std::vector<uint8_t> converted;
    converted.resize(static_cast<size_t>(ctx->width) * 4);
    for (int y = 0; y < ctx->height; ++y) {
        if (!ctx->dirty[y]) continue;
        line(converted.data(), ctx->visible_buffer + static_cast<size_t>(y) * ctx->pitch, ctx->width, tables);
        uint8_t* first = destination + static_cast<ptrdiff_t>(y) * rows_per_line * pitch;
        if (zoom == 2) spread_pixels<2>(first, converted.data(), ctx->width, bytes);
        else spread_pixels<3>(first, converted.data(), ctx->width, bytes);
        for (int k = 1; k < rows_per_line; ++k) std::memcpy(first + static_cast<ptrdiff_t>(k) * pitch, first, row_bytes);
    }
}

}  // namespace blit

void blitter_zoom_set(int zoom, int bits) {
    blit::zoom_factor = zoom < 2 ? 1 : zoom > 3 ? 3 : zoom;
    blit::zoom_bytes = bits <= 8 ? 1 : bits <= 16 ? 2 : bits == 24 ? 3 : 4;
}

using namespace blit;

const BlitterFamily plain_blitters = {{
    // Palette index source.
    {
        {walk_dirty<copy_line<1>>, walk_dirty<copy_line<1>>},
        {walk_dirty<index_to_15<false>>, walk_dirty<index_to_15<true>>},
        {walk_dirty<index_to_16<false>>, walk_dirty<index_to_16<true>>},
        {walk_dirty<index_to_24<false>>, walk_dirty<index_to_24<true>>},
        {walk_dirty<index_to_32<false>>, walk_dirty<index_to_32<true>>},
    },
    // 5-6-5 source.
    {
        {nullptr, nullptr},
        {walk_dirty<p16_to_15<false>>, walk_dirty<p16_to_15<true>>},
        {walk_dirty<copy_line<2>>, walk_dirty<p16_swap_line>},
        {walk_dirty<p16_to_24>, walk_dirty<p16_to_24>},
        {walk_dirty<p16_to_32>, walk_dirty<p16_to_32>},
    },
    // 0xAARRGGBB source.
    {
        {nullptr, nullptr},
        {walk_dirty<p32_to_15<false>>, walk_dirty<p32_to_15<true>>},
        {walk_dirty<p32_to_16<false>>, walk_dirty<p32_to_16<true>>},
        {walk_dirty<p32_to_24<false>>, walk_dirty<p32_to_24<true>>},
        {walk_dirty<copy_line<4>>, walk_dirty<p32_swap_line>},
    },
}};

void rgb565_lut_build(uint32_t* table, bool reversed) {
    for (uint32_t i = 0; i < 256; ++i) {
        if (reversed) {
            table[i] = ((i & 0x1F) << 19) | ((i & 0xE0) << 5);
            table[256 + i] = ((i & 0x07) << 13) | (i & 0xF8);
        } else {
            table[i] = ((i & 0x1F) << 3) | ((i & 0xE0) << 5);
            table[256 + i] = ((i & 0x07) << 13) | ((i & 0xF8) << 16);
        }
    }
}

Blitter blitter_lookup(const BlitterFamily& family, int source_depth, int bits, bool reversed) {
    int source = source_depth <= 8 ? blit_from_index : source_depth <= 16 ? blit_from_16 : blit_from_32;
    for (int i = 0; i < 5; ++i)
        if (blit_destination_bits[i] == bits) return family.routines[source][i][reversed ? 1 : 0];
    return nullptr;
}

Blitter blitter_select(int bits, bool reversed) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return nullptr;
    rgb565_lut_build(ctx->conversion_table, reversed);
    const BlitterFamily& family = (ctx->flags & ctx_vector_routines) ? vector_blitters : plain_blitters;
    return blitter_lookup(family, ctx->depth, bits, reversed);
}

void blit_alpha_clear(uint8_t* destination, int destination_pitch) {
    walk_dirty<p32_alpha_clear_line>(destination, destination_pitch);
}

}  // namespace vx
