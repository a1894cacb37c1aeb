#include "tests/support/jack_server.h"

#include <fcntl.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <climits>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/clock.h"

namespace vxtest {

namespace {

// libjack reports a refused open on stderr; a test that polls for its server keeps it quiet.
void quiet(const char*) {}

void close_jack_client(jack_client_t*& client) {
    if (client == nullptr) return;
    jack_deactivate(client);
    jack_client_close(client);
    client = nullptr;
}

// A server of this name runs already (left by a run that did not hold the lock): a new one
// would refuse the name, and the probe below could take the old one for it.
bool answers(const std::string& server) {
    jack_client_t* probe = open_jack_client(server, "vxtest-probe");
    if (probe != nullptr) jack_client_close(probe);
    return probe != nullptr;
}

}  // namespace

jack_client_t* open_jack_client(const std::string& server, const std::string& client_name) {
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    jack_status_t status{};
    return jack_client_open(client_name.c_str(),
                            static_cast<jack_options_t>(JackNoStartServer | JackServerName | JackUseExactName),
                            &status, server.c_str());
}

JackServer::~JackServer() { stop(); }

// The server registers its name in a table shared by every server on the machine, with room
// for eight. A server that dies without stopping keeps its entry until a server of the same
// name starts (eight killed under names of their own fill the table for good), so tests take
// names from a small pool, each held by a lock file while in use (the lock goes with the
// process that held it, however it ends). The locks lie beside the table, in /dev/shm: every
// run that shares the table shares them, also one whose /tmp is another (a chroot given the
// machine's /dev/shm). Six leave room for two servers of anyone else; several suites running
// at once wait for a name rather than fail.
constexpr int name_pool = 6;

bool JackServer::start(int rate, int period) {
    folder_ = std::make_unique<TempDir>("vxjack");
    if (folder_->path().empty()) return false;
    rate_ = rate;
    period_ = period;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < name_pool; ++i) {
            name_ = "vxtest-" + std::to_string(i);
            const std::string lock_path = "/dev/shm/vxjack-" + name_ + ".lock";
            name_lock_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (name_lock_ >= 0 && flock(name_lock_, LOCK_EX | LOCK_NB) == 0 && !answers(name_) && start_named()) return true;
            if (name_lock_ >= 0) ::close(name_lock_);
            name_lock_ = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool JackServer::start_named() {
    const std::string folder = folder_->path(), log_path = folder_->file("jackd.log");
    const std::string rate_text = std::to_string(rate_), period_text = std::to_string(period_);
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        if (chdir(folder.c_str()) != 0) _exit(127);
        setenv("HOME", folder.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        // A test process that dies (a time limit, a crash) takes its server along, which then
        // leaves the shared table as a stopped one does, instead of holding its name.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // -R: real-time scheduling, which root has here; the dummy back end keeps time by it.
        execlp("jackd", "jackd", "-n", name_.c_str(), "-R", "-d", "dummy", "-r", rate_text.c_str(), "-p",
               period_text.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = child;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (reap_if_ended(pid_) >= 0) {  // the name was taken meanwhile, or no room
            pid_ = -1;
            return false;
        }
        if (jack_client_t* probe = open_jack_client(name_, "vxtest-probe")) {
            jack_client_close(probe);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill();
    return false;
}

void JackServer::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (reap_if_ended(pid_) < 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill_and_reap(pid_);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
    }
    if (name_lock_ >= 0) ::close(name_lock_);
    name_lock_ = -1;
    folder_.reset();
}

void JackServer::kill() {
    if (pid_ <= 0) return;
    // A killed server leaves its entry in the shared table; the next start of the name clears it.
    kill_and_reap(pid_);
    pid_ = -1;
}

bool JackServer::restart() {
    kill();
    return name_lock_ >= 0 && start_named();
}

bool JackServer::pause() { return pid_ > 0 && ::kill(pid_, SIGSTOP) == 0; }

bool JackServer::resume() { return pid_ > 0 && ::kill(pid_, SIGCONT) == 0; }

std::vector<std::string> JackServer::environment() const {
    return {"JACK_DEFAULT_SERVER=" + name_, "JACK_NO_START_SERVER=1"};
}

void JackServer::export_environment() const {
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
}

std::string JackServer::log() const {
    if (!folder_) return {};
    std::ifstream in(folder_->file("jackd.log"));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int JackServer::xruns() const {
    std::string text = log();
    int count = 0;
    for (size_t at = text.find("XRun"); at != std::string::npos; at = text.find("XRun", at + 1)) ++count;
    return count;
}

int JackServer::late_cycles(const std::string& client_name) const {
    std::string text = log();
    int count = 0;
    for (const std::string& line : {"client = " + client_name + " was not finished", "client " + client_name + " finished after"})
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

JackMidiReceiver::~JackMidiReceiver() { close(); }

bool JackMidiReceiver::open(const std::string& server, const std::string& client_name) {
    client_ = open_jack_client(server, client_name);
    if (client_ == nullptr) return false;
    rate_ = static_cast<int>(jack_get_sample_rate(client_));
    port_ = jack_port_register(client_, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (port_ == nullptr || jack_set_process_callback(client_, process, this) != 0 ||
        jack_set_xrun_callback(client_, xrun, this) != 0 || jack_activate(client_) != 0) {
        close();
        return false;
    }
    return true;
}

int JackMidiReceiver::xrun(void* self) {
    ++static_cast<JackMidiReceiver*>(self)->xruns_;
    return 0;
}

void JackMidiReceiver::close() { close_jack_client(client_); }

JackMidiSender::~JackMidiSender() { close(); }

bool JackMidiSender::open(const std::string& server, const std::string& client_name, bool physical) {
    client_ = open_jack_client(server, client_name);
    if (client_ == nullptr) return false;
    port_ = jack_port_register(client_, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput | (physical ? JackPortIsPhysical : 0), 0);
    ring_ = jack_ringbuffer_create(record_size * 256);
    if (port_ == nullptr || ring_ == nullptr || jack_set_process_callback(client_, process, this) != 0 ||
        jack_activate(client_) != 0) {
        close();
        return false;
    }
    return true;
}

void JackMidiSender::close() {
    close_jack_client(client_);
    if (ring_ != nullptr) jack_ringbuffer_free(ring_);
    ring_ = nullptr;
}

std::string JackMidiSender::port_name() const { return port_ != nullptr ? jack_port_name(port_) : ""; }

bool JackMidiSender::connect_to(const std::string& destination, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (jack_port_by_name(client_, destination.c_str()) != nullptr &&
            jack_connect(client_, jack_port_name(port_), destination.c_str()) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool JackMidiSender::send(const std::vector<uint8_t>& bytes) {
    if (ring_ == nullptr || bytes.empty() || bytes.size() >= record_size) return false;
    for (int waited = 0; jack_ringbuffer_write_space(ring_) < record_size; ++waited) {
        if (waited > 3000) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    char record[record_size] = {static_cast<char>(bytes.size())};
    std::copy(bytes.begin(), bytes.end(), record + 1);
    jack_ringbuffer_write(ring_, record, record_size);
    return true;
}

bool JackMidiSender::wait_sent(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (jack_ringbuffer_read_space(ring_) > 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int JackMidiSender::process(jack_nframes_t frames, void* self) {
    auto* sender = static_cast<JackMidiSender*>(self);
    void* buffer = jack_port_get_buffer(sender->port_, frames);
    jack_midi_clear_buffer(buffer);
    char record[record_size];
    bool wrote = false;
    while (jack_ringbuffer_read_space(sender->ring_) >= record_size) {
        jack_ringbuffer_peek(sender->ring_, record, record_size);
        if (jack_midi_event_write(buffer, 0, reinterpret_cast<const jack_midi_data_t*>(record + 1),
                                  static_cast<size_t>(record[0])) != 0)
            break;
        jack_ringbuffer_read_advance(sender->ring_, record_size);
        wrote = true;
    }
    if (wrote) {
        sender->written_frame_.store(jack_last_frame_time(sender->client_));
        sender->written_ns_.store(now_ns());
    }
    return 0;
}

std::string JackMidiReceiver::port_name() const { return port_ != nullptr ? jack_port_name(port_) : ""; }

int JackMidiReceiver::process(jack_nframes_t frames, void* self) {
    auto* receiver = static_cast<JackMidiReceiver*>(self);
    void* buffer = jack_port_get_buffer(receiver->port_, frames);
    const jack_nframes_t cycle_start = jack_last_frame_time(receiver->client_);
    const int64_t now = now_ns();
    const int64_t frame_zero = now - static_cast<int64_t>(cycle_start) * 1'000'000'000 / receiver->rate_;
    if (frame_zero < receiver->frame_zero_ns_.load(std::memory_order_relaxed))
        receiver->frame_zero_ns_.store(frame_zero, std::memory_order_relaxed);
    const uint32_t n = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0) continue;
        size_t at = receiver->count_.load(std::memory_order_relaxed);
        if (at >= capacity) break;
        JackMidiEvent& kept = receiver->kept_[at];
        kept.length = static_cast<int>(event.size < 3 ? event.size : 3);
        for (int b = 0; b < kept.length; ++b) kept.bytes[b] = event.buffer[b];
        kept.frame = cycle_start + event.time;
        kept.received_ns = now;
        receiver->count_.store(at + 1, std::memory_order_release);
    }
    return 0;
}

int64_t JackMidiReceiver::frame_due_ns(jack_nframes_t frame) const {
    return frame_zero_ns_.load(std::memory_order_relaxed) + static_cast<int64_t>(frame) * 1'000'000'000 / rate_;
}

std::vector<JackMidiEvent> JackMidiReceiver::events() {
    size_t n = count_.load(std::memory_order_acquire);
    return std::vector<JackMidiEvent>(kept_, kept_ + n);
}

bool JackMidiReceiver::wait_count(size_t n, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (count_.load(std::memory_order_acquire) < n) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

JackAudioRecorder::~JackAudioRecorder() { close(); }

bool JackAudioRecorder::open(const std::string& server, const std::string& client_name, int seconds) {
    client_ = open_jack_client(server, client_name);
    if (client_ == nullptr) return false;
    rate_ = static_cast<int>(jack_get_sample_rate(client_));
    samples_.assign(static_cast<size_t>(rate_) * seconds, 0.0f);
    stamps_.assign(samples_.size() / 16 + 1, {});
    port_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (port_ == nullptr || jack_set_process_callback(client_, process, this) != 0 || jack_activate(client_) != 0) {
        close();
        return false;
    }
    return true;
}

void JackAudioRecorder::close() { close_jack_client(client_); }

std::string JackAudioRecorder::port_name() const { return port_ != nullptr ? jack_port_name(port_) : ""; }

bool JackAudioRecorder::connect_from(const std::string& prefix, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
        std::string found;
        for (size_t i = 0; ports != nullptr && ports[i] != nullptr && found.empty(); ++i)
            if (std::string(ports[i]).rfind(prefix, 0) == 0) found = ports[i];
        jack_free(ports);
        // A client's ports are listed from their registration, but can be connected only once
        // it is active: a client still starting refuses the connection for a moment.
        if (!found.empty() && jack_connect(client_, found.c_str(), port_name().c_str()) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int JackAudioRecorder::process(jack_nframes_t frames, void* self) {
    auto* recorder = static_cast<JackAudioRecorder*>(self);
    const auto* in = static_cast<const float*>(jack_port_get_buffer(recorder->port_, frames));
    const size_t at = recorder->sample_count_.load(std::memory_order_relaxed);
    const size_t stamp = recorder->stamp_count_.load(std::memory_order_relaxed);
    if (at + frames > recorder->samples_.size() || stamp >= recorder->stamps_.size()) return 0;
    std::copy(in, in + frames, recorder->samples_.begin() + static_cast<std::ptrdiff_t>(at));
    recorder->stamps_[stamp] = {static_cast<int64_t>(at + frames), now_ns()};
    recorder->sample_count_.store(at + frames, std::memory_order_release);
    recorder->stamp_count_.store(stamp + 1, std::memory_order_release);
    return 0;
}

Recording JackAudioRecorder::recording() {
    Recording copy;
    copy.rate = rate_;
    const size_t stamps = stamp_count_.load(std::memory_order_acquire);
    copy.stamps.assign(stamps_.begin(), stamps_.begin() + static_cast<std::ptrdiff_t>(stamps));
    const size_t n = stamps > 0 ? static_cast<size_t>(copy.stamps.back().end_sample) : 0;
    copy.samples.assign(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(n));
    return copy;
}

int64_t first_sample_after(const Recording& sound, int64_t time_ns) {
    for (size_t i = 1; i < sound.stamps.size(); ++i)
        if (sound.stamps[i].time_ns >= time_ns) return sound.stamps[i - 1].end_sample;
    return -1;
}

RecordedNote recorded_note(const Recording& sound, int64_t press_ns, int64_t release_ns, double frequency) {
    RecordedNote note;
    note.press = first_sample_after(sound, press_ns);
    note.release = first_sample_after(sound, release_ns);
    if (note.press < 0 || note.release <= note.press) return note;
    const int64_t tenth = sound.rate / 10;
    note.start = onset(sound.samples, note.press, note.release, sound.rate / 50);
    if (note.start < 0) return note;
    note.held = peak(sound.samples, note.start, note.release);
    if (note.release >= note.start + 3 * tenth)
        note.pitch = strongest_frequency(&sound.samples[static_cast<size_t>(note.start + tenth)], static_cast<size_t>(2 * tenth),
                                         sound.rate, frequency * 0.7, frequency * 1.4);
    return note;
}

int64_t time_of_sample(const Recording& sound, int64_t sample) {
    for (const Recording::Stamp& stamp : sound.stamps)
        if (stamp.end_sample > sample) return stamp.time_ns;
    return INT64_MAX;
}

}  // namespace vxtest
