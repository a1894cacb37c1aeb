// vxgfx screen: the one graphics screen of the process, a framebuffer in memory that a display
// driver shows in a window. Opening, closing and asking about it, its pages and its title.
#pragma once

#include <string>

namespace vx {

// Opens a screen of width x height pixels, closing the open one first. depth: 8 (a palette),
// 15 or 16 (kept as 16, 5-6-5), 24 or 32 (kept as 32, 0xAARRGGBB); 1, 2 and 4 give palette
// screens too. pages: framebuffers to draw on and show (below 1 counts as 1). refresh: asked
// of the driver, 0 for any. flags:
//   -1     no window at all (the null driver), whatever VXGFX says
//   0x1    full screen (the driver may refuse; the window is then tried)
//   0x4    the user may not switch between window and full screen (Alt+Enter)
//   0x2    depths below 16 become 16
//   0x40   translucent colours (alpha below 0xFF) blend in lines, boxes and pixels at depth 32
// The display driver is chosen as VXGFX says (see <vxgfx/vxgfx.h>). Every pixel starts as the
// background colour (opaque black at depth 32); foreground white. The library owns the screen
// and frees it in screen_close() or at exit.
// Returns 0, or 1 (stored as the last error) for a size or depth it refuses (the open screen
// then stays) or when no driver opens (no screen is open afterwards).
int screen_res(int width, int height, int depth, int pages, int flags, int refresh);

// Opens numbered mode 1..21 (13: 320 x 200 at 8 bits ... 21: 1280 x 1024; 3..6 are empty), or
// closes the screen for mode 0 and gives the console back its 80 x 25 text. depth chooses 8,
// 15, 16, 24 or 32 bits for modes 14 and above. Returns 0 or 1 as screen_res.
int screen_mode(int mode, int depth, int pages, int flags, int refresh);

// screen_mode(mode, 0, 0, 0, 0), then page_select(work_page, visible_page) when either is not 0.
int screen_mode_pages(int mode, int work_page, int visible_page);

// Closes the screen and its window; nothing when none is open. Runs at exit by itself.
void screen_close();

struct ScreenInfo {
    int width = 0, height = 0;
    int depth = 0;   // bits per pixel: 1, 2, 4, 8, 16 or 32
    int bpp = 0;     // bytes per pixel; 0 without a screen
    int pitch = 0;   // bytes per framebuffer line
    int refresh = 0;
    std::string driver;  // "X11", "Wayland", "Null"; empty without a screen
};
// Fills `out` with the open screen's figures; without a screen, the desktop's size, depth and
// refresh rate (all 0 when no display can be reached), bytes per pixel 0 and no driver.
void screen_info(ScreenInfo* out);

// Sets the window's title (at most 127 bytes kept; code page 437, or UTF-8 when the text is
// valid UTF-8). Kept from screen to screen; the default is the executable's name. The text is
// copied.
void screen_title(const char* text);
// The current title; the library owns the text.
const char* current_title();

// Chooses the page drawing goes to (work) and the page the window shows (visible); a negative
// number keeps that page, both negative select page 0 for both. Showing another page redraws
// the whole window. Returns the previous work page + previous visible page * 256, or -1
// without a screen.
int page_select(int work, int visible);

}  // namespace vx
