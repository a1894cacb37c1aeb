// Time from midi_note_on to the message leaving the process, for each back end that runs here.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/midi/midi.h"
#include "app/midi/midi_backend.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string scratch_path(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string("vxbench-") + std::to_string(getpid()) + "-" + name))
        .string();
}

void open_output(const std::string& vxmidi) {
    setenv("VXMIDI", vxmidi.c_str(), 1);
    app::midi_open();  // ends the process when the output cannot be opened
}

// Alternates Note On and Note Off so a synthesiser never piles up voices.
int play(int64_t i) { return (i & 1) ? app::midi_note_off(33) : app::midi_note_on(33); }

// Raw bytes into a FIFO; a reader thread notes when each message arrives at the other end.
void BM_RawFifoArrival(benchmark::State& state) {
    std::string fifo = scratch_path("midi.fifo");
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0) return state.SkipWithError("cannot make a FIFO");
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    open_output("raw:" + fifo);

    // The opening Program Change is two bytes; take it before timing three-byte notes.
    for (int tries = 0; tries < 1000; ++tries) {
        uint8_t opening[2];
        if (read(reader, opening, sizeof opening) == 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::atomic<int64_t> arrivals{0};
    std::atomic<int64_t> last_arrival_ns{0};
    std::atomic<bool> stop{false};
    std::thread listener([&] {
        uint8_t bytes[64];
        size_t pending = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            pollfd readable{reader, POLLIN, 0};
            if (poll(&readable, 1, 50) <= 0) continue;
            ssize_t n = read(reader, bytes, sizeof bytes);
            if (n <= 0) continue;
            auto now = Clock::now().time_since_epoch();
            // Every note message is three bytes; count whole messages only.
            pending += static_cast<size_t>(n);
            int64_t whole = static_cast<int64_t>(pending / 3);
            pending %= 3;
            if (whole == 0) continue;
            last_arrival_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
            arrivals.fetch_add(whole, std::memory_order_release);
        }
    });

    int64_t i = 0;
    for (auto _ : state) {
        int64_t before = arrivals.load(std::memory_order_acquire);
        auto start = Clock::now();
        play(i++);
        while (arrivals.load(std::memory_order_acquire) == before) {
        }
        auto arrived = Clock::time_point(std::chrono::nanoseconds(last_arrival_ns.load()));
        state.SetIterationTime(std::chrono::duration<double>(arrived - start).count());
    }
    stop = true;
    listener.join();
    app::midi_close();
    close(reader);
    unlink(fifo.c_str());
}
BENCHMARK(BM_RawFifoArrival)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The recorder writes the message and the new end of the track before the call returns.
void BM_SmfRecord(benchmark::State& state) {
    std::string path = scratch_path("take.mid");
    open_output("smf:" + path);
    int64_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(play(i++));
    app::midi_close();
    unlink(path.c_str());
}
BENCHMARK(BM_SmfRecord)->Unit(benchmark::kMicrosecond);

// The embedded synthesiser has the note once the call returns; its file driver renders it.
void BM_FluidSynthNote(benchmark::State& state) {
    setenv("JACK_NO_START_SERVER", "1", 0);
    std::string wav = scratch_path("bench.wav");
    open_output("fluidsynth:audio.driver=file,audio.file.name=" + wav);
    int64_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(play(i++));
    app::midi_close();
    unlink(wav.c_str());
}
BENCHMARK(BM_FluidSynthNote)->Unit(benchmark::kMicrosecond);

// Straight to the sequencer's kernel queue; nothing to measure without a sequencer.
void BM_AlsaSequencer(benchmark::State& state) {
    if (app::alsa_open(nullptr, 0) != 0) {
        state.SkipWithError((std::string("skipped: ") + app::midi_reason()).c_str());
        return;
    }
    app::alsa_close();
    open_output("alsa");
    int64_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(play(i++));
    app::midi_close();
}
BENCHMARK(BM_AlsaSequencer)->Unit(benchmark::kMicrosecond);

// Start-up cost of asking for the sequencer: on a machine without one this is the failure that
// every start without "VXMIDI" goes through before the embedded synthesiser.
void BM_AlsaOpen(benchmark::State& state) {
    for (auto _ : state) {
        if (app::alsa_open(nullptr, app::midi_open_probe) == 0) app::alsa_close();
    }
}
BENCHMARK(BM_AlsaOpen)->Unit(benchmark::kMicrosecond);

}  // namespace
