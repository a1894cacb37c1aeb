// The built vxpiano started as a user starts it (its own process, a working directory holding
// the picture, only DISPLAY, VXGFX and VXMIDI set for it), its window on a private X server,
// the frame it must show (computed in the test's process by the same start-up on the fake
// driver), and the MIDI it sent, read back from a Standard MIDI File or a FIFO.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace vxtest {

// build/app/vxpiano, and the picture the project ships.
std::string program_executable();
std::string shipped_picture();

bool copy_file(const std::string& from, const std::string& to);

// What the test hands the program beyond its environment.
struct ProgramLimits {
    long file_size = -1;  // RLIMIT_FSIZE in bytes; -1 leaves it alone
    // False: the program may not raise a thread to real-time priority itself, as a desktop
    // user may not (no CAP_SYS_NICE, RLIMIT_RTPRIO 0).
    bool realtime_rights = true;
};

// One run of the program. The environment is the test's own without DISPLAY, WAYLAND_DISPLAY,
// VXGFX and VXMIDI, plus the given entries ("NAME=value"; "NAME=" leaves NAME unset).
class Program {
public:
    Program() = default;
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool start(const std::string& directory, const std::vector<std::string>& environment, const ProgramLimits& limits = {});
    pid_t pid() const { return pid_; }
    std::chrono::steady_clock::time_point started() const { return started_; }
    bool running();
    // The exit code (128 + signal when killed), or -1 when it still runs at the limit.
    int wait_exit(std::chrono::milliseconds limit = patience);
    // How long the last wait_exit that saw the end waited, from its call.
    std::chrono::milliseconds exit_wait() const { return exit_wait_; }
    // Everything the program wrote to standard error so far.
    std::string error_text();
    bool signal(int signal_number);
    void kill();

private:
    void drain_errors();
    pid_t pid_ = -1;
    int error_fd_ = -1;
    int exit_code_ = -1;
    std::string errors_;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::milliseconds exit_wait_{0};
};

// A framebuffer at 32 bits per pixel, row after row.
struct Frame {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// One pass of the program's loop with the pointer at (x, y) and these buttons.
struct PointerStep {
    int x, y, buttons;
};

// The frame the program shows after start-up in `directory` (its picture) and one loop pass
// per step, computed by the same start-up and loop on the fake driver in this process.
Frame expected_frame(const std::string& directory, const std::vector<PointerStep>& steps = {});

// The frame as a window at this zoom shows it: each pixel a zoom x zoom block.
Frame zoomed(const Frame& frame, int zoom);

// What a window at this server depth shows for a framebuffer pixel: its low 24 bits at depth
// 24, 5-6-5 at 16 and 5-5-5 at 15 (each channel's high bits).
uint32_t window_pixel(uint32_t framebuffer_pixel, int server_depth);

// "" when the capture shows the frame at this depth, else the first differing pixel.
std::string frame_difference(const Capture& shot, const Frame& frame, int server_depth);
// Both images as PPM beside the build, named label_actual.ppm and label_expected.ppm.
void write_frame_images(const std::string& label, const Capture& shot, const Frame& frame, int server_depth);
// Captures until the window shows the frame; "" then, else the last difference (and the images
// are written under `label`).
std::string wait_for_frame(Display* d, Window w, const Frame& frame, int server_depth, const std::string& label,
                           std::chrono::milliseconds limit = patience);
// The same with a plain XGetImage and no per-pixel calls: fast enough to poll for a start-up.
bool window_shows(Display* d, Window w, const Frame& frame);

// The program's top-level window (found by _NET_WM_PID), once mapped; 0 at the limit.
Window wait_for_program_window(Display* d, pid_t pid, std::chrono::milliseconds limit = patience);

// A channel message as it left the program. Data bytes are kept as read, so a byte with bit
// 7 set shows up here instead of being taken for a status byte.
struct MidiMessage {
    uint8_t status = 0, data1 = 0, data2 = 0;
    int length = 0;  // 2 or 3
    int64_t time_us = 0;  // SMF: since the open; FIFO: since the reader started
    bool operator==(const MidiMessage& o) const {
        return status == o.status && data1 == o.data1 && (length < 3 || data2 == o.data2) && length == o.length;
    }
};
MidiMessage note_on(int channel, int note, int velocity);
MidiMessage note_off(int channel, int note, int velocity);
MidiMessage program_change(int channel, int program);
std::string describe(const MidiMessage& m);
std::string describe(const std::vector<MidiMessage>& messages);

// Reads a Standard MIDI File of format 0 (one track), every event checked against the
// declared lengths; "" and the channel messages in order, or what is wrong with the file.
std::string read_smf(const std::string& path, std::vector<MidiMessage>& out);

// The reading end of a FIFO, read on a thread of its own that timestamps every message the
// moment its bytes arrive. Open it before the program starts (a raw output needs a reader).
class FifoReader {
public:
    FifoReader() = default;
    ~FifoReader();
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;

