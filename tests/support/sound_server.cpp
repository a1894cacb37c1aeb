#include "tests/support/sound_server.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/xvfb.h"

using namespace std::chrono_literals;

namespace vxtest {

const char* server_name(ServerKind kind) { return kind == ServerKind::pulseaudio ? "PulseAudio" : "PipeWire"; }

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

SoundServer::~SoundServer() { kill(); }

void SoundServer::kill() {
    // Last started first: the services before the server they hang on.
    for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) kill_and_reap(*pid);
    pids_.clear();
}

std::vector<std::string> SoundServer::client_environment() const {
    return {"XDG_RUNTIME_DIR=" + runtime_, "PULSE_RUNTIME_PATH=" + runtime_ + "/pulse", "PULSE_SERVER=unix:" + socket()};
}

pid_t SoundServer::spawn(const std::vector<std::string>& arguments, const std::string& log_name) {
    // Everything the child needs is made before the fork: a child of a threaded test may only
    // make async-signal-safe calls.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool ours = false;
        for (const char* name : {"XDG_RUNTIME_DIR=", "PULSE_RUNTIME_PATH=", "PULSE_SERVER=", "HOME=",
                                 "DBUS_SESSION_BUS_ADDRESS=", "PIPEWIRE_RUNTIME_DIR=", "XDG_CONFIG_HOME=", "XDG_STATE_HOME="})
            ours = ours || entry.rfind(name, 0) == 0;
        if (!ours) env.push_back(entry);
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtime_);
    env.push_back("PIPEWIRE_RUNTIME_DIR=" + runtime_);
    env.push_back("PULSE_RUNTIME_PATH=" + runtime_ + "/pulse");
    env.push_back("HOME=" + runtime_);
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/bus");
    env.push_back("XDG_CONFIG_HOME=" + runtime_ + "/config");  // no user's settings
    std::vector<char*> envp, argv;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = arguments;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string log_path = runtime_ + "/" + log_name;
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        if (log_fd >= 0) dup2(log_fd, 1), dup2(log_fd, 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (child > 0) pids_.push_back(child);
    return child;
}

bool SoundServer::wait_for_socket(const std::string& path, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (up) return true;
        for (pid_t pid : pids_)
            if (reap_if_ended(pid) >= 0) return false;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string SoundServer::start(ServerKind kind, bool log_underruns) {
    kill();
    kind_ = kind;
    runtime_ = folder_.path();
    if (runtime_.empty() || chmod(runtime_.c_str(), 0700) != 0) return "no private runtime folder";
    mkdir((runtime_ + "/pulse").c_str(), 0700);
    unlink(socket().c_str());
    if (kind == ServerKind::pulseaudio) {
        std::vector<std::string> argv = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
                                         "--disallow-exit", "--use-pid-file=no",
                                         "-L", "module-null-sink sink_name=nullsink rate=48000",
                                         "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket(),
                                         "-L", "module-always-sink"};
        if (log_underruns) argv.insert(argv.begin() + 1, {"--log-level=4", "--log-time=1"});
        if (spawn(argv, "server.log") <= 0) return "pulseaudio could not be started";
        if (!wait_for_socket(socket(), 10s)) return "PulseAudio did not come up: " + log();
        return "";
    }
    if (spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + runtime_ + "/bus"}, "dbus.log") <= 0 ||
        !wait_for_socket(runtime_ + "/bus", 10s))
        return "the session bus did not come up: " + log();
    // The null sink is part of the server from its start, as a desktop's sound card is, and the
    // PulseAudio service opens only once WirePlumber has made it the default output: a client
    // that connects at once (the program coming back) finds its output there.
    for (const char* part : {"/config", "/config/pipewire", "/config/pipewire/pipewire.conf.d"})
        mkdir((runtime_ + part).c_str(), 0700);
    std::ofstream(runtime_ + "/config/pipewire/pipewire.conf.d/nullsink.conf")
        << "context.objects = [ { factory = adapter args = { factory.name = support.null-audio-sink "
           "node.name = nullsink media.class = Audio/Sink audio.rate = 48000 audio.position = [ FL FR ] "
           "object.linger = true monitor.channel-volumes = true } } ]\n";
    if (spawn({"pipewire"}, "server.log") <= 0 || !wait_for_socket(runtime_ + "/pipewire-0", 10s))
        return "pipewire did not come up: " + log();
    if (spawn({"wireplumber"}, "server.log") <= 0) return "wireplumber could not be started";
    const std::string wpctl = "PIPEWIRE_RUNTIME_DIR=" + runtime_ + " XDG_RUNTIME_DIR=" + runtime_ +
                              " wpctl inspect @DEFAULT_AUDIO_SINK@ 2>/dev/null | grep -q nullsink";
    if (!wait_until([&] { return std::system(wpctl.c_str()) == 0; }, 10s)) return "no default null sink: " + log();
    if (spawn({"pipewire-pulse"}, "server.log") <= 0 || !wait_for_socket(socket(), 10s))
        return "pipewire-pulse did not come up: " + log();
    return "";
}

std::string SoundServer::log() const {
    std::ostringstream text;
    for (const char* name : {"dbus.log", "server.log"}) {
        std::ifstream file(runtime_ + "/" + name);
        if (file) text << file.rdbuf();  // a missing file would fail the whole stream
    }
    return text.str();
}

int SoundServer::underruns() const {
    std::ifstream file(runtime_ + "/server.log");
    std::string line;
    int count = 0;
    while (std::getline(file, line))
        if (line.find("Implicit underrun") != std::string::npos) ++count;
    return count;
}

// ---- Recording ---------------------------------------------------------------------------

MonitorRecorder::~MonitorRecorder() { stop(); }

std::string MonitorRecorder::start(const SoundServer& server) {
    recording_ = {};
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 48000, 1};
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.fragsize = 48 * sizeof(float);  // 1 ms: every read returns as soon as its samples exist
    int error = 0;
    std::string address = "unix:" + server.socket();
    pa_simple* simple = pa_simple_new(address.c_str(), "vxtest", PA_STREAM_RECORD, "nullsink.monitor", "monitor", &spec, nullptr,
                                      &attributes, &error);
    if (simple == nullptr) return std::string("cannot record the monitor: ") + pa_strerror(error);
    stop_ = false;
    thread_ = std::thread([this, simple] { run(simple); });
    return "";
}

void MonitorRecorder::run(void* handle) {
    auto* simple = static_cast<pa_simple*>(handle);
    float chunk[48];
    int64_t total = 0;
    while (!stop_) {
        int error = 0;
        if (pa_simple_read(simple, chunk, sizeof chunk, &error) < 0) break;
        int64_t stamp = now_ns();
        std::lock_guard<std::mutex> lock(mutex_);
        recording_.samples.insert(recording_.samples.end(), chunk, chunk + 48);
        total += 48;
        recording_.stamps.push_back({total, stamp});
    }
    pa_simple_free(simple);
}

Recording MonitorRecorder::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return snapshot();
}

Recording MonitorRecorder::snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return recording_;
}

BusyLoop::BusyLoop()
    : thread_([this] {
          volatile uint64_t spin = 0;
          while (!stop_.load(std::memory_order_relaxed)) spin = spin + 1;
      }) {}

BusyLoop::~BusyLoop() {
    stop_ = true;
    thread_.join();
}

}  // namespace vxtest
