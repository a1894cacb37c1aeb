#include "tests/support/x11_screen.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "display/driver.h"

namespace vxtest {

bool LibraryScreen::open(int server_depth, int width, int height, int depth, int flags, const std::vector<std::string>& extra) {
    if (!server.start(resources.empty() ? 800 : 1600, resources.empty() ? 600 : 1000, server_depth, extra)) return false;
    server.export_display();
    // Connected first: the server resets, dropping the resources, when its last client leaves.
    client = std::make_unique<Connection>(server.display_name());
    if (*client && !resources.empty()) set_resources(d(), resources);
    unsetenv("VXGFX");
    vx::screen_close();
    vx::set_display_drivers({});
    open_result = vx::screen_res(width, height, depth, 0, flags, 0);
    if (open_result != 0 || !*client) return open_result == 0 && *client;
    window = find_window_by_pid(d(), getpid());
    if (!window) return false;
    bool mapped = wait_until([&] { return window_info(d(), window).viewable; });
    return mapped && wait_presented();
}

void LibraryScreen::close() {
    vx::screen_close();
    client.reset();
    server.stop();
    window = 0;
}

void with_screen_lock(const std::function<void(vx::GfxContext*)>& body) {
    vx::GfxContext* ctx = vx::gfx_context();
    if (!ctx) return;
    vx::bracket_begin(ctx);
    body(ctx);
    vx::bracket_end(ctx);
}

std::vector<vx::InputEvent> take_events() {
    std::vector<vx::InputEvent> events;
    vx::GfxContext* ctx = vx::gfx_context();
    if (!ctx) return events;
    ctx->event_lock.acquire();
    while (ctx->event_read != ctx->event_write) {
        events.push_back(ctx->event_ring[ctx->event_read]);
        ctx->event_read = (ctx->event_read + 1) & 127;
    }
    ctx->event_lock.release();
    return events;
}

bool wait_presented(std::chrono::milliseconds limit) {
    return wait_until(
        [] {
            bool clean = true;
            with_screen_lock([&](vx::GfxContext* ctx) {
                for (int y = 0; y < ctx->height * ctx->scale; ++y) clean = clean && !ctx->dirty[y];
            });
            return clean;
        },
        limit);
}

}  // namespace vxtest
