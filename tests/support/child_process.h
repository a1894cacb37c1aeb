// A program started by a test as a user starts it: its own process, environment variables
// set, standard output read line by line, its exit awaited with a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace vxtest {

// For the test helpers that start processes: the exit code of `pid` (128 + signal when killed)
// once it has ended and is reaped, else -1 without waiting.
int reap_if_ended(pid_t pid);
// SIGKILL, then waits for it.
void kill_and_reap(pid_t pid);

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `path` with the extra environment entries ("NAME=value"; "NAME=" unsets).
    bool start(const std::string& path, const std::vector<std::string>& environment = {});
    // The next line of standard output without its newline; false at the limit or at its end.
    bool read_line(std::string& line, std::chrono::milliseconds limit = std::chrono::milliseconds(3000));
    // Reads lines until one starts with `prefix`; the line, or "" at the limit.
    std::string wait_for_line(const std::string& prefix, std::chrono::milliseconds limit = std::chrono::milliseconds(3000));
    // The exit code (128 + signal when killed), or -1 when still running at the limit.
    int wait_exit(std::chrono::milliseconds limit = std::chrono::milliseconds(3000));
    void kill();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string buffer_;
    int exit_code_ = -1;
};

}  // namespace vxtest
