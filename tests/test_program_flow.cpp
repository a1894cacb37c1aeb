// The program's loop when the pointer moves between the two reads of one pass: the keys read
// it on the keyboard, the sliders a moment later on a slider. A person's fast flick from a
// held key up onto a slider does that now and then; the note must still end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/midi/midi.h"
#include "app/keyboard/piano.h"
#include "display/input.h"
#include "tests/support/fake_driver.h"
#include "tests/support/keyboard.h"

using Bytes = std::vector<uint8_t>;

namespace {

struct PointerRead {
    int x, y, buttons;
};
// Each mouse read takes the next entry; the last one stays.
std::deque<PointerRead> script;

int scripted_read_mouse(int* x, int* y, int* wheel, int* buttons, int* clip) {
    const PointerRead r = script.front();
    if (script.size() > 1) script.pop_front();
    *x = r.x;
    *y = r.y;
    *wheel = 0;
    *buttons = r.buttons;
    *clip = 0;
    return 0;
}

const vx::DisplayDriver scripted_driver = [] {
    vx::DisplayDriver d = vxtest::fake_driver;
    d.name = "Scripted";
    d.read_mouse = scripted_read_mouse;
    return d;
}();
const vx::DisplayDriver* const scripted_list[] = {&scripted_driver};

struct SplitPass : ::testing::Test {
    std::string midi_file;
    void* sheet = nullptr;

    void SetUp() override {
        vxtest::use_fake_driver();
        vx::set_display_drivers(scripted_list);
        midi_file = vxtest::use_raw_midi_file("flow");
        vxtest::reset_keyboard_settings();
        vx::key_queue_clear();
        script = {{360, 70, 0}};
        ASSERT_TRUE(app::app_start(&sheet));
    }
    void TearDown() override {
        vxtest::end_keyboard(sheet, true, midi_file);
    }
    Bytes played() {
        std::ifstream in(midi_file, std::ios::binary);
        Bytes all((std::istreambuf_iterator<char>(in)), {});
        return all.size() >= 2 ? Bytes(all.begin() + 2, all.end()) : Bytes{};
    }
    // One pass whose key read and slider read see different points.
    void pass(PointerRead keys_read, PointerRead sliders_read) {
        script = {keys_read, sliders_read};
        app::app_pass(sheet);
    }
};

constexpr PointerRead on_c = {20, 150, 1};

}  // namespace

TEST_F(SplitPass, ANoteStartedJustBeforeAChannelChangeEndsOnItsOwnChannel) {
    pass(on_c, {519, 50, 1});  // the channel slider's ">" : channel 2 from now on
    ASSERT_EQ(app::midi_channel, 1);
    pass({519, 50, 1}, {519, 50, 0});  // the keys now see the pointer above them: release
    EXPECT_EQ(played(), (Bytes{0x90, 36, 127, 0xC1, 0, 0x80, 36, 127})) << "the Note Off must end the note that sounds";
    // The next note uses the new channel.
    pass(on_c, on_c);
    pass({20, 150, 0}, {20, 150, 0});
    Bytes all = played();
    ASSERT_EQ(all.size(), 14u);
    EXPECT_EQ(Bytes(all.begin() + 8, all.end()), (Bytes{0x91, 36, 127, 0x81, 36, 127}));
}

TEST_F(SplitPass, ANoteStartedJustBeforeAnOctaveChangeEndsWithItsOwnNumber) {
    pass(on_c, {15, 50, 1});  // the octave slider's "<": 1 from now on
    ASSERT_EQ(app::octave_base, 1);
    pass({15, 50, 1}, {15, 50, 0});
    EXPECT_EQ(played(), (Bytes{0x90, 36, 127, 0x80, 36, 127}));
    pass(on_c, on_c);
    pass({20, 150, 0}, {20, 150, 0});
    Bytes all = played();
    ASSERT_EQ(all.size(), 12u);
    EXPECT_EQ(Bytes(all.begin() + 6, all.end()), (Bytes{0x90, 12, 127, 0x80, 12, 127}));
}

TEST_F(SplitPass, AGlideAfterAnOctaveChangeEndsTheOldNoteAndStartsTheNewOne) {
    pass(on_c, {15, 50, 1});
    // Still held, the keys see D next: C ends as it started, D starts in the new octave.
    pass({40, 150, 1}, {40, 150, 1});
    pass({40, 150, 0}, {40, 150, 0});
    EXPECT_EQ(played(), (Bytes{0x90, 36, 127, 0x80, 36, 127, 0x90, 14, 127, 0x80, 14, 127}));
}
