// The console hook table and the console side of the text operations, used while no graphics
// screen is open: text goes to standard output, keys come from a terminal on standard input.
#include "runtime/console.h"

#include <cstdio>

#include <poll.h>
#include <unistd.h>

#include "runtime/runtime.h"

namespace vx {

ConsoleHooks console_hooks{};
ConsoleState console_state{};

int console_hooks_installed() {
    const void* const* slot = reinterpret_cast<const void* const*>(&console_hooks);
    int n = 0;
    for (int i = 0; i < 27; ++i) n += slot[i] != nullptr;
    return n;
}

void console_view_set(int top, int bottom) {
    console_state.view_top = top;
    console_state.view_bottom = bottom;
}

void console_view_get(int rows, int* top, int* bottom) {
    int t = console_state.view_top, b = console_state.view_bottom;
    if (t < 0 || b < t || b >= rows) {
        t = 0;
        b = rows - 1;
    }
    *top = t;
    *bottom = b;
}

namespace {

bool terminal_out() { return isatty(STDOUT_FILENO) == 1; }

// One byte from a terminal on standard input, without waiting; 0 when there is none.
int console_key_byte() {
    if (isatty(STDIN_FILENO) != 1) return 0;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return 0;
    unsigned char c = 0;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : 0;
}

}  // namespace

std::string rt_key_read() {
    if (console_hooks.key_read) return console_hooks.key_read();
    int c = console_key_byte();
    return c ? std::string(1, static_cast<char>(c)) : std::string();
}

int rt_key_wait() {
    if (console_hooks.key_wait) return console_hooks.key_wait();
    for (;;) {
        if (int c = console_key_byte()) return c;
        rt_sleep_ms(20);
    }
}

int rt_key_ready() {
    if (console_hooks.key_ready) return console_hooks.key_ready();
    if (isatty(STDIN_FILENO) != 1) return 0;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, 0) == 1 ? 1 : 0;
}

void rt_cls(uint32_t how) {
    if (console_hooks.cls) return console_hooks.cls(how);
    if (terminal_out()) std::fputs("\x1b[2J\x1b[H", stdout);
    console_state.print_col = 0;
}

uint32_t rt_color(uint32_t fg, uint32_t bg, int which) {
    if (console_hooks.color) return console_hooks.color(fg, bg, which);
    return 0;
}

int rt_locate(int row, int col) {
    if (console_hooks.locate) return console_hooks.locate(row, col, 0);
    if (col > 0) console_state.print_col = col - 1;
    if (terminal_out() && row > 0 && col > 0) std::printf("\x1b[%d;%dH", row, col);
    return 0;
}

int rt_width(int cols, int rows) {
    if (console_hooks.width) return console_hooks.width(cols, rows);
    int previous = console_state.cols + console_state.rows * 65536;
    if (cols > 0) console_state.cols = cols;
    if (rows > 0) console_state.rows = rows;
    return previous;
}

int rt_text_col() {
    if (console_hooks.text_col_query) return console_hooks.text_col_query();
    return console_state.print_col + 1;
}

int rt_text_row() {
    if (console_hooks.text_row_query) return console_hooks.text_row_query();
    return 1;
}

int rt_text_pos(int* col, int* row) {
    if (console_hooks.text_pos_query) return console_hooks.text_pos_query(col, row);
    if (col) *col = console_state.print_col + 1;
    if (row) *row = 1;
    return 0;
}

int rt_text_size(int* cols, int* rows) {
    if (console_hooks.text_size_query) return console_hooks.text_size_query(cols, rows);
    if (cols) *cols = console_state.cols;
    if (rows) *rows = console_state.rows;
    return 0;
}

void rt_print(const char* text, int length, int flags) {
    if (console_hooks.print) return console_hooks.print(text, length, flags);
    if (!text || length <= 0) return;
    std::fwrite(text, 1, static_cast<size_t>(length), stdout);
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\n' || text[i] == '\r') console_state.print_col = 0;
        else ++console_state.print_col;
    }
}

void rt_print_wide(const uint16_t* text, int length, int flags) {
    if (console_hooks.print_wide) return console_hooks.print_wide(text, length, flags);
    std::string bytes;
    for (int i = 0; text && i < length; ++i) {
        bytes.push_back(text[i] < 256 ? static_cast<char>(text[i]) : '?');
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < length) ++i;  // a surrogate pair is one character
    }
    rt_print(bytes.data(), static_cast<int>(bytes.size()), flags);
}

int rt_key_down(int scancode) {
    if (console_hooks.key_down) return console_hooks.key_down(scancode);
    return 0;
}

int rt_mouse_get(int* x, int* y, int* wheel, int* buttons, int* clip) {
    if (console_hooks.mouse_get) return console_hooks.mouse_get(x, y, wheel, buttons, clip);
    for (int* out : {x, y, wheel, buttons, clip})
        if (out) *out = -1;
    rt_set_error(err_illegal_call);
    return err_illegal_call;
}

int rt_mouse_set(int x, int y, int cursor, int clip) {
    if (console_hooks.mouse_set) return console_hooks.mouse_set(x, y, cursor, clip);
    rt_set_error(err_illegal_call);
    return err_illegal_call;
}

void rt_pause(int milliseconds) {
    if (console_hooks.pause) return console_hooks.pause(milliseconds);
    rt_sleep_ms(milliseconds);
}

int rt_page_select(int work, int visible) {
    if (console_hooks.page_select) return console_hooks.page_select(work, visible);
    return -1;
}

void console_reset_text_mode() {
    console_state.cols = 80;
    console_state.rows = 25;
    if (terminal_out()) std::fputs("\x1b[2J\x1b[H", stdout);
    console_state.print_col = 0;
}

}  // namespace vx
