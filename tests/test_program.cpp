// The built program started as a user starts it, under a private Xvfb: its window and
// properties, its pixels against its own framebuffer at depths 24, 16 and 15, real presses on
// keys and sliders with the MIDI they send and the pictures they show (also at zoom 2), the
// ways it ends, focus changes, typed keys, and a missing display.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <span>
#include <thread>

#include "app/keyboard/icon.h"
#include "tests/support/jack_server.h"
#include "tests/support/program.h"
#include "tests/support/realtime_kit.h"
#include "tests/support/sound_server.h"

using namespace std::chrono_literals;
using vxtest::MidiMessage;
using vxtest::note_off;
using vxtest::note_on;
using vxtest::PointerStep;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Points on the lowest octave: C, D and E below the black keys, C# on its own part.
constexpr int kC[2] = {20, 150}, kD[2] = {40, 150}, kE[2] = {60, 150}, kCSharp[2] = {30, 110};
// The right arrows of the instrument and volume sliders.
constexpr int kInstrumentUp[2] = {149, 12}, kVolumeUp[2] = {149, 32};

// MIDI notes of those keys at the start octave (octave_base 3).
constexpr int kNoteC = 36, kNoteCSharp = 37, kNoteD = 38, kNoteE = 40;

struct ProgramTest : ::testing::Test {
    vxtest::PianoRun run;
    vxtest::FifoReader midi;

    // The program on a FIFO, showing its start frame; the opening Program Change read.
    void start_on_fifo(int depth = 24) {
        std::string fifo = run.directory.file("midi.fifo");
        ASSERT_TRUE(midi.open(fifo));
        ASSERT_EQ(run.start("raw:" + fifo, depth), "");
        ASSERT_TRUE(midi.wait_count(1)) << "the opening Program Change";
        ASSERT_EQ(midi.messages()[0], vxtest::program_change(0, 0));
    }
    // Waits for the message at index i and compares it.
    void expect_message(size_t i, const MidiMessage& want) {
        ASSERT_TRUE(midi.wait_count(i + 1)) << "message " << i << " (" << vxtest::describe(want) << ") never came; got "
                                           << vxtest::describe(midi.messages());
        EXPECT_EQ(midi.messages()[i], want) << "message " << i << " of " << vxtest::describe(midi.messages());
    }
    // A click on the key at `at` is the Note On and Note Off at messages i and i + 1.
    void expect_click_plays(const int at[2], size_t i, int note, int velocity,
                            std::chrono::milliseconds hold = std::chrono::milliseconds(70)) {
        run.click_at(at[0], at[1], hold);
        expect_message(i, note_on(0, note, velocity));
        expect_message(i + 1, note_off(0, note, velocity));
    }
    std::string shows(const vxtest::Frame& frame, const std::string& label) {
        return vxtest::wait_for_frame(run.d(), run.window, frame, run.depth, label);
    }
    vxtest::Frame frame_after(const std::vector<PointerStep>& steps) { return vxtest::expected_frame(run.directory.path(), steps); }
};

// A 32-bit property's items (Xlib hands them over as longs, sign-extended).
std::vector<uint32_t> window_property(Display* d, Window w, const char* name, Atom type) {
    std::vector<uint32_t> values;
    long offset = 0;
    for (;;) {
        Atom actual;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d, w, XInternAtom(d, name, False), offset, 65536, False, type, &actual, &format, &items, &after, &data) !=
                Success ||
            !data)
            break;
        const long* longs = reinterpret_cast<const long*>(data);
        for (unsigned long i = 0; i < items; ++i) values.push_back(static_cast<uint32_t>(longs[i]));
        XFree(data);
        offset += static_cast<long>(items);
        if (after == 0 || items == 0) break;
    }
    return values;
}

}  // namespace

TEST_F(ProgramTest, TheWindowAppearsWithItsTitleClassSizeAndIcon) {
    ASSERT_EQ(run.start("smf:" + run.directory.file("out.mid")), "");
    vxtest::WindowInfo info = vxtest::window_info(run.d(), run.window);
    EXPECT_EQ(info.width, 720);
    EXPECT_EQ(info.height, 190);
    EXPECT_TRUE(info.viewable);
    EXPECT_EQ(info.net_wm_name, "vxpiano");
    EXPECT_EQ(info.res_class, "vxgfxclass_vxpiano");
    EXPECT_EQ(info.pid, run.program.pid());
    EXPECT_TRUE(info.fixed_size) << "full screen is not allowed: the size is fixed";

    // _NET_WM_ICON holds every size of the program's icon: width, height, then the pixels.
    std::vector<uint32_t> icon = window_property(run.d(), run.window, "_NET_WM_ICON", XA_CARDINAL);
    std::vector<uint32_t> want;
    for (const vx::ProgramIcon& size : app::piano_icon()) {
        want.push_back(static_cast<uint32_t>(size.width));
        want.push_back(static_cast<uint32_t>(size.height));
        want.insert(want.end(), size.argb, size.argb + size.width * size.height);
    }
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(icon.size(), want.size());
    EXPECT_TRUE(icon == want) << "the icon's sizes and pixels";

    EXPECT_EQ(run.escape_and_wait(), 0);
}

