// The window layer's shared half: window_open/window_close with the update thread's start and
// stop, the input half of the window procedure (activation, pointer tracking, buttons, wheel,
// key translation, the close request) and the entries every windowed driver uses.
#include "display/window.h"

#include <X11/keysym.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
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
constexpr int tick_ms = 10;
// Quiet ticks before the update thread sleeps. Key events set key_state; what they cannot tell
// (a key released while another client held the keyboard) comes with the server's own account
// of the keyboard (X11's KeymapNotify, Wayland's keyboard enter), so sleeping loses nothing.
constexpr int idle_after_ticks = 3;

void signal_wake() {
    if (wake_fd < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_fd, &one, sizeof one);  // a full counter is still readable
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
uint32_t keycode_level0[256];
bool keycode_down[256];

// Double clicks: the platforms have none, so a second press of the same button nearby within
// half a second stands for one.
uint32_t last_press_time = 0;
int last_press_bit = 0;
int last_press_x = 0, last_press_y = 0;

template <typename T>
std::atomic_ref<T> shared(T& value) {
    return std::atomic_ref<T>(value);
}

void set_thread_boost(pid_t tid, bool raised) {
    // One step above normal; without the privilege to raise, the thread keeps normal priority.
    if (tid > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), raised ? -1 : 0);
}

void post(int kind, int a = 0, int b = 0, int c = 0, int d = 0) { post_event(InputEvent{kind, {a, b, c, d}}); }

void clip(bool confine) {
    if (window_state.hooks.clip && !display_gone.load()) window_state.hooks.clip(confine);
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

void pointer_position(int window_x, int window_y) {
    pointer_state.x = unzoomed(window_x - window_state.offset_x) & 0xFFFF;
    pointer_state.y = unzoomed(window_y - window_state.offset_y) & 0xFFFF;
}

// The enter step: the first sign of the pointer over an active window reports an enter.
bool enter_step(InputEvent& pending) {
    if (pointer_state.tracked || !window_state.active) return false;
    pointer_state.tracked = 1;
    pending.kind = 9;
    if (pointer_state.clip) clip(true);
    return true;
}

// The virtual key of a key: its unshifted keysym, or the shifted one when only that has a row
// (layouts whose digit row types symbols unshifted).
uint32_t key_virtual_key(uint32_t level0, uint32_t level1) {
    uint32_t vk = virtual_key(level0);
    if (scancode_lookup(vk) || vk == XK_KP_Begin) return vk;
    uint32_t alternative = virtual_key(level1);
    return scancode_lookup(alternative) ? alternative : vk;
}

bool right_key_held(uint32_t sym) {
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

}  // namespace

std::string title_utf8(const char* title) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(title);
    if (valid_utf8(bytes)) return title;
    std::string out;
    for (; *bytes; ++bytes) append_utf8(out, cp437_to_unicode(*bytes));
    return out;
}

void window_mark_all_dirty() {
    GfxContext* ctx = gfx_context();
    if (ctx && ctx->dirty) std::memset(ctx->dirty.get(), 1, static_cast<size_t>(ctx->height) * ctx->scale);
}

void window_activation(bool now_active) {
    WindowState& ws = window_state;
    PointerState& ps = pointer_state;
    if ((ws.active != 0) == now_active) return;
    ws.active = now_active ? 1 : 0;
    set_thread_boost(gettid(), now_active);  // the procedure runs on the update thread
    if (GfxContext* ctx = gfx_context()) std::memset(ctx->key_state, 0, sizeof ctx->key_state);
    std::memset(keycode_down, 0, sizeof keycode_down);
    ps.buttons = 0;
    input_latches_clear();
    window_mark_all_dirty();
    if (!now_active && ps.tracked) {
        post(10);
        ps.tracked = 0;
    }
    post(now_active ? 11 : 12);
    InputEvent enter{};
    if (now_active && ps.inside) {
        if (enter_step(enter)) post_event(enter);
    } else if (ps.clip) {
        clip(now_active);
    }
}

