// The Wayland back end: connection, globals, toplevel and wl_shm buffers, opened by the update
// thread; the update loop that presents dirty lines into a released buffer once the previous
// frame was shown, and sleeps while nothing changes; the driver record. Input listeners are in
// wayland_input.cpp.
#include "display/wayland_driver.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "display/blitters.h"
#include "display/input.h"
#include "display/wayland_backend.h"
#include "gfx/context.h"
#include "gfx/fonts.h"
#include "runtime/runtime.h"

namespace vx {
namespace wayland {
std::unique_ptr<Backend> backend;
}  // namespace wayland

namespace {
using namespace wayland;

std::atomic<bool> title_changed{false};
std::atomic<uint64_t> stat_frames{0}, stat_last_ns{0}, stat_ticks{0}, stat_wakes{0};

template <typename T>
std::atomic_ref<T> shared(T& value) {
    return std::atomic_ref<T>(value);
}

void free_buffers(Backend& b) {
    for (ShmBuffer& buffer : b.buffers) {
        if (buffer.buffer) wl_buffer_destroy(buffer.buffer);
        buffer = ShmBuffer{};
    }
    if (b.mapping) munmap(b.mapping, b.mapping_size);
    b.mapping = nullptr;
    b.mapping_size = 0;
}

void buffer_release(void* data, wl_buffer*) { static_cast<ShmBuffer*>(data)->busy = false; }
const wl_buffer_listener buffer_listener = {buffer_release};

// Two buffers in one shared-memory file: one for the compositor to show, one to draw into.
bool make_buffers(Backend& b) {
    free_buffers(b);
    const size_t size = static_cast<size_t>(b.stride) * static_cast<size_t>(b.buffer_height);
    const size_t total = size * 2;
    int fd = memfd_create("vxpiano-frame", MFD_CLOEXEC);
    if (fd < 0) return false;
    if (ftruncate(fd, static_cast<off_t>(total)) != 0) {
        close(fd);
        return false;
    }
    void* mapped = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        close(fd);
        return false;
    }
    b.mapping = static_cast<uint8_t*>(mapped);
    b.mapping_size = total;
    wl_shm_pool* pool = wl_shm_create_pool(b.shm, fd, static_cast<int32_t>(total));
    close(fd);
    const GfxContext* ctx = gfx_context();
    for (int i = 0; i < 2; ++i) {
        ShmBuffer& buffer = b.buffers[i];
        buffer.pixels = b.mapping + size * static_cast<size_t>(i);
        buffer.buffer = wl_shm_pool_create_buffer(pool, static_cast<int32_t>(size * static_cast<size_t>(i)), b.buffer_width,
                                                  b.buffer_height, b.stride, WL_SHM_FORMAT_XRGB8888);
        wl_buffer_add_listener(buffer.buffer, &buffer_listener, &buffer);
        buffer.stale.assign(ctx ? static_cast<size_t>(ctx->height) : 0, 1);
    }
    wl_shm_pool_destroy(pool);
    return true;
}

// Sizes, scale and buffers for the current output scale and frame: each framebuffer pixel is a
// zoom x zoom block of device pixels; the compositor is told how large that is in its units.
bool apply_layout(Backend& b) {
    WindowState& ws = window_state;
    const GfxContext* ctx = gfx_context();
    if (!ctx) return false;
    const int s120 = scale_120(b);
    // Whole device-pixel blocks at every scale: at a fractional one the nearest whole zoom,
    // the window's size in the desktop's units following from it.
    const int zoom = window_asked_zoom() ? window_asked_zoom() : std::clamp((s120 + 60) / 120, 1, 3);
    b.zoom = zoom;
    b.bar_rows = b.client_frame ? frame_bar_rows : 0;
    b.buffer_width = ws.width * zoom;
    b.buffer_height = (ws.height + b.bar_rows) * zoom;
    b.stride = b.buffer_width * 4;
    int buffer_scale = 1;
    const bool whole = s120 % 120 == 0;
    if (whole && b.buffer_width % (s120 / 120) == 0 && b.buffer_height % (s120 / 120) == 0) buffer_scale = s120 / 120;
    if (buffer_scale > 1 || !b.viewport || (whole && s120 == 120)) {
        b.logical_width = b.buffer_width / buffer_scale;
        b.logical_height = b.buffer_height / buffer_scale;
        if (b.viewport) wp_viewport_set_destination(b.viewport, -1, -1);
    } else {
        b.logical_width = std::max(1, (b.buffer_width * 120 + s120 / 2) / s120);
        b.logical_height = std::max(1, (b.buffer_height * 120 + s120 / 2) / s120);
        wp_viewport_set_destination(b.viewport, b.logical_width, b.logical_height);
    }
    wl_surface_set_buffer_scale(b.surface, buffer_scale);
    xdg_toplevel_set_min_size(b.toplevel, b.logical_width, b.logical_height);
    xdg_toplevel_set_max_size(b.toplevel, b.logical_width, b.logical_height);
    xdg_surface_set_window_geometry(b.shell_surface, 0, 0, b.logical_width, b.logical_height);
    ws.zoom = zoom;
    ws.window_width = b.buffer_width;
    ws.window_height = b.buffer_height;
    ws.offset_x = 0;
    ws.offset_y = b.bar_rows * zoom;
    blitter_zoom_set(zoom, 32);
    window_mark_all_dirty();
    b.layout_changed = false;
    return make_buffers(b);
}

void fill_block(const Backend& b, uint8_t* pixels, int x, int y, int width, int height, uint32_t colour) {
    for (int row = y * b.zoom; row < (y + height) * b.zoom; ++row) {
        auto* line = reinterpret_cast<uint32_t*>(pixels + static_cast<ptrdiff_t>(row) * b.stride);
        std::fill(line + x * b.zoom, line + (x + width) * b.zoom, colour);
    }
}

// The client-side frame: a bar with the title in the built-in 8 x 14 font and a close button
// with a cross, drawn in whole blocks. Not the screen's current font: the program's thread
// may change that while this thread draws.
void draw_frame(const Backend& b, uint8_t* pixels) {
    const int side = b.bar_rows, left = close_button_left(b);
    fill_block(b, pixels, 0, 0, window_state.width, side, frame_colour);
    if (const FontDesc* font = &font_8x14(); font->glyphs && font->height <= side) {
        const int top = (side - font->height) / 2;
        int x = 6;
        for (const char* c = window_state.title; *c && x + font->width < left; ++c, x += font->width) {
            const uint8_t* glyph = font->glyphs + static_cast<size_t>(static_cast<uint8_t>(*c)) * static_cast<size_t>(font->height);
            for (int row = 0; row < font->height; ++row)
                for (int column = 0; column < font->width; ++column)
                    if (glyph[row] & (1 << column)) fill_block(b, pixels, x + column, top + row, 1, 1, frame_mark_colour);
        }
    }
    fill_block(b, pixels, left + 2, 2, side - 4, side - 4, frame_button_colour);
    for (int i = 6; i < side - 6; ++i) {
        fill_block(b, pixels, left + i, i, 1, 1, frame_mark_colour);
        fill_block(b, pixels, left + side - 1 - i, i, 1, 1, frame_mark_colour);
    }
}

void frame_done(void* data, wl_callback* callback, uint32_t) {
    auto* b = static_cast<Backend*>(data);
    wl_callback_destroy(callback);
    if (b->frame_callback == callback) b->frame_callback = nullptr;
}
const wl_callback_listener frame_listener = {frame_done};

// One presentation, lock held: when the last frame was shown and a buffer is free, the lines
// that buffer has not seen are converted into it and only they are damaged.
bool present_tick(Backend& b) {
    WindowState& ws = window_state;
    GfxContext* ctx = gfx_context();
    if (!ctx || !b.configured || b.frame_callback) return false;
    if (b.layout_changed && !apply_layout(b)) return false;
    if (ws.palette_changed) {
        ws.palette_changed = 0;
        window_mark_all_dirty();  // index colours are converted through the palette
    }
    const size_t lines = static_cast<size_t>(ctx->height);
    uint8_t* dirty = ctx->dirty.get();
    bool any = false;
    for (size_t y = 0; y < lines && !any; ++y) any = dirty[y] != 0;
    ShmBuffer* target = nullptr;
    for (ShmBuffer& buffer : b.buffers)
        if (!buffer.busy && !target) target = &buffer;
    if (!target || (!any && target->frame_drawn == b.client_frame)) return false;
    const auto start = Clock::now();
    for (ShmBuffer& buffer : b.buffers)
        for (size_t y = 0; y < lines; ++y) buffer.stale[y] |= dirty[y];
    // The blitter converts the lines its dirty flags name: here, what this buffer has not seen.
    std::memcpy(dirty, target->stale.data(), lines);
    ws.blitter(target->pixels + static_cast<ptrdiff_t>(ws.offset_y) * b.stride, b.stride);
    const int rows_per_line = b.zoom * std::max(1, ctx->scale);
    for (size_t y = 0; y < lines;) {
        if (!target->stale[y]) {
            ++y;
            continue;
        }
        size_t end = y;
        while (end < lines && target->stale[end]) ++end;
        wl_surface_damage_buffer(b.surface, 0, ws.offset_y + static_cast<int>(y) * rows_per_line, b.buffer_width,
                                 static_cast<int>(end - y) * rows_per_line);
        y = end;
    }
    std::fill(target->stale.begin(), target->stale.end(), 0);
    std::memset(dirty, 0, static_cast<size_t>(ctx->height) * static_cast<size_t>(ctx->scale));
    if (b.client_frame && !target->frame_drawn) {
        draw_frame(b, target->pixels);
        wl_surface_damage_buffer(b.surface, 0, 0, b.buffer_width, ws.offset_y);
    }
    target->frame_drawn = b.client_frame;
    target->busy = true;
    b.frame_callback = wl_surface_frame(b.surface);
    wl_callback_add_listener(b.frame_callback, &frame_listener, &b);
    wl_surface_attach(b.surface, target->buffer, 0, 0);
    wl_surface_commit(b.surface);
    stat_last_ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    ++stat_frames;
    return true;
}

void wm_base_ping(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener wm_base_listener = {wm_base_ping};

void shell_surface_configure(void* data, xdg_surface* surface, uint32_t serial) {
    auto* b = static_cast<Backend*>(data);
    xdg_surface_ack_configure(surface, serial);
    b->configured = true;
    window_activation(b->activated);
}
const xdg_surface_listener shell_surface_listener = {shell_surface_configure};

void toplevel_configure(void* data, xdg_toplevel*, int32_t, int32_t, wl_array* states) {
    auto* b = static_cast<Backend*>(data);
    b->activated = false;
    const auto* state = static_cast<const uint32_t*>(states->data);
    for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i)
        if (state[i] == XDG_TOPLEVEL_STATE_ACTIVATED) b->activated = true;
}
void toplevel_close(void*, xdg_toplevel*) { window_close_request(); }
void toplevel_bounds(void*, xdg_toplevel*, int32_t, int32_t) {}
void toplevel_capabilities(void*, xdg_toplevel*, wl_array*) {}
const xdg_toplevel_listener toplevel_listener = {toplevel_configure, toplevel_close, toplevel_bounds, toplevel_capabilities};

void decoration_configure(void* data, zxdg_toplevel_decoration_v1*, uint32_t mode) {
    auto* b = static_cast<Backend*>(data);
    const bool client = mode == ZXDG_TOPLEVEL_DECORATION_V1_MODE_CLIENT_SIDE && !(window_state.flags & 8);
    if (client != b->client_frame) {
        b->client_frame = client;
        b->layout_changed = true;
    }
}
const zxdg_toplevel_decoration_v1_listener decoration_listener = {decoration_configure};

void surface_enter(void* data, wl_surface*, wl_output* output) {
    auto* b = static_cast<Backend*>(data);
    b->entered.push_back(output);
    b->layout_changed = true;
}
void surface_leave(void* data, wl_surface*, wl_output* output) {
    auto* b = static_cast<Backend*>(data);
    std::erase(b->entered, output);
    b->layout_changed = true;
}
const wl_surface_listener surface_listener = {surface_enter, surface_leave};

void output_geometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*, int32_t) {}
void output_mode(void*, wl_output*, uint32_t flags, int32_t, int32_t, int32_t refresh) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    if (GfxContext* ctx = gfx_context()) ctx->refresh_rate = (refresh + 500) / 1000;
}
void output_done(void*, wl_output*) {
    if (backend) backend->layout_changed = true;
}
void output_scale(void* data, wl_output*, int32_t factor) { static_cast<Output*>(data)->scale = std::max(1, factor); }
void output_name(void*, wl_output*, const char*) {}
void output_description(void*, wl_output*, const char*) {}
const wl_output_listener output_listener = {output_geometry, output_mode, output_done, output_scale, output_name, output_description};

