// The JACK outputs against a jackd of the bench's own (dummy back end, 48 kHz, 64-frame
// periods): a Note On from the send to a receiving client (and to when its frame was due), and the embedded synthesiser
// played through the server by the real program (found as with VXMIDI unset) under Xvfb:
// click to sound, silent gaps and the server's xruns over a minute of clicks, glides and held
// notes with the other core kept busy (VX_JACK_PERIOD sets the server's period for that minute), and the idle
// program's processor time beside that of an empty client.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/midi/midi.h"
#include "tests/support/jack_server.h"
#include "tests/support/program.h"

using namespace std::chrono_literals;

namespace {

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

void report(benchmark::State& state, const std::vector<double>& us, double period_us) {
    state.counters["period_us"] = period_us;
    state.counters["median_us"] = percentile(us, 0.5);
    state.counters["p95_us"] = percentile(us, 0.95);
    state.counters["max_us"] = percentile(us, 1.0);
    state.counters["median_periods"] = percentile(us, 0.5) / period_us;
    state.counters["p95_periods"] = percentile(us, 0.95) / period_us;
}

// Keeps one core busy while it lives, as a compile beside the player would.
struct BusyCore {
    std::atomic<bool> stop{false};
    std::thread spinner{[this] {
        volatile uint64_t n = 0;
        while (!stop.load(std::memory_order_relaxed)) n = n + 1;
    }};
    ~BusyCore() {
        stop = true;
        spinner.join();
    }
};

// midi_note_on in this process to the receiving client's cycle that has it.
void BM_JackMidiNoteOnToReceiver(benchmark::State& state) {
    vxtest::JackServer server;
    vxtest::JackMidiReceiver receiver;
    if (!server.start(48000, 64) || (server.export_environment(), !receiver.open(server.name())))
        return state.SkipWithError("no JACK server");
    setenv("VXMIDI", ("jack:" + receiver.port_name()).c_str(), 1);
    app::midi_open();
    receiver.wait_count(1);
    std::this_thread::sleep_for(100ms);  // cycles enough to tie the frames to the clock
    const double period_us = 1e6 * server.period() / server.rate();
    std::vector<double> us, due_us;
    int i = 0;
    for (auto _ : state) {
        const size_t before = receiver.events().size();
        const int64_t sent = now_ns();
        (i++ % 2 == 0) ? app::midi_note_on(33) : app::midi_note_off(33);
        if (!receiver.wait_count(before + 1)) return state.SkipWithError("a message was lost");
        const double waited = static_cast<double>(receiver.events()[before].received_ns - sent) / 1000;
        us.push_back(waited);
        // When the frame the message arrived at was due: a cycle that woke late delays the
        // message with it, so this tells a message that waited a cycle too many.
        due_us.push_back(static_cast<double>(receiver.frame_due_ns(receiver.events()[before].frame) - sent) / 1000);
        state.SetIterationTime(waited * 1e-6);
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + i * 373 % 1400));
    }
    app::midi_close();
    unsetenv("VXMIDI");
    receiver.close();
    report(state, us, period_us);
    // The message in the first cycle due after the send: due at most a period (and 0.1 ms for
    // the tie between frames and clock) after it.
    state.counters["due_max_us"] = percentile(due_us, 1.0);
    state.counters["due_over_one_period"] =
        static_cast<double>(std::count_if(due_us.begin(), due_us.end(), [&](double us) { return us > period_us + 100; }));
}
BENCHMARK(BM_JackMidiNoteOnToReceiver)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

