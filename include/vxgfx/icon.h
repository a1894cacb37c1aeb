// vxgfx window icon: a few sizes of one picture that the display drivers offer the desktop
// (on X11 as _NET_WM_ICON; Wayland desktops take the icon of the desktop entry named by the
// program's name), handed over before the screen opens. A program that sets none has no icon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vx {

// One size of the icon: width * height pixels, rows top down, each 0xAARRGGBB with straight
// (not premultiplied) alpha. The pixels stay the caller's and must outlive the screen.
struct ProgramIcon {
    int width, height;
    const uint32_t* argb;
};

// Bounds on what is kept, so that every size a back end sends fits in one window property.
constexpr int program_icon_max_side = 256;
constexpr size_t program_icon_max_sizes = 8;

// Replaces the icon with copies of these records (the pixels are not copied), in the given
// order. Records without pixels or with a side outside 1..program_icon_max_side are left out,
// and so is everything past the first program_icon_max_sizes usable ones. An empty list
// removes the icon. Call it before the screen opens: the window takes the icon when it is made.
void set_program_icon(std::span<const ProgramIcon> sizes);

// The sizes kept by the last set_program_icon; empty when the program set none.
std::span<const ProgramIcon> program_icon();

}  // namespace vx
