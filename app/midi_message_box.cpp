// The MIDI open failure message: a small fixed-size X11 dialog with an error sign, the text and
// an OK button, drawn with Xlib alone since it appears before the graphics screen exists.
#include "app/midi_message_box.h"

#include <cstring>
#include <memory>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <unistd.h>

#include "display/x11_driver.h"
#include "runtime/runtime.h"

namespace app {

namespace {

// The sizes at zoom 1; the box takes the zoom of the graphics window (zoom_box).
int zoom = 1;
int box_width = 300;
int box_height = 104;
int button_width = 80;
int button_height = 26;
int button_x = (box_width - button_width) / 2;
int button_y = box_height - button_height - 14;
int sign_x = 18, sign_y = 16, sign_size = 34;

void zoom_box(int z) {
    for (int* size : {&box_width, &box_height, &button_width, &button_height, &button_x, &button_y, &sign_x, &sign_y, &sign_size})
        *size = *size / zoom * z;
    zoom = z;
}

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

void describe_window(Display* display, Window box, const char* caption) {
    XStoreName(display, box, caption);
    XChangeProperty(display, box, XInternAtom(display, "_NET_WM_NAME", False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(caption),
                    static_cast<int>(std::strlen(caption)));
    XClassHint class_hint{const_cast<char*>("vxpiano"), const_cast<char*>("vxpiano")};
    XSetClassHint(display, box, &class_hint);

    XSizeHints* size = XAllocSizeHints();
    size->flags = PPosition | PMinSize | PMaxSize;
    size->x = (DisplayWidth(display, DefaultScreen(display)) - box_width) / 2;
    size->y = (DisplayHeight(display, DefaultScreen(display)) - box_height) / 2;
    size->min_width = size->max_width = box_width;
    size->min_height = size->max_height = box_height;
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

void draw_box(Display* display, Window box, GC gc, XFontStruct* font, const BoxColours& c,
              const char* text) {
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
    int length = static_cast<int>(std::strlen(text));
    int ascent = font ? font->ascent : 10;
    XDrawString(display, box, gc, sign_x + sign_size + 16 * zoom, sign_y + (sign_size + ascent) / 2 - 1,
                text, length);
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

bool is_answer_key(XKeyEvent* key) {
    KeySym sym = XLookupKeysym(key, 0);
    return sym == XK_Return || sym == XK_KP_Enter || sym == XK_space || sym == XK_Escape;
}

}  // namespace

bool midi_message_box(const char* caption, const char* text) {
    XInitThreads();
    std::unique_ptr<Display, DisplayCloser> owner(XOpenDisplay(nullptr));
    if (!owner) return false;
    Display* display = owner.get();
    XSetErrorHandler(ignore_x_error);
    XSetIOErrorHandler(server_gone);

    zoom_box(vx::x11_zoom(display));
    const int screen = DefaultScreen(display);
    const unsigned long black = BlackPixel(display, screen), white = WhitePixel(display, screen);
    const BoxColours c{colour(display, "#f0f0f0", white), black,
                       colour(display, "#c8282d", black), white,
                       colour(display, "#e1e1e1", white), colour(display, "#707070", black),
                       colour(display, "#a0a0a0", black)};

    XSetWindowAttributes attributes{};
    attributes.background_pixel = c.face;
    attributes.event_mask = ExposureMask | KeyPressMask | StructureNotifyMask;
    Window box = XCreateWindow(display, RootWindow(display, screen),
                               (DisplayWidth(display, screen) - box_width) / 2,
                               (DisplayHeight(display, screen) - box_height) / 2, box_width,
                               box_height, 0, CopyFromParent, InputOutput, CopyFromParent,
                               CWBackPixel | CWEventMask, &attributes);
    describe_window(display, box, caption);
    attributes.background_pixel = c.button_face;
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask |
                            EnterWindowMask | LeaveWindowMask;
    Window button = XCreateWindow(display, box, button_x, button_y, button_width, button_height,
                                  0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWBackPixel | CWEventMask, &attributes);
    XStoreName(display, button, "OK");

    // Larger text at zoom: a 40-pixel font where one is installed, else the largest fixed one.
    XFontStruct* font = nullptr;
    if (zoom > 2) font = XLoadQueryFont(display, "-*-*-medium-r-normal--40-*-*-*-*-*-iso8859-1");
    if (font == nullptr && zoom > 1) font = XLoadQueryFont(display, "10x20");
    if (font == nullptr) font = XLoadQueryFont(display, "-misc-fixed-medium-r-normal--13-*-*-*-*-*-*-*");
    if (font == nullptr) font = XLoadQueryFont(display, "fixed");
    GC gc = XCreateGC(display, box, 0, nullptr);
    if (font != nullptr) XSetFont(display, gc, font->fid);

    XMapWindow(display, button);
    XMapRaised(display, box);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    bool pressed = false, inside = false, answered = false;
    while (!answered) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
            case MapNotify:
                if (event.xmap.window == box)
                    XSetInputFocus(display, box, RevertToParent, CurrentTime);
                break;
            case Expose:
                if (event.xexpose.count != 0) break;
                if (event.xexpose.window == box) draw_box(display, box, gc, font, c, text);
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
