// GoogleTest (for the running test's name) comes before Xlib, whose None macro it cannot take.
#include <gtest/gtest.h>

#include "tests/support/program.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dirent.h>
#include <linux/capability.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/midi/midi.h"
#include "app/keyboard/piano.h"
#include "display/input.h"
#include "gfx/context.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_driver.h"

namespace vxtest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string program_executable() { return std::string(VX_BINARY_DIR) + "/app/vxpiano"; }
std::string shipped_picture() { return std::string(VX_SOURCE_DIR) + "/assets/piano_k.bmp"; }

bool copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));  // an empty file too
    return static_cast<bool>(out);
}

// ---------------------------------------------------------------------------------------------
// The program's process

Program::~Program() {
    kill();
    if (error_fd_ >= 0) close(error_fd_);
}

namespace {

// The program's environment: this process's own without the settings the tests decide (the
// displays, the driver, the MIDI output), then the given entries. Built before the fork, since
// the child of a threaded test may only make async-signal-safe calls.
std::vector<std::string> program_environment(const std::vector<std::string>& entries) {
    std::vector<std::string> env;
    auto named = [](const std::string& entry, const std::string& name) {
        return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=';
    };
    auto remove = [&](const std::string& name) {
        std::erase_if(env, [&](const std::string& e) { return named(e, name); });
    };
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "VXGFX", "VXMIDI", "VXMIDI_IN", "JACK_NO_START_SERVER"})
        remove(name);
    env.emplace_back("JACK_NO_START_SERVER=1");
    for (const std::string& entry : entries) {
        size_t eq = entry.find('=');
        std::string name = entry.substr(0, eq);
        remove(name);
        if (eq != std::string::npos && eq + 1 < entry.size()) env.push_back(entry);
    }
    return env;
}

}  // namespace

bool Program::start(const std::string& directory, const std::vector<std::string>& environment, const ProgramLimits& limits) {
    kill();
    if (error_fd_ >= 0) close(error_fd_);
    error_fd_ = -1;
    int errors[2];
    if (pipe2(errors, O_CLOEXEC) != 0) return false;
    std::string path = program_executable();
    std::vector<std::string> env = program_environment(environment);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {path.data(), nullptr};
    rlimit file_limit{static_cast<rlim_t>(limits.file_size), static_cast<rlim_t>(limits.file_size)};
    started_ = Clock::now();
    pid_t child = fork();
    if (child < 0) {
        close(errors[0]);
        close(errors[1]);
        return false;
    }
    if (child == 0) {
        // A test that dies before its clean-up takes the program with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (chdir(directory.c_str()) != 0) _exit(126);
        dup2(errors[1], 2);
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 1);
        }
        if (limits.file_size >= 0) setrlimit(RLIMIT_FSIZE, &file_limit);
        if (!limits.realtime_rights) {
            const rlimit none{0, 0};
            setrlimit(RLIMIT_RTPRIO, &none);
            prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0);  // not regained at exec
        }
        // A test's blocked signals must not reach the program.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(path.c_str(), argv, envp.data());
        _exit(127);
    }
    close(errors[1]);
    error_fd_ = errors[0];
    fcntl(error_fd_, F_SETFL, fcntl(error_fd_, F_GETFL) | O_NONBLOCK);
    pid_ = child;
    exit_code_ = -1;
    errors_.clear();
    return true;
}

void Program::drain_errors() { read_available(error_fd_, errors_); }

bool Program::running() {
    drain_errors();
    if (pid_ <= 0) return false;
    if (int code = reap_if_ended(pid_); code >= 0) {
        pid_ = -1;
        exit_code_ = code;
        return false;
    }
    return true;
}

int Program::wait_exit(std::chrono::milliseconds limit) {
    auto begin = Clock::now();
    auto deadline = begin + limit;
    while (running()) {
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(1ms);
    }
    exit_wait_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    drain_errors();
    return exit_code_;
}

std::string Program::error_text() {
    drain_errors();
    return errors_;
}

bool Program::signal(int signal_number) { return pid_ > 0 && ::kill(pid_, signal_number) == 0; }

void Program::kill() {
    if (pid_ <= 0) return;
    kill_and_reap(pid_);
    pid_ = -1;
    exit_code_ = 128 + SIGKILL;
    drain_errors();
}

// ---------------------------------------------------------------------------------------------
// The expected frame

