// The MIDI open failure message drawn through the graphics library's own window: where no X
// display can be reached (a Wayland desktop without XWayland) the box still appears, through
// whichever windowed driver opens, with the same words and the same answers.
#include <algorithm>
#include <string>
#include <vector>

#include "app/common/close_request.h"
#include "app/keyboard/message_box.h"
#include <vxgfx/input.h>
#include <vxgfx/console.h>
#include <vxgfx/screen.h>
#include <vxgfx/text.h>
#include <vxgfx/draw.h>
#include <vxgfx/runtime.h>

namespace app {
namespace {

constexpr int box_width = 360;
constexpr int margin = 12, sign_size = 30, text_x = margin + sign_size + 12;
constexpr int button_width = 80, button_height = 24;
constexpr uint32_t face = 0xF0F0F0, ink = 0x000000, sign = 0xC8282D, sign_mark = 0xFFFFFF;
constexpr uint32_t button_face = 0xE1E1E1, button_edge = 0x707070;
constexpr size_t most_lines = 8;

void fill(int x1, int y1, int x2, int y2, uint32_t colour) {
    vx::line_draw(nullptr, static_cast<float>(x1), static_cast<float>(y1), static_cast<float>(x2), static_cast<float>(y2), colour,
                  vx::line_kind_filled_box, 0xFFFF, 4);
}

void edge(int x1, int y1, int x2, int y2, uint32_t colour) {
    vx::line_draw(nullptr, static_cast<float>(x1), static_cast<float>(y1), static_cast<float>(x2), static_cast<float>(y2), colour,
                  vx::line_kind_box, 0xFFFF, 4);
}

void write(const std::string& s, int x, int y) {
    vx::draw_string(nullptr, static_cast<float>(x), static_cast<float>(y), 0x80000004u, s.data(), static_cast<int32_t>(s.size()), 0,
                    nullptr, 0, nullptr, nullptr, nullptr);
}

// Word wrap to `columns` characters of the fixed-width font; a longer word (a path) is cut.
std::vector<std::string> wrap(const std::string& text, size_t columns) {
    std::vector<std::string> lines;
    std::string line;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.size() + 1 + word.size() <= columns) {
            line += " " + word;
            continue;
        }
        if (!line.empty()) lines.push_back(line);
        for (; word.size() > columns; word.erase(0, columns)) lines.push_back(word.substr(0, columns));
        line = word;
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

bool over_button(int x, int y, int left, int top) {
    return x >= left && y >= top && x < left + button_width && y < top + button_height;
}

void draw_button(int left, int top, bool pressed, int glyph_height) {
    fill(left, top, left + button_width - 1, top + button_height - 1, pressed ? button_edge : button_face);
    edge(left, top, left + button_width - 1, top + button_height - 1, button_edge);
    const int shift = pressed ? 1 : 0;
    write("OK", left + (button_width - 16) / 2 + shift, top + (button_height - glyph_height) / 2 + shift);
}

}  // namespace

bool screen_message_box(const char* caption, const char* text, const char* reason) {
    const size_t columns = static_cast<size_t>(box_width - text_x - margin) / 8;
    std::vector<std::string> lines = {text};
    for (const std::string& line : wrap(reason ? reason : "", columns)) lines.push_back(line);
    if (lines.size() > most_lines) {
        lines.resize(most_lines);
        lines.back() = lines.back().substr(0, columns - 3) + "...";
    }
    const int line_height = 16;  // the tallest built-in font
    const int text_bottom = margin + static_cast<int>(lines.size()) * line_height;
    const int button_top = std::max(margin + sign_size, text_bottom) + margin;
    const int height = button_top + button_height + margin;
    const int button_left = (box_width - button_width) / 2;

    vx::screen_title(caption);
    // A fixed-size window of its own (no full-screen switch), 32 bits.
    if (vx::screen_res(box_width, height, 32, 0, 4, 0) != 0) return false;
    vx::ScreenInfo info;
    vx::screen_info(&info);
    const vx::FontDesc* font = vx::screen_font();
    if (info.driver == "Null" || !font) {  // nobody could answer a box without a window
        vx::screen_close();
        return false;
    }
    const int glyph_height = font->height;
    vx::gfx_color(ink, face, 0);
    fill(0, 0, box_width - 1, height - 1, face);
    fill(margin, margin, margin + sign_size - 1, margin + sign_size - 1, sign);
    for (int i = 8; i < sign_size - 8; ++i) {
        fill(margin + i, margin + i, margin + i + 1, margin + i + 1, sign_mark);
        fill(margin + sign_size - 2 - i, margin + i, margin + sign_size - 1 - i, margin + i + 1, sign_mark);
    }
    for (size_t i = 0; i < lines.size(); ++i) write(lines[i], text_x, margin + static_cast<int>(i) * line_height);
    draw_button(button_left, button_top, false, glyph_height);

    bool pressed = false, answered = false;
    while (!answered && !close_requested()) {
        const uint64_t seen = vx::input_generation();
        vx::pointer_read_begin();
        int x = -1, y = -1, buttons = 0;
        const bool inside = vx::mouse_get(&x, &y, nullptr, &buttons, nullptr) == 0;
        const bool down = inside && (buttons & 1) && over_button(x, y, button_left, button_top);
        if (down != pressed) draw_button(button_left, button_top, down, glyph_height);
        // Released over the button: the answer, as a click on a real button.
        if (pressed && !down && inside && !(buttons & 1) && over_button(x, y, button_left, button_top)) answered = true;
        pressed = down;
        // Return, Space, Escape and the close request (the window's button, Alt+F4) answer too.
        for (std::string key = vx::key_read(); !key.empty(); key = vx::key_read())
            if (key == "\r" || key == " " || key == "\x1b" || key == "\xFFk") answered = true;
        if (!answered) vx::wait_input(seen, 50);
    }
    vx::screen_close();
    return true;
}

}  // namespace app
