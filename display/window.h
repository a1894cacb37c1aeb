// The window layer: the one top-level X window's state, its window procedure turning X events
// into the library's input state (key queue, key states, pointer, event ring), the update
// thread's start and stop, and the entries the windowed display drivers share.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

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
};

// Atoms the window procedure and the entries need.
struct WindowAtoms {
    Atom wm_protocols, wm_delete_window, net_wm_ping;
    Atom net_wm_name, utf8_string, net_wm_state, net_wm_state_fullscreen, net_frame_extents;
    Atom mouse_enter;  // "VX WM_MOUSEENTER emulation", an internal marker
};

// Zero-filled by the back end's driver open before window_open runs.
struct WindowState {
    int32_t version;          // X protocol major * 256 + minor
    Display* display;         // the update thread's connection
    Window window;            // 0 when none
    PaletteEntry palette[256];
    Blitter blitter;
    int32_t monitor;          // RandR monitor the window was placed on, -1 when unknown
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
    WindowAtoms atoms;
    int32_t window_width, window_height;  // the X window's size (larger when full screen)
    int32_t offset_x, offset_y;           // where the picture sits in it
    // Each framebuffer pixel shows as a zoom x zoom block; window sizes and offsets count
    // window pixels, pointer positions framebuffer pixels. 0 means 1.
    int32_t zoom;
    Cursor arrow_cursor, invisible_cursor;
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
void window_palette_entry(int index, int red, int green, int blue);
void window_wait_retrace();
int window_read_mouse(int* x, int* y, int* wheel, int* buttons, int* clip);
void window_write_mouse(int x, int y, int cursor, int clip);
void window_set_title(const char* text);
int window_set_position(int x, int y);

// The window procedure, run by the update thread under the screen lock for every X event.
void window_proc(XEvent& event);
// Drains every queued X event through window_proc; how many there were.
int pump_messages();
// Alt+Enter: full screen on and off through the window manager; refused (0) with flags bit 2.
int toggle_fullscreen();
// Re-reads the key map (at open and when it changes): which keycodes each table row watches.
void window_keymap_refresh();
// Sets key_state from an XQueryKeymap result or a KeymapNotify's vector, for every
// scancode_table row; true when a key changed.
bool window_sample_keys(const char keys[32]);
// True while key_state shows a key held (the back end then samples every tick).
bool window_keys_held();

// Sets WM_NAME and _NET_WM_NAME of the window from the title.
void window_store_title();

// The connection broke (from Xlib's I/O error handling, any thread): nothing touches it again.
void window_connection_broken();
bool window_connection_gone();
// The X server went away: input reads as absent and the close code is queued, so a program
// polling the key buffer ends. Called by the back end on its thread with the lock held.
void window_mark_lost();
// True once the program has been told (the close code is queued): the display went away.
bool display_lost();

}  // namespace vx
