// Program flow: MIDI first, then the 720 x 190 screen painted once (picture, keys, labels,
// sliders with captions), then one pass of the polling loop at a time, then shut-down.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

#include "app/common/close_request.h"
#include "app/keyboard/draw.h"
#include "app/keyboard/icon.h"
#include "app/keyboard/instruments.h"
#include "app/keyboard/message_box.h"
#include "app/keyboard/piano.h"
#include "app/midi/midi.h"
#include "app/midi/midi_input.h"
#include <vxgfx/icon.h>
#include <vxgfx/input.h>
#include <vxgfx/image.h>
#include <vxgfx/console.h>
#include <vxgfx/screen.h>
#include <vxgfx/draw.h>
#include <vxgfx/text.h>
#include <vxgfx/runtime.h>

#ifndef VXPIANO_DATA_DIR
#define VXPIANO_DATA_DIR "/usr/local/share/vxpiano"
#endif

namespace app {
namespace {

constexpr const char* picture_name = "piano_k.bmp";
constexpr int percussion_channel = 9;
// The program the current channel was last sent (the opening Program Change: 0). A slider held
// still repeats its value on every pass; only a change is sent.
int32_t channel_program = 0;
// Keys the MIDI input pressed or let go are drawn at most once a frame of the window layer's:
// a flood of notes costs one drawing of the keys per frame, not one per note.
constexpr auto keys_frame = std::chrono::milliseconds(10);
std::chrono::steady_clock::time_point keys_shown_at{};
bool keys_to_show = false;

void blank(int32_t x1, int32_t y1, int32_t x2, int32_t y2) { fill_box(screen, x1, y1, x2, y2, background_colour); }

// The whole part of a slider's value as text.
int32_t whole(int32_t slider) { return static_cast<int32_t>(sliders[slider].value); }
std::string number(int32_t n) { return vx::rt_number_text(static_cast<float>(n)); }

std::string volume_text() { return number(whole(1)) + "%"; }
std::string octave_text() { return number(whole(2)) + " bis " + number(whole(2) + 4); }
std::string channel_text() { return number(whole(3) + 1); }

// The instrument slider's value is the channel's program: shown in the caption and sent,
// except on the percussion channel, which keeps its kit.
void instrument_chosen() {
    if (midi_channel == percussion_channel) return;
    blank(254, 6, 410, 22);
    text(instrument_name(whole(0)), 256, 7);
    if (whole(0) != channel_program) {
        channel_program = whole(0);
        midi_program_change(channel_program);
    }
}

// A Program Change from the input, sent already, moves the instrument slider as a click would.
void instrument_from_input(int program, int sent_on) {
    if (sent_on == midi_channel) channel_program = program;
    slider_draw_thumb(0, 0);
    sliders[0].value = static_cast<float>(program);
    slider_clamp(0);
    slider_draw_thumb(0, 1);
    instrument_chosen();
}

// Milliseconds until the keys may be drawn again, after drawing them if they may now; -1 when
// nothing waits to be drawn.
int show_held_keys(void* key_sheet) {
    if (!keys_to_show) return -1;
    const auto now = std::chrono::steady_clock::now();
    if (now - keys_shown_at < keys_frame)
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(keys_frame - (now - keys_shown_at)).count());
    keys_show_held(key_sheet);
    keys_shown_at = now;
    keys_to_show = false;
    return -1;
}

void draw_picture() {
    void* picture = masked_image(284, 36);
    vx::image_load(picture_path(), picture, nullptr);
    put_masked(screen, 400, 1, picture, vx::whole_image, 0, 0, 0);
    vx::image_destroy(picture);
}

}  // namespace

const char* picture_path() {
    static std::string found;
    if (access(picture_name, R_OK) == 0) return picture_name;
    std::string exe = vx::rt_executable_path();
    size_t slash = exe.find_last_of('/');
    if (slash != std::string::npos) {
        found = exe.substr(0, slash + 1) + picture_name;
        if (access(found.c_str(), R_OK) == 0) return found.c_str();
    }
    char installed[4096];
    std::snprintf(installed, sizeof installed, "%s/%s", VXPIANO_DATA_DIR, picture_name);
    found = installed;
    if (access(found.c_str(), R_OK) == 0) return found.c_str();
    return picture_name;
}

