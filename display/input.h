// Input state the window layer keeps and the program's reads (<vxgfx/input.h>) take from: the
// key-code queue, the key-hit flag, the pointer state and its recorded button changes.
#pragma once

#include <cstdint>
#include <string>

#include <vxgfx/input.h>

namespace vx {

// Pushes a key code (a character 0..255, or extended byte * 256 + 255). The queue holds 15
// codes; a 16th drops the oldest. Sets the key-hit flag. Call with the screen lock held.
void key_queue_push(int code);
// Pops one code, 0 when empty. Call with the screen lock held.
int key_queue_pop();
int key_queue_size();
void key_queue_clear();

// Pointer state kept by the window layer.
struct PointerState {
    int x = 0, y = 0;
    int buttons = 0;   // bit 0 left, 1 right, 2 middle, 3 and 4 extra
    int wheel = 0, hwheel = 0;
    int inside = 0;
    int last_screen_x = 0xFFFF, last_screen_y = 0;
    int tracked = 0;
    int cursor_visible = 1;
    int clip = 0;
};
extern PointerState pointer_state;

// No lost press. A press and its release can both arrive between two reads of the program (a
// touchpad tap, a quick key tap on a busy machine). The window layer records every button
// change with the pointer's position at it, and each pointer read takes the oldest one not yet
// read, so such a press reads as down once and as up on the next read; a key pressed since
// key_down last read it reads as down once. The window layer calls these with the screen lock
// held.
void pointer_button_pressed(int bit);
void pointer_button_released(int bit);
// The oldest button change no read has taken yet: false when there is none (the read then
// reports the pointer as it is).
bool pointer_change_take(int* x, int* y, int* buttons);
void pointer_changes_clear();
// Sets key_state[scancode] of the graphics context; a press is also latched for key_down.
void key_state_set(int scancode, bool down);
// Forgets the recorded changes and latched presses (focus changed, the window went away).
void input_latches_clear();

// Waiting for input instead of polling. A window layer that hears of every input change
// enables it while its window is open and calls input_arrived whenever it handled input; a
// program that found nothing to do can then sleep until something happens.
void input_waiting_enable(bool enabled);

}  // namespace vx
