// vxgfx input: the pointer and the keyboard of the screen's window, read by the program's
// thread at any time. The window's own thread keeps the state; every read takes the screen
// lock for a moment, so reads and drawing may interleave freely.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

// Reads the pointer: position in screen pixels, wheel steps, buttons (bit 0 left, 1 right,
// 2 middle, 3 and 4 the extra ones) and whether it is confined; any output may be null.
// Returns 0; or 1, every output -1, when no screen is open, the window is not active or the
// pointer is outside it. A press and release between two reads still reads as down once.
int mouse_get(int* x, int* y, int* wheel, int* buttons, int* clip);
// Moves the pointer to (x, y) of the screen (a negative x leaves it), shows (cursor 1) or hides
// (0) it over the window, confines it to the window (clip 1) or frees it (0); a negative cursor
// or clip keeps that one. Returns 0, or 1 without a screen or when the driver has no pointer
// to move; Wayland lets no program move or confine the pointer, so there it does nothing.
int mouse_set(int x, int y, int cursor, int clip);

// -1 while the key of `scancode` is held (the PC keyboard's numbers: 1 Escape, 28 Return,
// 57 Space, 72/75/77/80 the arrows), else 0; a key pressed since the last read reads as held
// once. 0 without a screen.
int key_down(int scancode);

// The window's close button, the desktop's close or Alt+F4, as key_wait returns it; key_read
// gives it as "\xFF" "k". The window stays open: the program decides.
constexpr int close_key_code = 0x6BFF;
// Takes one key from the window's queue (15 keys; a 16th drops the oldest): "" when none, one
// character (code page 437), or 255 followed by the extended byte (arrows, function keys).
std::string key_read();
// Waits for a key and returns its code: a character, or the extended byte * 256 + 255.
// 0 without a screen.
int key_wait();
// 1 when a key is queued.
int key_ready();
// Sleeps; milliseconds -1: until a key is pressed; above 99: until then or a key press;
// 1..99: the whole time.
void pause(int milliseconds);
// Whether a key was pressed since the last call (or key_read), clearing it.
int key_hit_take();

// Loops that poll: call at the start of each pass, so that two reads of the pointer in one pass
// see the same button change.
void pointer_read_begin();

// Waiting for input instead of polling, where the window's driver reports every input change
// (X11 and Wayland do; the null driver does not): take input_generation(), read the state, draw;
// when there was nothing to do, wait_input(seen, ms) returns as soon as anything newer arrived
// (input, the close request, a lost display) or after `milliseconds` (-1: no limit).
bool input_waiting_enabled();
uint64_t input_generation();
void wait_input(uint64_t seen, int milliseconds);
// Wakes a wait_input from another thread (a signal handler's thread, a worker with news).
void input_arrived();

// True once the display server went away; the close code was then queued, so a program reading
// its keys ends its loop. Its exit code should say so.
bool display_lost();

}  // namespace vx
