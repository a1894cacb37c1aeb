// ALSA sequencer input: a writable port "vxpiano" on the client "vxpiano" (the output's own
// client when the output is ALSA), connected to every hardware MIDI source there is and to
// each one plugged in later, which the sequencer's announce port tells of. Its thread turns
// the events into messages on the input queue.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <alsa/asoundlib.h>
#include <pthread.h>

#include "app/midi/midi_input_route.h"
#include "app/sound/realtime.h"

namespace app {

namespace {

snd_seq_t* sequencer = nullptr;
bool own_sequencer = false;  // opened here, not the output's
int input_port = -1;
int stop_fd = -1;
std::thread listener;
std::mutex own_lock;  // stands in for the output's lock when the client is ours alone

std::mutex& client_lock() { return own_sequencer ? own_lock : alsa_sequencer_lock(); }

bool output_plays_into(int client_id);

// A keyboard's port, as the kernel offers it: a client of a sound card (USB MIDI, a card's MIDI
// port, a virtual card), readable by subscription. Not "Midi Through", which would hand back
// whatever another program sends, and never this program's own ports.
bool is_hardware_source(snd_seq_client_info_t* client, const snd_seq_port_info_t* port) {
    const unsigned wanted = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    return snd_seq_client_info_get_client(client) != snd_seq_client_id(sequencer) &&
           snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT && snd_seq_client_info_get_card(client) >= 0 &&
           std::strncmp(snd_seq_client_info_get_name(client), "Midi Through", 12) != 0 &&
           (snd_seq_port_info_get_capability(port) & wanted) == wanted &&
           (snd_seq_port_info_get_type(port) & SND_SEQ_PORT_TYPE_MIDI_GENERIC) != 0 &&
           !output_plays_into(snd_seq_client_info_get_client(client));
}

// A device the output plays into is not listened to as well: what it sends would come back
// to it, every note doubled.
bool output_plays_into(int client_id) {
    if (own_sequencer) return false;
    snd_seq_query_subscribe_t* query;
    snd_seq_query_subscribe_alloca(&query);
    const snd_seq_addr_t output{static_cast<unsigned char>(snd_seq_client_id(sequencer)),
                                static_cast<unsigned char>(alsa_output_port())};
    snd_seq_query_subscribe_set_root(query, &output);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
    snd_seq_query_subscribe_set_index(query, 0);
    while (snd_seq_query_port_subscribers(sequencer, query) >= 0) {
        if (snd_seq_query_subscribe_get_addr(query)->client == client_id) return true;
        snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    return false;
}

void connect_if_hardware(int client_id, int port_id) {
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    if (snd_seq_get_any_client_info(sequencer, client_id, client) < 0 ||
        snd_seq_get_any_port_info(sequencer, client_id, port_id, port) < 0 || !is_hardware_source(client, port))
        return;
    snd_seq_connect_from(sequencer, input_port, client_id, port_id);
}

void connect_all_hardware() {
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(sequencer, client) >= 0) {
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(sequencer, port) >= 0)
            if (is_hardware_source(client, port))
                snd_seq_connect_from(sequencer, input_port, snd_seq_port_info_get_client(port),
                                     snd_seq_port_info_get_port(port));
    }
}

// Sources the user named, as aconnect names them; one that is not there is said and skipped.
void connect_named(const std::string& sources) {
    size_t start = 0;
    while (start <= sources.size()) {
        size_t comma = sources.find(',', start);
        if (comma == std::string::npos) comma = sources.size();
        const std::string name = sources.substr(start, comma - start);
        start = comma + 1;
        if (name.empty()) continue;
        snd_seq_addr_t source{};
        int err = snd_seq_parse_address(sequencer, &source, name.c_str());
        if (err >= 0) err = snd_seq_connect_from(sequencer, input_port, source.client, source.port);
        if (err < 0 && err != -EBUSY) {
            std::fprintf(stderr, "vxpiano: cannot listen to ALSA port \"%s\" (%s)\n", name.c_str(), snd_strerror(err));
            std::fflush(stderr);
        }
    }
}

bool is_data(int value) { return value >= 0 && value <= 127; }

// One event from the sequencer: a message for the queue, or news from the announce port.
// True when something was queued.
bool take_event(const snd_seq_event_t* ev) {
    const int from = ev->source.client;
    if (from == SND_SEQ_CLIENT_SYSTEM) {
        switch (ev->type) {
            case SND_SEQ_EVENT_PORT_START: connect_if_hardware(ev->data.addr.client, ev->data.addr.port); return false;
            case SND_SEQ_EVENT_CLIENT_EXIT:
            case SND_SEQ_EVENT_PORT_EXIT: alsa_input_queue.source_gone(ev->data.addr.client); return true;
            case SND_SEQ_EVENT_PORT_UNSUBSCRIBED:
                // Disconnected from us (aconnect -d, a patchbay): its notes end as if unplugged.
                if (ev->data.connect.dest.client == snd_seq_client_id(sequencer) && ev->data.connect.dest.port == input_port) {
                    alsa_input_queue.source_gone(ev->data.connect.sender.client);
                    return true;
                }
                return false;
            default: return false;
        }
    }
    // Never this program's own port played back into it.
    if (from == snd_seq_client_id(sequencer) || from >= 255) return false;
    const uint8_t source = static_cast<uint8_t>(from);
    const snd_seq_ev_note_t& note = ev->data.note;
    const snd_seq_ev_ctrl_t& control = ev->data.control;
    const uint8_t channel = note.channel & 0x0F;
    switch (ev->type) {
        case SND_SEQ_EVENT_NOTEON:
        case SND_SEQ_EVENT_NOTEOFF:
        case SND_SEQ_EVENT_KEYPRESS: {
            if (!is_data(note.note) || !is_data(note.velocity)) return false;
            const uint8_t kind = ev->type == SND_SEQ_EVENT_NOTEON ? 0x90 : ev->type == SND_SEQ_EVENT_NOTEOFF ? 0x80 : 0xA0;
            alsa_input_queue.push(kind | channel, note.note, note.velocity, source);
            return true;
        }
        case SND_SEQ_EVENT_CONTROLLER:
            if (!is_data(static_cast<int>(control.param)) || !is_data(control.value)) return false;
            alsa_input_queue.push(0xB0 | (control.channel & 0x0F), static_cast<uint8_t>(control.param),
                                  static_cast<uint8_t>(control.value), source);
            return true;
        case SND_SEQ_EVENT_PGMCHANGE:
        case SND_SEQ_EVENT_CHANPRESS:
            if (!is_data(control.value)) return false;
            alsa_input_queue.push((ev->type == SND_SEQ_EVENT_PGMCHANGE ? 0xC0 : 0xD0) | (control.channel & 0x0F),
                                  static_cast<uint8_t>(control.value), 0, source);
            return true;
        case SND_SEQ_EVENT_PITCHBEND: {
            const int value = control.value + 8192;
            if (value < 0 || value > 16383) return false;
            alsa_input_queue.push(0xE0 | (control.channel & 0x0F), static_cast<uint8_t>(value & 0x7F),
                                  static_cast<uint8_t>(value >> 7), source);
            return true;
        }
        default: return false;  // SysEx, clock, active sensing and the rest: nothing to pass on
    }
}

void listen() {
    pthread_setname_np(pthread_self(), "vx-alsa-in");
    // It passes what comes in on itself: as promptly as the JACK input's passing thread.
    make_thread_realtime(static_cast<pid_t>(syscall(SYS_gettid)), input_priority);
    std::vector<pollfd> fds(1 + static_cast<size_t>(snd_seq_poll_descriptors_count(sequencer, POLLIN)));
    fds[0] = {stop_fd, POLLIN, 0};
    snd_seq_poll_descriptors(sequencer, fds.data() + 1, static_cast<unsigned>(fds.size() - 1), POLLIN);
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents & POLLIN) return;
        bool queued = false;
        {
            std::lock_guard<std::mutex> guard(client_lock());
            snd_seq_event_t* ev = nullptr;
            // -ENOSPC: the kernel dropped events while this thread was late; go on with the rest.
            int left;
            while ((left = snd_seq_event_input(sequencer, &ev)) >= 0 || left == -ENOSPC)
                if (left >= 0 && ev != nullptr) queued |= take_event(ev);
        }
        if (queued) midi_input_take(alsa_input_queue);
    }
}

}  // namespace

