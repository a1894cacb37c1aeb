// The slider widget: "<" and ">" buttons stepping by 1 with a 200 ms pause, and a track whose
// thumb glides half-way to the pointer every 50 ms while the button is held.
#include <cmath>

#include "app/keyboard/draw.h"
#include "app/keyboard/piano.h"
#include <vxgfx/input.h>
#include <vxgfx/runtime.h>

namespace app {

Slider sliders[slider_count];

namespace {

constexpr uint32_t button_colour = 0x000000;
constexpr uint32_t track_colour = 0xFFFFFFFF;
constexpr uint32_t arrow_colour = 0xFF0000;
constexpr uint32_t thumb_body = 0x333333;
constexpr uint32_t thumb_inner = 0x777777;
constexpr uint32_t thumb_line = 0xFF0000;
constexpr int arrow_pause_ms = 200;
constexpr int glide_pause_ms = 50;

// Each step of a press: erase at the old thumb, settle the value, draw at the new thumb.
void move_value(int32_t i, double delta) {
    slider_draw_thumb(i, 0);
    sliders[i].value = static_cast<float>(sliders[i].value + delta);
    slider_clamp(i);
    slider_draw_thumb(i, 1);
}

}  // namespace

void slider_init(int32_t index, int32_t x, int32_t y, float min, float max, int32_t thumb) {
    Slider& s = sliders[index];
    s.x1 = x;
    s.y1 = y;
    s.x2 = x + 144;
    s.y2 = y + 14;
    s.max = max;
    s.min = min;
    s.scale = static_cast<float>(120.0 / (static_cast<double>(max) - min));
    s.thumb = thumb;
    s.value = static_cast<float>(static_cast<double>(thumb) / s.scale + min);
    slider_draw(index);
}

void slider_draw(int32_t index) {
    const Slider& s = sliders[index];
    fill_box(screen, s.x1, s.y1, s.x1 + 9, s.y2, button_colour);
    fill_box(screen, s.x1 + 10, s.y1, s.x2 - 10, s.y2, track_colour);
    fill_box(screen, s.x2 - 9, s.y1, s.x2, s.y2, button_colour);
    text("<", s.x1 + 1, s.y1 + 1, arrow_colour);
    text(">", s.x2 - 8, s.y1 + 1, arrow_colour);
    slider_draw_thumb(index, 1);
}

void slider_draw_thumb(int32_t index, int32_t show) {
    const Slider& s = sliders[index];
    int32_t left = s.x1 + s.thumb;
    if (!show) {
        fill_box(screen, left + 10, s.y1, left + 14, s.y2, track_colour);
        return;
    }
    fill_box(screen, left + 10, s.y1, left + 14, s.y2, thumb_body);
    fill_box(screen, left + 11, s.y1 + 1, left + 13, s.y2 - 1, thumb_inner);
    draw_line(screen, left + 12, s.y1 + 2, left + 12, s.y2 - 2, thumb_line);
}

void slider_clamp(int32_t index) {
    Slider& s = sliders[index];
    if (s.value > s.max) s.value = s.max;
    if (!(s.value >= s.min)) s.value = s.min;  // also catches a value that is not a number
    s.thumb = static_cast<int32_t>(std::trunc((static_cast<double>(s.value) - s.min) * s.scale));
}

int32_t slider_mouse() {
    int x = 0, y = 0, wheel = 0, buttons = 0, clip = 0;
    vx::mouse_get(&x, &y, &wheel, &buttons, &clip);
    if (buttons != 1 || y >= 60) return -1;
    for (int32_t i = 0; i < slider_count; ++i) {
        Slider& s = sliders[i];
        if (x < s.x1 || x > s.x2 || y < s.y1 || y > s.y2) continue;
        if (x >= s.x2 - 10) {
            move_value(i, 1.0);
            vx::rt_sleep_ms(arrow_pause_ms);
        } else if (x >= s.x1 + 10) {
            int32_t d = x - s.x1 - 10 - s.thumb;
            if (d != 0) {
                move_value(i, static_cast<double>(d) / s.scale / 2);
                vx::rt_sleep_ms(glide_pause_ms);
            }
        } else {
            move_value(i, -1.0);
            vx::rt_sleep_ms(arrow_pause_ms);
        }
        return i;
    }
    return -1;
}

}  // namespace app
