// The one JACK client the program's parts share: the host's client and the guest that rides
// on it.
#include "app/sound/jack_host.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace app {

namespace {

std::mutex lock;
int hosts = 0;
jack_client_t* active = nullptr;
const JackGuest* guest = nullptr;
bool guest_on_active = false;
// What the host's cycle and libjack's callback thread call, without the lock.
std::atomic<const JackGuest*> cycling{nullptr};
// Cycles inside the guest's process: a guest that leaves waits for them to end, so nothing of
// it runs once it is gone.
std::atomic<int> in_cycle{0};

void port_registered(jack_port_id_t, int, void*) {
    if (const JackGuest* g = cycling.load(std::memory_order_acquire)) g->port_registered();
}

void connected(jack_port_id_t a, jack_port_id_t b, int connect, void*) {
    if (connect) return;
    if (const JackGuest* g = cycling.load(std::memory_order_acquire)) g->disconnected(a, b);
}

void arrive_locked() {
    if (guest == nullptr || active == nullptr || guest_on_active) return;
    guest->arrive(active);
    guest_on_active = true;
    cycling.store(guest, std::memory_order_release);
}

void leave_locked(bool server_gone) {
    cycling.store(nullptr);
    while (in_cycle.load() > 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (guest != nullptr && guest_on_active) guest->leave(server_gone);
    guest_on_active = false;
}

}  // namespace

void jack_host_begin() {
    std::lock_guard guard(lock);
    ++hosts;
}

void jack_host_end() {
    std::lock_guard guard(lock);
    if (hosts > 0) --hosts;
}

void jack_host_prepare(jack_client_t* client) {
    // Set on every host's client before it is active, since they cannot be set afterwards: a
    // keyboard's port appearing or going later is then seen whether or not the input is there yet.
    jack_set_port_registration_callback(client, port_registered, nullptr);
    jack_set_port_connect_callback(client, connected, nullptr);
}

void jack_host_started(jack_client_t* client) {
    std::lock_guard guard(lock);
    active = client;
    arrive_locked();
}

void jack_host_stopping(bool server_gone) {
    std::lock_guard guard(lock);
    leave_locked(server_gone);
    active = nullptr;
}

void jack_host_cycle(jack_nframes_t frames) {
    in_cycle.fetch_add(1);
    if (const JackGuest* g = cycling.load()) g->process(frames);
    in_cycle.fetch_sub(1);
}

void jack_host_server_gone() {
    if (const JackGuest* g = cycling.exchange(nullptr, std::memory_order_acq_rel)) g->leave(true);
}

bool jack_guest_join(const JackGuest* joining) {
    std::lock_guard guard(lock);
    if (hosts == 0) return false;
    guest = joining;
    arrive_locked();
    return true;
}

void jack_guest_part() {
    std::lock_guard guard(lock);
    leave_locked(false);
    guest = nullptr;
}

bool jack_guest_on_client(void (*what)(jack_client_t*)) {
    std::lock_guard guard(lock);
    if (active == nullptr || !guest_on_active) return false;
    what(active);
    return true;
}

}  // namespace app
