// The library's own screen on a private X server, for tests that drive the library in their
// process: open it with the built driver list, find its window, read its events and state
// under the screen lock.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gfx/context.h"
#include "tests/support/xvfb.h"

namespace vxtest {

struct LibraryScreen {
    Xvfb server;
    std::unique_ptr<Connection> client;
    Window window = 0;

    // Starts the server at server_depth (extra arguments as for Xvfb::start), opens
    // screen_res(width, height, depth, 0, flags, 0) with VXGFX unset, and waits until the
    // window is mapped and the first frame presented. The result of screen_res is kept.
    int open_result = -1;
    // The desktop's resources, set before the screen opens; with any, the server's screen is
    // large enough for a zoomed window.
    std::string resources;
    bool open(int server_depth = 24, int width = 720, int height = 190, int depth = 32, int flags = 4,
              const std::vector<std::string>& extra = {});
    void close();
    ~LibraryScreen() { close(); }
    Display* d() const { return client ? client->get() : nullptr; }
};

// Runs `body` between the driver's lock and unlock, as the program's drawing does.
void with_screen_lock(const std::function<void(vx::GfxContext*)>& body);
// Takes every unread event from the context's ring.
std::vector<vx::InputEvent> take_events();
// Waits until the update thread has presented every dirty line.
bool wait_presented(std::chrono::milliseconds limit = patience);

}  // namespace vxtest
