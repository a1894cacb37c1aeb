// vxgfx for programs that also talk to the X server themselves (a dialog of their own before
// or after the screen): what the X11 driver would decide for their windows. Not part of
// <vxgfx/vxgfx.h>, which stays free of Xlib's names.
#pragma once

#include <X11/Xlib.h>

namespace vx {

// The zoom the X11 driver presents a window at on this display (1, 2 or 3): VXGFX_ZOOM when it
// holds a whole number from 1 (larger ones give 3), else the desktop's Xft.dpi resource, one
// step per 96 dots per inch, rounded down. The display stays the caller's.
int x11_zoom(Display* display);

}  // namespace vx
