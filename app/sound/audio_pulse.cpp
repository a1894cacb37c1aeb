// The synth renders on the server's request, straight into the server's buffer, so the only
// delay between a Note On and its sound is the few milliseconds the stream keeps queued. While
// nothing sounds (no key down, the effects died away) the stream is corked and emptied: the
// process then sleeps instead of rendering silence, and the next note starts in an empty
// buffer, at once.
#include "app/sound/sound_stream.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include <pulse/pulseaudio.h>

#include "app/common/open_reason.h"
#include "app/sound/realtime.h"
#include "app/sound/sound_lost.h"
#include "app/sound/stream_send.h"

namespace app {

namespace {
// How long a server may take to accept the connection before the synth looks elsewhere.
constexpr pa_usec_t connect_wait_us = 2'000'000;
// Between attempts to reach a server that went away.
constexpr pa_usec_t retry_interval_us = 1'000'000;
// Silence kept playing after the last voice ends before the stream is corked: long enough
// that a quick run of notes does not cork and uncork between them.
constexpr int idle_seconds_before_cork = 1;
constexpr size_t frame_bytes = 2 * sizeof(float);
}  // namespace

class PulseOutput : public SoundStream {
public:
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* timer = nullptr;
    pa_defer_event* restart = nullptr;  // a Note On for a stopped stream, run on the loop's thread
    SoundTiming timing{};
    bool corked = true;
    pid_t loop_thread = 0;  // the loop's thread, which renders every block
    std::atomic<bool> sound_lost{false};
    bool connect_timed_out = false;
    long silent_frames = 0;

    void connect();
    void drop_context();
    void make_stream();
    void drop_stream();
    void fill(size_t bytes);
    void uncork();
    void schedule(pa_usec_t delay_us);
};

namespace {

void on_timer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* data) {
    auto* out = static_cast<PulseOutput*>(data);
    api->time_free(event);
    out->timer = nullptr;
    if (out->synth == nullptr) {  // still opening: the server did not answer in time
        out->connect_timed_out = true;
        pa_threaded_mainloop_signal(out->loop, 0);
        return;
    }
    if (out->context != nullptr && pa_context_get_state(out->context) == PA_CONTEXT_READY)
        out->make_stream();
    else
        out->connect();
}

void on_context_state(pa_context* context, void* data) {
    auto* out = static_cast<PulseOutput*>(data);
    if (context != out->context) return;
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            out->loop_thread = gettid();
            if (out->synth != nullptr) out->make_stream();
            pa_threaded_mainloop_signal(out->loop, 0);
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            pa_threaded_mainloop_signal(out->loop, 0);
            if (out->synth == nullptr) break;  // the first connection: pulse_connect reports it
            say_sound_lost(&out->sound_lost, "the sound server went away");
            out->drop_stream();
            out->queue.lose(out->synth);
            out->drop_context();
            out->schedule(retry_interval_us);
            break;
        default:
            break;
    }
}

void on_stream_state(pa_stream* stream, void* data) {
    auto* out = static_cast<PulseOutput*>(data);
    if (stream != out->stream) return;
    if (pa_stream_get_state(stream) != PA_STREAM_FAILED) return;
    // The context failing too is handled there; a stream failing alone (its sink gone and
    // nowhere to move) is tried again on the same connection.
    if (out->context != nullptr && pa_context_get_state(out->context) != PA_CONTEXT_READY) return;
    say_sound_lost(&out->sound_lost, "the sound server closed the stream");
    out->drop_stream();
    out->queue.lose(out->synth);
    out->schedule(retry_interval_us);
}

void on_write(pa_stream* stream, size_t bytes, void* data) {
    auto* out = static_cast<PulseOutput*>(data);
    if (stream != out->stream) return;
    if (!out->corked) out->fill(bytes);
}

// The stream starts again on the loop's own thread, which renders at real-time priority: the
// program's thread, at normal priority beside a busy core, could be preempted halfway through
// rendering the first buffer of the note.
void on_restart(pa_mainloop_api* api, pa_defer_event* event, void* data) {
    auto* out = static_cast<PulseOutput*>(data);
    api->defer_enable(event, 0);
    if (out->stream != nullptr && out->corked && pa_stream_get_state(out->stream) == PA_STREAM_READY) out->uncork();
}

}  // namespace

void PulseOutput::schedule(pa_usec_t delay_us) {
    if (timer != nullptr) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    struct timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, delay_us);
    timer = api->time_new(api, &when, on_timer, this);
}

