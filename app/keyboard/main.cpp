// vxpiano: a playable MIDI keyboard.
#include <cstdio>

#include "app/common/close_request.h"
#include "app/keyboard/piano.h"
#include <vxgfx/input.h>
#include <vxgfx/runtime.h>

int main(int argc, char** argv) {
    // Before anything starts a thread (the MIDI back ends and the window layer do).
    app::close_request_watch();
    vx::rt_init(argc, argv);
    void* key_sheet = nullptr;
    if (!app::app_start(&key_sheet)) vx::rt_exit(1);
    while (!app::app_pass(key_sheet)) {
    }
    app::app_stop(key_sheet);
    // The loop also ends when the X server goes away; that is an error, not the user's choice.
    if (vx::display_lost()) {
        std::fprintf(stderr, "vxpiano: the connection to the display was lost\n");
        vx::rt_exit(1);
    }
    vx::rt_exit(0);
}
