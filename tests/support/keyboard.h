// For tests that run the keyboard application more than once in one process.
#pragma once

#include <string>

namespace vxtest {

// The keyboard's settings as a fresh process has them: channel 0, octave base 3, velocity 127,
// no sounding key.
void reset_keyboard_settings();

// A raw MIDI file in the test's temporary directory named after `label` and this process, set
// as "VXMIDI" and removed first; returns its path.
std::string use_raw_midi_file(const std::string& label);

// The end of such a test: app_stop when it started, the drivers restored, "VXMIDI" unset and
// the MIDI file (when there is one) removed.
void end_keyboard(void* sheet, bool started, const std::string& midi_file = "");

}  // namespace vxtest
