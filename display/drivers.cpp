// The driver list the mode set tries, and the Null driver (a screen in memory only).
#include "display/driver.h"

#include "display/x11_driver.h"

namespace vx {
namespace {

void nothing() {}

// In preference order; windowed back ends register here.
const DisplayDriver* const built_drivers[] = {&x11_driver, nullptr};
std::span<const DisplayDriver* const> active_list;
bool overridden = false;

std::span<const DisplayDriver* const> built_list() {
    size_t n = 0;
    while (built_drivers[n]) ++n;
    return {built_drivers, n};
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
