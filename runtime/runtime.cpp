// Process start and exit, the last-error store, number-to-text and the plain sleep.
#include "runtime/runtime.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include <unistd.h>

namespace vx {

bool rt_legacy_header_mode = false;

namespace {

std::mutex exit_mutex;
std::vector<void (*)()> exit_handlers;
bool exit_hook_registered = false;
thread_local int last_error = 0;
std::string executable_path;

}  // namespace

void rt_init(int, char**) {
    executable_path = rt_executable_path();
}

void rt_run_exit_handlers() {
    for (;;) {
        void (*handler)() = nullptr;
        {
            std::lock_guard lock(exit_mutex);
            if (exit_handlers.empty()) return;
            handler = exit_handlers.back();
            exit_handlers.pop_back();
        }
        handler();
    }
}

void rt_atexit(void (*handler)()) {
    std::lock_guard lock(exit_mutex);
    exit_handlers.push_back(handler);
    if (!exit_hook_registered) {
        exit_hook_registered = true;
        std::atexit(rt_run_exit_handlers);
    }
}

void rt_exit(int code) {
    rt_run_exit_handlers();
    std::fflush(nullptr);
    std::exit(code);
}

void rt_set_error(int code) { last_error = code; }
int rt_last_error() { return last_error; }

std::string rt_number_text(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7G", static_cast<double>(value));
    std::string out = text;
    if (!out.empty() && out.back() == '.') out.pop_back();
    return out;
}

void rt_sleep_ms(int milliseconds) {
    if (milliseconds <= 0) return;
    timespec want{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

std::string rt_executable_path() {
    if (!executable_path.empty()) return executable_path;
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, static_cast<size_t>(n));
}

}  // namespace vx
