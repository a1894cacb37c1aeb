// libFuzzer target: lzw_expand on arbitrary bytes, into destinations that end exactly where
// their heap block ends so that any write past the capacity is caught, with the decoder's
// promises checked as well.
#include <cstdint>
#include <cstring>
#include <memory>

#include "gfx/fonts.h"

namespace {

// Six times the built-in block; longer outputs end as "destination full", a path worth
// fuzzing too. Larger bounds only slow every run down.
constexpr size_t fuzz_lzw_capacity = 1 << 16;

// Allocated once: a fresh block per run would cost more than the decoding.
uint8_t* fuzz_lzw_buffer(int which) {
    static std::unique_ptr<uint8_t[]> buffers[2] = {std::make_unique<uint8_t[]>(fuzz_lzw_capacity),
                                                    std::make_unique<uint8_t[]>(fuzz_lzw_capacity)};
    return buffers[which].get();
}

struct Decoded {
    int result;
    size_t count;
    const uint8_t* bytes;
};

Decoded fuzz_lzw_decode(const uint8_t* data, size_t size, size_t capacity, int which) {
    uint8_t* destination = fuzz_lzw_buffer(which) + (fuzz_lzw_capacity - capacity);
    Decoded out{0, capacity, destination};
    out.result = vx::lzw_expand(data, size, destination, &out.count);
    if ((out.result != 0 && out.result != -1) || out.count > capacity) __builtin_trap();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Decoded full = fuzz_lzw_decode(data, size, fuzz_lzw_capacity, 0);

    // A smaller destination fails and keeps a prefix of the same output.
    if (full.count > 0) {
        Decoded half = fuzz_lzw_decode(data, size, full.count / 2, 1);
        if (half.result != -1 || std::memcmp(half.bytes, full.bytes, half.count) != 0) __builtin_trap();
    }
    // A complete stream also decodes into a destination of exactly its size.
    if (full.result == 0) {
        Decoded exact = fuzz_lzw_decode(data, size, full.count, 1);
        if (exact.result != 0 || exact.count != full.count ||
            std::memcmp(exact.bytes, full.bytes, full.count) != 0)
            __builtin_trap();
    }
    return 0;
}
