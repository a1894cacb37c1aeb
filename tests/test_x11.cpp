// The "X11" driver under a private Xvfb: the window and its properties, the pixels it shows
// at each server depth (with and without MIT-SHM), presentation of later drawing, repaint,
// driver selection, failure without a display, and a lost server.
#include <gtest/gtest.h>

#include <vxgfx/icon.h>

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>

#include "display/input.h"
#include "display/window.h"
#include "display/x11_driver.h"
#include "gfx/context.h"
#include "gfx/palette.h"
#include "gfx/pixels.h"
#include "gfx/primitives.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_driver.h"
#include "tests/support/x11_screen.h"

using namespace vx;
using namespace std::chrono_literals;

namespace {

// Fills the visible page with a pattern that exercises every channel bit, through the lock
// bracket like any drawing, and marks it dirty.
void draw_pattern(uint32_t seed) {
    std::mt19937 rng(seed);
    vxtest::with_screen_lock([&](GfxContext* ctx) {
        for (int y = 0; y < ctx->height; ++y)
            for (int x = 0; x < ctx->width; ++x) {
                uint8_t* p = ctx->visible_buffer + static_cast<size_t>(y) * ctx->pitch + static_cast<size_t>(x) * ctx->bpp;
                uint32_t v = x < 64 ? static_cast<uint32_t>(x * 4) * 0x010101u : rng();  // grey ramp, then noise
                if (ctx->bpp == 1) *p = static_cast<uint8_t>(v);
                else if (ctx->bpp == 2) store16(p, static_cast<uint16_t>(v));
                else store32(p, v);
            }
        std::memset(ctx->dirty.get(), 1, static_cast<size_t>(ctx->height));
    });
}

uint32_t fb_pixel(GfxContext* ctx, int x, int y) {
    const uint8_t* p = ctx->visible_buffer + static_cast<size_t>(y) * ctx->pitch + static_cast<size_t>(x) * ctx->bpp;
    return ctx->bpp == 1 ? *p : ctx->bpp == 2 ? load16(p) : load32(p);
}

// What the window must show for a framebuffer pixel at the server's depth.
uint32_t expected_pixel(uint32_t fb, int fb_depth, int server_depth) {
    uint32_t r = (fb >> 16) & 0xFF, g = (fb >> 8) & 0xFF, b = fb & 0xFF;
    if (fb_depth == 8) {
        if (server_depth == 8) return fb;  // the index, shown through the window's colormap
        uint32_t e = gfx_context()->device_palette[fb];
        r = e & 0xFF, g = (e >> 8) & 0xFF, b = (e >> 16) & 0xFF;
    }
    if (fb_depth == 16) {
        r = ((fb >> 11) & 0x1F) << 3, g = ((fb >> 5) & 0x3F) << 2, b = (fb & 0x1F) << 3;
    }
    switch (server_depth) {
        case 16: return ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
        case 15: return ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
        default: return (r << 16) | (g << 8) | b;
    }
}

// Compares the window with the framebuffer (each pixel a zoom x zoom block); the message names
// the first differing pixel and the images are written beside the build for a look.
std::string compare_window(vxtest::LibraryScreen& s, int server_depth, const char* label, int zoom = 1) {
    GfxContext* ctx = gfx_context();
    const int width = ctx->width * zoom, height = ctx->height * zoom;
    vxtest::Capture shot;
    std::string problem;
    vxtest::wait_until(
        [&] {
            shot = vxtest::capture(s.d(), s.window);
            problem.clear();
            if (shot.width != width || shot.height != height) {
                problem = "window is " + std::to_string(shot.width) + " x " + std::to_string(shot.height);
                return false;
            }
            for (int y = 0; y < height && problem.empty(); ++y)
                for (int x = 0; x < width; ++x) {
                    uint32_t want = expected_pixel(fb_pixel(ctx, x / zoom, y / zoom), ctx->depth, server_depth);
                    uint32_t got = shot.at(x, y) & (server_depth >= 24 ? 0xFFFFFFu : 0xFFFFu);
                    if (got != want) {
                        std::ostringstream m;
                        m << "first differing pixel (" << x << ", " << y << "): window 0x" << std::hex << got << ", expected 0x" << want;
                        problem = m.str();
                        break;
                    }
                }
            return problem.empty();
        },
        vxtest::patience);
    if (!problem.empty() && shot.width > 0) {
        std::string base = std::string(VX_BINARY_DIR) + "/" + label;
        auto widen = [&](uint32_t p) {
            if (server_depth == 16) return ((p >> 11) << 19) | (((p >> 5) & 0x3F) << 10) | ((p & 0x1F) << 3);
            if (server_depth == 15) return ((p >> 10) << 19) | (((p >> 5) & 0x1F) << 11) | ((p & 0x1F) << 3);
            return p;
        };
        vxtest::write_ppm(base + "_actual.ppm", shot.width, shot.height, [&](int x, int y) { return widen(shot.at(x, y)); });
        vxtest::write_ppm(base + "_expected.ppm", width, height, [&](int x, int y) {
            return widen(expected_pixel(fb_pixel(ctx, x / zoom, y / zoom), ctx->depth, server_depth));
        });
    }
    return problem;
}

struct X11 : ::testing::Test {
    vxtest::LibraryScreen screen;
    // The window probe program on this test's own server, once it says its window is up.
    bool start_probe(vxtest::ChildProcess& program) {
        return screen.server.start() &&
               program.start(std::string(VX_BINARY_DIR) + "/tests/programs/vx_window_probe",
                             {"DISPLAY=" + screen.server.display_name(), "VXGFX="}) &&
               program.wait_for_line("ready") == "ready";
    }
    void TearDown() override {
        screen.close();
        vxtest::restore_drivers();
    }
};

}  // namespace

