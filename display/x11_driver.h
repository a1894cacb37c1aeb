// The "X11" display driver: an Xlib window whose update thread presents the dirty framebuffer
// lines (MIT-SHM when the server offers it, XPutImage otherwise) and runs the window procedure.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "display/driver.h"

namespace vx {

extern const DisplayDriver x11_driver;

// The zoom a window on this display is presented at (1, 2 or 3): VXGFX_ZOOM when it holds a
// whole number from 1 (larger ones give 3), else the desktop's Xft.dpi resource, one step per
// 96 dots per inch, rounded down.
int x11_zoom(Display* d);

// What the last presentation cost, for benchmarks.
PresentStats x11_present_stats();

}  // namespace vx
