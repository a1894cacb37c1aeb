#include "tests/support/realtime_kit.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <systemd/sd-bus.h>

#include "tests/support/child_process.h"

namespace vxtest {

namespace {
constexpr const char* kit_name = "org.freedesktop.RealtimeKit1";
constexpr const char* kit_path = "/org/freedesktop/RealtimeKit1";

// The soft RLIMIT_RTTIME of `pid` in microseconds, -1 when unlimited or unreadable.
long rttime_limit(pid_t pid) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind("Max realtime timeout", 0) != 0) continue;
        std::istringstream fields(line.substr(20));
        std::string soft;
        fields >> soft;
        return soft == "unlimited" ? -1 : std::atol(soft.c_str());
    }
    return -1;
}

int get_int(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void*, sd_bus_error*) {
    const std::string name = property;
    if (name == "RTTimeUSecMax") return sd_bus_message_append(reply, "x", static_cast<int64_t>(RealtimeKit::rttime_usec_max));
    return sd_bus_message_append(reply, "i", name == "MaxRealtimePriority" ? RealtimeKit::max_priority : -15);
}
// The process that sent `message`, as the bus daemon knows it; -1 when it cannot say.
pid_t sender_pid(sd_bus_message* message) {
    sd_bus_creds* creds = nullptr;
    pid_t process = -1;
    if (sd_bus_query_sender_creds(message, SD_BUS_CREDS_PID, &creds) >= 0) sd_bus_creds_get_pid(creds, &process);
    sd_bus_creds_unref(creds);
    return process;
}
}  // namespace

struct KitCalls {
    // What the desktop's daemon checks before it grants: a thread of the caller's own process,
    // a priority within its ceiling, and the process's real-time busy time bounded.
    static int make_thread_realtime(sd_bus_message* message, void* data, sd_bus_error* error) {
        uint64_t thread = 0;
        uint32_t priority = 0;
        if (int r = sd_bus_message_read(message, "tu", &thread, &priority); r < 0) return r;
        return grant(message, static_cast<RealtimeKit*>(data), sender_pid(message), thread, priority, error);
    }
    // The form a client names its process in (PipeWire's client library uses it).
    static int make_thread_realtime_with_pid(sd_bus_message* message, void* data, sd_bus_error* error) {
        uint64_t process = 0, thread = 0;
        uint32_t priority = 0;
        if (int r = sd_bus_message_read(message, "ttu", &process, &thread, &priority); r < 0) return r;
        pid_t sender = sender_pid(message);
        if (static_cast<pid_t>(process) != sender) sender = -1;  // only its own threads
        return grant(message, static_cast<RealtimeKit*>(data), sender, thread, priority, error);
    }
    static int grant(sd_bus_message* message, RealtimeKit* kit, pid_t process, uint64_t thread, uint32_t priority,
                     sd_bus_error* error) {
        std::string refusal;
        struct stat info{};
        const long limit = rttime_limit(process);
        if (process <= 0 || stat(("/proc/" + std::to_string(process) + "/task/" + std::to_string(thread)).c_str(), &info) != 0)
            refusal = "not a thread of the caller";
        else if (priority < 1 || priority > RealtimeKit::max_priority)
            refusal = "priority " + std::to_string(priority) + " above the ceiling";
        else if (limit < 0 || limit > RealtimeKit::rttime_usec_max)
            refusal = "RLIMIT_RTTIME not set within " + std::to_string(RealtimeKit::rttime_usec_max);
        if (refusal.empty()) {
            sched_param parameter{};
            parameter.sched_priority = static_cast<int>(priority);
            if (sched_setscheduler(static_cast<pid_t>(thread), SCHED_RR | SCHED_RESET_ON_FORK, &parameter) != 0)
                refusal = "sched_setscheduler failed";
        }
        std::lock_guard<std::mutex> lock(kit->mutex_);
        if (!refusal.empty()) {
            kit->refusals_.push_back(refusal);
            return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, refusal.c_str());
        }
        kit->grants_.push_back({process, static_cast<pid_t>(thread), static_cast<int>(priority)});
        return sd_bus_reply_method_return(message, "");
    }
};

namespace {
const sd_bus_vtable kit_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("MaxRealtimePriority", "i", get_int, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("MinNiceLevel", "i", get_int, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("RTTimeUSecMax", "x", get_int, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("MakeThreadRealtime", "tu", "", KitCalls::make_thread_realtime, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("MakeThreadRealtimeWithPID", "ttu", "", KitCalls::make_thread_realtime_with_pid, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};
}  // namespace

std::string RealtimeKit::start() {
    if (folder_.path().empty()) return "no folder for the bus";
    const std::string socket = folder_.file("system_bus_socket"), config = folder_.file("bus.conf");
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><listen>unix:path="
                          << socket
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                             "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                             "</policy></busconfig>\n";
    daemon_ = fork();
    if (daemon_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int log = open(folder_.file("bus.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (log >= 0) dup2(log, 1), dup2(log, 2);
        execlp("dbus-daemon", "dbus-daemon", ("--config-file=" + config).c_str(), "--nofork", "--nopidfile",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (daemon_ < 0) return "dbus-daemon could not be started";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, ("unix:path=" + socket).c_str()) >= 0 &&
            sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0) {
            bus_ = bus;
            break;
        }
        sd_bus_unref(bus);
        if (reap_if_ended(daemon_) >= 0) return "dbus-daemon ended at its start";
        if (std::chrono::steady_clock::now() > deadline) return "the private system bus did not come up";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (sd_bus_add_object_vtable(bus_, nullptr, kit_path, kit_name, kit_vtable, this) < 0 ||
        sd_bus_request_name(bus_, kit_name, 0) < 0)
        return "cannot serve RealtimeKit's name on the bus";
    thread_ = std::thread([this] { serve(); });
    return "";
}

void RealtimeKit::serve() {
    while (!stop_) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(bus_, 100'000);
    }
}

RealtimeKit::~RealtimeKit() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
    if (daemon_ > 0) kill_and_reap(daemon_);
}

std::vector<RealtimeKit::Grant> RealtimeKit::grants() {
    std::lock_guard<std::mutex> lock(mutex_);
    return grants_;
}

std::vector<std::string> RealtimeKit::refusals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusals_;
}

}  // namespace vxtest