namespace {

// Restores an environment variable and the working directory when the computation ends.
struct SavedSetting {
    std::string name;
    bool had = false;
    std::string value;
    explicit SavedSetting(const char* n) : name(n) {
        if (const char* v = std::getenv(n)) {
            had = true;
            value = v;
        }
    }
    ~SavedSetting() {
        if (had) setenv(name.c_str(), value.c_str(), 1);
        else unsetenv(name.c_str());
    }
};

}  // namespace

Frame expected_frame(const std::string& directory, const std::vector<PointerStep>& steps) {
    Frame frame;
    char here[4096];
    if (!getcwd(here, sizeof here)) return frame;
    SavedSetting midi("VXMIDI");
    setenv("VXMIDI", "raw:/dev/null", 1);
    // The frame is the same with or without listening; a JACK server of the test's own would
    // otherwise see a client of this process come and go.
    SavedSetting midi_in("VXMIDI_IN");
    setenv("VXMIDI_IN", "none", 1);
    if (chdir(directory.c_str()) != 0) return frame;
    // The program starts with fresh globals; this process may have run it before.
    app::midi_channel = 0;
    app::octave_base = 3;
    app::note_velocity = 127;
    app::sounding_key = -1;
    use_fake_driver();
    vx::key_queue_clear();
    void* sheet = nullptr;
    if (app::app_start(&sheet)) {
        for (const PointerStep& step : steps) {
            fake.mouse_ok = true;
            fake.mouse_x = step.x;
            fake.mouse_y = step.y;
            fake.mouse_buttons = step.buttons;
            app::app_pass(sheet);
        }
        vx::GfxContext* ctx = vx::gfx_context();
        frame.width = ctx->width;
        frame.height = ctx->height;
        frame.pixels.resize(static_cast<size_t>(frame.width) * frame.height);
        for (int y = 0; y < frame.height; ++y)
            for (int x = 0; x < frame.width; ++x) frame.pixels[static_cast<size_t>(y) * frame.width + x] = screen_pixel(x, y);
    }
    app::app_stop(sheet);
    restore_drivers();
    app::sounding_key = -1;
    if (chdir(here) != 0) frame = Frame{};
    return frame;
}

uint32_t window_pixel(uint32_t p, int server_depth) {
    uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    switch (server_depth) {
        case 16: return ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
        case 15: return ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
        default: return p & 0xFFFFFF;
    }
}

namespace {

uint32_t shown_mask(int server_depth) { return server_depth >= 24 ? 0xFFFFFFu : server_depth == 16 ? 0xFFFFu : 0x7FFFu; }

// A window pixel widened back to 8 bits a channel, for the images written on failure.
uint32_t widen(uint32_t p, int server_depth) {
    if (server_depth == 16) return ((p >> 11) << 19) | (((p >> 5) & 0x3F) << 10) | ((p & 0x1F) << 3);
    if (server_depth == 15) return (((p >> 10) & 0x1F) << 19) | (((p >> 5) & 0x1F) << 11) | ((p & 0x1F) << 3);
    return p & 0xFFFFFF;
}

}  // namespace

Frame zoomed(const Frame& frame, int zoom) {
    Frame out{frame.width * zoom, frame.height * zoom, {}};
    out.pixels.resize(static_cast<size_t>(out.width) * static_cast<size_t>(out.height));
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) out.pixels[static_cast<size_t>(y) * out.width + x] = frame.at(x / zoom, y / zoom);
    return out;
}

std::string frame_difference(const Capture& shot, const Frame& frame, int server_depth) {
    if (frame.width == 0) return "no expected frame";
    if (shot.width != frame.width || shot.height != frame.height)
        return "window is " + std::to_string(shot.width) + " x " + std::to_string(shot.height) + ", expected " +
               std::to_string(frame.width) + " x " + std::to_string(frame.height);
    const uint32_t mask = shown_mask(server_depth);
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) {
            uint32_t want = window_pixel(frame.at(x, y), server_depth);
            uint32_t got = shot.at(x, y) & mask;
            if (got != want) {
                std::ostringstream m;
                m << "first differing pixel (" << x << ", " << y << "): window 0x" << std::hex << got << ", expected 0x" << want
                  << " (framebuffer 0x" << frame.at(x, y) << ")";
                return m.str();
            }
        }
    return "";
}

