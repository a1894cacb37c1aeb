// The display driver record: the entry points through which the screen talks to a back end,
// the list the mode set tries, and the Null record.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vx {

// One read-only record per driver. Entries marked optional may be null; callers test them.
struct DisplayDriver {
    const char* name;
    // 0 on success; height is the framebuffer height times the mode's scale.
    int (*open)(const char* title, int width, int height, int depth, int refresh, int flags);
    void (*close)();  // also called after a failed open
    void (*lock)();
    void (*unlock)();
    void (*palette_entry)(int index, int red, int green, int blue);        // optional
    void (*wait_retrace)();
    int (*read_mouse)(int* x, int* y, int* wheel, int* buttons, int* clip); // optional; 0 = ok
    void (*write_mouse)(int x, int y, int cursor, int clip);               // optional
    void (*window_title)(const char* text);
    int (*window_position)(int x, int y);  // previous left + top * 65536
    std::vector<int32_t> (*list_modes)(int depth);  // width * 65536 + height each
    void (*present)();                                                      // optional
    void (*poll)();                                                         // optional
};

// What the last presentation of a windowed back end cost, for benchmarks: frames presented
// since open, the time of the last one (conversion and sending; on X11 also the server's
// completion), and how it was sent.
struct PresentStats {
    uint64_t frames = 0;
    uint64_t last_ns = 0;
    bool shared_memory = false;
    int bits = 0;
    bool reversed = false;
    uint64_t ticks = 0;  // presentation ticks run
    uint64_t wakes = 0;  // times an idle thread was woken by drawing
};

extern const DisplayDriver null_driver;

// The drivers the mode set tries, in preference order.
std::span<const DisplayDriver* const> display_drivers();

// Replaces the list (tests put their own records in); an empty span restores the built one.
void set_display_drivers(std::span<const DisplayDriver* const> list);

// The desktop's size, depth and refresh rate for screen_info without a screen; all 0 when no
// display can be reached.
struct DesktopInfo {
    int width = 0, height = 0, depth = 0, refresh = 0;
};
DesktopInfo desktop_query();

}  // namespace vx
