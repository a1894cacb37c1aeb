// The modal message that tells the user the MIDI output could not be opened (midi_open shows
// it through midi_failure_box, which the program points here).
#pragma once

namespace app {

// Shows caption (the window's title) and text with an error sign and an OK button, the reason
// wrapped under the text in a box that grows to fit it (within the screen), and returns once
// the user has pressed OK (or closed the window, or pressed Return, Space or Escape, or a
// signal asked the program to end). Without an X display the box is drawn through the graphics
// library's own window (screen_message_box); false when no window can be opened at all.
bool message_box(const char* caption, const char* text, const char* reason);

// The same box in a window of the graphics library (any windowed driver), with the same words
// and answers; false when no windowed screen opens. Opens and closes the screen itself.
bool screen_message_box(const char* caption, const char* text, const char* reason);

}  // namespace app