void write_frame_images(const std::string& label, const Capture& shot, const Frame& frame, int server_depth) {
    // Named for the test as well, so that tests running side by side keep their own images.
    std::string test;
    if (const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info())
        test = std::string(info->test_suite_name()) + "." + info->name() + "_";
    for (char& c : test)
        if (c == '/') c = '_';
    std::string base = std::string(VX_BINARY_DIR) + "/" + test + label;
    std::fprintf(stderr, "images written: %s_actual.ppm, %s_expected.ppm\n", base.c_str(), base.c_str());
    if (shot.width > 0)
        write_ppm(base + "_actual.ppm", shot.width, shot.height, [&](int x, int y) { return widen(shot.at(x, y), server_depth); });
    if (frame.width > 0)
        write_ppm(base + "_expected.ppm", frame.width, frame.height,
                  [&](int x, int y) { return widen(window_pixel(frame.at(x, y), server_depth), server_depth); });
}

std::string wait_for_frame(Display* d, Window w, const Frame& frame, int server_depth, const std::string& label,
                           std::chrono::milliseconds limit) {
    Capture shot;
    std::string problem = "no capture";
    wait_until(
        [&] {
            shot = capture(d, w);
            problem = frame_difference(shot, frame, server_depth);
            return problem.empty();
        },
        limit);
    if (!problem.empty()) write_frame_images(label, shot, frame, server_depth);
    return problem;
}

bool window_shows(Display* d, Window w, const Frame& frame) {
    XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(frame.width), static_cast<unsigned>(frame.height), AllPlanes, ZPixmap);
    if (!image) return false;
    bool same = image->width == frame.width && image->height == frame.height;
    const bool direct = image->bits_per_pixel == 32 && image->byte_order == LSBFirst;
    for (int y = 0; y < frame.height && same; ++y) {
        const uint32_t* row = reinterpret_cast<const uint32_t*>(image->data + static_cast<size_t>(y) * image->bytes_per_line);
        for (int x = 0; x < frame.width && same; ++x) {
            uint32_t got = direct ? row[x] : static_cast<uint32_t>(XGetPixel(image, x, y));
            same = (got & 0xFFFFFF) == (frame.at(x, y) & 0xFFFFFF);
        }
    }
    XDestroyImage(image);
    return same;
}

Window wait_for_program_window(Display* d, pid_t pid, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    Window w = find_window_by_pid(d, pid, limit);
    if (!w) return 0;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    bool mapped = wait_until([&] { return window_info(d, w).viewable; }, std::max(left, 100ms));
    return mapped ? w : 0;
}

// ---------------------------------------------------------------------------------------------
// MIDI read back

MidiMessage note_on(int channel, int note, int velocity) {
    return {static_cast<uint8_t>(0x90 + channel), static_cast<uint8_t>(note), static_cast<uint8_t>(velocity), 3, 0};
}
MidiMessage note_off(int channel, int note, int velocity) {
    return {static_cast<uint8_t>(0x80 + channel), static_cast<uint8_t>(note), static_cast<uint8_t>(velocity), 3, 0};
}
MidiMessage program_change(int channel, int program) {
    return {static_cast<uint8_t>(0xC0 + channel), static_cast<uint8_t>(program), 0, 2, 0};
}

std::string describe(const MidiMessage& m) {
    char text[32];
    if (m.length == 2) std::snprintf(text, sizeof text, "%02X %02X", m.status, m.data1);
    else std::snprintf(text, sizeof text, "%02X %02X %02X", m.status, m.data1, m.data2);
    return text;
}

std::string describe(const std::vector<MidiMessage>& messages) {
    std::string all;
    for (const MidiMessage& m : messages) {
        if (!all.empty()) all += ", ";
        all += describe(m);
    }
    return "[" + all + "]";
}