// The real program as a MIDI thru: a Note On played into its input port by a client of the
// bench's own to the receiving client's cycle that has it from the program's output port.
// The cycle the player wrote the event in is the input event's time; the frames between the two
// cycles say in which period it came out.
void BM_JackMidiInputToOutput(benchmark::State& state) {
    vxtest::JackServer server;
    vxtest::JackMidiReceiver receiver;
    vxtest::JackMidiSender player;
    if (!server.start(48000, 64) || (server.export_environment(), !receiver.open(server.name())) ||
        !player.open(server.name()))
        return state.SkipWithError("no JACK server");
    vxtest::PianoRun run;
    if (std::string problem = run.start("jack:" + receiver.port_name()); !problem.empty())
        return state.SkipWithError(problem.c_str());
    // The input's port is on the output's client.
    if (!player.connect_to("vxpiano:midi_in")) return state.SkipWithError("no input port");
    receiver.wait_count(1);
    // The connection takes hold some cycles later: a centred pitch bend, which changes nothing,
    // is played until one comes out.
    for (int tries = 0; tries < 20 && receiver.events().size() < 2; ++tries) {
        player.send({0xE0, 0x00, 0x40});
        receiver.wait_count(2, std::chrono::milliseconds(500));
    }
    if (receiver.events().size() < 2) return state.SkipWithError("nothing played into the input came out");
    const double period_us = 1e6 * server.period() / server.rate();
    std::vector<double> us, periods;
    int i = 0;
    for (auto _ : state) {
        const size_t before = receiver.events().size();
        player.send({static_cast<uint8_t>(i++ % 2 == 0 ? 0x90 : 0x80), 69, 100});
        if (!receiver.wait_count(before + 1)) return state.SkipWithError("a message was lost");
        const vxtest::JackMidiEvent got = receiver.events()[before];
        const double waited = static_cast<double>(got.received_ns - player.written_ns()) / 1000;
        us.push_back(waited);
        periods.push_back(static_cast<double>(got.frame - player.written_frame()) / server.period());
        state.SetIterationTime(waited * 1e-6);
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + i * 373 % 1400));
    }
    run.escape_and_wait();
    report(state, us, period_us);
    state.counters["median_cycles_later"] = percentile(periods, 0.5);
    state.counters["max_cycles_later"] = percentile(periods, 1.0);
}
BENCHMARK(BM_JackMidiInputToOutput)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

// A sequencer client of the bench's own with one port; null without a sequencer.
snd_seq_t* bench_sequencer(const char* name, unsigned caps, int* port) {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return nullptr;
    snd_seq_set_client_name(seq, name);
    *port = snd_seq_create_simple_port(seq, name, caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    return seq;
}

// The next Note On or Off that reaches `seq`, within `limit_ms`: false when none did.
bool next_note(snd_seq_t* seq, int limit_ms) {
    pollfd fds[4];
    const int count = snd_seq_poll_descriptors(seq, fds, 4, POLLIN);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        snd_seq_event_t* ev = nullptr;
        while (snd_seq_event_input_pending(seq, 1) > 0 && snd_seq_event_input(seq, &ev) >= 0)
            if (ev != nullptr && (ev->type == SND_SEQ_EVENT_NOTEON || ev->type == SND_SEQ_EVENT_NOTEOFF)) return true;
        poll(fds, static_cast<nfds_t>(count), 50);
    }
    return false;
}

// Plays A4 from `port` of `seq` to its subscribers at once: a Note On for even `i`, else its Note Off.
void play_a(snd_seq_t* seq, int port, int i) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_source(&ev, port);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    if (i % 2 == 0) snd_seq_ev_set_noteon(&ev, 0, 69, 100);
    else snd_seq_ev_set_noteoff(&ev, 0, 69, 0);
    snd_seq_event_output_direct(seq, &ev);
}

// The real program as an ALSA thru, on a real kernel sequencer (these machines have none:
// tools/bench_alsa_guest.sh runs it in the throw-away guest): a Note On from a port of the
// bench's own, which VXMIDI_IN names, to the bench's receiving port, which VXMIDI names.
void BM_AlsaMidiInputToOutput(benchmark::State& state) {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) return state.SkipWithError("no ALSA sequencer here");
    int keys_port = -1, in_port = -1;
    snd_seq_t* keys = bench_sequencer("vxbench keys", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, &keys_port);
    snd_seq_t* receiver = bench_sequencer("vxbench in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, &in_port);
    if (keys == nullptr || receiver == nullptr || keys_port < 0 || in_port < 0) return state.SkipWithError("no sequencer ports");
    const std::string keys_name = std::to_string(snd_seq_client_id(keys)) + ":" + std::to_string(keys_port);
    const std::string in_name = std::to_string(snd_seq_client_id(receiver)) + ":" + std::to_string(in_port);
    vxtest::PianoRun run;
    run.environment.push_back("VXMIDI_IN=alsa:" + keys_name);
    if (std::string problem = run.start("alsa:" + in_name); !problem.empty()) return state.SkipWithError(problem.c_str());
    // The program connects the keys' port once its window is drawn: a note is played until one
    // comes through.
    const auto play = [&](int i) { play_a(keys, keys_port, i); };
    bool through = false;
    for (int tries = 0; tries < 40 && !through; ++tries) {
        play(0);
        through = next_note(receiver, 250);
    }
    if (!through) return state.SkipWithError("nothing played into the input came out");
    play(1);
    next_note(receiver, 1000);
    std::vector<double> us;
    int i = 0;
    for (auto _ : state) {
        const int64_t sent = now_ns();
        play(i++);
        if (!next_note(receiver, 2000)) return state.SkipWithError("a message was lost");
        const double waited = static_cast<double>(now_ns() - sent) / 1000;
        us.push_back(waited);
        state.SetIterationTime(waited * 1e-6);
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + i * 373 % 1400));
    }
    run.escape_and_wait();
    snd_seq_close(keys);
    snd_seq_close(receiver);
    state.counters["median_us"] = percentile(us, 0.5);
    state.counters["p95_us"] = percentile(us, 0.95);
    state.counters["max_us"] = percentile(us, 1.0);
}
BENCHMARK(BM_AlsaMidiInputToOutput)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

