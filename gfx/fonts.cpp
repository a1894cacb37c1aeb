// The built-in block and the constant font and palette descriptors that point into it.
#include "gfx/fonts.h"

#include <mutex>

namespace vx {

uint8_t builtin_data[builtin_data_size];

const FontDesc builtin_fonts[3] = {
    {8, 16, builtin_data + builtin_font8x16_offset},
    {8, 14, builtin_data + builtin_font8x14_offset},
    {8, 8, builtin_data + builtin_font8x8_offset},
};

const PaletteDesc builtin_palettes[4] = {
    {256, builtin_data + builtin_palette256_offset},
    {64, builtin_data + builtin_palette64_offset},
    {16, builtin_data + builtin_palette16_offset},
    {2, builtin_data + builtin_palette2_offset},
};

void expand_builtin_data() {
    // A mode set may come from any thread; the block is written once and only read after.
    static std::once_flag expanded;
    std::call_once(expanded, [] {
        size_t count = builtin_data_size;
        lzw_expand(builtin_data_lzw, builtin_data_lzw_size, builtin_data, &count);
    });
}

}  // namespace vx
