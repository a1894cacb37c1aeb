// Sprites over a backdrop: three balls bounce across a striped picture. Each move is composed
// off screen in a small image (the backdrop under the old and the new place, the ball put on it
// with the transparent put) and put on the screen in one call, so the window never shows the
// ball half moved, and only those lines are marked dirty: the driver sends a few dozen of the
// 200 lines a frame. Escape or the close button ends it; an optional argument, after that many
// frames.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <vxgfx/vxgfx.h>

namespace {

constexpr int width = 320, height = 200, ball = 24, fastest = 3;
constexpr uint32_t absolute = 4, solid = 0xFFFF, mask_filled = 0x80000000u;

struct Ball {
    int x, y, dx, dy;
};

// The picture behind the balls, drawn once into an image of the screen's depth.
void* make_backdrop() {
    void* image = vx::image_create(width, height, 0x101820, 0, 0);
    if (!image) return nullptr;
    for (int y = 0; y < height; y += 20)
        vx::line_draw(image, 0, y, width - 1, y + 9, 0x182838 + (y / 20) * 0x080404, vx::line_kind_filled_box, solid,
                      absolute);
    const std::string title = "vxgfx sprites: only changed lines are sent";
    vx::draw_string(image, 4, height - 12, absolute, title.data(), static_cast<int>(title.size()), 0xC0C0C0, nullptr,
                    0, nullptr, nullptr, nullptr);
    return image;
}

// A round ball on the mask colour, which the transparent put leaves out.
void* make_ball(uint32_t colour) {
    void* image = vx::image_create(ball, ball, 0, 0, mask_filled);
    if (!image) return nullptr;
    const int r = ball / 2;
    for (int y = 0; y < ball; ++y)
        for (int x = 0; x < ball; ++x) {
            const int dx = 2 * x + 1 - ball, dy = 2 * y + 1 - ball;
            if (dx * dx + dy * dy <= 4 * r * r)
                vx::pixel_set(image, x, y, dx + dy < -ball / 2 ? 0xFFFFFF : colour, absolute, false);
        }
    return image;
}

// Puts the rectangle (x1, y1)-(x2, y2) of `image` at (x, y) of `target` (null: the screen).
void put(void* target, int x, int y, void* image, int x1, int y1, int x2, int y2) {
    vx::put_image(target, x, y, image, x1, y1, x2, y2, 0, vx::put_mode_trans, vx::put_trans, 0xFFFFFFFF, nullptr,
                  nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    vx::rt_init(argc, argv);
    const long frames = argc > 1 ? std::atol(argv[1]) : -1;
    vx::screen_title("vxgfx sprites");
    if (vx::screen_res(width, height, 32, 1, 0, 0) != 0) {
        std::fprintf(stderr, "sprites: no window could be opened\n");
        return 1;
    }
    void* backdrop = make_backdrop();
    void* balls[3] = {make_ball(0xD04040), make_ball(0x40B040), make_ball(0x4060E0)};
    void* patch = vx::image_create(ball + fastest, ball + fastest, 0, 0, 0);
    if (!backdrop || !balls[0] || !balls[1] || !balls[2] || !patch) {
        std::fprintf(stderr, "sprites: out of memory\n");
        return 1;
    }
    put(nullptr, 0, 0, backdrop, vx::whole_image, 0, 0, 0);

    Ball where[3] = {{10, 20, 3, 2}, {150, 90, -2, 3}, {260, 150, 2, -2}};
    bool done = false;
    for (long frame = 0; frame != frames && !done; ++frame) {
        for (int i = 0; i < 3; ++i) {
            Ball& b = where[i];
            const int old_x = b.x, old_y = b.y;
            b.x += b.dx, b.y += b.dy;
            if (b.x < 0 || b.x > width - ball) b.dx = -b.dx, b.x += 2 * b.dx;
            if (b.y < 0 || b.y > height - 16 - ball) b.dy = -b.dy, b.y += 2 * b.dy;
            // The rectangle covering both places: the backdrop, then the ball on it.
            const int x0 = std::min(old_x, b.x), y0 = std::min(old_y, b.y);
            const int w = std::abs(b.x - old_x) + ball, h = std::abs(b.y - old_y) + ball;
            put(patch, 0, 0, backdrop, x0, y0, x0 + w - 1, y0 + h - 1);
            put(patch, b.x - x0, b.y - y0, balls[i], vx::whole_image, 0, 0, 0);
            put(nullptr, x0, y0, patch, 0, 0, w - 1, h - 1);
        }
        for (std::string key = vx::key_read(); !key.empty(); key = vx::key_read())
            if (key == "\x1b" || key == "\xFFk") done = true;
        vx::rt_sleep_ms(16);
    }
    for (void* image : balls) vx::image_destroy(image);
    vx::image_destroy(patch);
    vx::image_destroy(backdrop);
    vx::rt_exit(vx::display_lost() ? 1 : 0);
}
