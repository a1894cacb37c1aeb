#include "tests/support/xvfb.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/support/child_process.h"

namespace vxtest {

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

Xvfb::~Xvfb() { stop(); }

bool Xvfb::start(int width, int height, int depth, const std::vector<std::string>& extra) {
    XInitThreads();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        // The write end must survive exec under a known number.
        int fd = fcntl(fds[1], F_DUPFD, 3);
        std::string fd_text = std::to_string(fd);
        std::vector<std::string> args = {"Xvfb", "-displayfd", fd_text, "-screen", "0", screen, "-nolisten", "tcp"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) {
            dup2(null_fd, 1);
            dup2(null_fd, 2);
        }
        execvp("Xvfb", argv.data());
        _exit(127);
    }
    close(fds[1]);
    pid_ = child;
    std::string number;
    // Usually 70 ms; an emulated guest on a loaded machine has taken over ten seconds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c;
        ssize_t n = read(fds[0], &c, 1);
        if (n <= 0) break;
        if (c == '\n') break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        stop();
        return false;
    }
    name_ = ":" + number;
    return true;
}

void Xvfb::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (reap_if_ended(pid_) >= 0) {
            pid_ = -1;
            return;
        }
        sleep_ms(10);
    }
    kill();
}

void Xvfb::kill() {
    if (pid_ <= 0) return;
    kill_and_reap(pid_);
    pid_ = -1;
}

void Xvfb::export_display() const { setenv("DISPLAY", name_.c_str(), 1); }

Connection::Connection(const std::string& display_name) {
    XInitThreads();
    display_ = XOpenDisplay(display_name.c_str());
}

Connection::~Connection() { close(); }

void Connection::close() {
    if (display_) XCloseDisplay(display_);
    display_ = nullptr;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        sleep_ms(2);
    }
}

namespace {

long window_pid(Display* d, Window w) {
    Atom type;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    long pid = 0;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                           &data) == Success &&
        data) {
        if (items == 1 && format == 32) pid = *reinterpret_cast<long*>(data);
        XFree(data);
    }
    return pid;
}

Window find_top_level(Display* d, const std::function<bool(Window)>& match, std::chrono::milliseconds limit) {
    Window found = 0;
    wait_until(
        [&] {
            Window root_return, parent;
            Window* children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(d, DefaultRootWindow(d), &root_return, &parent, &children, &count)) return false;
            for (unsigned i = 0; i < count && !found; ++i)
                if (match(children[i])) found = children[i];
            if (children) XFree(children);
            return found != 0;
        },
        limit);
    return found;
}

}  // namespace

Window find_window_by_pid(Display* d, pid_t pid, std::chrono::milliseconds limit) {
    return find_top_level(d, [&](Window w) { return window_pid(d, w) == pid; }, limit);
}

Window find_window_by_class(Display* d, const std::string& class_name, std::chrono::milliseconds limit) {
    return find_top_level(
        d,
        [&](Window w) {
            XClassHint hint{};
            if (!XGetClassHint(d, w, &hint)) return false;
            bool same = hint.res_class && class_name == hint.res_class;
            if (hint.res_name) XFree(hint.res_name);
            if (hint.res_class) XFree(hint.res_class);
            return same;
        },
        limit);
}

WindowInfo window_info(Display* d, Window w) {
    WindowInfo info;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes)) return info;
    Window child;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &info.x, &info.y, &child);
    info.width = attributes.width;
    info.height = attributes.height;
    info.viewable = attributes.map_state == IsViewable;
    XClassHint hint{};
    if (XGetClassHint(d, w, &hint)) {
        if (hint.res_name) info.res_name = hint.res_name;
        if (hint.res_class) info.res_class = hint.res_class;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
    }
    Atom type;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), 0, 1024, False, XInternAtom(d, "UTF8_STRING", False), &type,
                           &format, &items, &after, &data) == Success &&
        data) {
        info.net_wm_name.assign(reinterpret_cast<char*>(data), items);
        XFree(data);
    }
    info.pid = window_pid(d, w);
    XSizeHints hints{};
    long supplied = 0;
    if (XGetWMNormalHints(d, w, &hints, &supplied))
        info.fixed_size = (hints.flags & PMinSize) && (hints.flags & PMaxSize) && hints.min_width == hints.max_width &&
                          hints.min_height == hints.max_height && hints.min_width == info.width && hints.min_height == info.height;
    return info;
}

