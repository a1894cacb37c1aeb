// The vector routine family (SSE2, present on every x86-64 processor): pixel fills with
// aligned 16-byte stores, byte fills and copies through libc, blends of four pixels at a time.
// Where the processor has AVX2 the pixel fills store aligned 32-byte blocks instead.
// Puts and reads of single pixels are shared with the plain family.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "gfx/pixels.h"
#include "gfx/primitives.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace vx {
namespace {

#if defined(__SSE2__)

// Byte fills and copies are libc's memset and memmove, which already use the widest stores
// this processor has (32 bytes where it has AVX); no SSE2 loop of ours comes near them.
// memmove, since a scroll by no rows copies a line onto itself.
void mem_fill_sse2(void* address, uint8_t value, size_t bytes) { std::memset(address, value, bytes); }
void mem_copy_sse2(void* destination, const void* source, size_t bytes) { std::memmove(destination, source, bytes); }
void fill_span8_sse2(uint8_t* p, uint32_t c, size_t n) { std::memset(p, static_cast<int>(c & 0xFF), n); }

// Pixel fills: single pixels up to a 16-byte boundary, then four aligned 16-byte stores a
// step, then the pixels left over. Any unit boundary starts the pattern afresh, so the vector
// part needs no rotation; a start that is not on a pixel boundary is filled unaligned.
template <int unit>
inline void store_unit(uint8_t* p, uint32_t c) {
    if constexpr (unit == 2) store16(p, static_cast<uint16_t>(c));
    else store32(p, c);
}

template <int unit, bool aligned>
inline void fill_blocks(uint8_t* p, __m128i pattern, size_t blocks) {
    auto store = [&](size_t at) {
        if constexpr (aligned) _mm_store_si128(reinterpret_cast<__m128i*>(p + at), pattern);
        else _mm_storeu_si128(reinterpret_cast<__m128i*>(p + at), pattern);
    };
    size_t i = 0;
    for (; i + 4 <= blocks; i += 4) {
        store(i * 16);
        store(i * 16 + 16);
        store(i * 16 + 32);
        store(i * 16 + 48);
    }
    for (; i < blocks; ++i) store(i * 16);
}

template <int unit>
void fill_units_sse2(uint8_t* p, uint32_t c, size_t n, __m128i pattern) {
    const auto address = reinterpret_cast<uintptr_t>(p);
    const bool on_units = (address & (unit - 1)) == 0;
    size_t lead = on_units ? std::min(n, ((16 - (address & 15)) & 15) / unit) : 0;
    for (size_t i = 0; i < lead; ++i) store_unit<unit>(p + i * unit, c);
    p += lead * unit;
    n -= lead;
    const size_t blocks = n * unit / 16;
    if (on_units) fill_blocks<unit, true>(p, pattern, blocks);
    else fill_blocks<unit, false>(p, pattern, blocks);
    for (size_t i = blocks * 16 / unit; i < n; ++i) store_unit<unit>(p + i * unit, c);
}

void fill_span16_sse2(uint8_t* p, uint32_t c, size_t n) {
    fill_units_sse2<2>(p, c, n, _mm_set1_epi16(static_cast<short>(c)));
}

void fill_span32_sse2(uint8_t* p, uint32_t c, size_t n) {
    fill_units_sse2<4>(p, c, n, _mm_set1_epi32(static_cast<int>(c)));
}

// The AVX2 pixel fills. `word` holds the bytes that belong at p, p + 1, p + 2 and p + 3 and
// repeats every 4 bytes (two 16-bit pixels or one 32-bit pixel); a store at any other offset
// takes it rotated. The span is covered by an unaligned 32-byte store at each end and aligned
// ones between: overlapping stores write the same bytes again, and none goes past the end.
inline uint32_t word_at(uint32_t word, size_t offset) {
    unsigned shift = (offset & 3) * 8;
    return shift ? (word >> shift) | (word << (32 - shift)) : word;
}

VX_TARGET_AVX2 void fill_pattern_avx2(uint8_t* p, uint32_t word, size_t bytes) {
    uint8_t* end = p + bytes;
    if (bytes >= 32) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                            _mm256_set1_epi32(static_cast<int>(word)));
        auto* q = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 32) & ~uintptr_t{31});
        const __m256i block = _mm256_set1_epi32(static_cast<int>(word_at(word, static_cast<size_t>(q - p))));
        for (; q + 128 <= end; q += 128) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(q), block);
            _mm256_store_si256(reinterpret_cast<__m256i*>(q + 32), block);
            _mm256_store_si256(reinterpret_cast<__m256i*>(q + 64), block);
            _mm256_store_si256(reinterpret_cast<__m256i*>(q + 96), block);
        }
        for (; q + 32 <= end; q += 32) _mm256_store_si256(reinterpret_cast<__m256i*>(q), block);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(end - 32),
                            _mm256_set1_epi32(static_cast<int>(word_at(word, bytes - 32))));
    } else if (bytes >= 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_set1_epi32(static_cast<int>(word)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(end - 16),
                         _mm_set1_epi32(static_cast<int>(word_at(word, bytes - 16))));
    } else if (bytes >= 8) {
        const uint64_t twice = 0x100000001u;
        uint64_t head = word * twice, tail = word_at(word, bytes - 8) * twice;
        std::memcpy(p, &head, 8);
        std::memcpy(end - 8, &tail, 8);
    } else if (bytes >= 4) {
        store32(p, word);
        store32(end - 4, word_at(word, bytes - 4));
    } else if (bytes >= 2) {
        store16(p, static_cast<uint16_t>(word));
    }
}

VX_TARGET_AVX2 void fill_span16_avx2(uint8_t* p, uint32_t c, size_t n) {
    uint32_t pixel = c & 0xFFFF;
    fill_pattern_avx2(p, pixel | pixel << 16, n * 2);
}

VX_TARGET_AVX2 void fill_span32_avx2(uint8_t* p, uint32_t c, size_t n) { fill_pattern_avx2(p, c, n * 4); }

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
const RoutineFamily vector_routines_sse2_only = {
    {
        {put_pixel8, put_pixel8, fill_span8_sse2, fill_span8_sse2, get_pixel8, copy_span8_sse2},
        {put_pixel16, put_pixel16, fill_span16_sse2, fill_span16_sse2, get_pixel16, copy_span16_sse2},
        {put_pixel32, put_pixel32_blend_sse2, fill_span32_sse2, fill_span32_blend_sse2, get_pixel32, copy_span32_sse2},
    },
    mem_fill_sse2,
    mem_copy_sse2,
};

namespace {
RoutineFamily with_avx2_where_present(RoutineFamily family) {
    // Runs while static objects are built, possibly before the library's own feature probe.
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) return family;
    // At 2 bytes per pixel the blending slot holds the plain fill too.
    family.sets[1].fill_span = family.sets[1].alpha_fill_span = fill_span16_avx2;
    family.sets[2].fill_span = fill_span32_avx2;
    return family;
}
}  // namespace

const RoutineFamily vector_routines = with_avx2_where_present(vector_routines_sse2_only);
#else
const RoutineFamily vector_routines_sse2_only = plain_routines;
const RoutineFamily vector_routines = plain_routines;
#endif

}  // namespace vx
