// The wide transparent-put table and alpha-mask put (SSE2, present on every x86-64
// processor): 16 bytes per step after the row's leftover pixels, which take the plain form.
// Where the processor has AVX2 the table's transparent puts take 32 bytes per step instead.
// They give the same bytes as the plain routines in put.cpp.
#include "gfx/image.h"
#include "gfx/pixels.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace vx {

#if defined(__SSE2__)

namespace {

inline __m128i load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store128(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The target's lanes where `is_mask` is set, the value's elsewhere.
inline __m128i select128(__m128i is_mask, __m128i target, __m128i value) {
    return _mm_or_si128(_mm_and_si128(is_mask, target), _mm_andnot_si128(is_mask, value));
}

// Writes the lanes of `value` whose `is_mask` lanes are clear.
inline void merge128(uint8_t* dst, __m128i value, __m128i is_mask) { store128(dst, select128(is_mask, load128(dst), value)); }

// Block tests of the transparent puts: each turns a source block into what is stored and
// returns its mask lanes. At 4 bytes per pixel the copied value loses its alpha byte before
// the compare and the store.
struct Keep16Sse2 {
    __m128i key;
    __m128i operator()(__m128i& v) const { return _mm_cmpeq_epi16(v, key); }
};
struct Keep32Sse2 {
    __m128i low24, key;
    __m128i operator()(__m128i& v) const {
        v = _mm_and_si128(v, low24);
        return _mm_cmpeq_epi32(v, key);
    }
};

// One row's vector part: `bytes` (a multiple of 16) from src to dst, four blocks per step
// while they last. `keep` turns a source block into what is stored and returns its mask
// lanes. A group of four blocks without a mask pixel, most of a picture, is stored without
// reading the target; the test is made per group rather than per block so that a scattered
// mask costs few mispredicted branches.
template <typename Keep>
inline void trans_blocks(const uint8_t* src, uint8_t* dst, size_t bytes, Keep keep) {
    size_t i = 0;
    for (; i + 64 <= bytes; i += 64) {
        __m128i v0 = load128(src + i), v1 = load128(src + i + 16), v2 = load128(src + i + 32), v3 = load128(src + i + 48);
        __m128i m0 = keep(v0), m1 = keep(v1), m2 = keep(v2), m3 = keep(v3);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3))) == 0) {
            store128(dst + i, v0);
            store128(dst + i + 16, v1);
            store128(dst + i + 32, v2);
            store128(dst + i + 48, v3);
            continue;
        }
        // All four target blocks are read before any is written: the stores could alias the
        // source for all the compiler knows, and interleaving would make it reload.
        __m128i d0 = load128(dst + i), d1 = load128(dst + i + 16), d2 = load128(dst + i + 32), d3 = load128(dst + i + 48);
        store128(dst + i, select128(m0, d0, v0));
        store128(dst + i + 16, select128(m1, d1, v1));
        store128(dst + i + 32, select128(m2, d2, v2));
        store128(dst + i + 48, select128(m3, d3, v3));
    }
    for (; i < bytes; i += 16) {
        __m128i v = load128(src + i);
        __m128i m = keep(v);
        merge128(dst + i, v, m);
    }
}

// The 8-bit mask colour is 0, so a mask byte of the source is already zero and OR-ing in the
// target's bytes under the mask selects without a branch. Without the group test a scattered
// mask (most groups of 64 pixels hold one) costs no mispredicted branches.
inline void trans_blocks_zero_key(const uint8_t* src, uint8_t* dst, size_t bytes) {
    const __m128i zero = _mm_setzero_si128();
    auto keep = [&](__m128i v, __m128i target) { return _mm_or_si128(v, _mm_and_si128(_mm_cmpeq_epi8(v, zero), target)); };
    size_t i = 0;
    for (; i + 64 <= bytes; i += 64) {
        __m128i v0 = load128(src + i), v1 = load128(src + i + 16), v2 = load128(src + i + 32), v3 = load128(src + i + 48);
        __m128i d0 = load128(dst + i), d1 = load128(dst + i + 16), d2 = load128(dst + i + 32), d3 = load128(dst + i + 48);
        store128(dst + i, keep(v0, d0));
        store128(dst + i + 16, keep(v1, d1));
        store128(dst + i + 32, keep(v2, d2));
        store128(dst + i + 48, keep(v3, d3));
    }
    for (; i < bytes; i += 16) store128(dst + i, keep(load128(src + i), load128(dst + i)));
}

void put_trans8_sse2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                     int32_t dst_pitch, uint32_t, void*, void*) {
    if (width <= 0) return;
    int32_t head = width & 15;
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch) {
        for (int32_t i = 0; i < head; ++i)
            if (src[i] != 0) dst[i] = src[i];
        trans_blocks_zero_key(src + head, dst + head, static_cast<size_t>(width - head));
    }
}

