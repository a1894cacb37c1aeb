// The two lines a stream says on stderr when its server goes away and when sound is back,
// each once: a stream retried every second says nothing more until it plays again.
#pragma once

#include <atomic>

namespace app {

// `lost` remembers which line was said last. A plain write to the descriptor, no stdio lock:
// JACK says it from one of its library's threads, which closing the dead client cancels.
void say_sound_lost(std::atomic<bool>* lost, const char* why);
void say_sound_back(std::atomic<bool>* lost);

}  // namespace app
