// MIDI output: opens the one output the program plays into, sends Note On, Note Off and
// Program Change as single short messages, and closes it at shut-down.
#pragma once

#include <cstdint>

namespace app {

// Settings read whenever a message is built; the sliders change them.
extern int32_t midi_channel;   // 0..15; 9 is the percussion channel
extern int32_t octave_base;    // 0..6; a key's note is raised by octave_base * 12
extern int32_t note_velocity;  // data byte 2 of Note On and Note Off

// Results of the sends. Callers may ignore them: a failed send never stops the program.
enum : int {
    midi_sent = 0,
    midi_not_open = 1,       // before midi_open or after midi_close
    midi_out_of_range = 2,   // a byte would not fit in MIDI (note above 127, bad channel)
    midi_send_failed = 3,    // the destination refused or vanished
};

// Opens the output chosen by the environment variable "VXMIDI" ("name" or "name:argument";
// unset: a running ALSA synthesiser, else the embedded FluidSynth), sets its level to full
// where it has one and sends Program Change 0 on channel 0. Returns 0. When nothing can be
// opened it tells the user ("Cannot open MIDI device." / "Error:") and ends the process with
// exit code 0.
int midi_open();
// How midi_open tells the user of the failure beside stderr: a box the program shows (its
// window is not open yet), returning once answered. Null: stderr alone.
extern bool (*midi_failure_box)(const char* caption, const char* text, const char* reason);

int midi_note_on(int key_note);   // 0x90 + channel, octave_base * 12 + key_note, velocity
// 0x80 with the channel and note number the key's Note On went out with (even if the channel
// or octave changed since), and the current velocity.
int midi_note_off(int key_note);
int midi_program_change(int program);  // 0xC0 + channel, program
// One whole channel message as it is (2 or 3 bytes, its channel set by the caller): what the
// MIDI input passes on.
int midi_send(const uint8_t* bytes, int count);

// Closes the output if one is open, after a Note Off for every note that was started and not
// ended (a key held at the end, or a Note Off whose send failed). Always returns -1.
int midi_close();

// The name of the open back end ("alsa", "fluidsynth", "jack", "smf", "raw"), or null when closed.
const char* midi_backend_name();

}  // namespace app
