// The synth renders in the graph's own cycle, straight into the stream's buffer, so a Note On
// sounds within about two periods of the graph. While nothing sounds the stream is paused:
// the graph then leaves it out of its cycles and the process sleeps instead of rendering
// silence.
#include "app/sound/sound_stream.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include "app/common/open_reason.h"
#include "app/sound/sound_lost.h"
#include "app/sound/stream_send.h"

namespace app {

namespace {
// How long a server may take to answer once connected before the synth looks elsewhere.
constexpr int answer_wait_seconds = 2;
// Between attempts to reach a server that went away.
constexpr timespec retry_interval{1, 0};
// Silence kept playing after the last voice ends before the stream is paused: long enough
// that a quick run of notes does not pause and restart it between them.
constexpr int idle_seconds_before_pause = 1;
constexpr uint32_t frame_bytes = 2 * sizeof(float);
}  // namespace

class PipeWireOutput : public SoundStream {
public:
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook core_listener{};
    pw_stream* stream = nullptr;
    spa_hook stream_listener{};
    spa_source* retry_timer = nullptr;
    spa_source* idle_event = nullptr;
    int quantum = 512;
    int sync_seq = -1;
    bool answered = false;
    bool has_sink = false;
    bool core_failed = false;
    std::atomic<bool> sound_lost{false};
    // Whether the stream runs (not paused); read and written under the loop's lock only, so
    // that a pause and a Note On never cross (see stream_send).
    bool active = false;
    std::atomic<bool> idle_signalled{false};
    std::atomic<long> silent_frames{0};

    bool connect_core();
    void drop_core();
    void make_stream();
    void drop_stream();
    void retry_later(timespec when = retry_interval) {
        pw_loop_update_timer(pw_thread_loop_get_loop(loop), retry_timer, &when, nullptr, false);
    }
    // A lost stream is dropped at once, though not from inside the event that told of the
    // loss: until then the program's sends cannot tell that nothing renders.
    void drop_soon() { retry_later(timespec{0, 1}); }
    void render();
};

namespace {

void on_core_info(void* data, const pw_core_info* info) {
    auto* out = static_cast<PipeWireOutput*>(data);
    if (info->props == nullptr) return;
    if (const char* rate = spa_dict_lookup(info->props, "default.clock.rate")) {
        int value = std::atoi(rate);
        if (value >= 8000) out->rate = value;
    }
}

void on_core_done(void* data, uint32_t id, int seq) {
    auto* out = static_cast<PipeWireOutput*>(data);
    if (id == PW_ID_CORE && seq == out->sync_seq) {
        out->answered = true;
        pw_thread_loop_signal(out->loop, false);
    }
}

void on_core_error(void* data, uint32_t id, int, int res, const char*) {
    auto* out = static_cast<PipeWireOutput*>(data);
    if (id != PW_ID_CORE || res != -EPIPE) return;
    out->core_failed = true;
    pw_thread_loop_signal(out->loop, false);
    if (out->synth == nullptr) return;  // the first connection: pipewire_connect reports it
    say_sound_lost(&out->sound_lost, "the sound server went away");
    out->drop_soon();  // the core is not torn down from inside its own event
}

// Whether the server plays sound at all: a desktop may run PipeWire for screen sharing alone,
// its sound going through PulseAudio.
void on_global(void* data, uint32_t, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto* out = static_cast<PipeWireOutput*>(data);
    if (props == nullptr || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
    const char* media_class = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (media_class != nullptr && std::strcmp(media_class, "Audio/Sink") == 0) out->has_sink = true;
}

const pw_registry_events registry_events = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = on_global;
    return events;
}();

const pw_core_events core_events = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.info = on_core_info;
    events.done = on_core_done;
    events.error = on_core_error;
    return events;
}();

void on_stream_state(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* out = static_cast<PipeWireOutput*>(data);
    if (state != PW_STREAM_STATE_ERROR || out->core_failed) return;
    // The stream failing alone is tried again on the same connection.
    say_sound_lost(&out->sound_lost, "the sound server closed the stream");
    out->drop_soon();
}

void on_process(void* data) { static_cast<PipeWireOutput*>(data)->render(); }

const pw_stream_events stream_events = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = on_stream_state;
    events.process = on_process;
    return events;
}();

