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

// What the last presentation cost, for benchmarks: frames presented since open, the time of
// the last one (conversion, put and the server's completion), and how it was sent.
struct PresentStats {
    uint64_t frames = 0;
    uint64_t last_ns = 0;
    bool shared_memory = false;
    int bits = 0;
    bool reversed = false;
    uint64_t ticks = 0;  // presentation ticks run
    uint64_t wakes = 0;  // times an idle thread was woken by drawing
};
PresentStats x11_present_stats();

}  // namespace vx
