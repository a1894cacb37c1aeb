// The built program when things around it fail: the X server killed under it, the sound
// server killed and started again, a MIDI FIFO
// whose reader leaves or stops reading, a MIDI file that hits its size limit (a full disk),
// a MIDI output that cannot be opened, and a damaged picture of every kind the fuzzers keep.
#include <gtest/gtest.h>

#include <X11/keysym.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <csignal>
#include <thread>

#include "tests/support/program.h"
#include "tests/support/sound_server.h"

using namespace std::chrono_literals;
using vxtest::note_off;
using vxtest::note_on;

namespace {

constexpr int kC[2] = {20, 150}, kE[2] = {60, 150}, kCSharp[2] = {30, 110};

struct Faults : ::testing::Test {
    vxtest::PianoRun run;

    // The key's pressed picture shows while it is held and the resting one after: the
    // keyboard answers whatever became of the MIDI.
    void expect_keyboard_answers(const int at[2], const std::string& label) {
        const vxtest::Frame pressed = vxtest::expected_frame(run.directory.path(), {{at[0], at[1], 1}});
        run.move(at[0], at[1]);
        run.press();
        EXPECT_EQ(vxtest::wait_for_frame(run.d(), run.window, pressed, 24, label + "_pressed"), "");
        std::this_thread::sleep_for(50ms);
        run.release();
        EXPECT_EQ(vxtest::wait_for_frame(run.d(), run.window, run.start_frame, 24, label + "_released"), "");
        EXPECT_TRUE(run.program.running());
    }
};

}  // namespace

TEST_F(Faults, TheServerKilledEndsTheProgramWithAnError) {
    ASSERT_EQ(run.start("smf:" + run.directory.file("out.mid")), "");
    // A key held at the moment of the loss, to be sure nothing waits for its release.
    run.move(kC[0], kC[1]);
    run.press();
    ASSERT_TRUE(vxtest::wait_until([&] {
        return (run.shot().at(kC[0], kC[1]) & 0xFFFFFF) == 0x999999;
    })) << "the key is held";
    run.client->close();  // our own connection would otherwise end this test with the server
    run.server.kill();
    const int code = run.program.wait_exit();
    EXPECT_NE(code, -1) << "the program hangs after the server went away";
    EXPECT_NE(code, 0) << "a lost display is an error, not the user's choice";
    EXPECT_LT(code, 128) << "it ends by itself, not by a signal";
    EXPECT_NE(run.program.error_text().find("display"), std::string::npos) << run.program.error_text();
}

TEST_F(Faults, AFifoWhoseReaderLeavesKeepsTheKeyboardPlaying) {
    const std::string fifo = run.directory.file("midi.fifo");
    auto reader = std::make_unique<vxtest::FifoReader>();
    ASSERT_TRUE(reader->open(fifo));
    ASSERT_EQ(run.start("raw:" + fifo), "");
    run.click_at(kC[0], kC[1]);
    ASSERT_TRUE(reader->wait_count(3));
    EXPECT_EQ(reader->messages()[1], note_on(0, 36, 127));

    reader.reset();  // the synthesiser on the other end goes away
    expect_keyboard_answers(kE, "reader_gone");
    expect_keyboard_answers(kCSharp, "reader_gone_again");

    // A reader that comes back to the same FIFO gets the messages of the next clicks.
    reader = std::make_unique<vxtest::FifoReader>();
    ASSERT_TRUE(reader->open(fifo));
    run.click_at(kE[0], kE[1]);
    ASSERT_TRUE(reader->wait_count(2)) << vxtest::describe(reader->messages());
    EXPECT_EQ(reader->messages()[0], note_on(0, 40, 127));
    EXPECT_EQ(reader->messages()[1], note_off(0, 40, 127));
    EXPECT_EQ(run.escape_and_wait(), 0) << run.program.error_text();
}

