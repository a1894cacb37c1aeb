// The plain routine family: one pixel or one byte per step, for every pixel size.
#include "gfx/pixels.h"
#include "gfx/primitives.h"

namespace vx {

void put_pixel8(DrawState* s, int x, int y, uint32_t c) { s->lines[y][x] = static_cast<uint8_t>(c); }
void put_pixel16(DrawState* s, int x, int y, uint32_t c) {
    store16(s->lines[y] + x * 2, static_cast<uint16_t>(c));
}
void put_pixel32(DrawState* s, int x, int y, uint32_t c) { store32(s->lines[y] + x * 4, c); }

uint32_t get_pixel8(DrawState* s, int x, int y) { return s->lines[y][x]; }
uint32_t get_pixel16(DrawState* s, int x, int y) { return load16(s->lines[y] + x * 2); }
uint32_t get_pixel32(DrawState* s, int x, int y) { return load32(s->lines[y] + x * 4); }

namespace {

void put_pixel32_blend(DrawState* s, int x, int y, uint32_t c) {
    uint8_t* p = s->lines[y] + x * 4;
    store32(p, blend_packed(c, load32(p)));
}

void mem_fill_plain(void* address, uint8_t value, size_t bytes) {
    auto* p = static_cast<uint8_t*>(address);
    for (size_t i = 0; i < bytes; ++i) p[i] = value;
}
void mem_copy_plain(void* destination, const void* source, size_t bytes) {
    auto* d = static_cast<uint8_t*>(destination);
    auto* s = static_cast<const uint8_t*>(source);
    for (size_t i = 0; i < bytes; ++i) d[i] = s[i];
}

void fill_span8(uint8_t* p, uint32_t c, size_t n) { mem_fill_plain(p, static_cast<uint8_t>(c), n); }
void fill_span16(uint8_t* p, uint32_t c, size_t n) {
    for (size_t i = 0; i < n; ++i) store16(p + i * 2, static_cast<uint16_t>(c));
}
void fill_span32(uint8_t* p, uint32_t c, size_t n) {
    for (size_t i = 0; i < n; ++i) store32(p + i * 4, c);
}
void fill_span32_blend(uint8_t* p, uint32_t c, size_t n) {
    for (size_t i = 0; i < n; ++i) store32(p + i * 4, blend_packed(c, load32(p + i * 4)));
}

void copy_span8(uint8_t* d, const uint8_t* s, size_t n) { mem_copy_plain(d, s, n); }
void copy_span16(uint8_t* d, const uint8_t* s, size_t n) { mem_copy_plain(d, s, n * 2); }
void copy_span32(uint8_t* d, const uint8_t* s, size_t n) { mem_copy_plain(d, s, n * 4); }

}  // namespace

const RoutineFamily plain_routines = {
    {
        {put_pixel8, put_pixel8, fill_span8, fill_span8, get_pixel8, copy_span8},
        {put_pixel16, put_pixel16, fill_span16, fill_span16, get_pixel16, copy_span16},
        {put_pixel32, put_pixel32_blend, fill_span32, fill_span32_blend, get_pixel32, copy_span32},
    },
    mem_fill_plain,
    mem_copy_plain,
};

}  // namespace vx
