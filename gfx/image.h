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

// Bytes the image claims to occupy, header included (header + height x pitch), or -1 when the
// header cannot describe an image: bytes per pixel other than 1, 2 or 4, a negative size, or a
// pitch shorter than a row.
int64_t image_block_size(const ImageView& view, int32_t target_bpp);

// The mask (transparent) colour of a pixel size: 0, 0xF81F or 0xFFFF00FF.
uint32_t mask_colour(int32_t bytes_per_pixel);

}  // namespace vx

namespace vx {

// The put routine contract: called once per put with the whole clipped rectangle; rows top
// to bottom, each left to right. Source and target never overlap.
using put_fn = void (*)(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                        int32_t dst_pitch, uint32_t alpha, void* blender, void* param);

// Put mode codes that put_image recognises.
constexpr int put_mode_trans = 0;
constexpr int put_mode_alpha = 6;

// x1 of put_image meaning "the whole image" (the other three corners are then ignored).
constexpr int32_t whole_image = static_cast<int32_t>(0xFFFF0000u);

// Creates an image buffer (header and rows) owned by the caller; null when refused. depth <= 0
// means the screen's; flags bit 31 fills it with the mask colour instead of `colour`.
void* image_create(int32_t width, int32_t height, uint32_t colour, int32_t depth, uint32_t flags);
void image_destroy(void* image);

// Puts an image, or the rectangle (x1, y1)-(x2, y2) of it, at (x, y) on the target (null for
// the screen) through `put`. Returns the error code, also stored as the last error.
int put_image(void* target, float x, float y, void* image, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
              int coord_type, int mode, put_fn put, uint32_t alpha, void* blender, void* param);

// Mode 0: leaves out pixels of the mask colour; at 4 bytes per pixel the alpha byte of what is
// copied is cleared.
void put_trans(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch, int32_t dst_pitch,
               uint32_t alpha, void* blender, void* param);
// Mode 6 with a 1-byte image on a 4-byte target: the source byte becomes the alpha byte.
void put_alpha_mask(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                    int32_t dst_pitch, uint32_t alpha, void* blender, void* param);

// The transparent-put routines by target bytes per pixel (slots for 1, 2, 3 and 4 bytes; the
// 3-byte slot is empty). put_trans takes the table its DrawState remembers in trans_routines.
struct TransRoutines {
    put_fn slots[4];
};
extern const TransRoutines put_trans_plain;
// The wide table: AVX2 routines where the processor has AVX2 (decided once, when the program
// starts), else SSE2; the plain table where SSE2 is missing. The SSE2-only form is what a
// processor without AVX2 runs; tests compare both with the plain table.
extern const TransRoutines put_trans_sse2;
extern const TransRoutines put_trans_sse2_only;

// The two variants put_alpha_mask chooses between at each call.
void put_alpha_mask_plain(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                          int32_t dst_pitch, uint32_t alpha, void* blender, void* param);
void put_alpha_mask_sse2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                         int32_t dst_pitch, uint32_t alpha, void* blender, void* param);

}  // namespace vx