void PulseOutput::connect() {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "vxpiano");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "vxpiano");
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "music");
    context = pa_context_new_with_proplist(api, "vxpiano", properties);
    pa_proplist_free(properties);
    if (context == nullptr) {
        schedule(retry_interval_us);
        return;
    }
    pa_context_set_state_callback(context, on_context_state, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        drop_context();
        schedule(retry_interval_us);
    }
}

void PulseOutput::drop_context() {
    if (context == nullptr) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}

void PulseOutput::make_stream() {
    if (stream != nullptr || context == nullptr) return;
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(rate), 2};
    stream = pa_stream_new(context, "Piano", &spec, nullptr);
    if (stream == nullptr) {
        schedule(retry_interval_us);
        return;
    }
    pa_stream_set_state_callback(stream, on_stream_state, this);
    pa_stream_set_write_callback(stream, on_write, this);
    const uint32_t period = static_cast<uint32_t>(timing.period_frames * frame_bytes);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = period * static_cast<uint32_t>(timing.periods);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = period;
    attributes.fragsize = static_cast<uint32_t>(-1);
    // Adjusting the latency has the server run its device with a buffer this small too,
    // instead of its default of up to seconds. The stream starts playing silence and is
    // corked once idle: a first start from corked could wait a whole period of the idle
    // device (up to a second).
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
    corked = false;
    silent_frames = 0;
    if (pa_stream_connect_playback(stream, nullptr, &attributes, flags, nullptr, nullptr) < 0) {
        drop_stream();
        schedule(retry_interval_us);
        return;
    }
    say_sound_back(&sound_lost);
}

void PulseOutput::drop_stream() {
    if (stream == nullptr) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
    corked = true;
}

