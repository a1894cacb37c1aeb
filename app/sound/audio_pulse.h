// The embedded synthesiser's own output to a PulseAudio server (or PipeWire's PulseAudio
// service): a small stream the synth renders into from the server's requests, stopped while
// nothing sounds, reconnected when the server comes back.
#pragma once

#include <cstdint>

#include <fluidsynth.h>

namespace app {

class PulseOutput;

struct PulseTiming {
    int period_frames;  // the server asks for at least this much at a time
    int periods;        // the buffer it keeps filled, in periods
    int realtime_priority;  // SCHED_FIFO priority of the rendering thread where allowed; 0: none
};

// Connects to the server of this session; nullptr, with the reason left by midi_set_reason,
// when none answers within a short wait. Never starts a server.
PulseOutput* pulse_connect();
// The server's sample rate: the synth renders at it so nothing resamples.
int pulse_rate(const PulseOutput* output);
// Opens the stream and plays `synth` through it; false with the reason on failure.
bool pulse_play(PulseOutput* output, fluid_synth_t* synth, const PulseTiming& timing);
// Queues one MIDI message (1 to 3 bytes) for the synth, played before the next block it
// renders; a Note On starts the stream again if it was stopped for silence. False when the
// queue is full.
bool pulse_send(PulseOutput* output, const uint8_t* bytes, int count);
void pulse_wake(PulseOutput* output);
// Stops rendering before the synth goes away, then closes everything.
void pulse_close(PulseOutput* output);

}  // namespace app
