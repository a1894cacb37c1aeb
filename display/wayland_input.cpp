// The Wayland back end's input: wl_pointer into the window layer's pointer, buttons and wheel
// (and the client-side frame's close button), wl_keyboard through xkbcommon into key codes and
// scancodes, and the seat that offers them.
#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "display/input.h"
#include "display/keys.h"
#include "display/wayland_backend.h"

namespace vx::wayland {
namespace {

// Surface coordinates (the desktop's units) to the buffer's device pixels.
void pointer_at(Backend& b, wl_fixed_t sx, wl_fixed_t sy) {
    const double x = wl_fixed_to_double(sx), y = wl_fixed_to_double(sy);
    b.pointer_x = static_cast<int>(std::floor(x * b.buffer_width / std::max(1, b.logical_width)));
    b.pointer_y = static_cast<int>(std::floor(y * b.buffer_height / std::max(1, b.logical_height)));
}

// Within the surface too: a button held since a press reports motion beyond its edges.
bool on_close_button(const Backend& b) {
    return b.client_frame && b.pointer_y >= 0 && b.pointer_y < b.bar_rows * b.zoom && b.pointer_x >= close_button_left(b) * b.zoom &&
           b.pointer_x < b.buffer_width;
}

// The desktop's arrow over the window, at the window's scale (libwayland-cursor's built-in
// one where no cursor theme is installed).
void show_arrow(Backend& b, wl_pointer* pointer, uint32_t serial) {
    const int scale = std::max(1, (scale_120(b) + 119) / 120);
    if (b.cursor_scale != scale) {
        if (b.cursor_theme) wl_cursor_theme_destroy(b.cursor_theme);
        b.cursor_theme = wl_cursor_theme_load(nullptr, 24 * scale, b.shm);
        b.cursor_scale = scale;
    }
    wl_cursor* arrow = nullptr;
    if (b.cursor_theme) arrow = wl_cursor_theme_get_cursor(b.cursor_theme, "left_ptr");
    if (!arrow && b.cursor_theme) arrow = wl_cursor_theme_get_cursor(b.cursor_theme, "default");
    if (!arrow || arrow->image_count < 1) return;
    wl_cursor_image* image = arrow->images[0];
    if (!b.cursor_surface) b.cursor_surface = wl_compositor_create_surface(b.compositor);
    wl_surface_set_buffer_scale(b.cursor_surface, scale);
    wl_surface_attach(b.cursor_surface, wl_cursor_image_get_buffer(image), 0, 0);
    wl_surface_damage_buffer(b.cursor_surface, 0, 0, static_cast<int32_t>(image->width), static_cast<int32_t>(image->height));
    wl_surface_commit(b.cursor_surface);
    wl_pointer_set_cursor(pointer, serial, b.cursor_surface, static_cast<int32_t>(image->hotspot_x) / scale,
                          static_cast<int32_t>(image->hotspot_y) / scale);
}

void pointer_enter(void* data, wl_pointer* pointer, uint32_t serial, wl_surface*, wl_fixed_t sx, wl_fixed_t sy) {
    auto* b = static_cast<Backend*>(data);
    b->pointer_serial = serial;
    show_arrow(*b, pointer, serial);
    pointer_at(*b, sx, sy);
    window_pointer_entered(b->pointer_x, b->pointer_y, b->pointer_x, b->pointer_y);
}
void pointer_leave(void*, wl_pointer*, uint32_t, wl_surface*) { window_pointer_left(); }
void pointer_motion(void* data, wl_pointer*, uint32_t, wl_fixed_t sx, wl_fixed_t sy) {
    auto* b = static_cast<Backend*>(data);
    pointer_at(*b, sx, sy);
    window_pointer_moved(b->pointer_x, b->pointer_y, b->pointer_x, b->pointer_y);
}
void pointer_button(void* data, wl_pointer*, uint32_t serial, uint32_t time, uint32_t button, uint32_t state) {
    auto* b = static_cast<Backend*>(data);
    const bool press = state == WL_POINTER_BUTTON_STATE_PRESSED;
    if (button == BTN_LEFT && !press && b->close_pressed) {
        // The close button answers a release over it after a press on it, whatever came between
        // (a compositor may send a leave and an enter while the button is held).
        b->close_pressed = false;
        if (on_close_button(*b)) window_close_request();
        return;
    }
    if (press) b->close_pressed = false;
    if (press && b->client_frame && b->pointer_y >= 0 && b->pointer_y < b->bar_rows * b->zoom) {
        // The frame: a press on its close button waits for the release, the rest of the bar
        // moves. Releases go on to the picture, which may hold a press dragged up here.
        if (button != BTN_LEFT) return;
        if (on_close_button(*b)) b->close_pressed = true;
        else xdg_toplevel_move(b->toplevel, b->seat, serial);
        return;
    }
    int bit = 0;
    switch (button) {
        case BTN_LEFT: bit = 1; break;
        case BTN_RIGHT: bit = 2; break;
        case BTN_MIDDLE: bit = 4; break;
        case BTN_SIDE: bit = 8; break;
        case BTN_EXTRA: bit = 16; break;
        default: return;
    }
    window_button(bit, press, time, b->pointer_x, b->pointer_y);
}
void pointer_axis(void* data, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
    const auto* b = static_cast<Backend*>(data);
    // One step per report whatever its length, as the wheel of the X11 back end counts.
    if (value == 0) return;
    if (axis == WL_POINTER_AXIS_VERTICAL_SCROLL) window_wheel(value < 0 ? 1 : -1, false, b->pointer_x, b->pointer_y);
    else window_wheel(value > 0 ? 1 : -1, true, b->pointer_x, b->pointer_y);
}
void pointer_frame(void*, wl_pointer*) {}
void pointer_axis_source(void*, wl_pointer*, uint32_t) {}
void pointer_axis_stop(void*, wl_pointer*, uint32_t, uint32_t) {}
void pointer_axis_discrete(void*, wl_pointer*, uint32_t, int32_t) {}
void pointer_axis_value120(void*, wl_pointer*, uint32_t, int32_t) {}
const wl_pointer_listener pointer_listener = {pointer_enter, pointer_leave, pointer_motion, pointer_button,
                                              pointer_axis, pointer_frame, pointer_axis_source, pointer_axis_stop,
                                              pointer_axis_discrete, pointer_axis_value120};

void keyboard_keymap(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
    auto* b = static_cast<Backend*>(data);
    if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
        close(fd);
        return;
    }
    void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (text == MAP_FAILED) return;
    xkb_keymap* keymap = xkb_keymap_new_from_buffer(b->xkb, static_cast<const char*>(text), strnlen(static_cast<const char*>(text), size),
                                                    XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    munmap(text, size);
    if (!keymap) return;
    if (b->keys) xkb_state_unref(b->keys);
    if (b->keymap) xkb_keymap_unref(b->keymap);
    b->keymap = keymap;
    b->keys = xkb_state_new(keymap);
    // The same rows as on X11: XKB keycodes are X keycodes.
    window_keymap_clear();
    const xkb_keycode_t last = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap), 255);
    for (xkb_keycode_t k = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap), 8); k <= last; ++k) {
        const xkb_keysym_t* syms = nullptr;
        uint32_t level[2] = {0, 0};
        for (int l = 0; l < 2; ++l)
            if (xkb_keymap_key_get_syms_by_level(keymap, k, 0, static_cast<xkb_level_index_t>(l), &syms) > 0) level[l] = syms[0];
        window_keymap_add(k, level[0], level[1]);
    }
}