    bool open(const std::string& path);  // makes the FIFO when it is missing
    // The reader goes away: the thread ends and the reading end is closed.
    void close();
    std::vector<MidiMessage> messages();
    size_t count();
    // Waits until at least n messages have arrived; true when they have.
    bool wait_count(size_t n, std::chrono::milliseconds limit = patience);
    // Bytes that did not form a message (a data byte with no status before it).
    size_t stray_bytes();
    std::chrono::steady_clock::time_point origin() const { return origin_; }

private:
    void run();
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<MidiMessage> messages_;
    std::vector<uint8_t> partial_;
    size_t stray_ = 0;
    std::chrono::steady_clock::time_point origin_{};
};

// The usual set-up of a window test: a private server, the picture in a fresh working
// directory, the program started there with VXMIDI, its window found and showing its start
// frame, the pointer over it and the focus on it.
struct PianoRun {
    Xvfb server;
    TempDir directory{"vxpiano_run"};
    std::unique_ptr<Connection> client;
    Program program;
    Window window = 0;
    Frame start_frame;
    int depth = 24;
    // Above 1, the desktop announces 96 * zoom dots per inch (Xft.dpi) and the server's screen
    // is large enough for the zoomed window; positions given to move and click_at stay
    // framebuffer pixels, and the start frame is waited for zoomed.
    int zoom = 1;
    // More for the program's environment ("NAME=value"), e.g. where its sound server is.
    std::vector<std::string> environment;

    Display* d() const { return client ? client->get() : nullptr; }
    bool start_server(int server_depth = 24);
    // Starts the program with the picture already in the directory; "" or what went wrong.
    std::string launch(const std::string& vxmidi, const ProgramLimits& limits = {});
    // start_server, the shipped picture copied in, launch.
    std::string start(const std::string& vxmidi, int server_depth = 24, const ProgramLimits& limits = {});

    // A person's input through XTest: the pointer to window coordinates, a press held for
    // `hold` and released, keys by keysym.
    void move(int x, int y);
    void press();
    void release();
    // A hold of 0: the press and the release arrive together.
    void click_at(int x, int y, std::chrono::milliseconds hold = std::chrono::milliseconds(70));
    void tap(unsigned long keysym, std::chrono::milliseconds hold = std::chrono::milliseconds(70));
    void focus();
    Capture shot();
    // Escape held until the program ends; its exit code (-1 when it did not end).
    int escape_and_wait(std::chrono::milliseconds limit = patience);
};

// Resident memory (VmRSS) and the voluntary context switches of every thread, from /proc.
long resident_kib(pid_t pid);
// Whether a thread of the process has that name (its /proc comm).
bool has_thread_named(pid_t pid, const std::string& name);
long voluntary_switches(pid_t pid);
// Processor time of the whole process: utime + stime of /proc/PID/stat in nanoseconds (clock
// tick resolution), and the scheduler's run time of every thread (/proc/PID/task/*/schedstat,
// nanoseconds; -1 where the kernel keeps none).
int64_t cpu_time_ns(pid_t pid);
int64_t run_time_ns(pid_t pid);

}  // namespace vxtest
