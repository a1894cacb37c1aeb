// The modal message that tells the user the MIDI output could not be opened.
#pragma once

namespace app {

// Shows caption (the window's title) and text with an error sign and an OK button, the reason
// wrapped under the text in a box that grows to fit it (within the screen), and returns once
// the user has pressed OK (or closed the window, or pressed Return, Space or Escape, or a
// signal asked the program to end). Returns false at once when no X display can be reached.
bool midi_message_box(const char* caption, const char* text, const char* reason);

}  // namespace app