struct ProgramAtDepth : ProgramTest, ::testing::WithParamInterface<int> {};

// At depth 24 the window shows the framebuffer's low 24 bits, at 16 and 15 the same converted
// to 5-6-5 and 5-5-5; the start frame and a pressed key both.
TEST_P(ProgramAtDepth, TheWindowShowsTheProgramsFramebuffer) {
    const int depth = GetParam();
    start_on_fifo(depth);  // waits for the whole start frame, pixel for pixel
    vxtest::Capture shot = run.shot();
    EXPECT_EQ(shot.depth, depth);
    EXPECT_EQ(vxtest::frame_difference(shot, run.start_frame, depth), "");

    run.move(kCSharp[0], kCSharp[1]);
    run.press();
    expect_message(1, note_on(0, kNoteCSharp, 127));
    EXPECT_EQ(shows(frame_after({{kCSharp[0], kCSharp[1], 1}}), "pressed_depth" + std::to_string(depth)), "");
    std::this_thread::sleep_for(40ms);
    run.release();
    expect_message(2, note_off(0, kNoteCSharp, 127));
    EXPECT_EQ(shows(run.start_frame, "released_depth" + std::to_string(depth)), "");
    EXPECT_EQ(run.escape_and_wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Depths, ProgramAtDepth, ::testing::Values(24, 16, 15),
                         [](const ::testing::TestParamInfo<int>& p) { return "Depth" + std::to_string(p.param); });

TEST_F(ProgramTest, AHeldKeySoundsAndShowsGreyUntilReleased) {
    start_on_fifo();
    EXPECT_EQ(run.start_frame.at(kC[0], kC[1]), 0xFFFFFFu) << "a white key at rest";
    const vxtest::Frame pressed = frame_after({{kC[0], kC[1], 1}});
    EXPECT_EQ(pressed.at(kC[0], kC[1]) & 0xFFFFFF, 0x999999u) << "the pressed picture is grey";

    run.move(kC[0], kC[1]);
    run.press();
    expect_message(1, note_on(0, kNoteC, 127));
    EXPECT_EQ(shows(pressed, "held_c"), "") << "grey while held";
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(midi.count(), 2u) << "holding still sends nothing more";
    EXPECT_EQ(vxtest::frame_difference(run.shot(), pressed, 24), "") << "still grey";
    run.release();
    expect_message(2, note_off(0, kNoteC, 127));
    EXPECT_EQ(shows(run.start_frame, "released_c"), "") << "resting again after the release";

    // A black key, and a second press of the same white key.
    expect_click_plays(kCSharp, 3, kNoteCSharp, 127);
    expect_click_plays(kC, 5, kNoteC, 127, 90ms);
    EXPECT_EQ(shows(run.start_frame, "resting_after_clicks"), "");
    EXPECT_EQ(midi.stray_bytes(), 0u);
    EXPECT_EQ(run.escape_and_wait(), 0);
}

// On a desktop at 192 dots per inch the window comes up twice the size, each pixel a 2 x 2
// block, and presses at the doubled positions play the keys and move the sliders under them.
TEST_F(ProgramTest, AtTwiceTheDesktopDensityTheWindowIsDoubledAndClicksHitWhatTheyShow) {
    run.zoom = 2;
    start_on_fifo();  // the start frame, doubled pixel for pixel
    vxtest::WindowInfo info = vxtest::window_info(run.d(), run.window);
    EXPECT_EQ(info.width, 1440);
    EXPECT_EQ(info.height, 380);
    EXPECT_TRUE(info.fixed_size);

    run.move(kCSharp[0], kCSharp[1]);
    run.press();
    expect_message(1, note_on(0, kNoteCSharp, 127));
    EXPECT_EQ(shows(vxtest::zoomed(frame_after({{kCSharp[0], kCSharp[1], 1}}), 2), "zoom2_held"), "");
    run.release();
    expect_message(2, note_off(0, kNoteCSharp, 127));
    // A white key right of the black one: a position divided the wrong way plays its neighbour.
    expect_click_plays(kD, 3, kNoteD, 127);

    run.click_at(kVolumeUp[0], kVolumeUp[1]);
    const vxtest::Frame louder = frame_after({{kVolumeUp[0], kVolumeUp[1], 1}, {kVolumeUp[0], kVolumeUp[1], 0}});
    EXPECT_EQ(shows(vxtest::zoomed(louder, 2), "zoom2_volume"), "") << "the volume slider moved to 100%";
    expect_click_plays(kE, 5, kNoteE, 100);
    EXPECT_EQ(run.escape_and_wait(), 0);
}

TEST_F(ProgramTest, AClickIsRecordedInTheStandardMidiFile) {
    const std::string file = run.directory.file("out.mid");
    ASSERT_EQ(run.start("smf:" + file), "");
    run.click_at(kE[0], kE[1], 500ms);
    // The file is kept complete after every message: it can be read while the program runs.
    std::vector<MidiMessage> messages;
    EXPECT_TRUE(vxtest::wait_until([&] { return vxtest::read_smf(file, messages).empty() && messages.size() == 3; }))
        << vxtest::read_smf(file, messages) << " " << vxtest::describe(messages);
    EXPECT_EQ(run.escape_and_wait(), 0);
    ASSERT_EQ(vxtest::read_smf(file, messages), "");
    ASSERT_EQ(messages.size(), 3u) << vxtest::describe(messages);
    EXPECT_EQ(messages[0], vxtest::program_change(0, 0));
    EXPECT_EQ(messages[1], note_on(0, kNoteE, 127));
    EXPECT_EQ(messages[2], note_off(0, kNoteE, 127));
    const int64_t held_us = messages[2].time_us - messages[1].time_us;
    // Held half a second: a program held up for a moment on a busy machine sends the two a
    // little closer together or further apart, but never at the same time.
    EXPECT_GE(held_us, 250000) << "the times follow the press: held 500 ms";
    EXPECT_LT(held_us, 20000000);
}

TEST_F(ProgramTest, DraggingAcrossThreeKeysGlidesFromNoteToNote) {
    start_on_fifo();
    run.move(kC[0], kC[1]);
    run.press();
    expect_message(1, note_on(0, kNoteC, 127));
    std::this_thread::sleep_for(60ms);
    run.move(kD[0], kD[1]);
    expect_message(2, note_off(0, kNoteC, 127));
    expect_message(3, note_on(0, kNoteD, 127));
    EXPECT_EQ(shows(frame_after({{kC[0], kC[1], 1}, {kD[0], kD[1], 1}}), "glide_d"), "") << "only D is grey";
    std::this_thread::sleep_for(60ms);
    run.move(kE[0], kE[1]);
    expect_message(4, note_off(0, kNoteD, 127));
    expect_message(5, note_on(0, kNoteE, 127));
    std::this_thread::sleep_for(60ms);
    run.release();
    expect_message(6, note_off(0, kNoteE, 127));
    EXPECT_EQ(shows(run.start_frame, "glide_released"), "");
    EXPECT_EQ(midi.count(), 7u) << vxtest::describe(midi.messages());
    EXPECT_EQ(run.escape_and_wait(), 0);
}

TEST_F(ProgramTest, TheVolumeArrowShowsOneHundredPercentAndSetsTheVelocity) {
    start_on_fifo();
    run.click_at(kVolumeUp[0], kVolumeUp[1]);
    const vxtest::Frame louder = frame_after({{kVolumeUp[0], kVolumeUp[1], 1}, {kVolumeUp[0], kVolumeUp[1], 0}});
    // "99%" becomes "100%": the fourth character cell, blank before, now holds the "%".
    auto inked = [](const vxtest::Frame& f) {
        int n = 0;
        for (int y = 27; y < 41; ++y)
            for (int x = 280; x < 288; ++x) n += (f.at(x, y) & 0xFFFFFF) != 0xC8C0B8;
        return n;
    };
    EXPECT_EQ(inked(run.start_frame), 0);
    EXPECT_GT(inked(louder), 0);
    EXPECT_EQ(shows(louder, "volume_100"), "") << "the caption reads 100% and the thumb stays at the end";
    EXPECT_EQ(midi.count(), 1u) << "the volume sends nothing by itself";
    expect_click_plays(kC, 1, kNoteC, 100);
    EXPECT_EQ(run.escape_and_wait(), 0);
}

TEST_F(ProgramTest, TheInstrumentArrowSendsAProgramChange) {
    start_on_fifo();
    run.click_at(kInstrumentUp[0], kInstrumentUp[1]);
    expect_message(1, vxtest::program_change(0, 1));
    const vxtest::Frame next = frame_after({{kInstrumentUp[0], kInstrumentUp[1], 1}, {kInstrumentUp[0], kInstrumentUp[1], 0}});
    EXPECT_NE(vxtest::frame_difference(run.shot(), run.start_frame, 24), "") << "something changed";
    EXPECT_EQ(shows(next, "instrument_1"), "") << "the next instrument's name and the moved thumb";
    std::this_thread::sleep_for(250ms);  // past the arrow's repeat time: one click is one step
    EXPECT_EQ(midi.count(), 2u) << vxtest::describe(midi.messages());
    EXPECT_EQ(run.escape_and_wait(), 0);
}

TEST_F(ProgramTest, EscapeHeldEndsTheProgramWithZero) {
    ASSERT_EQ(run.start("smf:" + run.directory.file("out.mid")), "");
    EXPECT_EQ(run.escape_and_wait(), 0) << run.program.error_text();
    EXPECT_EQ(run.program.error_text(), "");
    EXPECT_TRUE(vxtest::wait_until([&] { return vxtest::find_window_by_pid(run.d(), run.program.pid(), 0ms) == 0; }))
        << "the window is gone with the program";
}

TEST_F(ProgramTest, TheCloseRequestEndsTheProgramWithZero) {
    start_on_fifo();
    // Clicks go on working right up to the request.
    run.click_at(kD[0], kD[1]);
    expect_message(2, note_off(0, kNoteD, 127));
    EXPECT_TRUE(run.program.running());
    EXPECT_TRUE(vxtest::window_info(run.d(), run.window).viewable) << "the window stays until the program ends";
    vxtest::send_delete_window(run.d(), run.window);
    EXPECT_EQ(run.program.wait_exit(), 0) << run.program.error_text();
    EXPECT_EQ(run.program.error_text(), "");
    EXPECT_EQ(midi.count(), 3u) << "with no key held nothing is sent at the end";
}

// Press and release arriving together, as a touchpad tap sends them: every click plays its
// note, Note On then Note Off, and an Escape tap as short still ends the program.
TEST_F(ProgramTest, QuickClicksAndAQuickEscapeAreNeverLost) {
    start_on_fifo();
    constexpr size_t clicks = 50;
    for (size_t i = 0; i < clicks; ++i) {
        run.click_at(i % 2 ? kD[0] : kC[0], kC[1], 0ms);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(midi.wait_count(1 + 2 * clicks)) << midi.count() << " messages";
    std::this_thread::sleep_for(50ms);
    const std::vector<MidiMessage> got = midi.messages();
    ASSERT_EQ(got.size(), 1 + 2 * clicks) << vxtest::describe(got);
    for (size_t i = 0; i < clicks; ++i) {
        const int note = i % 2 ? kNoteD : kNoteC;
        EXPECT_EQ(got[1 + 2 * i], note_on(0, note, 127)) << "click " << i;
        EXPECT_EQ(got[2 + 2 * i], note_off(0, note, 127)) << "click " << i;
    }
    run.tap(XK_Escape, 0ms);
    EXPECT_EQ(run.program.wait_exit(), 0) << "the Escape tap was lost";
}

// Whichever way the program ends while a key is held, the Note On gets its Note Off on every
// route before the output closes: in a complete file, through a FIFO, and through the port of
// a JACK server whose 1024-frame periods leave the last messages waiting for a cycle when the
// program decides to end. The exit code is 0, or 1 when the display went away.
TEST(ProgramEnds, EveryWayOutEndsTheHeldNote) {
    vxtest::JackServer jack;
    ASSERT_TRUE(jack.start(48000, 1024)) << jack.log();
    vxtest::JackMidiReceiver receiver;
    ASSERT_TRUE(receiver.open(jack.name())) << jack.log();
    const std::vector<std::string> ways = {"Escape", "close request", "SIGINT", "SIGTERM", "SIGHUP", "display lost"};
    for (const std::string route : {"smf", "raw", "jack"}) {
        for (const std::string& way : ways) {
            SCOPED_TRACE(route + ", " + way);
            vxtest::PianoRun run;
            const std::string file = run.directory.file("out.mid");
            vxtest::FifoReader fifo;
            const size_t received_before = receiver.events().size();
            // What the route carried so far.
            const auto messages = [&] {
                std::vector<MidiMessage> got;
                if (route == "smf") {
                    if (!vxtest::read_smf(file, got).empty()) got.clear();
                } else if (route == "raw") {
                    got = fifo.messages();
                } else {
                    const std::vector<vxtest::JackMidiEvent> events = receiver.events();
                    for (size_t i = received_before; i < events.size(); ++i)
                        got.push_back({events[i].bytes[0], events[i].bytes[1], events[i].bytes[2], events[i].length});
                }
                return got;
            };
            if (route == "raw") {
                ASSERT_TRUE(fifo.open(run.directory.file("midi.fifo")));
            }
            if (route == "jack") run.environment = jack.environment();
            ASSERT_EQ(run.start(route == "smf"   ? "smf:" + file
                                : route == "raw" ? "raw:" + run.directory.file("midi.fifo")
                                                 : "jack:" + receiver.port_name()),
                      "");
            // Slowed several times, the JACK clients miss cycles and the server drops what they
            // wrote (it says so): there the messages that arrive are checked, in order.
            const bool lossy = kSanitized && route == "jack";
            const int xruns_before = receiver.xruns();
            run.move(kC[0], kC[1]);
            run.press();
            ASSERT_TRUE(vxtest::wait_until([&] {
                const std::vector<MidiMessage> got = messages();
                return lossy ? !got.empty() && got.back() == note_on(0, kNoteC, 127) : got.size() == 2;
            })) << vxtest::describe(messages());
            int code = -1;
            if (way == "Escape") {
                code = run.escape_and_wait();
            } else if (way == "close request") {
                vxtest::send_delete_window(run.d(), run.window);
                code = run.program.wait_exit();
            } else if (way == "display lost") {
                // Once the pressed key is shown, so the server goes away between frames.
                ASSERT_TRUE(vxtest::wait_until([&] { return (run.shot().at(kC[0], kC[1]) & 0xFFFFFF) == 0x999999; }));
                run.client->close();
                run.server.kill();
                code = run.program.wait_exit();
            } else {
                run.program.signal(way == "SIGINT" ? SIGINT : way == "SIGTERM" ? SIGTERM : SIGHUP);
                code = run.program.wait_exit();
            }
            EXPECT_EQ(code, way == "display lost" ? 1 : 0) << run.program.error_text();
            vxtest::wait_until([&] {
                const std::vector<MidiMessage> got = messages();
                return got.size() >= 3 || (!got.empty() && got.back() == note_off(0, kNoteC, 127));
            }, 5000ms);
            const std::vector<MidiMessage> got = messages();
            if (way == "display lost") run.program.kill();
            if (lossy && receiver.xruns() > xruns_before) {
                ASSERT_FALSE(got.empty());
                EXPECT_TRUE(got.back() == note_on(0, kNoteC, 127) || got.back() == note_off(0, kNoteC, 127)) << vxtest::describe(got);
                continue;
            }
            if (lossy) {
                ASSERT_GE(got.size(), 2u) << vxtest::describe(got);
                EXPECT_EQ(got.back(), note_off(0, kNoteC, 127)) << vxtest::describe(got);
                continue;
            }
            ASSERT_EQ(got.size(), 3u) << vxtest::describe(got);
            EXPECT_EQ(got[1], note_on(0, kNoteC, 127));
            EXPECT_EQ(got[2], note_off(0, kNoteC, 127));
        }
    }
}

TEST_F(ProgramTest, FocusLostReleasesTheKeyAndFocusRegainedPlaysAgain) {
    start_on_fifo();
    Window other = vxtest::make_other_window(run.d(), 0, 450, 100, 100);
    run.move(kC[0], kC[1]);
    run.press();
    expect_message(1, note_on(0, kNoteC, 127));
    // Another window takes the focus while the button is still held: the note must not stick.
    vxtest::set_focus(run.d(), other);
    expect_message(2, note_off(0, kNoteC, 127));
    EXPECT_EQ(shows(run.start_frame, "focus_lost"), "") << "the key rests again";
    std::this_thread::sleep_for(60ms);
    run.release();
    // Back to the program: it answers clicks as before.
    run.focus();
    run.move(kE[0], kE[1]);
    expect_click_plays(kE, 3, kNoteE, 127);
    // Twice more, to be sure the regained focus is not a one-off.
    vxtest::set_focus(run.d(), other);
    std::this_thread::sleep_for(30ms);
    run.focus();
    expect_click_plays(kD, 5, kNoteD, 127);
    EXPECT_EQ(run.escape_and_wait(), 0);
}

TEST_F(ProgramTest, TypedKeysAreReadAndDiscarded) {
    start_on_fifo();
    for (unsigned long sym : {XK_a, XK_q, XK_1, XK_space, XK_Return, XK_Left, XK_F5}) run.tap(sym, 60ms);
    expect_click_plays(kC, 1, kNoteC, 127);
    EXPECT_TRUE(run.program.running()) << "no key but Escape ends it";
    EXPECT_EQ(midi.count(), 3u) << "the computer keyboard plays nothing: " << vxtest::describe(midi.messages());
    EXPECT_EQ(shows(run.start_frame, "after_typing"), "") << "and draws nothing";
    EXPECT_EQ(run.escape_and_wait(), 0);
}

// ---- Sound through the desktop's sound server ------------------------------------------------

// Middle C, key note 24: the third C from the left.
constexpr int kMiddleC[2] = {300, 150};
constexpr int kNoteMiddleC = 60;

struct ProgramSound : ::testing::TestWithParam<vxtest::ServerKind> {};

// A user with no MIDI set up: the program finds the session's server on its own and what the
// server plays is the clicked note, at its pitch, silent again after the release. Notes start
// from a stopped stream and from a running one. How soon they start and whether they break up
// while held are timings of the machine as much as of the program: BM_SoundThroughServer
// measures them (bench/README.md).
TEST_P(ProgramSound, AClickSoundsAtItsPitchUntilReleased) {
    vxtest::SoundServer server;
    ASSERT_EQ(server.start(GetParam()), "");
    vxtest::PianoRun run;
    run.environment = server.client_environment();
    ASSERT_EQ(run.start(vxtest::embedded_synth), "");
    vxtest::MonitorRecorder recorder;
    ASSERT_EQ(recorder.start(server), "");
    ASSERT_TRUE(vxtest::wait_until([&] { return recorder.snapshot().samples.size() > 48000; })) << "the monitor records";
    struct Click {
        int64_t press, release;
        std::chrono::milliseconds pause;
    };
    std::vector<Click> clicks;
    for (auto pause : {700ms, 1500ms, 700ms}) {
        run.move(kMiddleC[0], kMiddleC[1]);
        Click click{vxtest::now_ns(), 0, pause};
        run.press();
        // Held until it sounds, however long that takes on a busy machine, and then a while.
        EXPECT_TRUE(vxtest::wait_until([&] { return vxtest::sounding_since(recorder.snapshot(), click.press); }))
            << "click " << clicks.size() << " made no sound; " << run.program.error_text();
        std::this_thread::sleep_for(500ms);
        click.release = vxtest::now_ns();
        run.release();
        clicks.push_back(click);
        std::this_thread::sleep_for(pause);
    }
    vxtest::Recording recording = recorder.stop();
    EXPECT_TRUE(run.program.running()) << run.program.error_text();
    const double expected = vxtest::note_frequency(kNoteMiddleC);
    for (size_t i = 0; i < clicks.size(); ++i) {
        SCOPED_TRACE("click " + std::to_string(i));
        // Heard at any time while held; quiet by the end of the pause after the release.
        const int tail_ms = static_cast<int>(clicks[i].pause.count()) - 150;
        vxtest::HeardNote heard = vxtest::hear_note(recording, clicks[i].press, clicks[i].release, expected, tail_ms,
                                                    static_cast<int>((clicks[i].release - clicks[i].press) / 1'000'000));
        ASSERT_GE(heard.latency_ms, 0) << "no sound; " << run.program.error_text();
        EXPECT_NEAR(heard.frequency, expected, expected * 0.03);
        EXPECT_LT(heard.after_peak, heard.held_peak / 30) << "still sounding after the release";
    }
    EXPECT_EQ(run.escape_and_wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, ProgramSound, ::testing::Values(vxtest::ServerKind::pulseaudio, vxtest::ServerKind::pipewire),
                         [](const auto& info) { return std::string(vxtest::server_name(info.param)); });

// A desktop user may not raise a thread to real-time priority; the thread that renders then
// gets it from the desktop's RealtimeKit, as the server's own threads do (asked by the program
// for PulseAudio, by PipeWire's client library for its graph). Rendering at normal priority
// beside a busy core broke up held notes (bench/README.md).
struct ProgramSoundPriority : ::testing::TestWithParam<vxtest::ServerKind> {};

TEST_P(ProgramSoundPriority, WithoutRightsOfItsOwnTheRenderingThreadIsMadeRealTimeByTheKit) {
    vxtest::SoundServer server;
    ASSERT_EQ(server.start(GetParam()), "");
    vxtest::RealtimeKit kit;
    ASSERT_EQ(kit.start(), "");
    vxtest::PianoRun run;
    run.environment = server.client_environment();
    run.environment.push_back(kit.environment_entry());
    vxtest::ProgramLimits limits;
    limits.realtime_rights = false;
    ASSERT_EQ(run.start(vxtest::embedded_synth, 24, limits), "");
    ASSERT_TRUE(vxtest::wait_until([&] { return !kit.grants().empty(); })) << testing::PrintToString(kit.refusals());
    const vxtest::RealtimeKit::Grant grant = kit.grants()[0];
    EXPECT_EQ(grant.process, run.program.pid());
    EXPECT_EQ(grant.priority, vxtest::RealtimeKit::max_priority);
    EXPECT_EQ(sched_getscheduler(grant.thread) & ~SCHED_RESET_ON_FORK, SCHED_RR);
    if (GetParam() == vxtest::ServerKind::pulseaudio) {
        // The thread granted is the one the sound is rendered on: PulseAudio's event thread.
        std::ifstream comm("/proc/" + std::to_string(grant.process) + "/task/" + std::to_string(grant.thread) + "/comm");
        std::string name;
        std::getline(comm, name);
        EXPECT_EQ(name, "threaded-ml");
    }
    EXPECT_TRUE(kit.refusals().empty()) << testing::PrintToString(kit.refusals());
    EXPECT_EQ(run.escape_and_wait(), 0) << run.program.error_text();
}

INSTANTIATE_TEST_SUITE_P(Servers, ProgramSoundPriority, ::testing::Values(vxtest::ServerKind::pulseaudio, vxtest::ServerKind::pipewire),
                         [](const auto& info) { return std::string(vxtest::server_name(info.param)); });

// Without a reachable display there is no window to poll: a message and exit code 1.
TEST(ProgramWithoutDisplay, EndsWithAMessageAndCodeOne) {
    vxtest::TempDir dir("vxpiano_nodisplay");
    ASSERT_TRUE(vxtest::copy_file(vxtest::shipped_picture(), dir.file("piano_k.bmp")));
    // A display number whose socket does not exist.
    int unused = 9473;
    struct stat st {};
    while (stat(("/tmp/.X11-unix/X" + std::to_string(unused)).c_str(), &st) == 0) ++unused;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"unset", "DISPLAY="}, {"unreachable", "DISPLAY=:" + std::to_string(unused)}, {"malformed", "DISPLAY=:not-a-number"}};
    for (const auto& [label, display] : cases) {
        SCOPED_TRACE(label);
        vxtest::Program program;
        ASSERT_TRUE(program.start(dir.path(), {display, "VXMIDI=smf:" + dir.file("out.mid")}));
        EXPECT_EQ(program.wait_exit(30000ms), 1) << "-1: it hangs; " << program.error_text();
        EXPECT_NE(program.error_text().find("cannot open the window"), std::string::npos) << program.error_text();
    }
}

// ---- A keyboard on a real ALSA sequencer --------------------------------------------------
// Needs /dev/snd/seq, which these machines do not have: test_alsa_guest.sh runs this in a
// throw-away guest with a real kernel, where a virtual card (snd-virmidi) is the keyboard,
// plugged in and unplugged while the program runs.

namespace {

constexpr int kG[2] = {100, 150};
constexpr int kNoteG = 43;
constexpr int kChannelUp[2] = {519, 52};
constexpr uint32_t kWhite = 0xFFFFFF, kPressedWhite = 0x999999;

std::string command_output(const char* command) {
    std::string text;
    if (FILE* pipe = popen(command, "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
        pclose(pipe);
    }
    return text;
}

// Whether the virtual card's port sends to a subscriber (the program connected itself to it).
bool card_connected() {
    const std::string list = command_output("aconnect -l");
    const size_t card = list.find("'Virtual Raw MIDI");
    if (card == std::string::npos) return false;
    const size_t next = list.find("\nclient ", card);
    return list.substr(card, next == std::string::npos ? std::string::npos : next - card).find("Connecting To:") !=
           std::string::npos;
}

// Bytes into the card, as a keyboard's keys send them.
bool play_on_card(std::initializer_list<uint8_t> bytes) {
    const std::vector<uint8_t> data(bytes);
    const int fd = ::open("/dev/snd/midiC0D0", O_WRONLY);
    if (fd < 0) return false;
    const bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    ::close(fd);
    return written;
}

bool plug_card() { return std::system("modprobe snd-virmidi midi_devs=1") == 0; }
// As a USB keyboard leaves: the card's driver lets go of it while the program listens.
bool unplug_card() {
    return std::system("echo snd_virmidi.0 > /sys/bus/platform/drivers/snd_virmidi/unbind && rmmod snd-virmidi") == 0;
}

}  // namespace

TEST(AlsaSequencerInput, AKeyboardPluggedInWhileRunningPlaysOnTheSlidersChannelAndLeavesNothingHanging) {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) GTEST_SKIP() << "no ALSA sequencer here (test_alsa_guest.sh runs this in a guest)";
    vxtest::PianoRun run;
    vxtest::FifoReader midi;
    ASSERT_TRUE(midi.open(run.directory.file("midi.fifo")));
    ASSERT_EQ(run.start("raw:" + run.directory.file("midi.fifo")), "");
    std::vector<MidiMessage> want = {vxtest::program_change(0, 0)};
    auto expect_sent = [&](const char* when) {
        midi.wait_count(want.size(), 5000ms);
        std::this_thread::sleep_for(100ms);  // and nothing more
        EXPECT_EQ(vxtest::describe(midi.messages()), vxtest::describe(want)) << when;
    };
    auto shown = [&](const int at[2]) { return run.shot().at(at[0], at[1]) & 0xFFFFFF; };
    auto expect_key = [&](const int at[2], uint32_t colour, const char* what) {
        EXPECT_TRUE(vxtest::wait_until([&] { return shown(at) == colour; }, 5000ms))
            << what << ": the key at " << at[0] << "," << at[1] << " shows " << std::hex << shown(at);
    };

    ASSERT_TRUE(plug_card());
    ASSERT_TRUE(vxtest::wait_until(card_connected, 5000ms)) << "the card plugged in was not connected\n"
                                                           << command_output("aconnect -l");
    run.click_at(kChannelUp[0], kChannelUp[1]);
    want.push_back(vxtest::program_change(1, 0));
    expect_sent("the channel slider moved");

    // Running status, clock and active sensing, as a keyboard sends them.
    ASSERT_TRUE(play_on_card({0x90, kNoteC, 100, kNoteE, 90, 0xF8, 0xFE}));
    want.insert(want.end(), {note_on(1, kNoteC, 100), note_on(1, kNoteE, 90)});
    expect_sent("two keys down");
    expect_key(kC, kPressedWhite, "C held");
    expect_key(kE, kPressedWhite, "E held");
    ASSERT_TRUE(play_on_card({0x80, kNoteE, 0}));
    want.push_back(note_off(1, kNoteE, 0));
    expect_sent("E let go");
    expect_key(kE, kWhite, "E let go");

    ASSERT_TRUE(unplug_card()) << command_output("aconnect -l");
    want.push_back(note_off(1, kNoteC, 0));
    expect_sent("the card unplugged with C down");
    expect_key(kC, kWhite, "C after the unplug");

    ASSERT_TRUE(plug_card());
    ASSERT_TRUE(vxtest::wait_until(card_connected, 5000ms)) << "the card plugged in again was not connected";
    ASSERT_TRUE(play_on_card({0x90, kNoteG, 70}));
    want.push_back(note_on(1, kNoteG, 70));
    expect_sent("G down");
    expect_key(kG, kPressedWhite, "G held");
    EXPECT_EQ(run.escape_and_wait(), 0) << run.program.error_text();
    want.push_back(note_off(1, kNoteG, 0));
    expect_sent("Escape with G down");
    unplug_card();
}

// The same card heard: with no MIDI output chosen and a JACK server in the guest, its notes
// sound through the embedded synthesiser on the slider's channel, as the instrument it chose,
// at their pitch, and unplugging it with the key down silences the note.
TEST(AlsaSequencerInput, ACardsNoteSoundsThroughTheEmbeddedSynthesiserUntilItIsUnplugged) {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) GTEST_SKIP() << "no ALSA sequencer here (test_alsa_guest.sh runs this in a guest)";
    constexpr int kNoteA = 69;
    vxtest::JackServer server;
    // Long periods: the guest's processors are emulated, and so is every wake-up.
    ASSERT_TRUE(server.start(48000, 1024)) << server.log();
    server.export_environment();
    vxtest::PianoRun run;
    ASSERT_EQ(run.start(vxtest::embedded_synth), "");
    vxtest::JackAudioRecorder recorder;
    ASSERT_TRUE(recorder.open(server.name(), "recorder", 120));
    ASSERT_TRUE(recorder.connect_from("vxpiano:", 30000ms)) << "the program has no JACK audio port; stderr: " << run.program.error_text();
    ASSERT_TRUE(plug_card());
    ASSERT_TRUE(vxtest::wait_until(card_connected, 5000ms)) << "the card plugged in was not connected\n"
                                                           << command_output("aconnect -l");
    // Played on the slider's channel, 2, once the program has taken the click: the guest is slow.
    run.click_at(kChannelUp[0], kChannelUp[1]);
    const std::vector<vxtest::PointerStep> click = {{kChannelUp[0], kChannelUp[1], 1}, {kChannelUp[0], kChannelUp[1], 0}};
    ASSERT_EQ(vxtest::wait_for_frame(run.d(), run.window, vxtest::expected_frame(run.directory.path(), click), 24, "alsa_channel_2"),
              "");

    // The card chooses an organ, which holds its level where a piano dies away, so that a note
    // left sounding after the unplug, or one played on the piano, is heard as such.
    constexpr uint8_t kDrawbarOrgan = 16;
    const int64_t played = vxtest::now_ns();
    ASSERT_TRUE(play_on_card({0xC0, kDrawbarOrgan, 0x90, kNoteA, 100}));
    EXPECT_TRUE(vxtest::wait_until([&] { return vxtest::sounding_since(recorder.recording(), played); }))
        << "the card's note is not heard; stderr: " << run.program.error_text() << "\nserver: " << server.log();
    std::this_thread::sleep_for(1000ms);
    const int64_t unplugged = vxtest::now_ns();
    ASSERT_TRUE(unplug_card()) << command_output("aconnect -l");
    std::this_thread::sleep_for(1500ms);
    const vxtest::Recording sound = recorder.recording();
    recorder.close();
    unsetenv("JACK_DEFAULT_SERVER");

    const vxtest::RecordedNote note = vxtest::recorded_note(sound, played, unplugged, vxtest::note_frequency(kNoteA));
    ASSERT_GE(note.press, 0);
    ASSERT_GT(note.release, note.press);
    ASSERT_GE(note.start, 0) << "no sound while the key was down";
    const int rate = sound.rate;
    ASSERT_GE(note.release, note.start + 3 * (rate / 10)) << "the note started too late to hear its pitch";
    EXPECT_NEAR(note.pitch, vxtest::note_frequency(kNoteA), 4.0);
    EXPECT_GT(vxtest::peak(sound.samples, note.release - rate / 10, note.release), note.held / 2) << "not the organ's held level";
    EXPECT_LT(vxtest::peak(sound.samples, note.release + rate, note.release + rate * 11 / 10), note.held / 100)
        << "it sounds on after the unplug";
    EXPECT_EQ(run.escape_and_wait(), 0) << run.program.error_text();
}
