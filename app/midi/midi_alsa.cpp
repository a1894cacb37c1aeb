// ALSA sequencer back end: a client "vxpiano" with one output port, connected to the port
// "VXMIDI" names, else to the first synthesiser, else left for the user to connect.
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>

#include <alsa/asoundlib.h>

#include "app/midi/midi.h"
#include "app/midi/midi_backend.h"

namespace app {

namespace {

struct SeqCloser {
    void operator()(snd_seq_t* seq) const { snd_seq_close(seq); }
};
using SeqOwner = std::unique_ptr<snd_seq_t, SeqCloser>;

SeqOwner sequencer;
int output_port = -1;
std::mutex sequencer_lock;

void quiet_handler(const char*, int, const char*, int, const char*, ...) {}

// A port that plays what it is sent: a software or hardware synthesiser, not a MIDI Through
// or another program's input.
bool is_synthesiser(const snd_seq_port_info_t* port) {
    const unsigned wanted = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    const unsigned synth_types = SND_SEQ_PORT_TYPE_SYNTHESIZER | SND_SEQ_PORT_TYPE_SYNTH |
                                 SND_SEQ_PORT_TYPE_MIDI_GM;
    return (snd_seq_port_info_get_capability(port) & wanted) == wanted &&
           (snd_seq_port_info_get_type(port) & synth_types) != 0;
}

bool find_synthesiser(snd_seq_t* seq, snd_seq_addr_t* found) {
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    const int self = snd_seq_client_id(seq);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        int id = snd_seq_client_info_get_client(client);
        if (id == self || id == SND_SEQ_CLIENT_SYSTEM) continue;
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            if (!is_synthesiser(port)) continue;
            found->client = static_cast<unsigned char>(id);
            found->port = static_cast<unsigned char>(snd_seq_port_info_get_port(port));
            return true;
        }
    }
    return false;
}

}  // namespace

void alsa_quiet_errors() { snd_lib_error_set_handler(quiet_handler); }

int alsa_open(const char* arg, int flags) {
    alsa_quiet_errors();
    snd_seq_t* opened = nullptr;
    // Non-blocking: a full kernel queue or a stalled receiver fails a send instead of hanging.
    // Both ways: the MIDI input's port goes on this client too.
    int err = snd_seq_open(&opened, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) {
        midi_set_reason("no ALSA sequencer (%s)", snd_strerror(err));
        return 1;
    }
    SeqOwner seq(opened);
    snd_seq_set_client_name(seq.get(), "vxpiano");
    int port = snd_seq_create_simple_port(seq.get(), "vxpiano",
                                          SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC |
                                              SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0) {
        midi_set_reason("ALSA sequencer port: %s", snd_strerror(port));
        return 1;
    }
    snd_seq_addr_t dest{};
    if (arg != nullptr && *arg != '\0') {
        err = snd_seq_parse_address(seq.get(), &dest, arg);
        if (err < 0) {
            midi_set_reason("ALSA sequencer has no port \"%s\" (%s)", arg, snd_strerror(err));
            return 1;
        }
        err = snd_seq_connect_to(seq.get(), port, dest.client, dest.port);
        if (err < 0) {
            midi_set_reason("cannot connect to ALSA port %s (%s)", arg, snd_strerror(err));
            return 1;
        }
    } else if (find_synthesiser(seq.get(), &dest)) {
        err = snd_seq_connect_to(seq.get(), port, dest.client, dest.port);
        if (err < 0 && (flags & midi_open_probe)) {
            midi_set_reason("cannot connect to ALSA synthesiser %d:%d (%s)", dest.client,
                            dest.port, snd_strerror(err));
            return 1;
        }
    } else if (flags & midi_open_probe) {
        // Unconnected, nothing would sound; let the embedded synthesiser play instead.
        midi_set_reason("no ALSA synthesiser is running");
        return 1;
    }
    sequencer = std::move(seq);
    output_port = port;
    return 0;
}

int alsa_send(const uint8_t* bytes, int count) {
    if (!sequencer || count < 2) return midi_send_failed;
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_source(&ev, static_cast<unsigned char>(output_port));
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    const unsigned char channel = bytes[0] & 0x0F;
    switch (bytes[0] & 0xF0) {
        case 0x90: snd_seq_ev_set_noteon(&ev, channel, bytes[1], bytes[2]); break;
        case 0x80: snd_seq_ev_set_noteoff(&ev, channel, bytes[1], bytes[2]); break;
        case 0xC0: snd_seq_ev_set_pgmchange(&ev, channel, bytes[1]); break;
        case 0xA0: snd_seq_ev_set_keypress(&ev, channel, bytes[1], bytes[2]); break;
        case 0xB0: snd_seq_ev_set_controller(&ev, channel, bytes[1], bytes[2]); break;
        case 0xD0: snd_seq_ev_set_chanpress(&ev, channel, bytes[1]); break;
        case 0xE0: snd_seq_ev_set_pitchbend(&ev, channel, (bytes[1] | bytes[2] << 7) - 8192); break;
        default: return midi_send_failed;
    }
    // A receiver that went away just drops out of the subscribers; the send still succeeds.
    std::lock_guard<std::mutex> guard(sequencer_lock);
    return snd_seq_event_output_direct(sequencer.get(), &ev) < 0 ? midi_send_failed : midi_sent;
}

snd_seq_t* alsa_output_sequencer() { return sequencer.get(); }

int alsa_output_port() { return output_port; }

std::mutex& alsa_sequencer_lock() { return sequencer_lock; }

void alsa_close() {
    sequencer.reset();
    output_port = -1;
}

}  // namespace app
