// MIDI input: "VXMIDI_IN", and what the routes' threads do with what came in (the JACK cycle
// through the passing thread it wakes, the ALSA route on its own thread): pass it on to the
// output on the slider's channel at once, keep the notes held, so that each one passed on gets
// its Note Off, and tell the program's loop what to draw.
#include "app/midi/midi_input.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/syscall.h>

#include "app/midi/midi.h"
#include "app/midi/midi_input_route.h"
#include "app/sound/realtime.h"
#include <vxgfx/input.h>

namespace app {

InputQueue alsa_input_queue;
InputQueue jack_input_queue;

namespace {

// The JACK cycle writes to the counter; the passing thread wakes on it (the ALSA route's thread
// passes its own queue on). Playing from there keeps the program's thread, which may be drawing
// or waiting on the display, out of the way from a key struck to its sound.
// Atomic: a JACK cycle still running as the input closes may write to it.
std::atomic<int> wake_fd{-1};
std::atomic<bool> passer_stopping{false};
std::thread passer;
bool alsa_open_now = false;
std::atomic<bool> jack_open_now{false};  // read by the passing thread too

// Guards what follows, and midi_channel against the passing thread's reads: the program's
// thread changes the channel only through midi_input_set_channel.
std::mutex state_lock;
MidiInputPass pending;  // what the program's thread has yet to show

// The sources that hold each note (a note sounds once, however many hold it) and the channel
// it went out on. Under state_lock.
constexpr std::array<int8_t, 128> nothing_sent() {
    std::array<int8_t, 128> channels{};
    for (int8_t& channel : channels) channel = -1;
    return channels;
}
std::bitset<256> held_by[128];
std::array<int8_t, 128> sent_channel = nothing_sent();
int sustain_channel = -1;  // where the sustain pedal went down, -1 while it is up

int send(uint8_t status, uint8_t data1, uint8_t data2) {
    const uint8_t bytes[3] = {status, data1, data2};
    return midi_send(bytes, midi_message_length(status));
}

bool note_ends(uint8_t note, uint8_t velocity) {
    const int channel = sent_channel[note];
    sent_channel[note] = -1;
    if (channel < 0) return false;
    send(static_cast<uint8_t>(0x80 | channel), note, velocity);
    return true;
}

// One source lets go of the note; it ends when no other source holds it.
bool let_go(uint8_t note, uint8_t source, uint8_t velocity) {
    if (!held_by[note].test(source)) return false;  // a Note Off with no Note On
    held_by[note].reset(source);
    return held_by[note].none() && note_ends(note, velocity);
}

void take_message(uint8_t status, uint8_t data1, uint8_t data2, uint8_t source, MidiInputPass& pass) {
    const uint8_t channel = static_cast<uint8_t>(midi_channel & 0x0F);
    switch (status & 0xF0) {
        case 0x90:
            if (data2 != 0) {
                // A note held already is struck again where it sounds; one Note Off still ends it.
                const uint8_t out_channel = sent_channel[data1] >= 0 ? static_cast<uint8_t>(sent_channel[data1]) : channel;
                pass.keys_changed |= held_by[data1].none();
                held_by[data1].set(source);
                sent_channel[data1] = static_cast<int8_t>(out_channel);
                send(static_cast<uint8_t>(0x90 | out_channel), data1, data2);
                break;
            }
            [[fallthrough]];
        case 0x80: pass.keys_changed |= let_go(data1, source, data2); break;
        case 0xB0:
            if (data1 == 64) sustain_channel = data2 >= 64 ? channel : -1;
            send(static_cast<uint8_t>(0xB0 | channel), data1, data2);
            break;
        case 0xC0:
            // Sent here, before the notes that follow it; the slider follows on the program's
            // thread. The percussion channel keeps its kit, as with the slider.
            if (channel != 9) send(static_cast<uint8_t>(0xC0 | channel), data1, 0);
            pass.program = data1;
            pass.program_channel = channel != 9 ? channel : -1;
            break;
        default: send(static_cast<uint8_t>((status & 0xF0) | channel), data1, data2); break;
    }
}

void take_queue(InputQueue& queue, MidiInputPass& pass) {
    // Gone first: a source's messages queued before it went are then all taken below.
    const std::array<uint64_t, 4> gone = queue.take_gone();
    queue.take([&](uint8_t status, uint8_t data1, uint8_t data2, uint8_t source) {
        take_message(status, data1, data2, source, pass);
    });
    const std::array<uint64_t, 2> lost = queue.take_lost_offs();
    for (int note = 0; note < 128; ++note) {
        if (!(lost[note / 64] >> (note % 64) & 1)) continue;
        held_by[note].reset();
        pass.keys_changed |= note_ends(static_cast<uint8_t>(note), 0);
    }
    for (int source = 0; source < 256; ++source) {
        if (!(gone[source / 64] >> (source % 64) & 1)) continue;
        for (int note = 0; note < 128; ++note)
            pass.keys_changed |= let_go(static_cast<uint8_t>(note), static_cast<uint8_t>(source), 0);
    }
}

// "VXMIDI_IN": unset or empty, the usual routes; "none"; "alsa:SRC,..." or "jack:PORT,...".
struct InputChoice {
    bool enabled = true;
    std::string alsa_sources, jack_ports;
};

InputChoice input_choice() {
    InputChoice choice;
    const char* value = std::getenv("VXMIDI_IN");
    if (value == nullptr || *value == '\0') return choice;
    const std::string text = value;
    if (text == "none") choice.enabled = false;
    else if (text.rfind("alsa:", 0) == 0) choice.alsa_sources = text.substr(5);
    else if (text.rfind("jack:", 0) == 0) choice.jack_ports = text.substr(5);
    else {
        std::fprintf(stderr,
                     "vxpiano: unknown MIDI input \"%s\" in VXMIDI_IN; it takes none, alsa:SRC[,SRC...] or "
                     "jack:PORT[,PORT...]; listening as without it\n",
                     value);
        std::fflush(stderr);
    }
    return choice;
}

// Passes on what `queue` holds, on the calling thread (the queue's one reader), and tells the
// program's loop what to show.
void take_and_tell(InputQueue& queue) {
    {
        std::lock_guard guard(state_lock);
        MidiInputPass taken;
        take_queue(queue, taken);
        pending.keys_changed |= taken.keys_changed;
        if (taken.program >= 0) {
            pending.program = taken.program;
            pending.program_channel = taken.program_channel;
        }
    }
    // The window layer's notification; its lock is never taken on the JACK cycle.
    vx::input_arrived();
}

void pass_on() {
    pthread_setname_np(pthread_self(), "vx-midi-in");
    make_thread_realtime(static_cast<pid_t>(syscall(SYS_gettid)), input_priority);
    pollfd readable{wake_fd, POLLIN, 0};
    int timeout_ms = -1;
    while (!passer_stopping.load()) {
        const int ready = ::poll(&readable, 1, timeout_ms);
        if (ready < 0) continue;
        uint64_t count = 0;
        if (ready > 0 && ::read(wake_fd, &count, sizeof count) < 0) continue;
        if (passer_stopping.load()) break;
#if VX_JACK
        if (jack_open_now) timeout_ms = jack_input_tend();
#endif
        if (ready == 0) continue;
        take_and_tell(jack_input_queue);
    }
}

void release_held() {
    for (int note = 0; note < 128; ++note) {
        held_by[note].reset();
        note_ends(static_cast<uint8_t>(note), 0);
    }
    if (sustain_channel >= 0) send(static_cast<uint8_t>(0xB0 | sustain_channel), 64, 0);
    sustain_channel = -1;
}

}  // namespace

void midi_input_take(InputQueue& queue) { take_and_tell(queue); }

void midi_input_wake() {
    const uint64_t one = 1;
    const int fd = wake_fd.load(std::memory_order_acquire);
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
        // Full counter: a wake-up is pending anyway.
    }
}