void put_trans16_sse2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                      int32_t dst_pitch, uint32_t, void*, void*) {
    if (width <= 0) return;
    const Keep16Sse2 keep{_mm_set1_epi16(static_cast<short>(0xF81F))};
    int32_t head = width & 7;
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch) {
        for (int32_t i = 0; i < head; ++i) {
            uint16_t v = load16(src + i * 2);
            if (v != 0xF81F) store16(dst + i * 2, v);
        }
        trans_blocks(src + head * 2, dst + head * 2, static_cast<size_t>(width - head) * 2, keep);
    }
}

void put_trans32_sse2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                      int32_t dst_pitch, uint32_t, void*, void*) {
    if (width <= 0) return;
    const Keep32Sse2 keep{_mm_set1_epi32(0x00FFFFFF), _mm_set1_epi32(0x00FF00FF)};
    int32_t head = width & 3;
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch) {
        for (int32_t i = 0; i < head; ++i) {
            uint32_t v = load32(src + i * 4) & 0x00FFFFFFu;
            if (v != 0x00FF00FFu) store32(dst + i * 4, v);
        }
        trans_blocks(src + head * 4, dst + head * 4, static_cast<size_t>(width - head) * 4, keep);
    }
}

// The AVX2 forms: the row's 32-byte blocks first, four a step while they last, then one
// 16-byte block if it fits, then single pixels in the plain form.
VX_TARGET_AVX2 inline __m256i load256(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
VX_TARGET_AVX2 inline void store256(uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// As trans_blocks: a group of four blocks without a mask pixel is stored without reading the
// target. Returns the bytes done (a multiple of 32).
template <typename Keep>
VX_TARGET_AVX2 inline size_t trans_blocks_avx2(const uint8_t* src, uint8_t* dst, size_t bytes, Keep keep) {
    size_t i = 0;
    for (; i + 128 <= bytes; i += 128) {
        __m256i v0 = load256(src + i), v1 = load256(src + i + 32), v2 = load256(src + i + 64), v3 = load256(src + i + 96);
        __m256i m0 = keep(v0), m1 = keep(v1), m2 = keep(v2), m3 = keep(v3);
        __m256i any = _mm256_or_si256(_mm256_or_si256(m0, m1), _mm256_or_si256(m2, m3));
        if (_mm256_testz_si256(any, any)) {
            store256(dst + i, v0);
            store256(dst + i + 32, v1);
            store256(dst + i + 64, v2);
            store256(dst + i + 96, v3);
            continue;
        }
        __m256i d0 = load256(dst + i), d1 = load256(dst + i + 32), d2 = load256(dst + i + 64), d3 = load256(dst + i + 96);
        store256(dst + i, _mm256_blendv_epi8(v0, d0, m0));
        store256(dst + i + 32, _mm256_blendv_epi8(v1, d1, m1));
        store256(dst + i + 64, _mm256_blendv_epi8(v2, d2, m2));
        store256(dst + i + 96, _mm256_blendv_epi8(v3, d3, m3));
    }
    for (; i + 32 <= bytes; i += 32) {
        __m256i v = load256(src + i);
        __m256i m = keep(v);
        store256(dst + i, _mm256_blendv_epi8(v, load256(dst + i), m));
    }
    return i;
}

struct Keep16Avx2 {
    __m256i key;
    VX_TARGET_AVX2 __m256i operator()(__m256i& v) const { return _mm256_cmpeq_epi16(v, key); }
};

struct Keep32Avx2 {
    __m256i low24, key;
    VX_TARGET_AVX2 __m256i operator()(__m256i& v) const {
        v = _mm256_and_si256(v, low24);
        return _mm256_cmpeq_epi32(v, key);
    }
};

// The rest of a row after its 32-byte blocks: one 16-byte block if it fits; returns the bytes
// done.
template <typename Keep>
VX_TARGET_AVX2 inline size_t trans_block16(const uint8_t* src, uint8_t* dst, size_t bytes, Keep keep) {
    if (bytes < 16) return 0;
    __m128i v = load128(src);
    __m128i m = keep(v);
    merge128(dst, v, m);
    return 16;
}

// 8 bits: every block reads the target and blends, with no group test; 128 bytes hold 128
// pixels, so a scattered mask would fail the test in most groups and mispredict.
VX_TARGET_AVX2 inline size_t trans_blocks_zero_key_avx2(const uint8_t* src, uint8_t* dst, size_t bytes) {
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 128 <= bytes; i += 128) {
        __m256i v0 = load256(src + i), v1 = load256(src + i + 32), v2 = load256(src + i + 64), v3 = load256(src + i + 96);
        __m256i d0 = load256(dst + i), d1 = load256(dst + i + 32), d2 = load256(dst + i + 64), d3 = load256(dst + i + 96);
        store256(dst + i, _mm256_blendv_epi8(v0, d0, _mm256_cmpeq_epi8(v0, zero)));
        store256(dst + i + 32, _mm256_blendv_epi8(v1, d1, _mm256_cmpeq_epi8(v1, zero)));
        store256(dst + i + 64, _mm256_blendv_epi8(v2, d2, _mm256_cmpeq_epi8(v2, zero)));
        store256(dst + i + 96, _mm256_blendv_epi8(v3, d3, _mm256_cmpeq_epi8(v3, zero)));
    }
    for (; i + 32 <= bytes; i += 32) {
        __m256i v = load256(src + i);
        store256(dst + i, _mm256_blendv_epi8(v, load256(dst + i), _mm256_cmpeq_epi8(v, zero)));
    }
    if (i + 16 <= bytes) {
        __m128i v = load128(src + i);
        store128(dst + i, _mm_blendv_epi8(v, load128(dst + i), _mm_cmpeq_epi8(v, _mm_setzero_si128())));
        i += 16;
    }
    return i;
}

VX_TARGET_AVX2 void put_trans8_avx2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                                    int32_t src_pitch, int32_t dst_pitch, uint32_t, void*, void*) {
    if (width <= 0) return;
    const auto bytes = static_cast<size_t>(width);
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch) {
        for (size_t i = trans_blocks_zero_key_avx2(src, dst, bytes); i < bytes; ++i)
            if (src[i] != 0) dst[i] = src[i];
    }
}

