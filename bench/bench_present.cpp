// Under a private Xvfb: the cost of presenting a full dirty 720 x 190 x 32 frame (conversion,
// put and the server's completion) with MIT-SHM and with XPutImage, at zoom 1 and 2; beside it
// the same frame on a Wayland desktop (nested sway; conversion into the released wl_shm buffer,
// attach and commit) at output scale 1 and 2; and the latency from an XTest button press to the
// library reporting it through mouse_get (median and 99th percentile).
#include <benchmark/benchmark.h>

#include <X11/extensions/XTest.h>

#include <algorithm>
#include <thread>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "display/input.h"
#ifdef VX_WAYLAND
#include "display/wayland_driver.h"
#endif
#include "display/x11_driver.h"
#include "gfx/context.h"
#include "tests/support/compositor.h"
#include "tests/support/x11_screen.h"

using namespace vx;
using Clock = std::chrono::steady_clock;

namespace {

void BM_PresentFullFrame(benchmark::State& state) {
    const bool shm = state.range(0) != 0;
    const int zoom = static_cast<int>(state.range(1));
    vxtest::LibraryScreen screen;
    if (zoom > 1) screen.resources = "Xft.dpi:\t" + std::to_string(96 * zoom) + "\n";
    std::vector<std::string> extra;
    if (!shm) extra = {"-extension", "MIT-SHM"};
    if (!screen.open(24, 720, 190, 32, 4, extra)) {
        state.SkipWithError("cannot open the screen under Xvfb");
        return;
    }
    if (x11_present_stats().shared_memory != shm) {
        state.SkipWithError("presentation path differs from the one asked for");
        return;
    }
    for (auto _ : state) {
        uint64_t frames = x11_present_stats().frames;
        vxtest::with_screen_lock([](GfxContext* ctx) { std::memset(ctx->dirty.get(), 1, static_cast<size_t>(ctx->height)); });
        while (x11_present_stats().frames == frames) std::this_thread::yield();
        state.SetIterationTime(static_cast<double>(x11_present_stats().last_ns) * 1e-9);
    }
    state.SetLabel(std::string(shm ? "XShmPutImage + XSync" : "XPutImage + XFlush") + ", zoom " + std::to_string(zoom));
}

#ifdef VX_WAYLAND
// The library's screen on the Wayland desktop, opened in this process through the "Wayland"
// driver; each frame waits for the compositor's frame callback before it may go out.
void BM_PresentFullFrameWayland(benchmark::State& state) {
    const int scale = static_cast<int>(state.range(0));
    vxtest::Compositor desktop;
    if (std::string problem = desktop.start(scale); !problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    for (const std::string& entry : desktop.client_environment()) {
        const size_t eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    setenv("VXGFX", "wayland", 1);
    ScreenInfo info;
    if (screen_res(720, 190, 32, 0, 4, 0) == 0) screen_info(&info);
    if (info.driver != "Wayland") {
        state.SkipWithError("the Wayland driver did not open");
    } else {
        vxtest::wait_presented();
        for (auto _ : state) {
            uint64_t frames = wayland_present_stats().frames;
            vxtest::with_screen_lock([](GfxContext* ctx) { std::memset(ctx->dirty.get(), 1, static_cast<size_t>(ctx->height)); });
            while (wayland_present_stats().frames == frames) std::this_thread::yield();
            state.SetIterationTime(static_cast<double>(wayland_present_stats().last_ns) * 1e-9);
        }
        state.SetLabel("wl_shm, conversion + attach + commit, output scale " + std::to_string(scale));
    }
    screen_close();
    for (const char* name : {"VXGFX", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) unsetenv(name);
}
#endif

void BM_PressToMouseGet(benchmark::State& state) {
    vxtest::LibraryScreen screen;
    if (!screen.open()) {
        state.SkipWithError("cannot open the screen under Xvfb");
        return;
    }
    Display* d = screen.d();
    vxtest::pointer_move(d, screen.window, 300, 100);
    vxtest::wait_until([] {
        int x = 0, y = 0;
        return mouse_get(&x, &y, nullptr, nullptr, nullptr) == 0 && x == 300;
    });
    std::vector<double> samples;
    auto buttons = [] {
        int x, y, w, b = -1, c;
        mouse_get(&x, &y, &w, &b, &c);
        return b;
    };
    for (auto _ : state) {
        auto start = Clock::now();
        XTestFakeButtonEvent(d, 1, True, CurrentTime);
        XFlush(d);
        // Polls as the program does, only finer: a tight spin would keep the lock from the
        // update thread and measure the contention instead.
        while (buttons() != 1) std::this_thread::sleep_for(std::chrono::microseconds(20));
        double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        samples.push_back(us);
        state.SetIterationTime(us * 1e-6);
        XTestFakeButtonEvent(d, 1, False, CurrentTime);
        XFlush(d);
        while (buttons() != 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int>(samples.size() * 37 % 3000)));  // spread over the tick
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p90_us"] = samples[samples.size() * 9 / 10];
        state.counters["max_us"] = samples.back();
        state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    }
}

}  // namespace

BENCHMARK(BM_PresentFullFrame)->Args({1, 1})->Args({0, 1})->Args({1, 2})->Args({0, 2})->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);
#ifdef VX_WAYLAND
BENCHMARK(BM_PresentFullFrameWayland)->Arg(1)->Arg(2)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);
#endif
BENCHMARK(BM_PressToMouseGet)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);
