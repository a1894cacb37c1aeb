// The window layer under a private Xvfb with real input (XTest) and window-manager messages
// (XSendEvent): pointer and buttons, wheel, enter and leave, keys and typed characters, the
// close request, focus changes, pointer warp, confinement, title and position.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <thread>

#include "display/input.h"
#include "display/window.h"
#include "gfx/context.h"
#include "tests/support/fake_driver.h"
#include "tests/support/x11_screen.h"

using namespace vx;
using namespace std::chrono_literals;

namespace {

struct Mouse {
    int result = 0, x = 0, y = 0, wheel = 0, buttons = 0, clip = 0;
};
Mouse mouse() {
    Mouse m;
    m.result = mouse_get(&m.x, &m.y, &m.wheel, &m.buttons, &m.clip);
    return m;
}

bool has_event(const std::vector<InputEvent>& events, int kind, int word0 = -1) {
    for (const InputEvent& e : events)
        if (e.kind == kind && (word0 < 0 || e.word[0] == word0)) return true;
    return false;
}

struct Window_ : ::testing::Test {
    vxtest::LibraryScreen screen;
    Display* d = nullptr;
    ::Window w = 0;

    void SetUp() override {
        ASSERT_TRUE(screen.open());
        d = screen.d();
        w = screen.window;
        vxtest::set_focus(d, w);
        vxtest::pointer_move(d, w, 100, 50);
        ASSERT_TRUE(vxtest::wait_until([] {
            Mouse m = mouse();
            return m.result == 0 && m.x == 100 && m.y == 50;
        })) << "pointer inside, window active";
        vxtest::with_screen_lock([](GfxContext*) { key_queue_clear(); });
        key_hit_take();
        vxtest::take_events();
    }
    void TearDown() override {
        screen.close();
        vxtest::restore_drivers();
    }

    // Presses and releases a key by keysym with a person's hold time; modifiers held around it.
    void type(KeySym sym, std::initializer_list<KeySym> modifiers = {}) {
        for (KeySym m : modifiers) vxtest::key(d, vxtest::keycode_of(d, m), true);
        vxtest::tap_key(d, vxtest::keycode_of(d, sym));
        for (KeySym m : modifiers) vxtest::key(d, vxtest::keycode_of(d, m), false);
    }
    std::string next_key() {
        std::string k;
        vxtest::wait_until([&] { return !(k = key_read()).empty(); });
        return k;
    }
};

}  // namespace

TEST_F(Window_, ButtonsReachMouseGetWhileHeld) {
    const std::pair<unsigned, int> buttons[] = {{1, 1}, {3, 2}, {2, 4}, {8, 8}, {9, 16}};
    for (auto [x_button, bit] : buttons) {
        vxtest::pointer_move(d, w, 200, 120);
        vxtest::button(d, x_button, true);
        ASSERT_TRUE(vxtest::wait_until([&] { return mouse().buttons == bit; })) << "X button " << x_button;
        Mouse m = mouse();
        EXPECT_EQ(m.x, 200);
        EXPECT_EQ(m.y, 120);
        std::this_thread::sleep_for(60ms);
        vxtest::button(d, x_button, false);
        ASSERT_TRUE(vxtest::wait_until([&] { return mouse().buttons == 0; })) << "X button " << x_button;
        auto events = vxtest::take_events();
        EXPECT_TRUE(has_event(events, 5, bit)) << "press event, X button " << x_button;
        EXPECT_TRUE(has_event(events, 6, bit)) << "release event, X button " << x_button;
    }
}

TEST_F(Window_, APressMovedOutsideReadsAsNoMouse) {
    vxtest::pointer_move(d, w, 10, 10);
    vxtest::button(d, 1, true);
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().buttons == 1; }));
    vxtest::pointer_move(d, w, 730, 200);  // the implicit grab keeps reporting to the window
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().result == 1; }));
    Mouse m = mouse();
    EXPECT_EQ(m.x, -1);
    EXPECT_EQ(m.y, -1);
    EXPECT_EQ(m.buttons, -1) << "even while the button is held";
    EXPECT_EQ(m.clip, -1);
    vxtest::pointer_move(d, w, 30, 40);
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().result == 0; }));
    EXPECT_EQ(mouse().buttons, 1);
    vxtest::button(d, 1, false);
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().buttons == 0; }));
    auto events = vxtest::take_events();
    EXPECT_TRUE(has_event(events, 10)) << "pointer exit when leaving";
    EXPECT_TRUE(has_event(events, 9)) << "pointer enter when coming back";
}

