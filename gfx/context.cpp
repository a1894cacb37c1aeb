// The graphics screen: opening, reopening and closing it, the driver trial, the drawing
// state, targets, pages, the event ring and the display lock bracket.
#include "gfx/context.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <unistd.h>

#include "gfx/hooks.h"
#include "gfx/image.h"
#include "gfx/palette.h"
#include "gfx/primitives.h"
#include "runtime/console.h"
#include "runtime/runtime.h"

namespace vx {
namespace {

GfxContext* current = nullptr;
int next_id = 1;
DrawState* the_state = nullptr;
char title_buffer[128];
bool title_set = false;
bool close_registered = false;

const ModeInfo mode_table[22] = {
    {},
    {320, 200, 2, 1, &builtin_palettes[2], &builtin_fonts[2], 40, 25},
    {640, 200, 1, 2, &builtin_palettes[2], &builtin_fonts[2], 80, 25},
    {}, {}, {}, {},
    {320, 200, 4, 1, &builtin_palettes[2], &builtin_fonts[2], 40, 25},
    {640, 200, 4, 2, &builtin_palettes[2], &builtin_fonts[2], 80, 25},
    {640, 350, 4, 1, &builtin_palettes[1], &builtin_fonts[1], 80, 25},
    {640, 350, 1, 1, &builtin_palettes[3], &builtin_fonts[1], 80, 25},
    {640, 480, 1, 1, &builtin_palettes[3], &builtin_fonts[0], 80, 30},
    {640, 480, 4, 1, &builtin_palettes[0], &builtin_fonts[0], 80, 30},
    {320, 200, 8, 1, &builtin_palettes[0], &builtin_fonts[2], 40, 25},
    {320, 240, 8, 1, &builtin_palettes[0], &builtin_fonts[2], 40, 30},
    {400, 300, 8, 1, &builtin_palettes[0], &builtin_fonts[2], 50, 37},
    {512, 384, 8, 1, &builtin_palettes[0], &builtin_fonts[0], 64, 24},
    {640, 400, 8, 1, &builtin_palettes[0], &builtin_fonts[0], 80, 25},
    {640, 480, 8, 1, &builtin_palettes[0], &builtin_fonts[0], 80, 30},
    {800, 600, 8, 1, &builtin_palettes[0], &builtin_fonts[0], 100, 37},
    {1024, 768, 8, 1, &builtin_palettes[0], &builtin_fonts[0], 128, 48},
    {1280, 1024, 8, 1, &builtin_palettes[0], &builtin_fonts[0], 160, 64},
};

void destroy_context() {
    if (!current) return;
    if (current->driver && current->driver->close) current->driver->close();
    delete current;
    current = nullptr;
}

// The default title: the executable's name without its directories and extension.
void default_title() {
    std::string path = rt_executable_path();
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    std::snprintf(title_buffer, sizeof title_buffer, "%s", name.c_str());
}

// Pages must fit in memory: a request the machine cannot hold is refused up front, since
// zero-filling an overcommitted block would end the process instead of reporting failure.
bool pages_fit(int64_t pitch, int64_t height, int64_t pages) {
    if (pitch <= 0 || pitch > INT32_MAX) return false;
    int64_t bytes = pitch * height;
    if (bytes > INT32_MAX) return false;  // fill counts and line offsets stay in 32 bits
    long page_size = sysconf(_SC_PAGESIZE), phys_pages = sysconf(_SC_PHYS_PAGES);
    if (page_size > 0 && phys_pages > 0 && bytes * pages > static_cast<int64_t>(page_size) * phys_pages) return false;
    return true;
}

// Tries the drivers in passes; returns the one that opened, or null.
const DisplayDriver* driver_trial(const char* name, int width, int height, int depth, int refresh, int flags) {
    auto list = display_drivers();
    int passes = name ? 4 : 2;
    for (;;) {
        bool named_only = name && passes % 2 == 0;
        for (const DisplayDriver* driver : list) {
            if (named_only && strcasecmp(driver->name, name) != 0) continue;
            for (int rate : {refresh, 0}) {
                if (driver->open && driver->open(title_buffer, width, height, depth, rate, flags) == 0) return driver;
                if (driver->close) driver->close();
            }
        }
        if (!name || passes == 2) flags ^= 0x1;
        if (--passes == 0) return nullptr;
    }
}

int fail(int code) {
    rt_set_error(code);
    return code;
}

// Undoes a failed open as a close at exit would: no screen, hooks cleared, console untouched.
int abandon_open() {
    destroy_context();
    clear_screen_hooks();
    console_view_set(-1, -1);
    return fail(1);
}

}  // namespace

GfxContext* gfx_context() { return current; }

const ModeInfo& mode_table_entry(int mode) { return mode_table[mode]; }

void bracket_begin(GfxContext* ctx) {
    if (!(ctx->flags & (ctx_locked | ctx_auto_locked))) {
        if (ctx->driver && ctx->driver->lock) ctx->driver->lock();
        ctx->flags |= ctx_locked | ctx_auto_locked;
    }
}

void bracket_end(GfxContext* ctx) {
    if (ctx->flags & ctx_auto_locked) {
        if (ctx->driver && ctx->driver->unlock) ctx->driver->unlock();
        ctx->flags &= ~(ctx_locked | ctx_auto_locked);
    }
}

void bracket_mark_dirty(GfxContext* ctx, const DrawState* state, int first, int last) {
    if (state->lines.empty() || state->lines[0] != ctx->visible_buffer) return;
    first = std::max(first, 0);
    last = std::min(last, ctx->height - 1);
    if (first <= last) std::memset(ctx->dirty.get() + first, 1, static_cast<size_t>(last - first + 1));
}

int set_mode(const ModeInfo* info, int mode, int depth, int pages, int refresh, int flags) {
    if (pages < 1) pages = 1;
    if (flags >= 0 && (flags & 0x10)) flags |= 0x1C;

    destroy_context();

    if (mode == 0 || !info || info->width == 0) {
        clear_screen_hooks();
        if (flags != static_cast<int>(0x80000000u)) console_reset_text_mode();
        console_view_set(-1, -1);
        return fail(0);
    }

    install_screen_hooks();
    int use_depth = info->depth;
    if (mode > 13 && (depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32)) use_depth = depth;
    if (flags >= 0 && (flags & 0x2) && use_depth < 16) use_depth = 16;
    uint32_t mask;
    if (use_depth == 15 || use_depth == 16) {
        use_depth = 16;
        mask = 0xFFFF;
    } else if (use_depth == 24 || use_depth == 32) {
        use_depth = 32;
        mask = 0xFFFFFFFFu;
    } else {
        mask = (1u << use_depth) - 1;
    }
    int bpp = (use_depth + 7) / 8;
    int64_t pitch = static_cast<int64_t>(bpp) * info->width;
    if (info->width <= 0 || info->height <= 0 || info->scale < 1 || !pages_fit(pitch, info->height, pages))
        return abandon_open();

    GfxContext* ctx = nullptr;
    try {
        ctx = new GfxContext;
        ctx->id = next_id++;
        ctx->mode = mode;
        ctx->width = info->width;
        ctx->height = info->height;
        ctx->depth = use_depth;
        ctx->palette_desc = info->palette;
        ctx->scale = info->scale;
        ctx->font = info->font;
        ctx->colour_mask = mask;
        ctx->bpp = bpp;
        ctx->pitch = static_cast<int32_t>(pitch);
        ctx->page_count = pages;
        size_t page_bytes = static_cast<size_t>(pitch) * static_cast<size_t>(info->height);
        for (int i = 0; i < pages; ++i) ctx->pages.emplace_back(new uint8_t[page_bytes]());
        ctx->visible_page = 0;
        ctx->visible_buffer = ctx->pages[0].get();
        ctx->dirty.reset(new uint8_t[static_cast<size_t>(info->height) * info->scale]());
    } catch (const std::bad_alloc&) {
        delete ctx;
        return abandon_open();
    }
    current = ctx;

    if (flags != -1) {
        if (flags & 0x40) ctx->flags |= ctx_alpha_primitives;
        if (flags & 0x2) ctx->flags |= ctx_opengl;
    }
    select_routine_set(bpp);
    expand_builtin_data();
    if (!title_set) default_title();

    const char* name = std::getenv("VXGFX");
    if (flags == -1 || (name && strcasecmp(name, "null") == 0)) {
        ctx->driver = &null_driver;
    } else {
        ctx->driver = driver_trial(name, ctx->width, ctx->height * ctx->scale, ctx->depth, refresh, flags);
        if (!ctx->driver) return abandon_open();
    }

    palette_set(-1, 0);
    ctx->text_cols = info->text_cols;
    ctx->text_rows = info->text_rows;

    DrawState* state = draw_state();
    try {
        ctx->text_cells.assign(static_cast<size_t>(pages), {});
        auto& grid = ctx->text_cells[static_cast<size_t>(state->work_page)];
        grid.assign(static_cast<size_t>(ctx->text_cols) * ctx->text_rows, TextCell{' ', state->fg, state->bg});
        for (int i = 0; i < pages; ++i)
            if (i != state->work_page) ctx->text_cells[static_cast<size_t>(i)].assign(grid.size(), TextCell{});
    } catch (const std::bad_alloc&) {
        return abandon_open();
    }

    // The driver's thread may already present: clear under the lock, and let it show the result.
    bracket_begin(ctx);
    for (int i = 0; i < pages; ++i)
        for (int y = 0; y < ctx->height; ++y)
            state->fill_span(ctx->pages[static_cast<size_t>(i)].get() + static_cast<size_t>(y) * ctx->pitch, state->bg,
                             static_cast<size_t>(ctx->width));
    std::memset(ctx->dirty.get(), 1, static_cast<size_t>(ctx->height) * ctx->scale);
    bracket_end(ctx);

    if (!close_registered) {
        close_registered = true;
        rt_atexit(screen_close);
    }
    if (flags != static_cast<int>(0x80000000u)) {
        console_view_set(-1, -1);
        ctx->text_row = 0;
    }
    return fail(0);
}

int screen_res(int width, int height, int depth, int pages, int flags, int refresh) {
    if (width <= 0 || height <= 0 || depth < 1 || depth > 32 || !((0x8080C08Bu >> (depth - 1)) & 1)) return fail(1);
    ModeInfo info{width, height, depth, 1, &builtin_palettes[0], &builtin_fonts[2], width / 8, height / 8};
    int code = set_mode(&info, -1, depth, pages, refresh, flags);
    if (code == 0) console_state.print_col = 0;
    return code;
}

int screen_mode(int mode, int depth, int pages, int flags, int refresh) {
    if (mode < 0 || mode > 21 || (mode >= 3 && mode <= 6)) return fail(1);
    if (mode == 0) return set_mode(nullptr, 0, depth, pages, refresh, flags);
    int code = set_mode(&mode_table[mode], mode, depth, pages, refresh, flags);
    if (code == 0) console_state.print_col = 0;
    return code;
}

int screen_mode_pages(int mode, int work_page, int visible_page) {
    int code = screen_mode(mode, 0, 0, 0, 0);
    if (code == 0 && (work_page != 0 || visible_page != 0)) page_select(work_page, visible_page);
    return code;
}

void screen_close() {
    if (current) set_mode(nullptr, 0, 0, 0, 0, static_cast<int>(0x80000000u));
}

GfxContext* screen_release() {
    if (!current || current->driver != &null_driver) return nullptr;
    GfxContext* released = current;
    current = nullptr;
    clear_screen_hooks();
    return released;
}

void screen_restore(GfxContext* screen) {
    if (!screen) return;
    destroy_context();
    install_screen_hooks();
    current = screen;
    if (the_state) the_state->context_id = 0;  // rebuilt for this screen by draw_state
    draw_state();
}

void screen_info(ScreenInfo* out) {
    if (GfxContext* ctx = current) {
        *out = {ctx->width, ctx->height, ctx->depth, ctx->bpp, ctx->pitch, ctx->refresh_rate,
                ctx->driver && ctx->driver->name ? ctx->driver->name : ""};
        return;
    }
    DesktopInfo desktop = desktop_query();
    *out = {desktop.width, desktop.height, desktop.depth, 0, 0, desktop.refresh, ""};
}

void screen_title(const char* text) {
    std::memset(title_buffer, 0, sizeof title_buffer);
    if (text) std::strncpy(title_buffer, text, sizeof title_buffer - 1);
    title_set = true;
    if (current && current->driver && current->driver->window_title) current->driver->window_title(title_buffer);
}

const char* current_title() {
    if (!title_set && !title_buffer[0]) default_title();
    return title_buffer;
}

DrawState* draw_state() {
    if (!the_state) the_state = new DrawState;
    GfxContext* ctx = current;
    if (ctx && the_state->context_id != ctx->id) {
        *the_state = DrawState{};
        the_state->context_id = ctx->id;
        the_state->lines.assign(static_cast<size_t>(ctx->height), nullptr);
        the_state->lines_capacity = ctx->height;
        the_state->saved_clip[2] = ctx->width;
        the_state->saved_clip[3] = ctx->height;
        the_state->fg = ctx->depth == 8 ? 15 : ctx->colour_mask;
        the_state->bg = ctx->colour_mask & 0xFF000000u;
        the_state->flags = state_rebuild_lines;
        set_target(the_state, nullptr);
        choose_routines(the_state, 0xFF000000u);
    }
    return the_state;
}

void set_target(DrawState* state, void* image) {
    GfxContext* ctx = current;
    if (!ctx) return;
    if (image && image == state->target) return;
    if (image) {
        if (!state->target) std::memcpy(state->saved_clip, &state->clip_x, sizeof state->saved_clip);
        ImageView view = image_view(image, ctx->bpp);
        state->clip_x = 0;
        state->clip_y = 0;
        state->target_bpp = view.bpp ? view.bpp : ctx->bpp;
        state->target_pitch = view.pitch;
        // An unusable header gets an empty clip rectangle, so nothing is ever drawn into it.
        bool usable = view.pixels && view.width > 0 && view.height > 0 &&
                      (state->target_bpp == 1 || state->target_bpp == 2 || state->target_bpp == 4) &&
                      view.pitch >= view.width * state->target_bpp;
        if (!usable) state->target_bpp = ctx->bpp;
        state->clip_w = usable ? view.width : 0;
        state->clip_h = usable ? view.height : 0;
        select_routine_set(state->target_bpp);
        size_t rows = usable ? static_cast<size_t>(view.height) : 1;
        if (state->lines.size() < rows) {
            state->lines.resize(rows);
            state->lines_capacity = static_cast<int32_t>(rows);
        }
        for (size_t y = 0; y < rows; ++y) state->lines[y] = view.pixels + y * static_cast<size_t>(usable ? view.pitch : 0);
        state->flags |= state_image_target;
    } else if (state->flags & (state_rebuild_lines | state_image_target)) {
        std::memcpy(&state->clip_x, state->saved_clip, sizeof state->saved_clip);
        state->target_bpp = ctx->bpp;
        state->target_pitch = ctx->pitch;
        uint8_t* page = ctx->pages[static_cast<size_t>(state->work_page)].get();
        for (int y = 0; y < ctx->height; ++y) state->lines[static_cast<size_t>(y)] = page + static_cast<size_t>(y) * ctx->pitch;
        select_routine_set(ctx->bpp);
        state->flags &= ~(state_rebuild_lines | state_image_target);
    }
    state->target = image;
}

int page_select(int work, int visible) {
    GfxContext* ctx = current;
    if (!ctx) return -1;
    DrawState* state = draw_state();
    set_target(state, nullptr);
    int previous = state->work_page + ctx->visible_page * 256;
    if (work < 0 && visible < 0) work = visible = 0;
    if (work >= 0 && work < ctx->page_count) {
        state->work_page = work;
        uint8_t* page = ctx->pages[static_cast<size_t>(work)].get();
        for (int y = 0; y < ctx->height; ++y) state->lines[static_cast<size_t>(y)] = page + static_cast<size_t>(y) * ctx->pitch;
    }
    if (visible >= 0 && visible < ctx->page_count && visible != ctx->visible_page) {
        bracket_begin(ctx);
        ctx->visible_page = visible;
        ctx->visible_buffer = ctx->pages[static_cast<size_t>(visible)].get();
        std::memset(ctx->dirty.get(), 1, static_cast<size_t>(ctx->height));
        bracket_end(ctx);
    }
    return previous;
}

void post_event(const InputEvent& event) {
    GfxContext* ctx = current;
    if (!ctx) return;
    ctx->event_lock.acquire();
    ctx->event_ring[ctx->event_write] = event;
    int next = (ctx->event_write + 1) & 127;
    if (next == ctx->event_read) ctx->event_read = (next + 1) & 127;
    ctx->event_write = next;
    ctx->event_lock.release();
}

}  // namespace vx
