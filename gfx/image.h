// Image buffers: a header followed by pixel rows in the screen's pixel formats.
#pragma once

#include <cstdint>

namespace vx {

// The header image_create makes: 32 bytes, then rows padded to a multiple of 16 bytes.
struct ImageHeader {
    int32_t type;    // always image_header_type
    int32_t bpp;     // bytes per pixel: 1, 2 or 4
    int32_t width;
    int32_t height;
    int32_t pitch;   // bytes from one row to the next
    uint8_t reserved[12];
};
static_assert(sizeof(ImageHeader) == 32);
constexpr int32_t image_header_type = 7;

// What a put or a drawing call reads from either header form. The legacy form is 4 bytes:
// bits 0-2 bytes per pixel (0 = the target's), 13-bit width, 16-bit height, packed rows.
struct ImageView {
    int32_t bpp;     // 0 for a legacy header that leaves it to the target
    int32_t width;
    int32_t height;
    int32_t pitch;   // for legacy headers with bpp 0, computed by the caller from the target
    uint8_t* pixels;
    bool legacy;
};

// Reads the header of an image buffer (either form). `target_bpp` stands in for a legacy
// bytes-per-pixel of 0.
ImageView image_view(void* image, int32_t target_bpp);

}  // namespace vx
