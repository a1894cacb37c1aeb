// The keyboard application's state and widgets: the piano keys, the sliders, and the program
// flow (start-up, one pass of the polling loop, shut-down).
#pragma once

#include <cstdint>

namespace app {

// One piano key: edges on the screen, picture kind 0..3 (pressed = kind + 4), key note 0..59.
struct PianoKey {
    int32_t x1, y1, x2, y2;
    int32_t kind;
    int32_t note;
};

// One slider: a 145 x 15 control whose thumb offset (0..120) follows its value.
struct Slider {
    int32_t x1, y1, x2, y2;
    float value;
    float scale;  // pixels per unit of value
    float max;
    float min;
    int32_t thumb;
};

constexpr int key_count = 60;
constexpr int slider_count = 4;
constexpr uint32_t background_colour = 0xC8C0B8;

extern PianoKey keys[key_count];
extern int32_t sounding_key;
extern Slider sliders[slider_count];

// Piano keyboard.
void keys_draw_sprites(void* sheet);
void keys_layout(int32_t x, int32_t y);
void key_draw(void* sheet, int32_t i, int32_t state);
void keys_draw_labels(int32_t x, int32_t y);
int32_t keys_mouse(void* sheet);
// Draws each key that is not shown as the mouse and the MIDI input hold it (pressed while
// either does), and no other.
void keys_show_held(void* sheet);

// Sliders.
void slider_init(int32_t index, int32_t x, int32_t y, float min, float max, int32_t thumb);
void slider_draw(int32_t index);
void slider_draw_thumb(int32_t index, int32_t show);
void slider_clamp(int32_t index);
int32_t slider_mouse();

// Program flow. app_start opens MIDI and the screen and paints the window, handing out the
// key sheet; false when the screen could not be opened (MIDI is then closed again).
bool app_start(void** key_sheet);
// One pass of the polling loop; true when the program should end.
bool app_pass(void* key_sheet);
// Frees the sheet and closes MIDI.
void app_stop(void* key_sheet);

// Where the title picture is looked for: the working directory, beside the executable, then
// the installed data directory. Returns the first path that exists, or the bare name.
const char* picture_path();

}  // namespace app
