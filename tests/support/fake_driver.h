// A display driver record for tests: it records its calls, counts locks, and reports the
// pointer and key states a test scripts, so program logic runs without a window.
#pragma once

#include <string>
#include <vector>

#include "display/driver.h"
#include "gfx/context.h"

namespace vxtest {

struct FakeDriverState {
    std::vector<std::string> calls;   // "open Fake r=60 f=4", "close", ...
    int open_result = 0;              // what open returns
    int locks = 0, unlocks = 0;
    int depth_locked = 0;             // current nesting, must stay 0 or 1
    bool mouse_ok = true;             // read_mouse reports failure when false
    int mouse_x = 0, mouse_y = 0, mouse_wheel = 0, mouse_buttons = 0, mouse_clip = 0;
    int palette_calls = 0;
    std::string title;
    int opened_width = 0, opened_height = 0, opened_depth = 0, opened_flags = 0;
};

// The record and its state. The record's name is "Fake".
extern const vx::DisplayDriver fake_driver;
extern FakeDriverState fake;

// A second record, "Other", that shares the state (for trial-order tests).
extern const vx::DisplayDriver other_driver;

// Resets the state and makes {fake_driver} the driver list (VXGFX unset).
void use_fake_driver();
// Restores the built driver list and closes any screen.
void restore_drivers();

// Opens the application's screen (720 x 190 x 32, flags 4) on the fake driver.
int open_fake_screen(int width = 720, int height = 190, int depth = 32, int flags = 4);

// Pixel of the visible page at (x, y) at 32 bits.
uint32_t screen_pixel(int x, int y);
void clear_dirty();
int dirty_count();
bool dirty(int y);

}  // namespace vxtest