struct DepthCase {
    const char* label;
    int server_depth;
    int fb_depth;
    bool shared_memory;
    int bits;
};

TEST_F(X11, WindowPixelsAreTheFramebufferConverted) {
    const DepthCase cases[] = {
        {"depth24_shm", 24, 32, true, 32},
        {"depth24_putimage", 24, 32, false, 32},
        {"depth16", 16, 32, true, 16},
        {"depth15", 15, 32, true, 15},
        {"depth16_from16", 16, 16, false, 16},
        {"depth24_from16", 24, 16, true, 32},
        {"depth24_from8", 24, 8, true, 32},
    };
    for (const DepthCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> extra;
        if (!c.shared_memory) extra = {"-extension", "MIT-SHM"};
        ASSERT_TRUE(screen.open(c.server_depth, 720, 190, c.fb_depth, 4, extra));
        PresentStats stats = x11_present_stats();
        EXPECT_EQ(stats.shared_memory, c.shared_memory);
        EXPECT_EQ(stats.bits, c.bits);
        draw_pattern(static_cast<uint32_t>(c.server_depth * 100 + c.fb_depth));
        EXPECT_EQ(compare_window(screen, c.server_depth, c.label), "");
        screen.close();
    }
}

TEST_F(X11, EightBitServerShowsIndicesThroughThePalette) {
    ASSERT_TRUE(screen.open(8, 320, 200, 8));
    palette_set(5, 0xFF, 0x80, 0x01);
    draw_pattern(8);
    EXPECT_EQ(compare_window(screen, 8, "depth8"), "");
    const uint32_t entry = gfx_context()->device_palette[5];
    ASSERT_EQ(entry & 0xFF, 0xFFu);
    XColor colour{};
    ASSERT_TRUE(vxtest::wait_until([&] {
        XWindowAttributes a;
        XGetWindowAttributes(screen.d(), screen.window, &a);
        colour = XColor{};
        colour.pixel = 5;
        XQueryColor(screen.d(), a.colormap, &colour);
        return colour.red >> 8 == (entry & 0xFF) && colour.green >> 8 == ((entry >> 8) & 0xFF) && colour.blue >> 8 == (entry >> 16);
    })) << "palette entry 5 reaches the window's colormap; it shows " << std::hex << colour.red << " " << colour.green << " "
        << colour.blue << ", entry " << entry;
}

TEST_F(X11, ThirtyTwoBitScreenCannotOpenOnAnEightBitServer) {
    EXPECT_FALSE(screen.open(8));
    EXPECT_EQ(screen.open_result, 1);
    EXPECT_EQ(gfx_context(), nullptr);
}

