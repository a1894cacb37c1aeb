// A private X server for a test process (Xvfb on a free display, found with -displayfd), and
// the client-side helpers window tests need: finding a window, reading its pixels, moving and
// pressing with XTest, focus, and the window manager's close request.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/clock.h"

namespace vxtest {

class Xvfb {
public:
    Xvfb() = default;
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // Starts "Xvfb -displayfd FD -screen 0 WxHxD -nolisten tcp" plus extra arguments (for
    // example "-extension", "MIT-SHM") and waits until it reports its display number.
    bool start(int width = 800, int height = 600, int depth = 24, const std::vector<std::string>& extra = {});
    // Terminates the server and waits for it; kill() does so with SIGKILL.
    void stop();
    void kill();

    const std::string& display_name() const { return name_; }  // ":N"
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    // Sets DISPLAY to this server for the process (and the library under test).
    void export_display() const;

private:
    pid_t pid_ = -1;
    std::string name_;
};

// A client connection of the test's own, closed at the end.
class Connection {
public:
    explicit Connection(const std::string& display_name);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Display* get() const { return display_; }
    explicit operator bool() const { return display_ != nullptr; }
    // Closes it early (before the server is killed, so Xlib does not end the test).
    void close();

private:
    Display* display_ = nullptr;
};

// Polls `done` until it holds or the time runs out; true when it held.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = patience);

// Top-level windows (children of the root) whose _NET_WM_PID is pid, or whose WM_CLASS class
// equals class_name; 0 when none appears within the time limit.
Window find_window_by_pid(Display* d, pid_t pid, std::chrono::milliseconds limit = patience);
Window find_window_by_class(Display* d, const std::string& class_name,
                            std::chrono::milliseconds limit = patience);

struct WindowInfo {
    int x = 0, y = 0, width = 0, height = 0;
    bool viewable = false;
    std::string res_name, res_class, net_wm_name;
    long pid = 0;
    bool fixed_size = false;  // WM_NORMAL_HINTS minimum = maximum = size
};
WindowInfo window_info(Display* d, Window w);

// The window's pixels as 32-bit values (XGetImage, ZPixmap); row after row.
struct Capture {
    int width = 0, height = 0, depth = 0, bits_per_pixel = 0;
    unsigned long red_mask = 0, green_mask = 0, blue_mask = 0;
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
Capture capture(Display* d, Window w);

// XTest input (the server's real input path). Each call returns once the server has
// processed the event, so requests of other clients come after it.
void pointer_move(Display* d, Window w, int x, int y);  // window coordinates
void button(Display* d, unsigned button, bool press);
// A hold of 0 sends the press and the release together, as a touchpad tap arrives.
void click(Display* d, unsigned button, std::chrono::milliseconds hold = std::chrono::milliseconds(60));
void key(Display* d, unsigned keycode, bool press);
void tap_key(Display* d, unsigned keycode, std::chrono::milliseconds hold = std::chrono::milliseconds(60));
unsigned keycode_of(Display* d, unsigned long keysym);
// Maps a keycode nobody uses to the keysym and returns it (0 when none is free).
unsigned map_spare_keycode(Display* d, unsigned long keysym);

void set_focus(Display* d, Window w);
// The desktop's resources (RESOURCE_MANAGER on the root, as "Xft.dpi:\t192\n"), read by
// clients that connect afterwards.
void set_resources(Display* d, const std::string& text);
// The window manager's close request: WM_PROTOCOLS / WM_DELETE_WINDOW.
void send_delete_window(Display* d, Window w);
// A plain window of the test's own (for taking the focus away), mapped.
Window make_other_window(Display* d, int x, int y, int width, int height);

// Writes a capture as a binary PPM (for failures to be looked at).
void write_ppm(const std::string& path, int width, int height, const std::function<uint32_t(int, int)>& rgb_at);

}  // namespace vxtest
