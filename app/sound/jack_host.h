// The program is one JACK client, "vxpiano", wherever it can be: the output that opens a client
// (the synthesiser's sound, or JACK MIDI) is the host, and the MIDI input adds its port to it,
// so a keyboard is connected to vxpiano:midi_in whatever plays. Without a host the input opens
// a client of its own and hosts itself.
#pragma once

#include <jack/jack.h>

namespace app {

// What a guest does on the host's client. arrive and leave are called with the host's lock
// held, on the host's thread or the guest's; process in the host's cycle.
struct JackGuest {
    void (*arrive)(jack_client_t* client);  // the client is active: register, connect
    void (*leave)(bool server_gone);        // the client closes next: hands off it
    void (*process)(jack_nframes_t frames);
    void (*port_registered)();  // a port of some client came or went (libjack's thread)
    // Ports were disconnected (libjack's thread).
    void (*disconnected)(jack_port_id_t a, jack_port_id_t b);
};

// The host's side. begin and end bracket its life, while it may have a client (the sound stream
// keeps trying while its server is away); prepare before each activation, started after it,
// stopping before each deactivation or close, cycle at the top of every cycle.
void jack_host_begin();
void jack_host_end();
void jack_host_prepare(jack_client_t* client);
void jack_host_started(jack_client_t* client);
void jack_host_stopping(bool server_gone);
void jack_host_cycle(jack_nframes_t frames);
// From the host's shutdown callback: the guest leaves without the lock, which a thread that
// closing the dead client cancels must not hold. jack_host_stopping follows as ever.
void jack_host_server_gone();

// The guest's side. Whether a host is there (between begin and end), joining its client at
// once where it has one.
bool jack_guest_join(const JackGuest* guest);
void jack_guest_part();
// Runs `what` on the client the guest is on, under the host's lock; false without one.
bool jack_guest_on_client(void (*what)(jack_client_t*));

}  // namespace app
