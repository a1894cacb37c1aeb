// The X11 back end: connection, visual, window and presentation resources, opened by the
// update thread; the update loop that presents every ~10 ms and handles X events as soon as
// they arrive; and the driver record.
#include "display/x11_driver.h"

#include <vxgfx/icon.h>
#include "display/input.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/scrnsaver.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "display/blitters.h"
#include "display/window.h"
#include "display/x11_window.h"
#include "gfx/context.h"

namespace vx {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int host_byte_order = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;

// Everything the back end opens, released once by backend_close.
struct Backend {
    Display* display = nullptr;
    Visual* visual = nullptr;
    int depth = 0;
    bool pseudo_colour = false;
    Colormap colormap = 0;
    bool own_colormap = false;
    Window window = 0;
    GC gc = nullptr;
    XImage* image = nullptr;
    XShmSegmentInfo shm{};
    bool shm_attached = false;
    bool screensaver_suspended = false;
    bool needs_sync = false;
};
std::unique_ptr<Backend> backend;

std::atomic<Display*> our_display{nullptr};
// Displays whose server went away, with their GCs: never closed (see backend_close), so their
// client-side records are kept, reachable, for the rest of the process (a list that is never
// destroyed, so they stay reachable after static destructors too).
std::vector<std::pair<Display*, GC>>& abandoned_displays() {
    static auto* list = new std::vector<std::pair<Display*, GC>>;
    return *list;
}
std::atomic<uint64_t> stat_frames{0}, stat_last_ns{0}, stat_ticks{0}, stat_wakes{0};
std::atomic<bool> stat_shm{false}, stat_reversed{false};
std::atomic<int> stat_bits{0};

XErrorHandler previous_error_handler = nullptr;
XIOErrorHandler previous_io_handler = nullptr;
std::atomic<bool> shm_attach_failed{false};

template <typename T>
std::atomic_ref<T> shared(T& value) {
    return std::atomic_ref<T>(value);
}

// A refused request of ours (a grab, a warp into a closing window) is no reason to end the
// program, which is what Xlib's default handler would do; other connections keep theirs.
int library_error_handler(Display* d, XErrorEvent* e) {
    if (d == our_display.load()) return 0;
    return previous_error_handler ? previous_error_handler(d, e) : 0;
}

int shm_attach_error_handler(Display*, XErrorEvent*) {
    shm_attach_failed = true;
    return 0;
}

int quiet_io_handler(Display* d) {
    if (d == our_display.load()) return 0;
    return previous_io_handler ? previous_io_handler(d) : 0;
}

// Instead of Xlib's exit: the update thread sees the flag and stops; the program is told
// through display_lost() and the queued close code.
void io_exit_handler(Display*, void*) { window_connection_broken(); }

void install_handlers_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        previous_error_handler = XSetErrorHandler(library_error_handler);
        previous_io_handler = XSetIOErrorHandler(quiet_io_handler);
    });
}

struct VisualChoice {
    Visual* visual = nullptr;
    int depth = 0;
    int bits = 0;
    bool reversed = false;
    bool pseudo_colour = false;
};

int bits_per_pixel(Display* d, int depth) {
    int count = 0, bpp = 0;
    if (XPixmapFormatValues* formats = XListPixmapFormats(d, &count)) {
        for (int i = 0; i < count; ++i)
            if (formats[i].depth == depth) bpp = formats[i].bits_per_pixel;
        XFree(formats);
    }
    return bpp;
}

// The conversion target of a visual: bit count and channel order from its masks.
bool describe_visual(Display* d, Visual* visual, int depth, VisualChoice& out) {
    out = {visual, depth, 0, false, false};
    if (visual->c_class == PseudoColor && depth == 8 && visual->map_entries >= 256) {
        out.bits = 8;
        out.pseudo_colour = true;
        return true;
    }
    if (visual->c_class != TrueColor) return false;
    int bpp = bits_per_pixel(d, depth);
    unsigned long r = visual->red_mask, g = visual->green_mask, b = visual->blue_mask;
    if ((depth == 24 || depth == 32) && (bpp == 32 || bpp == 24) && g == 0xFF00) {
        if (r == 0xFF0000 && b == 0xFF) out.bits = bpp;
        else if (r == 0xFF && b == 0xFF0000) out = {visual, depth, bpp, true, false};
    } else if (depth == 16 && bpp == 16 && g == 0x07E0) {
        if (r == 0xF800 && b == 0x1F) out.bits = 16;
        else if (r == 0x1F && b == 0xF800) out = {visual, depth, 16, true, false};
    } else if (depth == 15 && bpp == 16 && g == 0x03E0) {
        if (r == 0x7C00 && b == 0x1F) out.bits = 15;
        else if (r == 0x1F && b == 0x7C00) out = {visual, depth, 15, true, false};
    }
    return out.bits != 0;
}

