// Heap allocations of the running program: once the window is painted, the polling loop and the
// update thread's ticks allocate nothing. This program replaces operator new and the C
// allocation functions with counting versions, and counts while it plays the keyboard (keys
// pressed, dragged and released, every slider moved, keys typed) on the scripted driver and
// on the X11 driver under Xvfb with real input.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <thread>

#include "app/midi/midi.h"
#include "app/keyboard/piano.h"
#include "display/input.h"
#include "gfx/context.h"
#include "tests/support/fake_driver.h"
#include "tests/support/keyboard.h"
#include "tests/support/sanitizers.h"
#include "tests/support/x11_screen.h"
#include "tests/support/xvfb.h"

using namespace std::chrono_literals;

// The sanitizers bring their own allocator, which these replacements would bypass.
#define VX_COUNTING_ALLOCATOR !VX_SANITIZED

extern "C" char __executable_start, etext;  // the bounds of this program's code, from the linker

namespace {

constexpr int max_recorded = 64;
constexpr int max_frames = 24;

struct Recorded {
    void* frames[max_frames];
    int count;
    void* caller;  // the return address into whoever called the allocation function
};

std::atomic<bool> counting{false};
std::atomic<long> own_allocations{0}, library_allocations{0};
std::atomic<int> recorded_count{0};
Recorded recorded[max_recorded];
thread_local bool exempt = false;   // the test's own input thread
thread_local bool in_hook = false;  // backtrace and dladdr must not count themselves

bool frame_in(void* address, const char* module_part) {
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fname && std::strstr(info.dli_fname, module_part);
}

// Who made an allocation: the first frame above the allocation function that is neither the
// C++ runtime nor libc (std::string's growth and stdio live there, called by someone). Our
// code is linked into this executable; any other module is a library's (Xlib, xcb).
bool ours(const Recorded& r) {
    int i = 0;
    while (i < r.count && r.frames[i] != r.caller) ++i;
    if (i == r.count) i = 1;
    for (; i < r.count; ++i) {
        auto* a = static_cast<char*>(r.frames[i]);
        if (a >= &__executable_start && a < &etext) return true;
        if (frame_in(a, "libstdc++") || frame_in(a, "libc.so")) continue;
        return false;
    }
    return false;
}

void note_allocation(void* caller) {
    if (!counting.load(std::memory_order_relaxed) || exempt || in_hook) return;
    in_hook = true;
    Recorded r;
    r.count = backtrace(r.frames, max_frames);
    r.caller = caller;
    if (ours(r)) {
        own_allocations.fetch_add(1);
        int slot = recorded_count.fetch_add(1);
        if (slot < max_recorded) recorded[slot] = r;
    } else {
        library_allocations.fetch_add(1);
    }
    in_hook = false;
}

struct Tally {
    long own = 0, libraries = 0;
};

void start_counting() {
    own_allocations = 0;
    library_allocations = 0;
    recorded_count = 0;
    counting = true;
}

// Stops counting; prints the stack of each of our own allocations to stderr (no allocation
// there either: backtrace_symbols_fd writes straight to the descriptor).
Tally stop_counting() {
    counting = false;
    Tally t{own_allocations.load(), library_allocations.load()};
    const int n = std::min(recorded_count.load(), max_recorded);
    for (int i = 0; i < n; ++i) {
        std::fprintf(stderr, "--- allocation %d of our own:\n", i);
        backtrace_symbols_fd(recorded[i].frames, recorded[i].count, 2);
    }
    return t;
}

// One user gesture of the script: pointer position and buttons, for `passes` passes.
struct Step {
    int x, y, buttons, passes;
};

// Every path of the loop that draws: a press, a drag across white and black keys, a release,
// both arrows of the instrument slider (up three, down one: its caption shows names longer
// than a short string holds), the
// right arrow of the other three, a glide on the volume track, and the pointer leaving.
const Step script[] = {
    {15, 150, 1, 3},  {35, 150, 1, 2},  {28, 100, 1, 2},  {75, 150, 1, 2},  {75, 150, 0, 2},
    {150, 12, 1, 3},  {150, 12, 0, 1},  {13, 12, 1, 1},   {13, 12, 0, 1},   {150, 32, 1, 1},
    {150, 32, 0, 1},  {150, 52, 1, 1},  {150, 52, 0, 1},  {520, 52, 1, 1},  {520, 52, 0, 1},
    {80, 32, 1, 2},   {80, 32, 0, 1},   {300, 120, 1, 2}, {300, 120, 0, 1}, {700, 20, 0, 2},
};

}  // namespace

#if VX_COUNTING_ALLOCATOR
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) {
    note_allocation(__builtin_return_address(0));
    return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
    note_allocation(__builtin_return_address(0));
    return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
    note_allocation(__builtin_return_address(0));
    return __libc_realloc(p, n);
}
void* aligned_alloc(size_t alignment, size_t n) {
    note_allocation(__builtin_return_address(0));
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    note_allocation(__builtin_return_address(0));
    *out = __libc_memalign(alignment, n);
    return *out ? 0 : ENOMEM;
}
}

