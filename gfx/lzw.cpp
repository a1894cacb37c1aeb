// The 12-bit LZW decoder that restores the built-in block; safe on any input, since a
// corrupt stream must end in -1 and never in a write or read outside the buffers.
#include <cstring>

#include "gfx/fonts.h"

namespace vx {

namespace {

constexpr unsigned end_code = 0xFFF;
constexpr unsigned first_entry = 256;
constexpr unsigned last_entry = 4094;
constexpr size_t scratch_size = 4096;

// Codes come two per three bytes, low bits first. A code is there only when every byte it
// takes a bit from is, so a trailing byte holding half a pair ends the input.
struct CodeReader {
    const uint8_t* input;
    size_t length;
    size_t index = 0;  // number of codes read

    bool next(unsigned* code) {
        size_t at = index / 2 * 3;
        if (index % 2 == 0) {
            if (length < 2 || at > length - 2) return false;
            *code = input[at] | (input[at + 1] & 0x0Fu) << 8;
        } else {
            if (length < 3 || at > length - 3) return false;
            *code = (input[at + 1] >> 4) | static_cast<unsigned>(input[at + 2]) << 4;
        }
        ++index;
        return true;
    }
};

struct Dictionary {
    uint16_t prefix[end_code + 1];
    uint8_t suffix[end_code + 1];
};

// Expands `code` so that its string ends at `end` and returns where it starts, or null when
// the chain does not fit between `scratch` and `end`.
const uint8_t* expand_code(const Dictionary& dict, unsigned code, uint8_t* scratch, uint8_t* end) {
    uint8_t* at = end;
    while (code >= first_entry) {
        if (at == scratch + 1) return nullptr;
        *--at = dict.suffix[code];
        code = dict.prefix[code];
    }
    *--at = static_cast<uint8_t>(code);
    return at;
}

}  // namespace

int lzw_expand(const uint8_t* input, size_t input_length, uint8_t* output, size_t* count) {
    if (count == nullptr) return -1;
    const size_t capacity = output ? *count : 0;
    *count = 0;
    if (input == nullptr) return -1;

    CodeReader reader{input, input_length};
    unsigned code;
    if (!reader.next(&code)) return -1;
    if (code == end_code) return 0;
    // No entry exists before the first code, so anything but a plain byte is corruption.
    if (code >= first_entry) return -1;
    if (capacity == 0) return -1;

    Dictionary dict;
    uint8_t scratch[scratch_size];
    size_t written = 0;
    output[written++] = static_cast<uint8_t>(code);
    unsigned previous = code;
    unsigned next_free = first_entry;

    uint8_t* const scratch_end = scratch + scratch_size;
    int result = -1;
    while (reader.next(&code)) {
        if (code == end_code) {
            result = 0;
            break;
        }
        const uint8_t* string;
        if (code < next_free) {
            string = expand_code(dict, code, scratch, scratch_end);
        } else if (code == next_free) {
            // The entry the encoder made from this very string: the previous string followed
            // by its own first byte.
            string = expand_code(dict, previous, scratch, scratch_end - 1);
            if (string) scratch_end[-1] = string[0];
        } else {
            // No encoder can name an entry it has not made yet: the stream is corrupt.
            break;
        }
        if (string == nullptr) break;
        const size_t length = static_cast<size_t>(scratch_end - string);
        if (length > capacity - written) break;
        std::memcpy(output + written, string, length);
        written += length;
        if (next_free <= last_entry) {
            dict.prefix[next_free] = static_cast<uint16_t>(previous);
            dict.suffix[next_free] = string[0];
            ++next_free;
        }
        previous = code;
    }
    *count = written;
    return result;
}

}  // namespace vx