// For comparison, the sequencer's own delivery between the same two ports connected directly:
// what the guest's kernel and emulated processor cost without the program between them.
void BM_AlsaSequencerDirect(benchmark::State& state) {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) return state.SkipWithError("no ALSA sequencer here");
    int keys_port = -1, in_port = -1;
    snd_seq_t* keys = bench_sequencer("vxbench keys", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, &keys_port);
    snd_seq_t* receiver = bench_sequencer("vxbench in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, &in_port);
    if (keys == nullptr || receiver == nullptr || keys_port < 0 || in_port < 0) return state.SkipWithError("no sequencer ports");
    snd_seq_connect_to(keys, keys_port, snd_seq_client_id(receiver), in_port);
    std::vector<double> us;
    int i = 0;
    for (auto _ : state) {
        const int64_t sent = now_ns();
        play_a(keys, keys_port, i++);
        if (!next_note(receiver, 2000)) return state.SkipWithError("a message was lost");
        const double waited = static_cast<double>(now_ns() - sent) / 1000;
        us.push_back(waited);
        state.SetIterationTime(waited * 1e-6);
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + i * 373 % 1400));
    }
    snd_seq_close(keys);
    snd_seq_close(receiver);
    state.counters["median_us"] = percentile(us, 0.5);
    state.counters["p95_us"] = percentile(us, 0.95);
    state.counters["max_us"] = percentile(us, 1.0);
}
BENCHMARK(BM_AlsaSequencerDirect)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