TEST_F(X11, LinesDrawnAfterOpenReachTheWindow) {
    ASSERT_TRUE(screen.open());
    box_draw(0, 0, 719, 189, 0xFF204060, true, 0xFFFF);
    EXPECT_EQ(compare_window(screen, 24, "after_clear"), "");
    line_draw(nullptr, 10, 100, 700, 100, 0xFFFFFF00, 0, 0xFFFF, 0);
    pixel_set(nullptr, 719, 189, 0xFF00FFFF, 0, false);
    EXPECT_EQ(compare_window(screen, 24, "after_line"), "");
    EXPECT_EQ(vxtest::capture(screen.d(), screen.window).at(10, 100) & 0xFFFFFF, 0xFFFF00u);
}

// Left alone, the update thread stops ticking every 10 ms; the next drawing wakes it, and shows.
TEST_F(X11, AnIdleUpdateThreadSleepsUntilSomethingIsDrawn) {
    ASSERT_TRUE(screen.open());
    box_draw(0, 0, 719, 189, 0xFF000000, true, 0xFFFF);
    ASSERT_EQ(compare_window(screen, 24, "idle_before"), "");
    std::this_thread::sleep_for(100ms);  // past the quiet ticks that lead into the sleep
    const PresentStats before = x11_present_stats();
    std::this_thread::sleep_for(500ms);
    const PresentStats idle = x11_present_stats();
    EXPECT_LT(idle.ticks - before.ticks, 15u) << "about 50 ticks in 500 ms when busy, about 5 when idle";
    EXPECT_EQ(idle.frames, before.frames);

    pixel_set(nullptr, 300, 50, 0xFFFFFFFF, 0, false);
    ASSERT_TRUE(vxtest::wait_until([&] { return x11_present_stats().frames > idle.frames; }));
    EXPECT_EQ(x11_present_stats().wakes, idle.wakes + 1) << "the drawing itself woke the thread";
    EXPECT_EQ(compare_window(screen, 24, "idle_after"), "");
    EXPECT_EQ(vxtest::capture(screen.d(), screen.window).at(300, 50) & 0xFFFFFF, 0xFFFFFFu);
}

// A desktop announcing 192 dots per inch gets the window at zoom 2: every framebuffer pixel a
// 2 x 2 block at 24 and 16 bits, later drawing presented as its doubled band, the pointer read
// back in framebuffer pixels and warped to doubled ones; VXGFX_ZOOM overrides the desktop.
TEST_F(X11, AtXftDpi192EachPixelIsATwoByTwoBlockAndThePointerIsScaledBack) {
    screen.resources = "Xft.dpi:\t192\n";
    for (int depth : {24, 16}) {
        SCOPED_TRACE(depth);
        ASSERT_TRUE(screen.open(depth));
        draw_pattern(static_cast<uint32_t>(depth));
        EXPECT_EQ(compare_window(screen, depth, depth == 24 ? "zoom2_depth24" : "zoom2_depth16", 2), "");
        line_draw(nullptr, 10, 100, 700, 100, 0xFFFFFF00, 0, 0xFFFF, 0);
        EXPECT_EQ(compare_window(screen, depth, "zoom2_line", 2), "");
        screen.close();
    }
    ASSERT_TRUE(screen.open());
    vxtest::pointer_move(screen.d(), screen.window, 2 * 301 + 1, 2 * 100 + 1);
    int x = -1, y = -1;
    EXPECT_TRUE(vxtest::wait_until([&] { return mouse_get(&x, &y, nullptr, nullptr, nullptr) == 0 && x == 301 && y == 100; }))
        << "read at " << x << ", " << y;
    mouse_set(100, 50, -1, -1);
    Window root, child;
    int root_x, root_y, window_x = 0, window_y = 0;
    unsigned mask;
    EXPECT_TRUE(vxtest::wait_until([&] {
        XQueryPointer(screen.d(), screen.window, &root, &child, &root_x, &root_y, &window_x, &window_y, &mask);
        return window_x == 200 && window_y == 100;
    })) << "warped to " << window_x << ", " << window_y;
    screen.close();

    setenv("VXGFX_ZOOM", "1", 1);
    const bool opened = screen.open();
    unsetenv("VXGFX_ZOOM");
    ASSERT_TRUE(opened);
    EXPECT_EQ(vxtest::window_info(screen.d(), screen.window).width, 720);

    // A value no screen has, or no number, counts as no value: zoom 1. (A connection reads the
    // resources as they were when it opened.)
    for (const char* dpi : {"1e9", "1e300", "nan", "-inf"}) {
        vxtest::set_resources(screen.d(), std::string("Xft.dpi:\t") + dpi + "\n");
        vxtest::Connection reader(screen.server.display_name());
        ASSERT_TRUE(reader);
        EXPECT_EQ(x11_zoom(reader.get()), 1) << dpi;
    }
}