void midi_input_open() {
    midi_input_close();
    const InputChoice choice = input_choice();
    if (!choice.enabled) return;
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) return;
    alsa_input_queue.clear();
    jack_input_queue.clear();
    {
        std::lock_guard guard(state_lock);
        pending = MidiInputPass{};
    }
    passer_stopping = false;
    passer = std::thread(pass_on);
    alsa_open_now = alsa_input_open(choice.alsa_sources.empty() ? nullptr : choice.alsa_sources.c_str());
#if VX_JACK
    jack_open_now = jack_input_open(choice.jack_ports.empty() ? nullptr : choice.jack_ports.c_str());
#endif
}

void midi_input_close() {
#if VX_JACK
    if (jack_open_now) jack_input_close();
#endif
    if (alsa_open_now) alsa_input_close();
    alsa_open_now = false;
    jack_open_now = false;
    if (passer.joinable()) {
        passer_stopping = true;
        midi_input_wake();
        passer.join();
    }
    const int fd = wake_fd.exchange(-1);
    if (fd >= 0) ::close(fd);
    // What is still queued never went out, so it needs no end; what did, ends here.
    midi_input_release();
}

MidiInputPass midi_input_pass() {
    MidiInputPass pass;
    if (wake_fd < 0) return pass;
    {
        std::lock_guard guard(state_lock);
        pass = pending;
        pending = MidiInputPass{};
    }
    return pass;
}

void midi_input_release() {
    std::lock_guard guard(state_lock);
    release_held();
}

void midi_input_set_channel(int channel, int program) {
    std::lock_guard guard(state_lock);
    release_held();
    midi_channel = channel;
    if (program >= 0) midi_program_change(program);
}

bool midi_input_held(int note) {
    if (note < 0 || note >= 128) return false;
    std::lock_guard guard(state_lock);
    return held_by[note].any();
}

}  // namespace app
