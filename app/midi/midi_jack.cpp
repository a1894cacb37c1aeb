// JACK MIDI back end: a client "vxpiano" with one MIDI output port "midi_out", connected to the
// port "VXMIDI" names, else left for the user to connect. Sends go through a lock-free ring to
// the server's process cycle, which writes them into the port in order.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <unistd.h>

#include "app/midi/midi.h"
#include "app/midi/midi_backend.h"
#include "app/sound/jack_host.h"

namespace app {

namespace {

// Fixed records of a length byte and three message bytes. The ring's size is a power of two
// and a multiple of the record, so a record never wraps and the process cycle sees it whole.
constexpr size_t record_size = 4;
constexpr size_t ring_size = 4096;

jack_client_t* client = nullptr;
jack_port_t* port = nullptr;
jack_ringbuffer_t* ring = nullptr;
std::atomic<bool> server_gone{false};
// A connection made at open takes effect in a later cycle of the server's graph; until the
// process cycle sees it, messages wait in the ring (at most about half a second of cycles),
// so the opening Program Change is not written into a port nobody reads yet.
std::atomic<bool> awaiting_connection{false};
jack_nframes_t awaited_frames = 0, await_limit = 0;
// Process cycles run so far: the close waits on it for the last messages to leave.
std::atomic<uint32_t> cycles{0};

// Keys sounding through this output, per channel and note, counted on the program's thread.
// Room for each one's Note Off stays free in the ring, so a full ring refuses a Note On or a
// Program Change but never the Note Off that ends a sounding key.
uint16_t sounding[16][128];
size_t sounding_total = 0;

// libjack reports through these; while opening, the last error becomes the reason text.
std::atomic<bool> keeping_errors{false};
char last_error[256];

void keep_error(const char* message) {
    if (keeping_errors.load(std::memory_order_relaxed) && message != nullptr)
        std::snprintf(last_error, sizeof last_error, "%s", message);
}

void quiet_info(const char*) {}

int process(jack_nframes_t frames, void*) {
    jack_host_cycle(frames);  // the input's port, on this client
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    if (awaiting_connection.load(std::memory_order_relaxed)) {
        // On the process thread this reads the graph of this very cycle, without waiting.
        awaited_frames += frames;
        if (jack_port_connected(port) <= 0 && awaited_frames < await_limit) return 0;
        awaiting_connection.store(false, std::memory_order_relaxed);
    }
    uint8_t record[record_size];
    while (jack_ringbuffer_read_space(ring) >= record_size) {
        jack_ringbuffer_peek(ring, reinterpret_cast<char*>(record), record_size);
        // A port buffer that is full keeps the rest, in order, for the next cycle.
        if (jack_midi_event_write(buffer, 0, record + 1, record[0]) != 0) break;
        jack_ringbuffer_read_advance(ring, record_size);
    }
    cycles.fetch_add(1, std::memory_order_release);
    return 0;
}

void server_shut_down(jack_status_t, const char*, void*) {
    server_gone.store(true);
    jack_host_server_gone();  // the input's port went with the client
    static const char said[] = "vxpiano: the JACK server went away; MIDI output is lost\n";
    // Called on one of libjack's threads: a plain write, no stdio lock.
    ssize_t ignored = write(2, said, sizeof said - 1);
    (void)ignored;
}

// The Note Offs of the keys held at the end are still in the ring: the close waits until a
// cycle has taken the last of them and one more cycle has begun, so the cycle that wrote them
// into the port has ended and its readers have them. A stalled server is waited for a few
// periods and some hundred milliseconds at most.
void drain() {
    if (client == nullptr || ring == nullptr) return;
    const double period_ms = 1000.0 * jack_get_buffer_size(client) / jack_get_sample_rate(client);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200 + static_cast<int>(4 * period_ms));
    const auto waiting = [&] { return !server_gone.load() && std::chrono::steady_clock::now() < deadline; };
    while (jack_ringbuffer_read_space(ring) > 0 && waiting()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint32_t emptied = cycles.load(std::memory_order_acquire);
    while (cycles.load(std::memory_order_acquire) - emptied < 2 && waiting())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void release() {
    if (client != nullptr) {
        jack_host_stopping(server_gone.load());
        if (!server_gone.load()) jack_deactivate(client);
        jack_client_close(client);
        jack_host_end();
    }
    if (ring != nullptr) jack_ringbuffer_free(ring);
    client = nullptr;
    port = nullptr;
    ring = nullptr;
}

const char* error_or(const char* fallback) { return last_error[0] != '\0' ? last_error : fallback; }

int open_client(const char* arg) {
    jack_status_t status{};
    // Never starts a server: without one the open fails at once and says why.
    client = jack_client_open("vxpiano", JackNoStartServer, &status);
    if (client == nullptr) {
        midi_set_reason("no JACK server is running (%s)", error_or("cannot connect to the server"));
        return 1;
    }
    jack_host_begin();
    port = jack_port_register(client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    ring = jack_ringbuffer_create(ring_size);
    if (port == nullptr || ring == nullptr) {
        midi_set_reason("JACK MIDI port: %s", error_or("cannot register vxpiano:midi_out"));
        return 1;
    }
    jack_ringbuffer_mlock(ring);
    awaited_frames = 0;
    await_limit = jack_get_sample_rate(client) / 2;
    awaiting_connection = arg != nullptr && *arg != '\0';
    jack_set_process_callback(client, process, nullptr);
    jack_on_info_shutdown(client, server_shut_down, nullptr);
    jack_host_prepare(client);
    if (jack_activate(client) != 0) {
        midi_set_reason("JACK client cannot start: %s", error_or("activation refused"));
        return 1;
    }
    const char* own_name = jack_port_name(port);
    if (arg != nullptr && *arg != '\0') {
        int err = jack_connect(client, own_name, arg);
        if (err != 0 && err != EEXIST) {
            midi_set_reason("cannot connect JACK MIDI port %s to \"%s\"%s%s", own_name, arg,
                            last_error[0] ? ": " : "", last_error);
            return 1;
        }
    } else {
        std::fprintf(stderr,
                     "vxpiano: JACK MIDI port %s is not connected; connect it with "
                     "\"jack_connect %s PORT\" or start with VXMIDI=jack:PORT\n",
                     own_name, own_name);
        std::fflush(stderr);
    }
    jack_host_started(client);
    return 0;
}

}  // namespace

int jack_open(const char* arg, int flags) {
    // Unconnected, nothing would sound: the program looks for a synthesiser instead.
    if (flags & midi_open_probe) return 1;
    jack_set_error_function(keep_error);
    jack_set_info_function(quiet_info);
    last_error[0] = '\0';
    server_gone = false;
    std::memset(sounding, 0, sizeof sounding);
    sounding_total = 0;
    keeping_errors = true;
    int result = open_client(arg);
    keeping_errors = false;
    if (result != 0) release();
    return result;
}

int jack_send(const uint8_t* bytes, int count) {
    if (ring == nullptr || server_gone.load(std::memory_order_relaxed) || count < 1 ||
        count > static_cast<int>(record_size) - 1)
        return midi_send_failed;
    const uint8_t kind = bytes[0] & 0xF0;
    const bool starts = kind == 0x90 && count == 3 && bytes[2] != 0;
    const bool ends = (kind == 0x80 || (kind == 0x90 && !starts)) && count >= 2;
    uint16_t* key = count >= 2 ? &sounding[bytes[0] & 0x0F][bytes[1] & 0x7F] : nullptr;
    // This record, and after it one Note Off for every key that will then be sounding.
    const size_t sounding_after = starts ? sounding_total + 1
                                  : (ends && *key > 0) ? sounding_total - 1
                                                       : sounding_total;
    if (jack_ringbuffer_write_space(ring) < record_size * (1 + sounding_after)) return midi_send_failed;
    uint8_t record[record_size] = {static_cast<uint8_t>(count), 0, 0, 0};
    std::memcpy(record + 1, bytes, static_cast<size_t>(count));
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(record), record_size);
    if (starts) {
        ++*key;
        ++sounding_total;
    } else if (ends && *key > 0) {
        --*key;
        --sounding_total;
    }
    return midi_sent;
}

void jack_close() {
    drain();
    release();
}

}  // namespace app
