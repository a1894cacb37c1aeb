#include "app/sound/realtime.h"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>

#include <systemd/sd-bus.h>

namespace app {

namespace {
constexpr const char* kit_name = "org.freedesktop.RealtimeKit1";
constexpr const char* kit_path = "/org/freedesktop/RealtimeKit1";
// Each call on the bus; a bus whose kit never answers must not hold up the start.
constexpr uint64_t call_timeout_us = 200'000;

bool ask_kit(pid_t tid, int priority) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;
    sd_bus_set_method_call_timeout(bus, call_timeout_us);
    bool granted = false;
    int32_t ceiling = 0;
    int64_t rttime_max_us = 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_get_property_trivial(bus, kit_name, kit_path, kit_name, "MaxRealtimePriority", &error, 'i', &ceiling) >= 0 &&
        sd_bus_get_property_trivial(bus, kit_name, kit_path, kit_name, "RTTimeUSecMax", &error, 'x', &rttime_max_us) >= 0 &&
        ceiling > 0 && rttime_max_us > 0) {
        // The kit serves only a process that has bounded its real-time threads' busy time (a
        // thread running longer than that without blocking is stopped by the kernel); ours
        // block in the server's poll every few milliseconds.
        rlimit limit{};
        getrlimit(RLIMIT_RTTIME, &limit);
        const auto bound = static_cast<rlim_t>(rttime_max_us);
        limit.rlim_cur = std::min(limit.rlim_cur, bound);
        limit.rlim_max = std::min(limit.rlim_max, bound);
        if (setrlimit(RLIMIT_RTTIME, &limit) == 0) {
            const auto asked = static_cast<uint32_t>(std::min(priority, static_cast<int>(ceiling)));
            granted = sd_bus_call_method(bus, kit_name, kit_path, kit_name, "MakeThreadRealtime", &error, nullptr, "tu",
                                         static_cast<uint64_t>(tid), asked) >= 0;
        }
    }
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return granted;
}
}  // namespace

bool make_thread_realtime(pid_t tid, int priority) {
    if (priority <= 0 || tid <= 0) return false;  // 0 would be the calling thread
    sched_param parameter{};
    parameter.sched_priority = priority;
    if (sched_setscheduler(tid, SCHED_FIFO, &parameter) == 0) return true;
    return ask_kit(tid, priority);
}

}  // namespace app