// A key held while the focus goes elsewhere and comes back reads as held again, though no key
// event says so: the server reports the keyboard with the focus, also to a sleeping thread.
TEST_F(X11, AKeyHeldAcrossAFocusChangeIsSeenAgainWhenTheFocusReturns) {
    ASSERT_TRUE(screen.open());
    Display* d = screen.d();
    Window other = vxtest::make_other_window(d, 0, 400, 100, 100);
    XAutoRepeatOff(d);  // the server's repeated presses would tell of the held key as well
    vxtest::set_focus(d, screen.window);
    const unsigned a = vxtest::keycode_of(d, XK_a);
    constexpr int scancode_a = 30;
    vxtest::key(d, a, true);
    EXPECT_TRUE(vxtest::wait_until([] { return key_down(scancode_a) == -1; }));
    vxtest::set_focus(d, other);
    EXPECT_TRUE(vxtest::wait_until([] { return key_down(scancode_a) == 0; })) << "the lost focus clears the key states";
    std::this_thread::sleep_for(300ms);  // nothing to present, no key held: the update thread sleeps
    vxtest::set_focus(d, screen.window);
    EXPECT_TRUE(vxtest::wait_until([] { return key_down(scancode_a) == -1; })) << "held again with the focus back";
    vxtest::key(d, a, false);
    EXPECT_TRUE(vxtest::wait_until([] { return key_down(scancode_a) == 0; }));
}

TEST_F(X11, CoveredAndUncoveredWindowIsRepainted) {
    ASSERT_TRUE(screen.open());
    draw_pattern(3);
    ASSERT_EQ(compare_window(screen, 24, "before_cover"), "");
    vxtest::WindowInfo info = vxtest::window_info(screen.d(), screen.window);
    Window cover = vxtest::make_other_window(screen.d(), info.x + 50, info.y + 20, 300, 100);
    XDestroyWindow(screen.d(), cover);
    XSync(screen.d(), False);
    EXPECT_EQ(compare_window(screen, 24, "after_cover"), "") << "the exposed part is presented again";
}

TEST_F(X11, ListModesGivesTheScreenSizeForItsDepth) {
    ASSERT_TRUE(screen.open());
    GfxContext* ctx = gfx_context();
    std::vector<int32_t> modes = ctx->driver->list_modes(32);
    ASSERT_FALSE(modes.empty());
    EXPECT_NE(std::find(modes.begin(), modes.end(), 800 * 65536 + 600), modes.end());
    EXPECT_TRUE(ctx->driver->list_modes(8).empty());
}

TEST_F(X11, VxgfxSelectsTheDriverByNameInAnyCase) {
    ASSERT_TRUE(screen.server.start());
    screen.server.export_display();
    vx::set_display_drivers({});
    for (const char* name : {"x11", "X11", "xN"}) {
        setenv("VXGFX", name, 1);
        ASSERT_EQ(screen_res(64, 32, 32, 0, 4, 0), 0) << name;
        ScreenInfo si;
        screen_info(&si);
        EXPECT_EQ(si.driver, "X11") << name << " (an unknown name falls back to the whole list)";
        screen_close();
    }
    setenv("VXGFX", "nULL", 1);
    ASSERT_EQ(screen_res(64, 32, 32, 0, 4, 0), 0);
    ScreenInfo si;
    screen_info(&si);
    EXPECT_EQ(si.driver, "Null");
    screen_close();
    unsetenv("VXGFX");
}

TEST_F(X11, WithoutADisplayTheTrialFailsCleanly) {
    vx::set_display_drivers({});
    unsetenv("VXGFX");
    for (const char* display : {"", ":9473"}) {
        if (*display) setenv("DISPLAY", display, 1);
        else unsetenv("DISPLAY");
        EXPECT_EQ(screen_res(720, 190, 32, 0, 4, 0), 1) << "DISPLAY=" << display;
        EXPECT_EQ(gfx_context(), nullptr);
        EXPECT_EQ(key_read(), "");
        EXPECT_FALSE(display_lost());
    }
}

