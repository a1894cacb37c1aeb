// The "X11" display driver: an Xlib window whose update thread presents the dirty framebuffer
// lines (MIT-SHM when the server offers it, XPutImage otherwise) and runs the window procedure.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include <vxgfx/x11.h>

#include "display/driver.h"

namespace vx {

extern const DisplayDriver x11_driver;

// What the last presentation cost, for benchmarks.
PresentStats x11_present_stats();

}  // namespace vx
