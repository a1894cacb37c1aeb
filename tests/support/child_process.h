// A program started by a test as a user starts it: its own process, environment variables
// set, standard output read line by line, its exit awaited with a time limit; on request,
// lines written to its standard input and its standard error collected.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/clock.h"

namespace vxtest {

// For the test helpers that start processes: the exit code of `pid` (128 + signal when killed)
// once it has ended and is reaped, else -1 without waiting.
int reap_if_ended(pid_t pid);
// SIGKILL, then waits for it.
void kill_and_reap(pid_t pid);
// Appends to `text` what the non-blocking descriptor `fd` holds now (all of it once the
// writer has ended).
void read_available(int fd, std::string& text);

// The streams beyond standard output that the test takes over; the others stay the test's.
struct ChildPipes {
    bool input = false;
    bool errors = false;
};

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `path` with the extra environment entries ("NAME=value"; "NAME=" unsets).
    bool start(const std::string& path, const std::vector<std::string>& environment = {}, ChildPipes pipes = {});
    // One line to its standard input; false when it cannot take it (it has ended).
    bool write_line(const std::string& line);
    // Its standard input reaches its end.
    void close_input();
    // The next line of standard output without its newline; false at the limit or at its end.
    bool read_line(std::string& line, std::chrono::milliseconds limit = patience);
    // Reads lines until one starts with `prefix`; the line, or "" at the limit.
    std::string wait_for_line(const std::string& prefix, std::chrono::milliseconds limit = patience);
    // The exit code (128 + signal when killed), or -1 when still running at the limit.
    int wait_exit(std::chrono::milliseconds limit = patience);
    void kill();
    pid_t pid() const { return pid_; }
    // Everything it wrote to standard error so far (all of it once it has ended).
    std::string error_text();

private:
    pid_t pid_ = -1;
    int out_fd_ = -1, in_fd_ = -1, error_fd_ = -1;
    std::string errors_;
    std::string buffer_;
    int exit_code_ = -1;
};

}  // namespace vxtest
