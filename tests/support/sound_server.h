// A real sound server started headless for one test, as root or not, in a private 0700
// runtime folder no other process uses: PulseAudio, or PipeWire with its own session bus,
// WirePlumber and its PulseAudio service. Either has a 48 kHz null sink as its default output,
// whose monitor a MonitorRecorder records with clock stamps.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/clock.h"
#include "tests/support/program.h"
#include "tests/support/sound_check.h"

namespace vxtest {

enum class ServerKind { pulseaudio, pipewire };
const char* server_name(ServerKind kind);

class SoundServer {
public:
    SoundServer() = default;
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // "" once the null sink is the default output, else what went wrong. `log_underruns`
    // has PulseAudio log at debug level, where each underrun of a stream is a line.
    std::string start(ServerKind kind, bool log_underruns = false);
    // Every process of the server killed at once, as a crash would; start() may follow.
    void kill();
    ServerKind kind() const { return kind_; }
    // What a client needs to find this server: its runtime folder and socket.
    std::vector<std::string> client_environment() const;
    std::string socket() const { return runtime_ + "/pulse/native"; }
    // The servers' output so far (PulseAudio's log with log_underruns).
    std::string log() const;
    // Underruns of client streams in PulseAudio's log (start it with log_underruns).
    int underruns() const;
    std::vector<pid_t> pids() const { return pids_; }

private:
    pid_t spawn(const std::vector<std::string>& argv, const std::string& log_name);
    bool wait_for_socket(const std::string& path, std::chrono::milliseconds limit);
    TempDir folder_{"vxsound"};
    std::string runtime_;
    ServerKind kind_ = ServerKind::pulseaudio;
    std::vector<pid_t> pids_;
};

// Records the null sink's monitor, mono (the left channel), each piece stamped with the steady
// clock when it arrived: from PulseAudio in 1 ms reads on a thread of its own, from PipeWire
// natively in each cycle of its graph (its PulseAudio service would hand the pieces over a
// few periods late). VX_RECORD_THROUGH_PULSE=1 records PipeWire through that service too.
class MonitorRecorder {
public:
    MonitorRecorder() = default;
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // "" once the recording runs.
    std::string start(const SoundServer& server);
    // Ends the recording and hands it over.
    Recording stop();
    // A copy of what was recorded so far.
    Recording snapshot();

private:
    void run(void* simple);
    std::string start_native(const SoundServer& server);
    void stop_native();
    void take(const float* interleaved, int frames, int channels);
    struct Native;
    Native* native_ = nullptr;
    int64_t total_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    Recording recording_;
};

// Keeps one core busy from a thread of its own while it lives.
class BusyLoop {
public:
    BusyLoop();
    ~BusyLoop();

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vxtest