TEST_F(Window_, WheelStepsOncePerButtonEvent) {
    int start = mouse().wheel;
    for (unsigned b : {4u, 4u, 5u, 4u}) vxtest::click(d, b, 20ms);
    ASSERT_TRUE(vxtest::wait_until([&] { return mouse().wheel == start + 2; }));
    for (unsigned b : {7u, 7u, 6u}) vxtest::click(d, b, 20ms);
    ASSERT_TRUE(vxtest::wait_until([] { return has_event(vxtest::take_events(), 14, 1); }));
    int hwheel = 0;
    vxtest::with_screen_lock([&](GfxContext*) { hwheel = pointer_state.hwheel; });
    EXPECT_EQ(hwheel, 1);
    EXPECT_EQ(mouse().buttons, 0) << "wheel steps are no buttons";
}

TEST_F(Window_, MovesAndEnterAreReportedInTheEventRing) {
    vxtest::pointer_move(d, w, 900, 500);  // off the window
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().result == 1; }));
    vxtest::take_events();
    vxtest::pointer_move(d, w, 50, 60);
    vxtest::pointer_move(d, w, 53, 64);
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().x == 53; }));
    auto events = vxtest::take_events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().kind, 9) << "coming in is reported as an enter first";
    bool move_seen = false;
    for (const InputEvent& e : events)
        if (e.kind == 4 && e.word[0] == 53 && e.word[1] == 64 && e.word[2] == 3 && e.word[3] == 4) move_seen = true;
    EXPECT_TRUE(move_seen) << "a move with client position and screen motion";
}

TEST_F(Window_, HeldKeysShowInKeyState) {
    vxtest::key(d, vxtest::keycode_of(d, XK_Escape), true);
    ASSERT_TRUE(vxtest::wait_until([] { return key_down(1) == -1; }));
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(key_down(1), -1) << "still held after the keyboard is sampled";
    vxtest::key(d, vxtest::keycode_of(d, XK_Escape), false);
    ASSERT_TRUE(vxtest::wait_until([] { return key_down(1) == 0; }));
    EXPECT_EQ(next_key(), "\x1B") << "Escape types character 27";

    vxtest::key(d, vxtest::keycode_of(d, XK_Shift_R), true);
    ASSERT_TRUE(vxtest::wait_until([] { return key_down(42) == -1 && key_down(54) == -1; })) << "either Shift marks both";
    vxtest::key(d, vxtest::keycode_of(d, XK_Shift_R), false);
    ASSERT_TRUE(vxtest::wait_until([] { return key_down(42) == 0 && key_down(54) == 0; }));
    EXPECT_EQ(key_read(), "") << "Shift alone types nothing";
}

TEST_F(Window_, TypedKeysReachTheKeyQueue) {
    struct Typed {
        const char* name;
        KeySym sym;
        std::initializer_list<KeySym> modifiers;
        std::string expected;
    };
    const Typed cases[] = {
        {"a", XK_a, {}, "a"},
        {"Shift+a", XK_a, {XK_Shift_L}, "A"},
        {"Ctrl+a", XK_a, {XK_Control_L}, "\x01"},
        {"Alt+a", XK_a, {XK_Alt_L}, "\xFF\x1E"},
        {"F1", XK_F1, {}, "\xFF\x3B"},
        {"Shift+F1", XK_F1, {XK_Shift_L}, "\xFF\x54"},
        {"Alt+F4 as the close code", XK_F4, {XK_Alt_L}, "\xFF\x6B"},
        {"gray Up", XK_Up, {}, "\xFF\x48"},
        {"Ctrl+gray Up", XK_Up, {XK_Control_R}, "\xFF\x8D"},
        {"keypad 8 with Num Lock off", XK_KP_Up, {}, "\xFF\x48"},
        {"keypad minus", XK_KP_Subtract, {}, "-"},
        {"Enter", XK_Return, {}, "\r"},
        {"Delete", XK_Delete, {}, "\xFF\x53"},
    };
    for (const Typed& t : cases) {
        type(t.sym, t.modifiers);
        EXPECT_EQ(next_key(), t.expected) << t.name;
        EXPECT_EQ(key_read(), "") << t.name << " queues one code";
    }
}

