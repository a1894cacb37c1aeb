// The window layer on X11: window_open/window_close with the update thread's start and stop,
// the window procedure over X events, activation, pointer tracking, key translation, and the
// mouse, title and position entries the drivers share.
#include "display/window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "display/input.h"
#include "display/keys.h"
#include "gfx/context.h"
#include "runtime/runtime.h"

namespace vx {

WindowState window_state;

struct StartSignal {
    std::mutex mutex;
    std::condition_variable changed;
    int state = 0;  // 0 waiting, 1 started, 2 ended without starting
    pid_t thread_id = 0;
};

namespace {

std::mutex screen_lock;
// Heap-held so that a process ending without closing the screen never destroys a joinable
// thread object during static destruction.
std::thread* update_thread = nullptr;
pid_t update_thread_id = 0;
std::atomic<bool> display_gone{false};   // the connection broke: never touch it again
std::atomic<bool> loss_reported{false};  // ... and the program has been told
// An update thread with nothing to present sleeps past its ticks; the first unlock that leaves
// something to present signals this descriptor. update_idle is written under the screen lock.
int wake_fd = -1;
std::atomic<bool> update_idle{false};

void signal_wake() {
    if (wake_fd < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_fd, &one, sizeof one);  // a full counter is still readable
}

// The program's thread talked to the server: events read with a reply sit in Xlib's queue,
// where the poll of a sleeping update thread cannot see them, so it looks once.
void wake_if_idle() {
    if (update_idle.load()) signal_wake();
}

// Lock held: dirty lines or palette entries the update thread has not presented yet.
bool something_to_present() {
    if (window_state.palette_changed) return true;
    const GfxContext* ctx = gfx_context();
    if (!ctx || !ctx->dirty) return false;
    const uint8_t* dirty = ctx->dirty.get();
    const size_t n = static_cast<size_t>(ctx->height) * static_cast<size_t>(ctx->scale);
    for (size_t i = 0; i < n; ++i)
        if (dirty[i]) return true;
    return false;
}

// Which scancode_table rows each keycode belongs to (row index + 1; Shift keys are in two),
// and the keycodes each row watches, for sampling.
uint8_t keycode_rows[256][2];
std::vector<uint8_t> row_keycodes[scancode_rows];
KeySym keycode_level0[256];
bool keycode_down[256];

// Double clicks: the platform has none, so a second press of the same button nearby within
// half a second stands for one.
Time last_press_time = 0;
unsigned last_press_button = 0;
int last_press_x = 0, last_press_y = 0;

template <typename T>
std::atomic_ref<T> shared(T& value) {
    return std::atomic_ref<T>(value);
}

bool connection_usable() {
    return !display_gone.load() && window_state.display && window_state.window;
}

void set_thread_boost(pid_t tid, bool raised) {
    // One step above normal; without the privilege to raise, the thread keeps normal priority.
    if (tid > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), raised ? -1 : 0);
}

void mark_all_dirty() {
    GfxContext* ctx = gfx_context();
    if (ctx && ctx->dirty) std::memset(ctx->dirty.get(), 1, static_cast<size_t>(ctx->height) * ctx->scale);
}

void post(int kind, int a = 0, int b = 0, int c = 0, int d = 0) { post_event(InputEvent{kind, {a, b, c, d}}); }

void clip_to_client() {
    if (!connection_usable()) return;
    XGrabPointer(window_state.display, window_state.window, False,
                 ButtonPressMask | ButtonReleaseMask | PointerMotionMask | EnterWindowMask | LeaveWindowMask, GrabModeAsync,
                 GrabModeAsync, window_state.window, None, CurrentTime);
}

void release_clip() {
    if (connection_usable()) XUngrabPointer(window_state.display, CurrentTime);
}

void apply_cursor() {
    if (!connection_usable()) return;
    Cursor cursor = pointer_state.cursor_visible ? window_state.arrow_cursor : window_state.invisible_cursor;
    if (cursor) XDefineCursor(window_state.display, window_state.window, cursor);
}

int zoom() { return std::max(1, window_state.zoom); }

// A window coordinate relative to the picture's corner, in framebuffer pixels (rounded down,
// so that a position left of or above the picture stays negative).
int unzoomed(int window_offset) {
    const int z = zoom();
    return window_offset >= 0 ? window_offset / z : -((-window_offset + z - 1) / z);
}

// The pointer is inside when it lies on the picture (the whole client area when windowed).
void track_inside(int window_x, int window_y) {
    const WindowState& ws = window_state;
    int x = window_x - ws.offset_x, y = window_y - ws.offset_y;
    pointer_state.inside = x >= 0 && y >= 0 && x < ws.width * zoom() && y < ws.height * zoom() ? 1 : 0;
}

// The enter step: the first sign of the pointer over an active window reports an enter.
bool enter_step(InputEvent& pending) {
    if (pointer_state.tracked || !window_state.active) return false;
    pointer_state.tracked = 1;
    pending.kind = 9;
    if (pointer_state.clip) clip_to_client();
    return true;
}

void activation(bool now_active) {
    WindowState& ws = window_state;
    PointerState& ps = pointer_state;
    if ((ws.active != 0) == now_active) return;
    ws.active = now_active ? 1 : 0;
    set_thread_boost(gettid(), now_active);  // the procedure runs on the update thread
    if (GfxContext* ctx = gfx_context()) std::memset(ctx->key_state, 0, sizeof ctx->key_state);
    std::memset(keycode_down, 0, sizeof keycode_down);
    ps.buttons = 0;
    input_latches_clear();
    mark_all_dirty();
    if (!now_active && ps.tracked) {
        post(10);
        ps.tracked = 0;
    }
    post(now_active ? 11 : 12);
    InputEvent enter{};
    if (now_active && ps.inside) {
        if (enter_step(enter)) post_event(enter);
    } else if (ps.clip) {
        if (now_active) clip_to_client();
        else release_clip();
    }
}

// Focus changes that mean the window was (de)activated; grabs by other clients and the
// pointer-root bookkeeping do not.
bool real_focus_change(const XFocusChangeEvent& e) {
    if (e.mode == NotifyGrab || e.mode == NotifyUngrab) return false;
    return e.detail != NotifyInferior && e.detail != NotifyPointer && e.detail != NotifyPointerRoot &&
           e.detail != NotifyDetailNone;
}

// The virtual key of a key: its unshifted keysym, or the shifted one when only that has a row
// (layouts whose digit row types symbols unshifted).
uint32_t key_virtual_key(KeySym level0, KeySym level1) {
    uint32_t vk = virtual_key(static_cast<uint32_t>(level0));
    if (scancode_lookup(vk) || vk == XK_KP_Begin) return vk;
    uint32_t alternative = virtual_key(static_cast<uint32_t>(level1));
    return scancode_lookup(alternative) ? alternative : vk;
}

bool right_key_held(KeySym sym) {
    for (int k = 0; k < 256; ++k)
        if (keycode_down[k] && keycode_level0[k] == sym) return true;
    return false;
}

void update_key_rows(unsigned keycode) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return;
    for (uint8_t row_plus_one : keycode_rows[keycode]) {
        if (!row_plus_one) continue;
        int row = row_plus_one - 1;
        bool down = false;
        for (uint8_t k : row_keycodes[row]) down = down || keycode_down[k];
        key_state_set(scancode_table[row].scancode, down);
    }
}

