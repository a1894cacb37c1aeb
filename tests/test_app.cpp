// The keyboard application driven through its real loop on a scripted driver: start-up
// pixels, the MIDI bytes of presses, moves and releases, the sliders and the end test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/keyboard/instruments.h"
#include "app/midi/midi.h"
#include "app/keyboard/piano.h"
#include "display/input.h"
#include "gfx/context.h"
#include "gfx/fonts.h"
#include "gfx/image.h"
#include "gfx/pixels.h"
#include "tests/support/fake_driver.h"
#include "tests/support/keyboard.h"

using vxtest::fake;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kBackground = 0x00C8C0B8;

struct App : ::testing::Test {
    std::string midi_file;
    void* sheet = nullptr;

    void SetUp() override {
        vxtest::use_fake_driver();
        midi_file = vxtest::use_raw_midi_file("app");
        vxtest::reset_keyboard_settings();
        fake.mouse_ok = true;
        fake.mouse_buttons = 0;
        vx::key_queue_clear();
        ASSERT_TRUE(app::app_start(&sheet));
    }
    void TearDown() override {
        vxtest::end_keyboard(sheet, true, midi_file);
    }

    Bytes sent() {
        std::ifstream in(midi_file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // What was sent after the opening Program Change.
    Bytes played() {
        Bytes all = sent();
        EXPECT_GE(all.size(), 2u);
        EXPECT_EQ(all[0], 0xC0);
        EXPECT_EQ(all[1], 0x00);
        return Bytes(all.begin() + 2, all.end());
    }
    void mouse(int x, int y, int buttons) {
        fake.mouse_x = x;
        fake.mouse_y = y;
        fake.mouse_buttons = buttons;
    }
    bool pass() { return app::app_pass(sheet); }
    void press_at(int x, int y) {
        mouse(x, y, 1);
        pass();
    }
    void release() {
        mouse(fake.mouse_x, fake.mouse_y, 0);
        pass();
    }
    static uint32_t px(int x, int y) { return vxtest::screen_pixel(x, y); }

    // Every pixel of the text's 8 x 14 cells: glyph bits in `colour`, the rest in `paper`.
    static void expect_text(int x, int y, const std::string& text, uint32_t colour, uint32_t paper) {
        const vx::FontDesc& font = vx::font_8x14();
        for (size_t i = 0; i < text.size(); ++i) {
            const uint8_t* glyph = font.glyphs + static_cast<uint8_t>(text[i]) * 14;
            for (int r = 0; r < 14; ++r)
                for (int c = 0; c < 8; ++c) {
                    uint32_t want = (glyph[r] >> c) & 1 ? colour : paper;
                    int sx = x + static_cast<int>(i) * 8 + c;
                    ASSERT_EQ(px(sx, y + r), want) << "character " << i << " of \"" << text << "\" at " << sx << "," << y + r;
                }
        }
    }
    static void expect_thumb(int slider, int thumb) {
        const app::Slider& s = app::sliders[slider];
        ASSERT_EQ(s.thumb, thumb);
        int left = s.x1 + thumb;
        EXPECT_EQ(px(left + 10, s.y1), 0x333333u);
        EXPECT_EQ(px(left + 11, s.y1 + 1), 0x777777u);
        EXPECT_EQ(px(left + 12, s.y1 + 2), 0xFF0000u);
        if (thumb > 0) {
            EXPECT_EQ(px(left + 9, s.y1 + 5), 0xFFFFFFFFu) << "track left of the thumb";
        }
        if (thumb < 120) {
            EXPECT_EQ(px(left + 15, s.y1 + 5), 0xFFFFFFFFu) << "track right of the thumb";
        }
    }
};

}  // namespace

TEST_F(App, StartUpPaintsTheWholeWindow) {
    EXPECT_EQ(px(700, 60), kBackground);
    EXPECT_EQ(px(0, 0), kBackground);
    EXPECT_EQ(px(719, 189), kBackground);
    // Sliders: black buttons with red arrows, white track, thumbs at 0, 120, 59 and 0.
    for (int i = 0; i < 4; ++i) {
        const app::Slider& s = app::sliders[i];
        EXPECT_EQ(px(s.x1, s.y1), 0x000000u);
        EXPECT_EQ(px(s.x2, s.y2), 0x000000u);
        EXPECT_EQ(px(s.x1 + 10 + 100, s.y2), 0xFFFFFFFFu);
    }
    expect_thumb(0, 0);
    expect_thumb(1, 120);
    expect_thumb(2, 59);
    expect_thumb(3, 0);
    // Keys: white keys white with a two-pixel background gap, black keys black, rounded corners.
    EXPECT_EQ(px(15, 160), 0x00FFFFFFu);
    EXPECT_EQ(px(10, 160), kBackground);
    EXPECT_EQ(px(29, 160), kBackground);
    EXPECT_EQ(px(30, 160), kBackground);
    EXPECT_EQ(px(31, 160), 0x00FFFFFFu);
    EXPECT_EQ(px(28, 100), 0x00000000u);       // C#
    EXPECT_EQ(px(11, 169), kBackground);       // rounded corner of C
    EXPECT_EQ(px(12, 169), kBackground);
    EXPECT_EQ(px(11, 168), kBackground);
    EXPECT_EQ(px(13, 169), 0x00FFFFFFu);
    EXPECT_EQ(px(12, 168), 0x00FFFFFFu);
    EXPECT_EQ(px(709, 120), kBackground);      // the last column of the last key
    EXPECT_EQ(px(708, 120), 0x00FFFFFFu);
    EXPECT_EQ(px(15, 89), kBackground);
    EXPECT_EQ(px(15, 170), kBackground);
    // Captions, byte for byte in code page 437.
    if (vx::font_8x14().glyphs['A' * 14 + 2] == 0) GTEST_SKIP() << "built-in font not expanded";
    expect_text(160, 7, "Instrument: Konzertfl\x81gel", 0, kBackground);
    expect_text(160, 27, "Lautst\x84rke: 99%", 0, kBackground);
    expect_text(184, 47, "Oktaven: 2 bis 6", 0, kBackground);
    expect_text(530, 47, "Kanal: 1", 0, kBackground);
    expect_text(16, 171, "C ", 0x555555, kBackground);
    expect_text(22, 76, "#C", 0x555555, kBackground);
}

TEST_F(App, APressPlaysAndAReleaseEndsTheNote) {
    press_at(15, 150);  // C of octave 0, below the black keys
    EXPECT_EQ(px(15, 150), 0x00999999u) << "pressed picture";
    pass();  // holding still sends nothing more
    release();
    EXPECT_EQ(px(15, 150), 0x00FFFFFFu) << "resting picture";
    EXPECT_EQ(played(), (Bytes{0x90, 36, 127, 0x80, 36, 127}));
}

TEST_F(App, BlackKeysWinWhereTheyOverlapAndBoundsAreStrict) {
    press_at(26, 100);  // C# over C
    release();
    press_at(24, 100);  // the black key's own left column belongs to the white key beneath
    release();
    EXPECT_EQ(played(), (Bytes{0x90, 37, 127, 0x80, 37, 127, 0x90, 36, 127, 0x80, 36, 127}));
}

TEST_F(App, GapsOutlinesAndTheBandsAroundTheKeysStartNothing) {
    for (auto [x, y] : {std::pair{29, 150}, {30, 150}, {10, 150}, {15, 90}, {15, 70}, {15, 169}, {15, 180}}) {
        press_at(x, y);
        release();
    }
    EXPECT_TRUE(played().empty());
    // With a key sounding, moving onto a gap keeps it sounding.
    press_at(15, 150);
    press_at(29, 150);
    press_at(15, 75);
    EXPECT_EQ(played(), (Bytes{0x90, 36, 127}));
}

TEST_F(App, DraggingPlaysAGlissandoAndLeavingUpwardsReleases) {
    press_at(15, 150);   // C
    press_at(35, 150);   // D
    press_at(55, 150);   // E
    press_at(55, 100);   // still E
    press_at(55, 59);    // up into the slider band: released
    EXPECT_EQ(played(), (Bytes{0x90, 36, 127, 0x80, 36, 127, 0x90, 38, 127, 0x80, 38, 127, 0x90, 40, 127, 0x80, 40, 127}));
    EXPECT_EQ(app::sounding_key, -1);
}

TEST_F(App, OtherButtonsAndPointerLossRelease) {
    press_at(15, 150);
    mouse(15, 150, 3);  // right button added
    pass();
    press_at(15, 150);
    fake.mouse_ok = false;  // pointer left the window or it lost focus
    pass();
    EXPECT_EQ(played(), (Bytes{0x90, 36, 127, 0x80, 36, 127, 0x90, 36, 127, 0x80, 36, 127}));
}

TEST_F(App, TheOuterKeysAndTheirNotes) {
    press_at(app::keys[5].x1 + 3, 150);   // C of octave 0
    release();
    press_at(app::keys[59].x1 + 10, 150);  // B of octave 4
    release();
    EXPECT_EQ(app::keys[5].note, 0);
    EXPECT_EQ(app::keys[0].note, 1);
    EXPECT_EQ(app::keys[59].x1, 690);
    EXPECT_EQ(app::keys[59].x2, 709);
    EXPECT_EQ(played(), (Bytes{0x90, 36, 127, 0x80, 36, 127, 0x90, 95, 127, 0x80, 95, 127}));
}

TEST_F(App, VolumeSliderStartsJustBelowOneHundred) {
    EXPECT_FLOAT_EQ(app::sliders[1].value, 99.99999f);
    press_at(12, 30);  // "<"
    release();
    EXPECT_FLOAT_EQ(app::sliders[1].value, 98.99999f);
    EXPECT_EQ(app::note_velocity, 98);
    if (vx::font_8x14().glyphs['A' * 14 + 2]) expect_text(256, 27, "98%", 0, kBackground);
    press_at(150, 30);  // ">" twice: 99.99999, then clamped to exactly 100
    press_at(150, 30);
    release();
    EXPECT_EQ(app::sliders[1].value, 100.0f);
    EXPECT_EQ(app::note_velocity, 100);
    expect_thumb(1, 120);
    if (vx::font_8x14().glyphs['A' * 14 + 2]) expect_text(256, 27, "100%", 0, kBackground);
    press_at(15, 150);
    release();
    EXPECT_EQ(played(), (Bytes{0x90, 36, 100, 0x80, 36, 100}));
}

TEST_F(App, ArrowAtTheEndStillRedrawsAndTheTracksLastColumnIsAnArrow) {
    app::sliders[1].value = 100;
    press_at(10 + 134, 30);  // the track's last column acts as ">"
    release();
    EXPECT_EQ(app::sliders[1].value, 100.0f);
    expect_thumb(1, 120);
}

TEST_F(App, ChannelTrackGlideHalvesTheDistanceEachPass) {
    mouse(380 + 10 + 40, 50, 1);
    std::vector<int> thumbs;
    for (int i = 0; i < 8; ++i) {
        pass();
        thumbs.push_back(app::sliders[3].thumb);
    }
    EXPECT_EQ(thumbs, (std::vector<int>{20, 30, 35, 37, 39, 39, 40, 40}));
    EXPECT_EQ(app::sliders[3].value, 5.0f);
    EXPECT_EQ(app::midi_channel, 5);
    expect_thumb(3, 40);
    if (vx::font_8x14().glyphs['A' * 14 + 2]) expect_text(586, 47, "6", 0, kBackground);
    release();
    press_at(15, 150);
    // Each channel passed on the way is switched to once, and given the program shown.
    EXPECT_EQ(played(), (Bytes{0xC2, 0, 0xC3, 0, 0xC4, 0, 0xC5, 0, 0x95, 36, 127}));
}

TEST_F(App, BeyondTheThumbsRangeTheValueIsClamped) {
    mouse(380 + 10 + 123, 50, 1);
    for (int i = 0; i < 12; ++i) pass();
    EXPECT_EQ(app::sliders[3].value, 15.0f);
    expect_thumb(3, 120);
    EXPECT_EQ(app::midi_channel, 15);
}

// Held still, a slider repeats its value on every pass: only a change is sent, once.
TEST_F(App, HoldingTheInstrumentThumbStillSendsNothingAndEachStepOneProgramChange) {
    press_at(10 + 10 + 0, 10);  // track offset 0 = the thumb's own offset
    pass();
    pass();
    EXPECT_EQ(played(), Bytes{});
    EXPECT_EQ(app::sliders[0].value, 0.0f);
    release();
    press_at(150, 10);
    release();
    press_at(10 + 10 + 0, 10);  // program 1's thumb is where 0's was
    pass();
    EXPECT_EQ(played(), (Bytes{0xC0, 1}));
}

// A switch to another channel sends it the program the caption shows; channel 10 keeps its kit.
TEST_F(App, PercussionChannelKeepsItsCaptionAndSendsNoProgramChange) {
    app::sliders[3].value = 9;
    app::sliders[3].thumb = 72;
    press_at(380 + 10 + 72, 50);  // at the thumb: reports slider 3, changes nothing
    release();
    EXPECT_EQ(app::midi_channel, 9);
    if (vx::font_8x14().glyphs['A' * 14 + 2]) expect_text(256, 7, "Percussion", 0, kBackground);
    press_at(150, 10);  // instrument ">": moves, but no program change on channel 10
    release();
    EXPECT_EQ(app::sliders[0].value, 1.0f);
    press_at(15, 150);
    release();
    app::sliders[3].value = 4;
    app::sliders[3].thumb = 32;
    press_at(380 + 10 + 32, 50);
    release();
    EXPECT_EQ(app::midi_channel, 4);
    if (vx::font_8x14().glyphs['A' * 14 + 2]) expect_text(256, 7, "Klavier", 0, kBackground);
    EXPECT_EQ(played(), (Bytes{0x99, 36, 127, 0x89, 36, 127, 0xC4, 1}));
    // With channel 4, the instrument slider at 127 sends C4 7F.
    app::sliders[0].value = 126;
    press_at(150, 10);
    release();
    Bytes all = played();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(Bytes(all.end() - 2, all.end()), (Bytes{0xC4, 0x7F}));
}

TEST_F(App, OctaveSliderSetsTheBaseOnlyOnceMoved) {
    EXPECT_EQ(app::octave_base, 3);
    press_at(12, 50);  // "<": 1.95 shows 1
    release();
    EXPECT_EQ(app::octave_base, 1);
    if (vx::font_8x14().glyphs['A' * 14 + 2]) expect_text(256, 47, "1 bis 5", 0, kBackground);
    app::sliders[2].value = 6;
    press_at(150, 50);  // ">" at the end: 6 stays
    release();
    EXPECT_EQ(app::octave_base, 6);
    // Octave 6: the four highest keys would be notes 128..131; they send nothing.
    press_at(app::keys[59].x1 + 10, 150);
    release();
    press_at(app::keys[5].x1 + 3, 150);
    release();
    EXPECT_EQ(played(), (Bytes{0x90, 72, 127, 0x80, 72, 127}));
}

TEST_F(App, EndTestReadsEscapeAndTheCloseCodeAndDiscardsOtherKeys) {
    vx::key_queue_push('a');
    vx::key_queue_push('b');
    EXPECT_FALSE(pass());
    EXPECT_EQ(vx::key_queue_size(), 1) << "one key per pass";
    EXPECT_FALSE(pass());
    vx::key_queue_push(vx::close_key_code);
    EXPECT_TRUE(pass());
    vx::gfx_context()->key_state[1] = 1;
    EXPECT_TRUE(pass());
}

TEST(AppStart, WithoutAScreenTheProgramStopsAfterClosingMidi) {
    vxtest::use_fake_driver();
    fake.open_result = -1;  // no display reachable
    std::string file = ::testing::TempDir() + "vxpiano_noscreen.raw";
    setenv("VXMIDI", ("raw:" + file).c_str(), 1);
    void* sheet = reinterpret_cast<void*>(1);
    EXPECT_FALSE(app::app_start(&sheet));
    EXPECT_EQ(sheet, nullptr);
    EXPECT_EQ(app::midi_backend_name(), nullptr);
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), (Bytes{0xC0, 0x00}));
    unsetenv("VXMIDI");
    std::remove(file.c_str());
    vxtest::restore_drivers();
}