// The default visual when the framebuffer converts to it, else the first other visual of
// the screen that it converts to.
bool choose_visual(Display* d, int screen, int source_depth, VisualChoice& out) {
    if (describe_visual(d, DefaultVisual(d, screen), DefaultDepth(d, screen), out) &&
        blitter_lookup(plain_blitters, source_depth, out.bits, out.reversed))
        return true;
    const int candidates[][2] = {{24, TrueColor}, {16, TrueColor}, {15, TrueColor}, {8, PseudoColor}};
    for (const auto& c : candidates) {
        XVisualInfo info;
        if (!XMatchVisualInfo(d, screen, c[0], c[1], &info)) continue;
        if (describe_visual(d, info.visual, info.depth, out) && blitter_lookup(plain_blitters, source_depth, out.bits, out.reversed))
            return true;
    }
    return false;
}

struct Rect {
    int x, y, width, height;
};

// The monitor under the pointer (the whole screen without RandR monitors).
Rect placement_monitor(Display* d, int screen, int* index) {
    Window root = RootWindow(d, screen);
    Rect area{0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen)};
    *index = -1;
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(d, &event_base, &error_base) || !XRRQueryVersion(d, &major, &minor) || major * 100 + minor < 105)
        return area;
    Window root_return, child;
    int px = 0, py = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, root, &root_return, &child, &px, &py, &wx, &wy, &mask);
    int count = 0;
    if (XRRMonitorInfo* monitors = XRRGetMonitors(d, root, True, &count)) {
        for (int i = 0; i < count; ++i) {
            const XRRMonitorInfo& m = monitors[i];
            if (px >= m.x && py >= m.y && px < m.x + m.width && py < m.y + m.height) {
                area = {m.x, m.y, m.width, m.height};
                *index = i;
            }
        }
        XRRFreeMonitors(monitors);
    }
    return area;
}

int current_refresh(Display* d, int screen) {
    int event_base = 0, error_base = 0, rate = 0;
    if (!XRRQueryExtension(d, &event_base, &error_base)) return 0;
    if (XRRScreenConfiguration* config = XRRGetScreenInfo(d, RootWindow(d, screen))) {
        rate = XRRConfigCurrentRate(config);
        XRRFreeScreenConfigInfo(config);
    }
    return rate;
}

// The Xft.dpi resource of the desktop (RESOURCE_MANAGER on the root window), 0 when unset.
double resource_dpi(Display* d) {
    const char* resources = XResourceManagerString(d);
    if (!resources) return 0;
    XrmInitialize();
    XrmDatabase database = XrmGetStringDatabase(resources);
    if (!database) return 0;
    char* type = nullptr;
    XrmValue value{};
    double dpi = 0;
    if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) dpi = std::strtod(value.addr, nullptr);
    XrmDestroyDatabase(database);
    // Anything beyond any real screen (or not a number) is treated as unset: the zoom is made
    // from it by a conversion to int that a huge value would overflow.
    if (!(dpi > 0 && dpi < 96 * 1000)) return 0;
    return dpi;
}

void intern_atoms(Display* d, WindowAtoms& atoms) {
    const char* names[] = {"WM_PROTOCOLS", "WM_DELETE_WINDOW", "_NET_WM_PING", "_NET_WM_NAME", "UTF8_STRING",
                           "_NET_WM_STATE", "_NET_WM_STATE_FULLSCREEN", "_NET_FRAME_EXTENTS", "VX WM_MOUSEENTER emulation"};
    Atom values[9] = {};
    XInternAtoms(d, const_cast<char**>(names), 9, False, values);
    atoms = {values[0], values[1], values[2], values[3], values[4], values[5], values[6], values[7], values[8]};
}

