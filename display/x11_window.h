// The X11 half of the window procedure: X events turned into the window layer's input calls,
// and the X requests behind the shared driver entries (pointer warp and grab, cursor, title,
// position, the full-screen request).
#pragma once

#include <X11/Xlib.h>

namespace vx {

// Atoms the window procedure and the entries need.
struct WindowAtoms {
    Atom wm_protocols, wm_delete_window, net_wm_ping;
    Atom net_wm_name, utf8_string, net_wm_state, net_wm_state_fullscreen, net_frame_extents;
    Atom mouse_enter;  // "VX WM_MOUSEENTER emulation", an internal marker
};

// The X side of the one window, zeroed with WindowState by the driver's open.
struct X11Window {
    Display* display;  // the update thread's connection
    Window window;     // 0 when none
    WindowAtoms atoms;
    Cursor arrow_cursor, invisible_cursor;
};
extern X11Window x11_window;

// The window procedure, run by the update thread under the screen lock for every X event.
void window_proc(XEvent& event);
// Drains every queued X event through window_proc; how many there were.
int pump_messages();
// Re-reads the key map (at open and when it changes).
void window_keymap_refresh();
// Sets WM_NAME and _NET_WM_NAME of the window from the title.
void window_store_title();

// The hooks and driver entries of the X11 window.
void x11_clip(bool confine);
void x11_fullscreen();
void x11_write_mouse(int x, int y, int cursor, int clip);
void x11_set_title(const char* text);
int x11_set_position(int x, int y);

}  // namespace vx
