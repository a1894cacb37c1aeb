// MIDI input: what a hardware keyboard (or any other source) plays comes in on the routes'
// own threads and is passed on to the output by a thread of its own, on the channel the slider
// shows; its held notes are kept so that every note passed on gets its Note Off.
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

// What came in since the program's thread last asked.
struct MidiInputPass {
    bool keys_changed = false;  // a note was pressed or let go
    int program = -1;           // the last Program Change that came in, else -1
    int program_channel = -1;   // the channel it went out on
};
// What came in went out already, from the input's own thread, on midi_channel, a Program
// Change on that channel too (but the percussion channel's); this tells the program's thread
// what to show.
MidiInputPass midi_input_pass();
// A Note Off for every note the input holds, on the channel it went out on, and the sustain
// pedal let go: at the end, and wherever the output must hear no more of the input's notes.
void midi_input_release();
// Changes midi_channel, after the input's held notes end on the old one, and sends `program`
// there first (-1: none), so that nothing comes in on the new channel before either.
void midi_input_set_channel(int channel, int program);
// Whether the input holds the MIDI note (0..127).
bool midi_input_held(int note);

}  // namespace app
