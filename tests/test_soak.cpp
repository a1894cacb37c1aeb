// A long, seeded random run of the built program under Xvfb: presses and releases of
// every length, glides, jumps off the keyboard and out of the window, other buttons, the
// wheel, typed keys, focus changes, slider holds and quick taps whose press and release arrive
// together, each of which must play. Afterwards every Note On has had its
// Note Off, every data byte fits in seven bits, the program ends with 0 on Escape, and its
// resident memory has not grown.
//
// VX_SOAK_SECONDS sets the length (default 25), VX_SOAK_SEED the seed (printed at the start).
// Runs longer than ctest's limit for it (400 s) start build/tests/test_soak directly.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <thread>

#include "tests/support/program.h"
#include "tests/support/sanitizers.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

long setting(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return end && *end == '\0' && value > 0 ? value : fallback;
}

struct Soak {
    vxtest::PianoRun& run;
    std::mt19937 rng;
    std::string file;  // the Standard MIDI File the program records into
    Window other = 0;
    bool left_down = false;
    std::map<std::string, int> counts;
    long events = 0;  // XTest events sent

    void move(int x, int y) {
        run.move(x, y);
        ++events;
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
    bool chance(int percent) { return pick(1, 100) <= percent; }

    // How long a person holds: often a flick, sometimes a realistic press.
    std::chrono::milliseconds hold() {
        int kind = pick(1, 10);
        if (kind <= 6) return std::chrono::milliseconds(pick(0, 3));
        if (kind <= 9) return std::chrono::milliseconds(pick(4, 20));
        return std::chrono::milliseconds(pick(50, 100));
    }
    void pause(std::chrono::milliseconds t) {
        if (t.count() > 0) std::this_thread::sleep_for(t);
    }

    // Somewhere on the keyboard, including outlines, gaps and the labels below it.
    void to_keyboard() { move(pick(5, 714), pick(86, 185)); }
    // Anywhere: the window, its edges, or outside it.
    void to_anywhere() {
        if (chance(10)) move(pick(-40, 760), chance(50) ? pick(-30, -1) : pick(190, 230));
        else move(pick(0, 719), pick(0, 189));
    }
    // A slider's arrows or track (rows 5-19, 25-39, 45-59; the channel slider at x 380).
    void to_slider() {
        static const int rows[4][2] = {{10, 5}, {10, 25}, {10, 45}, {380, 45}};
        const int* s = rows[pick(0, 3)];
        move(s[0] + pick(0, 144), s[1] + pick(0, 14));
    }

    void left(bool down) {
        if (down == left_down) return;
        vxtest::button(run.d(), 1, down);
        left_down = down;
        ++events;
    }

    void press_and_release() {
        to_keyboard();
        left(true);
        ++counts["presses"];
        pause(hold());
        left(false);
    }
    void glide() {
        to_keyboard();
        left(true);
        ++counts["glides"];
        for (int i = pick(1, 6); i > 0; --i) {
            pause(std::chrono::milliseconds(pick(0, 10)));
            // Mostly along the keys; now and then up onto the sliders or out of the window
            // without letting go.
            int where = pick(1, 10);
            if (where <= 7) to_keyboard();
            else if (where <= 9) to_slider();
            else to_anywhere();
        }
        pause(hold());
        left(false);
    }
    void other_button() {
        // Right or middle pressed while the left holds a key: the key is let go.
        to_keyboard();
        left(true);
        pause(std::chrono::milliseconds(pick(0, 20)));
        unsigned b = chance(50) ? 3 : 2;
        vxtest::button(run.d(), b, true);
        pause(std::chrono::milliseconds(pick(0, 20)));
        vxtest::button(run.d(), b, false);
        events += 2;
        ++counts["other buttons"];
        pause(std::chrono::milliseconds(pick(0, 10)));
        left(false);
    }
    void wheel() {
        unsigned b = static_cast<unsigned>(pick(4, 7));
        vxtest::button(run.d(), b, true);
        vxtest::button(run.d(), b, false);
        events += 2;
        ++counts["wheel steps"];
    }
    void typed_key() {
        static const unsigned long keys[] = {XK_a, XK_s, XK_z, XK_m, XK_1, XK_9, XK_space, XK_Return, XK_Left, XK_Up, XK_Shift_L, XK_F2};
        run.tap(keys[pick(0, static_cast<int>(std::size(keys)) - 1)], std::chrono::milliseconds(pick(2, 30)));
        events += 2;
        ++counts["typed keys"];
    }
    void focus_change() {
        bool holding = chance(30);
        if (holding) {
            to_keyboard();
            left(true);
        }
        vxtest::set_focus(run.d(), other);
        pause(std::chrono::milliseconds(pick(0, 40)));
        if (!holding && chance(50)) press_and_release();  // clicks while another window has the focus
        left(false);
        run.focus();
        ++counts["focus changes"];
    }
    void slider_hold() {
        to_slider();
        left(true);
        pause(std::chrono::milliseconds(pick(20, 300)));
        left(false);
        ++counts["slider holds"];
    }
    // Note Ons and Note Offs recorded so far (the file is complete after every message).
    std::pair<int, int> notes_recorded() {
        std::vector<vxtest::MidiMessage> messages;
        vxtest::read_smf(file, messages);
        int ons = 0, offs = 0;
        for (const vxtest::MidiMessage& m : messages) {
            ons += (m.status & 0xF0) == 0x90;
            offs += (m.status & 0xF0) == 0x80;
        }
        return {ons, offs};
    }
    // A tap on a white key, press and release arriving together, once the notes before it
    // have ended and the file has stayed the same for a moment: it must play.
    void quick_click() {
        std::pair<int, int> before{-1, -1};
        if (!vxtest::wait_until([&] {
                const std::pair<int, int> now = notes_recorded();
                const bool settled = now == before && now.first == now.second;
                before = now;
                if (!settled) std::this_thread::sleep_for(30ms);
                return settled;
            }, 2000ms))
            return;
        move(20 + 20 * pick(0, 34), pick(145, 165));
        vxtest::click(run.d(), 1, 0ms);
        events += 2;
        ++counts["quick clicks"];
        if (!vxtest::wait_until([&] { return notes_recorded().second > before.second; })) ++counts["quick clicks lost"];
    }
    void wander() {
        to_anywhere();
        ++counts["moves"];
    }

    void step() {
        int r = pick(1, 100);
        if (r <= 45) press_and_release();
        else if (r <= 60) glide();
        else if (r <= 66) other_button();
        else if (r <= 72) wheel();
        else if (r <= 80) typed_key();
        else if (r <= 84) focus_change();
        else if (r <= 86) slider_hold();
        else if (r <= 91) quick_click();
        else wander();
    }
};

// The program plays one key at a time: its note messages alternate On and Off, and each Off
// names the channel and note of the On before it. "" or the first break of that rule.
std::string note_pairing_problem(const std::vector<vxtest::MidiMessage>& messages, bool& ends_sounding) {
    const vxtest::MidiMessage* sounding = nullptr;
    for (size_t i = 0; i < messages.size(); ++i) {
        const vxtest::MidiMessage& m = messages[i];
        const uint8_t kind = m.status & 0xF0;
        if (kind == 0x90) {
            if (sounding)
                return "message " + std::to_string(i) + " (" + vxtest::describe(m) + ") starts a note while " + vxtest::describe(*sounding) +
                       " still sounds";
            sounding = &m;
        } else if (kind == 0x80) {
            if (!sounding) return "message " + std::to_string(i) + " (" + vxtest::describe(m) + ") ends a note that was not started";
            if ((sounding->status & 0x0F) != (m.status & 0x0F) || sounding->data1 != m.data1)
                return "message " + std::to_string(i) + " (" + vxtest::describe(m) + ") does not end " + vxtest::describe(*sounding) +
                       ", which stays stuck";
            sounding = nullptr;
        } else if (kind != 0xC0) {
            return "message " + std::to_string(i) + " (" + vxtest::describe(m) + ") is of a kind the program never sends";
        }
    }
    ends_sounding = sounding != nullptr;
    return "";
}

}  // namespace

