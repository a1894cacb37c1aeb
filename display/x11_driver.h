// The "X11" display driver: an Xlib window whose update thread presents the dirty framebuffer
// lines (MIT-SHM when the server offers it, XPutImage otherwise) and runs the window procedure.
#pragma once

#include <cstdint>

#include "display/driver.h"

namespace vx {

extern const DisplayDriver x11_driver;

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
