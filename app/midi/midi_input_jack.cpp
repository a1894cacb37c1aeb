// JACK MIDI input: a client "vxpiano" with one MIDI input port "midi_in", where a server runs
// (never started for it), connected to the physical MIDI capture ports and to those
// "VXMIDI_IN" names. The process cycle parses what came in onto the input queue, lock-free.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include <jack/jack.h>
#include <jack/midiport.h>

#include "app/midi/midi_input_route.h"

namespace app {

namespace {

jack_client_t* client = nullptr;
jack_port_t* port = nullptr;
std::atomic<bool> server_gone{false};
MidiParser parser;  // the process cycle's

int process(jack_nframes_t frames, void*) {
    void* buffer = jack_port_get_buffer(port, frames);
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
    return 0;
}

// On one of libjack's threads: the notes that came through the port end.
void server_shut_down(jack_status_t, const char*, void*) {
    server_gone.store(true);
    jack_input_queue.source_gone(jack_source);
    midi_input_wake();
}

void quiet(const char*) {}

void connect_from(const char* source) {
    const int err = jack_connect(client, source, jack_port_name(port));
    if (err != 0 && err != EEXIST) {
        std::fprintf(stderr, "vxpiano: cannot connect JACK port \"%s\" to %s\n", source, jack_port_name(port));
        std::fflush(stderr);
    }
}

}  // namespace

bool jack_input_open(const char* ports) {
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    server_gone = false;
    parser = MidiParser{};
    jack_status_t status{};
    client = jack_client_open("vxpiano", JackNoStartServer, &status);
    if (client == nullptr) {
        if (ports != nullptr) {
            std::fprintf(stderr, "vxpiano: no JACK server to listen to \"%s\" on\n", ports);
            std::fflush(stderr);
        }
        return false;
    }
    port = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client, process, nullptr);
    jack_on_info_shutdown(client, server_shut_down, nullptr);
    if (port == nullptr || jack_activate(client) != 0) {
        jack_client_close(client);
        client = nullptr;
        return false;
    }
    if (const char** physical = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput | JackPortIsPhysical)) {
        for (const char** source = physical; *source != nullptr; ++source) connect_from(*source);
        jack_free(physical);
    }
    if (ports != nullptr) {
        const std::string names = ports;
        size_t start = 0;
        while (start <= names.size()) {
            size_t comma = names.find(',', start);
            if (comma == std::string::npos) comma = names.size();
            if (comma > start) connect_from(names.substr(start, comma - start).c_str());
            start = comma + 1;
        }
    }
    return true;
}

bool jack_input_lost() { return server_gone.load(); }

void jack_input_close() {
    if (client == nullptr) return;
    if (!server_gone.load()) jack_deactivate(client);
    jack_client_close(client);
    client = nullptr;
    port = nullptr;
}

}  // namespace app
