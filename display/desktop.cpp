// The desktop's mode as the X server reports it, for screen_info while no screen is open.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "display/driver.h"

namespace vx {

DesktopInfo desktop_query() {
    DesktopInfo info;
    XInitThreads();
    Display* display = XOpenDisplay(nullptr);
    if (!display) return info;  // no display reachable: all zero rather than a failure
    int screen = DefaultScreen(display);
    info.width = DisplayWidth(display, screen);
    info.height = DisplayHeight(display, screen);
    info.depth = DefaultDepth(display, screen);
    int event_base = 0, error_base = 0;
    if (XRRQueryExtension(display, &event_base, &error_base)) {
        if (XRRScreenConfiguration* config = XRRGetScreenInfo(display, RootWindow(display, screen))) {
            info.refresh = XRRConfigCurrentRate(config);
            XRRFreeScreenConfigInfo(config);
        }
    }
    XCloseDisplay(display);
    return info;
}

}  // namespace vx
