// Pixels, lines and boxes, the coordinate handling all point-based drawing shares, and the
// per-pixel-size routine sets with their plain and vector families.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vxgfx/draw.h>

#include "gfx/context.h"

namespace vx {

// Turns relative into absolute coordinates and updates the last point; p2 may be null.
void apply_relative(DrawState* state, uint32_t flags, float* p1, float* p2);
struct PixelPoint {
    int x, y;
};
PixelPoint to_pixel(const DrawState* state, float x, float y);
int outcode(const DrawState* state, int x, int y);
uint16_t reverse16(uint16_t value);

void choose_routines(DrawState* state, uint32_t colour);
void select_routine_set(int bytes_per_pixel);

// The process-wide routine slots that select_routine_set fills.
struct RoutineSet {
    PutPixelFn put_pixel;
    PutPixelFn alpha_put_pixel;
    FillSpanFn fill_span;
    FillSpanFn alpha_fill_span;
    GetPixelFn get_pixel;
    CopySpanFn copy_span;
};
extern RoutineSet routine_set;
extern MemFillFn mem_fill;
extern MemCopyFn mem_copy;

// The two families, per bytes per pixel (index 0 = 1 byte, 1 = 2 bytes, 2 = 4 bytes).
struct RoutineFamily {
    RoutineSet sets[3];
    MemFillFn mem_fill;
    MemCopyFn mem_copy;
};
extern const RoutineFamily plain_routines;
// The vector family: SSE2, with AVX2 pixel fills where the processor has AVX2 (decided once,
// when the program starts). The SSE2-only form is what a processor without AVX2 runs; tests
// compare both with the plain family.
extern const RoutineFamily vector_routines;
extern const RoutineFamily vector_routines_sse2_only;

// True when the vector family may be used: the processor has it and it is not switched off
// (VXGFX_PLAIN=1 in the environment, or allow_vector_routines(false) from a test).
bool vector_routines_usable();
void allow_vector_routines(bool allowed);

}  // namespace vx
