// The embedded synthesiser's own streams to a sound server: one record of routines per server,
// tried in order (midi_fluidsynth.cpp holds the table). Each stream renders the synth on its
// own thread from a queue of MIDI messages, says once on stderr when its server goes away and
// when it is back, and stops rendering while nothing sounds.
#pragma once

#include <cstdint>

#include <fluidsynth.h>

#include "app/sound/synth_queue.h"

namespace app {

// What each back end's own output record is made from; only its back end looks further inside.
struct SoundStream {
    // The server's sample rate, known once connected: the synth renders at it so nothing
    // resamples.
    int rate = 48000;
    // The synth it renders, from play on, and the messages waiting for its next block.
    fluid_synth_t* synth = nullptr;
    SynthQueue queue;
};

struct SoundTiming {
    int period_frames;  // the server asks for at least this much at a time
    int periods;        // the buffer it keeps filled, in periods
    int realtime_priority;  // SCHED_FIFO priority of the rendering thread where allowed; 0: none
};

struct SoundBackend {
    const char* name;
    // Connects to the server of this session; nullptr, with the reason left by
    // midi_set_reason (JACK leaves none), when none answers within a short wait. Never starts
    // a server.
    SoundStream* (*connect)();
    // The timing the stream asks for unless "VXMIDI" sets audio.period-size or audio.periods;
    // a stream with 0 periods heeds only the period size.
    SoundTiming preferred;
    // Opens the stream and plays `synth` through it; false with the reason on failure.
    bool (*play)(SoundStream* stream, fluid_synth_t* synth, const SoundTiming& timing);
    // Queues one MIDI message (1 to 3 bytes) for the synth, played before the next block it
    // renders; a Note On starts a stream stopped for silence. False when the message is lost.
    bool (*send)(SoundStream* stream, const uint8_t* bytes, int count);
    // Stops rendering before the synth goes away, then closes everything.
    void (*close)(SoundStream* stream);
};

// Opens the client "vxpiano" on a running JACK server: two output ports the synth renders into
// within the server's cycle, connected to the playback ports. Ignores the timing: the server's
// own period is the one it renders in.
SoundStream* jack_audio_connect();
bool jack_audio_play(SoundStream* stream, fluid_synth_t* synth, const SoundTiming& timing);
bool jack_audio_send(SoundStream* stream, const uint8_t* bytes, int count);
void jack_audio_close(SoundStream* stream);

// A stream in a PipeWire server's graph, rendered on each of the graph's cycles at the period
// asked for, paused while nothing sounds. Fails at once where no server listens.
SoundStream* pipewire_connect();
bool pipewire_play(SoundStream* stream, fluid_synth_t* synth, const SoundTiming& timing);
bool pipewire_send(SoundStream* stream, const uint8_t* bytes, int count);
void pipewire_close(SoundStream* stream);

// A small stream to a PulseAudio server (or PipeWire's PulseAudio service) that the synth
// renders into from the server's requests, corked while nothing sounds.
SoundStream* pulse_connect();
bool pulse_play(SoundStream* stream, fluid_synth_t* synth, const SoundTiming& timing);
bool pulse_send(SoundStream* stream, const uint8_t* bytes, int count);
void pulse_close(SoundStream* stream);

}  // namespace app
