// vxgfx: a small graphics library. One screen held as a framebuffer in memory, drawn on with
// pixels, lines, boxes, text in code-page-437 fonts and images with a transparent put, shown
// in a window by a display driver whose own thread presents the changed lines; and the
// window's mouse and keyboard.
//
//   #include <vxgfx/vxgfx.h>
//   int main(int argc, char** argv) {
//       vx::rt_init(argc, argv);
//       if (vx::screen_res(320, 200, 32, 1, 0, 0) != 0) return 1;
//       vx::line_draw(nullptr, 10, 10, 309, 189, 0x3060A0, vx::line_kind_filled_box, 0xFFFF, 4);
//       vx::draw_string(nullptr, 20, 20, 4, "Hello from vxgfx", 16, 0xFFFFFF, nullptr, 0, nullptr, nullptr, nullptr);
//       while (vx::key_down(1) == 0 && vx::key_read() != "\xFFk") vx::pause(10);
//       vx::rt_exit(0);
//   }
//
// The environment chooses the driver: VXGFX=x11, wayland or null (a screen in memory only, for
// tests); unset, a Wayland session tries Wayland first, then X11. VXGFX_ZOOM=1, 2 or 3 shows
// every pixel as a block of that many device pixels; unset, the desktop's scale decides.
//
// Threads: draw and read input from one thread. Every drawing call takes the screen lock for
// its own length; the driver's thread takes it to present, so it never shows half a drawing.
// Link with `pkg-config --libs vxgfx`, or CMake's find_package(vxgfx) and vxgfx::vxgfx. More:
// docs/vxgfx.md in the source tree.
// <vxgfx/x11.h> is left out here: it brings in Xlib's names.
#pragma once

#include <vxgfx/console.h>
#include <vxgfx/draw.h>
#include <vxgfx/icon.h>
#include <vxgfx/image.h>
#include <vxgfx/input.h>
#include <vxgfx/palette.h>
#include <vxgfx/runtime.h>
#include <vxgfx/screen.h>
#include <vxgfx/text.h>
