// The built program on a real Wayland desktop (sway nested in a private Xvfb, no XWayland):
// its window and pixels at output scales 1 and 2 and across a scale change, real clicks
// playing the keys under the pointer, the ways it ends (Escape, the compositor's close, the
// compositor gone), the MIDI failure box, the choice between Wayland and X11, and its own
// frame where the compositor (weston) draws none.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <thread>

#include "display/window.h"
#include "gfx/context.h"
#include "tests/support/compositor.h"
#include "tests/support/program.h"
#include "tests/support/x11_screen.h"

using namespace std::chrono_literals;
using vxtest::note_off;
using vxtest::note_on;

namespace {

// The lowest octave's C below the black keys and its C# (framebuffer pixels), and their notes.
constexpr int kC[2] = {20, 150}, kCSharp[2] = {30, 110};
constexpr int kNoteC = 36, kNoteCSharp = 37;

struct WaylandProgram : ::testing::Test {
    vxtest::Compositor desktop;
    vxtest::TempDir directory{"vxwayland_run"};
    vxtest::Program program;
    vxtest::FifoReader midi;
    vxtest::DesktopRect rect;
    std::string title;
    vxtest::Frame start_frame;

    // The desktop at `scale`, the program on it with its MIDI on a FIFO (and an X server
    // reachable too, which it must leave alone), its window found and the opening Program
    // Change read.
    void start(int scale) {
        ASSERT_EQ(desktop.start(scale), "");
        ASSERT_TRUE(vxtest::copy_file(vxtest::shipped_picture(), directory.file("piano_k.bmp")));
        start_frame = vxtest::expected_frame(directory.path());
        ASSERT_EQ(start_frame.width, 720);
        ASSERT_TRUE(midi.open(directory.file("midi.fifo")));
        std::vector<std::string> env = desktop.client_environment();
        env.push_back("DISPLAY=" + desktop.x_display());
        env.push_back("VXMIDI=raw:" + directory.file("midi.fifo"));
        ASSERT_TRUE(program.start(directory.path(), env));
        ASSERT_TRUE(desktop.wait_window("vxpiano", rect, &title)) << "no Wayland window; stderr: " << program.error_text();
        ASSERT_TRUE(midi.wait_count(1)) << "the opening Program Change";
    }
    // Screenshots until the window shows the frame at the output's scale; "" then, else the
    // last difference (the images written beside the build).
    std::string shows(const vxtest::Frame& frame, const std::string& label) {
        const vxtest::Frame want = vxtest::zoomed(frame, desktop.scale());
        std::string problem = "no screenshot";
        vxtest::Capture shot;
        vxtest::wait_until(
            [&] {
                if (!desktop.screenshot(rect, shot)) return false;
                problem = vxtest::frame_difference(shot, want, 24);
                return problem.empty();
            },
            5000ms);
        if (!problem.empty() && shot.width) vxtest::write_frame_images(label, shot, want, 24);
        return problem;
    }
    void expect_message(size_t i, const vxtest::MidiMessage& want) {
        ASSERT_TRUE(midi.wait_count(i + 1)) << "message " << i << " (" << vxtest::describe(want) << ") never came; got "
                                           << vxtest::describe(midi.messages());
        EXPECT_EQ(midi.messages()[i], want) << "message " << i << " of " << vxtest::describe(midi.messages());
    }
};

}  // namespace

// With both servers reachable the window is a Wayland toplevel of 720 x 190 desktop pixels,
// titled after the executable, pixel for pixel the program's frame; clicks play the key under
// the pointer, a tap as short as a touchpad's too; the output going to scale 2 redraws it in
// whole 2 x 2 blocks (the compositor's enlargement of the old picture would differ); Escape
// ends it with 0.
TEST_F(WaylandProgram, AtScaleOneShowsItsFramePlaysClicksFollowsAScaleChangeAndEndsOnEscape) {
    start(1);
    EXPECT_EQ(rect.width, 720);
    EXPECT_EQ(rect.height, 190);
    EXPECT_EQ(title, "vxpiano");
    EXPECT_EQ(shows(start_frame, "wayland_start_1"), "");

    desktop.click(rect.x + kC[0], rect.y + kC[1]);
    expect_message(1, note_on(0, kNoteC, 127));
    expect_message(2, note_off(0, kNoteC, 127));
    desktop.click(rect.x + kCSharp[0], rect.y + kCSharp[1], 0ms);
    expect_message(3, note_on(0, kNoteCSharp, 127));
    expect_message(4, note_off(0, kNoteCSharp, 127));

    ASSERT_TRUE(desktop.set_scale(2));
    ASSERT_TRUE(desktop.wait_window("vxpiano", rect));
    EXPECT_EQ(rect.width, 720);
    EXPECT_EQ(shows(start_frame, "wayland_rescaled_2"), "");

    desktop.tap(XK_Escape, 100ms);
    EXPECT_EQ(program.wait_exit(5000ms), 0) << program.error_text();
}

