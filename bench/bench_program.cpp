// The built program under a private Xvfb, measured from outside as a user meets it: an XTest
// press on a key to its Note On arriving at a raw FIFO (median and 99th percentile), the
// processor time and wake-ups (voluntary context switches of all its threads) of the idle
// program over 30 s on X11 and on Wayland, the time from exec to the window showing the
// complete start frame, and how soon it ends without its display or its MIDI output; with the
// embedded synthesiser and each SoundFont of soundfonts.h playing into a PulseAudio server,
// that time and the resident memory once the start program is loaded and after a few programs
// were chosen and played.
#include <benchmark/benchmark.h>

#include <X11/extensions/XTest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench/soundfonts.h"
#include "tests/support/compositor.h"
#include "tests/support/program.h"
#include "tests/support/sound_server.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

void report_spread(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p90_us"] = samples[samples.size() * 9 / 10];
    state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    state.counters["max_us"] = samples.back();
}

// Press on a key, measured to the moment the Note On's bytes can be read from the FIFO.
void BM_ProgramClickToNoteOn(benchmark::State& state) {
    vxtest::PianoRun run;
    vxtest::FifoReader midi;
    const std::string fifo = run.directory.file("midi.fifo");
    if (!midi.open(fifo)) {
        state.SkipWithError("cannot make the FIFO");
        return;
    }
    if (std::string problem = run.start("raw:" + fifo); !problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    Display* d = run.d();
    run.move(20, 150);  // C of the lowest octave
    std::vector<double> samples;
    size_t expected = midi.count();
    for (auto _ : state) {
        auto start = Clock::now();
        XTestFakeButtonEvent(d, 1, True, CurrentTime);
        XFlush(d);
        if (!midi.wait_count(expected + 1, 2000ms)) {
            state.SkipWithError("no Note On arrived");
            break;
        }
        const vxtest::MidiMessage on = midi.messages()[expected];
        const double us = static_cast<double>(on.time_us) -
                          static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(start - midi.origin()).count());
        samples.push_back(us);
        state.SetIterationTime(us * 1e-6);
        std::this_thread::sleep_for(5ms);
        XTestFakeButtonEvent(d, 1, False, CurrentTime);
        XFlush(d);
        if (!midi.wait_count(expected + 2, 2000ms)) {
            state.SkipWithError("no Note Off arrived");
            break;
        }
        expected += 2;
        // Presses fall anywhere in the program's 1 ms pass and the update thread's 10 ms tick.
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + static_cast<int>(samples.size() * 373 % 11000)));
    }
    report_spread(state, samples);
    run.escape_and_wait();
}

// The program left alone with the pointer over its window: on X11 (argument 0) and on a
// Wayland desktop (argument 1, nested sway), in one run.
void BM_ProgramIdle(benchmark::State& state) {
    const bool wayland = state.range(0) != 0;
    vxtest::PianoRun run;
    vxtest::Compositor desktop;
    vxtest::Program wayland_program;
    pid_t pid = -1;
    if (!wayland) {
        if (std::string problem = run.start("raw:/dev/null"); !problem.empty()) {
            state.SkipWithError(problem.c_str());
            return;
        }
        pid = run.program.pid();
    } else {
        if (std::string problem = desktop.start(1); !problem.empty()) {
            state.SkipWithError(problem.c_str());
            return;
        }
        std::vector<std::string> env = desktop.client_environment();
        env.push_back("VXMIDI=raw:/dev/null");
        vxtest::DesktopRect rect;
        if (!vxtest::copy_file(vxtest::shipped_picture(), run.directory.file("piano_k.bmp")) ||
            !wayland_program.start(run.directory.path(), env) || !desktop.wait_window("vxpiano", rect)) {
            state.SkipWithError("the program did not start on the Wayland desktop");
            return;
        }
        desktop.pointer_to(rect.x + 360, rect.y + 70);
        pid = wayland_program.pid();
    }
    std::this_thread::sleep_for(500ms);  // past the start
    for (auto _ : state) {
        const auto begin = Clock::now();
        const int64_t cpu0 = vxtest::cpu_time_ns(pid), run0 = vxtest::run_time_ns(pid);
        const long switches0 = vxtest::voluntary_switches(pid);
        std::this_thread::sleep_for(30s);
        const int64_t cpu1 = vxtest::cpu_time_ns(pid), run1 = vxtest::run_time_ns(pid);
        const long switches1 = vxtest::voluntary_switches(pid);
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(seconds);
        state.counters["cpu_percent"] = 100.0 * static_cast<double>(cpu1 - cpu0) * 1e-9 / seconds;
        if (run0 >= 0 && run1 >= 0) state.counters["run_percent"] = 100.0 * static_cast<double>(run1 - run0) * 1e-9 / seconds;
        state.counters["wakeups_per_s"] = static_cast<double>(switches1 - switches0) / seconds;
    }
    state.SetLabel(std::string(wayland ? "Wayland" : "X11") +
                   "; cpu_percent: utime+stime; run_percent: scheduler run time; wake-ups: voluntary switches");
    if (wayland) wayland_program.kill();
    else run.escape_and_wait();
}