void key_message(XKeyEvent& key) {
    WindowState& ws = window_state;
    const bool press = key.type == KeyPress;
    const unsigned keycode = key.keycode & 0xFF;
    const KeySym level0 = XLookupKeysym(&key, 0);
    const uint32_t vk = key_virtual_key(level0, XLookupKeysym(&key, 1));
    char bytes[16];
    KeySym typed = NoSymbol;
    int count = XLookupString(&key, bytes, sizeof bytes, &typed, nullptr);
    const int c = typed_character(static_cast<uint32_t>(typed), bytes, count);

    uint32_t mods = 0;
    if (key.state & ShiftMask) mods |= mod_shift;
    if (key.state & ControlMask) mods |= mod_left_ctrl | (right_key_held(XK_Control_R) ? mod_right_ctrl : 0u);
    if (key.state & Mod1Mask) mods |= mod_left_alt | (right_key_held(XK_Alt_R) ? mod_right_alt : 0u);
    if (gray_keysym(static_cast<uint32_t>(level0))) mods |= mod_extended;
    // Alt without Ctrl makes a system key: its characters are not typed, its release is not reported.
    const bool system = (key.state & Mod1Mask) && !(key.state & ControlMask);

    const bool was_down = keycode_down[keycode];
    keycode_down[keycode] = press;
    update_key_rows(keycode);

    if (system) {
        if (!press || !ws.active) return;
        if (vk == XK_Return) {
            toggle_fullscreen();
            return;
        }
    }
    const int code = key_translate(c, key_scan(vk), vk, mods);
    if (press && code > 255) key_queue_push(code);
    const bool swallowed = vk == XK_F10 || vk == XK_Alt_L || vk == XK_Alt_R || code == close_key_code;
    if (!swallowed)
        post(press ? (was_down ? 3 : 1) : 2, scancode_lookup(vk), code >= 0 && code <= 255 ? code : 0);
    if (press && !system && c != 0) key_queue_push(c);
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

void pointer_position(int window_x, int window_y) {
    pointer_state.x = unzoomed(window_x - window_state.offset_x) & 0xFFFF;
    pointer_state.y = unzoomed(window_y - window_state.offset_y) & 0xFFFF;
}

void button_message(const XButtonEvent& e, InputEvent& pending) {
    PointerState& ps = pointer_state;
    track_inside(e.x, e.y);
    pointer_position(e.x, e.y);
    const bool press = e.type == ButtonPress;
    if (e.button >= 4 && e.button <= 7) {
        if (!press) return;
        if (e.button <= 5) {
            ps.wheel += e.button == Button4 ? 1 : -1;
            pending = {8, {ps.wheel, 0, 0, 0}};
        } else {
            ps.hwheel += e.button == 7 ? 1 : -1;
            pending = {14, {ps.hwheel, 0, 0, 0}};
        }
        return;
    }
    int bit = button_bit(e.button);
    if (!bit) return;
    if (!press) {
        pointer_button_released(bit);
        pending = {6, {bit, 0, 0, 0}};
        return;
    }
    pointer_button_pressed(bit);
    bool double_click = last_press_time && e.button == last_press_button && e.time - last_press_time < 500 &&
                        std::abs(e.x - last_press_x) <= 4 && std::abs(e.y - last_press_y) <= 4;
    last_press_time = double_click ? 0 : e.time;
    last_press_button = e.button;
    last_press_x = e.x;
    last_press_y = e.y;
    pending = {double_click ? 7 : 5, {bit, 0, 0, 0}};
}

void motion_message(const XMotionEvent& e, InputEvent& pending) {
    PointerState& ps = pointer_state;
    track_inside(e.x, e.y);
    pointer_position(e.x, e.y);
    int dx = 0, dy = 0;
    if (ps.last_screen_x != 0xFFFF) {
        dx = e.x_root - ps.last_screen_x;
        dy = e.y_root - ps.last_screen_y;
    }
    ps.last_screen_x = e.x_root;
    ps.last_screen_y = e.y_root;
    pending.word[0] = ps.x;
    pending.word[1] = ps.y;
    pending.word[2] = dx;
    pending.word[3] = dy;
    if ((dx || dy) && window_state.active) pending.kind = 4;
    enter_step(pending);
}

void crossing_message(const XCrossingEvent& e, InputEvent& pending) {
    PointerState& ps = pointer_state;
    track_inside(e.x, e.y);
    if (e.detail == NotifyInferior) return;
    if (e.type == EnterNotify) {
        if (e.mode == NotifyGrab) return;
        pointer_position(e.x, e.y);
        ps.last_screen_x = e.x_root;
        ps.last_screen_y = e.y_root;
        pending.word[0] = ps.x;
        pending.word[1] = ps.y;
        enter_step(pending);
    } else if (e.mode == NotifyNormal && window_state.active) {
        post(10);
        ps.tracked = 0;
    }
}

void client_message(XClientMessageEvent& e) {
    const WindowAtoms& atoms = window_state.atoms;
    if (e.message_type != atoms.wm_protocols || e.format != 32) return;
    Atom protocol = static_cast<Atom>(e.data.l[0]);
    if (protocol == atoms.wm_delete_window) {
        // The window stays; the program decides what a close request means.
        key_queue_push(close_key_code);
        post(13);
    } else if (protocol == atoms.net_wm_ping && connection_usable()) {
        Window root = DefaultRootWindow(window_state.display);
        e.window = root;
        XSendEvent(window_state.display, root, False, SubstructureNotifyMask | SubstructureRedirectMask,
                   reinterpret_cast<XEvent*>(&e));
    }
}

void configure_message(const XConfigureEvent& e) {
    WindowState& ws = window_state;
    if (e.window != ws.window || (e.width == ws.window_width && e.height == ws.window_height)) return;
    ws.window_width = e.width;
    ws.window_height = e.height;
    ws.offset_x = std::max(0, (e.width - ws.width * zoom()) / 2);
    ws.offset_y = std::max(0, (e.height - ws.height * zoom()) / 2);
    mark_all_dirty();
    if (ws.hooks.repaint) ws.hooks.repaint();
}

// Titles are byte strings: UTF-8 when they are valid UTF-8 (the executable's name), else code
// page 437 like every other text of the system.
bool valid_utf8(const unsigned char* s) {
    while (*s) {
        int extra = *s < 0x80 ? 0 : (*s & 0xE0) == 0xC0 ? 1 : (*s & 0xF0) == 0xE0 ? 2 : (*s & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0) return false;
        ++s;
        for (int i = 0; i < extra; ++i, ++s)
            if ((*s & 0xC0) != 0x80) return false;
    }
    return true;
}

void append_utf8(std::string& out, uint32_t ucs) {
    if (ucs < 0x80) {
        out += static_cast<char>(ucs);
    } else if (ucs < 0x800) {
        out += static_cast<char>(0xC0 | (ucs >> 6));
        out += static_cast<char>(0x80 | (ucs & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (ucs >> 12));
        out += static_cast<char>(0x80 | ((ucs >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ucs & 0x3F));
    }
}

std::string title_utf8(const char* title) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(title);
    if (valid_utf8(bytes)) return title;
    std::string out;
    for (; *bytes; ++bytes) append_utf8(out, cp437_to_unicode(*bytes));
    return out;
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
    WindowState& ws = window_state;
    if (!connection_usable()) return;
    std::string utf8 = title_utf8(ws.title);
    std::string latin1 = utf8_to_latin1(utf8);
    XStoreName(ws.display, ws.window, latin1.c_str());
    XChangeProperty(ws.display, ws.window, ws.atoms.net_wm_name, ws.atoms.utf8_string, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
}

void window_thread_started(StartSignal* start) {
    std::lock_guard guard(start->mutex);
    start->thread_id = gettid();
    start->state = 1;
    start->changed.notify_all();
}

int window_open(const char* title, int width, int height, int depth, int refresh, int flags) {
    WindowState& ws = window_state;
    ws.version = (X_PROTOCOL << 8) | X_PROTOCOL_REVISION;
    ws.monitor = -1;
    pointer_state.cursor_visible = 1;
    pointer_state.last_screen_x = 0xFFFF;
    pointer_state.clip = 0;
    std::snprintf(ws.title, sizeof ws.title, "%s", title ? title : "");
    const size_t title_length = strnlen(ws.title, sizeof ws.title - 1);
    std::memcpy(ws.class_name, "vxgfxclass_", 11);
    std::memcpy(ws.class_name + 11, ws.title, title_length);
    ws.class_name[11 + title_length] = 0;
    ws.flags = flags;
    ws.width = width;
    ws.height = height;
    ws.depth = depth;
    ws.refresh = refresh;
    ws.window_width = width;
    ws.window_height = height;
    pointer_state.wheel = 0;
    pointer_state.buttons = 0;
    pointer_state.tracked = 0;
    input_latches_clear();
    display_gone.store(false);
    loss_reported.store(false);
    shared(ws.inited).store(1);
    if (!ws.hooks.thread_main) return -1;
    if (wake_fd < 0) wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    update_idle.store(false);

    auto start = std::make_shared<StartSignal>();
    update_thread = new std::thread([start] {
        window_state.hooks.thread_main(start.get());
        std::lock_guard guard(start->mutex);
        if (start->state == 0) start->state = 2;
        start->changed.notify_all();
    });
    int state;
    {
        std::unique_lock guard(start->mutex);
        start->changed.wait(guard, [&] { return start->state != 0; });
        state = start->state;
        update_thread_id = start->thread_id;
    }
    if (state == 2) {
        update_thread->join();
        delete update_thread;
        update_thread = nullptr;
        update_thread_id = 0;
        return -1;
    }
    set_thread_boost(update_thread_id, true);
    input_waiting_enable(true);
    return 0;
}

void window_close() {
    WindowState& ws = window_state;
    if (!shared(ws.inited).load()) return;
    shared(ws.inited).store(0);
    signal_wake();  // an idle update thread sees the end now, not at its next sample
    input_waiting_enable(false);
    GfxContext* ctx = gfx_context();
    if (ctx && (ctx->flags & ctx_locked)) {
        screen_lock.unlock();
        ctx->flags &= ~(ctx_locked | ctx_auto_locked);
    }
    if (update_thread) {
        update_thread->join();
        delete update_thread;
        update_thread = nullptr;
        update_thread_id = 0;
    }
    if (ws.hooks.close) ws.hooks.close();
    pointer_state.clip = 0;
}

void window_lock() { screen_lock.lock(); }

void window_unlock() {
    if (update_idle.load(std::memory_order_relaxed) && something_to_present()) {
        update_idle.store(false, std::memory_order_relaxed);
        signal_wake();
    }
    screen_lock.unlock();
}

int window_wake_fd() { return wake_fd; }

void window_idle_begin() { update_idle.store(true, std::memory_order_relaxed); }

bool window_idle_end() {
    update_idle.store(false, std::memory_order_relaxed);
    uint64_t count = 0;
    return wake_fd >= 0 && read(wake_fd, &count, sizeof count) == sizeof count && count > 0;
}

void window_palette_entry(int index, int red, int green, int blue) {
    if (index < 0 || index > 255) return;
    window_state.palette[index] = {static_cast<uint8_t>(red), static_cast<uint8_t>(green), static_cast<uint8_t>(blue), 4};
    window_state.palette_changed = 1;
}

void window_wait_retrace() {
    GfxContext* ctx = gfx_context();
    int refresh = ctx ? ctx->refresh_rate : 0;
    rt_sleep_ms(refresh > 0 ? 1000 / refresh : 16);
}

int window_read_mouse(int* x, int* y, int* wheel, int* buttons, int* clip) {
    const PointerState& ps = pointer_state;
    if (!window_state.active || !ps.inside) {
        // Clicks made before the pointer left are not played when it comes back.
        pointer_changes_clear();
        return -1;
    }
    *wheel = ps.wheel;
    *clip = ps.clip;
    if (pointer_change_take(x, y, buttons)) return 0;
    *x = ps.x;
    *y = ps.y;
    *buttons = ps.buttons;
    return 0;
}

void window_write_mouse(int x, int y, int cursor, int clip) {
    WindowState& ws = window_state;
    PointerState& ps = pointer_state;
    if (x >= 0) {
        int cx = std::min(x, ws.width - 1), cy = std::clamp(y, 0, ws.height - 1);
        if (connection_usable())
            XWarpPointer(ws.display, None, ws.window, 0, 0, 0, 0, cx * zoom() + ws.offset_x, cy * zoom() + ws.offset_y);
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
        release_clip();
    } else if (clip > 0) {
        ps.clip = 1;
        clip_to_client();
    }
    if (connection_usable()) XFlush(ws.display);
    wake_if_idle();
}

void window_set_title(const char* text) {
    WindowState& ws = window_state;
    std::snprintf(ws.title, sizeof ws.title, "%s", text ? text : "");
    if (!connection_usable()) return;
    // Leave the screen lock while talking to the server, as the update thread may need it
    // to get through its tick.
    GfxContext* ctx = gfx_context();
    bool held = ctx && (ctx->flags & ctx_locked);
    if (held) screen_lock.unlock();
    window_store_title();
    XFlush(ws.display);
    wake_if_idle();
    if (held) screen_lock.lock();
}

int window_set_position(int x, int y) {
    WindowState& ws = window_state;
    // The full-screen switch changes the flags on the update thread, under the lock.
    int flags = 0;
    if (GfxContext* ctx = gfx_context()) {
        bracket_begin(ctx);
        flags = ws.flags;
        bracket_end(ctx);
    }
    if ((flags & 1) || !connection_usable()) return 0;
    Display* d = ws.display;
    Window child;
    int left = 0, top = 0;
    XTranslateCoordinates(d, ws.window, DefaultRootWindow(d), 0, 0, &left, &top, &child);
    // With a window manager the frame's corner is the window's position.
    Atom type;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, ws.window, ws.atoms.net_frame_extents, 0, 4, False, XA_CARDINAL, &type, &format, &items, &after,
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
    XMoveWindow(d, ws.window, new_left, new_top);
    XFlush(d);
    wake_if_idle();
    return (left & 0xFFFF) + top * 65536;
}

void window_proc(XEvent& event) {
    WindowState& ws = window_state;
    InputEvent pending{};
    switch (event.type) {
        case KeyPress:
        case KeyRelease:
            key_message(event.xkey);
            return;
        case ButtonPress:
        case ButtonRelease:
            button_message(event.xbutton, pending);
            break;
        case MotionNotify:
            motion_message(event.xmotion, pending);
            break;
        case EnterNotify:
        case LeaveNotify:
            crossing_message(event.xcrossing, pending);
            break;
        case FocusIn:
        case FocusOut:
            if (real_focus_change(event.xfocus)) activation(event.type == FocusIn);
            return;
        case MapNotify:
            activation(true);
            return;
        case UnmapNotify:
            activation(false);
            return;
        case Expose:
            if (event.xexpose.count == 0 && ws.hooks.repaint) ws.hooks.repaint();
            return;
        case ConfigureNotify:
            configure_message(event.xconfigure);
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
    if (pending.kind) post_event(pending);
}

int pump_messages() {
    Display* d = window_state.display;
    if (!d) return 0;
    int handled = 0;
    while (!display_gone.load() && XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        window_proc(event);
        ++handled;
    }
    return handled;
}

int toggle_fullscreen() {
    WindowState& ws = window_state;
    PointerState& ps = pointer_state;
    if (ps.tracked) post(10);
    if (ws.flags & 4) return 0;
    if (ps.clip) release_clip();
    // The window manager switches the same window; the back end keeps its resources and
    // centres the picture in whatever size it is given.
    ws.flags ^= 1;
    if (connection_usable()) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = ws.window;
        e.xclient.message_type = ws.atoms.net_wm_state;
        e.xclient.format = 32;
        e.xclient.data.l[0] = (ws.flags & 1) ? 1 : 0;  // add or remove
        e.xclient.data.l[1] = static_cast<long>(ws.atoms.net_wm_state_fullscreen);
        e.xclient.data.l[3] = 1;
        XSendEvent(ws.display, DefaultRootWindow(ws.display), False, SubstructureNotifyMask | SubstructureRedirectMask, &e);
    }
    if (GfxContext* ctx = gfx_context())
        for (int i = 0; i < 256; ++i) {
            uint32_t c = ctx->device_palette[i];
            window_palette_entry(i, c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
        }
    mark_all_dirty();
    ws.active = 1;
    ps.tracked = 0;
    return 0;
}

void window_keymap_refresh() {
    std::memset(keycode_rows, 0, sizeof keycode_rows);
    std::memset(keycode_level0, 0, sizeof keycode_level0);
    for (auto& keys : row_keycodes) keys.clear();
    Display* d = window_state.display;
    if (!d || display_gone.load()) return;
    int min_code = 0, max_code = 0, per = 0;
    XDisplayKeycodes(d, &min_code, &max_code);
    min_code = std::max(min_code, 8);
    max_code = std::min(max_code, 255);
    if (max_code < min_code) return;
    KeySym* syms = XGetKeyboardMapping(d, static_cast<KeyCode>(min_code), max_code - min_code + 1, &per);
    if (!syms) return;
    for (int k = min_code; k <= max_code && per > 0; ++k) {
        const KeySym* row = syms + static_cast<ptrdiff_t>(k - min_code) * per;
        keycode_level0[k] = row[0];
        uint32_t vk = key_virtual_key(row[0], per > 1 ? row[1] : NoSymbol);
        if (!vk) continue;
        int slot = 0;
        for (int r = 0; r < scancode_rows && slot < 2; ++r) {
            if (scancode_table[r].key_a != vk && scancode_table[r].key_b != vk) continue;
            keycode_rows[k][slot++] = static_cast<uint8_t>(r + 1);
            row_keycodes[r].push_back(static_cast<uint8_t>(k));
        }
    }
    XFree(syms);
}

bool window_sample_keys(const char keys[32]) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return false;
    bool changed = false;
    for (int k = 8; k < 256; ++k) keycode_down[k] = (keys[k >> 3] >> (k & 7)) & 1;
    for (int r = 0; r < scancode_rows; ++r) {
        bool down = false;
        for (uint8_t k : row_keycodes[r]) down = down || ((keys[k >> 3] >> (k & 7)) & 1);
        const int scancode = scancode_table[r].scancode;
        changed = changed || ctx->key_state[scancode] != (down ? 1 : 0);
        key_state_set(scancode, down);
    }
    return changed;
}

void window_connection_broken() { display_gone.store(true); }
bool window_connection_gone() { return display_gone.load(); }

bool window_keys_held() {
    GfxContext* ctx = gfx_context();
    if (!ctx) return false;
    for (uint8_t held : ctx->key_state)
        if (held) return true;
    return false;
}

void window_mark_lost() {
    display_gone.store(true);
    WindowState& ws = window_state;
    ws.active = 0;
    pointer_state.inside = 0;
    pointer_state.buttons = 0;
    input_latches_clear();
    if (GfxContext* ctx = gfx_context()) std::memset(ctx->key_state, 0, sizeof ctx->key_state);
    // A program polling the key buffer ends its loop as after a close request.
    key_queue_push(close_key_code);
    post(13);
    loss_reported.store(true);
}

bool display_lost() { return loss_reported.load(); }


}  // namespace vx