void set_window_properties(Backend& b, const Rect& area) {
    WindowState& ws = window_state;
    Display* d = b.display;
    Window w = b.window;
    window_store_title();

    XClassHint class_hint{ws.title, ws.class_name};
    XSetClassHint(d, w, &class_hint);
    Atom protocols[2] = {x11_window.atoms.wm_delete_window, x11_window.atoms.net_wm_ping};
    XSetWMProtocols(d, w, protocols, 2);

    long pid = getpid();
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0)
        XChangeProperty(d, w, XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace, reinterpret_cast<unsigned char*>(host),
                        static_cast<int>(std::strlen(host)));

    if (XSizeHints* hints = XAllocSizeHints()) {
        hints->flags = PPosition | PSize;
        hints->x = area.x;
        hints->y = area.y;
        hints->width = ws.window_width;
        hints->height = ws.window_height;
        // Without full-screen switching the window keeps the picture's size.
        if (ws.flags & 4) {
            hints->flags |= PMinSize | PMaxSize;
            hints->min_width = hints->max_width = ws.width * ws.zoom;
            hints->min_height = hints->max_height = ws.height * ws.zoom;
        }
        XSetWMNormalHints(d, w, hints);
        XFree(hints);
    }
    if (XWMHints* hints = XAllocWMHints()) {
        hints->flags = InputHint | StateHint;
        hints->input = True;
        hints->initial_state = NormalState;
        XSetWMHints(d, w, hints);
        XFree(hints);
    }
    // Every size the program supplied, one after the other, as _NET_WM_ICON takes them.
    std::vector<long> icon_data;
    for (const ProgramIcon& icon : program_icon()) {
        icon_data.push_back(icon.width);
        icon_data.push_back(icon.height);
        for (int i = 0; i < icon.width * icon.height; ++i) icon_data.push_back(static_cast<long>(icon.argb[i]));
    }
    if (!icon_data.empty())
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_ICON", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(icon_data.data()), static_cast<int>(icon_data.size()));
    std::vector<Atom> state;
    if (ws.flags & 1) state.push_back(x11_window.atoms.net_wm_state_fullscreen);
    if (ws.flags & 0x20) state.push_back(XInternAtom(d, "_NET_WM_STATE_ABOVE", False));
    if (!state.empty())
        XChangeProperty(d, w, x11_window.atoms.net_wm_state, XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(state.data()),
                        static_cast<int>(state.size()));
    if (ws.flags & 8) {
        Atom motif = XInternAtom(d, "_MOTIF_WM_HINTS", False);
        long hints[5] = {2, 0, 0, 0, 0};  // decorations given: none
        XChangeProperty(d, w, motif, motif, 32, PropModeReplace, reinterpret_cast<unsigned char*>(hints), 5);
    }
}

void create_cursors(Backend& b) {
    x11_window.arrow_cursor = XCreateFontCursor(b.display, XC_left_ptr);
    static char empty[1] = {0};
    Pixmap blank = XCreateBitmapFromData(b.display, b.window, empty, 1, 1);
    XColor black{};
    x11_window.invisible_cursor = XCreatePixmapCursor(b.display, blank, blank, &black, &black, 0, 0);
    XFreePixmap(b.display, blank);
    XDefineCursor(b.display, b.window, x11_window.arrow_cursor);
}

