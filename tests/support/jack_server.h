// A JACK server of the test's own (jackd with its dummy back end, under a name no other test
// uses, its working folder private), and JACK clients of the test's own that receive what the
// program sends: MIDI events or sound, each stamped with the server's frame clock.
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <sys/types.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/clock.h"
#include "tests/support/sound_check.h"
#include "tests/support/temp_dir.h"

namespace vxtest {

class JackServer {
public:
    JackServer() = default;
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Starts "jackd -n NAME -R -d dummy -r RATE -p PERIOD" under a name no running server has
    // and waits until a client can open.
    bool start(int rate = 48000, int period = 64);
    // Ends the server as a user would (SIGTERM, then SIGKILL after a while); kill() at once.
    void stop();
    void kill();
    // Starts the server again under the same name after kill(), as a user restarting it would.
    bool restart();
    // Holds the server still (SIGSTOP), so no cycle runs, and lets it go on (SIGCONT).
    bool pause();
    bool resume();
    bool running() const { return pid_ > 0; }

    const std::string& name() const { return name_; }
    int period() const { return period_; }
    int rate() const { return rate_; }
    // "JACK_DEFAULT_SERVER=NAME" and "JACK_NO_START_SERVER=1", for the program's environment;
    // export_environment() sets them for this process.
    std::vector<std::string> environment() const;
    void export_environment() const;
    // Late cycles the server reported in its log so far ("XRun" lines).
    int xruns() const;
    // Cycles in which the client `client_name` was late by the server's log: not finished when
    // the next cycle began, or finished only after it.
    int late_cycles(const std::string& client_name) const;
    std::string log() const;

private:
    bool start_named();
    pid_t pid_ = -1;
    int name_lock_ = -1;
    std::string name_;
    std::unique_ptr<TempDir> folder_;
    int rate_ = 0, period_ = 0;
};

// A client of the test's own on the server `server` names, opened without starting one.
jack_client_t* open_jack_client(const std::string& server, const std::string& client_name);

// One MIDI event as a JACK client received it.
struct JackMidiEvent {
    uint8_t bytes[3] = {0, 0, 0};
    int length = 0;
    jack_nframes_t frame = 0;  // the server's frame clock at the event
    int64_t received_ns = 0;   // steady clock when the receiving cycle ran
};

// A client "NAME" with one MIDI input "midi_in" that keeps every event it receives.
class JackMidiReceiver {
public:
    ~JackMidiReceiver();
    bool open(const std::string& server, const std::string& client_name = "receiver");
    void close();
    std::string port_name() const;  // "NAME:midi_in"
    jack_client_t* client() const { return client_; }
    std::vector<JackMidiEvent> events();
    bool wait_count(size_t n, std::chrono::milliseconds limit = patience);
    // When a frame was due on the steady clock: the cycles that woke least late map the
    // server's frames to the clock (the server's own estimate wobbles by a period and more).
    int64_t frame_due_ns(jack_nframes_t frame) const;
    // Cycles the server reported late since the open: it drops what a late client wrote.
    int xruns() const { return xruns_.load(); }

private:
    static int process(jack_nframes_t frames, void* self);
    static int xrun(void* self);
    std::atomic<int> xruns_{0};
    std::atomic<int64_t> frame_zero_ns_{INT64_MAX};
    int rate_ = 48000;
    static constexpr size_t capacity = 4096;
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    JackMidiEvent kept_[capacity];
    std::atomic<size_t> count_{0};
};

// A client "NAME" with one MIDI output "midi_out" that plays what it is given: each send is one
// event of up to 31 raw bytes (running status, stray bytes and all), written in the next cycle.
class JackMidiSender {
public:
    ~JackMidiSender();
    // `physical`: the port says it is hardware's, as a bridge to a USB keyboard's does.
    bool open(const std::string& server, const std::string& client_name = "player", bool physical = false);
    void close();
    std::string port_name() const;  // "NAME:midi_out"
    // Connects "midi_out" to `destination` once that port is there.
    bool connect_to(const std::string& destination, std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    bool send(const std::vector<uint8_t>& bytes);
    // Waits until every send so far was written into a cycle.
    bool wait_sent(std::chrono::milliseconds limit = std::chrono::milliseconds(3000));
    // The server's frame clock at the start of the last cycle that wrote an event, and the
    // steady clock when that cycle ran.
    jack_nframes_t written_frame() const { return written_frame_.load(); }
    int64_t written_ns() const { return written_ns_.load(); }

private:
    std::atomic<jack_nframes_t> written_frame_{0};
    std::atomic<int64_t> written_ns_{0};
    static int process(jack_nframes_t frames, void* self);
    static constexpr size_t record_size = 32;
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    jack_ringbuffer_t* ring_ = nullptr;
};

// A client "NAME" with one audio input "in" that records what reaches it, cycle after cycle,
// each cycle stamped with the steady clock when it ran. The server's frame clock is no help
// here: a busy machine makes its dummy back end skip frames, so the frames run ahead of time.
class JackAudioRecorder {
public:
    ~JackAudioRecorder();
    bool open(const std::string& server, const std::string& client_name = "recorder", int seconds = 20);
    void close();
    std::string port_name() const;  // "NAME:in"
    jack_client_t* client() const { return client_; }
    // Connects the first audio output port whose name starts with `prefix` to "in"; waits for
    // it to appear and its client to be active.
    bool connect_from(const std::string& prefix, std::chrono::milliseconds limit = patience);
    Recording recording();

private:
    static int process(jack_nframes_t frames, void* self);
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    int rate_ = 48000;
    std::vector<float> samples_;
    std::vector<Recording::Stamp> stamps_;
    std::atomic<size_t> sample_count_{0}, stamp_count_{0};
};

// The first sample of the first recorded cycle that ran at or after `time_ns`; -1 when none did.
int64_t first_sample_after(const Recording& sound, int64_t time_ns);
// A note held from `press_ns` to `release_ns` (steady clock) as a recording has it, each time
// placed at the first cycle that ran at or after it (a sample clock is made late by the cycles
// a loaded server dropped): `press` and `release` (-1 where no cycle ran), its onset between
// them (-1 when none), its loudest while held, and the strongest frequency near `frequency`
// 0.1 to 0.3 s into it (0 when it was held for less).
struct RecordedNote {
    int64_t press = -1, release = -1, start = -1;
    float held = 0;
    double pitch = 0;
};
RecordedNote recorded_note(const Recording& sound, int64_t press_ns, int64_t release_ns, double frequency);
// When the recorded cycle holding `sample` ran.
int64_t time_of_sample(const Recording& sound, int64_t sample);

}  // namespace vxtest