void preferred_scale(void* data, wp_fractional_scale_v1*, uint32_t scale) {
    auto* b = static_cast<Backend*>(data);
    if (static_cast<int>(scale) == b->preferred_120) return;
    b->preferred_120 = static_cast<int>(scale);
    b->layout_changed = true;
}
const wp_fractional_scale_v1_listener fractional_listener = {preferred_scale};

template <typename T>
T* bind(wl_registry* registry, uint32_t name, const wl_interface* interface, uint32_t offered, uint32_t wanted) {
    return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

void registry_global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
    auto* b = static_cast<Backend*>(data);
    const std::string id = interface;
    if (id == wl_compositor_interface.name) {
        b->compositor = bind<wl_compositor>(registry, name, &wl_compositor_interface, version, 4);
    } else if (id == wl_shm_interface.name) {
        b->shm = bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (id == xdg_wm_base_interface.name) {
        b->wm_base = bind<xdg_wm_base>(registry, name, &xdg_wm_base_interface, version, 2);
        xdg_wm_base_add_listener(b->wm_base, &wm_base_listener, b);
    } else if (id == wl_seat_interface.name && !b->seat) {
        b->seat = bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
        wl_seat_add_listener(b->seat, &seat_listener, b);
    } else if (id == wl_output_interface.name) {
        auto output = std::make_unique<Output>();
        output->name = name;
        output->output = bind<wl_output>(registry, name, &wl_output_interface, version, 2);
        wl_output_add_listener(output->output, &output_listener, output.get());
        b->outputs.push_back(std::move(output));
    } else if (id == zxdg_decoration_manager_v1_interface.name) {
        b->decoration_manager = bind<zxdg_decoration_manager_v1>(registry, name, &zxdg_decoration_manager_v1_interface, version, 1);
    } else if (id == wp_viewporter_interface.name) {
        b->viewporter = bind<wp_viewporter>(registry, name, &wp_viewporter_interface, version, 1);
    } else if (id == wp_fractional_scale_manager_v1_interface.name) {
        b->fractional_manager =
            bind<wp_fractional_scale_manager_v1>(registry, name, &wp_fractional_scale_manager_v1_interface, version, 1);
    }
}

void registry_global_remove(void* data, wl_registry*, uint32_t name) {
    auto* b = static_cast<Backend*>(data);
    for (auto it = b->outputs.begin(); it != b->outputs.end(); ++it) {
        if ((*it)->name != name) continue;
        std::erase(b->entered, (*it)->output);
        wl_output_destroy((*it)->output);
        b->outputs.erase(it);
        b->layout_changed = true;
        return;
    }
}
const wl_registry_listener registry_listener = {registry_global, registry_global_remove};

// A display named in the environment, or the default socket where one can be found: without
// XDG_RUNTIME_DIR, libwayland would only print an error of its own.
bool display_reachable() {
    for (const char* name : {"WAYLAND_DISPLAY", "WAYLAND_SOCKET"})
        if (const char* value = std::getenv(name); value && *value) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime;
}

int backend_open() {
    WindowState& ws = window_state;
    if (!gfx_context() || !display_reachable()) return -1;
    backend = std::make_unique<Backend>();
    Backend& b = *backend;
    b.display = wl_display_connect(nullptr);
    if (!b.display) return -1;
    b.xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    b.registry = wl_display_get_registry(b.display);
    wl_registry_add_listener(b.registry, &registry_listener, &b);
    // Globals, then what binding them sent (the outputs' scales, the seat's devices).
    if (wl_display_roundtrip(b.display) < 0 || wl_display_roundtrip(b.display) < 0) return -1;
    if (!b.compositor || !b.shm || !b.wm_base || !b.xkb) return -1;
    ws.blitter = blitter_select(32, false);  // XRGB8888 is 0x00RRGGBB in the host's order
    if (!ws.blitter) return -1;

    b.surface = wl_compositor_create_surface(b.compositor);
    wl_surface_add_listener(b.surface, &surface_listener, &b);
    b.shell_surface = xdg_wm_base_get_xdg_surface(b.wm_base, b.surface);
    xdg_surface_add_listener(b.shell_surface, &shell_surface_listener, &b);
    b.toplevel = xdg_surface_get_toplevel(b.shell_surface);
    xdg_toplevel_add_listener(b.toplevel, &toplevel_listener, &b);
    xdg_toplevel_set_title(b.toplevel, title_utf8(ws.title).c_str());
    // The desktop entry's name and icon apply to windows of this id: the executable's name,
    // whatever the title says (the MIDI failure box has its own).
    std::string app_id = rt_executable_path();
    app_id = app_id.empty() ? ws.title : app_id.substr(app_id.rfind('/') + 1);
    xdg_toplevel_set_app_id(b.toplevel, app_id.c_str());
    if (b.viewporter) b.viewport = wp_viewporter_get_viewport(b.viewporter, b.surface);
    if (b.fractional_manager) {
        b.fractional = wp_fractional_scale_manager_v1_get_fractional_scale(b.fractional_manager, b.surface);
        wp_fractional_scale_v1_add_listener(b.fractional, &fractional_listener, &b);
    }
    // Server-side decorations where offered; otherwise (or when the compositor asks for it)
    // the window draws its own bar with a close button.
    b.client_frame = !(ws.flags & 8);
    if (b.decoration_manager && !(ws.flags & 8)) {
        b.decoration = zxdg_decoration_manager_v1_get_toplevel_decoration(b.decoration_manager, b.toplevel);
        zxdg_toplevel_decoration_v1_add_listener(b.decoration, &decoration_listener, &b);
        zxdg_toplevel_decoration_v1_set_mode(b.decoration, ZXDG_TOPLEVEL_DECORATION_V1_MODE_SERVER_SIDE);
        b.client_frame = false;
    }
    if (!apply_layout(b)) return -1;
    wl_surface_commit(b.surface);
    while (!b.configured)
        if (wl_display_dispatch(b.display) < 0) return -1;
    return 0;
}

void backend_close() {
    if (!backend) return;
    Backend& b = *backend;
    if (b.display) {
        if (b.frame_callback) wl_callback_destroy(b.frame_callback);
        free_buffers(b);
        if (b.cursor_surface) wl_surface_destroy(b.cursor_surface);
        if (b.cursor_theme) wl_cursor_theme_destroy(b.cursor_theme);
        if (b.keyboard) wl_keyboard_destroy(b.keyboard);
        if (b.pointer) wl_pointer_destroy(b.pointer);
        if (b.fractional) wp_fractional_scale_v1_destroy(b.fractional);
        if (b.viewport) wp_viewport_destroy(b.viewport);
        if (b.decoration) zxdg_toplevel_decoration_v1_destroy(b.decoration);
        if (b.toplevel) xdg_toplevel_destroy(b.toplevel);
        if (b.shell_surface) xdg_surface_destroy(b.shell_surface);
        if (b.surface) wl_surface_destroy(b.surface);
        for (const auto& o : b.outputs) wl_output_destroy(o->output);
        if (b.fractional_manager) wp_fractional_scale_manager_v1_destroy(b.fractional_manager);
        if (b.viewporter) wp_viewporter_destroy(b.viewporter);
        if (b.decoration_manager) zxdg_decoration_manager_v1_destroy(b.decoration_manager);
        if (b.seat) wl_seat_destroy(b.seat);
        if (b.wm_base) xdg_wm_base_destroy(b.wm_base);
        if (b.shm) wl_shm_destroy(b.shm);
        if (b.compositor) wl_compositor_destroy(b.compositor);
        if (b.registry) wl_registry_destroy(b.registry);
        if (!window_connection_gone()) wl_display_flush(b.display);
        wl_display_disconnect(b.display);
    }
    if (b.keys) xkb_state_unref(b.keys);
    if (b.keymap) xkb_keymap_unref(b.keymap);
    if (b.xkb) xkb_context_unref(b.xkb);
    blitter_zoom_set(1, 32);
    backend.reset();
}

void backend_repaint() { window_mark_all_dirty(); }

// Dispatches what the connection queued, lock held; false when the connection broke.
bool dispatch(Backend& b) {
    const int handled = wl_display_dispatch_pending(b.display);
    if (handled < 0) {
        window_connection_broken();
        return false;
    }
    if (handled > 0) input_arrived();
    return true;
}

void run_loop(Backend& b) {
    WindowState& ws = window_state;
    UpdatePacing pacing;
    while (shared(ws.inited).load() && !window_connection_gone()) {
        window_lock();
        bool alive = true;
        while (alive && wl_display_prepare_read(b.display) != 0) alive = dispatch(b);
        window_unlock();
        if (!alive) break;
        // Requests go out before the wait; a full socket is flushed on a later pass.
        if (wl_display_flush(b.display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(b.display);
            window_connection_broken();
            break;
        }
        pollfd fds[2] = {{wl_display_get_fd(b.display), POLLIN, 0}, {window_wake_fd(), POLLIN, 0}};
        const int ready = poll(fds, fds[1].fd >= 0 ? 2 : 1, pacing.wait_ms(Clock::now()));
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            if (wl_display_read_events(b.display) < 0) {
                window_connection_broken();
                break;
            }
        } else {
            wl_display_cancel_read(b.display);
            if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
                window_connection_broken();
                break;
            }
        }
        Clock::time_point now = Clock::now();
        if (ready > 0 && fds[1].fd >= 0 && (fds[1].revents & POLLIN) && pacing.woken(now)) ++stat_wakes;
        const bool tick_due = pacing.tick_due(now);
        window_lock();
        bool presented = false;
        if (dispatch(b) && tick_due) {
            ++stat_ticks;
            if (title_changed.exchange(false)) xdg_toplevel_set_title(b.toplevel, title_utf8(ws.title).c_str());
            presented = present_tick(b);
            if (b.repeat_keycode && now >= b.next_repeat && b.repeat_rate > 0) {
                key_report(b, b.repeat_keycode, true);
                input_arrived();
                b.next_repeat = now + std::chrono::milliseconds(std::max(1, 1000 / b.repeat_rate));
            }
        }
        // A frame waiting for the compositor's callback keeps the thread ticking.
        const bool busy = presented || b.frame_callback || b.layout_changed || window_keys_held();
        if (pacing.pass_done(tick_due, busy, now)) ++stat_wakes;
        window_unlock();
    }
    window_loop_ended();
}