// On an output of scale 2 the window keeps its size in desktop units and shows every pixel as
// a sharp 2 x 2 block; the pointer's position maps back to the keys; the compositor's close
// (a window manager's close button) ends it with 0.
TEST_F(WaylandProgram, AtScaleTwoShowsItsFrameDoubledAndEndsOnTheCompositorsClose) {
    start(2);
    EXPECT_EQ(rect.width, 720);
    EXPECT_EQ(rect.height, 190);
    EXPECT_EQ(shows(start_frame, "wayland_start_2"), "");

    desktop.click(rect.x + kCSharp[0], rect.y + kCSharp[1]);
    expect_message(1, note_on(0, kNoteCSharp, 127));
    expect_message(2, note_off(0, kNoteCSharp, 127));


    ASSERT_TRUE(desktop.command("[app_id=vxpiano] kill"));
    EXPECT_EQ(program.wait_exit(5000ms), 0) << program.error_text();
}

// The compositor going away ends the program as a lost X server does: the message and 1.
TEST_F(WaylandProgram, ALostCompositorEndsItAsALostXServerDoes) {
    start(1);
    desktop.kill();
    EXPECT_EQ(program.wait_exit(5000ms), 1);
    EXPECT_NE(program.error_text().find("the connection to the display was lost"), std::string::npos) << program.error_text();
}

// A Wayland display that cannot be opened leaves the X server: the window opens there.
TEST_F(WaylandProgram, AWaylandDisplayThatCannotBeOpenedFallsBackToX11) {
    ASSERT_EQ(desktop.start(1), "");
    ASSERT_TRUE(vxtest::copy_file(vxtest::shipped_picture(), directory.file("piano_k.bmp")));
    std::vector<std::string> env = desktop.client_environment();
    env.back() = "WAYLAND_DISPLAY=wayland-absent";
    env.push_back("DISPLAY=" + desktop.x_display());
    env.push_back("VXMIDI=smf:" + directory.file("out.mid"));
    ASSERT_TRUE(program.start(directory.path(), env));
    Window window = vxtest::wait_for_program_window(desktop.x(), program.pid(), 10000ms);
    ASSERT_NE(window, 0u) << program.error_text();
    EXPECT_EQ(vxtest::window_info(desktop.x(), window).width, 720);
    program.signal(SIGTERM);
    EXPECT_GE(program.wait_exit(5000ms), 0);
}

// A MIDI output that cannot open is reported on a desktop without X too: the box with the
// message's title, answered by Return, the compositor's close or Alt+F4 (the close code from
// the keyboard, as on X11), then 0.
TEST_F(WaylandProgram, TheMidiFailureBoxAppearsWithoutAnXServer) {
    ASSERT_EQ(desktop.start(1), "");
    for (const std::string answer : {"Return", "close", "Alt+F4"}) {
        SCOPED_TRACE(answer);
        std::vector<std::string> env = desktop.client_environment();
        env.push_back("VXMIDI=nonsense");
        ASSERT_TRUE(program.start(directory.path(), env));
        ASSERT_TRUE(desktop.wait_window("vxpiano", rect, &title)) << program.error_text();
        EXPECT_EQ(title, "Cannot open MIDI device.");
        EXPECT_TRUE(program.running()) << "the box waits for its answer";
        desktop.pointer_to(rect.x + rect.width / 2, rect.y + 10);
        if (answer == "Return") {
            desktop.tap(XK_Return);
        } else if (answer == "close") {
            ASSERT_TRUE(desktop.command("[app_id=vxpiano] kill"));
        } else {
            const unsigned alt = vxtest::keycode_of(desktop.x(), XK_Alt_L);
            vxtest::key(desktop.x(), alt, true);
            desktop.tap(XK_F4);
            vxtest::key(desktop.x(), alt, false);
        }
        EXPECT_EQ(program.wait_exit(5000ms), 0) << program.error_text();
    }
}

