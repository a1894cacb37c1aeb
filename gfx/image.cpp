// Image buffers: creating one in the screen's pixel formats (filled with a colour or the mask
// colour), checking a header against what it claims to hold, and freeing one.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "gfx/context.h"
#include "gfx/image.h"
#include "gfx/primitives.h"
#include "runtime/runtime.h"

namespace vx {
namespace {

// Blocks are kept below 2 GiB so that every pitch, offset and fill count fits in 32 bits,
// and below the machine's memory: filling an overcommitted block would end the process
// instead of letting us report the refusal.
bool block_fits(int64_t bytes) {
    if (bytes <= 0 || bytes > INT32_MAX) return false;
    long page_size = sysconf(_SC_PAGESIZE), phys_pages = sysconf(_SC_PHYS_PAGES);
    return page_size <= 0 || phys_pages <= 0 || bytes <= static_cast<int64_t>(page_size) * phys_pages;
}

}  // namespace

uint32_t mask_colour(int32_t bytes_per_pixel) {
    switch (bytes_per_pixel) {
        case 1: return 0;
        case 2: return 0xF81F;
        default: return 0xFFFF00FFu;
    }
}

int64_t image_block_size(const ImageView& view, int32_t target_bpp) {
    // Only the legacy form leaves the pixel size to the target.
    int32_t bpp = view.bpp == 0 && view.legacy ? target_bpp : view.bpp;
    if (!view.pixels || (bpp != 1 && bpp != 2 && bpp != 4)) return -1;
    if (view.width < 0 || view.height < 0) return -1;
    // Widths and heights are below 2^31, so these products stay far inside 64 bits.
    if (view.pitch < int64_t{view.width} * bpp) return -1;
    int64_t header = view.legacy ? 4 : static_cast<int64_t>(sizeof(ImageHeader));
    return header + int64_t{view.height} * view.pitch;
}

void* image_create(int32_t width, int32_t height, uint32_t colour, int32_t depth, uint32_t flags) {
    GfxContext* ctx = gfx_context();
    if (!ctx || width <= 0 || height <= 0) return nullptr;
    int64_t bpp = depth <= 0 ? ctx->bpp : (int64_t{depth} + 7) / 8;
    if (bpp != 1 && bpp != 2 && bpp != 4) return nullptr;
    auto bytes_per_pixel = static_cast<int32_t>(bpp);

    uint32_t fill = colour;
    if (flags & 0x80000000u) fill = mask_colour(bytes_per_pixel);
    else if (bpp == 2) fill = ((colour >> 8) & 0xF800) | ((colour >> 5) & 0x7E0) | ((colour >> 3) & 0x1F);
    else if (bpp == 1) fill &= 0xFF;

    bool legacy = rt_legacy_header_mode;
    // The legacy header holds a 13-bit width and a 16-bit height; larger images cannot be
    // described by it.
    if (legacy && (width > 8191 || height > 65535)) return nullptr;
    int64_t header_size = legacy ? 4 : static_cast<int64_t>(sizeof(ImageHeader));
    int64_t row = int64_t{width} * bpp;
    int64_t pitch = legacy ? row : (row + 15) & ~int64_t{15};
    if (pitch > INT32_MAX) return nullptr;
    int64_t total = header_size + int64_t{height} * pitch;  // below 2^63: both factors < 2^31
    if (!block_fits(total)) return nullptr;

    auto* block = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(total)));
    if (!block) return nullptr;
    if (legacy) {
        block[0] = static_cast<uint8_t>(bytes_per_pixel | ((width & 31) << 3));
        block[1] = static_cast<uint8_t>(width >> 5);
        block[2] = static_cast<uint8_t>(height & 0xFF);
        block[3] = static_cast<uint8_t>(height >> 8);
    } else {
        ImageHeader header{image_header_type, bytes_per_pixel, width, height, static_cast<int32_t>(pitch), {}};
        std::memcpy(block, &header, sizeof header);
    }

    DrawState* state = draw_state();
    // A new block may reuse the address of a freed target: go through the screen so that the
    // state reads this header afresh instead of keeping the old image's lines.
    set_target(state, nullptr);
    set_target(state, block);
    choose_routines(state, 0xFF000000u);
    // The fill covers the padding at the end of each row too.
    bracket_begin(ctx);
    state->fill_span(block + header_size, fill, static_cast<size_t>(int64_t{height} * pitch / bpp));
    bracket_end(ctx);
    return block;
}

void image_destroy(void* image) {
    if (!image) return;
    // The drawing state must not keep pointing into a freed block.
    if (gfx_context()) {
        DrawState* state = draw_state();
        if (state->target == image) set_target(state, nullptr);
    }
    std::free(image);
}

}  // namespace vx
