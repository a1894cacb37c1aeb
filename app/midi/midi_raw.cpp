// Raw MIDI back end: the bytes of each message written to a file, a FIFO or a raw MIDI device.
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "app/midi/midi.h"
#include "app/midi/midi_backend.h"
#include <vxgfx/runtime.h>

namespace app {

namespace {

int raw_fd = -1;

// A FIFO opened for writing has to have a reader; give one that is just starting a moment.
constexpr int fifo_reader_wait_ms = 1000;
// A reader that stops reading fills the pipe; a send then waits this long before giving up,
// so the program keeps playing instead of hanging on a stuck destination.
constexpr int full_destination_wait_ms = 20;

}  // namespace

int raw_open(const char* arg, int flags) {
    if (arg == nullptr || *arg == '\0') {
        if (!(flags & midi_open_probe)) midi_set_reason("raw needs a path: VXMIDI=raw:PATH");
        return 1;
    }
    midi_ignore_signal(SIGPIPE);
    // Non-blocking, so neither a FIFO without a reader nor a busy device can stop the start.
    const int open_flags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = -1;
    for (int waited = 0;; waited += 10) {
        fd = ::open(arg, open_flags, 0644);
        if (fd >= 0 || errno != ENXIO || waited >= fifo_reader_wait_ms) break;
        vx::rt_sleep_ms(10);
    }
    if (fd < 0) {
        if (errno == ENXIO)
            midi_set_reason("raw MIDI output %s: no process is reading it", arg);
        else
            midi_set_reason("raw MIDI output %s: %s", arg, std::strerror(errno));
        return 1;
    }
    raw_fd = fd;
    return 0;
}

int raw_send(const uint8_t* bytes, int count) {
    if (raw_fd < 0) return midi_send_failed;
    auto deadline = std::chrono::steady_clock::time_point{};
    while (count > 0) {
        ssize_t written = ::write(raw_fd, bytes, static_cast<size_t>(count));
        if (written > 0) {
            bytes += written;
            count -= static_cast<int>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            auto now = std::chrono::steady_clock::now();
            if (deadline == std::chrono::steady_clock::time_point{})
                deadline = now + std::chrono::milliseconds(full_destination_wait_ms);
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            if (left.count() <= 0) return midi_send_failed;
            pollfd writable{raw_fd, POLLOUT, 0};
            ::poll(&writable, 1, static_cast<int>(left.count()) + 1);
            continue;
        }
        // EPIPE (the reader left), EIO (a device unplugged), ENOSPC...: the message is lost
        // and the next one tries again.
        return midi_send_failed;
    }
    return midi_sent;
}

void raw_close() {
    if (raw_fd >= 0) ::close(raw_fd);
    raw_fd = -1;
}

}  // namespace app
