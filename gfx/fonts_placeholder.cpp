// Stand-in for the built-in data until the generated block lands.
#include "gfx/fonts.h"

namespace vx {

uint8_t builtin_data[builtin_data_size];
const uint8_t builtin_data_lzw[] = {0};
const size_t builtin_data_lzw_size = 0;
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
void expand_builtin_data() {}

}  // namespace vx
