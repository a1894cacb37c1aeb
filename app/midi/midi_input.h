// MIDI input: what a hardware keyboard (or any other source) plays comes in on the routes'
// own threads, is passed on to the output on the program's thread, on the channel the slider
// shows, and its held notes are kept so that every note passed on gets its Note Off.
#pragma once

#include <cstdint>

namespace app {

// Starts the input routes "VXMIDI_IN" asks for. Unset: the ALSA sequencer wherever it exists,
// connected to every hardware source now and later, and JACK where a server runs, connected to
// the physical capture ports. "alsa:SRC[,SRC...]" or "jack:PORT[,PORT...]" connects those
// sources as well; "none" leaves input off. Call after midi_open (an ALSA output shares its
// client with the input).
void midi_input_open();
// Stops the routes, then ends every note the input passed on. Call before midi_close.
void midi_input_close();

// What one call of midi_input_pass took in.
struct MidiInputPass {
    bool keys_changed = false;  // a note was pressed or let go
    int program = -1;           // the last Program Change that came in, else -1
};
// On the program's thread: everything that came in since the last call goes out through the
// output on midi_channel, except Program Changes, which the caller shows and sends itself.
MidiInputPass midi_input_pass();
// A Note Off for every note the input holds, on the channel it went out on, and the sustain
// pedal let go: before the channel changes, and at the end.
void midi_input_release();
// Whether the input holds the MIDI note (0..127).
bool midi_input_held(int note);

}  // namespace app