Capture capture(Display* d, Window w) {
    Capture c;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes)) return c;
    XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(attributes.width), static_cast<unsigned>(attributes.height), AllPlanes,
                              ZPixmap);
    if (!image) return c;
    c.width = image->width;
    c.height = image->height;
    c.depth = image->depth;
    c.bits_per_pixel = image->bits_per_pixel;
    c.red_mask = attributes.visual->red_mask;
    c.green_mask = attributes.visual->green_mask;
    c.blue_mask = attributes.visual->blue_mask;
    c.pixels.resize(static_cast<size_t>(c.width) * c.height);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) c.pixels[static_cast<size_t>(y) * c.width + x] = static_cast<uint32_t>(XGetPixel(image, x, y));
    XDestroyImage(image);
    return c;
}

void pointer_move(Display* d, Window w, int x, int y) {
    int rx = 0, ry = 0;
    Window child;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), x, y, &rx, &ry, &child);
    XTestFakeMotionEvent(d, DefaultScreen(d), rx, ry, CurrentTime);
    XSync(d, False);
}

void button(Display* d, unsigned b, bool press) {
    XTestFakeButtonEvent(d, b, press ? True : False, CurrentTime);
    XSync(d, False);
}

void click(Display* d, unsigned b, std::chrono::milliseconds hold) {
    if (hold.count() == 0) {
        XTestFakeButtonEvent(d, b, True, CurrentTime);
        XTestFakeButtonEvent(d, b, False, CurrentTime);
        XSync(d, False);
        return;
    }
    button(d, b, true);
    std::this_thread::sleep_for(hold);
    button(d, b, false);
}

void key(Display* d, unsigned keycode, bool press) {
    XTestFakeKeyEvent(d, keycode, press ? True : False, CurrentTime);
    XSync(d, False);
}

void tap_key(Display* d, unsigned keycode, std::chrono::milliseconds hold) {
    if (hold.count() == 0) {
        XTestFakeKeyEvent(d, keycode, True, CurrentTime);
        XTestFakeKeyEvent(d, keycode, False, CurrentTime);
        XSync(d, False);
        return;
    }
    key(d, keycode, true);
    std::this_thread::sleep_for(hold);
    key(d, keycode, false);
}

unsigned keycode_of(Display* d, unsigned long keysym) { return XKeysymToKeycode(d, keysym); }

unsigned map_spare_keycode(Display* d, unsigned long keysym) {
    int min_code = 0, max_code = 0, per = 0;
    XDisplayKeycodes(d, &min_code, &max_code);
    KeySym* syms = XGetKeyboardMapping(d, static_cast<KeyCode>(min_code), max_code - min_code + 1, &per);
    if (!syms) return 0;
    unsigned spare = 0;
    for (int k = max_code; k >= min_code && !spare; --k) {
        bool empty = true;
        for (int i = 0; i < per; ++i) empty = empty && syms[(k - min_code) * per + i] == NoSymbol;
        if (empty) spare = static_cast<unsigned>(k);
    }
    XFree(syms);
    if (!spare) return 0;
    KeySym mapping[2] = {keysym, keysym};
    XChangeKeyboardMapping(d, static_cast<int>(spare), 2, mapping, 1);
    XSync(d, False);
    return spare;
}

void set_focus(Display* d, Window w) {
    XSetInputFocus(d, w, RevertToParent, CurrentTime);
    XSync(d, False);
}

void set_resources(Display* d, const std::string& text) {
    XChangeProperty(d, DefaultRootWindow(d), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    XSync(d, False);
}

void send_delete_window(Display* d, Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XSync(d, False);
}

Window make_other_window(Display* d, int x, int y, int width, int height) {
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0, 0, 0);
    XSelectInput(d, w, StructureNotifyMask);
    XMapWindow(d, w);
    XSync(d, False);
    wait_until([&] {
        XWindowAttributes a;
        return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
    });
    return w;
}

void write_ppm(const std::string& path, int width, int height, const std::function<uint32_t(int, int)>& rgb_at) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fprintf(f, "P6\n%d %d\n255\n", width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint32_t p = rgb_at(x, y);
            unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8), static_cast<unsigned char>(p)};
            std::fwrite(rgb, 1, 3, f);
        }
    std::fclose(f);
}

}  // namespace vxtest