namespace {

int channel_message_length(uint8_t status) {
    if (status < 0x80 || status >= 0xF0) return 0;
    uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
}

uint32_t be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) | (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

std::string read_smf(const std::string& path, std::vector<MidiMessage>& out) {
    out.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot open " + path;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() < 22) return "file of " + std::to_string(bytes.size()) + " bytes is too short";
    if (std::memcmp(bytes.data(), "MThd", 4) != 0 || be32(&bytes[4]) != 6) return "no MThd header of length 6";
    const int format = bytes[8] << 8 | bytes[9], tracks = bytes[10] << 8 | bytes[11], division = bytes[12] << 8 | bytes[13];
    if (format != 0 || tracks != 1) return "format " + std::to_string(format) + " with " + std::to_string(tracks) + " tracks";
    if (division <= 0 || division >= 0x8000) return "division " + std::to_string(division);
    if (std::memcmp(&bytes[14], "MTrk", 4) != 0) return "no MTrk chunk";
    const size_t length = be32(&bytes[18]);
    if (length > bytes.size() - 22) return "track length " + std::to_string(length) + " beyond the file's " + std::to_string(bytes.size());
    size_t at = 22, end = 22 + length;
    int64_t tick = 0, us_per_quarter = 500000;
    bool ended = false;
    while (at < end) {
        if (ended) return "events after the end of the track";
        uint32_t delta = 0;
        int vlq_bytes = 0;
        for (;;) {
            if (at >= end || ++vlq_bytes > 4) return "bad delta time at byte " + std::to_string(at);
            uint8_t b = bytes[at++];
            delta = delta << 7 | (b & 0x7F);
            if (!(b & 0x80)) break;
        }
        tick += delta;
        if (at >= end) return "event cut at byte " + std::to_string(at);
        uint8_t status = bytes[at++];
        if (status == 0xFF) {
            if (at + 2 > end) return "meta event cut";
            uint8_t type = bytes[at++];
            size_t meta_length = bytes[at++];  // the program writes only short meta events
            if (at + meta_length > end) return "meta event longer than the track";
            if (type == 0x51 && meta_length == 3) us_per_quarter = bytes[at] << 16 | bytes[at + 1] << 8 | bytes[at + 2];
            if (type == 0x2F) ended = true;
            at += meta_length;
            continue;
        }
        int message_length = channel_message_length(status);
        if (message_length == 0) return "not a channel status byte at " + std::to_string(at - 1);
        if (at + static_cast<size_t>(message_length - 1) > end) return "channel message cut";
        MidiMessage m;
        m.status = status;
        m.length = message_length;
        m.data1 = bytes[at++];
        if (message_length == 3) m.data2 = bytes[at++];
        m.time_us = tick * us_per_quarter / division;
        out.push_back(m);
    }
    if (!ended) return "no end-of-track event";
    if (end != bytes.size()) return "bytes after the track";
    return "";
}

FifoReader::~FifoReader() { close(); }

bool FifoReader::open(const std::string& path) {
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return false;
    // Non-blocking: a reading end opens at once, before any writer exists.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;
    origin_ = Clock::now();
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void FifoReader::close() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void FifoReader::run() {
    uint8_t chunk[1024];
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, 20);
        if (ready <= 0) continue;
        ssize_t n = read(fd_, chunk, sizeof chunk);
        auto now = Clock::now();
        if (n <= 0) {
            // No writer (yet, or any more): poll reports a hang-up at once, so rest a little.
            std::this_thread::sleep_for(2ms);
            continue;
        }
        std::lock_guard<std::mutex> hold(mutex_);
        for (ssize_t i = 0; i < n; ++i) {
            uint8_t b = chunk[i];
            if (b & 0x80) {
                if (!partial_.empty()) stray_ += partial_.size();
                partial_.assign(1, b);
            } else if (partial_.empty()) {
                ++stray_;
                continue;
            } else {
                partial_.push_back(b);
            }
            int length = channel_message_length(partial_[0]);
            if (length == 0) {
                stray_ += partial_.size();
                partial_.clear();
                continue;
            }
            if (static_cast<int>(partial_.size()) == length) {
                MidiMessage m;
                m.status = partial_[0];
                m.data1 = partial_[1];
                m.data2 = length == 3 ? partial_[2] : 0;
                m.length = length;
                m.time_us = std::chrono::duration_cast<std::chrono::microseconds>(now - origin_).count();
                messages_.push_back(m);
                partial_.clear();
            }
        }
        arrived_.notify_all();
    }
}

std::vector<MidiMessage> FifoReader::messages() {
    std::lock_guard<std::mutex> hold(mutex_);
    return messages_;
}

size_t FifoReader::count() {
    std::lock_guard<std::mutex> hold(mutex_);
    return messages_.size();
}

size_t FifoReader::stray_bytes() {
    std::lock_guard<std::mutex> hold(mutex_);
    return stray_;
}

bool FifoReader::wait_count(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(mutex_);
    return arrived_.wait_for(hold, limit, [&] { return messages_.size() >= n; });
}

// ---------------------------------------------------------------------------------------------
// A window test's set-up

namespace {

// A window that goes away between a lookup and a capture (the program ended, or was meant
// to) must fail that capture, not end the test process through Xlib's default handler.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

}  // namespace

bool PianoRun::start_server(int server_depth) {
    depth = server_depth;
    XSetErrorHandler(ignore_x_error);
    if (!server.start(zoom > 1 ? 1600 : 800, zoom > 1 ? 1000 : 600, server_depth)) return false;
    client = std::make_unique<Connection>(server.display_name());
    if (*client && zoom > 1) set_resources(d(), "Xft.dpi:\t" + std::to_string(96 * zoom) + "\n");
    return static_cast<bool>(*client);
}

