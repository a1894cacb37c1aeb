// The X11 half of the window procedure and the X requests behind the shared entries.
#include "display/x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "display/input.h"
#include "display/keys.h"
#include "display/window.h"
#include "gfx/context.h"

namespace vx {

X11Window x11_window;

namespace {

bool connection_usable() {
    return !window_connection_gone() && x11_window.display && x11_window.window;
}

void apply_cursor() {
    if (!connection_usable()) return;
    Cursor cursor = pointer_state.cursor_visible ? x11_window.arrow_cursor : x11_window.invisible_cursor;
    if (cursor) XDefineCursor(x11_window.display, x11_window.window, cursor);
}

int zoom() { return std::max(1, window_state.zoom); }

// Focus changes that mean the window was (de)activated; grabs by other clients and the
// pointer-root bookkeeping do not.
bool real_focus_change(const XFocusChangeEvent& e) {
    if (e.mode == NotifyGrab || e.mode == NotifyUngrab) return false;
    return e.detail != NotifyInferior && e.detail != NotifyPointer && e.detail != NotifyPointerRoot &&
           e.detail != NotifyDetailNone;
}

void key_message(XKeyEvent& key) {
    char bytes[16];
    KeySym typed = NoSymbol;
    int count = XLookupString(&key, bytes, sizeof bytes, &typed, nullptr);
    KeyReport report{key.type == KeyPress,
                     key.keycode,
                     static_cast<uint32_t>(XLookupKeysym(&key, 0)),
                     static_cast<uint32_t>(XLookupKeysym(&key, 1)),
                     typed_character(static_cast<uint32_t>(typed), bytes, count),
                     (key.state & ShiftMask) != 0,
                     (key.state & ControlMask) != 0,
                     (key.state & Mod1Mask) != 0};
    window_key(report);
}

int button_bit(unsigned button) {
    switch (button) {
        case Button1: return 1;
        case Button2: return 4;   // X's middle button
        case Button3: return 2;
        case 8: return 8;
        case 9: return 16;
        default: return 0;
    }
}

void button_message(const XButtonEvent& e) {
    const bool press = e.type == ButtonPress;
    if (e.button >= 4 && e.button <= 7) {
        if (press) window_wheel(e.button == Button4 || e.button == 7 ? 1 : -1, e.button >= 6, e.x, e.y);
        return;
    }
    window_button(button_bit(e.button), press, static_cast<uint32_t>(e.time), e.x, e.y);
}

void crossing_message(const XCrossingEvent& e) {
    if (e.detail == NotifyInferior) return;
    if (e.type == EnterNotify) {
        if (e.mode == NotifyGrab) return;
        window_pointer_entered(e.x, e.y, e.x_root, e.y_root);
    } else if (e.mode == NotifyNormal) {
        window_pointer_left();
    }
}

void client_message(XClientMessageEvent& e) {
    const WindowAtoms& atoms = x11_window.atoms;
    if (e.message_type != atoms.wm_protocols || e.format != 32) return;
    Atom protocol = static_cast<Atom>(e.data.l[0]);
    if (protocol == atoms.wm_delete_window) {
        window_close_request();
    } else if (protocol == atoms.net_wm_ping && connection_usable()) {
        Window root = DefaultRootWindow(x11_window.display);
        e.window = root;
        XSendEvent(x11_window.display, root, False, SubstructureNotifyMask | SubstructureRedirectMask,
                   reinterpret_cast<XEvent*>(&e));
    }
}

// WM_NAME is Latin-1: characters beyond it become '?'.
std::string utf8_to_latin1(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char b = static_cast<unsigned char>(utf8[i]);
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : 3;
        uint32_t ucs = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k) ucs = (ucs << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out += ucs <= 0xFF ? static_cast<char>(ucs) : '?';
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

}  // namespace

void window_store_title() {
    const WindowState& ws = window_state;
    X11Window& xw = x11_window;
    if (!connection_usable()) return;
    std::string utf8 = title_utf8(ws.title);
    std::string latin1 = utf8_to_latin1(utf8);
    XStoreName(xw.display, xw.window, latin1.c_str());
    XChangeProperty(xw.display, xw.window, xw.atoms.net_wm_name, xw.atoms.utf8_string, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
}

void x11_clip(bool confine) {
    if (!connection_usable()) return;
    if (!confine) {
        XUngrabPointer(x11_window.display, CurrentTime);
        return;
    }
    XGrabPointer(x11_window.display, x11_window.window, False,
                 ButtonPressMask | ButtonReleaseMask | PointerMotionMask | EnterWindowMask | LeaveWindowMask, GrabModeAsync,
                 GrabModeAsync, x11_window.window, None, CurrentTime);
}

void x11_fullscreen() {
    if (!connection_usable()) return;
    X11Window& xw = x11_window;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = xw.window;
    e.xclient.message_type = xw.atoms.net_wm_state;
    e.xclient.format = 32;
    e.xclient.data.l[0] = (window_state.flags & 1) ? 1 : 0;  // add or remove
    e.xclient.data.l[1] = static_cast<long>(xw.atoms.net_wm_state_fullscreen);
    e.xclient.data.l[3] = 1;
    XSendEvent(xw.display, DefaultRootWindow(xw.display), False, SubstructureNotifyMask | SubstructureRedirectMask, &e);
}

void x11_write_mouse(int x, int y, int cursor, int clip) {
    WindowState& ws = window_state;
    PointerState& ps = pointer_state;
    if (x >= 0) {
        int cx = std::min(x, ws.width - 1), cy = std::clamp(y, 0, ws.height - 1);
        if (connection_usable())
            XWarpPointer(x11_window.display, None, x11_window.window, 0, 0, 0, 0, cx * zoom() + ws.offset_x,
                         cy * zoom() + ws.offset_y);
        ps.x = x;
        ps.y = y;
    }
    if (cursor > 0 && !ps.cursor_visible) {
        ps.cursor_visible = 1;
        apply_cursor();
    } else if (cursor == 0 && ps.cursor_visible) {
        ps.cursor_visible = 0;
        apply_cursor();
    }
    if (clip == 0) {
        ps.clip = 0;
        x11_clip(false);
    } else if (clip > 0) {
        ps.clip = 1;
        x11_clip(true);
    }
    if (connection_usable()) XFlush(x11_window.display);
    window_wake_if_idle();
}

void x11_set_title(const char* text) {
    window_title_set(text, [] {
        if (!connection_usable()) return;
        window_store_title();
        XFlush(x11_window.display);
    });
}

int x11_set_position(int x, int y) {
    WindowState& ws = window_state;
    // The full-screen switch changes the flags on the update thread, under the lock.
    int flags = 0;
    if (GfxContext* ctx = gfx_context()) {
        bracket_begin(ctx);
        flags = ws.flags;
        bracket_end(ctx);
    }
    if ((flags & 1) || !connection_usable()) return 0;
    Display* d = x11_window.display;
    Window child;
    int left = 0, top = 0;
    XTranslateCoordinates(d, x11_window.window, DefaultRootWindow(d), 0, 0, &left, &top, &child);
    // With a window manager the frame's corner is the window's position.
    Atom type;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, x11_window.window, x11_window.atoms.net_frame_extents, 0, 4, False, XA_CARDINAL, &type, &format, &items, &after,
                           &data) == Success &&
        data) {
        if (format == 32 && items == 4) {
            const long* extents = reinterpret_cast<const long*>(data);
            left -= static_cast<int>(extents[0]);
            top -= static_cast<int>(extents[2]);
        }
        XFree(data);
    }
    int new_left = x == INT_MIN ? left : x, new_top = y == INT_MIN ? top : y;
    XMoveWindow(d, x11_window.window, new_left, new_top);
    XFlush(d);
    window_wake_if_idle();
    return (left & 0xFFFF) + top * 65536;
}

void window_proc(XEvent& event) {
    const WindowState& ws = window_state;
    switch (event.type) {
        case KeyPress:
        case KeyRelease:
            key_message(event.xkey);
            return;
        case ButtonPress:
        case ButtonRelease:
            button_message(event.xbutton);
            return;
        case MotionNotify:
            window_pointer_moved(event.xmotion.x, event.xmotion.y, event.xmotion.x_root, event.xmotion.y_root);
            return;
        case EnterNotify:
        case LeaveNotify:
            crossing_message(event.xcrossing);
            return;
        case FocusIn:
        case FocusOut:
            if (real_focus_change(event.xfocus)) window_activation(event.type == FocusIn);
            return;
        case MapNotify:
            window_activation(true);
            return;
        case UnmapNotify:
            window_activation(false);
            return;
        case Expose:
            if (event.xexpose.count == 0 && ws.hooks.repaint) ws.hooks.repaint();
            return;
        case ConfigureNotify:
            if (event.xconfigure.window == x11_window.window) window_resized(event.xconfigure.width, event.xconfigure.height);
            return;
        case ClientMessage:
            client_message(event.xclient);
            return;
        case KeymapNotify:
            // The server's account of the keyboard after every focus gain and pointer entry:
            // it corrects what key events cannot tell, such as a key released while another
            // client held the keyboard, without a round trip of ours.
            if (ws.active) window_sample_keys(event.xkeymap.key_vector);
            return;
        case MappingNotify:
            XRefreshKeyboardMapping(&event.xmapping);
            if (event.xmapping.request != MappingPointer) window_keymap_refresh();
            return;
        default:
            return;
    }
}

int pump_messages() {
    Display* d = x11_window.display;
    if (!d) return 0;
    int handled = 0;
    while (!window_connection_gone() && XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        window_proc(event);
        ++handled;
    }
    return handled;
}

void window_keymap_refresh() {
    window_keymap_clear();
    Display* d = x11_window.display;
    if (!d || window_connection_gone()) return;
    int min_code = 0, max_code = 0, per = 0;
    XDisplayKeycodes(d, &min_code, &max_code);
    min_code = std::max(min_code, 8);
    max_code = std::min(max_code, 255);
    if (max_code < min_code) return;
    KeySym* syms = XGetKeyboardMapping(d, static_cast<KeyCode>(min_code), max_code - min_code + 1, &per);
    if (!syms) return;
    for (int k = min_code; k <= max_code && per > 0; ++k) {
        const KeySym* row = syms + static_cast<ptrdiff_t>(k - min_code) * per;
        window_keymap_add(static_cast<unsigned>(k), static_cast<uint32_t>(row[0]),
                          static_cast<uint32_t>(per > 1 ? row[1] : NoSymbol));
    }
    XFree(syms);
}

}  // namespace vx
