// sway nested in a private Xvfb, as a test's Wayland desktop.
#include "tests/support/compositor.h"

#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/child_process.h"

extern char** environ;

namespace vxtest {
namespace {

// sway refuses to run as root; nobody needs no account of its own (weston runs as it too).
constexpr uid_t unprivileged_id = 65534;

// This process's environment without the settings that would point a child elsewhere, plus
// the given entries.
std::vector<std::string> child_environment(const std::vector<std::string>& entries) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "WAYLAND_SOCKET" || name == "XDG_RUNTIME_DIR" ||
            name == "SWAYSOCK")
            continue;
        env.push_back(entry);
    }
    env.insert(env.end(), entries.begin(), entries.end());
    return env;
}

// Starts args[0] (searched in PATH) with its output in `log`; the process id, or -1.
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment, const std::string& log) {
    std::vector<char*> argv, envp;
    std::vector<std::string> a = args, e = environment;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : e) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The first whole number after `key` at or after `from` in a JSON text, or -1.
int number_after(const std::string& json, const std::string& key, size_t from) {
    size_t at = json.find(key, from);
    if (at == std::string::npos) return -1;
    at = json.find_first_of("-0123456789", at + key.size());
    return at == std::string::npos ? -1 : std::atoi(json.c_str() + at);
}

}  // namespace

Compositor::~Compositor() { stop(); }

// The Xvfb, the test's connection to it and a runtime directory the compositor's user owns;
// "" or what went wrong.
std::string Compositor::prepare() {
    if (!xvfb_.start(1920, 1080, 24, {"-ac"})) return "no Xvfb";
    connection_ = std::make_unique<Connection>(xvfb_.display_name());
    if (!*connection_) return "no connection to the Xvfb";
    runtime_ = std::make_unique<TempDir>("vxwayland");
    const std::string dir = runtime_->path();
    if (dir.empty()) return "no runtime directory";
    if (geteuid() == 0 && chown(dir.c_str(), unprivileged_id, unprivileged_id) != 0) return "cannot hand the runtime directory over";
    chmod(dir.c_str(), 0700);
    return "";
}

// Runs the compositor as the runtime directory's user, its output in sway.log there.
bool Compositor::launch(std::vector<std::string> args) {
    if (geteuid() == 0) args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    const std::string dir = runtime_->path();
    compositor_pid_ = spawn(args, child_environment({"WLR_BACKENDS=x11", "WLR_RENDERER=pixman", "DISPLAY=" + xvfb_.display_name(),
                                               "XDG_RUNTIME_DIR=" + dir}),
                      dir + "/compositor.log");
    return compositor_pid_ > 0;
}

std::string Compositor::start_weston() {
    scale_ = 1;
    if (std::string problem = prepare(); !problem.empty()) return problem;
    const std::string dir = runtime_->path();
    constexpr int width = 1000, height = 560;
    if (!launch({"weston", "--backend=x11-backend.so", "--use-pixman", "--width=" + std::to_string(width),
                 "--height=" + std::to_string(height), "--socket=wayland-vx"}))
        return "weston could not be started";
    wayland_display_ = "wayland-vx";
    Display* d = x();
    const Window root = DefaultRootWindow(d);
    // Its desktop drawn: the output's middle is no longer the unlit screen.
    auto drawn = [&] {
        const Capture shot = capture(d, root);
        return shot.width >= width && (shot.at(width / 2, height / 2) & 0xFFFFFF) != 0;
    };
    if (!wait_until([&] { return std::filesystem::exists(dir + "/wayland-vx"); }, std::chrono::milliseconds(15000)) ||
        !wait_until(drawn, std::chrono::milliseconds(15000))) {
        std::string log = read_text(dir + "/compositor.log");
        stop();
        return "weston did not start: " + log.substr(0, 2000);
    }
    // weston's X11 back end moves its pointer by the X pointer's steps, from where it believes
    // it is, and starts out of step when it misses the X pointer's place while starting: every
    // click then lands elsewhere. Pushed to the output's far corner and then to its origin, the
    // two pointers meet at the edges, where weston holds its own.
    pointer_move(d, root, width - 1, height - 1);
    pointer_move(d, root, 0, 0);
    return "";
}

std::string Compositor::start(int scale) {
    scale_ = scale;
    if (std::string problem = prepare(); !problem.empty()) return problem;
    const std::string dir = runtime_->path();
    const std::string config = dir + "/sway.conf";
    {
        std::ofstream out(config);
        out << "output X11-1 resolution 1920x1080 scale " << scale << "\n"
            << "default_floating_border none\n"
            << "for_window [app_id=\".*\"] floating enable, move position 0 0\n";
    }
    chmod(config.c_str(), 0644);
    if (!launch({"sway", "-c", config})) return "sway could not be started";
    // Ready once both sockets exist and the IPC answers.
    auto ready = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos) wayland_display_ = name;
            if (name.rfind("sway-ipc.", 0) == 0) ipc_socket_ = entry.path().string();
        }
        return !wayland_display_.empty() && !ipc_socket_.empty() && run_tool({"swaymsg", "-t", "get_outputs"}) == 0;
    };
    if (!wait_until(ready, std::chrono::milliseconds(15000))) {
        std::string log = read_text(dir + "/compositor.log");
        stop();
        return "sway did not start: " + log.substr(0, 2000);
    }
    return "";
}

