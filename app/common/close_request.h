// The request to end the program from outside its window: SIGINT, SIGTERM and SIGHUP end it
// the way the window's close button does, so the sounding note ends and the MIDI output closes.
#pragma once

namespace app {

// Blocks the three signals in the calling thread and starts the one thread that takes them.
// Call first in main, before any other thread exists: threads started later inherit the mask,
// so no signal interrupts them and none ends the process behind the program's back.
void close_request_watch();
// True once a signal asked the program to end. The loop's waits wake when it becomes true.
bool close_requested();
// A descriptor that becomes readable once a close was requested (-1 before the watch runs),
// for code that waits on file descriptors instead of the input notification.
int close_request_fd();

}  // namespace app
