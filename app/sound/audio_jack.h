// The embedded synthesiser's own client in a running JACK server: two output ports the synth
// renders into within the server's cycle, connected to the playback ports. While no voice
// sounds and the effects' tail has died away the cycle only writes silence.
#pragma once

#include <cstdint>

#include <fluidsynth.h>

namespace app {

class JackAudio;

// Opens the client "vxpiano" on the running server; nullptr (and no reason) when none runs.
// Never starts a server.
JackAudio* jack_audio_connect();
// The server's sample rate: the synth renders at it so nothing resamples.
int jack_audio_rate(const JackAudio* output);
// Registers the ports, starts the cycle with `synth` and connects to the playback ports;
// false with the reason on failure.
bool jack_audio_play(JackAudio* output, fluid_synth_t* synth);
// Queues one MIDI message (1 to 3 bytes) for the synth, played at the start of the next cycle.
bool jack_audio_send(JackAudio* output, const uint8_t* bytes, int count);
// Stops the cycle before the synth goes away, then closes the client.
void jack_audio_close(JackAudio* output);

}  // namespace app