TEST_F(X11, KillingTheServerMarksTheDisplayLostWithoutAHang) {
    ASSERT_TRUE(screen.open());
    vxtest::with_screen_lock([](GfxContext*) { key_queue_clear(); });
    screen.client->close();  // the test's own connection would end the test with the server
    screen.server.kill();
    ASSERT_TRUE(vxtest::wait_until([] { return display_lost(); }));
    EXPECT_EQ(key_read(), std::string("\xFF\x6B")) << "a program polling the key buffer ends its loop";
    int x = 0, y = 0;
    EXPECT_EQ(mouse_get(&x, &y, nullptr, nullptr, nullptr), 1);
    screen_title("after the server");  // must not touch the dead connection
    mouse_set(5, 5, 0, 1);
    screen_close();  // joins the stopped thread; returns
    EXPECT_EQ(gfx_context(), nullptr);
}

TEST_F(X11, AProgramEndsWhenItsServerIsKilled) {
    vxtest::ChildProcess program;
    ASSERT_TRUE(start_probe(program));
    {
        vxtest::Connection client(screen.server.display_name());
        Window w = vxtest::find_window_by_pid(client.get(), program.pid());
        ASSERT_NE(w, 0u);
        vxtest::WindowInfo info = vxtest::window_info(client.get(), w);
        EXPECT_EQ(info.res_class, "vxgfxclass_vx_window_probe");
        EXPECT_EQ(info.width, 720);
        EXPECT_EQ(info.height, 190);
        vxtest::Capture shot;
        ASSERT_TRUE(vxtest::wait_until([&] {
            shot = vxtest::capture(client.get(), w);
            return shot.width == 720 && (shot.at(60, 95) & 0xFFFFFF) == 0xFF0000 && (shot.at(700, 95) & 0xFFFFFF) == 0x102030;
        })) << "the program's colour bands are shown";
    }
    screen.server.kill();
    EXPECT_EQ(program.wait_for_line("lost"), "lost");
    EXPECT_EQ(program.wait_exit(), 3) << "exits with its error code instead of hanging";
}

TEST_F(X11, AProgramEndsOnTheCloseRequest) {
    vxtest::ChildProcess program;
    ASSERT_TRUE(start_probe(program));
    vxtest::Connection client(screen.server.display_name());
    Window w = vxtest::find_window_by_pid(client.get(), program.pid());
    ASSERT_NE(w, 0u);
    vxtest::pointer_move(client.get(), w, 300, 120);
    EXPECT_EQ(program.wait_for_line("mouse 300 120"), "mouse 300 120 0");
    vxtest::button(client.get(), 1, true);
    EXPECT_EQ(program.wait_for_line("mouse 300 120"), "mouse 300 120 1") << "a real press reaches the program";
    std::this_thread::sleep_for(60ms);
    vxtest::button(client.get(), 1, false);
    EXPECT_EQ(program.wait_for_line("mouse 300 120"), "mouse 300 120 0");
    vxtest::send_delete_window(client.get(), w);
    EXPECT_EQ(program.wait_for_line("key"), "key FF 6B");
    EXPECT_EQ(program.wait_exit(), 0);
}

// ---- Both threads at once ----------------------------------------------------------------------
// The program's thread draws and queries input while the update thread presents and runs the
// window procedure on real input. Under ThreadSanitizer any shared access that is not ordered
// by the screen lock or an atomic is reported; in every build the window must end up showing
// the framebuffer.

