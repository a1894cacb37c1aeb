// Runtime services the graphics library and the program share: process start and exit with
// exit handlers, the last-error store, number-to-text and the plain millisecond sleep.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

// Result codes stored as the last error.
enum : int {
    err_none = 0,
    err_illegal_call = 1,   // no screen, bad argument, unusable image
    err_file_open = 2,      // file cannot be opened
    err_bad_file = 3,       // unrecognised or damaged file
};

// Keeps the arguments for later queries; call once at the start of main().
void rt_init(int argc, char** argv);

// Registers a handler for process exit. Handlers run once, newest first, at rt_exit() or when
// main() returns.
void rt_atexit(void (*handler)());

// Runs the exit handlers, newest first, then ends the process with the code.
[[noreturn]] void rt_exit(int code);

// Runs the exit handlers that have not run yet, without ending the process.
void rt_run_exit_handlers();

void rt_set_error(int code);
int rt_last_error();

// Single precision, 7 significant digits, no leading blank, a trailing "." removed: 99 -> "99",
// 2.95f -> "2.95", 1e10f -> "1E+10".
std::string rt_number_text(float value);

// Sleeps the whole time even when signals arrive; nothing (key presses included) cuts it short.
void rt_sleep_ms(int milliseconds);

// The executable's path as the system reports it (empty when unknown).
std::string rt_executable_path();

// Set by programs that want the 4-byte legacy image header; this program never sets it.
extern bool rt_legacy_header_mode;

}  // namespace vx
