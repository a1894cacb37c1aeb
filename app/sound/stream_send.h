// The program's side of every sound stream: a MIDI message into the stream's queue, or into
// the synth at once while the server is away, waiting while the queue is full, and starting a
// stream stopped for silence when a note begins. Each back end says only how its stream is
// locked and what its state is; the rendering thread is never involved.
#pragma once

#include <cstdint>

#include "app/sound/sound_stream.h"

namespace app {

// How the program's thread reaches one back end's stream. `away`, `stopped` and `start` run
// with the lock held: the same lock under which the back end drops a lost stream and stops an
// idle one, so a stop and a Note On never cross.
struct StreamSendRoutines {
    void (*lock)(SoundStream* stream);
    void (*unlock)(SoundStream* stream);
    // Nothing renders, between a loss and the stream's return.
    bool (*away)(SoundStream* stream);
    // Stopped for silence; nullptr where the stream renders on in silence.
    bool (*stopped)(SoundStream* stream);
    void (*start)(SoundStream* stream);
    // The renderer reads the queue under the same lock, so a full queue goes into the synth
    // here instead of being waited for.
    bool renders_under_lock;
    // How long a full queue is waited for, in milliseconds, before the message is lost.
    int full_wait_ms;
};

// Queues one MIDI message (1 to 3 bytes) for `stream`'s synth; false when the message is lost.
bool stream_send(SoundStream* stream, const StreamSendRoutines& routines, const uint8_t* bytes, int count);

}  // namespace app