TEST_F(Window_, UmlautsAreQueuedInCodePage437) {
    const std::pair<KeySym, const char*> letters[] = {{XK_udiaeresis, "\x81"}, {XK_adiaeresis, "\x84"}, {XK_ssharp, "\xE1"}};
    for (auto [sym, expected] : letters) {
        unsigned keycode = vxtest::map_spare_keycode(d, sym);
        ASSERT_NE(keycode, 0u);
        // No wait: the server delivers the mapping change to the library before the key.
        vxtest::tap_key(d, keycode);
        EXPECT_EQ(next_key(), expected) << XKeysymToString(sym);
    }
    unsigned euro = vxtest::map_spare_keycode(d, XK_EuroSign);
    ASSERT_NE(euro, 0u);
    vxtest::tap_key(d, euro);
    type(XK_b);
    EXPECT_EQ(next_key(), "b") << "a character code page 437 lacks queues nothing";
}

TEST_F(Window_, KeyEventsCarryScancodeCharacterAndRepeat) {
    unsigned a = vxtest::keycode_of(d, XK_a);
    vxtest::key(d, a, true);
    ASSERT_TRUE(vxtest::wait_until([] { return key_down(30) == -1; }));
    // Auto-repeat: another press of the held key (the server's own repeat is not faked by XTest).
    XEvent repeat{};
    repeat.xkey.type = KeyPress;
    repeat.xkey.display = d;
    repeat.xkey.window = w;
    repeat.xkey.root = DefaultRootWindow(d);
    repeat.xkey.keycode = a;
    repeat.xkey.same_screen = True;
    repeat.xkey.time = CurrentTime;
    XSendEvent(d, w, True, KeyPressMask, &repeat);
    XFlush(d);
    std::this_thread::sleep_for(30ms);
    vxtest::key(d, a, false);
    ASSERT_TRUE(vxtest::wait_until([] { return key_ready() == 1; }));
    std::vector<InputEvent> events;
    ASSERT_TRUE(vxtest::wait_until([&] {
        for (const InputEvent& e : vxtest::take_events()) events.push_back(e);
        return has_event(events, 2);
    }));
    std::vector<int> kinds;
    for (const InputEvent& e : events)
        if (e.kind >= 1 && e.kind <= 3) {
            kinds.push_back(e.kind);
            EXPECT_EQ(e.word[0], 30) << "scancode of A";
            EXPECT_EQ(e.word[1], 'a');
        }
    EXPECT_EQ(kinds, (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(key_read(), "a");
    EXPECT_EQ(key_read(), "a") << "the repeat types again";
}

TEST_F(Window_, CloseRequestQueuesTheCloseCodeAndKeepsTheWindow) {
    vxtest::send_delete_window(d, w);
    EXPECT_EQ(next_key(), std::string("\xFF\x6B"));
    EXPECT_TRUE(has_event(vxtest::take_events(), 13));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(vxtest::window_info(d, w).viewable) << "the program decides";
    EXPECT_EQ(mouse().result, 0);
}

TEST_F(Window_, FocusLossClearsInputAndTheWindowKeepsWorking) {
    unsigned shift = vxtest::keycode_of(d, XK_Shift_L);
    vxtest::key(d, shift, true);
    ASSERT_TRUE(vxtest::wait_until([] { return key_down(42) == -1; }));
    vxtest::button(d, 1, true);
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().buttons == 1; }));

    ::Window other = vxtest::make_other_window(d, 0, 0, 20, 20);
    vxtest::set_focus(d, other);
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().result == 1; })) << "an inactive window reads as no mouse";
    EXPECT_EQ(key_down(42), 0) << "key states cleared at deactivation";
    EXPECT_TRUE(has_event(vxtest::take_events(), 12));
    int buttons = -1;
    vxtest::with_screen_lock([&](GfxContext*) { buttons = pointer_state.buttons; });
    EXPECT_EQ(buttons, 0);

    vxtest::button(d, 1, false);
    vxtest::set_focus(d, w);
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().result == 0; }));
    EXPECT_TRUE(has_event(vxtest::take_events(), 11));
    ASSERT_TRUE(vxtest::wait_until([] { return key_down(42) == -1; })) << "the held Shift is sampled again";
    vxtest::key(d, shift, false);
    type(XK_z);
    EXPECT_EQ(next_key(), "z");
    vxtest::pointer_move(d, w, 400, 150);
    vxtest::button(d, 1, true);
    EXPECT_TRUE(vxtest::wait_until([] { return mouse().buttons == 1 && mouse().x == 400; }));
    vxtest::button(d, 1, false);
}

