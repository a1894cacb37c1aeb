// The window layer every windowed back end shares: the one window's state, the update thread's
// start and stop, the input half of the window procedure (pointer, buttons, wheel, keys,
// activation, close request) in platform-neutral terms, and the entries the drivers share.
// Each back end turns its own protocol's events into the calls below, on its update thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <vxgfx/input.h>

#include "display/blitters.h"

namespace vx {

struct PaletteEntry {
    uint8_t red, green, blue, flags;  // flags is always 4
};

// The update thread's start report: the back end's thread_main calls window_thread_started
// once its window and presentation resources exist; returning without it means failure.
struct StartSignal;
void window_thread_started(StartSignal* start);

// The hooks through which the window layer drives a back end.
struct WindowBackend {
    int (*open)();        // create window and presentation resources; 0 = success
    void (*close)();      // release what open made; safe to call again
    void (*repaint)();    // present the whole current frame again
    void (*thread_main)(StartSignal* start);
    void (*clip)(bool confine);  // optional: confine the pointer to the picture, or release it
    void (*fullscreen)();        // optional: ask for the state flags bit 0 names
};

// Zero-filled by the back end's driver open before window_open runs.
struct WindowState {
    int32_t version;          // the protocol's major * 256 + minor
    PaletteEntry palette[256];
    Blitter blitter;
    int32_t monitor;          // the monitor the window was placed on, -1 when unknown
    int32_t inited;           // 1 from window_open to window_close; the thread runs while 1
    int32_t palette_changed;
    int32_t active;
    int32_t width, height;    // client size; height is framebuffer height * scale
    int32_t depth;
    char title[128];
    int32_t flags;            // mode flags: bit 0 full screen, 2 no switching, 3 no frame, 5 on top
    int32_t refresh;
    char class_name[140];
    WindowBackend hooks;
    int32_t window_width, window_height;  // the window's size (larger when full screen)
    int32_t offset_x, offset_y;           // where the picture sits in it
    // Each framebuffer pixel shows as a zoom x zoom block; window sizes and offsets count
    // window pixels, pointer positions framebuffer pixels. 0 means 1.
    int32_t zoom;
};
extern WindowState window_state;

// Starts the update thread (the back end's thread_main) and waits for its start report;
// -1 when the thread ended without one.
int window_open(const char* title, int width, int height, int depth, int refresh, int flags);
// Stops the update thread and closes the back end; releases a screen lock the caller holds.
void window_close();

// Driver entries shared by the windowed back ends.
void window_lock();
void window_unlock();
// The update thread, finding nothing to present for a while, may sleep past its ticks: it calls
// window_idle_begin with the lock held, and from then on the first unlock that leaves dirty
// lines or a changed palette (or window_close) makes window_wake_fd readable.
// window_idle_end clears the signal when it wakes, for any reason; true when it was signalled.
void window_idle_begin();
bool window_idle_end();
int window_wake_fd();
// Wakes an idle update thread (the program's thread asked its back end for something).
void window_wake_if_idle();
// The update thread's pacing, the same for every back end: a tick about every 10 ms; after a
// few quiet ticks in a row (nothing presented, no key held) none at all, until window_wake_fd
// (drawing, the end) or the back end's own connection wakes the thread.
struct UpdatePacing {
    using Clock = std::chrono::steady_clock;
    Clock::time_point next_tick = Clock::now();
    int quiet_ticks = 0;
    bool idle = false;
    // Milliseconds to wait before the next tick; -1 (no limit) while idle.
    int wait_ms(Clock::time_point now) const;
    bool tick_due(Clock::time_point now) const { return !idle && now >= next_tick; }
    // The wake descriptor was readable: the next tick is now. True when drawing signalled it.
    bool woken(Clock::time_point now);
    // After each pass, lock held: whether it ticked, and whether it presented or a key is held
    // (which keeps the ticks going). True when it woke an idle thread that drawing had signalled.
    bool pass_done(bool ticked, bool busy, Clock::time_point now);
};
// The update loop ended: a display that went away is reported to the program (window_mark_lost).
void window_loop_ended();
// VXGFX_ZOOM when it holds a whole number from 1 (larger ones give 3), else 0.
int window_asked_zoom();
void window_palette_entry(int index, int red, int green, int blue);
void window_wait_retrace();
int window_read_mouse(int* x, int* y, int* wheel, int* buttons, int* clip);
// Stores the title and runs `send` to show it (unless the display is gone), out of a screen
// lock the caller holds: the update thread may need the lock to get through its tick.
void window_title_set(const char* text, void (*send)());

// The input half of the window procedure. Back ends call these on the update thread with the
// screen lock held; window coordinates are the window's own pixels, screen ones the desktop's
// (a back end without them passes window coordinates).
void window_pointer_moved(int window_x, int window_y, int screen_x, int screen_y);
void window_pointer_entered(int window_x, int window_y, int screen_x, int screen_y);
void window_pointer_left();
// A button (bit 1 left, 2 right, 4 middle, 8 and 16 extra) at a window position; time in ms.
void window_button(int bit, bool press, uint32_t time_ms, int window_x, int window_y);
// One wheel step at a window position: +1 up (or right) or -1 down (or left).
void window_wheel(int step, bool horizontal, int window_x, int window_y);
// The window was (de)activated: key states and buttons are cleared, enter and focus events posted.
void window_activation(bool now_active);
// The close button, the desktop's close or Alt+F4: the close code is queued; the window stays.
void window_close_request();
// The window got a new size: the picture is centred in it and presented whole.
void window_resized(int window_width, int window_height);

// A key press or release as its protocol reported it: the keycode (X / XKB numbering), the
// key's level-0 and level-1 keysyms, the character typed (code page 437, 0 when none) and
// the modifiers held.
struct KeyReport {
    bool press;
    unsigned keycode;
    uint32_t level0, level1;
    int character;
    bool shift, ctrl, alt;
};
void window_key(const KeyReport& key);
// The keyboard map: which keycodes each scancode_table row watches. Cleared, then each keycode
// added with its level-0 and level-1 keysyms.
void window_keymap_clear();
void window_keymap_add(unsigned keycode, uint32_t level0, uint32_t level1);
// Sets key_state from a bit vector of held keycodes, for every scancode_table row; true when a
// key changed.
bool window_sample_keys(const char keys[32]);
// True while key_state shows a key held (the back end then samples every tick).
bool window_keys_held();
// Alt+Enter: full screen on and off; refused (0) with flags bit 2.
int toggle_fullscreen();
// Marks every framebuffer line dirty.
void window_mark_all_dirty();

// The title as UTF-8: as it is when it is valid UTF-8 (the executable's name), else read as
// code page 437 like every other text of the system.
std::string title_utf8(const char* title);

// The connection broke (from the back end's error handling, any thread): nothing touches it again.
void window_connection_broken();
bool window_connection_gone();
// The display server went away: input reads as absent and the close code is queued, so a
// program polling the key buffer ends. Called by the back end on its thread with the lock held.
void window_mark_lost();

}  // namespace vx
