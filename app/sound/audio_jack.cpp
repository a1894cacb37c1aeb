// The synth renders in the server's cycle, straight into its port buffers, so a Note On queued
// before a cycle sounds in that cycle's output. A silent synth still costs a full render each
// cycle (reverb and chorus run on silence): once no voice sounds and the effects' output has
// died away the cycle writes zeros instead, and rendering resumes with the next message.
#include "app/sound/sound_stream.h"

#include <jack/jack.h>
#include <jack/thread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "app/common/open_reason.h"
#include "app/sound/jack_host.h"
#include "app/sound/realtime.h"
#include "app/sound/sound_lost.h"
#include "app/sound/stream_send.h"

namespace app {

namespace {
// The effects' tail must stay quiet (quiet_block) this long, no key down, before rendering stops: the
// reverb's delay lines still hold sound that comes out later than one cycle.
constexpr int quiet_ms_before_stop = 200;
// Between attempts to reach a server that went away.
constexpr auto retry_interval = std::chrono::seconds(1);

void quiet_jack(const char*) {}

// A server back at another rate than the synth was made for: the synth follows it, or every
// note would sound off pitch. The library deprecates changing the rate of a live synth in
// favour of making a new one, which would lose the loaded SoundFont and the chosen program.
void follow_rate(fluid_synth_t* synth, int rate) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    fluid_synth_set_sample_rate(synth, static_cast<float>(rate));
#pragma GCC diagnostic pop
}
}  // namespace

class JackAudio : public SoundStream {
public:
    jack_client_t* client = nullptr;
    jack_port_t* ports[2] = {nullptr, nullptr};
    // Frames rendered since the last voice or audible sample; rendering stops at
    // stop_after_frames and starts again with the next message.
    long quiet_frames = 0;
    long stop_after_frames = 0;
    // The thread libjack runs the cycle on, as its first cycle finds it; 0 until then.
    std::atomic<pid_t> cycle_thread{0};

    // Set by libjack's thread when the server goes away; the watcher then closes the dead
    // client and opens a new one when the server is back.
    std::mutex lock;
    std::condition_variable changed;
    bool gone = false;
    bool closing = false;
    bool watch_ended = false;
    std::atomic<bool> sound_lost{false};
    std::thread watcher;

    const char* start();
    void watch();
    void watch_loop(std::unique_lock<std::mutex>& hold);
    void raise_cycle_priority(std::unique_lock<std::mutex>& hold);
};

namespace {

int process(jack_nframes_t frames, void* data) {
    auto* out = static_cast<JackAudio*>(data);
    auto* left = static_cast<float*>(jack_port_get_buffer(out->ports[0], frames));
    auto* right = static_cast<float*>(jack_port_get_buffer(out->ports[1], frames));
    if (out->cycle_thread.load(std::memory_order_relaxed) == 0) out->cycle_thread.store(gettid(), std::memory_order_relaxed);
    jack_host_cycle(frames);  // the input's port, on this client
    if (!out->queue.empty()) {
        out->queue.play(out->synth);
        out->quiet_frames = 0;
    }
    if (out->quiet_frames >= out->stop_after_frames) {
        std::memset(left, 0, frames * sizeof(float));
        std::memset(right, 0, frames * sizeof(float));
        return 0;
    }
    fluid_synth_write_float(out->synth, static_cast<int>(frames), left, 0, 1, right, 0, 1);
    const int count = static_cast<int>(frames);
    if (out->queue.keys_down() || !quiet_block(left, count, 1) || !quiet_block(right, count, 1))
        out->quiet_frames = 0;
    else
        out->quiet_frames += frames;
    return 0;
}

void server_shut_down(jack_status_t, const char*, void* data) {
    auto* out = static_cast<JackAudio*>(data);
    // Said before the watcher hears of it: closing the dead client cancels this thread, and a
    // write is where a cancellation lands, so a message written after it could be lost.
    say_sound_lost(&out->sound_lost, "the JACK server went away");
    {
        std::lock_guard<std::mutex> hold(out->lock);
        out->gone = true;
    }
    out->changed.notify_all();
}

jack_client_t* open_client() {
    jack_set_error_function(quiet_jack);
    jack_set_info_function(quiet_jack);
    jack_status_t status{};
    return jack_client_open("vxpiano", JackNoStartServer, &status);
}

}  // namespace

// Registers the ports, starts the cycle and connects to the playback ports; what failed, or
// nullptr.
const char* JackAudio::start() {
    ports[0] = jack_port_register(client, "left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    ports[1] = jack_port_register(client, "right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (ports[0] == nullptr || ports[1] == nullptr) return "cannot register the synthesiser's ports";
    const int server_rate = static_cast<int>(jack_get_sample_rate(client));
    if (server_rate != rate) follow_rate(synth, server_rate);
    rate = server_rate;
    stop_after_frames = static_cast<long>(rate) * quiet_ms_before_stop / 1000;
    quiet_frames = 0;
    cycle_thread = 0;
    jack_set_process_callback(client, process, this);
    jack_on_info_shutdown(client, server_shut_down, this);
    jack_host_prepare(client);
    if (jack_activate(client) != 0) return "the server refused the synthesiser's client";
    if (const char** playback = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput)) {
        for (int i = 0; i < 2 && playback[0] != nullptr; ++i)
            jack_connect(client, jack_port_name(ports[i]), playback[playback[1] != nullptr ? i : 0]);
        jack_free(playback);
    }
    jack_host_started(client);
    return nullptr;
}

