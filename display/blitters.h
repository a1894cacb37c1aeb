// Pixel format conversion: routines that turn the dirty lines of the displayed framebuffer page
// into a display's pixel format, in a plain family and a vector (SSE2) family giving the same
// bytes, and the selection of one routine for a display format.
#pragma once

#include <cstdint>

namespace vx {

// Converts every framebuffer line whose dirty flag is set into destination + output line *
// pitch (each line twice at scale 2). Reads the current context; leaves the flags alone.
using Blitter = void (*)(uint8_t* destination, int destination_pitch);

// Source forms by the context's depth, and destination formats by bit count.
enum BlitSource : int { blit_from_index = 0, blit_from_16 = 1, blit_from_32 = 2 };
constexpr int blit_destination_bits[5] = {8, 15, 16, 24, 32};

// One family: [source][destination bits index][reversed]; null where no conversion exists.
struct BlitterFamily {
    Blitter routines[3][5][2];
};
extern const BlitterFamily plain_blitters;
extern const BlitterFamily vector_blitters;

// Builds rgb565_lut in the context's conversion table and returns the routine that converts
// the context's framebuffer to `bits` (8, 15, 16, 24 or 32) in normal or reversed channel
// order, from the vector family when the context uses vector routines; null when none fits.
Blitter blitter_select(int bits, bool reversed);

// The routine of one family for a source depth (1..32) and destination; null when none.
Blitter blitter_lookup(const BlitterFamily& family, int source_depth, int bits, bool reversed);

// The two 256-entry tables (low byte, then high byte) that widen a 5-6-5 pixel p to 32 bits
// as L[p & 0xFF] | H[p >> 8].
void rgb565_lut_build(uint32_t* table, bool reversed);

// Zoomed presentation: from now on every routine writes each framebuffer pixel as a
// zoom x zoom block of destination pixels `bits` wide (8, 15, 16, 24 or 32), converting each
// dirty line once and replicating it as it goes. Zoom 1 is the plain behaviour above.
void blitter_zoom_set(int zoom, int bits);

// 32-bit copy with the top byte cleared, for displays that read it as alpha.
void blit_alpha_clear(uint8_t* destination, int destination_pitch);

}  // namespace vx