// MIT-SHM under a temporary error handler around the attach and a sync; the segment is marked
// removed at once, so it goes away with the last detach whatever happens to the process.
bool create_shm_image(Backend& b) {
    WindowState& ws = window_state;
    Display* d = b.display;
    if (!XShmQueryExtension(d) || ImageByteOrder(d) != host_byte_order) return false;
    XImage* image = XShmCreateImage(d, b.visual, static_cast<unsigned>(b.depth), ZPixmap, nullptr, &b.shm,
                                    static_cast<unsigned>(ws.width * ws.zoom), static_cast<unsigned>(ws.height * ws.zoom));
    if (!image) return false;
    size_t bytes = static_cast<size_t>(image->bytes_per_line) * static_cast<size_t>(image->height);
    b.shm.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (b.shm.shmid < 0) {
        XDestroyImage(image);
        return false;
    }
    void* address = shmat(b.shm.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(b.shm.shmid, IPC_RMID, nullptr);
        XDestroyImage(image);
        b.shm = {};
        return false;
    }
    b.shm.shmaddr = image->data = static_cast<char*>(address);
    b.shm.readOnly = False;
    shm_attach_failed = false;
    XErrorHandler previous = XSetErrorHandler(shm_attach_error_handler);
    Status attached = XShmAttach(d, &b.shm);
    XSync(d, False);
    XSetErrorHandler(previous);
    shmctl(b.shm.shmid, IPC_RMID, nullptr);
    if (!attached || shm_attach_failed) {
        shmdt(b.shm.shmaddr);
        image->data = nullptr;
        XDestroyImage(image);
        b.shm = {};
        return false;
    }
    std::memset(image->data, 0, bytes);
    b.image = image;
    b.shm_attached = true;
    return true;
}

bool create_plain_image(Backend& b) {
    WindowState& ws = window_state;
    XImage* image = XCreateImage(b.display, b.visual, static_cast<unsigned>(b.depth), ZPixmap, 0, nullptr,
                                 static_cast<unsigned>(ws.width * ws.zoom), static_cast<unsigned>(ws.height * ws.zoom), 32, 0);
    if (!image) return false;
    image->data = static_cast<char*>(std::calloc(static_cast<size_t>(image->bytes_per_line), static_cast<size_t>(ws.height * ws.zoom)));
    if (!image->data) {
        XDestroyImage(image);
        return false;
    }
    // The conversions write the host's byte order; XPutImage swaps for a server of the other.
    image->byte_order = host_byte_order;
    b.image = image;
    return true;
}

// Picture rows first_row.. (framebuffer lines times the scale), sent as their zoomed band.
void put_rows(Backend& b, int first_row, int rows) {
    const WindowState& ws = window_state;
    if (rows <= 0) return;
    const int zoom = std::max(1, ws.zoom);
    first_row *= zoom;
    const unsigned width = static_cast<unsigned>(ws.width * zoom), height = static_cast<unsigned>(rows * zoom);
    if (b.shm_attached)
        XShmPutImage(b.display, b.window, b.gc, b.image, 0, first_row, ws.offset_x, ws.offset_y + first_row, width, height, False);
    else
        XPutImage(b.display, b.window, b.gc, b.image, 0, first_row, ws.offset_x, ws.offset_y + first_row, width, height);
    b.needs_sync = true;
}

