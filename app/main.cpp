// vxpiano: a playable MIDI keyboard.
#include "app/piano.h"
#include "runtime/runtime.h"

int main(int argc, char** argv) {
    vx::rt_init(argc, argv);
    void* key_sheet = nullptr;
    if (!app::app_start(&key_sheet)) vx::rt_exit(1);
    while (!app::app_pass(key_sheet)) {
    }
    app::app_stop(key_sheet);
    vx::rt_exit(0);
}
