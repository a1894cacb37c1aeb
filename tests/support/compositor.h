// A private Wayland desktop for a test: sway nested in a private Xvfb (wlroots' X11 back end
// with its software renderer), run as an unprivileged user when the test runs as root, since
// sway refuses root. XTest on the Xvfb reaches Wayland clients as a real pointer and keyboard;
// sway's IPC finds windows; grim takes screenshots. weston, which offers no server-side
// decorations, can run instead (its output read back from the Xvfb).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/program.h"
#include "tests/support/xvfb.h"

namespace vxtest {

// A window's place in the desktop's units (logical pixels).
struct DesktopRect {
    int x = 0, y = 0, width = 0, height = 0;
};

class Compositor {
public:
    Compositor() = default;
    ~Compositor();
    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;

    // Starts the Xvfb and sway with one output of 1920 x 1080 device pixels at this scale,
    // floating windows at (0, 0) without borders; "" or what went wrong.
    std::string start(int scale = 1);
    // Starts the Xvfb and weston (X11 back end, pixman) with one 1000 x 560 output at (0, 0)
    // of the Xvfb, scale 1; only the X side (x()) reads its pixels. Returns once its desktop is
    // drawn, with its pointer brought into step with the X pointer, at the output's origin.
    std::string start_weston();
    // The compositor dies at once (SIGKILL), as a crashed desktop does.
    void kill();
    void stop();
    bool running() const { return compositor_pid_ > 0; }
    int scale() const { return scale_; }

    // What a client needs to reach it: XDG_RUNTIME_DIR and WAYLAND_DISPLAY (no DISPLAY).
    std::vector<std::string> client_environment() const;
    // The test's own X connection to the Xvfb, for XTest input. Output pixels (logical * scale)
    // are root window pixels.
    Display* x() const { return connection_ ? connection_->get() : nullptr; }
    const std::string& x_display() const { return xvfb_.display_name(); }

    // The window with this app_id: its rectangle and title, once it is mapped; false at the limit.
    bool wait_window(const std::string& app_id, DesktopRect& rect, std::string* title = nullptr,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
    // A screenshot of a desktop rectangle at the output's scale (grim), as 0x00RRGGBB pixels.
    bool screenshot(const DesktopRect& rect, Capture& out);
    // A sway command through its IPC ("kill", "focus"...); true when it ran.
    bool command(const std::string& text);
    // The output's scale changes, as when a window moves to another output.
    bool set_scale(int scale);

    // XTest input at desktop coordinates (the middle of the logical pixel's device block).
    void pointer_to(int x, int y);
    void click(int x, int y, std::chrono::milliseconds hold = std::chrono::milliseconds(70));
    void tap(unsigned long keysym, std::chrono::milliseconds hold = std::chrono::milliseconds(70));

private:
    std::string prepare();
    bool launch(std::vector<std::string> args);
    int run_tool(const std::vector<std::string>& args, std::string* output = nullptr);
    Xvfb xvfb_;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<TempDir> runtime_;
    pid_t compositor_pid_ = -1;
    int scale_ = 1;
    std::string wayland_display_, ipc_socket_;
};

}  // namespace vxtest
