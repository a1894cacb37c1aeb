#include "tests/support/sound_server.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <pipewire/pipewire.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <spa/param/audio/format-utils.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/xvfb.h"

using namespace std::chrono_literals;

namespace vxtest {

const char* server_name(ServerKind kind) { return kind == ServerKind::pulseaudio ? "PulseAudio" : "PipeWire"; }

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
    total_ = 0;
    // Room for a long benchmark run up front: growing the buffer copies all of it, and in the
    // graph's thread that made the recording itself miss cycles.
    recording_.samples.reserve(48000 * 100);
    recording_.stamps.reserve(48000 * 100 / 64);
    if (server.kind() == ServerKind::pipewire && std::getenv("VX_RECORD_THROUGH_PULSE") == nullptr)
        return start_native(server);
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

// Frames `channels` apart; with no channels, `frames` copies of one sample.
void MonitorRecorder::take(const float* interleaved, int frames, int channels) {
    const int64_t stamp = now_ns();
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < frames; ++i) recording_.samples.push_back(interleaved[i * channels]);
    total_ += frames;
    recording_.stamps.push_back({total_, stamp});
}

void MonitorRecorder::run(void* handle) {
    auto* simple = static_cast<pa_simple*>(handle);
    float chunk[48];
    while (!stop_) {
        int error = 0;
        if (pa_simple_read(simple, chunk, sizeof chunk, &error) < 0) break;
        take(chunk, 48, 1);
    }
    pa_simple_free(simple);
}

// A capture stream on the sink's monitor in PipeWire's graph, taken in the graph's thread.
struct MonitorRecorder::Native {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    MonitorRecorder* owner = nullptr;
    uint64_t next_tick = 0;
    std::atomic<uint64_t> filled{0};  // written in the graph's thread, which runs until the stream goes
    float last = 0;
};

std::string MonitorRecorder::start_native(const SoundServer& server) {
    static const bool initialised = [] {
        pw_init(nullptr, nullptr);
        return true;
    }();
    (void)initialised;
    native_ = new Native;
    native_->owner = this;
    native_->loop = pw_thread_loop_new("vxtest-record", nullptr);
    // Real-time scheduling for the thread that takes the pieces: a busy core must not make
    // it miss cycles, or the clock stamps would no longer match the samples.
    native_->context = pw_context_new(pw_thread_loop_get_loop(native_->loop),
                                      pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (native_->context == nullptr || pw_thread_loop_start(native_->loop) < 0) return "cannot start a PipeWire client";
    pw_thread_loop_lock(native_->loop);
    const std::string socket_path = server.client_environment()[0].substr(16) + "/pipewire-0";
    native_->core = pw_context_connect(native_->context, pw_properties_new(PW_KEY_REMOTE_NAME, socket_path.c_str(), nullptr), 0);
    if (native_->core == nullptr) {
        pw_thread_loop_unlock(native_->loop);
        return "cannot reach PipeWire at " + socket_path;
    }
    // Asks for the period the program's stream asks for: the graph runs at the smallest period
    // any node asks for, and a larger one here would have it change period at every start of
    // the program's stream (which costs a period or two of sound at the start of a note).
    const char* period = std::getenv("VX_RECORD_LATENCY");  // e.g. 128/48000, to compare
    native_->stream = pw_stream_new(native_->core, "vxtest monitor",
                                    pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                      PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_TARGET_OBJECT, "nullsink",
                                                      PW_KEY_NODE_LATENCY, period != nullptr ? period : "512/48000", nullptr));
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = [](void* data) {
            auto* native = static_cast<Native*>(data);
            pw_buffer* buffer = pw_stream_dequeue_buffer(native->stream);
            if (buffer == nullptr) return;
            const spa_data& d = buffer->buffer->datas[0];
            const int frames = d.data != nullptr ? static_cast<int>(d.chunk->size / (2 * sizeof(float))) : 0;
            // Cycles this thread missed (the graph's clock moved on further than what came)
            // are filled in, so later samples keep their place against the clock stamps; with
            // the last sample held, they read neither as a gap nor as an onset.
            pw_time time{};
            if (pw_stream_get_time_n(native->stream, &time, sizeof time) == 0 && time.ticks != 0) {
                if (native->next_tick != 0 && time.ticks > native->next_tick && time.ticks - native->next_tick < 48000) {
                    native->owner->take(&native->last, static_cast<int>(time.ticks - native->next_tick), 0);
                    native->filled += time.ticks - native->next_tick;
                }
                native->next_tick = time.ticks + static_cast<uint64_t>(frames);
            }
            if (frames > 0) {
                const auto* samples = static_cast<const float*>(SPA_PTROFF(d.data, d.chunk->offset, void));
                native->owner->take(samples, frames, 2);
                native->last = samples[2 * (frames - 1)];
            }
            pw_stream_queue_buffer(native->stream, buffer);
        };
        return e;
    }();
    pw_stream_add_listener(native_->stream, &native_->listener, &events, native_);
    uint8_t pod[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = 48000;
    format.channels = 2;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const int connected = pw_stream_connect(native_->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                                            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                                         PW_STREAM_FLAG_RT_PROCESS),
                                            params, 1);
    pw_thread_loop_unlock(native_->loop);
    return connected < 0 ? "cannot record the monitor" : "";
}

void MonitorRecorder::stop_native() {
    if (native_ == nullptr) return;
    if (native_->loop != nullptr) pw_thread_loop_stop(native_->loop);
    if (native_->filled > 0 && std::getenv("VX_SOUND_VERBOSE") != nullptr)
        std::fprintf(stderr, "recording: %llu frames missed and filled in\n", static_cast<unsigned long long>(native_->filled.load()));
    if (native_->stream != nullptr) pw_stream_destroy(native_->stream);
    if (native_->core != nullptr) pw_core_disconnect(native_->core);
    if (native_->context != nullptr) pw_context_destroy(native_->context);
    if (native_->loop != nullptr) pw_thread_loop_destroy(native_->loop);
    delete native_;
    native_ = nullptr;
}

Recording MonitorRecorder::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    stop_native();
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