namespace {
void* counted_new(size_t n, void* caller) {
    note_allocation(caller);
    if (void* p = __libc_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* counted_new_aligned(size_t n, std::align_val_t alignment, void* caller) {
    note_allocation(caller);
    if (void* p = __libc_memalign(static_cast<size_t>(alignment), n ? n : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t n) { return counted_new(n, __builtin_return_address(0)); }
void* operator new[](size_t n) { return counted_new(n, __builtin_return_address(0)); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    note_allocation(__builtin_return_address(0));
    return __libc_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    note_allocation(__builtin_return_address(0));
    return __libc_malloc(n ? n : 1);
}
void* operator new(size_t n, std::align_val_t a) { return counted_new_aligned(n, a, __builtin_return_address(0)); }
void* operator new[](size_t n, std::align_val_t a) { return counted_new_aligned(n, a, __builtin_return_address(0)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
#endif

namespace {

struct Allocations : ::testing::Test {
    void* sheet = nullptr;
    bool started = false;
    std::string midi_file;

    void SetUp() override {
        if (!VX_COUNTING_ALLOCATOR) GTEST_SKIP() << "the sanitizers own the allocator; counting runs in the plain build";
        // The unwinder loads on its first use; that must not happen while counting.
        void* frames[4];
        backtrace(frames, 4);
        midi_file = vxtest::use_raw_midi_file("allocations");
        vxtest::reset_keyboard_settings();
    }
    void TearDown() override {
        counting = false;
        vxtest::end_keyboard(sheet, started, midi_file);
    }
    bool pass() { return app::app_pass(sheet); }
};

}  // namespace

TEST_F(Allocations, ProgramLoopOnTheScriptedDriverAllocatesNothing) {
    vxtest::use_fake_driver();
    ASSERT_TRUE(started = app::app_start(&sheet));
    auto run_script = [&] {
        for (const Step& step : script) {
            vxtest::fake.mouse_x = step.x;
            vxtest::fake.mouse_y = step.y;
            vxtest::fake.mouse_buttons = step.buttons;
            for (int i = 0; i < step.passes; ++i) {
                vx::key_queue_push(i % 2 ? 'a' : 0x3BFF);  // a character, then F1 (two bytes)
                EXPECT_FALSE(pass());
            }
        }
    };
    run_script();  // first use of every path (the picture target's line table grows once)
    start_counting();
    run_script();
    run_script();
    Tally t = stop_counting();
    EXPECT_EQ(t.own + t.libraries, 0) << "heap allocations while the loop ran (stacks on stderr)";
    EXPECT_EQ(static_cast<int>(app::sliders[0].value), 6) << "the script moved the instrument slider";
}

TEST_F(Allocations, UpdateThreadAndLoopUnderXvfbAllocateNothingOfOurOwn) {
    vxtest::Xvfb server;
    ASSERT_TRUE(server.start());
    server.export_display();
    unsetenv("VXGFX");
    vx::set_display_drivers({});
    ASSERT_TRUE(started = app::app_start(&sheet));
    ASSERT_STREQ(vx::gfx_context()->driver->name, "X11");

    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    // Real input through the server, from a thread whose own allocations (its Xlib requests)
    // are not counted.
    std::thread user([&] {
        exempt = true;
        vxtest::Connection client(server.display_name());
        Display* d = client.get();
        if (!d) return;
        Window w = vxtest::find_window_by_pid(d, getpid());
        if (!w) return;
        vxtest::set_focus(d, w);
        const unsigned letter = vxtest::keycode_of(d, XK_a);
        while (!stop.load()) {
            for (const Step& step : script) {
                vxtest::pointer_move(d, w, step.x, step.y);
                // Held as long as a person holds a click, so each press reaches the program;
                // longer where the script asks for more than one step of an arrow (200 ms each).
                if (step.buttons) vxtest::button(d, 1, true);
                std::this_thread::sleep_for(step.buttons ? 60ms + (step.passes - 1) * 220ms : 15ms * step.passes);
                if (step.buttons) vxtest::button(d, 1, false);
            }
            vxtest::tap_key(d, letter, 20ms);
            ++rounds;
        }
    });
    float instrument_highest = 0;
    auto loop_until = [&](int wanted_rounds) {
        while (rounds.load() < wanted_rounds) {
            EXPECT_FALSE(pass());
            instrument_highest = std::max(instrument_highest, app::sliders[0].value);
        }
    };
    loop_until(1);  // every path once, with the update thread presenting all along
    instrument_highest = 0;
    start_counting();
    loop_until(2);
    Tally t = stop_counting();
    stop = true;
    user.join();
    EXPECT_GT(instrument_highest, 0.0f) << "the presses reached the sliders";
    std::ifstream sent(midi_file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(sent), {}};
    EXPECT_NE(bytes.find('\x90'), std::string::npos) << "notes were played";
    RecordProperty("allocations_by_libraries", static_cast<int>(t.libraries));
    EXPECT_EQ(t.own, 0) << "heap allocations by our code on the program's and the update thread (stacks on stderr)";
    std::fprintf(stderr, "allocations while counting: %ld of our own, %ld by Xlib and xcb\n", t.own, t.libraries);
}
