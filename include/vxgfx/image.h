// vxgfx images: buffers in the screen's pixel formats that drawing can target and that put_image
// copies onto the screen or onto each other, leaving out the mask colour; and bitmap loading.
#pragma once

#include <cstdint>

namespace vx {

// The header image_create makes: 32 bytes, then `height` rows of `pitch` bytes, each row
// padded to a multiple of 16 bytes.
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

// The mask (transparent) colour of a pixel size: 0 at 1 byte, 0xF81F (magenta in 5-6-5) at 2,
// 0xFFFF00FF at 4. Transparent puts leave out pixels of this colour (at 4 bytes, of its low 24
// bits, 0xFF00FF, whatever the alpha byte).
uint32_t mask_colour(int32_t bytes_per_pixel);

// Creates an image of width x height pixels, both above 0. depth: bits per pixel, 1..16 or
// 25..32 (1, 2 or 4 bytes), <= 0 for the screen's. Filled with `colour` (0xRRGGBB, converted
// to 5-6-5 at 2 bytes, its low byte at 1), or with the mask colour when flags has bit 31.
// The caller owns the image and frees it with image_destroy. Null when refused: no screen is
// open (an image needs one, whatever its depth), a size or depth out of range, no memory.
void* image_create(int32_t width, int32_t height, uint32_t colour, int32_t depth, uint32_t flags);
// Frees an image from image_create; null does nothing.
void image_destroy(void* image);

// The put routine contract: called once per put with the whole clipped rectangle, rows top to
// bottom, each left to right. Source and target never overlap.
using put_fn = void (*)(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                        int32_t dst_pitch, uint32_t alpha, void* blender, void* param);

// Put mode codes that put_image recognises: with put_trans, and with put_alpha_mask.
constexpr int put_mode_trans = 0;
constexpr int put_mode_alpha = 6;

// x1 of put_image meaning "the whole image" (the other three corners are then ignored).
constexpr int32_t whole_image = static_cast<int32_t>(0xFFFF0000u);

// Puts `image`, or its rectangle (x1, y1)-(x2, y2) (corners included), with its top-left pixel
// at (x, y) of `target` (null: the screen's work page; else another image), clipped, through
// `put` (put_trans for the transparent put). coord_type: bit 1, (x, y) relative to the last
// point; bit 0, (x2, y2) relative to (x1, y1). alpha, blender and param go to `put` unchanged
// (put_trans ignores them: pass 0xFFFFFFFF, null, null). Lines the screen shows are marked
// dirty and presented. Returns 0 (also when everything was clipped), or 1 for no screen, a
// null or unusable image, or an image whose pixel size is not the target's (but for mode 6
// with put_alpha_mask); stored as the last error. Both images stay the caller's.
int put_image(void* target, float x, float y, void* image, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
              int coord_type, int mode, put_fn put, uint32_t alpha, void* blender, void* param);

// Mode 0, the transparent put: copies every pixel but those of the mask colour; at 4 bytes per
// pixel the alpha byte of what is copied is cleared. SSE2 or AVX2 where the processor has them.
void put_trans(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch, int32_t dst_pitch,
               uint32_t alpha, void* blender, void* param);
// Mode 6 with a 1-byte image on a 4-byte target: each source byte becomes the alpha byte.
void put_alpha_mask(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                    int32_t dst_pitch, uint32_t alpha, void* blender, void* param);

// Loads a file: a Windows bitmap ("BM", uncompressed, 1, 4, 8, 24 or 32 bits per pixel) or a
// raw dump (first byte 0xFD or 0xFE). destination null: onto the screen's work page; else into an image (converted to
// its pixel size; it must be large enough) or into a memory block the caller sized, which the
// loader turns into an image. palette_buffer null: a bitmap's palette becomes the screen's and
// is shown; else its 256 entries go there (6-bit levels, r + g * 256 + b * 65536) and the
// screen's palette stays. The file name and both buffers stay the caller's.
// Returns 0; 1 for an invalid call (no screen where one is needed, a 15- or 16-bit bitmap, 24 or
// 32 bits into a 1-byte destination); 2 when the file cannot be opened; 3 for an unrecognised
// or damaged file.
int image_load(const char* file_name, void* destination, uint32_t* palette_buffer);

}  // namespace vx