void wayland_thread_main(StartSignal* start) {
    if (backend_open() != 0) {
        backend_close();
        return;
    }
    window_state.active = backend->activated ? 1 : 0;
    window_thread_started(start);
    run_loop(*backend);
}

int wayland_open(const char* title, int width, int height, int depth, int refresh, int flags) {
    window_state = WindowState{};
    // Neither OpenGL presentation nor a full-screen mode of its own: the window stays windowed.
    if (flags & 3) return -1;
    window_state.hooks = {backend_open, backend_close, backend_repaint, wayland_thread_main, nullptr, nullptr};
    window_state.version = 1 * 256;  // the core protocol's version
    stat_frames = 0;
    return window_open(title, width, height, std::max(depth, 8), refresh, flags | 4);
}

void wayland_set_title(const char* text) {
    window_title_set(text, [] { title_changed = true; });
}

// A client cannot learn or choose its position on Wayland.
int wayland_position(int, int) { return 0; }

std::vector<int32_t> wayland_list_modes(int) { return {}; }

}  // namespace

const DisplayDriver wayland_driver = {
    "Wayland",
    wayland_open,
    window_close,
    window_lock,
    window_unlock,
    window_palette_entry,
    window_wait_retrace,
    window_read_mouse,
    nullptr,  // no warping or confining: Wayland leaves the pointer to the user
    wayland_set_title,
    wayland_position,
    wayland_list_modes,
    nullptr,
    nullptr,
};

PresentStats wayland_present_stats() {
    PresentStats stats;
    stats.frames = stat_frames.load();
    stats.last_ns = stat_last_ns.load();
    stats.shared_memory = true;
    stats.bits = 32;
    stats.ticks = stat_ticks.load();
    stats.wakes = stat_wakes.load();
    return stats;
}

}  // namespace vx
