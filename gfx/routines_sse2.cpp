// The vector routine family (SSE2, present on every x86-64 processor): fills and copies 16
// bytes per step after handling the low bits of the count, and blends four pixels at a time.
// Puts and reads of single pixels are shared with the plain family.
#include "gfx/pixels.h"
#include "gfx/primitives.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vx {
namespace {

#if defined(__SSE2__)

// Fills `bytes` bytes with a 16-byte pattern that repeats every `unit` bytes; the odd units
// at the start are written one by one so the vector loop moves whole 16-byte blocks.
inline void fill_pattern(uint8_t* p, __m128i pattern, size_t bytes) {
    size_t blocks = bytes / 16;
    for (size_t i = 0; i < blocks; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i * 16), pattern);
}

void mem_fill_sse2(void* address, uint8_t value, size_t bytes) {
    auto* p = static_cast<uint8_t*>(address);
    size_t head = bytes & 15;
    for (size_t i = 0; i < head; ++i) p[i] = value;
    fill_pattern(p + head, _mm_set1_epi8(static_cast<char>(value)), bytes - head);
}

void mem_copy_sse2(void* destination, const void* source, size_t bytes) {
    auto* d = static_cast<uint8_t*>(destination);
    auto* s = static_cast<const uint8_t*>(source);
    size_t head = bytes & 15;
    for (size_t i = 0; i < head; ++i) d[i] = s[i];
    for (size_t i = head; i < bytes; i += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
}

void fill_span8_sse2(uint8_t* p, uint32_t c, size_t n) { mem_fill_sse2(p, static_cast<uint8_t>(c), n); }

void fill_span16_sse2(uint8_t* p, uint32_t c, size_t n) {
    size_t head = n & 7;
    for (size_t i = 0; i < head; ++i) store16(p + i * 2, static_cast<uint16_t>(c));
    fill_pattern(p + head * 2, _mm_set1_epi16(static_cast<short>(c)), (n - head) * 2);
}

void fill_span32_sse2(uint8_t* p, uint32_t c, size_t n) {
    size_t head = n & 3;
    for (size_t i = 0; i < head; ++i) store32(p + i * 4, c);
    fill_pattern(p + head * 4, _mm_set1_epi32(static_cast<int>(c)), (n - head) * 4);
}

// Four pixels: every byte becomes (d * (256 - a) + s * a) >> 8, alpha byte included.
inline __m128i blend4(__m128i src_lo, __m128i src_hi, __m128i weight_d, __m128i dst) {
    __m128i zero = _mm_setzero_si128();
    __m128i d_lo = _mm_unpacklo_epi8(dst, zero), d_hi = _mm_unpackhi_epi8(dst, zero);
    // Products stay below 65536 because s, d <= 255 and the weights add up to 256.
    __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(d_lo, weight_d), src_lo), 8);
    __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(d_hi, weight_d), src_hi), 8);
    return _mm_packus_epi16(lo, hi);
}

void copy_span8_sse2(uint8_t* d, const uint8_t* s, size_t n) { mem_copy_sse2(d, s, n); }
void copy_span16_sse2(uint8_t* d, const uint8_t* s, size_t n) { mem_copy_sse2(d, s, n * 2); }
void copy_span32_sse2(uint8_t* d, const uint8_t* s, size_t n) { mem_copy_sse2(d, s, n * 4); }

void put_pixel32_blend_sse2(DrawState* s, int x, int y, uint32_t c) {
    uint8_t* p = s->lines[y] + x * 4;
    store32(p, blend_bytes(c, load32(p)));
}

void fill_span32_blend_sse2(uint8_t* p, uint32_t c, size_t n) {
    if (n == 0) return;
    if (n & 1) {
        // The odd first pixel takes the packed two-lane form for both lane pairs.
        uint32_t d = load32(p), a = c >> 24;
        uint32_t rb = ((d & 0x00FF00FFu) + ((((c & 0x00FF00FFu) - (d & 0x00FF00FFu)) * a) >> 8)) & 0x00FF00FFu;
        uint32_t ga = (((((c & 0xFF00FF00u) - (d & 0xFF00FF00u)) >> 8) * a) + (d & 0xFF00FF00u)) & 0xFF00FF00u;
        store32(p, rb | ga);
        p += 4;
        --n;
    }
    uint32_t a = c >> 24;
    __m128i zero = _mm_setzero_si128();
    __m128i src = _mm_set1_epi32(static_cast<int>(c));
    __m128i weight_s = _mm_set1_epi16(static_cast<short>(a));
    __m128i weight_d = _mm_set1_epi16(static_cast<short>(256 - a));
    __m128i s_lo = _mm_mullo_epi16(_mm_unpacklo_epi8(src, zero), weight_s);
    __m128i s_hi = _mm_mullo_epi16(_mm_unpackhi_epi8(src, zero), weight_s);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        auto* q = reinterpret_cast<__m128i*>(p + i * 4);
        _mm_storeu_si128(q, blend4(s_lo, s_hi, weight_d, _mm_loadu_si128(q)));
    }
    for (; i < n; ++i) store32(p + i * 4, blend_bytes(c, load32(p + i * 4)));
}

#endif  // __SSE2__

}  // namespace

#if defined(__SSE2__)
const RoutineFamily vector_routines = {
    {
        {put_pixel8, put_pixel8, fill_span8_sse2, fill_span8_sse2, get_pixel8, copy_span8_sse2},
        {put_pixel16, put_pixel16, fill_span16_sse2, fill_span16_sse2, get_pixel16, copy_span16_sse2},
        {put_pixel32, put_pixel32_blend_sse2, fill_span32_sse2, fill_span32_blend_sse2, get_pixel32, copy_span32_sse2},
    },
    mem_fill_sse2,
    mem_copy_sse2,
};
#else
const RoutineFamily vector_routines = plain_routines;
#endif

}  // namespace vx