void window_key(const KeyReport& key) {
    WindowState& ws = window_state;
    const unsigned keycode = key.keycode & 0xFF;
    const uint32_t vk = key_virtual_key(key.level0, key.level1);
    const int c = key.character;

    uint32_t mods = 0;
    if (key.shift) mods |= mod_shift;
    if (key.ctrl) mods |= mod_left_ctrl | (right_key_held(XK_Control_R) ? mod_right_ctrl : 0u);
    if (key.alt) mods |= mod_left_alt | (right_key_held(XK_Alt_R) ? mod_right_alt : 0u);
    if (gray_keysym(key.level0)) mods |= mod_extended;
    // Alt without Ctrl makes a system key: its characters are not typed, its release is not reported.
    const bool system = key.alt && !key.ctrl;

    const bool was_down = keycode_down[keycode];
    keycode_down[keycode] = key.press;
    update_key_rows(keycode);

    if (system) {
        if (!key.press || !ws.active) return;
        if (vk == XK_Return) {
            toggle_fullscreen();
            return;
        }
    }
    const int code = key_translate(c, key_scan(vk), vk, mods);
    if (key.press && code > 255) key_queue_push(code);
    const bool swallowed = vk == XK_F10 || vk == XK_Alt_L || vk == XK_Alt_R || code == close_key_code;
    if (!swallowed)
        post(key.press ? (was_down ? 3 : 1) : 2, scancode_lookup(vk), code >= 0 && code <= 255 ? code : 0);
    if (key.press && !system && c != 0) key_queue_push(c);
}

void window_button(int bit, bool press, uint32_t time_ms, int window_x, int window_y) {
    track_inside(window_x, window_y);
    pointer_position(window_x, window_y);
    if (!bit) return;
    if (!press) {
        pointer_button_released(bit);
        post(6, bit);
        return;
    }
    pointer_button_pressed(bit);
    bool double_click = last_press_time && bit == last_press_bit && time_ms - last_press_time < 500 &&
                        std::abs(window_x - last_press_x) <= 4 && std::abs(window_y - last_press_y) <= 4;
    last_press_time = double_click ? 0 : time_ms;
    last_press_bit = bit;
    last_press_x = window_x;
    last_press_y = window_y;
    post(double_click ? 7 : 5, bit);
}

void window_wheel(int step, bool horizontal, int window_x, int window_y) {
    PointerState& ps = pointer_state;
    track_inside(window_x, window_y);
    pointer_position(window_x, window_y);
    if (horizontal) {
        ps.hwheel += step;
        post(14, ps.hwheel);
    } else {
        ps.wheel += step;
        post(8, ps.wheel);
    }
}

void window_pointer_moved(int window_x, int window_y, int screen_x, int screen_y) {
    PointerState& ps = pointer_state;
    track_inside(window_x, window_y);
    pointer_position(window_x, window_y);
    int dx = 0, dy = 0;
    if (ps.last_screen_x != 0xFFFF) {
        dx = screen_x - ps.last_screen_x;
        dy = screen_y - ps.last_screen_y;
    }
    ps.last_screen_x = screen_x;
    ps.last_screen_y = screen_y;
    InputEvent pending{0, {ps.x, ps.y, dx, dy}};
    if ((dx || dy) && window_state.active) pending.kind = 4;
    enter_step(pending);
    if (pending.kind) post_event(pending);
}

void window_pointer_entered(int window_x, int window_y, int screen_x, int screen_y) {
    PointerState& ps = pointer_state;
    track_inside(window_x, window_y);
    pointer_position(window_x, window_y);
    ps.last_screen_x = screen_x;
    ps.last_screen_y = screen_y;
    InputEvent pending{0, {ps.x, ps.y, 0, 0}};
    if (enter_step(pending)) post_event(pending);
}

void window_pointer_left() {
    PointerState& ps = pointer_state;
    ps.inside = 0;
    if (!window_state.active) return;
    post(10);
    ps.tracked = 0;
}

void window_close_request() {
    // The window stays; the program decides what a close request means.
    key_queue_push(close_key_code);
    post(13);
}

void window_resized(int window_width, int window_height) {
    WindowState& ws = window_state;
    if (window_width == ws.window_width && window_height == ws.window_height) return;
    ws.window_width = window_width;
    ws.window_height = window_height;
    ws.offset_x = std::max(0, (window_width - ws.width * zoom()) / 2);
    ws.offset_y = std::max(0, (window_height - ws.height * zoom()) / 2);
    window_mark_all_dirty();
    if (ws.hooks.repaint) ws.hooks.repaint();
}

