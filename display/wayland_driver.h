// The "Wayland" display driver: an xdg-shell toplevel whose update thread presents the dirty
// framebuffer lines through wl_shm buffers, paced by frame callbacks, and feeds the window
// layer from wl_pointer and wl_keyboard (through xkbcommon).
#pragma once

#include "display/driver.h"

namespace vx {

extern const DisplayDriver wayland_driver;

// Presentation counters of the open Wayland window, for benchmarks (last_ns: conversion,
// attach and commit of the last frame).
PresentStats wayland_present_stats();

}  // namespace vx
