// Installing and clearing the graphics versions of the console operations.
#pragma once

namespace vx {

void install_screen_hooks();
void clear_screen_hooks();

}  // namespace vx