int backend_open() {
    WindowState& ws = window_state;
    GfxContext* ctx = gfx_context();
    if (!ctx) return -1;
    install_handlers_once();
    backend = std::make_unique<Backend>();
    Backend& b = *backend;
    b.display = XOpenDisplay(nullptr);
    if (!b.display) return -1;
    Display* d = b.display;
    our_display = d;
    XSetIOErrorExitHandler(d, io_exit_handler, nullptr);
    x11_window.display = d;
    const int screen = DefaultScreen(d);
    const Window root = RootWindow(d, screen);
    ws.zoom = x11_zoom(d);

    VisualChoice visual;
    if (!choose_visual(d, screen, ctx->depth, visual)) return -1;
    b.visual = visual.visual;
    b.depth = visual.depth;
    b.pseudo_colour = visual.pseudo_colour;
    ws.blitter = blitter_select(visual.bits, visual.reversed);
    if (!ws.blitter) return -1;
    blitter_zoom_set(ws.zoom, visual.bits);
    stat_bits = visual.bits;
    stat_reversed = visual.reversed;
    intern_atoms(d, x11_window.atoms);

    Rect area = placement_monitor(d, screen, &ws.monitor);
    const int shown_width = ws.width * ws.zoom, shown_height = ws.height * ws.zoom;
    Rect place{area.x + (area.width - shown_width) / 2, area.y + (area.height - shown_height) / 2, shown_width, shown_height};
    if (ws.flags & 1) place = area;  // full screen: the picture is centred in the monitor-sized window
    ws.window_width = place.width;
    ws.window_height = place.height;
    ws.offset_x = std::max(0, (place.width - shown_width) / 2);
    ws.offset_y = std::max(0, (place.height - shown_height) / 2);

    if (b.visual == DefaultVisual(d, screen) && !b.pseudo_colour) {
        b.colormap = DefaultColormap(d, screen);
    } else {
        b.colormap = XCreateColormap(d, root, b.visual, b.pseudo_colour ? AllocAll : AllocNone);
        b.own_colormap = true;
    }
    XSetWindowAttributes attributes{};
    attributes.background_pixmap = None;  // the picture covers the window; no flash of a background
    attributes.border_pixel = 0;
    attributes.colormap = b.colormap;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                            EnterWindowMask | LeaveWindowMask | FocusChangeMask | StructureNotifyMask | ExposureMask |
                            KeymapStateMask;
    b.window = XCreateWindow(d, root, place.x, place.y, static_cast<unsigned>(place.width), static_cast<unsigned>(place.height), 0,
                             b.depth, InputOutput, b.visual, CWBackPixmap | CWBorderPixel | CWColormap | CWEventMask, &attributes);
    if (!b.window) return -1;
    x11_window.window = b.window;
    set_window_properties(b, place);
    create_cursors(b);
    b.gc = XCreateGC(d, b.window, 0, nullptr);
    if (!b.gc) return -1;
    if (!create_shm_image(b) && !create_plain_image(b)) return -1;
    stat_shm = b.shm_attached;
    stat_frames = 0;

    Bool detectable = False;
    XkbSetDetectableAutoRepeat(d, True, &detectable);  // repeats arrive as presses of a held key
    window_keymap_refresh();
    char keys[32];
    XQueryKeymap(d, keys);  // keys held as the window opens; later changes come as events
    window_sample_keys(keys);
    int ss_event = 0, ss_error = 0;
    if (XScreenSaverQueryExtension(d, &ss_event, &ss_error)) {
        XScreenSaverSuspend(d, True);
        b.screensaver_suspended = true;
    }
    ctx->refresh_rate = current_refresh(d, screen);
    XMapWindow(d, b.window);
    XSync(d, False);
    return window_connection_gone() ? -1 : 0;
}

void backend_close() {
    if (!backend) return;
    Backend& b = *backend;
    Display* d = b.display;
    // After the server went away no request may be sent; our own memory is still freed.
    const bool alive = d && !window_connection_gone();
    if (alive) {
        if (b.screensaver_suspended) XScreenSaverSuspend(d, False);
        if (b.shm_attached) XShmDetach(d, &b.shm);
        if (b.gc) XFreeGC(d, b.gc);
        if (x11_window.arrow_cursor) XFreeCursor(d, x11_window.arrow_cursor);
        if (x11_window.invisible_cursor) XFreeCursor(d, x11_window.invisible_cursor);
        if (b.window) XDestroyWindow(d, b.window);
        if (b.own_colormap) XFreeColormap(d, b.colormap);
        XSync(d, False);
    }
    if (b.image) {
        if (b.shm_attached || b.shm.shmaddr) b.image->data = nullptr;
        XDestroyImage(b.image);
    }
    if (b.shm.shmaddr) shmdt(b.shm.shmaddr);
    blitter_zoom_set(1, 32);
    if (d) {
        // A lost connection is not closed: the thread that met the dead link inside a request
        // can leave Xlib's display lock taken, and XFreeGC or XCloseDisplay would then wait for
        // it forever (seen in about one loss in fifteen).
        if (alive) XCloseDisplay(d);
        else abandoned_displays().emplace_back(d, b.gc);
        our_display = nullptr;
        x11_window = X11Window{};
    }
    backend.reset();
}