void PulseOutput::fill(size_t bytes) {
    queue.play(synth);
    while (bytes >= frame_bytes) {
        void* buffer = nullptr;
        size_t size = bytes;
        if (pa_stream_begin_write(stream, &buffer, &size) < 0 || buffer == nullptr) return;
        const int frames = static_cast<int>(size / frame_bytes);
        if (frames == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        float* samples = static_cast<float*>(buffer);
        fluid_synth_write_float(synth, frames, samples, 0, 2, samples, 1, 2);
        if (pa_stream_write(stream, buffer, static_cast<size_t>(frames) * frame_bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        bytes -= static_cast<size_t>(frames) * frame_bytes;
        if (queue.keys_down() || !quiet_block(samples, 2 * frames, 1))
            silent_frames = 0;
        else
            silent_frames += frames;
    }
    if (silent_frames >= static_cast<long>(rate) * idle_seconds_before_cork) {
        corked = true;
        if (pa_operation* op = pa_stream_cork(stream, 1, nullptr, nullptr)) pa_operation_unref(op);
        if (pa_operation* op = pa_stream_flush(stream, nullptr, nullptr)) pa_operation_unref(op);
    }
}

void PulseOutput::uncork() {
    corked = false;
    silent_frames = 0;
    // The server asked for data while the stream was corked and got none: the buffer is
    // filled first, so that the stream plays at once when it starts.
    size_t writable = pa_stream_writable_size(stream);
    if (writable != static_cast<size_t>(-1)) fill(writable);
    if (pa_operation* op = pa_stream_cork(stream, 0, nullptr, nullptr)) pa_operation_unref(op);
}

SoundStream* pulse_connect() {
    auto* out = new PulseOutput;
    out->loop = pa_threaded_mainloop_new();
    if (out->loop == nullptr || pa_threaded_mainloop_start(out->loop) < 0) {
        midi_set_reason("PulseAudio: cannot start its event thread");
        pulse_close(out);
        return nullptr;
    }
    pa_threaded_mainloop_lock(out->loop);
    out->connect();
    out->schedule(connect_wait_us);
    bool ready = false;
    for (;;) {
        pa_context_state_t state = out->context != nullptr ? pa_context_get_state(out->context) : PA_CONTEXT_FAILED;
        if (state == PA_CONTEXT_READY) {
            ready = true;
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(state) || out->connect_timed_out) break;
        pa_threaded_mainloop_wait(out->loop);
    }
    if (ready) {
        if (out->timer != nullptr) {
            pa_threaded_mainloop_get_api(out->loop)->time_free(out->timer);
            out->timer = nullptr;
        }
        // The rate of the output the stream will go to (the server's default sink), requested
        // before any stream exists.
        struct Query {
            PulseOutput* out;
            std::string sink;
            bool done;
        } query{out, "", false};
        auto wait = [&](pa_operation* op) {
            while (op != nullptr && !query.done && pa_operation_get_state(op) == PA_OPERATION_RUNNING)
                pa_threaded_mainloop_wait(out->loop);
            if (op != nullptr) pa_operation_unref(op);
        };
        wait(pa_context_get_server_info(
            out->context,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* q = static_cast<Query*>(data);
                if (info != nullptr) {
                    if (info->sample_spec.rate >= 8000) q->out->rate = static_cast<int>(info->sample_spec.rate);
                    if (info->default_sink_name != nullptr) q->sink = info->default_sink_name;
                }
                q->done = true;
                pa_threaded_mainloop_signal(q->out->loop, 0);
            },
            &query));
        if (!query.sink.empty()) {
            query.done = false;
            wait(pa_context_get_sink_info_by_name(
                out->context, query.sink.c_str(),
                [](pa_context*, const pa_sink_info* info, int, void* data) {
                    auto* q = static_cast<Query*>(data);
                    if (info != nullptr && info->sample_spec.rate >= 8000) q->out->rate = static_cast<int>(info->sample_spec.rate);
                    if (info == nullptr) {  // the end of the list
                        q->done = true;
                        pa_threaded_mainloop_signal(q->out->loop, 0);
                    }
                },
                &query));
        }
    } else {
        midi_set_reason("PulseAudio: %s",
                        out->connect_timed_out ? "the server did not answer"
                        : out->context != nullptr ? pa_strerror(pa_context_errno(out->context))
                                                  : "no server");
    }
    pa_threaded_mainloop_unlock(out->loop);
    if (!ready) {
        pulse_close(out);
        return nullptr;
    }
    return out;
}

bool pulse_play(SoundStream* stream, fluid_synth_t* synth, const SoundTiming& timing) {
    auto* output = static_cast<PulseOutput*>(stream);
    // The thread that renders every block, the first after a stop too. At normal priority
    // beside a busy core it broke up held notes eight times in a minute; where neither the
    // system nor the desktop's RealtimeKit grants more, rendering stays at normal priority.
    make_thread_realtime(output->loop_thread, timing.realtime_priority);
    pa_threaded_mainloop_lock(output->loop);
    output->synth = synth;
    output->timing = timing;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(output->loop);
    output->restart = api->defer_new(api, on_restart, output);
    if (output->restart != nullptr) api->defer_enable(output->restart, 0);
    output->make_stream();
    bool ok = output->stream != nullptr;
    if (!ok) midi_set_reason("PulseAudio: cannot open a stream: %s", pa_strerror(pa_context_errno(output->context)));
    pa_threaded_mainloop_unlock(output->loop);
    return ok;
}

namespace {
// Under the loop's lock, which the loop's thread holds while it renders.
const StreamSendRoutines pulse_send_routines = {
    [](SoundStream* stream) { pa_threaded_mainloop_lock(static_cast<PulseOutput*>(stream)->loop); },
    [](SoundStream* stream) { pa_threaded_mainloop_unlock(static_cast<PulseOutput*>(stream)->loop); },
    [](SoundStream* stream) { return static_cast<PulseOutput*>(stream)->stream == nullptr; },
    [](SoundStream* stream) {
        auto* output = static_cast<PulseOutput*>(stream);
        return output->corked && pa_stream_get_state(output->stream) == PA_STREAM_READY;
    },
    // Uncorks from the server's own thread.
    [](SoundStream* stream) {
        auto* output = static_cast<PulseOutput*>(stream);
        if (output->restart != nullptr)
            pa_threaded_mainloop_get_api(output->loop)->defer_enable(output->restart, 1);
        else
            output->uncork();
    },
    true,
    0,
};
}  // namespace

bool pulse_send(SoundStream* stream, const uint8_t* bytes, int count) {
    return stream_send(stream, pulse_send_routines, bytes, count);
}

void pulse_close(SoundStream* stream) {
    if (stream == nullptr) return;
    auto* output = static_cast<PulseOutput*>(stream);
    if (output->loop != nullptr) {
        pa_threaded_mainloop_stop(output->loop);
        if (output->timer != nullptr) pa_threaded_mainloop_get_api(output->loop)->time_free(output->timer);
        if (output->restart != nullptr) pa_threaded_mainloop_get_api(output->loop)->defer_free(output->restart);
        output->drop_stream();
        output->drop_context();
        pa_threaded_mainloop_free(output->loop);
    }
    delete output;
}

}  // namespace app
