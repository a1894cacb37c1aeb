// Why the last open of the MIDI output failed, in the words the "Cannot open MIDI device." box
// shows: left by the MIDI back ends and by the sound streams the embedded synthesiser opens
// beneath them, read once by the MIDI output.
#pragma once

namespace app {

// Stores why an open failed (printf format); the text is kept until the next open.
void midi_set_reason(const char* format, ...) __attribute__((format(printf, 1, 2)));
const char* midi_reason();
// Forgets the last reason, before an open that may leave none.
void midi_clear_reason();

}  // namespace app