std::string PianoRun::launch(const std::string& vxmidi, const ProgramLimits& limits) {
    start_frame = expected_frame(directory.path());
    if (start_frame.width != 720) return "the expected frame could not be computed";
    std::vector<std::string> env = environment;
    env.push_back("DISPLAY=" + server.display_name());
    env.push_back("VXMIDI=" + vxmidi);
    if (!program.start(directory.path(), env, limits))
        return "the program could not be started";
    window = wait_for_program_window(d(), program.pid(), 10000ms);
    if (!window) return "no window appeared; stderr: " + program.error_text();
    std::string problem = wait_for_frame(d(), window, zoomed(start_frame, zoom), depth, "start_frame", 10000ms);
    if (!problem.empty()) return "the start frame was not shown: " + problem;
    // The embedded synthesiser reads its SoundFont once the window is up; a click before that
    // would sound only once it is read, late by a test's measure. Its loader is named
    // "vx-soundfont" while it reads and "vx-programs" after (threads it started meanwhile keep
    // the first name); other outputs have neither.
    const pid_t pid = program.pid();
    if (!wait_until([&] { return has_thread_named(pid, "vx-programs") || !has_thread_named(pid, "vx-soundfont"); }, 30000ms))
        return "the SoundFont was not read within 30 s";
    focus();
    move(360, 70);  // over the window, between the sliders and the keys
    return "";
}

std::string PianoRun::start(const std::string& vxmidi, int server_depth, const ProgramLimits& limits) {
    if (directory.path().empty()) return "no working directory";
    if (!copy_file(shipped_picture(), directory.file("piano_k.bmp"))) return "cannot copy the picture";
    if (!start_server(server_depth)) return "no X server";
    return launch(vxmidi, limits);
}

// Inside the pixel's block, off its corner, so that a position rounded the wrong way shows.
void PianoRun::move(int x, int y) { pointer_move(d(), window, x * zoom + zoom / 2, y * zoom + zoom / 2); }
void PianoRun::press() { button(d(), 1, true); }
void PianoRun::release() { button(d(), 1, false); }

void PianoRun::click_at(int x, int y, std::chrono::milliseconds hold) {
    move(x, y);
    click(d(), 1, hold);
}

void PianoRun::tap(unsigned long keysym, std::chrono::milliseconds hold) { tap_key(d(), keycode_of(d(), keysym), hold); }

void PianoRun::focus() { set_focus(d(), window); }

Capture PianoRun::shot() { return capture(d(), window); }

int PianoRun::escape_and_wait(std::chrono::milliseconds limit) {
    unsigned escape = keycode_of(d(), XK_Escape);
    key(d(), escape, true);
    int code = program.wait_exit(limit);
    key(d(), escape, false);
    return code;
}

// ---------------------------------------------------------------------------------------------
// /proc

namespace {

long status_field(const std::string& path, const char* field) {
    std::ifstream in(path);
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::strtol(line.c_str() + n + 1, nullptr, 10);
    return -1;
}

std::vector<std::string> task_directories(pid_t pid) {
    std::vector<std::string> tasks;
    std::string base = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(base.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') tasks.push_back(base + "/" + entry->d_name);
        closedir(dir);
    }
    return tasks;
}

}  // namespace

bool has_thread_named(pid_t pid, const std::string& name) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
        std::string line;
        found = found || (std::getline(comm, line) && line == name);
    }
    closedir(dir);
    return found;
}

long resident_kib(pid_t pid) { return status_field("/proc/" + std::to_string(pid) + "/status", "VmRSS"); }

long voluntary_switches(pid_t pid) {
    long total = 0;
    for (const std::string& task : task_directories(pid)) {
        long n = status_field(task + "/status", "voluntary_ctxt_switches");
        if (n > 0) total += n;
    }
    return total;
}

int64_t cpu_time_ns(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), {});
    size_t paren = all.rfind(')');
    if (paren == std::string::npos) return -1;
    std::istringstream fields(all.substr(paren + 2));
    std::string field;
    int64_t utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::strtoll(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoll(field.c_str(), nullptr, 10);
    }
    return (utime + stime) * (1000000000LL / sysconf(_SC_CLK_TCK));
}

int64_t run_time_ns(pid_t pid) {
    int64_t total = 0;
    bool any = false;
    for (const std::string& task : task_directories(pid)) {
        std::ifstream in(task + "/schedstat");
        int64_t ns = 0;
        if (in >> ns) {
            total += ns;
            any = true;
        }
    }
    return any ? total : -1;
}

}  // namespace vxtest
