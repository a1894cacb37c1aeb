// The on-screen piano: the sprite sheet of eight key pictures, the layout of the 60 keys, the
// note names, playing one key at a time with the left mouse button, and showing the keys the
// MIDI input holds.
#include "app/keyboard/draw.h"
#include "app/midi/midi.h"
#include "app/midi/midi_input.h"
#include "app/keyboard/piano.h"
#include <vxgfx/input.h>
#include <vxgfx/image.h>

namespace app {

PianoKey keys[key_count];
int32_t sounding_key = -1;

namespace {

constexpr uint32_t mask_colour = 0xFF00FF;
constexpr uint32_t white = 0xFFFFFF;
constexpr uint32_t pressed_white = 0x999999;
constexpr uint32_t black = 0x000000;
constexpr uint32_t pressed_black = 0x555555;
constexpr uint32_t label_colour = 0x555555;

// Offsets of the twelve semitones within an octave, and their picture kinds.
constexpr int32_t semitone_offset[12] = {0, 14, 20, 34, 40, 60, 74, 80, 94, 100, 114, 120};
constexpr int32_t semitone_kind[12] = {0, 3, 1, 3, 2, 0, 3, 1, 3, 1, 3, 2};

// Source rectangles of the eight pictures in the sheet (inclusive corners).
struct Rect {
    int32_t x1, y1, x2, y2;
};
constexpr Rect picture[8] = {
    {0, 0, 19, 79},   {20, 0, 39, 79},   {40, 0, 59, 79},   {64, 0, 75, 51},
    {80, 0, 99, 79},  {100, 0, 119, 79}, {120, 0, 139, 79}, {144, 0, 155, 51},
};

// The six pixels that round the lower corners of a box.
void corner_set(void* sheet, int32_t a, int32_t d, int32_t c, uint32_t colour) {
    dot(sheet, a, d, colour);
    dot(sheet, c, d, colour);
    dot(sheet, a, d - 1, colour);
    dot(sheet, c, d - 1, colour);
    dot(sheet, a + 1, d, colour);
    dot(sheet, c - 1, d, colour);
}

void box_with_corners(void* sheet, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t fill, uint32_t corners) {
    fill_box(sheet, x1, y1, x2, y2, fill);
    corner_set(sheet, x1, y2, x2, corners);
}

void label(const char* name, int32_t x, int32_t y) { text(name, x, y, label_colour); }

// Whether each key is drawn pressed now.
bool shown_pressed[key_count];

// A key is pressed while the mouse or the input holds it: one letting go leaves it pressed.
bool input_holds(int32_t i) { return midi_input_held(octave_base * 12 + keys[i].note); }
int32_t key_picture(int32_t i) { return keys[i].kind + (i == sounding_key || input_holds(i) ? 4 : 0); }

}  // namespace

void keys_draw_sprites(void* sheet) {
    for (int32_t i = 0; i < 3; ++i) box_with_corners(sheet, 20 * i + 1, 0, 20 * i + 18, 79, white, mask_colour);
    for (int32_t i = 0; i < 3; ++i) box_with_corners(sheet, 20 * i + 81, 0, 20 * i + 98, 79, pressed_white, mask_colour);
    for (int32_t i = 1; i <= 2; ++i) box_with_corners(sheet, 20 * i - 6, 0, 20 * i + 5, 51, mask_colour, white);
    for (int32_t i = 1; i <= 2; ++i) box_with_corners(sheet, 20 * i + 74, 0, 20 * i + 85, 51, mask_colour, pressed_white);
    box_with_corners(sheet, 64, 0, 75, 51, black, mask_colour);
    box_with_corners(sheet, 144, 0, 155, 51, pressed_black, mask_colour);
}

void keys_layout(int32_t x, int32_t y) {
    int32_t k = 0;
    for (int32_t octave = 0; octave < 5; ++octave) {
        int32_t ox = x + 140 * octave;
        for (int white_keys = 0; white_keys < 2; ++white_keys)
            for (int32_t semitone = 0; semitone < 12; ++semitone) {
                int32_t offset = semitone_offset[semitone];
                bool is_white = offset % 10 == 0;
                if (is_white != (white_keys == 1)) continue;
                keys[k++] = {ox + offset, y, ox + offset + (is_white ? 19 : 11), y + (is_white ? 79 : 51),
                             semitone_kind[semitone], 12 * octave + semitone};
            }
    }
}

void key_draw(void* sheet, int32_t i, int32_t state) {
    if (state < 0 || state > 7 || i < 0 || i >= key_count) return;
    const Rect& r = picture[state];
    shown_pressed[i] = state >= 4;
    put_masked(screen, keys[i].x1, keys[i].y1, sheet, r.x1, r.y1, r.x2, r.y2);
}

void keys_draw_labels(int32_t x, int32_t y) {
    for (int32_t octave = 0; octave < 5; ++octave) {
        int32_t ox = x + 140 * octave;
        label("C ", ox + 6, y + 81);
        label("#C", ox + 12, y - 14);
        label("D", ox + 26, y + 81);
        label("#D", ox + 32, y - 14);
        label("E", ox + 46, y + 81);
        label("F", ox + 66, y + 81);
        label("#F", ox + 72, y - 14);
        label("G", ox + 86, y + 81);
        label("#G", ox + 92, y - 14);
        label("A", ox + 106, y + 81);
        label("#A", ox + 112, y - 14);
        label("B", ox + 126, y + 81);
    }
}

int32_t keys_mouse(void* sheet) {
    int x = 0, y = 0, wheel = 0, buttons = 0, clip = 0;
    vx::mouse_get(&x, &y, &wheel, &buttons, &clip);
    if (buttons == 1 && y > 59) {
        for (int32_t h = 0; h < key_count; ++h) {
            const PianoKey& key = keys[h];
            // Strict bounds: a key's outline pixels do not belong to it.
            if (!(key.x1 < x && x < key.x2 && key.y1 < y && y < key.y2)) continue;
            if (sounding_key == -1) {
                sounding_key = h;
                key_draw(sheet, h, key.kind + 4);
                midi_note_on(key.note);
            } else if (h != sounding_key) {
                int32_t j = sounding_key;
                sounding_key = h;
                key_draw(sheet, j, key_picture(j));
                midi_note_off(keys[j].note);
                key_draw(sheet, h, key.kind + 4);
                midi_note_on(key.note);
            }
            break;
        }
    } else if (sounding_key >= 0) {
        int32_t j = sounding_key;
        sounding_key = -1;
        key_draw(sheet, j, key_picture(j));
        midi_note_off(keys[j].note);
    }
    return -1;
}

void keys_show_held(void* sheet) {
    for (int32_t i = 0; i < key_count; ++i) {
        const int32_t wanted = key_picture(i);
        if ((wanted >= 4) != shown_pressed[i]) key_draw(sheet, i, wanted);
    }
}

}  // namespace app
