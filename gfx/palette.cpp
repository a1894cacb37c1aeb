// Palettes and colour conversion.
#include "gfx/palette.h"

#include <algorithm>

#include "gfx/context.h"

namespace vx {

uint32_t rgb_to_565(uint32_t c) {
    uint32_t red = (c >> 16) & 0xFF, green = (c >> 8) & 0xFF, blue = c & 0xFF;
    return (blue >> 3) + (green >> 2) * 32 + (red >> 3) * 2048;
}

uint32_t colour_convert(int bytes_per_pixel, uint32_t c) {
    switch (bytes_per_pixel) {
        case 1: return c & 0xFF;
        case 2: return rgb_to_565(c) & 0xFFFF;
        default: return c;
    }
}

namespace {

constexpr uint8_t mode1_maps[4][4] = {{0, 11, 13, 15}, {0, 10, 12, 14}, {0, 3, 5, 7}, {0, 2, 4, 6}};
constexpr uint8_t mode2_map[2] = {0, 15};
constexpr uint8_t identity_map[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr uint8_t mode9_map[16] = {0, 1, 2, 3, 4, 5, 20, 7, 56, 57, 58, 59, 60, 61, 62, 63};

const uint8_t* attribute_map_for(int mode, int index) {
    switch (mode) {
        case 1: return mode1_maps[std::min(-1 - index, 3)];
        case 2: return mode2_map;
        case 7:
        case 8: return identity_map;
        case 9: return mode9_map;
        default: return nullptr;
    }
}

void send_entry(GfxContext* ctx, int index) {
    if (!ctx->driver || !ctx->driver->palette_entry) return;
    uint32_t e = ctx->device_palette[index];
    ctx->driver->palette_entry(index, e & 0xFF, (e >> 8) & 0xFF, (e >> 16) & 0xFF);
}

// The bracket for the entry operations, which also run inside the bracket of palette_set
// and the bitmap loader: taken only when not held, so it never ends a caller's bracket.
struct EntryBracket {
    GfxContext* ctx;
    bool taken;
    explicit EntryBracket(GfxContext* c) : ctx(c), taken(!(c->flags & (ctx_locked | ctx_auto_locked))) {
        if (taken) bracket_begin(ctx);
    }
    ~EntryBracket() {
        if (taken) bracket_end(ctx);
    }
    EntryBracket(const EntryBracket&) = delete;
    EntryBracket& operator=(const EntryBracket&) = delete;
};

uint32_t descriptor_colour(const PaletteDesc* desc, int i) {
    const uint8_t* rgb = desc->rgb + i * 3;
    return rgb[0] + rgb[1] * 256u + rgb[2] * 65536u;
}

}  // namespace

void palette_entry_set(int index, uint32_t colour) {
    GfxContext* ctx = gfx_context();
    if (!ctx || !ctx->palette_desc) return;
    int entries = ctx->palette_desc->entries;
    index &= entries - 1;
    // The update thread uploads the entries the driver records: both sides under the lock.
    EntryBracket bracket(ctx);
    if (entries == 256) {
        auto level = [](uint32_t v) { return static_cast<uint32_t>(static_cast<double>(v) * 255.0 / 63.0); };
        uint32_t red = level(colour & 0x3F), green = level((colour >> 8) & 0x3F), blue = level((colour >> 16) & 0x3F);
        ctx->device_palette[index] = red + green * 256 + blue * 65536;
    } else {
        uint32_t k = colour & static_cast<uint32_t>(entries - 1);
        // The 64-entry palette allows indices up to 63 but the attribute map has 16 slots.
        if (index < 16) ctx->attribute_map[index] = static_cast<uint8_t>(k);
        ctx->device_palette[index] = ctx->master_palette[k];
    }
    send_entry(ctx, index);
}

void palette_set(int index, uint32_t c, int g, int b) {
    GfxContext* ctx = gfx_context();
    if (!ctx || ctx->depth > 8) return;
    bracket_begin(ctx);
    if (index >= 0) {
        uint32_t colour = c;
        if (g >= 0 && b >= 0) colour = (c >> 2) + (static_cast<uint32_t>(g) >> 2) * 256 + (static_cast<uint32_t>(b) >> 2) * 65536;
        palette_entry_set(index, colour);
    } else {
        const uint8_t* map = attribute_map_for(ctx->mode, index);
        const PaletteDesc* desc = ctx->palette_desc;
        for (int i = 0; i < desc->entries; ++i) {
            ctx->master_palette[i] = descriptor_colour(desc, i);
            if (i < (1 << ctx->depth)) {
                int shown = i;
                if (map) {
                    ctx->attribute_map[i] = map[i];
                    shown = map[i];
                }
                ctx->device_palette[i] = descriptor_colour(desc, shown);
                send_entry(ctx, i);
            }
        }
    }
    std::fill(ctx->dirty.get(), ctx->dirty.get() + ctx->height, uint8_t{1});
    bracket_end(ctx);
}

void palette_push() {
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    EntryBracket bracket(ctx);
    for (int i = 0; i < 256; ++i) send_entry(ctx, i);
}

}  // namespace vx
