// Loading bitmap files and raw dumps into the screen, an image buffer or a memory block.
#pragma once

#include <cstdint>

namespace vx {

// destination null: the screen's work page; palette_buffer null: the file's palette goes into
// the device palette and is shown, else into the 256 entries given (6-bit levels).
// Returns 0, 1 (invalid call), 2 (cannot open) or 3 (unrecognised or damaged).
int image_load(const char* file_name, void* destination, uint32_t* palette_buffer);

}  // namespace vx