void backend_repaint() {
    if (!backend || window_connection_gone()) return;
    Backend& b = *backend;
    const WindowState& ws = window_state;
    // Black around the picture when the window is larger (full screen).
    const int shown_width = ws.width * std::max(1, ws.zoom), shown_height = ws.height * std::max(1, ws.zoom);
    if (ws.window_width > shown_width || ws.window_height > shown_height) {
        XSetForeground(b.display, b.gc, 0);
        int right = ws.offset_x + shown_width, bottom = ws.offset_y + shown_height;
        XFillRectangle(b.display, b.window, b.gc, 0, 0, static_cast<unsigned>(ws.window_width), static_cast<unsigned>(ws.offset_y));
        XFillRectangle(b.display, b.window, b.gc, 0, bottom, static_cast<unsigned>(ws.window_width),
                       static_cast<unsigned>(std::max(0, ws.window_height - bottom)));
        XFillRectangle(b.display, b.window, b.gc, 0, ws.offset_y, static_cast<unsigned>(ws.offset_x), static_cast<unsigned>(shown_height));
        XFillRectangle(b.display, b.window, b.gc, right, ws.offset_y, static_cast<unsigned>(std::max(0, ws.window_width - right)),
                       static_cast<unsigned>(shown_height));
    }
    put_rows(b, 0, ws.height);
}

void upload_palette(Backend& b) {
    WindowState& ws = window_state;
    if (!ws.palette_changed) return;
    ws.palette_changed = 0;
    if (!b.pseudo_colour) return;  // TrueColor visuals get the colours through the conversion
    XColor colours[256];
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry& e = ws.palette[i];
        colours[i].pixel = static_cast<unsigned long>(i);
        colours[i].red = static_cast<unsigned short>(e.red * 257);
        colours[i].green = static_cast<unsigned short>(e.green * 257);
        colours[i].blue = static_cast<unsigned short>(e.blue * 257);
        colours[i].flags = DoRed | DoGreen | DoBlue;
    }
    XStoreColors(b.display, b.colormap, colours, 256);
}

// One presentation tick, lock held: palette, then the band from the first to the last dirty
// line, converted and put in one request.
bool present_tick(Backend& b) {
    GfxContext* ctx = gfx_context();
    if (!ctx) return false;
    upload_palette(b);
    int first = -1, last = -1;
    for (int y = 0; y < ctx->height; ++y)
        if (ctx->dirty[y]) {
            first = y;
            break;
        }
    if (first < 0) return false;
    for (int y = ctx->height - 1; y >= first; --y)
        if (ctx->dirty[y]) {
            last = y;
            break;
        }
    window_state.blitter(reinterpret_cast<uint8_t*>(b.image->data), b.image->bytes_per_line);
    put_rows(b, first * ctx->scale, (last - first + 1) * ctx->scale);
    std::memset(ctx->dirty.get(), 0, static_cast<size_t>(ctx->height) * ctx->scale);
    return true;
}

// Waits for the X connection, the idle wake-up or the next tick, whichever comes first; an
// idle thread has no next tick and waits for the other two alone.
struct Wake {
    bool events = false;  // the connection is readable or Xlib already holds events
    bool woken = false;   // something waits to be presented
};
Wake wait_for_events(Backend& b, Clock::time_point next_tick, bool idle) {
    Wake wake;
    // Events Xlib already holds, or a late tick: read the connection without waiting.
    wake.events = XEventsQueued(b.display, QueuedAlready) > 0 || (!idle && Clock::now() >= next_tick);
    if (wake.events) return wake;
    timespec timeout{};
    if (!idle) {
        auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next_tick - Clock::now());
        wait = std::max(wait, std::chrono::nanoseconds(0));
        timeout = {static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
    }
    pollfd fds[2] = {{ConnectionNumber(b.display), POLLIN, 0}, {window_wake_fd(), POLLIN, 0}};
    if (ppoll(fds, idle ? 2 : 1, idle ? nullptr : &timeout, nullptr) <= 0) return wake;
    // A hang-up means the server is gone: say so without reading, since Xlib's own I/O error
    // path (reached through XPending) releases its display lock twice.
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) window_connection_broken();
    wake.events = fds[0].revents != 0;
    wake.woken = idle && fds[1].revents != 0;
    return wake;
}

