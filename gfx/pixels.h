// Unaligned-safe pixel loads and stores shared by the routine families.
#pragma once

#include <cstdint>
#include <cstring>

namespace vx {

// Marks a routine compiled for AVX2. Such routines are reached only through a table entry set
// after the processor has reported AVX2, so the build itself runs on any x86-64.
#define VX_TARGET_AVX2 __attribute__((target("avx2")))

inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Blend of source s over d with the source's alpha byte, red/blue and green in two packed
// lanes; the result takes the source's alpha byte.
inline uint32_t blend_packed(uint32_t s, uint32_t d) {
    uint32_t a = s >> 24;
    uint32_t rb = ((d & 0x00FF00FFu) + ((((s & 0x00FF00FFu) - (d & 0x00FF00FFu)) * a) >> 8)) & 0x00FF00FFu;
    uint32_t g = ((d & 0x0000FF00u) + ((((s & 0x0000FF00u) - (d & 0x0000FF00u)) * a) >> 8)) & 0x0000FF00u;
    return rb | g | (s & 0xFF000000u);
}

// The vector family's blend: every byte, alpha included, as (d * (256 - a) + s * a) >> 8.
inline uint32_t blend_bytes(uint32_t s, uint32_t d) {
    uint32_t a = s >> 24, out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        uint32_t sb = (s >> shift) & 0xFF, db = (d >> shift) & 0xFF;
        out |= ((db * (256 - a) + sb * a) >> 8) << shift;
    }
    return out;
}

// Single-pixel puts and reads, shared by both routine families.
struct DrawState;
void put_pixel8(DrawState* s, int x, int y, uint32_t c);
void put_pixel16(DrawState* s, int x, int y, uint32_t c);
void put_pixel32(DrawState* s, int x, int y, uint32_t c);
uint32_t get_pixel8(DrawState* s, int x, int y);
uint32_t get_pixel16(DrawState* s, int x, int y);
uint32_t get_pixel32(DrawState* s, int x, int y);

}  // namespace vx
