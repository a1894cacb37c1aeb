// The vector conversion family: 4 or 8 pixels per step with SSE2, finishing each line's
// remainder with the plain pixel functions, so every width gives the plain family's bytes.
// Palette sources need a lookup per pixel and use the plain lines.
#include "display/blitters.h"

#include "display/blit_lines.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vx {

using namespace blit;

#if defined(__SSE2__)
namespace {

inline __m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m128i mask32(uint32_t m) { return _mm_set1_epi32(static_cast<int>(m)); }
inline __m128i mask16(uint16_t m) { return _mm_set1_epi16(static_cast<short>(m)); }

// Four 0xAARRGGBB pixels to 5-5-5 or 5-6-5 in the low half of each 32-bit lane.
template <bool Rev, bool Is565>
inline __m128i pack_fields(__m128i v) {
    __m128i green = Is565 ? _mm_and_si128(_mm_srli_epi32(v, 5), mask32(0x07E0)) : _mm_and_si128(_mm_srli_epi32(v, 6), mask32(0x03E0));
    __m128i red_top = Is565 ? _mm_and_si128(_mm_srli_epi32(v, 8), mask32(0xF800)) : _mm_and_si128(_mm_srli_epi32(v, 9), mask32(0x7C00));
    __m128i blue_top = Is565 ? _mm_and_si128(_mm_slli_epi32(v, 8), mask32(0xF800)) : _mm_and_si128(_mm_slli_epi32(v, 7), mask32(0x7C00));
    __m128i blue_low = _mm_and_si128(_mm_srli_epi32(v, 3), mask32(0x1F));
    __m128i red_low = _mm_and_si128(_mm_srli_epi32(v, 19), mask32(0x1F));
    return Rev ? _mm_or_si128(_mm_or_si128(blue_top, green), red_low) : _mm_or_si128(_mm_or_si128(red_top, green), blue_low);
}

// Eight 16-bit results from two registers of 32-bit lanes; the sign-extension keeps
// packs_epi32 from saturating values above 0x7FFF.
inline __m128i narrow(__m128i a, __m128i b) {
    a = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16);
    b = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
    return _mm_packs_epi32(a, b);
}

// Four 5-6-5 pixels (zero-extended to 32 bits) widened as rgb565_lut does.
template <bool Rev>
inline __m128i widen565(__m128i p) {
    __m128i green = _mm_and_si128(_mm_slli_epi32(p, 5), mask32(0xFC00));
    __m128i blue = Rev ? _mm_slli_epi32(_mm_and_si128(p, mask32(0x1F)), 19) : _mm_slli_epi32(_mm_and_si128(p, mask32(0x1F)), 3);
    __m128i red = Rev ? _mm_and_si128(_mm_srli_epi32(p, 8), mask32(0xF8)) : _mm_and_si128(_mm_slli_epi32(p, 8), mask32(0xF80000));
    return _mm_or_si128(_mm_or_si128(green, blue), red);
}

inline __m128i swap_rb4(__m128i v) {
    __m128i red_blue = _mm_and_si128(v, mask32(0x00FF00FF));
    __m128i kept = _mm_and_si128(v, mask32(0xFF00FF00u));
    return _mm_or_si128(kept, _mm_or_si128(_mm_slli_epi32(red_blue, 16), _mm_srli_epi32(red_blue, 16)));
}

// Four 32-bit lanes whose top bytes are 0 written as 12 bytes.
inline void store_4x24(uint8_t* dst, __m128i v) {
    __m128i even = _mm_and_si128(v, _mm_set_epi32(0, -1, 0, -1));
    __m128i odd = _mm_srli_epi64(v, 32);
    __m128i pairs = _mm_or_si128(even, _mm_slli_epi64(odd, 24));  // 6 bytes in each 64-bit half
    __m128i packed = _mm_or_si128(_mm_move_epi64(pairs), _mm_slli_si128(_mm_srli_si128(pairs, 8), 6));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), packed);
    store32(dst + 8, static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(packed, 8))));
}

template <bool Rev, bool Is565>
void p32_to_16_sse2(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    int x = 0;
    for (; x + 8 <= width; x += 8)
        store(dst + 2 * x, narrow(pack_fields<Rev, Is565>(load(src + 4 * x)), pack_fields<Rev, Is565>(load(src + 4 * x + 16))));
    if (Is565) p32_to_16<Rev>(dst + 2 * x, src + 4 * x, width - x, t);
    else p32_to_15<Rev>(dst + 2 * x, src + 4 * x, width - x, t);
}

