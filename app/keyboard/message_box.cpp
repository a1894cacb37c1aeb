// The MIDI open failure message: a small fixed-size X11 dialog with an error sign, the text and
// an OK button, drawn with Xlib alone since it appears before the graphics screen exists.
#include "app/keyboard/message_box.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include "app/common/close_request.h"
#include <vxgfx/x11.h>
#include <vxgfx/runtime.h>

namespace app {

namespace {

// Sizes in pixels at zoom 1; zoom_box scales them to the graphics window's zoom. The box is at
// least min_box_width wide and grows, within the screen, to fit the reason under "Error:"; the
// OK button stays centred under the text.
int zoom = 1;
int min_box_width = 300;
int max_box_width = 640;
int min_box_height = 104;
int screen_edge = 40;  // kept free around a box that grows towards the screen's size
int button_width = 80;
int button_height = 26;
int button_gap = 14;   // above and below the button
int sign_x = 18, sign_y = 16, sign_size = 34;
int text_x = 18 + 34 + 16;
int text_right_margin = 18;
int line_gap = 2;

void zoom_box(int z) {
    for (int* size : {&min_box_width, &max_box_width, &min_box_height, &screen_edge, &button_width,
                      &button_height, &button_gap, &sign_x, &sign_y, &sign_size, &text_x,
                      &text_right_margin, &line_gap})
        *size = *size / zoom * z;
    zoom = z;
}

struct BoxLayout {
    int width = min_box_width, height = min_box_height;
    int button_x = 0, button_y = 0;
    int first_baseline = 0, line_height = 0;
    std::vector<std::string> lines;  // the word "Error:" first, then the reason, wrapped
};

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

struct BoxColours {
    unsigned long face, text, sign, sign_mark, button_face, button_edge, button_shadow;
};

// Errors such as a refused focus change must not end the process as Xlib's default would.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

// The server went away while the box was up: the user can no longer answer, so carry on with
// what OK would have done.
int server_gone(Display*) { vx::rt_exit(0); }

unsigned long colour(Display* display, const char* spec, unsigned long fallback) {
    Colormap map = DefaultColormap(display, DefaultScreen(display));
    XColor wanted;
    if (XParseColor(display, map, spec, &wanted) && XAllocColor(display, map, &wanted))
        return wanted.pixel;
    return fallback;
}

void set_atom_property(Display* display, Window window, const char* property,
                       const char* const* values, int count) {
    Atom atoms[4];
    for (int i = 0; i < count; ++i) atoms[i] = XInternAtom(display, values[i], False);
    XChangeProperty(display, window, XInternAtom(display, property, False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(atoms), count);
}

int text_width(XFontStruct* font, const std::string& text) {
    const int length = static_cast<int>(text.size());
    return font ? XTextWidth(font, text.data(), length) : 6 * length;
}

// Greedy word wrap to `width` pixels; a word longer than a line (a long path) is cut where the
// line is full. A newline in the text always breaks.
std::vector<std::string> wrap(XFontStruct* font, const std::string& text, int width) {
    std::vector<std::string> lines;
    std::string line;
    size_t at = 0;
    auto flush = [&] {
        lines.push_back(line);
        line.clear();
    };
    while (at < text.size()) {
        if (text[at] == '\n') {
            flush();
            ++at;
            continue;
        }
        size_t end = text.find_first_of(" \n", at);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(at, end - at);
        at = end < text.size() && text[end] == ' ' ? end + 1 : end;
        std::string joined = line.empty() ? word : line + " " + word;
        if (text_width(font, joined) <= width) {
            line = joined;
            continue;
        }
        if (!line.empty()) flush();
        while (text_width(font, word) > width && word.size() > 1) {
            size_t fits = 1;
            while (fits < word.size() && text_width(font, word.substr(0, fits + 1)) <= width) ++fits;
            lines.push_back(word.substr(0, fits));
            word.erase(0, fits);
        }
        line = word;
    }
    if (!line.empty()) flush();
    return lines;
}

BoxLayout lay_out(XFontStruct* font, const char* text, const char* reason, int screen_width, int screen_height) {
    BoxLayout box;
    const int ascent = font ? font->ascent : 10, descent = font ? font->descent : 3;
    box.line_height = ascent + descent + line_gap;
    const int widest = std::max(min_box_width, std::min(max_box_width, screen_width - screen_edge));
    const int one_line = std::max(text_width(font, text), text_width(font, reason));
    box.width = std::clamp(text_x + one_line + text_right_margin, min_box_width, widest);
    box.lines.push_back(text);
    const std::vector<std::string> wrapped = wrap(font, reason, box.width - text_x - text_right_margin);
    box.lines.insert(box.lines.end(), wrapped.begin(), wrapped.end());

    // One line sits beside the middle of the sign, as the word alone always did; more lines
    // start level with the sign's top.
    const bool alone = box.lines.size() == 1;
    box.first_baseline = alone ? sign_y + (sign_size + ascent) / 2 - 1 : sign_y + ascent;
    const int tallest = std::max(min_box_width / 3, screen_height - screen_edge);
    auto height_for = [&](size_t count) {
        const int text_bottom = box.first_baseline + static_cast<int>(count - 1) * box.line_height + descent;
        return std::max(sign_y + sign_size, text_bottom) + button_gap + button_height + button_gap;
    };
    // Lines that would push the button off the screen are left out, the last kept one marked.
    while (box.lines.size() > 2 && height_for(box.lines.size()) > tallest) box.lines.pop_back();
    if (box.lines.size() < 1 + wrapped.size()) {
        std::string& last = box.lines.back();
        while (!last.empty() && text_width(font, last + "...") > box.width - text_x - text_right_margin) last.pop_back();
        last += "...";
    }
    box.height = std::max(min_box_height, height_for(box.lines.size()));
    box.button_x = (box.width - button_width) / 2;
    box.button_y = box.height - button_height - button_gap;
    return box;
}

void describe_window(Display* display, Window box, const char* caption, const BoxLayout& layout) {
    XStoreName(display, box, caption);
    XChangeProperty(display, box, XInternAtom(display, "_NET_WM_NAME", False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(caption),
                    static_cast<int>(std::strlen(caption)));
    XClassHint class_hint{const_cast<char*>("vxpiano"), const_cast<char*>("vxpiano")};
    XSetClassHint(display, box, &class_hint);

    XSizeHints* size = XAllocSizeHints();
    size->flags = PPosition | PMinSize | PMaxSize;
    size->x = (DisplayWidth(display, DefaultScreen(display)) - layout.width) / 2;
    size->y = (DisplayHeight(display, DefaultScreen(display)) - layout.height) / 2;
    size->min_width = size->max_width = layout.width;
    size->min_height = size->max_height = layout.height;
    XSetWMNormalHints(display, box, size);
    XFree(size);

    const char* type[] = {"_NET_WM_WINDOW_TYPE_DIALOG"};
    set_atom_property(display, box, "_NET_WM_WINDOW_TYPE", type, 1);
    const char* state[] = {"_NET_WM_STATE_MODAL", "_NET_WM_STATE_ABOVE"};
    set_atom_property(display, box, "_NET_WM_STATE", state, 2);
    long pid = static_cast<long>(getpid());
    XChangeProperty(display, box, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, box, &delete_window, 1);
}

void draw_centred(Display* display, Drawable target, GC gc, XFontStruct* font, const char* text,
                  int x, int y, int width, int height) {
    int length = static_cast<int>(std::strlen(text));
    int text_width = font ? XTextWidth(font, text, length) : 6 * length;
    int ascent = font ? font->ascent : 10, descent = font ? font->descent : 3;
    XDrawString(display, target, gc, x + (width - text_width) / 2,
                y + (height + ascent - descent) / 2, text, length);
}

void draw_box(Display* display, Window box, GC gc, const BoxColours& c, const BoxLayout& layout) {
    XSetForeground(display, gc, c.sign);
    XFillArc(display, box, gc, sign_x, sign_y, sign_size, sign_size, 0, 360 * 64);
    XSetForeground(display, gc, c.sign_mark);
    XSetLineAttributes(display, gc, static_cast<unsigned>(4 * zoom), LineSolid, CapRound, JoinRound);
    const int inset = 11 * zoom;
    XDrawLine(display, box, gc, sign_x + inset, sign_y + inset, sign_x + sign_size - inset,
              sign_y + sign_size - inset);
    XDrawLine(display, box, gc, sign_x + sign_size - inset, sign_y + inset, sign_x + inset,
              sign_y + sign_size - inset);
    XSetLineAttributes(display, gc, 1, LineSolid, CapButt, JoinMiter);
    XSetForeground(display, gc, c.text);
    int baseline = layout.first_baseline;
    for (const std::string& line : layout.lines) {
        XDrawString(display, box, gc, text_x, baseline, line.data(), static_cast<int>(line.size()));
        baseline += layout.line_height;
    }
}

void draw_button(Display* display, Window button, GC gc, XFontStruct* font, const BoxColours& c,
                 bool pressed) {
    XSetForeground(display, gc, c.button_face);
    XFillRectangle(display, button, gc, 0, 0, button_width, button_height);
    XSetForeground(display, gc, pressed ? c.button_shadow : c.sign_mark);
    XDrawLine(display, button, gc, 0, 0, button_width - 2, 0);
    XDrawLine(display, button, gc, 0, 0, 0, button_height - 2);
    XSetForeground(display, gc, pressed ? c.sign_mark : c.button_shadow);
    XDrawLine(display, button, gc, 1, button_height - 2, button_width - 2, button_height - 2);
    XDrawLine(display, button, gc, button_width - 2, 1, button_width - 2, button_height - 2);
    XSetForeground(display, gc, c.button_edge);
    XDrawRectangle(display, button, gc, 0, 0, button_width - 1, button_height - 1);
    XSetForeground(display, gc, c.text);
    int shift = pressed ? 1 : 0;
    draw_centred(display, button, gc, font, "OK", shift, shift, button_width, button_height);
}

// The next event, or false once SIGINT, SIGTERM or SIGHUP asked the program to end: the box
// is then answered as by its close button. Waits on both descriptors, without a timeout.
bool next_event(Display* display, XEvent& event) {
    while (XPending(display) == 0) {
        if (close_requested()) return false;
        pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {close_request_fd(), POLLIN, 0}};
        if (poll(fds, fds[1].fd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return false;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) server_gone(display);
    }
    if (close_requested()) return false;
    XNextEvent(display, &event);
    return true;
}

bool is_answer_key(XKeyEvent* key) {
    KeySym sym = XLookupKeysym(key, 0);
    return sym == XK_Return || sym == XK_KP_Enter || sym == XK_space || sym == XK_Escape;
}

}  // namespace

bool message_box(const char* caption, const char* text, const char* reason) {
    XInitThreads();
    std::unique_ptr<Display, DisplayCloser> owner(XOpenDisplay(nullptr));
    if (!owner) return screen_message_box(caption, text, reason);
    Display* display = owner.get();
    XSetErrorHandler(ignore_x_error);
    XSetIOErrorHandler(server_gone);

    const int screen = DefaultScreen(display);
    const unsigned long black = BlackPixel(display, screen), white = WhitePixel(display, screen);
    const BoxColours c{colour(display, "#f0f0f0", white), black,
                       colour(display, "#c8282d", black), white,
                       colour(display, "#e1e1e1", white), colour(display, "#707070", black),
                       colour(display, "#a0a0a0", black)};

    zoom_box(vx::x11_zoom(display));
    // Larger text at zoom: a 40-pixel font where one is installed, else the largest fixed one.
    XFontStruct* font = nullptr;
    if (zoom > 2) font = XLoadQueryFont(display, "-*-*-medium-r-normal--40-*-*-*-*-*-iso8859-1");
    if (font == nullptr && zoom > 1) font = XLoadQueryFont(display, "10x20");
    if (font == nullptr) font = XLoadQueryFont(display, "-misc-fixed-medium-r-normal--13-*-*-*-*-*-*-*");
    if (font == nullptr) font = XLoadQueryFont(display, "fixed");
    const BoxLayout layout = lay_out(font, text, reason ? reason : "", DisplayWidth(display, screen),
                                     DisplayHeight(display, screen));

    XSetWindowAttributes attributes{};
    attributes.background_pixel = c.face;
    attributes.event_mask = ExposureMask | KeyPressMask | StructureNotifyMask;
    Window box = XCreateWindow(display, RootWindow(display, screen),
                               (DisplayWidth(display, screen) - layout.width) / 2,
                               (DisplayHeight(display, screen) - layout.height) / 2, layout.width,
                               layout.height, 0, CopyFromParent, InputOutput, CopyFromParent,
                               CWBackPixel | CWEventMask, &attributes);
    describe_window(display, box, caption, layout);
    attributes.background_pixel = c.button_face;
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask |
                            EnterWindowMask | LeaveWindowMask;
    Window button = XCreateWindow(display, box, layout.button_x, layout.button_y, button_width,
                                  button_height, 0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWBackPixel | CWEventMask, &attributes);
    XStoreName(display, button, "OK");

    GC gc = XCreateGC(display, box, 0, nullptr);
    if (font != nullptr) XSetFont(display, gc, font->fid);

    XMapWindow(display, button);
    XMapRaised(display, box);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    bool pressed = false, inside = false, answered = false;
    while (!answered) {
        XEvent event;
        if (!next_event(display, event)) break;
        switch (event.type) {
            case MapNotify:
                if (event.xmap.window == box)
                    XSetInputFocus(display, box, RevertToParent, CurrentTime);
                break;
            case Expose:
                if (event.xexpose.count != 0) break;
                if (event.xexpose.window == box) draw_box(display, box, gc, c, layout);
                else draw_button(display, button, gc, font, c, pressed && inside);
                break;
            case ButtonPress:
                if (event.xbutton.button != Button1) break;
                pressed = inside = true;
                draw_button(display, button, gc, font, c, true);
                break;
            case ButtonRelease:
                if (event.xbutton.button != Button1 || !pressed) break;
                answered = event.xbutton.x >= 0 && event.xbutton.y >= 0 &&
                           event.xbutton.x < button_width && event.xbutton.y < button_height;
                pressed = false;
                draw_button(display, button, gc, font, c, false);
                break;
            case EnterNotify:
            case LeaveNotify:
                inside = event.type == EnterNotify;
                if (pressed) draw_button(display, button, gc, font, c, inside);
                break;
            case KeyPress:
                answered = is_answer_key(&event.xkey);
                break;
            case ClientMessage:
                answered = event.xclient.message_type == protocols &&
                           static_cast<Atom>(event.xclient.data.l[0]) == delete_window;
                break;
            default:
                break;
        }
    }
    if (font != nullptr) XFreeFont(display, font);
    XFreeGC(display, gc);
    XDestroyWindow(display, box);
    XSync(display, False);
    return true;
}

}  // namespace app
