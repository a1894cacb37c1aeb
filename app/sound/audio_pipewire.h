// The embedded synthesiser's own output to a PipeWire server: a stream in the server's graph
// that the synth renders into on each of the graph's cycles, paused while nothing sounds,
// reconnected when the server comes back.
#pragma once

#include <cstdint>

#include <fluidsynth.h>

namespace app {

class PipeWireOutput;

// Connects to the PipeWire server of this session; nullptr, with the reason left by
// midi_set_reason, when none answers. Fails at once where no server listens.
PipeWireOutput* pipewire_connect();
// The graph's sample rate: the synth renders at it so nothing resamples.
int pipewire_rate(const PipeWireOutput* output);
// Opens the stream and plays `synth` through it; false with the reason on failure.
// `quantum_frames` is the period the stream asks the graph to run at.
bool pipewire_play(PipeWireOutput* output, fluid_synth_t* synth, int quantum_frames);
// Queues one MIDI message (1 to 3 bytes) for the synth, played before the next block it
// renders; a Note On starts the stream again if it was paused for silence.
bool pipewire_send(PipeWireOutput* output, const uint8_t* bytes, int count);
// Stops rendering before the synth goes away, then closes everything.
void pipewire_close(PipeWireOutput* output);

}  // namespace app
