// A small program on the graphics library, started by the window tests as a user starts a
// program: opens the 720 x 190 x 32 screen, draws colour bands, then polls input every
// millisecond and reports on stdout, one line per change: "ready", "mouse X Y BUTTONS",
// "key HEX", "escape", "lost". Exit codes: 0 after Escape or a close request, 2 when the
// screen cannot be opened, 3 when the display went away.
#include <cstdio>
#include <string>

#include "display/input.h"
#include "display/window.h"
#include "gfx/context.h"
#include "gfx/primitives.h"
#include "runtime/runtime.h"

int main(int argc, char** argv) {
    vx::rt_init(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (vx::screen_res(720, 190, 32, 0, 4, 0) != 0) {
        std::printf("open failed\n");
        return 2;
    }
    const uint32_t bands[] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF, 0xFF808080, 0xFF102030};
    for (int i = 0; i < 6; ++i) vx::box_draw(i * 120, 0, i * 120 + 119, 189, bands[i], true, 0xFFFF);
    std::printf("ready\n");
    int last[3] = {-2, -2, -2};
    for (;;) {
        int x = 0, y = 0, wheel = 0, buttons = 0, clip = 0;
        vx::mouse_get(&x, &y, &wheel, &buttons, &clip);
        if (x != last[0] || y != last[1] || buttons != last[2]) {
            std::printf("mouse %d %d %d\n", x, y, buttons);
            last[0] = x, last[1] = y, last[2] = buttons;
        }
        std::string k = vx::key_read();
        if (!k.empty()) {
            std::printf("key");
            for (unsigned char c : k) std::printf(" %02X", c);
            std::printf("\n");
        }
        if (vx::display_lost()) {
            std::printf("lost\n");
            vx::rt_exit(3);
        }
        if (k == std::string("\xFF\x6B")) vx::rt_exit(0);
        if (vx::key_down(1)) {
            std::printf("escape\n");
            vx::rt_exit(0);
        }
        vx::pause(1);
    }
}