// On the loop's thread: a second of silence was rendered; pause unless a note came meanwhile.
void on_idle(void* data, uint64_t) {
    auto* out = static_cast<PipeWireOutput*>(data);
    if (out->stream != nullptr && out->active && out->queue.empty() &&
        out->silent_frames.load() >= static_cast<long>(out->rate) * idle_seconds_before_pause) {
        out->active = false;
        pw_stream_set_active(out->stream, false);
    }
    out->idle_signalled = false;
}

void on_retry(void* data, uint64_t) {
    auto* out = static_cast<PipeWireOutput*>(data);
    if (out->stream != nullptr) {
        // Lost: dropped now, tried again a while later.
        out->drop_stream();
        out->queue.lose(out->synth);
        if (out->core_failed) out->drop_core();
        out->retry_later();
        return;
    }
    if (out->core_failed) out->drop_core();
    if (out->core == nullptr && !out->connect_core()) {
        out->retry_later();
        return;
    }
    out->make_stream();
}

}  // namespace

bool PipeWireOutput::connect_core() {
    core = pw_context_connect(context, nullptr, 0);
    if (core == nullptr) return false;
    core_failed = false;
    pw_core_add_listener(core, &core_listener, &core_events, this);
    return true;
}

void PipeWireOutput::drop_core() {
    if (core == nullptr) return;
    spa_hook_remove(&core_listener);
    pw_core_disconnect(core);
    core = nullptr;
}

void PipeWireOutput::make_stream() {
    if (stream != nullptr || core == nullptr) return;
    char latency[32];
    std::snprintf(latency, sizeof latency, "%d/%d", quantum, rate);
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_APP_NAME, "vxpiano", PW_KEY_NODE_NAME, "vxpiano", PW_KEY_NODE_LATENCY, latency, nullptr);
    stream = pw_stream_new(core, "Piano", properties);
    if (stream == nullptr) {
        retry_later();
        return;
    }
    pw_stream_add_listener(stream, &stream_listener, &stream_events, this);
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = static_cast<uint32_t>(rate);
    format.channels = 2;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    silent_frames = 0;
    idle_signalled = false;
    active = true;
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
        drop_stream();
        retry_later();
        return;
    }
    say_sound_back(&sound_lost);
}

void PipeWireOutput::drop_stream() {
    if (stream == nullptr) return;
    spa_hook_remove(&stream_listener);
    pw_stream_destroy(stream);
    stream = nullptr;
    active = false;
}

// The graph's real-time thread: no locks, no allocation, no waiting.
void PipeWireOutput::render() {
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (buffer == nullptr) return;
    spa_data& data = buffer->buffer->datas[0];
    if (data.data == nullptr) {
        pw_stream_queue_buffer(stream, buffer);
        return;
    }
    uint32_t frames = data.maxsize / frame_bytes;
    if (buffer->requested != 0 && buffer->requested < frames) frames = static_cast<uint32_t>(buffer->requested);
    queue.play(synth);
    float* samples = static_cast<float*>(data.data);
    fluid_synth_write_float(synth, static_cast<int>(frames), samples, 0, 2, samples, 1, 2);
    data.chunk->offset = 0;
    data.chunk->stride = frame_bytes;
    data.chunk->size = frames * frame_bytes;
    pw_stream_queue_buffer(stream, buffer);
    if (queue.keys_down() || !quiet_block(samples, static_cast<int>(2 * frames), 1)) {
        silent_frames.store(0, std::memory_order_relaxed);
        return;
    }
    const long silent = silent_frames.load(std::memory_order_relaxed) + frames;
    silent_frames.store(silent, std::memory_order_relaxed);
    if (silent >= static_cast<long>(rate) * idle_seconds_before_pause && !idle_signalled.exchange(true))
        pw_loop_signal_event(pw_thread_loop_get_loop(loop), idle_event);
}

namespace {
// Whether a PipeWire server listens where a client would find it, asked of its socket alone:
// on a desktop without one the client library is not even started (its configuration and
// modules take several milliseconds to load).
bool pipewire_listens() {
    std::string path;
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    const char* name = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
    if (name[0] == '/') {
        path = name;
    } else {
        const char* folder = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (folder == nullptr || *folder == '\0') folder = std::getenv("XDG_RUNTIME_DIR");
        if (folder == nullptr || *folder == '\0') return true;  // the library knows where else to look
        path = std::string(folder) + "/" + name;
    }
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return true;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}
}  // namespace