namespace {

// Real input from a client of its own, as a user gives it, until `stop` is set.
void user_input(const std::string& display_name, Window w, const std::atomic<bool>& stop) {
    vxtest::Connection user(display_name);
    Display* d = user.get();
    if (!d) return;
    const unsigned letter = vxtest::keycode_of(d, XK_a), alt = vxtest::keycode_of(d, XK_Alt_L),
                   enter = vxtest::keycode_of(d, XK_Return);
    for (int step = 0; !stop.load(); ++step) {
        vxtest::pointer_move(d, w, 10 + (step * 37) % 700, 5 + (step * 13) % 180);
        switch (step % 6) {
            case 0: vxtest::click(d, 1, 2ms); break;
            case 1: vxtest::click(d, 4 + step % 2, 0ms); break;  // wheel
            case 2: vxtest::tap_key(d, letter, 2ms); break;
            case 3:
                vxtest::key(d, alt, true);  // Alt+Enter: the full-screen switch on the update thread
                vxtest::tap_key(d, enter, 1ms);
                vxtest::key(d, alt, false);
                break;
            default: break;
        }
    }
}

}  // namespace

TEST_F(X11, ProgramThreadDrawsAndReadsInputWhileTheWindowProcedureRuns) {
    ASSERT_TRUE(screen.open(24, 720, 190, 32, 0));  // flags 0: full-screen switching allowed
    vxtest::set_focus(screen.d(), screen.window);
    std::atomic<bool> stop{false};
    std::thread user(user_input, screen.server.display_name(), screen.window, std::cref(stop));
    std::mt19937 rng(7);
    const DisplayDriver* driver = gfx_context()->driver;
    int reads = 0;
    int kinds[16] = {};
    for (int pass = 0; pass < 400; ++pass) {
        for (const InputEvent& e : vxtest::take_events()) ++kinds[e.kind & 15];
        float x = static_cast<float>(rng() % 700), y = static_cast<float>(rng() % 180);
        box_draw(x, y, x + 20, y + 10, 0xFF000000u | (rng() & 0xFFFFFF), pass % 2 == 0, 0xFFFF);
        int mx = 0, my = 0, wheel = 0, buttons = 0, clip = 0;
        if (mouse_get(&mx, &my, &wheel, &buttons, &clip) == 0) ++reads;
        key_read();
        key_down(1);
        key_ready();
        if (pass % 50 == 0) screen_title(pass % 100 == 0 ? "vxpiano" : "vxpiano \x84");
        if (pass % 40 == 10) mouse_set(-1, -1, pass % 80 == 10 ? 0 : 1, -1);  // hide and show the pointer
        if (pass % 100 == 30) driver->window_position(INT_MIN, INT_MIN);
        std::this_thread::sleep_for(1ms);
    }
    stop = true;
    user.join();
    EXPECT_GT(reads, 0) << "the pointer was seen inside the window";
    EXPECT_GT(kinds[5], 0) << "button presses reached the window procedure";
    EXPECT_GT(kinds[8], 0) << "wheel steps reached the window procedure";
    EXPECT_GT(kinds[1], 0) << "key presses reached the window procedure";
    EXPECT_EQ(compare_window(screen, 24, "both_threads"), "");
}

TEST_F(X11, PaletteChangesWhileTheUpdateThreadUploadsThem) {
    ASSERT_TRUE(screen.open(8, 320, 200, 8));
    std::atomic<bool> stop{false};
    std::thread user(user_input, screen.server.display_name(), screen.window, std::cref(stop));
    draw_pattern(3);
    for (int pass = 0; pass < 300; ++pass) {
        const int index = pass % 256;
        if (pass % 3 == 0) palette_set(index, static_cast<uint32_t>(pass & 0xFF), 255 - (pass & 0xFF), 128);
        else if (pass % 3 == 1) palette_entry_set(index, static_cast<uint32_t>(pass % 64) * 0x010203u);
        else palette_push();
        std::this_thread::sleep_for(500us);
    }
    stop = true;
    user.join();
    EXPECT_EQ(compare_window(screen, 8, "palette_threads"), "");
    for (int index : {0, 100, 255}) {
        const uint32_t entry = gfx_context()->device_palette[index];
        XColor colour{};
        EXPECT_TRUE(vxtest::wait_until([&] {
            XWindowAttributes a;
            XGetWindowAttributes(screen.d(), screen.window, &a);
            colour = XColor{};
            colour.pixel = static_cast<unsigned long>(index);
            XQueryColor(screen.d(), a.colormap, &colour);
            return colour.red >> 8 == (entry & 0xFF) && colour.green >> 8 == ((entry >> 8) & 0xFF) &&
                   colour.blue >> 8 == (entry >> 16);
        })) << "entry " << index << " reaches the colormap: " << std::hex << entry;
    }
}