TEST_F(Faults, AFifoWhoseReaderStopsReadingKeepsTheKeyboardPlaying) {
    const std::string fifo = run.directory.file("midi.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int stuck = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(stuck, 0);
    const int capacity = fcntl(stuck, F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    ASSERT_EQ(run.start("raw:" + fifo), "");
    // Quick clicks on a key, six bytes each: the pipe is full within seconds.
    int queued = 0;
    EXPECT_TRUE(vxtest::wait_until(
        [&] {
            run.click_at(kE[0], kE[1], 0ms);
            ioctl(stuck, FIONREAD, &queued);
            return queued >= capacity - 2;
        },
        20000ms))
        << "the pipe holds " << queued << " of " << capacity << " bytes";
    std::this_thread::sleep_for(200ms);  // sends now wait and give up
    expect_keyboard_answers(kC, "reader_stuck");
    EXPECT_EQ(run.escape_and_wait(), 0) << run.program.error_text();
    close(stuck);
}

TEST_F(Faults, AMidiFileAtItsSizeLimitKeepsTheKeyboardPlaying) {
    // Header and tempo (33 bytes), the opening Program Change (3) and one click's two notes
    // (4 or 5 bytes each) fit; a message or two later they no longer do, as on a full disk.
    constexpr long limit = 48;
    const std::string file = run.directory.file("out.mid");
    ASSERT_EQ(run.start("smf:" + file, 24, {limit}), "");
    run.click_at(kC[0], kC[1]);
    std::vector<vxtest::MidiMessage> messages;
    ASSERT_TRUE(vxtest::wait_until([&] { return vxtest::read_smf(file, messages).empty() && messages.size() >= 2; }));
    expect_keyboard_answers(kE, "file_full");
    expect_keyboard_answers(kCSharp, "file_full_again");
    EXPECT_EQ(run.escape_and_wait(), 0) << run.program.error_text();

    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_LE(st.st_size, limit);
    ASSERT_EQ(vxtest::read_smf(file, messages), "") << "the file stays a complete MIDI file";
    // What fitted is the start of what was played (how much depends on the delta times'
    // lengths), and the rest was dropped whole.
    const std::vector<vxtest::MidiMessage> played = {vxtest::program_change(0, 0), note_on(0, 36, 127), note_off(0, 36, 127),
                                                     note_on(0, 40, 127),          note_off(0, 40, 127), note_on(0, 37, 127),
                                                     note_off(0, 37, 127)};
    ASSERT_GE(messages.size(), 2u) << vxtest::describe(messages);
    EXPECT_LT(messages.size(), played.size()) << vxtest::describe(messages);
    for (size_t i = 0; i < messages.size() && i < played.size(); ++i)
        EXPECT_EQ(messages[i], played[i]) << i << " of " << vxtest::describe(messages);
}

namespace {

// The box's child window with this name (its OK button), or 0.
Window named_child(Display* d, Window parent, const char* name) {
    Window root = 0, up = 0, *children = nullptr, found = 0;
    unsigned count = 0;
    if (!XQueryTree(d, parent, &root, &up, &children, &count)) return 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        char* window_name = nullptr;
        if (XFetchName(d, children[i], &window_name) && window_name != nullptr) {
            if (std::strcmp(window_name, name) == 0) found = children[i];
            XFree(window_name);
        }
    }
    if (children != nullptr) XFree(children);
    return found;
}

}  // namespace

// There is no ALSA sequencer on these machines, so "alsa" cannot be played into here; what
// can be tried is the failure: the message on stderr and in a box that shows the reason under
// "Error:", wrapped inside a box grown to fit it, then exit code 0 once the box is answered
// (its OK button, Return, Escape, the close request or SIGTERM), and no keyboard window at any
// time.
TEST_F(Faults, AMidiOutputThatCannotOpenIsReportedInABoxAndEndsWithZero) {
    ASSERT_TRUE(run.start_server());
    ASSERT_TRUE(vxtest::copy_file(vxtest::shipped_picture(), run.directory.file("piano_k.bmp")));
    const std::string long_path = run.directory.file("no/such/dir/" + std::string(150, 'x') + "/out");
    struct Case {
        std::string output;
        const char* answer;
    };
    const std::vector<Case> cases = {{"alsa", "Return"}, {"raw:" + long_path, "Escape"}, {"nonsense", "close"},
                                     {"smf:/nonexistent/x", "SIGTERM"}, {"raw", "OK"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + ", answered by " + c.answer);
        ASSERT_TRUE(run.program.start(run.directory.path(), {"DISPLAY=" + run.server.display_name(), "VXMIDI=" + c.output}));
        Window box = vxtest::wait_for_program_window(run.d(), run.program.pid());
        ASSERT_NE(box, 0u) << run.program.error_text();
        vxtest::WindowInfo info = vxtest::window_info(run.d(), box);
        EXPECT_NE(info.res_class, "vxgfxclass_vxpiano") << "the box, not the keyboard";
        EXPECT_EQ(info.net_wm_name, "Cannot open MIDI device.");
        EXPECT_NE(run.program.error_text().find("Cannot open MIDI device."), std::string::npos) << run.program.error_text();
        EXPECT_LE(info.width, 800);
        EXPECT_LE(info.height, 600) << "within the screen";

        // Ink of the text: "Error:" on the first line, the reason on the lines under it, none
        // in the right margin (the long path is wrapped, not cut off by the box's edge).
        vxtest::Capture shot;
        auto dark = [&](int x, int y) { return (shot.at(x, y) & 0xFFFFFF) == 0; };
        auto inked_rows = [&](int x1, int x2, int y1, int y2) {
            int rows = 0;
            for (int y = y1; y < y2; ++y)
                for (int x = x1; x < x2; ++x)
                    if (dark(x, y)) {
                        ++rows;
                        break;
                    }
            return rows;
        };
        int button_top = 0;
        vxtest::wait_until([&] {
            shot = vxtest::capture(run.d(), box);
            button_top = shot.height - 26 - 14;
            return inked_rows(68, shot.width, 34, button_top) > 8;
        });
        EXPECT_GT(inked_rows(68, shot.width, 34, button_top), 8) << "a line of reason under \"Error:\"";
        EXPECT_EQ(inked_rows(shot.width - 12, shot.width, 0, button_top), 0) << "text past the box's margin";
        if (c.output == "raw:" + long_path) {
            EXPECT_GT(shot.width, 300) << "the box grows for a long reason";
            EXPECT_GT(inked_rows(68, shot.width, 62, button_top), 5) << "the long reason takes more lines";
        }
        EXPECT_TRUE(run.program.running()) << "the box waits for its answer";
        vxtest::set_focus(run.d(), box);
        const std::string answer = c.answer;
        if (answer == "Return") vxtest::tap_key(run.d(), vxtest::keycode_of(run.d(), XK_Return));
        if (answer == "Escape") vxtest::tap_key(run.d(), vxtest::keycode_of(run.d(), XK_Escape));
        if (answer == "close") vxtest::send_delete_window(run.d(), box);
        if (answer == "SIGTERM") run.program.signal(SIGTERM);
        if (answer == "OK") {
            const Window ok = named_child(run.d(), box, "OK");
            ASSERT_NE(ok, 0u) << "the box has an OK button";
            const vxtest::WindowInfo button = vxtest::window_info(run.d(), ok);
            vxtest::pointer_move(run.d(), ok, button.width / 2, button.height / 2);
            vxtest::click(run.d(), 1, 80ms);
        }
        EXPECT_EQ(run.program.wait_exit(), 0) << run.program.error_text();
        EXPECT_EQ(vxtest::find_window_by_class(run.d(), "vxgfxclass_vxpiano", 0ms), 0u);
    }
}

// Damaged or unusual pictures the fuzzers keep, each as the working directory's piano_k.bmp:
// the program starts, shows the frame the same start-up gives (the keyboard whatever became
// of the picture), and ends with 0 on Escape.
TEST_F(Faults, ADamagedPictureOfEveryKindStillGivesAPlayableKeyboard) {
    const std::string corpus = std::string(VX_SOURCE_DIR) + "/tests/fuzz/corpus/image_load";
    std::vector<std::string> names;
    if (DIR* dir = opendir(corpus.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 20u);
    // Each picture costs a start of the program; the loader itself meets every one of them in
    // the corpus replay. An even spread of 48 keeps this quick under the sanitizers.
    constexpr size_t kMostStarts = 48;
    if (names.size() > kMostStarts) {
        std::vector<std::string> spread;
        for (size_t i = 0; i < kMostStarts; ++i) spread.push_back(names[i * names.size() / kMostStarts]);
        names.swap(spread);
    }
    ASSERT_TRUE(run.start_server());
    int playable = 0;
    std::vector<std::vector<uint32_t>> distinct;  // the frames seen, to know the pictures mattered
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(vxtest::copy_file(corpus + "/" + name, run.directory.file("piano_k.bmp")));
        std::string problem = run.launch("raw:/dev/null");
        EXPECT_EQ(problem, "");
        if (!problem.empty()) {
            run.program.kill();
            continue;
        }
        EXPECT_EQ(run.start_frame.at(kC[0], kC[1]), 0xFFFFFFu) << "the keyboard is drawn";
        EXPECT_EQ(run.start_frame.at(kCSharp[0], kCSharp[1]) & 0xFFFFFF, 0x000000u);
        EXPECT_EQ(run.escape_and_wait(), 0) << run.program.error_text();
        ++playable;
        if (std::find(distinct.begin(), distinct.end(), run.start_frame.pixels) == distinct.end())
            distinct.push_back(run.start_frame.pixels);
    }
    EXPECT_EQ(playable, static_cast<int>(names.size()));
    EXPECT_GE(distinct.size(), 5u) << "the pictures that load show, the others leave the background";
}

struct SoundServerFaults : Faults, ::testing::WithParamInterface<vxtest::ServerKind> {};

// The sound server killed while a key is held: the keyboard answers on without spinning, also
// right after a flurry of clicks, says once that sound is lost, and plays again by itself once
// a server is back, silent until the next key: nothing played meanwhile sounds late.
TEST_P(SoundServerFaults, TheKeyboardPlaysOnAndSoundReturnsWithTheServer) {
    vxtest::SoundServer server;
    ASSERT_EQ(server.start(GetParam()), "");
    run.environment = server.client_environment();
    ASSERT_EQ(run.start(vxtest::embedded_synth), "");
    run.move(kE[0], kE[1]);
    run.press();
    ASSERT_EQ(vxtest::wait_for_frame(run.d(), run.window, vxtest::expected_frame(run.directory.path(), {{kE[0], kE[1], 1}}), 24,
                                     "held_before_loss"),
              "")
        << "the key is held";
    server.kill();
    run.release();
    ASSERT_TRUE(vxtest::wait_until([&] { return run.program.error_text().find("sound lost") != std::string::npos; }))
        << run.program.error_text();
    // Far more than the synthesiser's queue holds, none of them waited for.
    for (int i = 0; i < 300; ++i) {
        run.click_at(i % 2 ? kE[0] : kC[0], kC[1], 0ms);
        std::this_thread::sleep_for(2ms);
    }
    expect_keyboard_answers(kC, "sound_lost");
    const int64_t cpu_before = vxtest::cpu_time_ns(run.program.pid());
    std::this_thread::sleep_for(2500ms);  // a few attempts to reconnect
    EXPECT_LT(vxtest::cpu_time_ns(run.program.pid()) - cpu_before, 500'000'000) << "busy while the server is away";
    expect_keyboard_answers(kCSharp, "still_lost");
    const std::string lost = run.program.error_text();
    EXPECT_NE(lost.find("sound lost"), std::string::npos) << lost;
    EXPECT_EQ(lost.find("sound lost"), lost.rfind("sound lost")) << "said more than once: " << lost;

    ASSERT_EQ(server.start(GetParam()), "");
    ASSERT_TRUE(vxtest::wait_until([&] { return run.program.error_text().find("sound is back") != std::string::npos; }))
        << run.program.error_text();
    vxtest::MonitorRecorder recorder;
    ASSERT_EQ(recorder.start(server), "");
    ASSERT_TRUE(vxtest::wait_until([&] { return recorder.snapshot().samples.size() > 48000; })) << "the monitor records";
    run.move(kE[0], kE[1]);
    const int64_t press = vxtest::now_ns();
    run.press();
    // Held until it sounds, however long that takes on a busy machine: how soon is measured in
    // bench/.
    EXPECT_TRUE(vxtest::wait_until([&] { return vxtest::sounding_since(recorder.snapshot(), press); }))
        << "no sound after the server came back; " << run.program.error_text();
    run.release();
    const vxtest::Recording sound = recorder.stop();
    const int64_t pressed_at = vxtest::sample_at(sound, press);
    EXPECT_LT(vxtest::peak(sound.samples, 0, std::max<int64_t>(0, pressed_at)), 0.001f) << "sound before the key, of notes played while away";
    EXPECT_EQ(run.escape_and_wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerFaults, ::testing::Values(vxtest::ServerKind::pulseaudio, vxtest::ServerKind::pipewire),
                         [](const auto& info) { return std::string(vxtest::server_name(info.param)); });
