// Image buffers: a header followed by pixel rows in the screen's pixel formats.
#pragma once

#include <cstdint>

#include <vxgfx/image.h>

namespace vx {

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

}  // namespace vx

namespace vx {

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