void Compositor::kill() {
    if (compositor_pid_ > 0) kill_and_reap(compositor_pid_);
    compositor_pid_ = -1;
}

void Compositor::stop() {
    if (compositor_pid_ > 0) {
        ::kill(compositor_pid_, SIGTERM);
        if (!wait_until([&] { return reap_if_ended(compositor_pid_) >= 0; }, std::chrono::milliseconds(3000))) kill_and_reap(compositor_pid_);
        compositor_pid_ = -1;
    }
    runtime_.reset();
    if (connection_) connection_->close();
    connection_.reset();
    xvfb_.stop();
}

std::vector<std::string> Compositor::client_environment() const {
    return {"XDG_RUNTIME_DIR=" + (runtime_ ? runtime_->path() : std::string()), "WAYLAND_DISPLAY=" + wayland_display_};
}

int Compositor::run_tool(const std::vector<std::string>& args, std::string* output) {
    if (!runtime_) return -1;
    const std::string out = runtime_->path() + "/tool.out";
    std::vector<std::string> env = child_environment(client_environment());
    env.push_back("SWAYSOCK=" + ipc_socket_);
    pid_t pid = spawn(args, env, out);
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (output) *output = read_text(out);
    std::error_code ignored;
    std::filesystem::remove(out, ignored);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Compositor::wait_window(const std::string& app_id, DesktopRect& rect, std::string* title, std::chrono::milliseconds limit) {
    return wait_until(
        [&] {
            std::string tree;
            if (run_tool({"swaymsg", "-r", "-t", "get_tree"}, &tree) != 0) return false;
            const size_t at = tree.find("\"app_id\": \"" + app_id + "\"");
            if (at == std::string::npos) return false;
            // A window's own rect and name come before its app_id in its record.
            const size_t rect_at = tree.rfind("\"rect\":", at);
            const size_t name_at = tree.rfind("\"name\": \"", at);
            if (rect_at == std::string::npos) return false;
            rect = {number_after(tree, "\"x\":", rect_at), number_after(tree, "\"y\":", rect_at),
                    number_after(tree, "\"width\":", rect_at), number_after(tree, "\"height\":", rect_at)};
            if (title && name_at != std::string::npos) {
                const size_t start = name_at + 9;
                *title = tree.substr(start, tree.find('"', start) - start);
            }
            return rect.width > 0 && rect.height > 0;
        },
        limit);
}

bool Compositor::screenshot(const DesktopRect& rect, Capture& out) {
    if (!runtime_) return false;
    const std::string path = runtime_->path() + "/shot.ppm";
    const std::string geometry = std::to_string(rect.x) + "," + std::to_string(rect.y) + " " + std::to_string(rect.width) + "x" +
                                 std::to_string(rect.height);
    const int status = run_tool({"grim", "-t", "ppm", "-s", std::to_string(scale_), "-g", geometry, path});
    const std::string ppm = read_text(path);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    if (status != 0) return false;
    // P6, width, height, 255, one whitespace byte, then the pixels.
    int width = 0, height = 0, max = 0, consumed = 0;
    if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &width, &height, &max, &consumed) != 3 || max != 255) return false;
    const size_t start = static_cast<size_t>(consumed) + 1;
    if (ppm.size() < start + static_cast<size_t>(width) * static_cast<size_t>(height) * 3) return false;
    out = Capture{};
    out.width = width;
    out.height = height;
    out.depth = 24;
    out.bits_per_pixel = 32;
    out.red_mask = 0xFF0000;
    out.green_mask = 0xFF00;
    out.blue_mask = 0xFF;
    out.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (size_t i = 0; i < out.pixels.size(); ++i) {
        const auto* p = reinterpret_cast<const unsigned char*>(ppm.data() + start + i * 3);
        out.pixels[i] = (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
    }
    return true;
}

bool Compositor::command(const std::string& text) { return run_tool({"swaymsg", text}) == 0; }

bool Compositor::set_scale(int scale) {
    if (!command("output X11-1 scale " + std::to_string(scale))) return false;
    scale_ = scale;
    return true;
}

void Compositor::pointer_to(int x, int y) {
    Display* d = this->x();
    XTestFakeMotionEvent(d, DefaultScreen(d), x * scale_ + scale_ / 2, y * scale_ + scale_ / 2, CurrentTime);
    XSync(d, False);
}

void Compositor::click(int x, int y, std::chrono::milliseconds hold) {
    pointer_to(x, y);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    vxtest::click(this->x(), 1, hold);
}

void Compositor::tap(unsigned long keysym, std::chrono::milliseconds hold) { tap_key(x(), keycode_of(x(), keysym), hold); }

}  // namespace vxtest