// A note played into the real program's input to the start of its sound from the embedded
// synthesiser through the server, recorded by a client of the bench's own, as a click is timed
// in the minute above (the note's own attack, rendered offline, counted back).
void BM_JackMidiInputToSound(benchmark::State& state) {
    vxtest::JackServer server;
    vxtest::JackAudioRecorder recorder;
    vxtest::JackMidiSender player;
    if (!server.start(48000, 64) || (server.export_environment(), !recorder.open(server.name(), "recorder", 40)) ||
        !player.open(server.name()))
        return state.SkipWithError("no JACK server");
    vxtest::PianoRun run;
    if (std::string problem = run.start(vxtest::embedded_synth); !problem.empty()) return state.SkipWithError(problem.c_str());
    if (!recorder.connect_from("vxpiano:")) return state.SkipWithError("the program plays elsewhere");
    // The input's port is on the synthesiser's client.
    if (!player.connect_to("vxpiano:midi_in")) return state.SkipWithError("no input port");
    std::this_thread::sleep_for(500ms);
    const double period_us = 1e6 * server.period() / server.rate();
    struct Played {
        int64_t written_ns, up_ns;
    };
    std::vector<Played> played;
    for (auto _ : state) {
        for (int n = 0; n < 30; ++n) {
            const int64_t before = player.written_ns();
            player.send({0x90, 69, 100});
            while (player.written_ns() == before) std::this_thread::sleep_for(std::chrono::microseconds(200));
            const int64_t written = player.written_ns();
            std::this_thread::sleep_for(300ms);
            player.send({0x80, 69, 0});
            played.push_back({written, now_ns()});
            std::this_thread::sleep_for(std::chrono::milliseconds(400 + n * 37 % 200));
        }
        state.SetIterationTime(1);
    }
    const vxtest::Recording sound = recorder.recording();
    std::vector<double> us;
    for (const Played& p : played) {
        const int64_t from = vxtest::first_sample_after(sound, p.written_ns);
        const int64_t to = vxtest::first_sample_after(sound, p.up_ns);
        const int64_t start = from < 0 ? -1 : vxtest::onset(sound.samples, from, from + sound.rate / 2, sound.rate / 50);
        if (start < 0 || to <= start) continue;
        const float level = vxtest::onset_level(sound.samples, from, sound.rate / 50);
        const int64_t note_start = std::max(from, start - vxtest::own_attack(0, 69, sound.rate, level));
        us.push_back(static_cast<double>(vxtest::time_of_sample(sound, note_start) - p.written_ns) / 1000);
    }
    report(state, us, period_us);
    state.counters["notes"] = static_cast<double>(us.size());
    recorder.close();
    run.escape_and_wait();
}
BENCHMARK(BM_JackMidiInputToSound)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// A note played into the real program's input to the window showing its key pressed (and let
// go), read back from the X server one pixel at a time as fast as it answers.
void BM_JackMidiInputToKeyDrawn(benchmark::State& state) {
    vxtest::JackServer server;
    vxtest::JackMidiSender player;
    if (!server.start(48000, 64) || (server.export_environment(), !player.open(server.name())))
        return state.SkipWithError("no JACK server");
    vxtest::PianoRun run;
    if (std::string problem = run.start("raw:/dev/null"); !problem.empty()) return state.SkipWithError(problem.c_str());
    if (!player.connect_to("vxpiano:midi_in")) return state.SkipWithError("no input port");
    std::this_thread::sleep_for(200ms);  // the connection takes hold
    // Middle C's key (note 60 at the start octave), below the black keys.
    const auto pixel = [&] {
        XImage* image = XGetImage(run.d(), run.window, 300, 160, 1, 1, AllPlanes, ZPixmap);
        const unsigned long value = image != nullptr ? XGetPixel(image, 0, 0) & 0xFFFFFF : 0;
        if (image != nullptr) XDestroyImage(image);
        return value;
    };
    std::vector<double> us;
    int i = 0;
    for (auto _ : state) {
        const bool down = i++ % 2 == 0;
        const unsigned long wanted = down ? 0x999999 : 0xFFFFFF;
        const int64_t before_written = player.written_ns();
        player.send({static_cast<uint8_t>(down ? 0x90 : 0x80), 60, 100});
        const int64_t limit = now_ns() + 2'000'000'000;
        while (pixel() != wanted && now_ns() < limit) {
        }
        const int64_t seen = now_ns();
        if (seen >= limit || player.written_ns() == before_written) return state.SkipWithError("the key was not drawn");
        const double waited = static_cast<double>(seen - player.written_ns()) / 1000;
        us.push_back(waited);
        state.SetIterationTime(waited * 1e-6);
        std::this_thread::sleep_for(std::chrono::microseconds(20000 + i * 3733 % 14000));
    }
    run.escape_and_wait();
    state.counters["median_us"] = percentile(us, 0.5);
    state.counters["p95_us"] = percentile(us, 0.95);
    state.counters["max_us"] = percentile(us, 1.0);
}
BENCHMARK(BM_JackMidiInputToKeyDrawn)->UseManualTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