// A server running in real time gives its clients' cycle threads real-time priority, but only
// where the user may set it; where not, the desktop's RealtimeKit is asked. Waits for the
// first cycle (at most a second) with `hold` released meanwhile, and the bus call too.
void JackAudio::raise_cycle_priority(std::unique_lock<std::mutex>& hold) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (cycle_thread == 0 && !closing && !gone && std::chrono::steady_clock::now() < deadline)
        changed.wait_for(hold, std::chrono::milliseconds(5));
    const pid_t thread = cycle_thread;
    if (thread == 0 || closing || gone || client == nullptr || !jack_is_realtime(client)) return;
    const int priority = jack_client_real_time_priority(client);
    if (sched_getscheduler(thread) != SCHED_OTHER) return;  // libjack could set it
    hold.unlock();
    make_thread_realtime(thread, priority);
    hold.lock();
}

void JackAudio::watch() {
    std::unique_lock<std::mutex> hold(lock);
    raise_cycle_priority(hold);
    watch_loop(hold);
    watch_ended = true;
    changed.notify_all();
}

void JackAudio::watch_loop(std::unique_lock<std::mutex>& hold) {
    for (;;) {
        changed.wait(hold, [this] { return gone || closing; });
        if (closing) return;
        if (client != nullptr) {
            hold.unlock();
            jack_host_stopping(true);
            jack_client_close(client);  // the cycle no longer runs: its thread is gone
            hold.lock();
            client = nullptr;
            queue.lose(synth);
        }
        if (changed.wait_for(hold, retry_interval, [this] { return closing; })) return;
        hold.unlock();
        jack_client_t* fresh = open_client();
        hold.lock();
        if (fresh == nullptr) continue;
        if (closing) {
            jack_client_close(fresh);
            return;
        }
        client = fresh;
        // Notes played while it was gone are in the synth already, or in the queue.
        gone = false;
        if (start() != nullptr) {
            gone = true;
            continue;
        }
        say_sound_back(&sound_lost);
        raise_cycle_priority(hold);
    }
}

SoundStream* jack_audio_connect() {
    jack_client_t* client = open_client();
    if (client == nullptr) return nullptr;
    jack_host_begin();
    auto* out = new JackAudio;
    out->client = client;
    out->rate = static_cast<int>(jack_get_sample_rate(client));
    return out;
}

bool jack_audio_play(SoundStream* stream, fluid_synth_t* synth, const SoundTiming&) {
    auto* output = static_cast<JackAudio*>(stream);
    std::lock_guard<std::mutex> hold(output->lock);
    output->synth = synth;
    // A rate the user chose for the synth cannot be kept: JACK does not resample.
    double synth_rate = 0;
    if (fluid_settings_getnum(fluid_synth_get_settings(synth), "synth.sample-rate", &synth_rate) == FLUID_OK)
        output->rate = static_cast<int>(synth_rate);
    if (const char* failed = output->start()) {
        midi_set_reason("JACK: %s", failed);
        return false;
    }
    output->watcher = std::thread([output] { output->watch(); });
    return true;
}

namespace {
// No cycle runs while the server is gone: the synth takes the messages then, under the lock
// that keeps a new client from starting meanwhile. The cycle itself takes no lock and renders
// on in silence.
const StreamSendRoutines jack_send_routines = {
    [](SoundStream* stream) { static_cast<JackAudio*>(stream)->lock.lock(); },
    [](SoundStream* stream) { static_cast<JackAudio*>(stream)->lock.unlock(); },
    [](SoundStream* stream) { return static_cast<JackAudio*>(stream)->gone; },
    nullptr,
    nullptr,
    false,
    100,
};
}  // namespace

bool jack_audio_send(SoundStream* stream, const uint8_t* bytes, int count) {
    return stream_send(stream, jack_send_routines, bytes, count);
}

void jack_audio_close(SoundStream* stream) {
    if (stream == nullptr) return;
    auto* output = static_cast<JackAudio*>(stream);
    if (output->watcher.joinable()) {
        std::unique_lock<std::mutex> hold(output->lock);
        output->closing = true;
        output->changed.notify_all();
        // An open of a server that accepts but never answers (stopped, say) can keep the
        // watcher in libjack for long: the program's exit does not wait for it, and what the
        // watcher uses is left to it.
        if (!output->changed.wait_for(hold, std::chrono::seconds(2), [output] { return output->watch_ended; })) {
            output->watcher.detach();
            return;
        }
        hold.unlock();
        output->watcher.join();
    }
    jack_host_stopping(output->gone);
    if (output->client != nullptr) {
        if (!output->gone) jack_deactivate(output->client);
        jack_client_close(output->client);
    }
    jack_host_end();
    delete output;
}

}  // namespace app
