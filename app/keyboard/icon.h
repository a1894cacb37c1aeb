// The program's built-in icon: a gold note over piano keys, in the sizes the window offers the
// desktop. Hand it to vx::set_program_icon before the screen opens.
#pragma once

#include <span>

#include <vxgfx/icon.h>

namespace app {

// 16, 32 and 48 pixels square, smallest first; the same pixels as the installed PNG icons.
std::span<const vx::ProgramIcon> piano_icon();

}  // namespace app
