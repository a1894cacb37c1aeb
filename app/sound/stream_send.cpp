#include "app/sound/stream_send.h"

#include <chrono>
#include <thread>

#include "app/sound/synth_queue.h"

namespace app {

bool stream_send(SoundStream* stream, const StreamSendRoutines& routines, const uint8_t* bytes, int count) {
    SynthQueue& queue = stream->queue;
    for (int waited_ms = 0;; ++waited_ms) {
        routines.lock(stream);
        // Between a loss and the stream's return nothing renders: the program's thread never
        // waits for it.
        const bool away = routines.away(stream);
        if (away) queue.play_while_away(stream->synth, bytes, count);
        // Full while the stream is stopped (a slider moved through many programs in silence).
        if (!away && routines.renders_under_lock && queue.full()) queue.play(stream->synth);
        const bool queued = !away && !queue.full();
        if (queued) queue.push(bytes, count);
        // A Note On starts a stopped stream, and so does a queue full while stopped. A back end
        // stops its stream under this same lock, after it found the queue empty: a Note On
        // queued before that keeps the stream running, one queued after it finds the stream
        // stopped here and starts it.
        if (!away && routines.stopped != nullptr && routines.stopped(stream) && (!queued || starts_sound(bytes, count)))
            routines.start(stream);
        routines.unlock(stream);
        if (away || queued) return true;
        if (waited_ms == routines.full_wait_ms) return false;  // a server that stalls: the message is lost
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace app
