#include "app/sound/sound_lost.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace app {

namespace {
// The whole line in one write, so that it cannot interleave with another.
void say(std::initializer_list<const char*> parts) {
    char line[512];
    size_t length = 0;
    for (const char* part : parts) {
        const size_t size = std::min(std::strlen(part), sizeof line - length);
        std::memcpy(line + length, part, size);
        length += size;
    }
    ssize_t ignored = write(2, line, length);
    (void)ignored;
}
}  // namespace

void say_sound_lost(std::atomic<bool>* lost, const char* why) {
    if (lost->exchange(true)) return;
    say({"vxpiano: sound lost: ", why, "; the keyboard plays on and sound returns when the server is back\n"});
}

void say_sound_back(std::atomic<bool>* lost) {
    if (!lost->exchange(false)) return;
    say({"vxpiano: sound is back\n"});
}

}  // namespace app
