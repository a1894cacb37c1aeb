// The smallest vxgfx program: a window with a box and a greeting until Escape or the close
// button (or, given a number, that many seconds). Built on its own against an installed vxgfx:
//   c++ -std=c++20 hello.cpp $(pkg-config --cflags --libs vxgfx) -o hello
// or with CMake, from this folder's CMakeLists.txt.
#include <cstdlib>

#include <vxgfx/vxgfx.h>

int main(int argc, char** argv) {
    vx::rt_init(argc, argv);
    if (vx::screen_res(320, 200, 32, 1, 0, 0) != 0) return 1;
    vx::line_draw(nullptr, 10, 10, 309, 189, 0x3060A0, vx::line_kind_filled_box, 0xFFFF, 4);
    vx::draw_string(nullptr, 20, 20, 4, "Hello from vxgfx", 16, 0xFFFFFF, nullptr, 0, nullptr, nullptr, nullptr);
    const long steps = argc > 1 ? std::atol(argv[1]) * 100 : -1;  // of 10 ms
    for (long step = 0; step != steps && vx::key_down(1) == 0 && vx::key_read() != "\xFFk"; ++step) vx::pause(10);
    vx::rt_exit(0);
}
