// Input state shared by the window layer and the program: the key-code queue, the key-hit
// flag, and the input operations a graphics screen installs in the console hooks.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

constexpr int close_key_code = 0x6BFF;  // the window's close request, read as 255, 107

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

// The graphics versions of the console's input operations (auto-locked).
int mouse_get(int* x, int* y, int* wheel, int* buttons, int* clip);
int mouse_set(int x, int y, int cursor, int clip);
int key_down(int scancode);          // -1 when held, else 0
std::string key_read();              // "", one character, or 255 and the extended byte
int key_wait();
int key_ready();
void pause(int milliseconds);
int key_hit_take();

// Waiting for input instead of polling. A window layer that hears of every input change
// enables it while its window is open and calls input_arrived whenever it handled input; a
// program that found nothing to do can then sleep until something happens.
void input_waiting_enable(bool enabled);
bool input_waiting_enabled();
// The one notification that wakes a waiting program: input, a close request, a lost display,
// the window going away, or anything else that should end or change its loop.
void input_arrived();
// The count of input_arrived calls so far; take it before reading the input state.
uint64_t input_generation();
// Returns as soon as input newer than `seen` arrived, or after `milliseconds` (never, when
// negative: only input_arrived ends the wait).
void wait_input(uint64_t seen, int milliseconds);

}  // namespace vx
