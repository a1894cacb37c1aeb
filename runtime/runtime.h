// The runtime's services beyond <vxgfx/runtime.h> that the library and its tests use.
#pragma once

#include <vxgfx/runtime.h>

namespace vx {

// Set by programs that want the 4-byte legacy image header; this program never sets it.
extern bool rt_legacy_header_mode;

}  // namespace vx
