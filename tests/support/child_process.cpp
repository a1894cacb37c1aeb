#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace vxtest {

ChildProcess::~ChildProcess() {
    kill();
    for (int fd : {out_fd_, in_fd_, error_fd_})
        if (fd >= 0) close(fd);
}

bool ChildProcess::start(const std::string& path, const std::vector<std::string>& environment, ChildPipes pipes) {
    int fds[2], in[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    if (pipes.input && pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipes.errors && pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        dup2(fds[1], 1);
        if (pipes.input) dup2(in[0], 0);
        if (pipes.errors) dup2(err[1], 2);
        for (const std::string& entry : environment) {
            size_t eq = entry.find('=');
            std::string name = entry.substr(0, eq), value = eq == std::string::npos ? "" : entry.substr(eq + 1);
            if (value.empty()) unsetenv(name.c_str());
            else setenv(name.c_str(), value.c_str(), 1);
        }
        execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    out_fd_ = fds[0];
    if (pipes.input) {
        close(in[0]);
        in_fd_ = in[1];
    }
    if (pipes.errors) {
        close(err[1]);
        error_fd_ = err[0];
    }
    pid_ = child;
    exit_code_ = -1;
    return true;
}

bool ChildProcess::read_line(std::string& line, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        size_t newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || out_fd_ < 0) return false;
        pollfd p{out_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[512];
        ssize_t n = read(out_fd_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

std::string ChildProcess::wait_for_line(const std::string& prefix, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!read_line(line, left)) return {};
        if (line.rfind(prefix, 0) == 0) return line;
    }
    return {};
}

bool ChildProcess::write_line(const std::string& line) {
    if (in_fd_ < 0) return false;
    const std::string text = line + "\n";
    return write(in_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::close_input() {
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
}

std::string ChildProcess::error_text() {
    read_available(error_fd_, errors_);
    return errors_;
}

void read_available(int fd, std::string& text) {
    if (fd < 0) return;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
}

int reap_if_ended(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void kill_and_reap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

int ChildProcess::wait_exit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return exit_code_;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (int code = reap_if_ended(pid_); code >= 0) {
            pid_ = -1;
            exit_code_ = code;
            return exit_code_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ChildProcess::kill() {
    if (pid_ <= 0) return;
    kill_and_reap(pid_);
    pid_ = -1;
}

}  // namespace vxtest
