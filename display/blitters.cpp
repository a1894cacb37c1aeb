// The plain conversion family, the lookup tables, and the selection of a routine.
#include "display/blitters.h"

#include "display/blit_lines.h"

namespace vx {

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