void held_keys(wl_array* keys) {
    char vector[32] = {};
    const auto* key = static_cast<const uint32_t*>(keys ? keys->data : nullptr);
    for (size_t i = 0; keys && i < keys->size / sizeof(uint32_t); ++i)
        if (key[i] + 8 < 256) vector[(key[i] + 8) >> 3] = static_cast<char>(vector[(key[i] + 8) >> 3] | (1 << ((key[i] + 8) & 7)));
    window_sample_keys(vector);
}

void keyboard_enter(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array* keys) { held_keys(keys); }
void keyboard_leave(void* data, wl_keyboard*, uint32_t, wl_surface*) {
    // Keys held as the focus went are released: their releases go elsewhere.
    static_cast<Backend*>(data)->repeat_keycode = 0;
    held_keys(nullptr);
}

}  // namespace

void key_report(Backend& b, xkb_keycode_t keycode, bool press) {
    if (!b.keys) return;
    const xkb_keysym_t* syms = nullptr;
    uint32_t level[2] = {0, 0};
    const xkb_layout_index_t layout = xkb_state_key_get_layout(b.keys, keycode);
    for (int l = 0; l < 2; ++l)
        if (xkb_keymap_key_get_syms_by_level(b.keymap, keycode, layout == XKB_LAYOUT_INVALID ? 0 : layout,
                                             static_cast<xkb_level_index_t>(l), &syms) > 0)
            level[l] = syms[0];
    const xkb_keysym_t typed = xkb_state_key_get_one_sym(b.keys, keycode);
    // The character with Ctrl's control codes, as the X lookup gives them.
    const uint32_t ucs = xkb_state_key_get_utf32(b.keys, keycode);
    const char byte = static_cast<char>(ucs);
    KeyReport report{press,
                     keycode,
                     level[0],
                     level[1],
                     typed_character(typed, &byte, ucs > 0 && ucs < 0x80 ? 1 : 0),
                     xkb_state_mod_name_is_active(b.keys, XKB_MOD_NAME_SHIFT, XKB_STATE_MODS_EFFECTIVE) > 0,
                     xkb_state_mod_name_is_active(b.keys, XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0,
                     xkb_state_mod_name_is_active(b.keys, XKB_MOD_NAME_ALT, XKB_STATE_MODS_EFFECTIVE) > 0};
    window_key(report);
}

namespace {

void keyboard_key(void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
    auto* b = static_cast<Backend*>(data);
    const xkb_keycode_t keycode = key + 8;
    const bool press = state == WL_KEYBOARD_KEY_STATE_PRESSED;
    key_report(*b, keycode, press);
    // Wayland leaves repeating to the client: a held key repeats as X's auto-repeat does.
    if (press && b->keymap && b->repeat_rate > 0 && xkb_keymap_key_repeats(b->keymap, keycode)) {
        b->repeat_keycode = keycode;
        b->next_repeat = Clock::now() + std::chrono::milliseconds(b->repeat_delay);
    } else if (!press && keycode == b->repeat_keycode) {
        b->repeat_keycode = 0;
    }
}
void keyboard_modifiers(void* data, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched, uint32_t locked, uint32_t group) {
    auto* b = static_cast<Backend*>(data);
    if (b->keys) xkb_state_update_mask(b->keys, depressed, latched, locked, 0, 0, group);
}
void keyboard_repeat_info(void* data, wl_keyboard*, int32_t rate, int32_t delay) {
    auto* b = static_cast<Backend*>(data);
    b->repeat_rate = rate;
    b->repeat_delay = delay;
}
const wl_keyboard_listener keyboard_listener = {keyboard_keymap, keyboard_enter, keyboard_leave,
                                                keyboard_key, keyboard_modifiers, keyboard_repeat_info};

void seat_capabilities(void* data, wl_seat* seat, uint32_t capabilities) {
    auto* b = static_cast<Backend*>(data);
    const bool has_pointer = capabilities & WL_SEAT_CAPABILITY_POINTER, has_keyboard = capabilities & WL_SEAT_CAPABILITY_KEYBOARD;
    if (has_pointer && !b->pointer) {
        b->pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(b->pointer, &pointer_listener, b);
    } else if (!has_pointer && b->pointer) {
        wl_pointer_destroy(b->pointer);
        b->pointer = nullptr;
    }
    if (has_keyboard && !b->keyboard) {
        b->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(b->keyboard, &keyboard_listener, b);
    } else if (!has_keyboard && b->keyboard) {
        wl_keyboard_destroy(b->keyboard);
        b->keyboard = nullptr;
    }
}
void seat_name(void*, wl_seat*, const char*) {}
}  // namespace

const wl_seat_listener seat_listener = {seat_capabilities, seat_name};
}  // namespace vx::wayland