void window_thread_started(StartSignal* start) {
    std::lock_guard guard(start->mutex);
    start->thread_id = gettid();
    start->state = 1;
    start->changed.notify_all();
}

int window_open(const char* title, int width, int height, int depth, int refresh, int flags) {
    WindowState& ws = window_state;
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

// The program's thread talked to the server: events read with a reply may sit in the client
// library's queue, where the poll of a sleeping update thread cannot see them, so it looks once.
void window_wake_if_idle() {
    if (update_idle.load()) signal_wake();
}

void window_title_set(const char* text, void (*send)()) {
    std::snprintf(window_state.title, sizeof window_state.title, "%s", text ? text : "");
    if (display_gone.load() || !send) return;
    GfxContext* ctx = gfx_context();
    bool held = ctx && (ctx->flags & ctx_locked);
    if (held) screen_lock.unlock();
    send();
    window_wake_if_idle();
    if (held) screen_lock.lock();
}

void window_idle_begin() { update_idle.store(true, std::memory_order_relaxed); }

bool window_idle_end() {
    update_idle.store(false, std::memory_order_relaxed);
    uint64_t count = 0;
    return wake_fd >= 0 && read(wake_fd, &count, sizeof count) == sizeof count && count > 0;
}

int UpdatePacing::wait_ms(Clock::time_point now) const {
    if (idle) return -1;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, tick_ms));
}

bool UpdatePacing::woken(Clock::time_point now) {
    idle = false;
    quiet_ticks = 0;
    next_tick = now;
    return window_idle_end();
}

bool UpdatePacing::pass_done(bool ticked, bool busy, Clock::time_point now) {
    bool signalled = false;
    if (busy) quiet_ticks = 0;
    else if (ticked) ++quiet_ticks;
    if (idle && busy) {
        signalled = window_idle_end();
        idle = false;
        next_tick = now;
    } else if (!idle && quiet_ticks >= idle_after_ticks && wake_fd >= 0) {
        window_idle_begin();
        idle = true;
    }
    if (ticked) {
        next_tick += std::chrono::milliseconds(tick_ms);
        if (next_tick <= now) next_tick = now + std::chrono::milliseconds(tick_ms);
    }
    return signalled;
}

void window_loop_ended() {
    if (!display_gone.load()) return;
    window_lock();
    window_mark_lost();
    window_unlock();
}

int window_asked_zoom() {
    const char* asked = std::getenv("VXGFX_ZOOM");
    if (!asked || !*asked) return 0;
    char* end = nullptr;
    const long zoom = std::strtol(asked, &end, 10);
    return *end == 0 && zoom >= 1 ? static_cast<int>(std::min(zoom, 3L)) : 0;
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

int toggle_fullscreen() {
    WindowState& ws = window_state;
    PointerState& ps = pointer_state;
    if (ps.tracked) post(10);
    if (ws.flags & 4) return 0;
    if (ps.clip) clip(false);
    // The desktop switches the same window; the back end keeps its resources and centres the
    // picture in whatever size it is given.
    ws.flags ^= 1;
    if (ws.hooks.fullscreen && !display_gone.load()) ws.hooks.fullscreen();
    if (GfxContext* ctx = gfx_context())
        for (int i = 0; i < 256; ++i) {
            uint32_t c = ctx->device_palette[i];
            window_palette_entry(i, c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
        }
    window_mark_all_dirty();
    ws.active = 1;
    ps.tracked = 0;
    return 0;
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

void window_keymap_clear() {
    std::memset(keycode_rows, 0, sizeof keycode_rows);
    std::memset(keycode_level0, 0, sizeof keycode_level0);
    for (auto& keys : row_keycodes) keys.clear();
}

void window_keymap_add(unsigned keycode, uint32_t level0, uint32_t level1) {
    if (keycode > 255) return;
    keycode_level0[keycode] = level0;
    uint32_t vk = key_virtual_key(level0, level1);
    if (!vk) return;
    int slot = 0;
    for (int r = 0; r < scancode_rows && slot < 2; ++r) {
        if (scancode_table[r].key_a != vk && scancode_table[r].key_b != vk) continue;
        keycode_rows[keycode][slot++] = static_cast<uint8_t>(r + 1);
        row_keycodes[r].push_back(static_cast<uint8_t>(keycode));
    }
}

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
