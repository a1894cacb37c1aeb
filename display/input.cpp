// The key-code queue, the key-hit flag and the graphics versions of the input operations.
// The window layer fills the queue and the pointer state on its thread; every access from
// either side happens under the screen lock (the auto-lock below, or the update tick).
#include "display/input.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "gfx/context.h"
#include "runtime/runtime.h"

namespace vx {

PointerState pointer_state;

namespace {

int queue[16];
int queue_write = 0, queue_read = 0;
int key_hit = 0;

// Every button change, with the pointer where it happened, in order; each read takes the
// oldest, so a press and its release that arrive together read as down, then up. Guarded by
// the screen lock.
struct ButtonChange {
    int x, y, buttons;
};
constexpr int button_change_capacity = 64;
ButtonChange button_changes[button_change_capacity];
int button_change_first = 0, button_change_count = 0;
uint8_t key_latch[128];  // 1: pressed since key_down last read that scancode
// Once the program marks its passes (pointer_read_begin), the first pointer read of a pass
// takes the change and the pass's other reads report the same.
bool reads_in_passes = false;
bool pass_read_taken = false;
bool pass_has_change = false;
ButtonChange pass_change{};

void record_button_change() {
    // A program that stopped reading the pointer keeps only the latest changes.
    if (button_change_count == button_change_capacity) {
        button_change_first = (button_change_first + 1) % button_change_capacity;
        --button_change_count;
    }
    const PointerState& ps = pointer_state;
    button_changes[(button_change_first + button_change_count) % button_change_capacity] = {ps.x, ps.y, ps.buttons};
    ++button_change_count;
}

std::atomic<bool> waiting_enabled{false};
std::mutex arrival_mutex;
std::condition_variable arrival;
uint64_t arrivals = 0;  // guarded by arrival_mutex

// Takes the driver's lock unless the running operation already holds it.
struct AutoLock {
    GfxContext* ctx;
    explicit AutoLock(GfxContext* c) : ctx(c) { bracket_begin(ctx); }
    ~AutoLock() { bracket_end(ctx); }
    AutoLock(const AutoLock&) = delete;
    AutoLock& operator=(const AutoLock&) = delete;
};

int take_hit() {
    int previous = key_hit;
    key_hit = 0;
    return previous;
}

int pop_code() {
    if (queue_read == queue_write) return 0;
    int code = queue[queue_read];
    queue_read = (queue_read + 1) & 15;
    take_hit();
    return code;
}

int fail_mouse(int* x, int* y, int* wheel, int* buttons, int* clip) {
    for (int* out : {x, y, wheel, buttons, clip})
        if (out) *out = -1;
    rt_set_error(err_illegal_call);
    return err_illegal_call;
}

}  // namespace

void key_queue_push(int code) {
    queue[queue_write] = code;
    queue_write = (queue_write + 1) & 15;
    if (queue_write == queue_read) queue_read = (queue_read + 1) & 15;  // the oldest is lost
    key_hit = 1;
    input_arrived();
}

int key_queue_pop() { return pop_code(); }
int key_queue_size() { return (queue_write - queue_read) & 15; }
void key_queue_clear() { queue_read = queue_write = 0; }

void pointer_button_pressed(int bit) {
    pointer_state.buttons |= bit;
    record_button_change();
}

void pointer_button_released(int bit) {
    pointer_state.buttons &= ~bit;
    record_button_change();
}

void pointer_read_begin() {
    GfxContext* ctx = gfx_context();
    if (ctx) bracket_begin(ctx);
    reads_in_passes = true;
    pass_read_taken = false;
    pass_has_change = false;
    if (ctx) bracket_end(ctx);
}

bool pointer_change_take(int* x, int* y, int* buttons) {
    const PointerState& ps = pointer_state;
    if (reads_in_passes && pass_read_taken && pass_has_change) {
        *x = pass_change.x;
        *y = pass_change.y;
        *buttons = pass_change.buttons;
        return true;
    }
    pass_read_taken = true;
    if (button_change_count == 0) {
        // The pass's later reads see this state too: a press arriving in between is read
        // once, from the queue, by the next pass.
        pass_change = {ps.x, ps.y, ps.buttons};
        pass_has_change = true;
        return false;
    }
    const ButtonChange change = button_changes[button_change_first];
    pass_change = change;
    pass_has_change = true;
    button_change_first = (button_change_first + 1) % button_change_capacity;
    --button_change_count;
    *x = change.x;
    *y = change.y;
    *buttons = change.buttons;
    // The next read has news (another change, or the state as it is now): a program waiting
    // for input must not sleep before it.
    if (button_change_count > 0 || change.buttons != ps.buttons || change.x != ps.x || change.y != ps.y) input_arrived();
    return true;
}

void key_state_set(int scancode, bool down) {
    GfxContext* ctx = gfx_context();
    if (!ctx || scancode < 0 || scancode > 127) return;
    ctx->key_state[scancode] = down ? 1 : 0;
    if (down) key_latch[scancode] = 1;
}

void pointer_changes_clear() {
    button_change_first = button_change_count = 0;
    pass_has_change = false;
}

void input_latches_clear() {
    pointer_changes_clear();
    std::memset(key_latch, 0, sizeof key_latch);
}

int mouse_get(int* x, int* y, int* wheel, int* buttons, int* clip) {
    GfxContext* ctx = gfx_context();
    if (!ctx || !ctx->driver || !ctx->driver->read_mouse) return fail_mouse(x, y, wheel, buttons, clip);
    int out[5];
    int result;
    {
        AutoLock lock(ctx);
        result = ctx->driver->read_mouse(&out[0], &out[1], &out[2], &out[3], &out[4]);
    }
    if (result != 0) return fail_mouse(x, y, wheel, buttons, clip);
    int* dest[5] = {x, y, wheel, buttons, clip};
    for (int i = 0; i < 5; ++i)
        if (dest[i]) *dest[i] = out[i];
    rt_set_error(err_none);
    return err_none;
}

int mouse_set(int x, int y, int cursor, int clip) {
    GfxContext* ctx = gfx_context();
    if (!ctx || !ctx->driver || !ctx->driver->write_mouse) {
        rt_set_error(err_illegal_call);
        return err_illegal_call;
    }
    AutoLock lock(ctx);
    ctx->driver->write_mouse(x, y, cursor, clip);
    rt_set_error(err_none);
    return err_none;
}

int key_down(int scancode) {
    GfxContext* ctx = gfx_context();
    if (!ctx || scancode < 0 || scancode > 127) return 0;
    AutoLock lock(ctx);
    const bool latched = key_latch[scancode] != 0;
    key_latch[scancode] = 0;
    if (latched && !ctx->key_state[scancode]) input_arrived();  // the next read sees it up
    return ctx->key_state[scancode] || latched ? -1 : 0;
}

std::string key_read() {
    GfxContext* ctx = gfx_context();
    if (!ctx) return {};
    int code;
    {
        AutoLock lock(ctx);
        code = pop_code();
    }
    if (code <= 0) return {};
    if (code <= 255) return std::string(1, static_cast<char>(code));
    return std::string{'\xFF', static_cast<char>((code >> 8) & 0xFF)};
}

int key_wait() {
    GfxContext* ctx = gfx_context();
    if (!ctx) return 0;
    for (;;) {
        int code;
        {
            AutoLock lock(ctx);
            code = pop_code();
        }
        if (code) return code;
        pause(20);
    }
}

int key_ready() {
    GfxContext* ctx = gfx_context();
    if (!ctx) return 0;
    AutoLock lock(ctx);
    return queue_read != queue_write ? 1 : 0;
}

int key_hit_take() {
    GfxContext* ctx = gfx_context();
    if (!ctx) return take_hit();
    AutoLock lock(ctx);
    return take_hit();
}

void pause(int milliseconds) {
    if (milliseconds == -1) {
        while (!key_hit_take()) rt_sleep_ms(50);
        return;
    }
    if (milliseconds <= 99) {
        rt_sleep_ms(milliseconds);
        return;
    }
    while (milliseconds > 50) {
        if (key_hit_take()) return;
        rt_sleep_ms(50);
        milliseconds -= 50;
    }
    rt_sleep_ms(milliseconds);
}

void input_waiting_enable(bool enabled) {
    waiting_enabled.store(enabled);
    input_arrived();  // nobody keeps waiting on a layer that went away
}

bool input_waiting_enabled() { return waiting_enabled.load(); }

void input_arrived() {
    {
        std::lock_guard guard(arrival_mutex);
        ++arrivals;
    }
    arrival.notify_all();
}

uint64_t input_generation() {
    std::lock_guard guard(arrival_mutex);
    return arrivals;
}

void wait_input(uint64_t seen, int milliseconds) {
    std::unique_lock guard(arrival_mutex);
    if (milliseconds < 0) arrival.wait(guard, [&] { return arrivals != seen; });
    else arrival.wait_for(guard, std::chrono::milliseconds(milliseconds), [&] { return arrivals != seen; });
}

}  // namespace vx