// Exec to the first capture that equals the whole start frame.
void BM_ProgramStartToFirstFrame(benchmark::State& state) {
    vxtest::PianoRun run;
    if (!vxtest::copy_file(vxtest::shipped_picture(), run.directory.file("piano_k.bmp")) || !run.start_server()) {
        state.SkipWithError("no server or picture");
        return;
    }
    const vxtest::Frame frame = vxtest::expected_frame(run.directory.path());
    Display* d = run.d();
    std::vector<double> samples;
    for (auto _ : state) {
        vxtest::Program program;
        const auto begin = Clock::now();
        if (!program.start(run.directory.path(), {"DISPLAY=" + run.server.display_name(), "VXMIDI=raw:/dev/null"})) {
            state.SkipWithError("cannot start the program");
            break;
        }
        Window w = vxtest::wait_for_program_window(d, program.pid(), 10000ms);
        bool shown = w && vxtest::wait_until([&] { return vxtest::window_shows(d, w, frame); }, 10000ms);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
        if (!shown) {
            state.SkipWithError("the start frame never showed");
            break;
        }
        samples.push_back(us);
        state.SetIterationTime(us * 1e-6);
        program.kill();
    }
    report_spread(state, samples);
}

// How soon the program ends with its error: argument 0, the X server killed under the running
// program (kill to exit); argument 1, started with DISPLAY naming a display that does not
// exist, and argument 2, with "VXMIDI=jack" and no JACK server (exec to exit).
void BM_ProgramEndsWithoutItsDisplay(benchmark::State& state) {
    const bool lost = state.range(0) == 0, no_output = state.range(0) == 2;
    std::vector<double> samples;
    for (auto _ : state) {
        vxtest::PianoRun run;
        Clock::time_point begin;
        if (lost) {
            if (std::string problem = run.start("raw:/dev/null"); !problem.empty()) return state.SkipWithError(problem.c_str());
            run.client->close();
            begin = Clock::now();
            run.server.kill();
        } else {
            if (!vxtest::copy_file(vxtest::shipped_picture(), run.directory.file("piano_k.bmp"))) return state.SkipWithError("no picture");
            begin = Clock::now();
            const std::vector<std::string> environment =
                no_output ? std::vector<std::string>{"DISPLAY=", "VXMIDI=jack", "JACK_DEFAULT_SERVER=vxbench-none-" + std::to_string(getpid()),
                                                     "JACK_NO_START_SERVER=1"}
                          : std::vector<std::string>{"DISPLAY=:9473", "VXMIDI=raw:/dev/null"};
            if (!run.program.start(run.directory.path(), environment)) return state.SkipWithError("cannot start the program");
        }
        const int code = run.program.wait_exit(30000ms);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
        if (code < 0 || (!no_output && code != 1)) return state.SkipWithError("the program did not end with its error");
        samples.push_back(us);
        state.SetIterationTime(us * 1e-6);
    }
    report_spread(state, samples);
}