bool app_start(void** key_sheet_out) {
    *key_sheet_out = nullptr;
    midi_failure_box = message_box;
    midi_open();
    channel_program = 0;
    vx::set_program_icon(piano_icon());
    if (vx::screen_res(720, 190, 32, 0, 4, 0) != 0) {
        // Without a screen the loop would poll an invisible window forever.
        const char* x11 = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        std::fprintf(stderr, "vxpiano: cannot open the window (is a display reachable? DISPLAY=%s WAYLAND_DISPLAY=%s)\n",
                     x11 ? x11 : "", wayland ? wayland : "");
        midi_close();
        return false;
    }
    vx::ScreenInfo info;
    vx::screen_info(&info);
    vx::gfx_width(info.width / 8, info.height / 14);
    vx::gfx_color(0, background_colour, 0);
    vx::gfx_cls(vx::cls_no_argument);

    draw_picture();

    void* key_sheet = masked_image(160, 80);
    *key_sheet_out = key_sheet;
    keys_draw_sprites(key_sheet);
    keys_layout(10, 90);
    for (int32_t i = 0; i < key_count; ++i) key_draw(key_sheet, i, keys[i].kind);
    keys_draw_labels(10, 90);

    slider_init(0, 10, 5, 0, 127, 0);
    text(std::string("Instrument: ") + instrument_name(whole(0)), 160, 7);
    slider_init(1, 10, 25, 0, 100, 120);
    text("Lautst\x84rke: " + volume_text(), 160, 27);
    slider_init(2, 10, 45, 0, 6, 59);
    text("Oktaven: " + octave_text(), 184, 47);
    slider_init(3, 380, 45, 0, 15, 0);
    text("Kanal: " + channel_text(), 530, 47);
    keys_to_show = false;
    // Listening starts once the keys it shows are drawn.
    midi_input_open();
    return true;
}

bool app_pass(void* key_sheet) {
    const uint64_t input_seen = vx::input_generation();
    const MidiInputPass played = midi_input_pass();
    keys_to_show |= played.keys_changed;
    if (played.program >= 0) instrument_from_input(played.program, played.program_channel);
    vx::pointer_read_begin();
    keys_mouse(key_sheet);
    const int32_t slider = slider_mouse();
    switch (slider) {
        case 0: instrument_chosen(); break;
        case 1:
            blank(254, 24, 290, 40);
            text(volume_text(), 256, 27);
            note_velocity = whole(1);
            break;
        case 2:
            blank(254, 44, 320, 60);
            text(octave_text(), 256, 47);
            octave_base = whole(2);
            keys_to_show = true;  // the input's notes are on other keys now
            break;
        case 3:
            blank(584, 44, 620, 60);
            text(channel_text(), 586, 47);
            blank(254, 6, 410, 22);
            text(whole(3) == percussion_channel ? "Percussion" : instrument_name(whole(0)), 256, 7);
            if (whole(3) == midi_channel) break;
            keys_to_show = true;
            // The input's notes end on the channel they sound on, and the new channel gets the
            // program the caption shows (the percussion channel keeps its kit), before it hears
            // anything of the input.
            if (whole(3) != percussion_channel) channel_program = whole(0);
            midi_input_set_channel(whole(3), whole(3) != percussion_channel ? channel_program : -1);
            break;
        default: break;
    }
    // A pass that found the input unchanged, no slider held and no key waiting would only be
    // repeated as it is: where the window layer reports every change (and a close request, from
    // the window or a signal, or a lost display), sleep until one comes.
    const int keys_due_ms = show_held_keys(key_sheet);
    if (slider < 0 && vx::input_waiting_enabled() && !vx::key_ready() && !close_requested())
        vx::wait_input(input_seen, keys_due_ms);
    else vx::pause(1);
    // Both reads on every pass: each pass takes at most one buffered key and discards it.
    bool escape = vx::key_down(1) != 0;
    std::string key = vx::key_read();
    return escape || key == std::string("\xFF\x6B") || close_requested();
}

void app_stop(void* key_sheet) {
    // The input's notes end before the output closes, whichever way the loop ended.
    midi_input_close();
    if (key_sheet) vx::image_destroy(key_sheet);
    midi_close();
}

}  // namespace app