TEST_F(Window_, MouseSetWarpsHidesAndConfines) {
    EXPECT_EQ(mouse_set(10, 20, -1, -1), 0);
    ASSERT_TRUE(vxtest::wait_until([&] {
        ::Window root, child;
        int rx, ry, wx = -1, wy = -1;
        unsigned mask;
        XQueryPointer(d, w, &root, &child, &rx, &ry, &wx, &wy, &mask);
        return wx == 10 && wy == 20;
    })) << "the pointer moves to the client position";
    EXPECT_EQ(mouse().x, 10);
    mouse_set(-1, 0, 0, -1);
    int visible = -1;
    vxtest::with_screen_lock([&](GfxContext*) { visible = pointer_state.cursor_visible; });
    EXPECT_EQ(visible, 0);
    mouse_set(-1, 0, 1, -1);
    vxtest::with_screen_lock([&](GfxContext*) { visible = pointer_state.cursor_visible; });
    EXPECT_EQ(visible, 1);

    mouse_set(-1, 0, -1, 1);
    EXPECT_EQ(mouse().clip, 1);
    ::Window root = DefaultRootWindow(d);
    int status = -1;
    ASSERT_TRUE(vxtest::wait_until([&] {
        status = XGrabPointer(d, root, False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
        if (status == GrabSuccess) XUngrabPointer(d, CurrentTime);
        return status == AlreadyGrabbed;
    })) << "the library holds the pointer confined (grab status " << status << ")";
    vxtest::pointer_move(d, w, 790, 590);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(mouse().result, 0) << "the confined pointer stays inside";
    mouse_set(-1, 0, -1, 0);
    EXPECT_EQ(mouse().clip, 0);
    ASSERT_TRUE(vxtest::wait_until([&] {
        status = XGrabPointer(d, root, False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
        if (status == GrabSuccess) XUngrabPointer(d, CurrentTime);
        return status == GrabSuccess;
    })) << "released";
}

TEST_F(Window_, TitleReachesTheWindowEvenWhileTheScreenIsLocked) {
    screen_title("Klavier \x81");  // code page 437 "ü"
    EXPECT_TRUE(vxtest::wait_until([&] { return vxtest::window_info(d, w).net_wm_name == "Klavier \xC3\xBC"; }));
    GfxContext* ctx = gfx_context();
    bracket_begin(ctx);
    screen_title("locked");
    bracket_end(ctx);
    EXPECT_TRUE(vxtest::wait_until([&] { return vxtest::window_info(d, w).net_wm_name == "locked"; }));
    EXPECT_EQ(vxtest::window_info(d, w).res_class, "vxgfxclass_test_window") << "the class keeps the title it was opened with";
    EXPECT_EQ(mouse().result, 0) << "and the update thread still runs";
}

TEST_F(Window_, PositionMovesTheWindowAndReportsThePreviousOne) {
    vxtest::WindowInfo before = vxtest::window_info(d, w);
    GfxContext* ctx = gfx_context();
    int previous = ctx->driver->window_position(static_cast<int>(0x80000000u), 33);
    EXPECT_EQ(previous, (before.x & 0xFFFF) + before.y * 65536);
    EXPECT_TRUE(vxtest::wait_until([&] {
        vxtest::WindowInfo now = vxtest::window_info(d, w);
        return now.x == before.x && now.y == 33 && now.width == 720;
    }));
}

TEST_F(Window_, AltEnterDoesNotSwitchWithoutSwitchingAllowed) {
    type(XK_Return, {XK_Alt_L});
    std::this_thread::sleep_for(50ms);
    vxtest::WindowInfo info = vxtest::window_info(d, w);
    EXPECT_EQ(info.width, 720);
    EXPECT_EQ(info.height, 190);
    EXPECT_EQ(key_read(), "") << "Alt+Enter is the switch request, not a key";
    EXPECT_EQ(mouse().result, 0);
}

TEST_F(Window_, ASecondQuickPressIsADoubleClick) {
    vxtest::pointer_move(d, w, 300, 100);
    vxtest::click(d, 1, 50ms);
    std::this_thread::sleep_for(50ms);
    vxtest::click(d, 1, 50ms);
    ASSERT_TRUE(vxtest::wait_until([] { return mouse().buttons == 0; }));
    std::vector<int> kinds;
    vxtest::wait_until([&] {
        for (const InputEvent& e : vxtest::take_events())
            if (e.kind >= 5 && e.kind <= 7) kinds.push_back(e.kind);
        return kinds.size() >= 4;
    });
    EXPECT_EQ(kinds, (std::vector<int>{5, 6, 7, 6}));
}
