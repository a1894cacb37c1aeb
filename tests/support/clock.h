// The monotonic clock the tests stamp clicks, sends and recorded sound with, in nanoseconds.
#pragma once

#include <chrono>
#include <cstdint>

namespace vxtest {

inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace vxtest