void run_loop(Backend& b) {
    WindowState& ws = window_state;
    UpdatePacing pacing;
    while (shared(ws.inited).load() && !window_connection_gone()) {
        const Wake wake = wait_for_events(b, pacing.next_tick, pacing.idle);
        if (window_connection_gone()) break;
        Clock::time_point now = Clock::now();
        if (wake.woken && pacing.woken(now)) ++stat_wakes;
        const bool tick_due = pacing.tick_due(now);
        Clock::time_point present_start{};
        bool presented = false;
        window_lock();
        if (tick_due && !window_connection_gone()) {
            ++stat_ticks;
            present_start = Clock::now();
            presented = present_tick(b);
        }
        // XPending and XFlush both read the connection: a quiet tick makes neither call.
        const bool pumped = wake.events || presented || XEventsQueued(b.display, QueuedAlready) > 0;
        const int handled = pumped ? pump_messages() : 0;
        if (handled > 0) input_arrived();
        if (pacing.pass_done(tick_due, presented || window_keys_held(), now)) ++stat_wakes;
        window_unlock();
        if (window_connection_gone()) break;
        // The server must have read the shared image before the next conversion writes it.
        if (b.needs_sync && b.shm_attached) XSync(b.display, False);
        else if (b.needs_sync || pumped) XFlush(b.display);
        b.needs_sync = false;
        if (presented) {
            stat_last_ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - present_start).count());
            ++stat_frames;
        }
    }
    window_loop_ended();
}

void x11_thread_main(StartSignal* start) {
    if (backend_open() != 0) {
        backend_close();
        return;
    }
    window_state.active = 1;
    window_thread_started(start);
    run_loop(*backend);
    // After a lost server the program's thread may still be inside an entry that tests the
    // connection (and finds it gone); window_close closes it once this thread has ended.
    if (!window_connection_gone()) backend_close();
}

int x11_open(const char* title, int width, int height, int depth, int refresh, int flags) {
    window_state = WindowState{};
    x11_window = X11Window{};
    if (flags & 2) return -1;  // OpenGL presentation is not served here
    window_state.hooks = {backend_open, backend_close, backend_repaint, x11_thread_main, x11_clip, x11_fullscreen};
    window_state.version = (X_PROTOCOL << 8) | X_PROTOCOL_REVISION;
    return window_open(title, width, height, std::max(depth, 8), refresh, flags);
}

// Modes of the screen the program would open on: its RandR modes when the depth matches the
// screen's (or its twin), else none; the screen's own size when RandR lists nothing.
std::vector<int32_t> x11_list_modes(int depth) {
    install_handlers_once();
    std::vector<int32_t> modes;
    Display* d = XOpenDisplay(nullptr);
    if (!d) return modes;
    int screen = DefaultScreen(d);
    int screen_depth = DefaultDepth(d, screen);
    int bits = screen_depth == 24 ? bits_per_pixel(d, 24) : screen_depth;
    auto twin = [](int v) { return v == 15 ? 16 : v == 16 ? 15 : v == 24 ? 32 : v == 32 ? 24 : v; };
    if (depth == bits || twin(depth) == bits || depth == screen_depth) {
        int event_base = 0, error_base = 0;
        if (XRRQueryExtension(d, &event_base, &error_base)) {
            if (XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, RootWindow(d, screen))) {
                for (int i = 0; i < res->nmode; ++i) {
                    int32_t mode = static_cast<int32_t>(res->modes[i].width * 65536 + res->modes[i].height);
                    if (std::find(modes.begin(), modes.end(), mode) == modes.end()) modes.push_back(mode);
                }
                XRRFreeScreenResources(res);
            }
        }
        if (modes.empty()) modes.push_back(DisplayWidth(d, screen) * 65536 + DisplayHeight(d, screen));
    }
    XCloseDisplay(d);
    return modes;
}

}  // namespace

const DisplayDriver x11_driver = {
    "X11",
    x11_open,
    window_close,
    window_lock,
    window_unlock,
    window_palette_entry,
    window_wait_retrace,
    window_read_mouse,
    x11_write_mouse,
    x11_set_title,
    x11_set_position,
    x11_list_modes,
    nullptr,
    nullptr,
};

int x11_zoom(Display* d) {
    if (const int asked = window_asked_zoom()) return asked;
    const double dpi = d ? resource_dpi(d) : 0;
    return std::clamp(static_cast<int>(dpi / 96), 1, 3);
}

PresentStats x11_present_stats() { return {stat_frames.load(), stat_last_ns.load(), stat_shm.load(), stat_bits.load(), stat_reversed.load(),
            stat_ticks.load(), stat_wakes.load()}; }

}  // namespace vx