// Heavy input into the real program, its output a Standard MIDI File:
// 10 s of MIDI clock at 24 per quarter note and 300 bpm (120 a second) beside 10 s of nothing,
// then 10 s of a dense file's worth of notes, 10,000 events a second, each held one event; the
// program's processor time and resident memory before and after, and whether every note still
// went out.
void BM_JackMidiInputHeavy(benchmark::State& state) {
    vxtest::JackServer server;
    vxtest::JackMidiSender player;
    if (!server.start(48000, 64) || (server.export_environment(), !player.open(server.name())))
        return state.SkipWithError("no JACK server");
    vxtest::PianoRun run;
    const std::string recorded = run.directory.file("out.mid");
    if (std::string problem = run.start("smf:" + recorded); !problem.empty()) return state.SkipWithError(problem.c_str());
    if (!player.connect_to("vxpiano:midi_in")) return state.SkipWithError("no input port");
    const pid_t pid = run.program.pid();
    for (auto _ : state) {
        std::this_thread::sleep_for(1s);
        int64_t cpu = vxtest::cpu_time_ns(pid);
        std::this_thread::sleep_for(10s);
        state.counters["idle_percent"] = static_cast<double>(vxtest::cpu_time_ns(pid) - cpu) / 1e8;
        cpu = vxtest::cpu_time_ns(pid);
        for (int tick = 0; tick < 1200; ++tick) {
            player.send({0xF8});
            std::this_thread::sleep_for(std::chrono::microseconds(8333));
        }
        state.counters["clock_percent"] = static_cast<double>(vxtest::cpu_time_ns(pid) - cpu) / 1e8;
        const long rss_before = vxtest::resident_kib(pid);
        cpu = vxtest::cpu_time_ns(pid);
        const int64_t start = now_ns();
        int sent = 0;
        // Bursts of ten events a millisecond: the player's ring holds a few cycles' worth.
        for (int burst = 0; now_ns() - start < 10'000'000'000; ++burst) {
            for (int i = 0; i < 10; ++i, ++sent) {
                const uint8_t note = static_cast<uint8_t>(24 + sent / 2 % 72);
                player.send({static_cast<uint8_t>(sent % 2 == 0 ? 0x90 : 0x80), note, 90});
            }
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(start)) +
                                          std::chrono::milliseconds(burst + 1));
        }
        player.wait_sent();
        std::this_thread::sleep_for(1s);
        state.counters["flood_events_per_s"] = sent / 10.0;
        state.counters["flood_percent"] = static_cast<double>(vxtest::cpu_time_ns(pid) - cpu) / 1e8;
        state.counters["rss_kib_before"] = static_cast<double>(rss_before);
        state.counters["rss_kib_after"] = static_cast<double>(vxtest::resident_kib(pid));
        state.counters["still_running"] = run.program.running();
    }
    run.escape_and_wait();
    std::vector<vxtest::MidiMessage> out;
    vxtest::read_smf(recorded, out);
    size_t ons = 0, offs = 0;
    for (const vxtest::MidiMessage& m : out) {
        ons += (m.status & 0xF0) == 0x90;
        offs += (m.status & 0xF0) == 0x80;
    }
    state.counters["notes_out"] = static_cast<double>(ons);
    state.counters["note_offs_out"] = static_cast<double>(offs);
}
BENCHMARK(BM_JackMidiInputHeavy)->Iterations(1)->Unit(benchmark::kSecond);

// A minute of playing the real program through the server while the other core spins.
void BM_JackSoundMinuteOfPlaying(benchmark::State& state) {
    vxtest::JackServer server;
    vxtest::JackAudioRecorder recorder;
    const char* period_text = std::getenv("VX_JACK_PERIOD");  // 64 frames unless asked
    const int period = period_text != nullptr ? std::atoi(period_text) : 64;
    if (!server.start(48000, period) || (server.export_environment(), !recorder.open(server.name(), "recorder", 80)))
        return state.SkipWithError("no JACK server");
    {
        // The server's own late cycles on this machine, with only the recorder and the busy
        // core: what the program's minute is to be read against.
        BusyCore busy;
        const int before = server.xruns(), recorder_before = server.late_cycles("recorder");
        std::this_thread::sleep_for(20s);
        state.counters["server_xruns_alone_per_minute"] = (server.xruns() - before) * 3;
        state.counters["recorder_late_alone_per_minute"] = (server.late_cycles("recorder") - recorder_before) * 3;
    }
    vxtest::PianoRun run;
    if (std::string problem = run.start(vxtest::embedded_synth); !problem.empty()) return state.SkipWithError(problem.c_str());
    if (!recorder.connect_from("vxpiano:")) return state.SkipWithError("the program plays elsewhere");
    const double period_us = 1e6 * server.period() / server.rate();
    std::vector<double> us;
    int64_t gaps = 0, gap_samples = 0;
    int xruns = 0, notes = 0;
    for (auto _ : state) {
        BusyCore busy;
        std::this_thread::sleep_for(1s);
        const int xruns_before = server.xruns(), program_late_before = server.late_cycles("vxpiano"),
                  recorder_late_before = server.late_cycles("recorder");
        struct Press {
            int64_t down_ns, up_ns;
        };
        std::vector<Press> presses;
        const int64_t end = now_ns() + 60'000'000'000;
        for (int n = 0; now_ns() < end; ++n) {
            run.move(400, 150);  // A, note 69
            Press p{now_ns(), 0};
            run.press();
            if (n % 5 == 4) {  // a glide over the next white keys, ending back on A
                for (int x : {420, 440, 460, 400}) {
                    std::this_thread::sleep_for(150ms);
                    run.move(x, 150);
                }
            }
            std::this_thread::sleep_for(n % 10 == 9 ? 2000ms : 300ms);
            p.up_ns = now_ns();
            run.release();
            if (n % 5 != 4) presses.push_back(p);  // a glide's first note is cut by the next
            std::this_thread::sleep_for(std::chrono::milliseconds(250 + n * 37 % 200));
        }
        xruns = server.xruns() - xruns_before;
        state.counters["program_late_cycles"] = server.late_cycles("vxpiano") - program_late_before;
        state.counters["recorder_late_cycles"] = server.late_cycles("recorder") - recorder_late_before;
        const vxtest::Recording sound = recorder.recording();
        for (const Press& p : presses) {
            const int64_t from = vxtest::first_sample_after(sound, p.down_ns);
            const int64_t to = vxtest::first_sample_after(sound, p.up_ns);
            const int64_t start = from < 0 ? -1 : vxtest::onset(sound.samples, from, from + sound.rate / 2, sound.rate / 50);
            if (start < 0 || to <= start) continue;
            ++notes;
            const float level = vxtest::onset_level(sound.samples, from, sound.rate / 50);
            const int64_t note_start = std::max(from, start - vxtest::own_attack(0, 69, sound.rate, level));
            us.push_back(static_cast<double>(vxtest::time_of_sample(sound, note_start) - p.down_ns) / 1000);
            for (const vxtest::Gap& gap : vxtest::silent_gaps(sound.samples, start, to, sound.rate / 2000)) {
                ++gaps;
                gap_samples += gap.length;
            }
        }
        state.SetIterationTime(60);
    }
    report(state, us, period_us);
    state.counters["notes"] = notes;
    state.counters["gaps"] = static_cast<double>(gaps);
    state.counters["gap_ms"] = static_cast<double>(gap_samples) * 1000 / server.rate();
    state.counters["server_xruns"] = xruns;
    recorder.close();
    run.escape_and_wait();
}
BENCHMARK(BM_JackSoundMinuteOfPlaying)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