bool alsa_input_open(const char* sources) {
    alsa_quiet_errors();
    sequencer = alsa_output_sequencer();
    own_sequencer = sequencer == nullptr;
    if (own_sequencer) {
        if (snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            sequencer = nullptr;
            if (sources != nullptr) {
                std::fprintf(stderr, "vxpiano: no ALSA sequencer to listen to \"%s\" on\n", sources);
                std::fflush(stderr);
            }
            return false;
        }
        snd_seq_set_client_name(sequencer, "vxpiano");
    }
    {
        std::lock_guard<std::mutex> guard(client_lock());
        input_port = snd_seq_create_simple_port(sequencer, "vxpiano in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (input_port >= 0 && stop_fd >= 0) {
            // The announce port first, so that no keyboard plugged in during the scan is missed.
            snd_seq_connect_from(sequencer, input_port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
            connect_all_hardware();
            if (sources != nullptr) connect_named(sources);
        }
    }
    if (input_port < 0 || stop_fd < 0) {
        alsa_input_close();
        return false;
    }
    listener = std::thread(listen);
    return true;
}

void alsa_input_close() {
    if (listener.joinable()) {
        const uint64_t one = 1;
        if (::write(stop_fd, &one, sizeof one) < 0) {
            // An event counter at its limit is readable already.
        }
        listener.join();
    }
    if (stop_fd >= 0) ::close(stop_fd);
    stop_fd = -1;
    if (sequencer != nullptr) {
        std::lock_guard<std::mutex> guard(client_lock());
        if (input_port >= 0) snd_seq_delete_simple_port(sequencer, input_port);
    }
    if (own_sequencer && sequencer != nullptr) snd_seq_close(sequencer);
    sequencer = nullptr;
    own_sequencer = false;
    input_port = -1;
}

}  // namespace app
