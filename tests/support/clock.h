// The monotonic clock the tests stamp clicks, sends and recorded sound with, in nanoseconds,
// and how long a test waits for what must happen.
#pragma once

#include <chrono>
#include <cstdint>

namespace vxtest {

inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The default limit of every wait for a condition. It only bounds a hang: a machine with both
// cores busy, running the sanitizer builds, took seconds for what takes milliseconds alone.
inline constexpr std::chrono::milliseconds patience{20000};

}  // namespace vxtest