// The program with its synthesiser open and nothing sounding, 10 s, at a server period of
// range(0) frames, beside a JACK client of the bench's own that does nothing but answer every
// cycle: the least any client costs, the floor set by the server's wake-ups. range(1) = 1:
// the synthesiser played by FluidSynth's own jack driver instead of the program's client.
void BM_JackSoundIdle(benchmark::State& state) {
    const int period = static_cast<int>(state.range(0));
    const bool library_driver = state.range(1) != 0;
    vxtest::JackServer server;
    if (!server.start(48000, period)) return state.SkipWithError("no JACK server");
    server.export_environment();
    vxtest::PianoRun run;
    const std::string vxmidi = library_driver ? "fluidsynth:audio.driver=jack,audio.jack.autoconnect=1" : vxtest::embedded_synth;
    if (std::string problem = run.start(vxmidi); !problem.empty()) return state.SkipWithError(problem.c_str());
    for (auto _ : state) {
        // A note first, so the silence measured is the one after playing, reverb tail and all.
        run.move(400, 150);
        run.press();
        std::this_thread::sleep_for(300ms);
        run.release();
        std::this_thread::sleep_for(3s);
        const pid_t pid = run.program.pid();
        const int64_t cpu0 = vxtest::cpu_time_ns(pid), run0 = vxtest::run_time_ns(pid);
        const long switches0 = vxtest::voluntary_switches(pid);
        std::this_thread::sleep_for(10s);
        state.counters["program_percent"] = static_cast<double>(vxtest::cpu_time_ns(pid) - cpu0) / 1e8;
        state.counters["program_run_percent"] = static_cast<double>(vxtest::run_time_ns(pid) - run0) / 1e8;
        state.counters["program_wakeups_s"] = static_cast<double>(vxtest::voluntary_switches(pid) - switches0) / 10;
        state.SetIterationTime(10);
    }
    run.escape_and_wait();
    vxtest::JackAudioRecorder empty;  // records, which is no more than answering
    if (!empty.open(server.name(), "empty", 1)) return;
    const pid_t self = getpid();
    const int64_t cpu0 = vxtest::cpu_time_ns(self), run0 = vxtest::run_time_ns(self);
    std::this_thread::sleep_for(10s);
    state.counters["empty_client_percent"] = static_cast<double>(vxtest::cpu_time_ns(self) - cpu0) / 1e8;
    state.counters["empty_client_run_percent"] = static_cast<double>(vxtest::run_time_ns(self) - run0) / 1e8;
    state.counters["period_us"] = 1e6 * server.period() / server.rate();
}
BENCHMARK(BM_JackSoundIdle)
    ->ArgsProduct({{64, 256, 1024}, {0, 1}})
    ->ArgNames({"period", "library_driver"})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
