// SIGINT, SIGTERM and SIGHUP taken by sigwait on a thread of their own: no handler runs
// inside interrupted code, so the request can use locks and wake the program's input wait.
#include "app/common/close_request.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <thread>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vxgfx/input.h>
#include <vxgfx/runtime.h>

namespace app {

namespace {

std::atomic<bool> requested{false};
std::atomic<bool> notified{false};  // the request's wake-ups are done
std::atomic<int> request_fd{-1};

sigset_t close_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

void take_signals(sigset_t set) {
    for (;;) {
        int signal_number = 0;
        if (sigwait(&set, &signal_number) != 0) continue;
        if (requested.exchange(true)) {
            // Asked twice: the program did not end on the first request, so a second Ctrl+C
            // still gets the user out, the way it would without this thread.
            std::signal(signal_number, SIG_DFL);
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            raise(signal_number);
            continue;
        }
        const uint64_t one = 1;
        const int fd = request_fd.load();
        if (fd >= 0 && write(fd, &one, sizeof one) < 0 && errno != EAGAIN) {
            // Nothing to do: the flag is set and the input notification below still wakes
            // the loop.
        }
        // The flag is set before the notification, so a pass that took its input generation
        // earlier either sees the flag or is woken by the new generation.
        vx::input_arrived();
        notified.store(true, std::memory_order_release);
    }
}

// At exit, before the input notification is destroyed: a request's wake-up may still be
// under way on the signal thread, and must be over first.
void settle_at_exit() {
    if (!requested.load()) return;
    while (!notified.load(std::memory_order_acquire)) std::this_thread::yield();
}

}  // namespace

void close_request_watch() {
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return;
    sigset_t set = close_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    request_fd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    vx::rt_atexit(settle_at_exit);
    std::thread(take_signals, set).detach();
}

bool close_requested() { return requested.load(); }

int close_request_fd() { return request_fd.load(); }

}  // namespace app