VX_TARGET_AVX2 void put_trans16_avx2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                                     int32_t src_pitch, int32_t dst_pitch, uint32_t, void*, void*) {
    if (width <= 0) return;
    const Keep16Avx2 keep{_mm256_set1_epi16(static_cast<short>(0xF81F))};
    const Keep16Sse2 keep_last{_mm_set1_epi16(static_cast<short>(0xF81F))};
    const size_t bytes = static_cast<size_t>(width) * 2;
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch) {
        size_t i = trans_blocks_avx2(src, dst, bytes, keep);
        i += trans_block16(src + i, dst + i, bytes - i, keep_last);
        for (; i < bytes; i += 2) {
            uint16_t v = load16(src + i);
            if (v != 0xF81F) store16(dst + i, v);
        }
    }
}

VX_TARGET_AVX2 void put_trans32_avx2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                                     int32_t src_pitch, int32_t dst_pitch, uint32_t, void*, void*) {
    if (width <= 0) return;
    const Keep32Avx2 keep{_mm256_set1_epi32(0x00FFFFFF), _mm256_set1_epi32(0x00FF00FF)};
    const Keep32Sse2 keep_last{_mm_set1_epi32(0x00FFFFFF), _mm_set1_epi32(0x00FF00FF)};
    const size_t bytes = static_cast<size_t>(width) * 4;
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch) {
        size_t i = trans_blocks_avx2(src, dst, bytes, keep);
        i += trans_block16(src + i, dst + i, bytes - i, keep_last);
        for (; i < bytes; i += 4) {
            uint32_t v = load32(src + i) & 0x00FFFFFFu;
            if (v != 0x00FF00FFu) store32(dst + i, v);
        }
    }
}

TransRoutines with_avx2_where_present(TransRoutines table) {
    // Runs while static objects are built, possibly before the library's own feature probe.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) table = {{put_trans8_avx2, put_trans16_avx2, nullptr, put_trans32_avx2}};
    return table;
}

}  // namespace

const TransRoutines put_trans_sse2_only = {{put_trans8_sse2, put_trans16_sse2, nullptr, put_trans32_sse2}};
const TransRoutines put_trans_sse2 = with_avx2_where_present(put_trans_sse2_only);

void put_alpha_mask_sse2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                         int32_t dst_pitch, uint32_t, void*, void*) {
    if (width <= 0) return;
    const __m128i zero = _mm_setzero_si128(), colour = _mm_set1_epi32(0x00FFFFFF);
    int32_t head = width & 3;
    for (int32_t y = 0; y < height; ++y, src += src_pitch, dst += dst_pitch) {
        for (int32_t i = 0; i < head; ++i)
            store32(dst + i * 4, (load32(dst + i * 4) & 0x00FFFFFFu) | (uint32_t{src[i]} << 24));
        for (int32_t i = head; i < width; i += 4) {
            // Four source bytes widened to the top byte of four 32-bit lanes.
            __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(load32(src + i)));
            __m128i alpha = _mm_unpacklo_epi16(zero, _mm_unpacklo_epi8(zero, bytes));
            store128(dst + i * 4, _mm_or_si128(_mm_and_si128(load128(dst + i * 4), colour), alpha));
        }
    }
}

#else

// Without SSE2 the wide table forwards to the plain routines (looked up at call time, so
// the order in which the two tables are initialised does not matter).
namespace {
template <int slot>
void put_trans_forward(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                       int32_t dst_pitch, uint32_t alpha, void* blender, void* param) {
    put_trans_plain.slots[slot](src, dst, width, height, src_pitch, dst_pitch, alpha, blender, param);
}
}  // namespace

const TransRoutines put_trans_sse2 = {{put_trans_forward<0>, put_trans_forward<1>, nullptr, put_trans_forward<3>}};
const TransRoutines put_trans_sse2_only = put_trans_sse2;

void put_alpha_mask_sse2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t src_pitch,
                         int32_t dst_pitch, uint32_t alpha, void* blender, void* param) {
    put_alpha_mask_plain(src, dst, width, height, src_pitch, dst_pitch, alpha, blender, param);
}

#endif

}  // namespace vx