// The library's own window in this process: a change of the output's scale is drawn at the new
// scale (the compositor's enlargement of the old buffer would look the same at scale 2, so the
// zoom is read where the driver keeps it).
TEST(WaylandScreen, FollowsTheOutputsScale) {
    vxtest::Compositor desktop;
    ASSERT_EQ(desktop.start(1), "");
    for (const std::string& entry : desktop.client_environment()) {
        const size_t eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    setenv("VXGFX", "WAYLAND", 1);  // any letter case
    ASSERT_EQ(vx::screen_res(720, 190, 32, 0, 4, 0), 0);
    vx::ScreenInfo info;
    vx::screen_info(&info);
    EXPECT_EQ(info.driver, "Wayland");
    auto zoom_is = [](int want) {
        return vxtest::wait_until([&] {
            int zoom = 0;
            vxtest::with_screen_lock([&](vx::GfxContext*) { zoom = vx::window_state.zoom; });
            return zoom == want;
        });
    };
    EXPECT_TRUE(zoom_is(1));
    for (int scale : {2, 1}) {
        ASSERT_TRUE(desktop.set_scale(scale));
        EXPECT_TRUE(zoom_is(scale)) << "scale " << scale;
        EXPECT_TRUE(vxtest::wait_presented()) << "scale " << scale;
    }
    vx::screen_close();
    for (const char* name : {"VXGFX", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) unsetenv(name);
}

// Where the compositor draws no frame (weston offers no xdg-decoration, as GNOME does not), the
// window draws a bar of its own above the unchanged picture; a key held and dragged up into the
// bar is let go there (the pointer back over the keys plays nothing); its close button ends the
// program with 0 on the first click.
TEST(WaylandFrame, WithoutServerSideDecorationsTheWindowsOwnCloseButtonEndsIt) {
    vxtest::Compositor desktop;
    ASSERT_EQ(desktop.start_weston(), "");
    vxtest::TempDir directory{"vxwayland_frame"};
    ASSERT_TRUE(vxtest::copy_file(vxtest::shipped_picture(), directory.file("piano_k.bmp")));
    const vxtest::Frame frame = vxtest::expected_frame(directory.path());
    vxtest::FifoReader midi;
    ASSERT_TRUE(midi.open(directory.file("midi.fifo")));
    std::vector<std::string> env = desktop.client_environment();
    env.push_back("VXMIDI=raw:" + directory.file("midi.fifo"));
    vxtest::Program program;
    ASSERT_TRUE(program.start(directory.path(), env));

    // The window's corner: where the bar's colour first runs the picture's whole width.
    Display* d = desktop.x();
    const uint32_t bar = 0x3C3C3C;
    constexpr int bar_rows = 20;
    int left = -1, top = -1;
    vxtest::Capture shot;
    ASSERT_TRUE(vxtest::wait_until(
        [&] {
            shot = vxtest::capture(d, DefaultRootWindow(d));
            for (int y = 0; y + bar_rows + frame.height <= shot.height && left < 0; ++y)
                for (int x = 0, run = 0; x < shot.width; ++x) {
                    run = (shot.at(x, y) & 0xFFFFFF) == bar ? run + 1 : 0;
                    if (run == frame.width) {
                        left = x - frame.width + 1;
                        top = y;
                        break;
                    }
                }
            if (left < 0) return false;
            vxtest::Capture picture = shot;
            picture.width = frame.width;
            picture.height = frame.height;
            picture.pixels.clear();
            for (int y = 0; y < frame.height; ++y)
                for (int x = 0; x < frame.width; ++x) picture.pixels.push_back(shot.at(left + x, top + bar_rows + y));
            const bool same = vxtest::frame_difference(picture, frame, 24).empty();
            if (!same) left = top = -1;
            return same;
        },
        10000ms))
        << "no window with its own bar above the start frame; stderr: " << program.error_text();

    // C held, dragged up onto the bar (which ends its note) and let go there; the pointer then
    // rests on C# and goes on to click C: had the bar kept the release, the button would still
    // be down and C# would sound.
    const Window root = DefaultRootWindow(d);
    ASSERT_TRUE(midi.wait_count(1)) << "the opening Program Change";
    vxtest::pointer_move(d, root, left + kC[0], top + bar_rows + kC[1]);
    vxtest::button(d, 1, true);
    ASSERT_TRUE(midi.wait_count(2)) << vxtest::describe(midi.messages());
    vxtest::pointer_move(d, root, left + frame.width / 2, top + bar_rows / 2);
    ASSERT_TRUE(midi.wait_count(3)) << vxtest::describe(midi.messages());
    vxtest::button(d, 1, false);
    vxtest::pointer_move(d, root, left + kCSharp[0], top + bar_rows + kCSharp[1]);
    std::this_thread::sleep_for(300ms);
    vxtest::pointer_move(d, root, left + kC[0], top + bar_rows + kC[1]);
    vxtest::click(d, 1);
    ASSERT_TRUE(midi.wait_count(5)) << vxtest::describe(midi.messages());
    const std::vector<vxtest::MidiMessage> all = midi.messages(), played(all.begin() + 1, all.begin() + 5);
    const std::vector<vxtest::MidiMessage> want = {note_on(0, kNoteC, 127), note_off(0, kNoteC, 127), note_on(0, kNoteC, 127),
                                                   note_off(0, kNoteC, 127)};
    EXPECT_EQ(played, want) << vxtest::describe(all);

    // One click, as a person makes it: the pointer onto the button, a pause, a press.
    const int x = left + frame.width - bar_rows / 2, y = top + bar_rows / 2;
    vxtest::pointer_move(d, DefaultRootWindow(d), x, y);
    std::this_thread::sleep_for(300ms);
    vxtest::click(d, 1);
    const int status = program.wait_exit(5000ms);
    // The desktop as the click left it shows where the window and the compositor's pointer were.
    if (status != 0) vxtest::write_frame_images("after_click", vxtest::capture(d, DefaultRootWindow(d)), frame, 24);
    EXPECT_EQ(status, 0) << "clicked at (" << x << ", " << y << ") of the desktop; stderr: " << program.error_text();
}
