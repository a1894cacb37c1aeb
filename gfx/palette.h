// Palettes and colour conversion: the default palettes with their attribute maps, setting
// and resetting entries, sending them to the driver, and 32-bit colours in pixel formats.
#pragma once

#include <cstdint>

#include <vxgfx/palette.h>

namespace vx {

// Sends all 256 device palette entries to the driver.
void palette_push();

}  // namespace vx
