// The MIDI back ends behind midi.cpp: one record of routines per back end, in preference order.
// Each back end keeps its own state for the one output a process has open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "app/common/open_reason.h"

namespace app {

// Flags for MidiBackend::open.
enum : int {
    // Chosen without "VXMIDI": succeed only with an output that makes sound.
    midi_open_probe = 1,
};

struct MidiBackend {
    const char* name;
    const char* usage;  // how "VXMIDI" names it, for the list of back ends in error texts
    // 0 on success; otherwise non-zero with the reason left by midi_set_reason. A failed open
    // has released everything it took.
    int (*open)(const char* arg, int flags);
    // Sends one whole message (1 to 3 bytes). 0 when it left, else midi_send_failed.
    int (*send)(const uint8_t* bytes, int count);
    void (*close)();
};

int alsa_open(const char* arg, int flags);
int alsa_send(const uint8_t* bytes, int count);
void alsa_close();
// Makes alsa-lib keep quiet: it would print to stderr on every failed open.
void alsa_quiet_errors();
// The ALSA output's sequencer client, for the MIDI input to add its port to, so that the
// program is one client "vxpiano" (null unless the output is ALSA). The output's sends and the
// input's thread both call into it, each holding this lock.
typedef struct _snd_seq snd_seq_t;
snd_seq_t* alsa_output_sequencer();
int alsa_output_port();
std::mutex& alsa_sequencer_lock();

int fluidsynth_open(const char* arg, int flags);
int fluidsynth_send(const uint8_t* bytes, int count);
void fluidsynth_close();

int jack_open(const char* arg, int flags);
int jack_send(const uint8_t* bytes, int count);
void jack_close();

int smf_open(const char* arg, int flags);
int smf_send(const uint8_t* bytes, int count);
void smf_close();

int raw_open(const char* arg, int flags);
int raw_send(const uint8_t* bytes, int count);
void raw_close();

// Length of a channel message from its status byte: 2 for Program Change and Channel
// Pressure, 3 for the others.
inline int midi_message_length(uint8_t status) {
    uint8_t kind = status & 0xF0;
    return (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
}

// Ignores a signal that would end the process by default (SIGPIPE from a FIFO whose reader
// left, SIGXFSZ from a file at its size limit), so the send fails with an error code instead.
void midi_ignore_signal(int signal_number);

}  // namespace app