long peak_resident_kib(pid_t pid) {
    long kib = -1;
    if (FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atol(line + 6);
        std::fclose(status);
    }
    return kib;
}

// The instrument slider's track: a press held there glides the program towards it.
int instrument_track_x(int program) { return 10 + 10 + program * 120 / 127; }

// Exec to the complete start frame with the SoundFont named by the argument; then the
// resident memory once the start program (the piano) is loaded, and again after five programs
// were chosen with the slider (each a glide across the programs between) and played.
void BM_ProgramStartWithSoundFont(benchmark::State& state) {
    const int font = static_cast<int>(state.range(0));
    if (access(vxbench::soundfonts[font].path, R_OK) != 0) {
        state.SkipWithError("SoundFont not installed");
        return;
    }
    vxtest::SoundServer sound;
    if (std::string problem = sound.start(vxtest::ServerKind::pulseaudio); !problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    vxtest::PianoRun run;
    if (!vxtest::copy_file(vxtest::shipped_picture(), run.directory.file("piano_k.bmp")) || !run.start_server()) {
        state.SkipWithError("no server or picture");
        return;
    }
    const vxtest::Frame frame = vxtest::expected_frame(run.directory.path());
    std::vector<std::string> environment = sound.client_environment();
    environment.push_back("DISPLAY=" + run.server.display_name());
    environment.push_back("VXMIDI=" + vxbench::synth_with(font));
    std::vector<double> window_ms, start_kib, loaded_ms, played_kib, peak_kib;
    for (auto _ : state) {
        vxtest::Program& program = run.program;
        const auto begin = Clock::now();
        if (!program.start(run.directory.path(), environment)) {
            state.SkipWithError("cannot start the program");
            break;
        }
        run.window = vxtest::wait_for_program_window(run.d(), program.pid(), 10000ms);
        bool shown = run.window && vxtest::wait_until([&] { return vxtest::window_shows(run.d(), run.window, frame); }, 10000ms);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        if (!shown) {
            state.SkipWithError(("the start frame never showed: " + program.error_text()).c_str());
            break;
        }
        window_ms.push_back(ms);
        state.SetIterationTime(ms * 1e-3);
        double settled = 0;
        start_kib.push_back(static_cast<double>(vxbench::settled_resident_kib(program.pid(), 30s, &settled)));
        loaded_ms.push_back(settled + ms);
        run.focus();
        for (int chosen : {40, 73, 19, 56, 24}) {
            run.move(instrument_track_x(chosen), 12);
            run.press();
            std::this_thread::sleep_for(800ms);
            run.release();
            run.click_at(300, 150, 300ms);
        }
        played_kib.push_back(static_cast<double>(vxbench::settled_resident_kib(program.pid(), 30s, &settled)));
        peak_kib.push_back(static_cast<double>(peak_resident_kib(program.pid())));
        program.kill();
    }
    auto median = [](std::vector<double> values) { return vxtest::median(std::move(values)); };
    state.counters["window_median_ms"] = median(window_ms);
    state.counters["window_max_ms"] = window_ms.empty() ? 0 : *std::max_element(window_ms.begin(), window_ms.end());
    state.counters["loaded_median_ms"] = median(loaded_ms);
    state.counters["rss_start_MiB"] = median(start_kib) / 1024;
    state.counters["rss_played_MiB"] = median(played_kib) / 1024;
    state.counters["rss_peak_MiB"] = median(peak_kib) / 1024;
    state.SetLabel(vxbench::soundfonts[font].name);
}

}  // namespace

BENCHMARK(BM_ProgramStartWithSoundFont)->DenseRange(0, 2)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramClickToNoteOn)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);
#ifdef VX_WAYLAND
BENCHMARK(BM_ProgramIdle)->Arg(0)->Arg(1)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
#else
BENCHMARK(BM_ProgramIdle)->Arg(0)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
#endif
BENCHMARK(BM_ProgramStartToFirstFrame)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramEndsWithoutItsDisplay)->DenseRange(0, 2)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
