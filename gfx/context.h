// The one graphics screen of the process (GfxContext), the process-wide drawing state
// (DrawState), and the operations that open, reopen and close the screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <string>
#include <vector>

#include <vxgfx/screen.h>

#include "display/driver.h"
#include "gfx/fonts.h"

namespace vx {

struct DrawState;

// Pixel routines of the current target (chosen per target and colour).
using PutPixelFn = void (*)(DrawState* state, int x, int y, uint32_t colour);
using GetPixelFn = uint32_t (*)(DrawState* state, int x, int y);
using FillSpanFn = void (*)(uint8_t* address, uint32_t colour, size_t count);
using CopySpanFn = void (*)(uint8_t* destination, const uint8_t* source, size_t count);
using MemFillFn = void (*)(void* address, uint8_t value, size_t bytes);
using MemCopyFn = void (*)(void* destination, const void* source, size_t bytes);

struct TextCell {
    uint16_t ch;
    uint32_t fg;
    uint32_t bg;
};

// Five 32-bit words: the kind, then words whose meaning depends on it.
struct InputEvent {
    int32_t kind;
    int32_t word[4];
};
static_assert(sizeof(InputEvent) == 20);

// Context flag bits.
enum : uint32_t {
    ctx_locked = 0x1,
    ctx_auto_locked = 0x2,
    ctx_pending_line_feed = 0x4,
    ctx_alpha_primitives = 0x8,
    ctx_vector_routines = 0x1000000,
    ctx_opengl = 0x20000000,
};

// DrawState flag bits.
enum : uint32_t {
    state_rebuild_lines = 0x1,
    state_image_target = 0x2,
    state_view = 0x10,
};

struct GfxContext {
    int32_t id = 0;
    int32_t mode = -1;
    std::vector<std::unique_ptr<uint8_t[]>> pages;
    int32_t page_count = 1;
    int32_t visible_page = 0;
    uint8_t* visible_buffer = nullptr;
    int32_t width = 0, height = 0;
    int32_t depth = 0;   // 1, 2, 4, 8, 16 or 32
    int32_t bpp = 0;     // bytes per pixel
    int32_t pitch = 0;   // bytes per line
    uint32_t master_palette[256] = {};  // r + g * 256 + b * 65536
    uint32_t device_palette[256] = {};  // what each pixel value shows now
    uint8_t attribute_map[16] = {};
    std::unique_ptr<uint8_t[]> dirty;   // height * scale bytes, 1 = changed
    const DisplayDriver* driver = nullptr;
    uint32_t colour_mask = 0;
    const PaletteDesc* palette_desc = nullptr;
    int32_t scale = 1;
    int32_t text_col = 0, text_row = 0;
    const FontDesc* font = nullptr;
    int32_t text_cols = 0, text_rows = 0;
    uint8_t key_state[128] = {};
    int32_t refresh_rate = 0;
    std::vector<std::vector<TextCell>> text_cells;  // one grid per page, row after row
    InputEvent event_ring[128] = {};
    int32_t event_read = 0, event_write = 0;
    std::binary_semaphore event_lock{1};
    uint32_t flags = 0;
    uint32_t conversion_table[512] = {};  // filled by the pixel-format conversion
};

// The mode descriptor of a numbered mode, or the one screen_res builds.
struct ModeInfo {
    int32_t width, height;
    int32_t depth;
    int32_t scale;
    const PaletteDesc* palette;
    const FontDesc* font;
    int32_t text_cols, text_rows;
};

struct DrawState {
    int32_t context_id = 0;
    int32_t work_page = 0;
    std::vector<uint8_t*> lines;
    int32_t lines_capacity = 0;
    int32_t target_bpp = 0, target_pitch = 0;
    void* target = nullptr;  // image buffer, or null for the screen
    float last_x = 0, last_y = 0;
    int32_t clip_x = 0, clip_y = 0, clip_w = 0, clip_h = 0;
    int32_t saved_clip[4] = {};
    uint32_t fg = 0, bg = 0;
    PutPixelFn put_pixel = nullptr;
    GetPixelFn get_pixel = nullptr;
    FillSpanFn fill_span = nullptr;
    uint32_t flags = 0;
    const void* trans_routines = nullptr;  // the transparent-put table, chosen at first use
};

// The open screen, or null.
GfxContext* gfx_context();

int set_mode(const ModeInfo* info, int mode, int depth, int pages, int refresh, int flags);

// Keeping screens of several depths set up at once, on the null driver only (a real driver
// has one window for the one screen). screen_release takes the open screen out of service
// without closing it and hands it to the caller (null when none is open or it has a real
// driver); screen_restore closes the open screen, if any, and makes a released one the open
// screen again, its pixels, palette and pages as they were, the drawing state reset.
GfxContext* screen_release();
void screen_restore(GfxContext* screen);

DrawState* draw_state();
void set_target(DrawState* state, void* image);
void post_event(const InputEvent& event);

// The numbered mode table, entries 0..21 (0 and 3..6 are empty, width 0).
const ModeInfo& mode_table_entry(int mode);

// Display lock bracket: every write to pixels, the palette or the dirty flags goes between
// these. bracket_mark_dirty marks lines first..last when the state's target is the visible page.
void bracket_begin(GfxContext* ctx);
void bracket_end(GfxContext* ctx);
void bracket_mark_dirty(GfxContext* ctx, const DrawState* state, int first, int last);

}  // namespace vx
