// A desktop's RealtimeKit, for a test: a private system bus (dbus-daemon) with a service of the
// test's own under RealtimeKit's name, path and interface, which grants what the desktop's
// daemon grants and refuses what it refuses. The daemon itself cannot serve here: it asks
// polkit, which grants real-time only to processes in a login session.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program.h"

typedef struct sd_bus sd_bus;

namespace vxtest {

class RealtimeKit {
public:
    static constexpr int max_priority = 20;          // the daemon's defaults
    static constexpr long rttime_usec_max = 200000;

    struct Grant {
        pid_t process, thread;
        int priority;
    };

    RealtimeKit() = default;
    ~RealtimeKit();
    RealtimeKit(const RealtimeKit&) = delete;
    RealtimeKit& operator=(const RealtimeKit&) = delete;

    // The bus and the service; "" or what went wrong.
    std::string start();
    // For a client's environment: where its system bus is.
    std::string environment_entry() const { return "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + folder_.file("system_bus_socket"); }
    std::vector<Grant> grants();
    std::vector<std::string> refusals();

private:
    void serve();

    TempDir folder_{"vxrtkit"};
    pid_t daemon_ = -1;
    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Grant> grants_;
    std::vector<std::string> refusals_;

    friend struct KitCalls;
};

}  // namespace vxtest