template <bool Rev>
void p32_to_24_sse2(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        __m128i v = load(src + 4 * x);
        if (Rev) v = swap_rb4(v);
        store_4x24(dst + 3 * x, _mm_and_si128(v, mask32(0x00FFFFFF)));
    }
    p32_to_24<Rev>(dst + 3 * x, src + 4 * x, width - x, t);
}

void p32_swap_sse2(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    int x = 0;
    for (; x + 4 <= width; x += 4) store(dst + 4 * x, swap_rb4(load(src + 4 * x)));
    p32_swap_line(dst + 4 * x, src + 4 * x, width - x, t);
}

template <bool Rev>
void p16_to_15_sse2(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        __m128i p = load(src + 2 * x), out;
        if (Rev)
            out = _mm_or_si128(_mm_or_si128(_mm_srli_epi16(p, 11), _mm_and_si128(_mm_srli_epi16(p, 1), mask16(0x03E0))),
                               _mm_slli_epi16(_mm_and_si128(p, mask16(0x1F)), 10));
        else
            out = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(p, 1), mask16(0x7FE0)), _mm_and_si128(p, mask16(0x1F)));
        store(dst + 2 * x, out);
    }
    p16_to_15<Rev>(dst + 2 * x, src + 2 * x, width - x, t);
}

void p16_swap_sse2(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        __m128i p = load(src + 2 * x);
        store(dst + 2 * x, _mm_or_si128(_mm_or_si128(_mm_srli_epi16(p, 11), _mm_and_si128(p, mask16(0x07E0))), _mm_slli_epi16(p, 11)));
    }
    p16_swap_line(dst + 2 * x, src + 2 * x, width - x, t);
}

template <bool Rev>
void p16_to_32_sse2(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    const __m128i zero = _mm_setzero_si128();
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        __m128i p = load(src + 2 * x);
        store(dst + 4 * x, widen565<Rev>(_mm_unpacklo_epi16(p, zero)));
        store(dst + 4 * x + 16, widen565<Rev>(_mm_unpackhi_epi16(p, zero)));
    }
    p16_to_32(dst + 4 * x, src + 2 * x, width - x, t);
}

template <bool Rev>
void p16_to_24_sse2(uint8_t* dst, const uint8_t* src, int width, const Tables& t) {
    const __m128i zero = _mm_setzero_si128();
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        __m128i p = load(src + 2 * x);
        store_4x24(dst + 3 * x, widen565<Rev>(_mm_unpacklo_epi16(p, zero)));
        store_4x24(dst + 3 * x + 12, widen565<Rev>(_mm_unpackhi_epi16(p, zero)));
    }
    p16_to_24(dst + 3 * x, src + 2 * x, width - x, t);
}

}  // namespace

const BlitterFamily vector_blitters = {{
    {
        {walk_dirty<copy_line<1>>, walk_dirty<copy_line<1>>},
        {walk_dirty<index_to_15<false>>, walk_dirty<index_to_15<true>>},
        {walk_dirty<index_to_16<false>>, walk_dirty<index_to_16<true>>},
        {walk_dirty<index_to_24<false>>, walk_dirty<index_to_24<true>>},
        {walk_dirty<index_to_32<false>>, walk_dirty<index_to_32<true>>},
    },
    {
        {nullptr, nullptr},
        {walk_dirty<p16_to_15_sse2<false>>, walk_dirty<p16_to_15_sse2<true>>},
        {walk_dirty<copy_line<2>>, walk_dirty<p16_swap_sse2>},
        {walk_dirty<p16_to_24_sse2<false>>, walk_dirty<p16_to_24_sse2<true>>},
        {walk_dirty<p16_to_32_sse2<false>>, walk_dirty<p16_to_32_sse2<true>>},
    },
    {
        {nullptr, nullptr},
        {walk_dirty<p32_to_16_sse2<false, false>>, walk_dirty<p32_to_16_sse2<true, false>>},
        {walk_dirty<p32_to_16_sse2<false, true>>, walk_dirty<p32_to_16_sse2<true, true>>},
        {walk_dirty<p32_to_24_sse2<false>>, walk_dirty<p32_to_24_sse2<true>>},
        {walk_dirty<copy_line<4>>, walk_dirty<p32_swap_sse2>},
    },
}};

#else

// Without SSE2 the vector family is the plain one.
const BlitterFamily vector_blitters = plain_blitters;

#endif

}  // namespace vx
