// The built program's embedded synthesiser (TimGM6mb) against a real sound server it finds by
// itself as with "VXMIDI" unset (PulseAudio, then PipeWire with WirePlumber and its PulseAudio
// service), started headless here: click to sound from recordings of the server's output (to the start of the note's own
// sound, its sample's rise to the level heard left out, and to that level), silent gaps inside
// held notes, the server's own underrun reports (PulseAudio's log, PipeWire's profiler: the cycles our
// stream and the recording missed, and those the graph itself began late), the server's
// latency beside them, and the processor time and wake-ups of the silent program. One run
// plays for VX_SOUND_SECONDS (default 60) of clicks, glides and held notes while another
// thread keeps a core busy (VX_SOUND_IDLE_CORE=1 leaves it idle). VX_SOUND_VXMIDI sets
// "VXMIDI" to compare settings; VX_SOUND_AS_USER=1 runs the program without real-time rights of
// its own beside a RealtimeKit; VX_SOUND_VERBOSE=1 lists every note, where its gaps fall, and
// the server's first underrun reports.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/midi/midi.h"
#include "bench/soundfonts.h"
#include "tests/support/program.h"
#include "tests/support/realtime_kit.h"
#include "tests/support/sound_server.h"

using namespace std::chrono_literals;

namespace {

// Key centres on the third octave (middle C up) and their MIDI notes.
constexpr int kKeyY = 150;
constexpr int kWhiteX[] = {300, 320, 340, 360, 380, 400, 420};
constexpr int kWhiteNote[] = {60, 62, 64, 65, 67, 69, 71};

struct Press {
    int64_t press_ns, release_ns;
    int note;
    bool timed;  // a press from rest, whose start is measured
};

std::string command_output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe)) text += line;
        pclose(pipe);
    }
    return text;
}

// The server's latency for our stream's sink while it plays, in its own words.
std::string server_latency(const vxtest::SoundServer& server) {
    std::string env = "PULSE_SERVER=unix:" + server.socket() + " XDG_RUNTIME_DIR=" +
                      server.client_environment()[0].substr(16) + " ";
    std::string text = command_output(env + "pactl list sinks 2>/dev/null | grep -i 'latency' | head -1");
    text += command_output(env + "pactl list sink-inputs 2>/dev/null | grep -i 'latency' | head -2");
    if (server.kind() == vxtest::ServerKind::pipewire) {
        // The graph runs at the smallest period its nodes ask for, within the server's limits.
        text += command_output(env + "pw-metadata -n settings 0 clock.min-quantum 2>/dev/null | grep update");
        text += command_output(env + "pw-dump 2>/dev/null | grep -o '\"node.latency\": \"[0-9/]*\"' | sort | uniq -c");
    }
    return text;
}

