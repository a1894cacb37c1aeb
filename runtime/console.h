// The console hook table and the console side of the text operations. While a graphics screen
// is open the screen installs its own versions in the table; with no screen (all hooks empty)
// the console versions here run.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

// The 27 hooks, in table order. Hooks 14, 18, 19, 21, 22, 23, 25 and 26 are reached by no
// operation of this system; a screen fills them with an operation that does nothing.
struct ConsoleHooks {
    std::string (*key_read)();                                          // 1
    int (*key_wait)();                                                  // 2
    int (*key_ready)();                                                 // 3
    void (*cls)(uint32_t how);                                          // 4
    uint32_t (*color)(uint32_t fg, uint32_t bg, int which);             // 5
    int (*locate)(int row, int col, int ignored);                       // 6
    int (*width)(int cols, int rows);                                   // 7
    int (*text_col_query)();                                            // 8
    int (*text_row_query)();                                            // 9
    int (*text_pos_query)(int* col, int* row);                          // 10
    int (*text_size_query)(int* cols, int* rows);                       // 11
    void (*print)(const char* text, int length, int flags);             // 12
    void (*print_wide)(const uint16_t* text, int length, int flags);    // 13
    void (*hook14)();                                                   // 14
    int (*key_down)(int scancode);                                      // 15
    int (*mouse_get)(int* x, int* y, int* wheel, int* buttons, int* clip);  // 16
    int (*mouse_set)(int x, int y, int cursor, int clip);              // 17
    void (*hook18)();                                                   // 18
    void (*hook19)();                                                   // 19
    void (*nothing)();                                                  // 20
    void (*hook21)();                                                   // 21
    void (*hook22)();                                                   // 22
    void (*hook23)();                                                   // 23
    void (*pause)(int milliseconds);                                    // 24
    void (*hook25)();                                                   // 25
    void (*hook26)();                                                   // 26
    int (*page_select)(int work, int visible);                          // 27
};
static_assert(sizeof(ConsoleHooks) == 27 * sizeof(void*), "the table has 27 entries");

extern ConsoleHooks console_hooks;

// Number of hooks that are set (0 while no screen is open).
int console_hooks_installed();

// The console's text state that the screen reads and resets. Rows are 0-based; a view with
// top < 0 is unset and means the whole grid.
struct ConsoleState {
    int cols = 80;
    int rows = 25;
    int view_top = -1;
    int view_bottom = -1;
    int print_col = 0;  // 0-based column of the next printed character
};
extern ConsoleState console_state;

// Sets the text view to rows top..bottom (0-based, inclusive); negative top unsets it.
void console_view_set(int top, int bottom);
// The view as rows of a grid of `rows` rows: unset or out of range gives the whole grid.
void console_view_get(int rows, int* top, int* bottom);

// Entry points that dispatch through the table, falling back to the console versions.
std::string rt_key_read();
int rt_key_wait();
int rt_key_ready();
void rt_cls(uint32_t how);
uint32_t rt_color(uint32_t fg, uint32_t bg, int which);
int rt_locate(int row, int col);
int rt_width(int cols, int rows);
int rt_text_col();
int rt_text_row();
int rt_text_pos(int* col, int* row);
int rt_text_size(int* cols, int* rows);
void rt_print(const char* text, int length, int flags);
void rt_print_wide(const uint16_t* text, int length, int flags);
int rt_key_down(int scancode);
int rt_mouse_get(int* x, int* y, int* wheel, int* buttons, int* clip);
int rt_mouse_set(int x, int y, int cursor, int clip);
void rt_pause(int milliseconds);
int rt_page_select(int work, int visible);

// Console text size (80 x 25 on a reset) and clear, used when a screen closes.
void console_reset_text_mode();

}  // namespace vx
