// vxgfx runtime services: the result codes every operation shares, process start and exit
// with exit handlers, the last-error store, number text and a plain sleep.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

// Result codes. An operation that returns one also stores it as the last error.
enum : int {
    err_none = 0,
    err_illegal_call = 1,   // no screen, bad argument, unusable image
    err_file_open = 2,      // file cannot be opened
    err_bad_file = 3,       // unrecognised or damaged file
};

// Keeps the arguments (the default window title is the executable's name). Call once, first
// thing in main(), before anything starts a thread.
void rt_init(int argc, char** argv);

// Registers a handler for process exit. Handlers run once, newest first, at rt_exit() or when
// main() returns. The library registers screen_close() this way at the first screen opened.
void rt_atexit(void (*handler)());

// Runs the exit handlers, newest first, then ends the process with `code`.
[[noreturn]] void rt_exit(int code);

// Runs the exit handlers that have not run yet, without ending the process.
void rt_run_exit_handlers();

// The last error: the code of the last operation that stored one.
void rt_set_error(int code);
int rt_last_error();

// Single precision, 7 significant digits, no leading blank, a trailing "." removed: 99 -> "99",
// 2.95f -> "2.95", 1e10f -> "1E+10".
std::string rt_number_text(float value);

// Sleeps the whole time even when signals arrive; nothing (key presses included) cuts it short.
// pause() in <vxgfx/input.h> is the sleep a key press ends.
void rt_sleep_ms(int milliseconds);

// The executable's path as the system reports it (empty when unknown).
std::string rt_executable_path();

}  // namespace vx
