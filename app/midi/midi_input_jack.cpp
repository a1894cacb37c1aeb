// JACK MIDI input: one MIDI input port "midi_in" on the program's JACK client "vxpiano" (the
// output's where it has one, else a client of the input's own), where a server runs (never
// started for it), connected to the physical MIDI capture ports, now and as they come, and to
// those "VXMIDI_IN" names. The process cycle parses what came in onto the input queue,
// lock-free.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <jack/jack.h>
#include <jack/midiport.h>

#include "app/midi/midi_input_route.h"
#include "app/sound/jack_host.h"

namespace app {

namespace {

std::atomic<jack_port_t*> port{nullptr};
std::atomic<jack_client_t*> current_client{nullptr};  // the one the port is on
MidiParser parser;  // the process cycle's
std::string named_ports;

// The client of the input's own, where no output hosts the port. Opened, closed and opened
// again (after its server went) on the program's thread or the passing thread, under the lock.
std::mutex own_lock;
jack_client_t* own_client = nullptr;
bool hosted = false;
std::atomic<bool> own_server_gone{false};
// A physical port registered since the connections were last looked at.
std::atomic<bool> ports_changed{false};
// The own client's server went away: opened again once a second until it is back, as the sound
// stream does with its own.
bool retrying = false;
std::chrono::steady_clock::time_point next_try;
constexpr auto retry_interval = std::chrono::seconds(1);

void process(jack_nframes_t frames) {
    jack_port_t* in = port.load(std::memory_order_acquire);
    if (in == nullptr) return;
    void* buffer = jack_port_get_buffer(in, frames);
    const uint32_t count = jack_midi_get_event_count(buffer);
    bool queued = false;
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0) continue;
        for (size_t b = 0; b < event.size; ++b) {
            uint8_t message[3];
            int length = 0;
            if (!parser.feed(event.buffer[b], message, &length)) continue;
            jack_input_queue.push(message[0], message[1], message[2], jack_source);
            queued = true;
        }
    }
    if (queued) midi_input_wake();
}

void connect_from(jack_client_t* client, jack_port_t* in, const char* source, bool say) {
    const int err = jack_connect(client, source, jack_port_name(in));
    if (say && err != 0 && err != EEXIST) {
        std::fprintf(stderr, "vxpiano: cannot connect JACK port \"%s\" to %s\n", source, jack_port_name(in));
        std::fflush(stderr);
    }
}

// Every physical MIDI capture port not yet connected to the input; the named ones once.
void connect_physical(jack_client_t* client) {
    jack_port_t* in = port.load();
    if (in == nullptr) return;
    if (const char** physical = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput | JackPortIsPhysical)) {
        for (const char** source = physical; *source != nullptr; ++source)
            if (!jack_port_connected_to(in, *source)) connect_from(client, in, *source, true);
        jack_free(physical);
    }
}

void arrive(jack_client_t* client) {
    parser = MidiParser{};
    jack_port_t* in = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (in == nullptr) return;
    current_client.store(client, std::memory_order_release);
    port.store(in, std::memory_order_release);
    connect_physical(client);
    size_t start = 0;
    while (start <= named_ports.size()) {
        size_t comma = named_ports.find(',', start);
        if (comma == std::string::npos) comma = named_ports.size();
        if (comma > start) connect_from(client, in, named_ports.substr(start, comma - start).c_str(), true);
        start = comma + 1;
    }
}

// The client goes (its server with it, or the program ends): the notes that came through the
// port end.
void leave(bool) {
    port.store(nullptr, std::memory_order_release);
    current_client.store(nullptr, std::memory_order_release);
    jack_input_queue.source_gone(jack_source);
    midi_input_wake();
}

void port_registered() {
    ports_changed.store(true, std::memory_order_release);
    midi_input_wake();
}

// A keyboard unplugged, or disconnected by hand: one port carries every source, so the notes
// that came through it all end, a keyboard's that stays connected with them.
void disconnected(jack_port_id_t a, jack_port_id_t b) {
    jack_port_t* in = port.load(std::memory_order_acquire);
    jack_client_t* client = current_client.load(std::memory_order_acquire);
    if (in == nullptr || client == nullptr) return;
    if (jack_port_by_id(client, a) != in && jack_port_by_id(client, b) != in) return;
    jack_input_queue.source_gone(jack_source);
    midi_input_wake();
}

const JackGuest guest = {arrive, leave, process, port_registered, disconnected};

// The client of the input's own.
int own_process(jack_nframes_t frames, void*) {
    process(frames);
    return 0;
}
void own_port_registered(jack_port_id_t, int, void*) { port_registered(); }
void own_connected(jack_port_id_t a, jack_port_id_t b, int connect, void*) {
    if (!connect) disconnected(a, b);
}
// On one of libjack's threads: the passing thread closes the client.
void own_server_shut_down(jack_status_t, const char*, void*) {
    own_server_gone.store(true);
    leave(true);
}

void quiet(const char*) {}

bool open_own_client() {
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    jack_status_t status{};
    jack_client_t* client = jack_client_open("vxpiano", JackNoStartServer, &status);
    if (client == nullptr) return false;
    own_server_gone = false;
    jack_set_process_callback(client, own_process, nullptr);
    jack_set_port_registration_callback(client, own_port_registered, nullptr);
    jack_set_port_connect_callback(client, own_connected, nullptr);
    jack_on_info_shutdown(client, own_server_shut_down, nullptr);
    if (jack_activate(client) != 0) {
        jack_client_close(client);
        return false;
    }
    own_client = client;
    arrive(client);
    return true;
}

void close_own_client() {
    if (own_client == nullptr) return;
    if (!own_server_gone.load()) {
        port.store(nullptr, std::memory_order_release);
        jack_deactivate(own_client);
    }
    jack_client_close(own_client);
    own_client = nullptr;
}

}  // namespace

bool jack_input_open(const char* ports) {
    std::lock_guard guard(own_lock);
    named_ports = ports != nullptr ? ports : "";
    ports_changed = false;
    retrying = false;
    hosted = jack_guest_join(&guest);
    if (hosted || open_own_client()) return true;
    if (ports != nullptr) {
        std::fprintf(stderr, "vxpiano: no JACK server to listen to \"%s\" on\n", ports);
        std::fflush(stderr);
    }
    return false;
}

int jack_input_tend() {
    std::lock_guard guard(own_lock);
    if (ports_changed.exchange(false, std::memory_order_acq_rel)) {
        if (hosted) jack_guest_on_client(connect_physical);
        else if (own_client != nullptr && !own_server_gone.load()) connect_physical(own_client);
    }
    const auto now = std::chrono::steady_clock::now();
    if (!hosted && own_client != nullptr && own_server_gone.load()) {
        close_own_client();
        retrying = true;
        next_try = now + retry_interval;
    }
    if (!retrying) return -1;
    if (now >= next_try) {
        if (open_own_client()) {
            retrying = false;
            return -1;
        }
        next_try = now + retry_interval;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next_try - now).count()) + 1;
}

void jack_input_close() {
    std::lock_guard guard(own_lock);
    if (hosted) jack_guest_part();
    hosted = false;
    retrying = false;
    close_own_client();
}

}  // namespace app
