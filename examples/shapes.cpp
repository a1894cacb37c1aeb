// A window with text and shapes that follows the mouse: the pointer's position is shown as it
// moves, a left click leaves a dot (and prints where), the box under the pointer lights up.
// Escape or the window's close button ends it. An optional argument ends it after that many
// passes of its loop, for runs without anyone at the keyboard.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <vxgfx/vxgfx.h>

namespace {

constexpr int width = 480, height = 240;
constexpr uint32_t absolute = 4, solid = 0xFFFF;
constexpr uint32_t paper = 0x20242C, ink = 0xE8E8E8, accent = 0xF0A030;
constexpr int button_x1 = 330, button_y1 = 60, button_x2 = 450, button_y2 = 100;

void box(int x1, int y1, int x2, int y2, uint32_t colour, int kind) {
    vx::line_draw(nullptr, x1, y1, x2, y2, colour, kind, solid, absolute);
}

void text(const std::string& s, int x, int y, uint32_t colour) {
    vx::draw_string(nullptr, x, y, absolute, s.data(), static_cast<int>(s.size()), colour, nullptr, 0, nullptr,
                    nullptr, nullptr);
}

void draw_button(bool lit) {
    box(button_x1, button_y1, button_x2, button_y2, lit ? accent : 0x404858, vx::line_kind_filled_box);
    box(button_x1, button_y1, button_x2, button_y2, ink, vx::line_kind_box);
    text("hover me", button_x1 + 28, button_y1 + 16, lit ? paper : ink);
}

void draw_scene() {
    vx::gfx_color(ink, paper, 0);
    vx::gfx_cls(0);
    text("vxgfx: move the mouse, click to paint, Escape ends", 8, 8, ink);
    box(20, 40, 300, 200, 0x3050A0, vx::line_kind_filled_box);
    box(20, 40, 300, 200, ink, vx::line_kind_box);
    vx::line_draw(nullptr, 20, 40, 300, 200, 0x80C080, vx::line_kind_line, solid, absolute);
    vx::line_draw(nullptr, 20, 200, 300, 40, 0xC08080, vx::line_kind_line, 0xF0F0, absolute);  // dashed
    draw_button(false);
}

void show_position(int x, int y) {
    box(330, 200, 479, 215, paper, vx::line_kind_filled_box);
    text(x < 0 ? "outside" : "x " + std::to_string(x) + " y " + std::to_string(y), 330, 204, ink);
}

bool over_button(int x, int y) {
    return x >= button_x1 && x <= button_x2 && y >= button_y1 && y <= button_y2;
}

}  // namespace

int main(int argc, char** argv) {
    vx::rt_init(argc, argv);
    const long passes = argc > 1 ? std::atol(argv[1]) : -1;
    vx::screen_title("vxgfx shapes");
    if (vx::screen_res(width, height, 32, 1, 0, 0) != 0) {
        std::fprintf(stderr, "shapes: no window could be opened\n");
        return 1;
    }
    draw_scene();

    int last_x = -2, last_y = -2, last_buttons = 0;
    bool lit = false, done = false;
    for (long pass = 0; pass != passes && !done; ++pass) {
        const uint64_t seen = vx::input_generation();
        vx::pointer_read_begin();
        int x = -1, y = -1, buttons = 0;
        if (vx::mouse_get(&x, &y, nullptr, &buttons, nullptr) != 0) x = y = -1, buttons = 0;
        if (x != last_x || y != last_y) show_position(x, y);
        if (over_button(x, y) != lit) draw_button(lit = !lit);
        if ((buttons & 1) && !(last_buttons & 1) && x >= 0) {
            box(x - 2, y - 2, x + 2, y + 2, accent, vx::line_kind_filled_box);
            std::printf("click at %d %d\n", x, y);
            std::fflush(stdout);
        }
        last_x = x, last_y = y, last_buttons = buttons;
        for (std::string key = vx::key_read(); !key.empty(); key = vx::key_read())
            if (key == "\x1b" || key == "\xFFk") done = true;  // Escape, or the close button
        // Sleep until something happens where the driver says when; else poll every 10 ms.
        if (!done && vx::input_waiting_enabled()) vx::wait_input(seen, 100);
        else if (!done) vx::pause(10);
    }
    vx::rt_exit(vx::display_lost() ? 1 : 0);
}
