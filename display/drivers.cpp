// The driver list the mode set tries, and the Null driver (a screen in memory only).
#include "display/driver.h"

#include <cstdlib>

#include "display/x11_driver.h"
#ifdef VX_WAYLAND
#include "display/wayland_driver.h"
#endif

namespace vx {
namespace {

void nothing() {}

// In preference order; windowed back ends register here. A Wayland session (its socket named
// in the environment) tries Wayland first; elsewhere X11 comes first.
#ifdef VX_WAYLAND
const DisplayDriver* const wayland_session_drivers[] = {&wayland_driver, &x11_driver, nullptr};
const DisplayDriver* const x11_session_drivers[] = {&x11_driver, &wayland_driver, nullptr};
#else
const DisplayDriver* const x11_session_drivers[] = {&x11_driver, nullptr};
#endif
std::span<const DisplayDriver* const> active_list;
bool overridden = false;

std::span<const DisplayDriver* const> built_list() {
    const DisplayDriver* const* drivers = x11_session_drivers;
#ifdef VX_WAYLAND
    for (const char* name : {"WAYLAND_DISPLAY", "WAYLAND_SOCKET"})
        if (const char* value = std::getenv(name); value && *value) drivers = wayland_session_drivers;
#endif
    size_t n = 0;
    while (drivers[n]) ++n;
    return {drivers, n};
}

}  // namespace

const DisplayDriver null_driver = {
    "Null", nullptr, nullptr, nothing, nothing, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::span<const DisplayDriver* const> display_drivers() { return overridden ? active_list : built_list(); }

void set_display_drivers(std::span<const DisplayDriver* const> list) {
    overridden = !list.empty();
    active_list = list;
}

}  // namespace vx