SoundStream* pipewire_connect() {
    if (!pipewire_listens()) {
        midi_set_reason("PipeWire: no server");
        return nullptr;
    }
    static const bool initialised = [] {
        pw_init(nullptr, nullptr);
        return true;
    }();
    (void)initialised;
    auto* out = new PipeWireOutput;
    out->loop = pw_thread_loop_new("vxpiano-sound", nullptr);
    // The client configuration with real-time scheduling for the thread that renders.
    if (out->loop != nullptr)
        out->context = pw_context_new(pw_thread_loop_get_loop(out->loop),
                                      pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (out->context == nullptr || pw_thread_loop_start(out->loop) < 0) {
        midi_set_reason("PipeWire: cannot start its client");
        pipewire_close(out);
        return nullptr;
    }
    pw_thread_loop_lock(out->loop);
    pw_loop* loop = pw_thread_loop_get_loop(out->loop);
    out->retry_timer = pw_loop_add_timer(loop, on_retry, out);
    out->idle_event = pw_loop_add_event(loop, on_idle, out);
    bool ready = false;
    if (!out->connect_core()) {
        midi_set_reason("PipeWire: no server");
    } else {
        // Connected to the socket; the server's answer to a first request says it is alive,
        // and its information (with the graph's rate) and its objects come before it.
        pw_registry* registry = pw_core_get_registry(out->core, PW_VERSION_REGISTRY, 0);
        spa_hook registry_listener{};
        if (registry != nullptr) pw_registry_add_listener(registry, &registry_listener, &registry_events, out);
        out->sync_seq = pw_core_sync(out->core, PW_ID_CORE, 0);
        while (!out->answered && !out->core_failed)
            if (pw_thread_loop_timed_wait(out->loop, answer_wait_seconds) != 0) break;
        if (registry != nullptr) {
            spa_hook_remove(&registry_listener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        }
        ready = out->answered && !out->core_failed && out->has_sink;
        if (!ready)
            midi_set_reason(out->answered ? "PipeWire: the server has no audio output" : "PipeWire: the server did not answer");
    }
    pw_thread_loop_unlock(out->loop);
    if (!ready) {
        pipewire_close(out);
        return nullptr;
    }
    return out;
}

bool pipewire_play(SoundStream* stream, fluid_synth_t* synth, const SoundTiming& timing) {
    auto* output = static_cast<PipeWireOutput*>(stream);
    pw_thread_loop_lock(output->loop);
    output->synth = synth;
    output->quantum = timing.period_frames;
    output->make_stream();
    const bool ok = output->stream != nullptr;
    if (!ok) midi_set_reason("PipeWire: cannot open a stream");
    pw_thread_loop_unlock(output->loop);
    return ok;
}

namespace {
// Under the loop's lock; the graph's real-time thread renders without it.
const StreamSendRoutines pipewire_send_routines = {
    [](SoundStream* stream) { pw_thread_loop_lock(static_cast<PipeWireOutput*>(stream)->loop); },
    [](SoundStream* stream) { pw_thread_loop_unlock(static_cast<PipeWireOutput*>(stream)->loop); },
    [](SoundStream* stream) { return static_cast<PipeWireOutput*>(stream)->stream == nullptr; },
    [](SoundStream* stream) { return !static_cast<PipeWireOutput*>(stream)->active; },
    [](SoundStream* stream) {
        auto* output = static_cast<PipeWireOutput*>(stream);
        output->silent_frames = 0;
        output->active = true;
        pw_stream_set_active(output->stream, true);
    },
    false,
    50,
};
}  // namespace

bool pipewire_send(SoundStream* stream, const uint8_t* bytes, int count) {
    return stream_send(stream, pipewire_send_routines, bytes, count);
}

void pipewire_close(SoundStream* stream) {
    if (stream == nullptr) return;
    auto* output = static_cast<PipeWireOutput*>(stream);
    if (output->loop != nullptr) {
        pw_thread_loop_stop(output->loop);
        output->drop_stream();
        output->drop_core();
        pw_loop* loop = pw_thread_loop_get_loop(output->loop);
        if (output->retry_timer != nullptr) pw_loop_destroy_source(loop, output->retry_timer);
        if (output->idle_event != nullptr) pw_loop_destroy_source(loop, output->idle_event);
        if (output->context != nullptr) pw_context_destroy(output->context);
        pw_thread_loop_destroy(output->loop);
    }
    delete output;
}

}  // namespace app
