// The graphics screen's entries in the console hook table.
#include "gfx/hooks.h"

#include "display/input.h"
#include "gfx/console.h"
#include "gfx/console_ops.h"
#include "gfx/context.h"
#include "runtime/console.h"

namespace vx {
namespace {

void does_nothing() {}

}  // namespace

void install_screen_hooks() {
    ConsoleHooks& h = console_hooks;
    h.key_read = key_read;
    h.key_wait = key_wait;
    h.key_ready = key_ready;
    h.cls = gfx_cls;
    h.color = gfx_color;
    h.locate = console_locate;
    h.width = gfx_width;
    h.text_col_query = text_col_query;
    h.text_row_query = text_row_query;
    h.text_pos_query = text_pos_query;
    h.text_size_query = text_size_query;
    h.print = console_print;
    h.print_wide = console_print_wide;
    h.key_down = key_down;
    h.mouse_get = mouse_get;
    h.mouse_set = mouse_set;
    h.pause = pause;
    h.page_select = page_select;
    h.nothing = does_nothing;
    for (auto* unused : {&h.hook14, &h.hook18, &h.hook19, &h.hook21, &h.hook22, &h.hook23, &h.hook25, &h.hook26})
        *unused = does_nothing;
}

void clear_screen_hooks() { console_hooks = ConsoleHooks{}; }

}  // namespace vx