namespace {

struct AppInAssets : App {
    char saved[4096] = {};
    void SetUp() override {
        ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
        ASSERT_EQ(chdir(VX_SOURCE_DIR "/assets"), 0);  // the picture in the working directory
        App::SetUp();
    }
    void TearDown() override {
        App::TearDown();
        ASSERT_EQ(chdir(saved), 0);
    }
};

}  // namespace

TEST_F(AppInAssets, ThePictureIsPutWithItsMaskColourLeftOut) {
    EXPECT_STREQ(app::picture_path(), "piano_k.bmp");
    void* picture = vx::image_create(284, 36, 0, 0, 0x80000000u);
    ASSERT_EQ(vx::image_load("piano_k.bmp", picture, nullptr), 0);
    vx::ImageView view = vx::image_view(picture, 4);
    int shown = 0, left_out = 0;
    for (int y = 0; y < 36; ++y)
        for (int x = 0; x < 284; ++x) {
            uint32_t source = vx::load32(view.pixels + y * view.pitch + x * 4) & 0x00FFFFFF;
            bool blanked = y >= 5 && y <= 21 && x + 400 <= 410;  // the instrument text's box covers these
            if (blanked) continue;
            uint32_t want = source == 0xFF00FF ? kBackground : source;
            ASSERT_EQ(px(400 + x, 1 + y), want) << "picture pixel " << x << "," << y;
            (source == 0xFF00FF ? left_out : shown)++;
        }
    vx::image_destroy(picture);
    EXPECT_GT(shown, 500);
    EXPECT_GT(left_out, 500);
}
