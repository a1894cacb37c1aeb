#include "tests/support/fake_driver.h"

#include <cstdlib>
#include <cstring>

#include "gfx/pixels.h"

namespace vxtest {

FakeDriverState fake;

namespace {

int fake_open_named(const char* name, const char*, int width, int height, int depth, int refresh, int flags) {
    fake.calls.push_back(std::string("open ") + name + " r=" + std::to_string(refresh) + " f=" + std::to_string(flags));
    fake.opened_width = width;
    fake.opened_height = height;
    fake.opened_depth = depth;
    fake.opened_flags = flags;
    return fake.open_result;
}
int fake_open(const char* t, int w, int h, int d, int r, int f) { return fake_open_named("Fake", t, w, h, d, r, f); }
int other_open(const char* t, int w, int h, int d, int r, int f) { return fake_open_named("Other", t, w, h, d, r, f); }
void fake_close() { fake.calls.push_back("close"); }
void fake_lock() {
    ++fake.locks;
    ++fake.depth_locked;
}
void fake_unlock() {
    ++fake.unlocks;
    --fake.depth_locked;
}
void fake_palette(int, int, int, int) { ++fake.palette_calls; }
int fake_read_mouse(int* x, int* y, int* wheel, int* buttons, int* clip) {
    if (!fake.mouse_ok) return -1;
    *x = fake.mouse_x;
    *y = fake.mouse_y;
    *wheel = fake.mouse_wheel;
    *buttons = fake.mouse_buttons;
    *clip = fake.mouse_clip;
    return 0;
}
void fake_title(const char* text) { fake.title = text; }

const vx::DisplayDriver* const fake_list[] = {&fake_driver};

}  // namespace

const vx::DisplayDriver fake_driver = {
    "Fake", fake_open, fake_close, fake_lock, fake_unlock, fake_palette, nullptr, fake_read_mouse,
    nullptr, fake_title, nullptr, nullptr, nullptr, nullptr,
};

const vx::DisplayDriver other_driver = {
    "Other", other_open, fake_close, fake_lock, fake_unlock, fake_palette, nullptr, fake_read_mouse,
    nullptr, fake_title, nullptr, nullptr, nullptr, nullptr,
};

void use_fake_driver() {
    vx::screen_close();
    fake = FakeDriverState{};
    unsetenv("VXGFX");
    vx::set_display_drivers(fake_list);
}

void restore_drivers() {
    vx::screen_close();
    vx::set_display_drivers({});
}

int open_fake_screen(int width, int height, int depth, int flags) {
    use_fake_driver();
    return vx::screen_res(width, height, depth, 0, flags, 0);
}

uint32_t screen_pixel(int x, int y) {
    vx::GfxContext* ctx = vx::gfx_context();
    return vx::load32(ctx->visible_buffer + static_cast<size_t>(y) * ctx->pitch + static_cast<size_t>(x) * 4);
}

void clear_dirty() {
    vx::GfxContext* ctx = vx::gfx_context();
    std::memset(ctx->dirty.get(), 0, static_cast<size_t>(ctx->height) * ctx->scale);
}

int dirty_count() {
    vx::GfxContext* ctx = vx::gfx_context();
    int n = 0;
    for (int y = 0; y < ctx->height * ctx->scale; ++y) n += ctx->dirty[y] != 0;
    return n;
}

bool dirty(int y) { return vx::gfx_context()->dirty[y] != 0; }

}  // namespace vxtest