TEST(Soak, ThousandsOfRandomActionsLeaveNoNoteStuckAndNoMemoryGrown) {
    const long seconds = setting("VX_SOAK_SECONDS", 25);
    const unsigned seed = static_cast<unsigned>(setting("VX_SOAK_SEED", 20240611));
    std::printf("soak: %ld s, seed %u (VX_SOAK_SECONDS, VX_SOAK_SEED)\n", seconds, seed);

    vxtest::PianoRun run;
    const std::string file = run.directory.file("soak.mid");
    ASSERT_EQ(run.start("smf:" + file), "");
    Soak soak{run, std::mt19937(seed), file, 0, false, {}, 0};
    soak.other = vxtest::make_other_window(run.d(), 0, 450, 100, 100);

    const auto begin = Clock::now();
    const auto end = begin + std::chrono::seconds(seconds);
    const auto early = begin + std::chrono::seconds(std::min<long>(3, seconds / 5));
    long rss_early = -1;
    long steps = 0;
    while (Clock::now() < end) {
        soak.step();
        ++steps;
        if (rss_early < 0 && Clock::now() >= early) rss_early = vxtest::resident_kib(run.program.pid());
        ASSERT_TRUE(run.program.running()) << "the program ended during the soak after " << steps << " steps: "
                                           << run.program.error_text();
    }
    soak.left(false);
    run.focus();
    run.move(360, 70);
    std::this_thread::sleep_for(100ms);
    const long rss_late = vxtest::resident_kib(run.program.pid());
    EXPECT_EQ(run.escape_and_wait(10000ms), 0) << run.program.error_text();

    std::printf("soak: %ld steps, %ld input events:", steps, soak.events);
    for (const auto& [what, n] : soak.counts) std::printf(" %d %s,", n, what.c_str());
    std::printf(" VmRSS %ld kB after %ld s, %ld kB at the end\n", rss_early, std::min<long>(3, seconds / 5), rss_late);

    std::vector<vxtest::MidiMessage> messages;
    ASSERT_EQ(vxtest::read_smf(file, messages), "");
    int ons = 0, offs = 0, programs = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        const vxtest::MidiMessage& m = messages[i];
        ASSERT_LE(m.data1, 127) << "message " << i << ": " << vxtest::describe(m);
        ASSERT_LE(m.data2, 127) << "message " << i << ": " << vxtest::describe(m);
        ons += (m.status & 0xF0) == 0x90;
        offs += (m.status & 0xF0) == 0x80;
        programs += (m.status & 0xF0) == 0xC0;
    }
    std::printf("soak: %zu messages: %d Note On, %d Note Off, %d Program Change\n", messages.size(), ons, offs, programs);
    bool ends_sounding = false;
    EXPECT_EQ(note_pairing_problem(messages, ends_sounding), "");
    EXPECT_FALSE(ends_sounding) << "the soak ends with the button up, so no note sounds at the end";
    EXPECT_GT(ons, 200) << "the soak played";
    EXPECT_GT(soak.counts["quick clicks"], seconds);
    EXPECT_EQ(soak.counts["quick clicks lost"], 0) << "of " << soak.counts["quick clicks"] << " quick clicks";
    EXPECT_GT(soak.counts["presses"] + soak.counts["glides"], 20 * seconds);
    EXPECT_GT(soak.events, 100 * seconds) << "thousands of input events in a default run";

    ASSERT_GT(rss_early, 0);
    // The sanitizers hold freed blocks back (quarantine, history), so resident memory grows by
    // design there; the leak checker at the program's exit stands in for this measure.
    if (vxtest::sanitized)
        std::printf("soak: resident growth not judged under a sanitizer\n");
    else
        EXPECT_LE(rss_late - rss_early, 1024) << "resident memory grew from " << rss_early << " kB to " << rss_late << " kB";
}
