// Real-time priority for a thread that renders sound. A desktop user is seldom allowed to set
// it alone; the desktop's RealtimeKit grants it on the system bus, as it does for the sound
// servers themselves.
#pragma once

#include <sys/types.h>

namespace app {

// Puts thread `tid` of this process under SCHED_FIFO at `priority`; where that is not allowed,
// asks RealtimeKit for round-robin at `priority` or its own ceiling, whichever is lower.
// Blocks for at most about half a second on a bus that does not answer. False when neither
// gave a real-time priority; the thread then keeps running as it was.
bool make_thread_realtime(pid_t tid, int priority);

}  // namespace app
