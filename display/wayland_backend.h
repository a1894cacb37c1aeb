// Inside the Wayland back end: what its connection, window and buffers hold, shared by the
// driver (wayland_driver.cpp) and the input listeners (wayland_input.cpp).
#pragma once

#include <wayland-client.h>
#include <wayland-cursor.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "display/window.h"
#include "fractional-scale-v1.h"
#include "viewporter.h"
#include "xdg-decoration-unstable-v1.h"
#include "xdg-shell.h"

namespace vx::wayland {

using Clock = std::chrono::steady_clock;
// The frame drawn where the compositor offers no decorations: a bar of this many framebuffer
// pixels above the picture with a close button at its right end.
constexpr int frame_bar_rows = 20;
constexpr uint32_t frame_colour = 0x3C3C3C, frame_button_colour = 0x5A5A5A, frame_mark_colour = 0xF0F0F0;

struct ShmBuffer {
    wl_buffer* buffer = nullptr;
    uint8_t* pixels = nullptr;
    bool busy = false;           // the compositor holds it until its release
    bool frame_drawn = false;    // the client-side frame is in it
    std::vector<uint8_t> stale;  // framebuffer lines changed since this buffer last showed them
};

struct Output {
    wl_output* output = nullptr;
    uint32_t name = 0;
    int scale = 1;
};

// Everything the back end opens, released once by backend_close.
struct Backend {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wm_base = nullptr;
    wl_seat* seat = nullptr;
    zxdg_decoration_manager_v1* decoration_manager = nullptr;
    wp_viewporter* viewporter = nullptr;
    wp_fractional_scale_manager_v1* fractional_manager = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;

    wl_surface* surface = nullptr;
    xdg_surface* shell_surface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    zxdg_toplevel_decoration_v1* decoration = nullptr;
    wp_viewport* viewport = nullptr;
    wp_fractional_scale_v1* fractional = nullptr;
    wl_callback* frame_callback = nullptr;
    std::vector<wl_output*> entered;  // outputs the surface shows on
    int preferred_120 = 0;            // the compositor's fractional scale * 120, 0 when none

    bool configured = false;
    bool activated = false;
    bool client_frame = false;   // draws its own bar with a close button
    bool layout_changed = true;  // scale or frame changed: buffers are made again
    int zoom = 1;                // device pixels per framebuffer pixel
    int bar_rows = 0;            // framebuffer rows of the client-side frame
    int buffer_width = 0, buffer_height = 0, stride = 0;
    int logical_width = 0, logical_height = 0;
    uint8_t* mapping = nullptr;
    size_t mapping_size = 0;
    ShmBuffer buffers[2];

    wl_pointer* pointer = nullptr;
    wl_keyboard* keyboard = nullptr;
    wl_cursor_theme* cursor_theme = nullptr;
    wl_surface* cursor_surface = nullptr;
    int cursor_scale = 0;  // the scale the theme was loaded for
    uint32_t pointer_serial = 0;
    int pointer_x = 0, pointer_y = 0;  // device pixels of the buffer
    bool close_pressed = false;        // the frame's close button is held
    xkb_context* xkb = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_state* keys = nullptr;
    int32_t repeat_rate = 25, repeat_delay = 600;
    unsigned repeat_keycode = 0;
    Clock::time_point next_repeat{};
};
extern std::unique_ptr<Backend> backend;

// The output scale the window shows at, * 120: the compositor's fractional preference, else the
// largest integer scale of the outputs it is on (of all outputs before it is on any).
inline int scale_120(const Backend& b) {
    if (b.preferred_120 > 0) return b.preferred_120;
    int scale = 1;
    for (const auto& o : b.outputs) {
        const bool on = b.entered.empty() || std::find(b.entered.begin(), b.entered.end(), o->output) != b.entered.end();
        if (on) scale = std::max(scale, o->scale);
    }
    return scale * 120;
}

// The close button's square at the bar's right end, in framebuffer pixels.
inline int close_button_left(const Backend& b) { return window_state.width - b.bar_rows; }

// The seat's pointer and keyboard, turned into the window layer's input calls.
extern const wl_seat_listener seat_listener;
// A key's press or release (a repeat is a press of a held key) from the keyboard's state.
void key_report(Backend& b, xkb_keycode_t keycode, bool press);

}  // namespace vx::wayland