// PipeWire's own account of its graph's cycles (pw-profiler, from the server's profiler module):
// for each node, the cycles it had not finished when the next one began, which the server
// counts as its xruns; and the cycles the graph's driver itself began over a period late.
class GraphProfile {
public:
    explicit GraphProfile(const vxtest::SoundServer& server) : folder_(server.client_environment()[0].substr(16)) {
        std::vector<std::string> environment = server.client_environment();
        environment.push_back("PIPEWIRE_RUNTIME_DIR=" + folder_);
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open((folder_ + "/profiler.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out >= 0) dup2(out, 1), dup2(out, 2);
            for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
            execlp("pw-profiler", "pw-profiler", "-o", (folder_ + "/profiler.log").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~GraphProfile() { stop(); }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGINT);  // it writes out what it holds and ends
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    struct Counts {
        long cycles = 0, xruns = 0, late_driver = 0;
    };
    // Counts for the node named `name`, over the cycles it took part in.
    Counts node(const std::string& name) {
        stop();
        Counts counts;
        // The nodes in the order of their columns: 'logging follower 42 ("vxpiano")'.
        std::ifstream out(folder_ + "/profiler.out");
        std::string word, text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
        int column = -1, index = 0;
        for (size_t at = 0; (at = text.find("logging follower", at)) != std::string::npos; ++at, ++index)
            if (text.compare(text.find('"', at) + 1, name.size() + 1, name + "\"") == 0) column = 4 + 8 * index;
        if (column < 0) return counts;
        std::ifstream log(folder_ + "/profiler.log");
        for (std::string line; std::getline(log, line);) {
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
            // Per node: id, signal, awake, finish, wake-up delay, run time, status (3: finished).
            if (fields.size() < static_cast<size_t>(column + 7) || fields[column].find_first_of("0123456789") == std::string::npos)
                continue;
            ++counts.cycles;
            if (std::atol(fields[column + 6].c_str()) != 3) ++counts.xruns;
            // A driver that began its cycle over a period late: its period column is then a
            // placeholder and the nodes were signalled more than a period into the cycle.
            if (std::atol(fields[column + 1].c_str()) > std::atol(fields[3].c_str())) ++counts.late_driver;
        }
        return counts;
    }

private:
    std::string folder_;
    pid_t pid_ = -1;
};

void BM_SoundThroughServer(benchmark::State& state) {
    const auto kind = static_cast<vxtest::ServerKind>(state.range(0));
    const char* seconds_text = std::getenv("VX_SOUND_SECONDS");
    const int seconds = seconds_text != nullptr ? std::atoi(seconds_text) : 60;
    for (auto _ : state) {
        vxtest::SoundServer server;
        const int64_t server_started_ns = vxtest::now_ns();  // the log's clock, within its start-up time
        if (std::string problem = server.start(kind, true); !problem.empty()) {
            state.SkipWithError(problem.c_str());
            return;
        }
        vxtest::PianoRun run;
        run.environment = server.client_environment();
        const char* vxmidi = std::getenv("VX_SOUND_VXMIDI");  // to compare settings; unset as a user has it
        // As a desktop user runs it: no real-time rights of its own, RealtimeKit on the bus.
        vxtest::RealtimeKit kit;
        vxtest::ProgramLimits limits;
        if (std::getenv("VX_SOUND_AS_USER") != nullptr) {
            if (std::string problem = kit.start(); !problem.empty()) return state.SkipWithError(problem.c_str());
            run.environment.push_back(kit.environment_entry());
            limits.realtime_rights = false;
        }
        if (std::string problem = run.start(vxmidi != nullptr ? vxmidi : vxtest::embedded_synth, 24, limits); !problem.empty()) {
            state.SkipWithError(problem.c_str());
            return;
        }
        // Silent: processor time and wake-ups over 5 s, once the stream has stopped.
        std::this_thread::sleep_for(3000ms);  // the stream stops after a second of silence
        const int64_t cpu_before = vxtest::run_time_ns(run.program.pid());
        const long switches_before = vxtest::voluntary_switches(run.program.pid());
        std::this_thread::sleep_for(5s);
        const double idle_percent = (vxtest::run_time_ns(run.program.pid()) - cpu_before) / 5e9 * 100;
        const double idle_wakeups = (vxtest::voluntary_switches(run.program.pid()) - switches_before) / 5.0;
        const int underruns_before = server.underruns();

        vxtest::MonitorRecorder recorder;
        if (std::string problem = recorder.start(server); !problem.empty()) {
            state.SkipWithError(problem.c_str());
            return;
        }
        std::unique_ptr<GraphProfile> profile;
        if (kind == vxtest::ServerKind::pipewire) profile = std::make_unique<GraphProfile>(server);
        std::this_thread::sleep_for(200ms);
        std::vector<Press> presses;
        std::string latency_text;
        {
            std::unique_ptr<vxtest::BusyLoop> busy;
            if (std::getenv("VX_SOUND_IDLE_CORE") == nullptr) busy = std::make_unique<vxtest::BusyLoop>();
            const int64_t end = vxtest::now_ns() + int64_t(seconds) * 1'000'000'000;
            for (int round = 0; vxtest::now_ns() < end; ++round) {
                // Five clicks from rest on changing keys.
                for (int i = 0; i < 5; ++i) {
                    int k = (round + i * 3) % 7;
                    run.move(kWhiteX[k], kKeyY);
                    Press p{vxtest::now_ns(), 0, kWhiteNote[k], true};
                    run.press();
                    std::this_thread::sleep_for(200ms);
                    p.release_ns = vxtest::now_ns();
                    run.release();
                    presses.push_back(p);
                    std::this_thread::sleep_for(i == 4 ? 1300ms : 300ms);  // the last one lets the stream stop
                }
                // A glide over four keys, then a note held for two seconds.
                run.move(kWhiteX[0], kKeyY);
                run.press();
                for (int k = 1; k < 4; ++k) {
                    std::this_thread::sleep_for(150ms);
                    run.move(kWhiteX[k], kKeyY);
                }
                std::this_thread::sleep_for(150ms);
                run.release();
                std::this_thread::sleep_for(300ms);
                run.move(kWhiteX[4], kKeyY);
                Press held{vxtest::now_ns(), 0, kWhiteNote[4], true};
                run.press();
                std::this_thread::sleep_for(1000ms);
                if (latency_text.empty()) latency_text = server_latency(server);
                std::this_thread::sleep_for(1000ms);
                held.release_ns = vxtest::now_ns();
                run.release();
                presses.push_back(held);
                std::this_thread::sleep_for(500ms);
            }
        }
        std::this_thread::sleep_for(300ms);
        vxtest::Recording recording = recorder.stop();
        std::vector<double> latencies, to_threshold;
        int gaps = 0, silent = 0, wrong_pitch = 0;
        double longest_gap_ms = 0;
        for (const Press& p : presses) {
            vxtest::HeardNote heard = vxtest::hear_note(recording, p.press_ns, p.release_ns, vxtest::note_frequency(p.note));
            if (heard.latency_ms < 0) {
                ++silent;
                continue;
            }
            // The piano's samples take 1.2 to 7.5 ms to rise to -60 dBFS, longer above a last
            // note's tail: that rise is the instrument's, so the note's start is the onset less it.
            const double rise_ms =
                std::max<int64_t>(0, vxtest::own_attack(0, p.note, recording.rate, heard.onset_level)) * 1000.0 / recording.rate;
            latencies.push_back(std::max(0.0, heard.latency_ms - rise_ms));
            to_threshold.push_back(heard.latency_ms);
            gaps += static_cast<int>(heard.gaps.size());
            for (const vxtest::Gap& gap : heard.gaps) longest_gap_ms = std::max(longest_gap_ms, gap.length * 1000.0 / recording.rate);
            double f = vxtest::note_frequency(p.note);
            if (heard.frequency < f * 0.97 || heard.frequency > f * 1.03) ++wrong_pitch;
        }
        state.counters["median_ms"] = vxtest::median(latencies);
        state.counters["p95_ms"] = vxtest::percentile95(latencies);
        state.counters["onset_median_ms"] = vxtest::median(to_threshold);
        state.counters["onset_p95_ms"] = vxtest::percentile95(to_threshold);
        state.counters["onset_max_ms"] = to_threshold.empty() ? 0 : *std::max_element(to_threshold.begin(), to_threshold.end());
        state.counters["notes"] = static_cast<double>(presses.size());
        state.counters["silent_notes"] = silent;
        state.counters["wrong_pitch"] = wrong_pitch;
        state.counters["gaps"] = gaps;
        state.counters["longest_gap_ms"] = longest_gap_ms;
        if (profile) {
            // The server's xruns of our stream; and, to tell the machine from the program,
            // those of the recording's stream and the cycles the graph itself began late.
            const GraphProfile::Counts ours = profile->node("vxpiano"), recording = profile->node("vxbench");
            state.counters["underruns"] = static_cast<double>(ours.xruns);
            state.counters["recording_xruns"] = static_cast<double>(recording.xruns);
            state.counters["late_cycles"] = static_cast<double>(recording.late_driver);
            state.counters["cycles"] = static_cast<double>(ours.cycles);
        } else {
            state.counters["underruns"] = server.underruns() - underruns_before;
        }
        state.counters["idle_cpu_pct"] = idle_percent;
        state.counters["idle_wakeups_s"] = idle_wakeups;
        state.SetLabel(vxtest::server_name(kind));
        std::fprintf(stderr, "%s server latency while playing:\n%s", vxtest::server_name(kind), latency_text.c_str());
        if (std::getenv("VX_SOUND_VERBOSE") != nullptr) {
            for (size_t i = 0; i < presses.size() && i < 40; ++i) {
                vxtest::HeardNote h = vxtest::hear_note(recording, presses[i].press_ns, presses[i].release_ns,
                                                        vxtest::note_frequency(presses[i].note));
                std::fprintf(stderr, "note %d: %.2f ms (rise %.2f ms), %.1f Hz, %zu gaps, held %.3f after %.4f\n", presses[i].note,
                             h.latency_ms, vxtest::own_attack(0, presses[i].note, recording.rate, h.onset_level) * 1000.0 / recording.rate,
                             h.frequency, h.gaps.size(), h.held_peak, h.after_peak);
                const int64_t onset = vxtest::sample_at(recording, presses[i].press_ns) +
                                      static_cast<int64_t>(h.latency_ms * recording.rate / 1000);
                for (const vxtest::Gap& gap : h.gaps)
                    std::fprintf(stderr, "  gap of %.2f ms, %.2f ms after the onset\n", gap.length * 1000.0 / recording.rate,
                                 (gap.start - onset) * 1000.0 / recording.rate);
                if (h.latency_ms < 0) {
                    int64_t at = vxtest::sample_at(recording, presses[i].press_ns);
                    std::fprintf(stderr, "  heard nothing: sample %lld of %zu, peaks 20 ms before %.4f, after 0-50 ms %.4f, 50-250 ms %.4f, 250-500 ms %.4f\n", (long long)at,
                                 recording.samples.size(), vxtest::peak(recording.samples, at - 960, at),
                                 vxtest::peak(recording.samples, at, at + 2400), vxtest::peak(recording.samples, at + 2400, at + 12000),
                                 vxtest::peak(recording.samples, at + 12000, at + 24000));
                }
            }
            std::fprintf(stderr, "%s\n", run.program.error_text().c_str());
            // Each underrun the server logged, placed against the clicks: how long after the
            // last press or release it came.
            std::string log = server.log();
            for (size_t at = 0; (at = log.find("Implicit underrun", at + 1)) != std::string::npos;) {
                const size_t line = log.rfind('\n', at) + 1;
                const double seconds = std::atof(log.c_str() + line + 1);
                const int64_t when = server_started_ns + static_cast<int64_t>(seconds * 1e9);
                const char* last = "start";
                int64_t since = when - server_started_ns;
                for (const Press& p : presses) {
                    if (p.press_ns <= when && when - p.press_ns < since) since = when - p.press_ns, last = "press";
                    if (p.release_ns <= when && when - p.release_ns < since) since = when - p.release_ns, last = "release";
                }
                std::fprintf(stderr, "underrun at %.3f s: %.1f ms after a %s\n", seconds, static_cast<double>(since) / 1e6, last);
            }
        }
        run.escape_and_wait();
    }
}
// The first note of a program never played before, against a second note of it, with each
// SoundFont of soundfonts.h through PulseAudio: the ">" arrow of the instrument slider clicked
// (the next program, loaded when chosen), a quarter of a second to reach the keys, a click on
// middle C, then another; twelve programs. Click to onset (the level heard), as a player
// chooses and plays. VX_SOUND_VERBOSE=1 lists every note.
void BM_FirstNoteOfANewProgram(benchmark::State& state) {
    const int font = static_cast<int>(state.range(0));
    if (access(vxbench::soundfonts[font].path, R_OK) != 0) return state.SkipWithError("SoundFont not installed");
    for (auto _ : state) {
        vxtest::SoundServer server;
        if (std::string problem = server.start(vxtest::ServerKind::pulseaudio); !problem.empty())
            return state.SkipWithError(problem.c_str());
        vxtest::PianoRun run;
        run.environment = server.client_environment();
        if (std::string problem = run.start(vxbench::synth_with(font)); !problem.empty())
            return state.SkipWithError(problem.c_str());
        double loaded_ms = 0;
        vxbench::settled_resident_kib(run.program.pid(), 30s, &loaded_ms);  // the start program loaded
        vxtest::MonitorRecorder recorder;
        if (std::string problem = recorder.start(server); !problem.empty()) return state.SkipWithError(problem.c_str());
        std::this_thread::sleep_for(300ms);
        std::vector<Press> first, second;
        for (int round = 0; round < 12; ++round) {
            run.click_at(149, 12);
            std::this_thread::sleep_for(250ms);  // the arrow's own pause of 200 ms, a hand moving to the keys
            for (std::vector<Press>* notes : {&first, &second}) {
                run.move(kWhiteX[0], kKeyY);
                Press p{vxtest::now_ns(), 0, kWhiteNote[0], true};
                run.press();
                std::this_thread::sleep_for(400ms);
                p.release_ns = vxtest::now_ns();
                run.release();
                notes->push_back(p);
                std::this_thread::sleep_for(700ms);
            }
        }
        std::this_thread::sleep_for(500ms);
        vxtest::Recording recording = recorder.stop();
        auto latencies = [&](const std::vector<Press>& presses, int* silent) {
            std::vector<double> ms;
            for (const Press& p : presses) {
                const vxtest::HeardNote heard = vxtest::hear_note(recording, p.press_ns, p.release_ns, vxtest::note_frequency(p.note));
                if (std::getenv("VX_SOUND_VERBOSE") != nullptr) {
                    const int64_t at = vxtest::sample_at(recording, p.press_ns);
                    std::fprintf(stderr, "note at sample %lld: start %.1f ms, peak within 0.5 s %.4f, level %.4f\n",
                                 static_cast<long long>(at), heard.latency_ms,
                                 at >= 0 ? vxtest::peak(recording.samples, at, at + recording.rate / 2) : -1.0f, heard.onset_level);
                }
                if (heard.latency_ms < 0) ++*silent;
                else ms.push_back(heard.latency_ms);
            }
            return ms;
        };
        int first_silent = 0, second_silent = 0;
        const std::vector<double> first_ms = latencies(first, &first_silent), second_ms = latencies(second, &second_silent);
        state.counters["first_median_ms"] = vxtest::median(first_ms);
        state.counters["first_p95_ms"] = vxtest::percentile95(first_ms);
        state.counters["first_not_in_250ms"] = first_silent;
        state.counters["second_median_ms"] = vxtest::median(second_ms);
        state.counters["second_p95_ms"] = vxtest::percentile95(second_ms);
        state.counters["second_not_in_250ms"] = second_silent;
        state.counters["start_program_loaded_ms"] = loaded_ms;
        state.SetLabel(vxbench::soundfonts[font].name);
        run.escape_and_wait();
    }
}
BENCHMARK(BM_FirstNoteOfANewProgram)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kSecond);

// A note held on one channel while programs never played before are chosen on another, each
// SoundFont of soundfonts.h through PulseAudio, played in this process through the MIDI calls
// the keyboard makes: the silent gaps inside the held note (runs of exact zeros of 0.5 ms or
// more), and how long the longest lasted. An organ (program 19) holds its level as long as its
// key; each of six programs gets 1.5 s to load. With a second argument of 0 no program is
// chosen: the same note held alone, the floor of the machine and the server.
void BM_HeldNoteWhileProgramsLoad(benchmark::State& state) {
    const int font = static_cast<int>(state.range(0));
    const bool choose_programs = state.range(1) != 0;
    if (access(vxbench::soundfonts[font].path, R_OK) != 0) return state.SkipWithError("SoundFont not installed");
    for (auto _ : state) {
        vxtest::SoundServer server;
        if (std::string problem = server.start(vxtest::ServerKind::pulseaudio, std::getenv("VX_SOUND_VERBOSE") != nullptr); !problem.empty())
            return state.SkipWithError(problem.c_str());
        for (const std::string& entry : server.client_environment()) putenv(strdup(entry.c_str()));
        setenv("VXMIDI", vxbench::synth_with(font).c_str(), 1);
        app::midi_open();
        app::octave_base = 0;
        app::note_velocity = 100;
        app::midi_channel = 0;
        app::midi_program_change(19);
        std::this_thread::sleep_for(3s);  // the start program and the organ loaded
        vxtest::MonitorRecorder recorder;
        if (std::string problem = recorder.start(server); !problem.empty()) {
            app::midi_close();
            return state.SkipWithError(problem.c_str());
        }
        std::this_thread::sleep_for(300ms);
        const int64_t press_ns = vxtest::now_ns();
        app::midi_note_on(60);
        std::this_thread::sleep_for(500ms);
        app::midi_channel = 1;
        std::vector<int64_t> changes_ns;
        for (int program : {40, 73, 56, 24, 48, 0}) {
            changes_ns.push_back(vxtest::now_ns());
            if (choose_programs) app::midi_program_change(program);
            std::this_thread::sleep_for(1500ms);
        }
        const int64_t release_ns = vxtest::now_ns();
        app::midi_channel = 0;
        app::midi_note_off(60);
        std::this_thread::sleep_for(300ms);
        vxtest::Recording recording = recorder.stop();
        app::midi_close();
        const vxtest::HeardNote heard = vxtest::hear_note(recording, press_ns, release_ns, vxtest::note_frequency(60));
        double longest_ms = 0;
        for (const vxtest::Gap& gap : heard.gaps) longest_ms = std::max(longest_ms, gap.length * 1000.0 / recording.rate);
        if (std::getenv("VX_SOUND_VERBOSE") != nullptr) {
            std::fprintf(stderr, "%s\nprogram changes at", vxtest::describe(heard.gaps, recording.rate).c_str());
            for (int64_t at : changes_ns) std::fprintf(stderr, " %.1f ms", vxtest::sample_at(recording, at) * 1000.0 / recording.rate);
            std::fprintf(stderr, "\n");
            const std::string log = server.log();
            for (size_t at = 0; (at = log.find("nderrun", at + 1)) != std::string::npos;)
                std::fprintf(stderr, "%s\n", log.substr(log.rfind('\n', at) + 1, 100).c_str());
        }
        state.counters["heard"] = heard.latency_ms >= 0;
        state.counters["gaps"] = static_cast<double>(heard.gaps.size());
        state.counters["longest_gap_ms"] = longest_ms;
        state.SetLabel(std::string(vxbench::soundfonts[font].name) + (choose_programs ? "" : ", no program chosen"));
    }
}
BENCHMARK(BM_HeldNoteWhileProgramsLoad)
    ->ArgsProduct({{0, 1, 2}, {1, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

BENCHMARK(BM_SoundThroughServer)
    ->Arg(static_cast<int>(vxtest::ServerKind::pulseaudio))
    ->Arg(static_cast<int>(vxtest::ServerKind::pipewire))
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
