// Reading either form of image header.
#include <cstring>

#include "gfx/image.h"

namespace vx {

ImageView image_view(void* image, int32_t target_bpp) {
    auto* bytes = static_cast<uint8_t*>(image);
    ImageView view{};
    if (!bytes) return view;
    int32_t type;
    std::memcpy(&type, bytes, 4);
    if (type == image_header_type) {
        ImageHeader header;
        std::memcpy(&header, bytes, sizeof header);
        view = {header.bpp, header.width, header.height, header.pitch, bytes + sizeof(ImageHeader), false};
    } else {
        int32_t bpp = bytes[0] & 7;
        int32_t width = (bytes[0] >> 3) | (bytes[1] << 5);
        int32_t height = bytes[2] | (bytes[3] << 8);
        int32_t used_bpp = bpp ? bpp : target_bpp;
        view = {bpp, width, height, width * used_bpp, bytes + 4, true};
    }
    return view;
}

}  // namespace vx
